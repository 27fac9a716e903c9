// The length an input plays for. Two kinds of files mislead FFmpeg's duration:
//  - ASF gives each stream the file's play time less its preroll, which is
//    already the end of the stream counted from time zero; FFmpeg adds the
//    stream's start on top.
//  - A transport or program stream's length is taken from its first and last
//    time stamps; in a file joined from two recordings the clock jumps, and
//    the jump is no length. The file's size over its bytes a second shows the
//    jump, and a search for it by bytes gives the time on either side.
// And the length is that of the streams played, from the input's first time
// stamp (the clock a start time counts on): a container may give the time of
// its end instead (an MP4 or MKV whose clock starts late), or that of a stream
// no stream of it plays (a subtitle track running past the pictures).

#include "transcoder/input_length.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "stream/stream_state.h"
#include "transcoder/ffmpeg_ptr.h"

namespace {

// A length from the time stamps this many times the one the bytes give is a
// jump of the clock, not a file whose bit rate changes.
constexpr double CLOCK_JUMP_FACTOR = 3.0;
// The bytes a second are measured in windows spread over the file, each of at
// most this much of it; the slowest window counts, so a file whose start is
// denser than the rest is never taken for shorter than it is.
constexpr int SAMPLE_WINDOWS = 4;
constexpr int64_t WINDOW_BYTES = 8 << 20;
constexpr int WINDOW_PACKETS = 20000;
constexpr int64_t WINDOW_SPAN_US = 2 * AV_TIME_BASE;
// A shorter span tells no rate; a much longer one holds a jump of the clock.
constexpr int64_t MIN_WINDOW_SPAN_US = AV_TIME_BASE / 2;
constexpr int64_t MAX_WINDOW_SPAN_US = 2 * WINDOW_SPAN_US;
// The search for a jump of the clock: packets read for one time stamp, the
// end of the file first looked at (four times more until a time stamp is
// found), the precision it stops at, and a bound on its steps.
constexpr int TIME_AT_PACKETS = 500;
constexpr int64_t JUMP_SEARCH_TAIL_BYTES = 16 << 10;
constexpr int64_t JUMP_SEARCH_BYTES = 64 << 10;
constexpr int JUMP_SEARCH_STEPS = 64;
constexpr int JUMP_SCAN_PACKETS = 5000;
constexpr int64_t JUMP_SLACK_US = AV_TIME_BASE;

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

// Where one stream's time stamps stood in the file at its first and latest
// packet of a window.
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
    bool enough() const { return last_pos - first_pos >= WINDOW_BYTES || span_us() >= WINDOW_SPAN_US; }
    // Bytes a second; 0 when the window tells none (too short, or the clock
    // jumps or wraps in it).
    double bytes_per_second() const {
        const int64_t span = span_us();
        if (span < MIN_WINDOW_SPAN_US || span > MAX_WINDOW_SPAN_US || last_pos <= first_pos)
            return 0;
        return double(last_pos - first_pos) * AV_TIME_BASE / double(span);
    }
};

double window_bytes_per_second(AVFormatContext* input, AVPacket* packet) {
    rate_sample sample;
    for (int read = 0; read < WINDOW_PACKETS && !sample.enough(); ++read) {
        if (av_read_frame(input, packet) < 0)
            break;
        if (packet->stream_index < int(input->nb_streams))
            sample.add(*packet, *input->streams[packet->stream_index]);
        av_packet_unref(packet);
    }
    return sample.bytes_per_second();
}

// A second context on the file, so the input's own position stays untouched.
input_ptr open_again(const char* url) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, url, nullptr, nullptr) < 0)
        return nullptr;
    return input_ptr(opened);
}

// The lowest bytes a second of the windows; 0 when no window tells one.
double slowest_bytes_per_second(AVFormatContext* input, AVPacket* packet, int64_t size) {
    double slowest = 0;
    for (int window = 0; window < SAMPLE_WINDOWS; ++window) {
        if (av_seek_frame(input, -1, size * window / SAMPLE_WINDOWS, AVSEEK_FLAG_BYTE) < 0)
            break;
        const double rate = window_bytes_per_second(input, packet);
        if (rate > 0 && (slowest == 0 || rate < slowest))
            slowest = rate;
    }
    return slowest;
}

// Reads the next packet and gives its time, if it has one. False at the end.
bool read_packet_time(AVFormatContext* input, AVPacket* packet, std::optional<int64_t>& time) {
    if (av_read_frame(input, packet) < 0)
        return false;
    time.reset();
    if (packet->dts != AV_NOPTS_VALUE && packet->stream_index < int(input->nb_streams))
        time = av_rescale_q(packet->dts, input->streams[packet->stream_index]->time_base, AV_TIME_BASE_Q);
    av_packet_unref(packet);
    return true;
}

// The time of the first time-stamped packet from byte pos on.
std::optional<int64_t> time_at(AVFormatContext* input, AVPacket* packet, int64_t pos) {
    if (av_seek_frame(input, -1, pos, AVSEEK_FLAG_BYTE) < 0)
        return std::nullopt;
    std::optional<int64_t> time;
    for (int read = 0; read < TIME_AT_PACKETS && read_packet_time(input, packet, time); ++read)
        if (time)
            return time;
    return std::nullopt;
}

// The time the clock runs on either side of one jump: the byte range between a
// position on the first clock and one on the second is halved until the jump
// is pinned down. 0 when the file shows no such jump.
int64_t length_around_jump(AVFormatContext* input, AVPacket* packet, const AVFormatContext& opened,
                           int64_t size) {
    const int64_t first = opened.start_time != AV_NOPTS_VALUE ? opened.start_time : 0;
    const int64_t last = first + opened.duration;
    auto on_first_clock = [&](int64_t time) { return time - first < last - time; };
    int64_t low = 0;
    std::optional<int64_t> low_time = time_at(input, packet, low);
    // As near the end as a time stamp is found: the second recording may be short.
    int64_t high = size;
    std::optional<int64_t> high_time;
    for (int64_t tail = JUMP_SEARCH_TAIL_BYTES; !high_time && tail < size; tail *= 4) {
        high = size - tail;
        high_time = time_at(input, packet, high);
    }
    if (!low_time || !high_time || !on_first_clock(*low_time) || on_first_clock(*high_time))
        return 0;
    for (int step = 0; step < JUMP_SEARCH_STEPS && high - low > JUMP_SEARCH_BYTES; ++step) {
        const int64_t middle = low + (high - low) / 2;
        const std::optional<int64_t> time = time_at(input, packet, middle);
        if (!time)
            return 0;
        if (on_first_clock(*time)) {
            low = middle;
            low_time = time;
        } else {
            high = middle;
            high_time = time;
        }
    }
    // The last time before the jump and the first after it, packet by packet.
    if (av_seek_frame(input, -1, low, AVSEEK_FLAG_BYTE) < 0)
        return 0;
    std::optional<int64_t> time;
    for (int read = 0; read < JUMP_SCAN_PACKETS && read_packet_time(input, packet, time); ++read) {
        if (time && !on_first_clock(*time)) {
            high_time = std::min(*high_time, *time);
            break;
        }
        if (time)
            low_time = std::max(*low_time, *time);
    }
    // Streams' time stamps interleave up to a second apart: the slack keeps
    // the last pictures of each side in the count.
    return std::max<int64_t>(0, *low_time - first) + std::max<int64_t>(0, last - *high_time) + JUMP_SLACK_US;
}

// The length of a file whose duration came from its first and last time
// stamps. Where that is far longer than the file's size over its bytes a
// second, the clock jumps: the time around the jump counts, or the length the
// size gives where that is more (a clock that jumps more than once).
int64_t length_from_time_stamps(const AVFormatContext& opened) {
    const int64_t size = opened.pb ? avio_size(opened.pb) : -1;
    if (size <= 0 || opened.url == nullptr || !(opened.pb->seekable & AVIO_SEEKABLE_NORMAL))
        return opened.duration;
    input_ptr input = open_again(opened.url);
    packet_ptr packet(av_packet_alloc());
    if (!input || !packet)
        return opened.duration;
    const double rate = slowest_bytes_per_second(input.get(), packet.get(), size);
    if (rate <= 0)
        return opened.duration;
    const int64_t by_size = int64_t(double(size) / rate * AV_TIME_BASE);
    if (double(opened.duration) <= CLOCK_JUMP_FACTOR * double(by_size))
        return opened.duration;
    const int64_t around_jump = length_around_jump(input.get(), packet.get(), opened, size);
    return std::min(opened.duration, std::max(by_size, around_jump));
}

// The last stretch of the file read for where its played streams end: this
// much before its end, twice as much when none of their packets is there,
// and a bound on the packets read.
constexpr int64_t TAIL_US = 5 * int64_t(AV_TIME_BASE);
constexpr int TAIL_TRIES = 4;
constexpr int TAIL_PACKETS = 100000;

int64_t first_time_stamp(const AVFormatContext& input) {
    return input.start_time != AV_NOPTS_VALUE ? input.start_time : 0;
}

// The streams a stream of the input plays: its first picture and its first
// sound, as the transcoder takes them.
std::vector<int> played_streams(const AVFormatContext& input) {
    std::vector<int> played;
    for (const AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
        for (unsigned i = 0; i < input.nb_streams; ++i) {
            if (input.streams[i]->codecpar->codec_type == type) {
                played.push_back(int(i));
                break;
            }
        }
    }
    return played;
}

// A time and a length in the stream's time base as its end in microseconds;
// nothing for a damaged length that overflows.
std::optional<int64_t> end_in_microseconds(int64_t time, int64_t length, const AVStream& stream) {
    int64_t end = 0;
    if (__builtin_add_overflow(time, std::max<int64_t>(length, 0), &end))
        return std::nullopt;
    return av_rescale_q(end, stream.time_base, AV_TIME_BASE_Q);
}

// Where a stream ends by its own start and length; nothing when it gives none.
std::optional<int64_t> end_by_own_length(const AVStream& stream) {
    if (stream.start_time == AV_NOPTS_VALUE || stream.duration == AV_NOPTS_VALUE || stream.duration <= 0)
        return std::nullopt;
    return end_in_microseconds(stream.start_time, stream.duration, stream);
}

// Where the played packets of the file from its current position end.
std::optional<int64_t> end_of_packets_read(AVFormatContext* input, AVPacket* packet, const std::vector<int>& played) {
    std::optional<int64_t> end;
    for (int read = 0; read < TAIL_PACKETS && av_read_frame(input, packet) >= 0; ++read) {
        const int index = packet->stream_index;
        const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const bool counted = time != AV_NOPTS_VALUE && std::find(played.begin(), played.end(), index) != played.end();
        const std::optional<int64_t> packet_end =
            counted ? end_in_microseconds(time, packet->duration, *input->streams[index]) : std::nullopt;
        if (packet_end)
            end = std::max(end.value_or(*packet_end), *packet_end);
        av_packet_unref(packet);
    }
    return end;
}

// Where the played streams end by the last packets of the file, read through
// a context of its own.
std::optional<int64_t> end_by_last_packets(const AVFormatContext& opened, const std::vector<int>& played) {
    if (opened.url == nullptr || opened.duration == AV_NOPTS_VALUE)
        return std::nullopt;
    input_ptr input = open_again(opened.url);
    packet_ptr packet(av_packet_alloc());
    if (!input || !packet || input->nb_streams != opened.nb_streams)
        return std::nullopt;
    int64_t nominal_end = 0;
    if (__builtin_add_overflow(first_time_stamp(opened), opened.duration, &nominal_end))
        return std::nullopt;  // a damaged length
    for (int64_t span = TAIL_US, tries = 0; tries < TAIL_TRIES; span *= 2, ++tries) {
        if (av_seek_frame(input.get(), -1, nominal_end - span, AVSEEK_FLAG_BACKWARD) < 0)
            return std::nullopt;
        if (const std::optional<int64_t> end = end_of_packets_read(input.get(), packet.get(), played))
            return end;
    }
    return std::nullopt;
}

// Whether the length FFmpeg gives may be another than the played streams'
// from the first time stamp: a clock that does not start at zero, or streams
// besides the played ones.
bool length_may_differ_from_played(const AVFormatContext& input, size_t played) {
    return first_time_stamp(input) != 0 || input.nb_streams > played;
}

// Where the played streams end; nothing when that is not known.
std::optional<int64_t> played_end(const AVFormatContext& input) {
    const std::vector<int> played = played_streams(input);
    if (played.empty())
        return std::nullopt;
    std::optional<int64_t> end;
    for (const int index : played) {
        const std::optional<int64_t> stream_end = end_by_own_length(*input.streams[index]);
        if (!stream_end) {
            if (!length_may_differ_from_played(input, played.size()))
                return std::nullopt;
            return end_by_last_packets(input, played);
        }
        end = std::max(end.value_or(*stream_end), *stream_end);
    }
    return end;
}

// FFmpeg's length, mended for the container's own figures.
int64_t container_length(const AVFormatContext& input) {
    if (is_asf(input))
        return asf_length(input);
    if (input.duration_estimation_method == AVFMT_DURATION_FROM_PTS)
        return length_from_time_stamps(input);
    return input.duration;
}

}  // namespace

int64_t input_playing_length(const AVFormatContext& input) {
    if (input.duration == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    const int64_t length = container_length(input);
    const std::optional<int64_t> end = played_end(input);
    if (!end || *end <= first_time_stamp(input))
        return length;
    return std::min(length, *end - first_time_stamp(input));
}
