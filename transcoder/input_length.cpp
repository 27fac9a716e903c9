// The length an input plays for. Two kinds of files mislead FFmpeg's duration:
//  - ASF gives each stream the file's play time less its preroll, which is
//    already the end of the stream counted from time zero; FFmpeg adds the
//    stream's start on top.
//  - A transport or program stream's length is taken from its first and last
//    time stamps; in a file joined from two recordings the clock jumps, and
//    the jump is no length. There the bytes a second of the file's start,
//    against the file's size, tell the length instead.

#include "transcoder/input_length.h"

#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "stream/stream_state.h"
#include "transcoder/ffmpeg_ptr.h"

namespace {

// A length from the time stamps this many times the one the bytes give is a
// jump of the clock, not a file whose bit rate changes.
constexpr double CLOCK_JUMP_FACTOR = 3.0;
// How much of the file's start is read to measure its bytes a second.
constexpr int64_t SAMPLE_BYTES = 8 << 20;
constexpr int SAMPLE_PACKETS = 20000;
constexpr int64_t SAMPLE_SPAN_US = 5 * AV_TIME_BASE;
// A shorter span tells no rate.
constexpr int64_t MIN_SAMPLE_SPAN_US = AV_TIME_BASE;

bool is_asf(const AVFormatContext& input) {
    return input.iformat != nullptr && std::strncmp(input.iformat->name, "asf", 3) == 0;
}

// The end of the longest ASF stream, from the input's first time stamp.
int64_t asf_length(const AVFormatContext& input) {
    int64_t end = AV_NOPTS_VALUE;
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream& stream = *input.streams[i];
        if (stream.duration == AV_NOPTS_VALUE || stream.duration <= 0)
            continue;
        const int64_t stream_end = av_rescale_q(stream.duration, stream.time_base, AV_TIME_BASE_Q);
        if (end == AV_NOPTS_VALUE || stream_end > end)
            end = stream_end;
    }
    if (end == AV_NOPTS_VALUE)
        return input.duration;
    return input.start_time != AV_NOPTS_VALUE ? end - input.start_time : end;
}

// Where one stream's time stamps stood in the file at its first and latest packet.
struct rate_sample {
    int stream_index = -1;
    int64_t first_pos = -1;
    int64_t first_us = 0;
    int64_t last_pos = -1;
    int64_t last_us = 0;

    int64_t span_us() const { return last_us - first_us; }
    void add(const AVPacket& packet, const AVStream& stream) {
        if (packet.dts == AV_NOPTS_VALUE || packet.pos < 0)
            return;
        if (stream_index < 0) {
            stream_index = packet.stream_index;
            first_pos = last_pos = packet.pos;
            first_us = last_us = av_rescale_q(packet.dts, stream.time_base, AV_TIME_BASE_Q);
        } else if (packet.stream_index == stream_index) {
            last_pos = packet.pos;
            last_us = av_rescale_q(packet.dts, stream.time_base, AV_TIME_BASE_Q);
        }
    }
    bool enough() const { return last_pos - first_pos >= SAMPLE_BYTES || span_us() >= SAMPLE_SPAN_US; }
};

// Bytes a second over the file's first seconds; 0 when they tell none (a
// clock that jumps or wraps in them, too little of them).
double start_bytes_per_second(const char* url) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, url, nullptr, nullptr) < 0)
        return 0;
    input_ptr input(opened);
    packet_ptr packet(av_packet_alloc());
    if (!packet)
        return 0;
    rate_sample sample;
    for (int read = 0; read < SAMPLE_PACKETS && !sample.enough(); ++read) {
        if (av_read_frame(input.get(), packet.get()) < 0)
            break;
        if (packet->stream_index < int(input->nb_streams))
            sample.add(*packet, *input->streams[packet->stream_index]);
        av_packet_unref(packet.get());
    }
    const int64_t span = sample.span_us();
    if (span < MIN_SAMPLE_SPAN_US || span > 2 * SAMPLE_SPAN_US || sample.last_pos <= sample.first_pos)
        return 0;
    return double(sample.last_pos - sample.first_pos) * AV_TIME_BASE / double(span);
}

// The length of a file whose duration came from its first and last time stamps.
int64_t length_from_time_stamps(const AVFormatContext& input) {
    const int64_t size = input.pb ? avio_size(input.pb) : -1;
    if (size <= 0 || input.url == nullptr || !(input.pb->seekable & AVIO_SEEKABLE_NORMAL))
        return input.duration;
    const double rate = start_bytes_per_second(input.url);
    if (rate <= 0)
        return input.duration;
    const double by_size = double(size) / rate * AV_TIME_BASE;
    return double(input.duration) > CLOCK_JUMP_FACTOR * by_size ? int64_t(by_size) : input.duration;
}

}  // namespace

int64_t input_playing_length(const AVFormatContext& input) {
    if (input.duration == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    if (is_asf(input))
        return asf_length(input);
    if (input.duration_estimation_method == AVFMT_DURATION_FROM_PTS)
        return length_from_time_stamps(input);
    return input.duration;
}
