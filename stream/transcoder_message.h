#pragma once
// The one path by which the transcoder and the download threads tell the user
// what went wrong.

// Formats a message, posts it to the dialog as WM_SERVER_MESSAGE and sets the
// transcode stop event. Safe from any thread.
void post_transcoder_message(const char* format, ...) __attribute__((format(printf, 1, 2)));
