#pragma once
// Packets of one input handed to the decoders in the order of their time, not
// of their place in the file. A muxer may store one stream's packets far
// ahead of the other's (a slide show's few pictures after many seconds of
// its sound): read in file order, the sound would fill its ring before the
// first picture came, and the stream could never start.

#include <cstdint>
#include <deque>
#include <vector>

#include "transcoder/ffmpeg_ptr.h"

class read_ahead {
public:
    // played[i]: whether stream i of the input is decoded; the packets of the
    // others are dropped as they are read.
    explicit read_ahead(std::vector<bool> played);

    // The next packet to decode into packet: the earliest of the packets read
    // ahead, once each played stream has one queued (or the input ended, or
    // the queue holds as much as it may). 0 with a packet; AVERROR_EOF at the
    // end of the input with nothing queued; else av_read_frame's error (one
    // other than EAGAIN once the packets read before it are handed out).
    int next(AVFormatContext* input, AVPacket* packet);

    // The next packet of one stream ahead of its turn, reading on as far as
    // the queue may hold: for a decoder that must have it before the packets
    // of the other streams can go on. 0 with a packet; else the packet is not
    // to be had (AVERROR_EOF, or av_read_frame's error).
    int next_of(AVFormatContext* input, int stream_index, AVPacket* packet);

private:
    struct queued_packet {
        int64_t time;  // microseconds: its decoding time, else its presentation time
        packet_ptr packet;
    };
    struct queued_stream {
        bool played = false;
        std::deque<queued_packet> packets;
        int64_t last_time = INT64_MIN;  // of the last packet read; for one without a time
    };

    bool wants_more() const;
    int read_one(AVFormatContext* input);
    int earliest_stream() const;
    void hand_out(int stream_index, AVPacket* packet);

    std::vector<queued_stream> streams_;
    int64_t queued_bytes_ = 0;
    bool at_end_ = false;
    int read_error_ = 0;  // a read that failed other than for the end or for now
};
