#pragma once
// "stream2header": the 56-byte PMP header and the stream timing it fixes.

#include <cstdint>
#include <string>

constexpr int PMP_HEADER_SIZE = 56;
constexpr int PMP_WIDTH = 480;
constexpr int PMP_HEIGHT = 272;
constexpr int PMP_AUDIO_SAMPLES_PER_FRAME = 1152;
constexpr int PMP_AUDIO_SAMPLE_RATE = 44100;

// Assumed length of an infinite stream (and of one whose length is unknown): 5 hours.
constexpr int64_t INFINITE_STREAM_DURATION_US = 18000000000LL;
// Audio-only streams carry 12 pictures a second.
constexpr int64_t AUDIO_ONLY_FRAME_DURATION_US = 83333;

// The timing of one stream as the header announces it.
struct pmp_stream_timing {
    int32_t frame_count = 1;  // N: 0 to INT32_MAX
    int32_t scale = 1;
    int32_t rate = 12;
    int32_t max_audio_frames = 1;  // F
    int64_t video_frame_duration = 0;
    std::string frame_rate_text;
};

// A video stream of real frame rate num/den lasting duration_us from the start offset.
pmp_stream_timing video_stream_timing(int num, int den, float divider, int64_t duration_us, int64_t start_offset_us);
pmp_stream_timing audio_only_timing(int64_t duration_us, int64_t start_offset_us);

void BuildPmpHeader(const pmp_stream_timing& timing, uint8_t out[PMP_HEADER_SIZE]);
