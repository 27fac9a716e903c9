#pragma once
// The paths by which the transcoder and the download threads tell the user
// what went wrong.

#include <cstdint>

// Formats a message and posts it to the dialog as WM_SERVER_MESSAGE, and sets
// the transcode stop event: the transcoder's messages end the running
// transcode. Safe from any thread.
void post_transcoder_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats a message and posts it to the dialog as WM_SERVER_MESSAGE, with a
// wParam that tells the dialog whose message it is. Safe from any thread.
void post_server_message_with(uintptr_t wParam, const char* format, ...) __attribute__((format(printf, 2, 3)));
