#pragma once
// "streampackets": the PMP packet framing and the stream's clock arithmetic,
// apart from the socket so they can be checked on their own.

#include <cstddef>
#include <cstdint>

#include "server/stream_state.h"

// A packet's audio count is an 8-bit field. A video frame longer than this many
// MP3 frames (about 6.7 s) carries only this many; the rest go with the next packets.
constexpr int MAX_PACKET_AUDIO_FRAMES = 255;
constexpr size_t PMP_PACKET_FIXED_SIZE = 17;  // word, count, two delays, video size
constexpr size_t PACKET_SEND_BUFFER_SIZE =
    PMP_PACKET_FIXED_SIZE + 4 * MAX_PACKET_AUDIO_FRAMES + MAX_VIDEO_PAYLOAD +
    size_t(MAX_PACKET_AUDIO_FRAMES) * MAX_AUDIO_PAYLOAD;

// Frames the stream waits for before it sends, and how long.
constexpr int PREROLL_SLOT = 20;
constexpr int64_t PREROLL_WAIT_MS = 10000;

// A vanished client is given up after about a minute; one that pauses but
// stays connected answers the keep-alive probes and keeps its stream.
constexpr int KEEPALIVE_IDLE_S = 10;
constexpr int KEEPALIVE_INTERVAL_S = 5;
constexpr int KEEPALIVE_PROBES = 9;
constexpr int UNACKNOWLEDGED_LIMIT_MS = 50000;
constexpr int SEND_TIME_LIMIT_S = 50;

struct packet_audio_timing {
    int frames = 0;            // k
    int64_t first_delay = 0;   // microseconds / 2
    int64_t last_delay = 0;    // microseconds / 2
};

// Advances the video clock by one frame and the audio clock by the audio frames
// that start before the end of that frame (at most MAX_PACKET_AUDIO_FRAMES).
packet_audio_timing advance_packet_clocks(int64_t& video_clock, int64_t& audio_clock,
                                          int64_t video_frame_duration, int64_t audio_frame_duration);

// The packet's first word: twice the bytes that follow it, plus the key bit.
uint32_t pmp_packet_word(int audio_frames, uint32_t video_size, uint32_t audio_bytes, int key);

struct pmp_packet_parts {
    packet_audio_timing timing;
    int key = 0;
    const uint8_t* video = nullptr;
    uint32_t video_size = 0;
    const uint8_t* const* audio = nullptr;  // timing.frames MP3 frames
    const uint32_t* audio_sizes = nullptr;
};

// Lays one packet out in buffer (PACKET_SEND_BUFFER_SIZE bytes); returns its size.
size_t build_pmp_packet(const pmp_packet_parts& parts, uint8_t* buffer);

// Send progress, 0..400; 0 for a frame count of 0 or less.
int send_progress(int frames_sent, int frame_count);

namespace platform { class Socket; }
// Keep-alive timing and a send time limit for a stream's connection.
void tune_stream_connection(const platform::Socket& connection);
