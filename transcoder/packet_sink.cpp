// The transcoder's only output: every encoded packet goes into the next slot
// of the audio or video ring, and the transcode progress goes to the dialog.

#include "transcoder/packet_sink.h"

#include <algorithm>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "core/vantrel_dlg.h"
#include "platform/byte_order.h"
#include "stream/stream_state.h"
#include "stream/transcoder_message.h"
#include "transcoder/run_records.h"
#include "transcoder/transcoder.h"

namespace {

using platform::store_le16;
using platform::store_le32;

int frame_count() { return g_pMainDlg ? g_pMainDlg->m_nFrameCount.load() : 0; }

void report_progress(int progress) {
    if (!g_pMainDlg)
        return;
    g_pMainDlg->m_nTranscodeProgress = progress;
    g_pMainDlg->PostMessage(WM_PROGRESS_UPDATE);
}

// The running job's, for a writer and the sender that would wait for each other.
stall_breaker job_stall_breaker;
// A breaker's own writes may wait for the sender, never break a stall again.
bool breaking_stall = false;
// Packets one wake of the writer gives the starved ring at most.
constexpr int STALL_BREAK_LIMIT = 64;

packet_ring other_ring(packet_ring ring) {
    return ring == packet_ring::audio ? packet_ring::video : packet_ring::audio;
}

void break_stall(packet_ring starved) {
    if (!job_stall_breaker || breaking_stall)
        return;
    breaking_stall = true;
    for (int i = 0; i < STALL_BREAK_LIMIT && sender_starved(starved); ++i)
        if (!job_stall_breaker(starved))
            break;
    breaking_stall = false;
}

int64_t ms_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max<int64_t>(0, left.count());
}

std::chrono::steady_clock::time_point free_wait_deadline() {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(slot_free_wait_ms.load());
}

// The slot the ring's next packet goes into, once the sender has freed it; -1
// when stopped, or when a whole wait passed with no sender serving the stream:
// the packet is dropped, the count stays advanced. While a sender serves it,
// the packet waits for its slot however long the client pauses.
// While it waits, a sender that waits for the other ring's next packet gets it
// from the stall breaker.
int next_free_slot(packet_ring ring, std::atomic<int>& written, int slots) {
    int slot = written.fetch_add(1) % slots;
    auto deadline = free_wait_deadline();
    for (;;) {
        switch (wait_slot_free_or_sender(ring, slot, ms_until(deadline))) {
        case slot_wait::ready:
            return slot;
        case slot_wait::sender_waiting:
            if (sender_starved(other_ring(ring)))
                break_stall(other_ring(ring));
            continue;
        case slot_wait::timed_out:
            if (!packet_sender_present)
                return -1;
            deadline = free_wait_deadline();
            continue;
        default:
            return -1;
        }
    }
}

// The bytes of the packet its slot takes: one larger than the slot's payload
// is sent empty, after the message.
int payload_length(const AVPacket* packet, int max_payload, const char* kind) {
    if (packet->size <= max_payload)
        return packet->size;
    post_transcoder_message("%s packet size is huge (%ld)", kind, long(packet->size));
    return 0;
}

void write_audio_packet(const AVPacket* packet) {
    int slot = next_free_slot(packet_ring::audio, audio_packets_written, AUDIO_RING_SLOTS);
    if (slot < 0)
        return;
    int length = payload_length(packet, MAX_AUDIO_PAYLOAD, "audio");
    uint8_t* slot_bytes = audio_packet_ring[slot];
    std::memcpy(slot_bytes + 2, packet->data, size_t(length));
    store_le16(slot_bytes, uint16_t(length));
    signal_slot_filled(packet_ring::audio, slot);
    if (audio_only_mode)
        report_progress(audio_transcode_progress(audio_packets_written, frame_count()));
}

void write_video_packet(const AVPacket* packet) {
    int slot = next_free_slot(packet_ring::video, video_packets_written, VIDEO_RING_SLOTS);
    if (slot < 0)
        return;
    int length = payload_length(packet, MAX_VIDEO_PAYLOAD, "video");
    uint8_t* slot_bytes = video_packet_ring[slot];
    std::memcpy(slot_bytes + 4, packet->data, size_t(length));
    store_le32(slot_bytes, video_slot_word(length, packet->flags));
    signal_slot_filled(packet_ring::video, slot);
    report_progress(video_transcode_progress(video_packets_written, frame_count()));
}

}  // namespace

stall_breaker_scope::stall_breaker_scope(stall_breaker breaker) {
    job_stall_breaker = std::move(breaker);
}

stall_breaker_scope::~stall_breaker_scope() {
    job_stall_breaker = nullptr;
}

int video_transcode_progress(int packets_written, int frame_count) {
    if (frame_count <= 0)
        return 0;
    return int(int64_t(packets_written) * 400 / frame_count);
}

int audio_transcode_progress(int packets_written, int frame_count) {
    if (frame_count <= 0)
        return 0;
    return int(int64_t(packets_written) * 4800 / (int64_t(frame_count) * 39));
}

uint32_t video_slot_word(int length, int flags) {
    return uint32_t(length) * 2 + uint32_t(flags & 1);
}

int write_packet_to_rings(AVFormatContext* output, const AVPacket* packet) {
    // A negative size is an encoder error, never a packet.
    if (!output || !packet || packet->stream_index < 0 ||
        unsigned(packet->stream_index) >= output->nb_streams || packet->size < 0)
        return 0;
    switch (output->streams[packet->stream_index]->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        if (packet->size > 0)
            write_audio_packet(packet);
        break;
    case AVMEDIA_TYPE_VIDEO:
        write_video_packet(packet);
        break;
    default:
        break;
    }
    return 0;
}

void drain_encoder(AVFormatContext* output, output_stream_state& stream, bool flush) {
    AVCodecContext* encoder = stream.encoder;
    if (flush && avcodec_send_frame(encoder, nullptr) < 0)
        return;
    if (!stream.encoded)
        stream.encoded.reset(av_packet_alloc());
    AVPacket* packet = stream.encoded.get();
    if (!packet)
        return;
    while (avcodec_receive_packet(encoder, packet) >= 0) {
        packet->stream_index = stream.stream_number;
        if (encoder->codec_type == AVMEDIA_TYPE_AUDIO)
            packet->flags |= AV_PKT_FLAG_KEY;
        write_packet_to_rings(output, packet);
        av_packet_unref(packet);
    }
}
