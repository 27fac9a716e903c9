#include "transcoder/read_ahead.h"

namespace {

// How much may wait for its turn: minutes of the sound a slide show stores
// ahead of its pictures, while a stream that ended early (sound shorter than
// the pictures) holds back little memory. Past it, packets go in file order
// again, as interleaved files need anyway.
constexpr int64_t MAX_QUEUED_BYTES = 8 << 20;
// What a queued packet costs beyond its data.
constexpr int64_t PACKET_OVERHEAD_BYTES = 256;

int64_t packet_time(const AVPacket& packet, const AVStream& stream, int64_t last_time) {
    const int64_t time = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    return time != AV_NOPTS_VALUE ? av_rescale_q(time, stream.time_base, AV_TIME_BASE_Q) : last_time;
}

}  // namespace

read_ahead::read_ahead(std::vector<bool> played) : streams_(played.size()) {
    for (size_t i = 0; i < played.size(); ++i)
        streams_[i].played = played[i];
}

bool read_ahead::wants_more() const {
    if (at_end_ || read_error_ < 0 || queued_bytes_ >= MAX_QUEUED_BYTES)
        return false;
    for (const queued_stream& stream : streams_)
        if (stream.played && stream.packets.empty())
            return true;
    return false;
}

// Reads one packet into its stream's queue. 0, or av_read_frame's error.
int read_ahead::read_one(AVFormatContext* input) {
    packet_ptr packet(av_packet_alloc());
    if (!packet)
        return AVERROR(ENOMEM);
    const int read = av_read_frame(input, packet.get());
    if (read == AVERROR_EOF)
        at_end_ = true;
    if (read < 0)
        return read == AVERROR_EOF ? 0 : read;
    const int index = packet->stream_index;
    // A stream that appeared after the run began, or one nobody plays.
    if (index < 0 || size_t(index) >= streams_.size() || !streams_[index].played)
        return 0;
    queued_stream& stream = streams_[index];
    stream.last_time = packet_time(*packet, *input->streams[index], stream.last_time);
    queued_bytes_ += packet->size + PACKET_OVERHEAD_BYTES;
    stream.packets.push_back({stream.last_time, std::move(packet)});
    return 0;
}

// The stream whose first queued packet is earliest; -1 when none is queued.
int read_ahead::earliest_stream() const {
    int earliest = -1;
    for (size_t i = 0; i < streams_.size(); ++i) {
        const auto& packets = streams_[i].packets;
        if (!packets.empty() && (earliest < 0 || packets.front().time < streams_[earliest].packets.front().time))
            earliest = int(i);
    }
    return earliest;
}

int read_ahead::next(AVFormatContext* input, AVPacket* packet) {
    while (wants_more()) {
        const int read = read_one(input);
        if (read == AVERROR(EAGAIN))
            return read;  // asked again later
        if (read < 0)
            read_error_ = read;  // what was read before it is still decoded
    }
    const int index = earliest_stream();
    if (index < 0)
        return read_error_ < 0 ? read_error_ : AVERROR_EOF;
    hand_out(index, packet);
    return 0;
}

int read_ahead::next_of(AVFormatContext* input, int stream_index, AVPacket* packet) {
    if (stream_index < 0 || size_t(stream_index) >= streams_.size() || !streams_[stream_index].played)
        return AVERROR(EINVAL);
    auto& packets = streams_[stream_index].packets;
    while (packets.empty() && !at_end_ && read_error_ == 0 && queued_bytes_ < MAX_QUEUED_BYTES) {
        const int read = read_one(input);
        if (read < 0) {
            if (read != AVERROR(EAGAIN))
                read_error_ = read;
            return read;
        }
    }
    if (packets.empty())
        return AVERROR_EOF;
    hand_out(stream_index, packet);
    return 0;
}

void read_ahead::hand_out(int stream_index, AVPacket* packet) {
    auto& packets = streams_[stream_index].packets;
    queued_bytes_ -= packets.front().packet->size + PACKET_OVERHEAD_BYTES;
    av_packet_move_ref(packet, packets.front().packet.get());
    packets.pop_front();
}
