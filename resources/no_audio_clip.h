#pragma once
// The built-in clip sent as the picture of audio-only streams: 100 MPEG-4
// frames at 480x272 and 12 frames a second, each in a slot laid out like a
// video ring slot (a 32-bit word length x 2 + key bit, then the frame).
// Frame 0 carries the stream headers; every 12th frame is a key frame.

#include <cstdint>

constexpr int NO_AUDIO_CLIP_FRAMES = 100;
constexpr int NO_AUDIO_CLIP_SLOT_SIZE = 20000;
constexpr int NO_AUDIO_CLIP_MAX_FRAME = NO_AUDIO_CLIP_SLOT_SIZE - 4;

extern const uint8_t no_audio_clip[NO_AUDIO_CLIP_FRAMES][NO_AUDIO_CLIP_SLOT_SIZE];
