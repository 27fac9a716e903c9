// Decoding: one input packet through its decoder, the stream's clock kept in
// microseconds, and each unit handed to the encoders it feeds. Without a
// packet it drains the decoder and then those encoders.

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

bool before_start_time(const input_stream_state& input) {
    int64_t start = transcode_options.stream_start_time;
    return start != 0 && input.current_time < start;
}

// A sought input's time stamps carry on from where the seek landed, while the
// output counts its frames from 0: the first unit handed on levels the two.
void take_clock_origin(input_stream_state& input) {
    if (input.sought && !input.clock_origin)
        input.clock_origin = input.current_time;
}

AVFormatContext* output_context_of(const output_stream_state& output) {
    return output_file_table[output.file_number]->context.get();
}

void hand_to_encoders(transcode_run& run, int input_index, const AVFrame* unit) {
    for (auto& output : run.output_streams) {
        if (output->source != input_index || !output->encoder_open)
            continue;
        if (output->encoder->codec_type == AVMEDIA_TYPE_VIDEO)
            encode_video_output(output_context_of(*output), *output, unit);
        else if (output->silence_clock)
            encode_silence_output(output_context_of(*output), *output);
        else if (output->encoder->codec_type == AVMEDIA_TYPE_AUDIO)
            encode_audio_output(output_context_of(*output), *output, unit);
    }
}

void drain_fed_encoders(transcode_run& run, int input_index) {
    for (auto& output : run.output_streams)
        if (output->source == input_index && output->encoder_open)
            drain_encoder(output_context_of(*output), *output, true);
}

// Takes every unit the decoder has ready. -1 on a decoder error.
int receive_units(transcode_run& run, int input_index) {
    input_stream_state& input = *run.input_streams[input_index];
    AVFrame* unit = input.decoded.get();
    for (;;) {
        int result = avcodec_receive_frame(input.decoder.get(), unit);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return 0;
        if (result < 0)
            return -1;
        advance_clock(input, unit);
        if (!before_start_time(input)) {
            take_clock_origin(input);
            hand_to_encoders(run, input_index, unit);
        }
        av_frame_unref(unit);
    }
}

}  // namespace

double get_input_sync_time(const output_stream_state& output) {
    const input_stream_state& source = *output.sync_source;
    int64_t origin = transcode_options.stream_start_time;
    if (source.sought)
        origin = source.clock_origin.value_or(source.current_time);
    return double(source.current_time - origin) * 0.000001;
}

int process_input_packet(transcode_run& run, int input_index, const AVPacket* packet) {
    input_stream_state& input = *run.input_streams[input_index];
    if (packet) {
        if (packet->dts != AV_NOPTS_VALUE)
            input.current_time = input.next_time = av_rescale_q(packet->dts, input.stream->time_base, MICROSECONDS);
        if (packet->size <= 0)
            return 0;  // an empty packet only moves the clock
    } else {
        input.current_time = input.next_time;
    }
    int sent = avcodec_send_packet(input.decoder.get(), packet);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF)
        return -1;
    if (receive_units(run, input_index) < 0)
        return -1;
    if (!packet)
        drain_fed_encoders(run, input_index);
    return 0;
}
