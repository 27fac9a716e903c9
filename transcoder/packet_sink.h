#pragma once
// The pure rules of the packet sink, shared with its tests.

#include <cstdint>

// Transcode progress (0..400) after packets_written packets; the audio form
// counts MP3 frames against a frame count of 12 frames a second. A frame count
// of 0 or less gives 0.
int video_transcode_progress(int packets_written, int frame_count);
int audio_transcode_progress(int packets_written, int frame_count);

// The first word of a video slot: length x 2 + the key-frame bit.
uint32_t video_slot_word(int length, int flags);
