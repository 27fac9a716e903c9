// Decoding: one input packet through its decoder, the stream's clock kept in
// microseconds, and each unit handed to the encoders it feeds. Without a
// packet it drains the decoder.

#include <algorithm>
#include <iterator>

#include "transcoder/output_setup.h"
#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"

namespace {

constexpr AVRational MICROSECONDS{1, 1000000};

int64_t picture_duration_us(const input_stream_state& input) {
    AVRational rate = input.decoder->framerate;
    if (rate.num <= 0 || rate.den <= 0)
        rate = input.stream->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0)
        return 0;
    return int64_t(1000000) * rate.den / rate.num;
}

void advance_clock(input_stream_state& input, const AVFrame* unit) {
    if (input.decoder->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (unit->sample_rate > 0)
            input.next_time += int64_t(1000000) * unit->nb_samples / unit->sample_rate;
    } else {
        input.next_time += picture_duration_us(input);
    }
}

// A decoder on more than one thread (frame threads, or a library's own) may
// hand out what a packet gave some packets later.
bool hands_out_late(const input_stream_state& input) {
    return input.decoder->thread_count != 1;
}

void take_packet_time(input_stream_state& input, int64_t dts) {
    if (dts != AV_NOPTS_VALUE)
        input.current_time = input.next_time = av_rescale_q(dts, input.stream->time_base, MICROSECONDS);
}

void take_held_times(input_stream_state& input, std::deque<int64_t>::iterator end) {
    for (auto time = input.held_packet_times.begin(); time != end; ++time)
        take_packet_time(input, *time);
    input.held_packet_times.erase(input.held_packet_times.begin(), end);
}

// Every held time, then the next time once, as one thread does at the start
// of the drain.
void take_drain_time(input_stream_state& input) {
    take_held_times(input, input.held_packet_times.end());
    if (!input.drain_clock_taken) {
        input.current_time = input.next_time;
        input.drain_clock_taken = true;
    }
}

// The clock as it stood when the unit's packet was decoded: the held time
// stamps up to that packet, which the unit names by pkt_dts, are taken in
// order. A unit of no held packet is a further unit of the last one, one of
// the decoder's own drain, or from a decoder that names no packets: then
// every held time is taken, and in the drain the next time as well.
void catch_up_with_unit(input_stream_state& input, const AVFrame* unit) {
    const int64_t dts = unit->pkt_dts;
    if (dts != AV_NOPTS_VALUE && dts == input.last_unit_dts)
        return;
    auto& held = input.held_packet_times;
    auto packet = std::find(held.begin(), held.end(), dts);
    if (packet != held.end()) {
        take_held_times(input, std::next(packet));
        input.last_unit_dts = dts;
    } else if (input.draining) {
        take_drain_time(input);
    } else {
        take_held_times(input, held.end());
    }
}

// A picture's own time stamp is its time, where the decoder gives one: the
// decoding time of the packet it came from runs ahead of it by the pictures
// shown before it but sent after it, which in a slow input is seconds.
void take_picture_time(input_stream_state& input, const AVFrame* unit) {
    if (input.decoder->codec_type != AVMEDIA_TYPE_VIDEO || unit->best_effort_timestamp == AV_NOPTS_VALUE)
        return;
    input.current_time = input.next_time =
        av_rescale_q(unit->best_effort_timestamp, input.stream->time_base, MICROSECONDS);
}

// A picture before the start time is dropped. Sound is cut to the sample
// by the audio path, which only needs its time.
bool before_start_time(const input_stream_state& input) {
    return input.drops_before_origin && input.decoder->codec_type != AVMEDIA_TYPE_AUDIO &&
           input.current_time < input.clock_origin;
}

// Keeps a picture dropped before the start time, as the one on screen at it.
void hold_before_origin(input_stream_state& input, const AVFrame* picture) {
    if (input.decoder->codec_type != AVMEDIA_TYPE_VIDEO)
        return;
    if (!input.before_origin)
        input.before_origin.reset(av_frame_alloc());
    else
        av_frame_unref(input.before_origin.get());
    if (input.before_origin && av_frame_ref(input.before_origin.get(), picture) < 0)
        input.before_origin.reset();
}

// start_us: the unit's own time on the input's clock.
void hand_to_encoders(transcode_run& run, int input_index, const AVFrame* unit, int64_t start_us) {
    const input_stream_state& input = *run.input_streams[input_index];
    for (auto& output : run.output_streams) {
        if (output->source != input_index || !output->encoder_open)
            continue;
        if (output->encoder->codec_type == AVMEDIA_TYPE_VIDEO)
            encode_video_output(output_context_of(*output), *output, unit);
        else if (output->silence_clock)
            encode_silence_output(output_context_of(*output), *output);
        else if (output->encoder->codec_type == AVMEDIA_TYPE_AUDIO)
            encode_timed_audio_output(output_context_of(*output), *output, unit, start_us - input.clock_origin);
    }
}

// Half a frame of the video output the input feeds; 0 when it feeds none.
int64_t half_output_frame_us(const transcode_run& run, int input_index) {
    for (const auto& output : run.output_streams)
        if (output->source == input_index && output->encoder_open &&
            output->encoder->codec_type == AVMEDIA_TYPE_VIDEO)
            return av_rescale_q(1, output->encoder->time_base, MICROSECONDS) / 2;
    return 0;
}

// The picture on screen at the start time is shown from it, unless the first
// picture after it (at next_us, on the input's clock; INT64_MAX at the end of
// the input) comes less than half a frame later: the sound starts at the
// start time itself, and the first frame shows the picture nearest to it (the
// one on screen where both are as near).
void show_held_picture(transcode_run& run, int input_index, int64_t next_us) {
    input_stream_state& input = *run.input_streams[input_index];
    frame_ptr held = std::move(input.before_origin);
    if (!held || next_us - input.clock_origin < half_output_frame_us(run, input_index))
        return;
    const int64_t current = input.current_time;
    input.current_time = input.clock_origin;
    hand_to_encoders(run, input_index, held.get(), input.clock_origin);
    input.current_time = current;
}

// Takes every unit the decoder has ready. -1 on a decoder error.
int receive_units(transcode_run& run, int input_index) {
    input_stream_state& input = *run.input_streams[input_index];
    AVFrame* unit = input.decoded.get();
    const bool late = hands_out_late(input);
    for (;;) {
        int result = avcodec_receive_frame(input.decoder.get(), unit);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return 0;
        if (result < 0)
            return -1;
        if (late)
            catch_up_with_unit(input, unit);
        take_picture_time(input, unit);
        const int64_t start_us = input.next_time;
        advance_clock(input, unit);
        if (before_start_time(input)) {
            hold_before_origin(input, unit);
        } else {
            show_held_picture(run, input_index, input.current_time);
            hand_to_encoders(run, input_index, unit, start_us);
        }
        av_frame_unref(unit);
    }
}

// Whether the bytes skipped since the stream's last placed packet, at the
// rate the file has had so far, account for the step of its clock to us: a
// damaged stretch the reader passed over, not a break in the clock.
bool skipped_bytes_explain(const input_stream_state& input, int64_t us, int64_t pos) {
    const double read_us = double(input.last_placed_time - input.first_placed_time);
    const double read_bytes = double(input.last_placed_pos - input.first_placed_pos);
    if (pos <= input.last_placed_pos || input.first_placed_pos < 0 || read_us <= 0 || read_bytes <= 0)
        return false;
    const double skipped_us = double(pos - input.last_placed_pos) * read_us / read_bytes;
    return double(us - input.last_placed_time) <= 2 * skipped_us;
}

// Where the packet lies in the file, when its reader says.
void note_packet_place(input_stream_state& input, int64_t us, int64_t pos) {
    if (pos < 0)
        return;
    if (input.first_placed_pos < 0) {
        input.first_placed_time = us;
        input.first_placed_pos = pos;
    }
    input.last_placed_time = us;
    input.last_placed_pos = pos;
}

// Notes where the stream's packet clock jumps, before the packet is decoded
// (or fails to be).
void note_packet_time(input_stream_state& input, const AVPacket* packet) {
    const int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (time == AV_NOPTS_VALUE)
        return;
    const int64_t us = av_rescale_q(time, input.stream->time_base, MICROSECONDS);
    if (input.last_packet_time == AV_NOPTS_VALUE ||
        (us - input.last_packet_time > PACKET_JUMP_US && !skipped_bytes_explain(input, us, packet->pos)))
        input.jump_to = us;
    input.last_packet_time = us;
    note_packet_place(input, us, packet->pos);
}

// Picture intervals before the start time within which a picture may be the
// one on screen at it.
constexpr int64_t ON_SCREEN_INTERVALS = 2;

// Pictures before the start time are decoded only as far as the pictures
// after it need them: the ones nothing refers to are skipped, except those
// near enough to be the one on screen at the start time.
void skip_unneeded_pictures(input_stream_state& input, const AVPacket* packet) {
    if (!input.drops_before_origin || input.decoder->codec_type != AVMEDIA_TYPE_VIDEO)
        return;
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    const int64_t needed_from = input.clock_origin - ON_SCREEN_INTERVALS * picture_duration_us(input);
    const bool before =
        time != AV_NOPTS_VALUE && av_rescale_q(time, input.stream->time_base, MICROSECONDS) < needed_from;
    input.decoder->skip_frame = before ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

}  // namespace

bool packets_came_through(const input_stream_state& input, int64_t from_us, int64_t to_us) {
    return input.jump_to != AV_NOPTS_VALUE && (input.jump_to <= from_us || input.jump_to > to_us);
}

double get_input_sync_time(const output_stream_state& output) {
    const input_stream_state& source = *output.sync_source;
    return double(source.current_time - source.clock_origin) * 0.000001;
}

double get_input_end_time(const output_stream_state& output) {
    const input_stream_state& source = *output.sync_source;
    return double(source.next_time - source.clock_origin) * 0.000001;
}

int process_input_packet(transcode_run& run, int input_index, const AVPacket* packet) {
    input_stream_state& input = *run.input_streams[input_index];
    const bool late = hands_out_late(input);
    if (packet) {
        note_packet_time(input, packet);
        if (late)
            input.held_packet_times.push_back(packet->dts);
        else
            take_packet_time(input, packet->dts);
        if (packet->size <= 0)
            return 0;  // an empty packet only moves the clock
        skip_unneeded_pictures(input, packet);
    } else if (late) {
        input.draining = true;
    } else {
        input.current_time = input.next_time;
    }
    int sent = avcodec_send_packet(input.decoder.get(), packet);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF)
        return -1;
    if (receive_units(run, input_index) < 0)
        return -1;
    if (!packet && late)
        take_drain_time(input);
    if (!packet)
        show_held_picture(run, input_index, INT64_MAX);  // no picture came after the start time
    return 0;
}

bool release_held_units(transcode_run& run, int input_index) {
    input_stream_state& input = *run.input_streams[input_index];
    if (!input.decoder || input.held_packet_times.empty())
        return false;
    const int drained = process_input_packet(run, input_index, nullptr);
    // Drained, the decoder takes packets again only after a flush.
    avcodec_flush_buffers(input.decoder.get());
    input.draining = false;
    input.drain_clock_taken = false;
    input.last_unit_dts = AV_NOPTS_VALUE;
    return drained == 0;
}

AVFormatContext* output_context_of(const output_stream_state& output) {
    return output_file_table[output.file_number]->context.get();
}
