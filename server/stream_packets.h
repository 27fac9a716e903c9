#pragma once
// "streampackets": the PMP packet framing and the stream's clock arithmetic,
// apart from the socket so they can be checked on their own.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "stream/stream_state.h"

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

// A vanished client (switched off, out of range) is given up after about a
// minute. An idle connection is probed by keep-alive; while a packet or its
// acknowledgement is awaited, the connection counts as dead once the client's
// TCP has been silent this long with probes or data left unanswered. A client
// that pauses keeps answering its TCP probes, so it keeps its stream however
// long it pauses.
constexpr int KEEPALIVE_IDLE_S = 10;
constexpr int KEEPALIVE_INTERVAL_S = 5;
constexpr int KEEPALIVE_PROBES = 9;
constexpr uint32_t PEER_SILENCE_LIMIT_MS = 50000;
constexpr int PEER_CHECK_INTERVAL_MS = 1000;

struct packet_audio_timing {
    int frames = 0;            // k
    int64_t first_delay = 0;   // microseconds / 2
    int64_t last_delay = 0;    // microseconds / 2
};

// Advances the video time by one frame of video_duration and the audio time by
// the audio frames that start before the end of that frame (at most
// MAX_PACKET_AUDIO_FRAMES), all in microseconds.
packet_audio_timing advance_packet_clocks(int64_t& video_time, int64_t& audio_time, int64_t video_duration,
                                          int64_t audio_duration);

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

// Send progress of sent packets out of total frames, 0..400; 0 for a total of
// 0 or less.
int send_progress(int sent, int total);

// Packets a stream of so many frames carries: one fewer than its frames, none
// for a count of 1 or less (the header's count may be any 32-bit value).
int64_t packets_to_send(int frames);

namespace platform { class Socket; }
// Keep-alive timing for a stream's connection.
void tune_stream_connection(const platform::Socket& connection);

// What the client's TCP says about it.
struct peer_state {
    uint32_t ms_since_last_ack = 0;
    uint32_t unanswered_probes = 0;  // keep-alive or zero-window probes
    uint32_t retransmissions = 0;
    uint32_t unacknowledged_segments = 0;
};
bool peer_vanished(const peer_state& peer);
// The state of a connection; a socket that cannot say counts as vanished.
peer_state connection_peer_state(const platform::Socket& connection);

// One packet out, waiting as long as the client is alive. False when sending
// failed or the client vanished.
bool send_to_client(const platform::Socket& connection, const uint8_t* data, size_t size);
// The acknowledgement byte, waited for as long as the client is alive. False
// when the client closed, failed or vanished.
bool receive_acknowledgement(const platform::Socket& connection, uint8_t* byte);

// Test hook: runs on the server thread just before a "streampackets" resets
// the stop event to restart the transcoder; empty to remove it.
void SetBeforeTranscoderRestartForTest(std::function<void()> hook);
