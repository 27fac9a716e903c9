// "streampackets": restarts the transcoder on the handle's input, waits for
// the pre-roll, then sends one PMP packet per video frame from the rings and
// waits for the client's acknowledgement byte after each.

#include "server/stream_packets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "core/vantrel_dlg.h"
#include "platform/byte_order.h"
#include "platform/tcp.h"
#include "resources/no_audio_clip.h"
#include "server/command_handlers.h"
#include "server/reply_words.h"
#include "server/request.h"
#include "server/server_thread.h"
#include "transcoder/transcoder.h"

namespace {

uint8_t packet_send_buffer[PACKET_SEND_BUFFER_SIZE];
std::function<void()> before_transcoder_restart;

using platform::load_le16;
using platform::load_le32;
using platform::store_le32;

void post_progress() {
    if (g_pMainDlg)
        g_pMainDlg->PostMessage(WM_PROGRESS_UPDATE);
}

void set_progress(int transcode, int send) {
    if (!g_pMainDlg)
        return;
    g_pMainDlg->m_nTranscodeProgress = transcode;
    g_pMainDlg->m_nSendProgress = send;
}

int frame_count() { return g_pMainDlg ? g_pMainDlg->m_nFrameCount.load() : 0; }

void show_streaming_name(const opened_input& input) {
    if (!g_pMainDlg)
        return;
    std::string name = input.facts.file_name;
    size_t cut = name.find_last_of("/\\");
    if (cut != std::string::npos)
        name.erase(0, cut + 1);
    {
        std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
        g_pMainDlg->m_strStreaming = name;
    }
    g_pMainDlg->PostMessage(WM_SERVER_MESSAGE);
}

bool show_clip_without_audio() {
    if (!g_pMainDlg)
        return true;
    std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
    return g_pMainDlg->m_bShowNoAudioMovie != 0;
}

void reset_stream_counters() {
    frames_sent = 0;
    audio_read_index = 0;
    video_clock = 0;
    audio_clock = 0;
    audio_packets_written = 0;
    video_packets_written = 0;
}

// Waits for the 21st packet, or for the end of the job's output when the
// input gives fewer: the stream then starts with what there is. False when the
// stream is to end without a reply.
bool wait_for_preroll() {
    const packet_ring ring = audio_only_mode ? packet_ring::audio : packet_ring::video;
    platform::Event& held = audio_only_mode ? audio_slot_filled_events[PREROLL_SLOT]
                                            : video_slot_filled_events[PREROLL_SLOT];
    const platform::Event* events[] = {&held, &transcode_stop_event, &transcode_output_ended_event};
    announce_sender_wait(ring, PREROLL_SLOT);
    int result = platform::wait_for_any(events, 3, PREROLL_WAIT_MS);
    announce_sender_wait(ring, -1);
    if (result == 0)
        held.set();  // the send loop takes this slot again when it reaches it
    if (result == 1)
        return false;
    if (result < 0) {
        transcode_stop_event.set();
        return false;
    }
    return true;
}

// Filled and the transcode still alive. number: the packet's place in its ring's order.
bool take_filled_slot(packet_ring ring, int slot, int number) {
    return await_slot_filled(ring, slot, number) == slot_wait::ready && transcode_running;
}

struct video_frame {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    int key = 1;
};

bool take_video_frame(int v, video_frame& frame) {
    if (audio_only_mode) {
        if (show_clip_without_audio()) {
            const uint8_t* slot = no_audio_clip[frames_sent % NO_AUDIO_CLIP_FRAMES];
            uint32_t word = load_le32(slot);
            frame = {slot + 4, word / 2, int(word & 1)};
        } else {
            frame = {};
        }
        return true;
    }
    if (!take_filled_slot(packet_ring::video, v, frames_sent))
        return false;
    uint32_t word = load_le32(video_packet_ring[v]);
    frame = {video_packet_ring[v] + 4, word / 2, int(word & 1)};
    return true;
}

// Waits for the packet's audio frames and marks each with the MP3 frame sync.
bool take_audio_frames(int count, const uint8_t** frames, uint32_t* sizes) {
    for (int j = 0; j < count; ++j) {
        int number = audio_read_index + j;
        if (!take_filled_slot(packet_ring::audio, number % AUDIO_RING_SLOTS, number))
            return false;
        uint8_t* slot = audio_packet_ring[number % AUDIO_RING_SLOTS];
        sizes[j] = load_le16(slot);
        slot[2] = 0xFF;
        slot[3] = 0xFB;
        frames[j] = slot + 2;
    }
    return true;
}

void release_slots(int audio_frames, int v) {
    for (int j = 0; j < audio_frames; ++j) {
        signal_slot_free(packet_ring::audio, audio_read_index % AUDIO_RING_SLOTS);
        audio_read_index += 1;
    }
    signal_slot_free(packet_ring::video, v);
}

bool connection_gone(const platform::Socket& connection) {
    return peer_vanished(connection_peer_state(connection));
}

// Waits until the socket is ready for events, for as long as the client lives.
bool wait_for_client(const platform::Socket& connection, short events) {
    for (;;) {
        pollfd entry{connection.fd(), events, 0};
        int ready = ::poll(&entry, 1, PEER_CHECK_INTERVAL_MS);
        if (ready > 0)
            return true;  // ready, or an error that the next call reports
        if (ready < 0 && errno != EINTR)
            return false;
        if (connection_gone(connection))
            return false;
    }
}

enum class pass_result { next, failed, transcode_gone };

// One packet: gather, send, release, acknowledgement.
pass_result send_one_packet(const platform::Socket& connection) {
    int64_t vclock = video_clock, aclock = audio_clock;
    pmp_packet_parts parts;
    parts.timing = advance_packet_clocks(vclock, aclock, video_frame_duration, audio_frame_duration);
    video_clock = vclock;
    audio_clock = aclock;

    int v = frames_sent % VIDEO_RING_SLOTS;
    video_frame frame;
    static const uint8_t* audio[MAX_PACKET_AUDIO_FRAMES];
    static uint32_t audio_sizes[MAX_PACKET_AUDIO_FRAMES];
    if (!take_video_frame(v, frame) || !take_audio_frames(parts.timing.frames, audio, audio_sizes))
        return pass_result::failed;
    parts.key = frame.key;
    parts.video = frame.data;
    parts.video_size = frame.size;
    parts.audio = audio;
    parts.audio_sizes = audio_sizes;
    size_t size = build_pmp_packet(parts, packet_send_buffer);
    bool sent = send_to_client(connection, packet_send_buffer, size);
    release_slots(parts.timing.frames, v);

    // The byte's value does not matter; a client that vanished fails the next send.
    if (sent && !receive_acknowledgement(connection, packet_send_buffer))
        sent = !connection_gone(connection);
    if (!transcode_running)
        return pass_result::transcode_gone;
    frames_sent += 1;
    return sent ? pass_result::next : pass_result::failed;
}

void send_loop(const platform::Socket& connection) {
    int total = frame_count();
    while (frames_sent < packets_to_send(total)) {
        if (g_pMainDlg)
            g_pMainDlg->m_nSendProgress = send_progress(frames_sent, total);
        post_progress();
        pass_result result = send_one_packet(connection);
        if (result == pass_result::transcode_gone) {
            set_progress(0, 0);
            post_progress();
            return;
        }
        post_progress();
        if (result == pass_result::failed)
            return;
    }
}

void answer_downloading(const platform::Socket& connection) {
    SendLittleEndian32(connection, 0);
    uint8_t ignored[4];
    if (wait_for_client(connection, POLLIN))
        platform::receive_some(connection, ignored, sizeof ignored, 0);
}

// Restarts the transcoder on the slot. False when the slot holds no input or
// the server is being shut down.
bool restart_transcoder(int slot) {
    reset_stream_counters();
    reset_slot_events();
    if (!input_slot_table[slot])
        return false;
    if (before_transcoder_restart)
        before_transcoder_restart();
    transcode_stop_event.reset();
    if (ServerThreadStopping()) {
        // A shutdown set the event just before the reset; its stop stands.
        transcode_stop_event.set();
        return false;
    }
    return start_transcode_job(slot);
}

}  // namespace

packet_audio_timing advance_packet_clocks(int64_t& video_time, int64_t& audio_time, int64_t video_duration,
                                          int64_t audio_duration) {
    packet_audio_timing timing;
    int64_t frame_start = video_time;
    video_time += video_duration;
    // Without an audio frame in the packet this is still when the next one starts.
    timing.first_delay = (audio_time - frame_start) / 2;
    while (audio_duration > 0 && audio_time < video_time && timing.frames < MAX_PACKET_AUDIO_FRAMES) {
        timing.frames += 1;
        audio_time += audio_duration;
    }
    timing.last_delay = (audio_time - video_time) / 2;
    return timing;
}

uint32_t pmp_packet_word(int audio_frames, uint32_t video_size, uint32_t audio_bytes, int key) {
    return (13 + 4 * uint32_t(audio_frames) + video_size + audio_bytes) * 2 + uint32_t(key & 1);
}

size_t build_pmp_packet(const pmp_packet_parts& parts, uint8_t* buffer) {
    int k = parts.timing.frames;
    uint32_t audio_bytes = 0;
    for (int j = 0; j < k; ++j)
        audio_bytes += parts.audio_sizes[j];
    uint8_t* at = store_le32(buffer, pmp_packet_word(k, parts.video_size, audio_bytes, parts.key));
    *at++ = uint8_t(k);
    at = store_le32(at, uint32_t(int32_t(parts.timing.first_delay)));
    at = store_le32(at, uint32_t(int32_t(parts.timing.last_delay)));
    at = store_le32(at, parts.video_size);
    for (int j = 0; j < k; ++j)
        at = store_le32(at, parts.audio_sizes[j]);
    if (parts.video_size > 0)
        std::memcpy(at, parts.video, parts.video_size);
    at += parts.video_size;
    for (int j = 0; j < k; ++j) {
        std::memcpy(at, parts.audio[j], parts.audio_sizes[j]);
        at += parts.audio_sizes[j];
    }
    return size_t(at - buffer);
}

int send_progress(int sent, int total) {
    if (total <= 0)
        return 0;
    return int(int64_t(sent) * 400 / total);
}

int64_t packets_to_send(int frames) {
    return frames > 1 ? int64_t(frames) - 1 : 0;
}

void tune_stream_connection(const platform::Socket& connection) {
    platform::set_int_option(connection, SOL_SOCKET, SO_KEEPALIVE, 1);
    platform::set_int_option(connection, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S);
    platform::set_int_option(connection, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S);
    platform::set_int_option(connection, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES);
}

bool peer_vanished(const peer_state& peer) {
    bool outstanding = peer.unanswered_probes > 0 || peer.retransmissions > 0 || peer.unacknowledged_segments > 0;
    return outstanding && peer.ms_since_last_ack > PEER_SILENCE_LIMIT_MS;
}

peer_state connection_peer_state(const platform::Socket& connection) {
    tcp_info info{};
    socklen_t size = sizeof info;
    peer_state peer;
    if (getsockopt(connection.fd(), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
        // Not TCP (a local socket pair in tests): nothing to tell.
        return peer;
    }
    peer.ms_since_last_ack = info.tcpi_last_ack_recv;
    peer.unanswered_probes = info.tcpi_probes;
    peer.retransmissions = info.tcpi_retransmits;
    peer.unacknowledged_segments = info.tcpi_unacked;
    return peer;
}

bool send_to_client(const platform::Socket& connection, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(connection.fd(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            size -= size_t(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_for_client(connection, POLLOUT))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool receive_acknowledgement(const platform::Socket& connection, uint8_t* byte) {
    if (!wait_for_client(connection, POLLIN))
        return false;
    return platform::receive_some(connection, byte, 1, 0) > 0;
}

void OnStreamPackets(const platform::Socket& connection, char* request) {
    const char* handle_text = FindRequestValue(request, "fd=");
    const char* packet_text = FindRequestValue(request, "packet=");
    if (!handle_text || !packet_text)
        return;
    int slot = ReadRequestSlot(handle_text);
    current_slot = slot;
    if (slot < 0)
        return;
    ReadRequestInt(packet_text);  // required, not used
    if (slot >= DOWNLOADING_HANDLE || (slot < INPUT_SLOT_COUNT && !input_slot_table[slot]))
        return;
    tune_stream_connection(connection);
    if (slot == DOWNLOADING_HANDLE - 1) {
        answer_downloading(connection);
        return;
    }

    video_packets_written = 0;
    audio_packets_written = 0;
    set_progress(0, 0);
    show_streaming_name(*input_slot_table[slot]);

    const sender_presence serving;
    if (StopRunningTranscode(false)) {
        if (packets_to_send(frame_count()) == 0) {
            // Nothing to send (a start at or past the end): no transcode. The
            // inputs are closed as the end of one closes them, so the next
            // stream of the file starts from its beginning.
            close_all_input_slots();
            return;
        }
        if (!restart_transcoder(slot) || !wait_for_preroll())
            return;
    }
    send_loop(connection);
}

void SetBeforeTranscoderRestartForTest(std::function<void()> hook) {
    before_transcoder_restart = std::move(hook);
}
