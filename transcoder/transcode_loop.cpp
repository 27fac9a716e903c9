// The job and its loop: stream pairing, encoder and decoder set-up, the read
// loop with its stop test at every pass, and the drains at the end of the input.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

extern "C" {
#include <libavutil/opt.h>
}

#include "stream/picture_rate.h"
#include "stream/stream_state.h"
#include "stream/transcoder_message.h"
#include "transcoder/output_setup.h"
#include "transcoder/read_ahead.h"
#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

namespace {

constexpr int RUN_STOPPED = -12;  // the stop event ended the run, or memory ran out
// How long a demuxer that has no packet yet is given before it is asked again.
constexpr auto READ_RETRY_DELAY = std::chrono::milliseconds(10);

void build_input_records(transcode_run& run, const std::vector<AVFormatContext*>& inputs) {
    for (size_t f = 0; f < inputs.size(); ++f) {
        input_file_state file;
        file.first_stream = int(run.input_streams.size());
        file.stream_count = int(inputs[f]->nb_streams);
        run.input_files.push_back(file);
        for (unsigned s = 0; s < inputs[f]->nb_streams; ++s) {
            auto input = std::make_unique<input_stream_state>();
            input->file_number = int(f);
            input->stream_number = int(s);
            input->stream = inputs[f]->streams[s];
            run.input_streams.push_back(std::move(input));
        }
    }
}

void build_output_records(transcode_run& run, std::vector<std::unique_ptr<output_file>>& outputs) {
    for (size_t f = 0; f < outputs.size(); ++f) {
        for (unsigned s = 0; s < outputs[f]->context->nb_streams; ++s) {
            auto output = std::make_unique<output_stream_state>();
            output->file_number = int(f);
            output->stream_number = int(s);
            output->stream = outputs[f]->context->streams[s];
            output->encoder = s < outputs[f]->encoders.size() ? outputs[f]->encoders[s].get() : nullptr;
            run.output_streams.push_back(std::move(output));
        }
    }
}

// The first input stream of the output's type that no output has taken yet.
int find_source(const transcode_run& run, AVMediaType type) {
    for (size_t i = 0; i < run.input_streams.size(); ++i) {
        const input_stream_state& input = *run.input_streams[i];
        if (input.ignored && input.stream->codecpar->codec_type == type)
            return int(i);
    }
    return -1;
}

// Frame threads hand a picture out only once later pictures are in; for a slow
// input that is seconds after the sound of its time, more than the rings hold.
bool slow_pictures(const AVStream* stream) {
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
        return false;
    AVRational rate = stream_picture_rate(*stream);
    if (rate.num <= 0 || rate.den <= 0)
        rate = stream->avg_frame_rate;
    return rate.num > 0 && rate.den > 0 && av_q2d(rate) < MIN_PICTURE_RATE;
}

// A decoder context filled from the stream's parameters; opened later.
bool make_decoder(input_stream_state& input) {
    const AVCodec* codec = avcodec_find_decoder(input.stream->codecpar->codec_id);
    input.decoder.reset(avcodec_alloc_context3(codec));
    input.decoded.reset(av_frame_alloc());
    if (!input.decoder || !input.decoded ||
        avcodec_parameters_to_context(input.decoder.get(), input.stream->codecpar) < 0)
        return false;
    input.decoder->pkt_timebase = input.stream->time_base;
    input.decoder->framerate = stream_picture_rate(*input.stream);
    // Threads decode the same pictures; only the moment they come out differs,
    // which decoding takes into account.
    input.decoder->thread_count = transcode_options.thread_count;
    input.decoder->thread_type = slow_pictures(input.stream) ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
    input.decoder->workaround_bugs = transcode_options.workaround_bugs;
    return true;
}

// An input without sound: the audio output rides on the video output's source,
// so it is read, timed and drained with it, and is fed silence in step with it.
bool pair_with_silence(transcode_run& run, output_stream_state& audio) {
    for (auto& output : run.output_streams) {
        if (output->sync_source && output->encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
            audio.silence_clock = output.get();
            audio.source = output->source;
            audio.sync_source = output->sync_source;
            return true;
        }
    }
    return false;
}

output_stream_state* find_output(transcode_run& run, AVMediaType type) {
    for (auto& output : run.output_streams)
        if (output->encoder && output->encoder->codec_type == type)
            return output.get();
    return nullptr;
}

// The pictures tell a gap from a break in their time stamps by the input's sound.
void link_sound_to_pictures(transcode_run& run) {
    output_stream_state* video = find_output(run, AVMEDIA_TYPE_VIDEO);
    output_stream_state* audio = find_output(run, AVMEDIA_TYPE_AUDIO);
    if (video && audio && !audio->silence_clock)
        video->sound = audio;
}

int pair_streams(transcode_run& run) {
    for (auto& output : run.output_streams) {
        AVMediaType type = output->stream->codecpar->codec_type;
        int source = output->encoder ? find_source(run, type) : -1;
        if (source < 0 && output->encoder && type == AVMEDIA_TYPE_AUDIO && pair_with_silence(run, *output))
            continue;
        if (source < 0) {
            post_transcoder_message("Could not find input stream matching output stream #%d.%d\n",
                                    output->file_number, output->stream_number);
            return RUN_STOPPED;
        }
        input_stream_state& input = *run.input_streams[source];
        input.ignored = 0;
        output->source = source;
        output->sync_source = &input;
        if (!input.decoder && !make_decoder(input))
            return RUN_STOPPED;
    }
    link_sound_to_pictures(run);
    return 0;
}

// Asks a many-channel AC-3 or DTS decoder for the encoder's channels itself.
// False when the layout cannot be copied.
bool request_decoder_downmix(AVCodecContext* decoder, const AVCodecContext* encoder) {
    if (decoder->ch_layout.nb_channels == encoder->ch_layout.nb_channels)
        return true;
    if (decoder->codec_id != AV_CODEC_ID_AC3 && decoder->codec_id != AV_CODEC_ID_DTS)
        return true;
    if (av_opt_set_chlayout(decoder, "downmix", &encoder->ch_layout, AV_OPT_SEARCH_CHILDREN) < 0)
        return true;  // the resampler mixes down instead
    AVChannelLayout downmixed{};
    if (av_channel_layout_copy(&downmixed, &encoder->ch_layout) < 0)
        return false;
    av_channel_layout_uninit(&decoder->ch_layout);
    decoder->ch_layout = downmixed;
    return true;
}

// Scaling and resampling per pair. RUN_STOPPED on a failed allocation; 1 when
// the audio cannot be resampled (the run ends with 0).
int prepare_output_streams(transcode_run& run) {
    for (auto& output : run.output_streams) {
        input_stream_state& input = *run.input_streams[output->source];
        if (output->encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (!open_video_path(*output))
                return RUN_STOPPED;
        } else if (output->encoder->codec_type == AVMEDIA_TYPE_AUDIO && !output->silence_clock) {
            if (!request_decoder_downmix(input.decoder.get(), output->encoder)) {
                post_transcoder_message("Can't resample.  Aborting.\n");
                return RUN_STOPPED;
            }
            if (!open_audio_path(*output, input.decoder.get()))
                return output->sample_fifo ? 1 : RUN_STOPPED;
        }
        input.needs_decoding = 1;
    }
    return 0;
}

// What the viewer is told when an encoder will not take its settings. False.
bool encoder_settings_refused(const output_stream_state& output) {
    post_transcoder_message("Error while opening codec for output stream #%d.%d - maybe incorrect parameters "
                            "such as bit_rate, rate, width or height\n",
                            output.file_number, output.stream_number);
    return false;
}

// The output stream's parameters from its encoder. False after the message.
bool copy_encoder_parameters(const output_stream_state& output) {
    return avcodec_parameters_from_context(output.stream->codecpar, output.encoder) >= 0 ||
           encoder_settings_refused(output);
}

bool open_encoders(transcode_run& run) {
    for (auto& output : run.output_streams) {
        const AVCodec* codec = find_output_encoder(output->encoder->codec_id);
        if (!codec) {
            post_transcoder_message("Unsupported codec for output stream #%d.%d\n", output->file_number,
                                    output->stream_number);
            return false;
        }
        if (avcodec_open2(output->encoder, codec, nullptr) < 0)
            return encoder_settings_refused(*output);
        output->encoder_open = 1;
        if (!copy_encoder_parameters(*output))
            return false;
    }
    return true;
}

bool open_decoders(transcode_run& run) {
    for (auto& input : run.input_streams) {
        if (!input->needs_decoding)
            continue;
        const AVCodec* codec = avcodec_find_decoder(input->decoder->codec_id);
        if (!codec) {
            post_transcoder_message("Unsupported codec (id=%d) for input stream #%d.%d\n",
                                    int(input->decoder->codec_id), input->file_number, input->stream_number);
            return false;
        }
        if (avcodec_open2(input->decoder.get(), codec, nullptr) < 0) {
            post_transcoder_message("Error while opening codec for input stream #%d.%d\n", input->file_number,
                                    input->stream_number);
            return false;
        }
    }
    return true;
}

constexpr AVRational MICROSECONDS{1, 1000000};

void set_initial_times(transcode_run& run) {
    for (auto& input : run.input_streams) {
        input->current_time = 0;
        int64_t start = input->stream->start_time;
        input->next_time = start == AV_NOPTS_VALUE ? 0 : av_rescale_q(start, input->stream->time_base, MICROSECONDS);
    }
}

// Where the input's clock starts: the earliest start of the streams played,
// so sound and pictures keep the distance they have in the file (a recording's
// clock may start anywhere). The input's own start when none tells.
int64_t first_time_played(const transcode_run& run, int file, const AVFormatContext* input) {
    int64_t first = AV_NOPTS_VALUE;
    for (const auto& stream : run.input_streams) {
        if (stream->file_number != file || !stream->needs_decoding || stream->stream->start_time == AV_NOPTS_VALUE)
            continue;
        const int64_t start = av_rescale_q(stream->stream->start_time, stream->stream->time_base, MICROSECONDS);
        if (first == AV_NOPTS_VALUE || start < first)
            first = start;
    }
    if (first != AV_NOPTS_VALUE)
        return first;
    return input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
}

// The input time the output starts at: where the input was sought to, or the
// start time left standing for an input found open (counted from the input's
// own start, as a seek counts it), else where its clock starts. With a start
// time, what comes before it is decoded but not played.
void set_clock_origins(transcode_run& run, const std::vector<AVFormatContext*>& inputs) {
    for (size_t f = 0; f < inputs.size(); ++f) {
        const AVFormatContext* input = inputs[f];
        int64_t origin = first_time_played(run, int(f), input);
        bool drops = false;
        if (input_was_sought(input)) {
            origin = sought_position(input);
            drops = true;
        }
        if (const int64_t start = transcode_options.stream_start_time; start != 0) {
            const int64_t requested = (input->start_time != AV_NOPTS_VALUE ? input->start_time : 0) + start;
            origin = drops ? std::max(origin, requested) : requested;
            drops = true;
        }
        for (auto& stream : run.input_streams) {
            if (stream->file_number != int(f))
                continue;
            stream->clock_origin = origin;
            stream->drops_before_origin = drops;
        }
    }
}

double output_time(const output_stream_state& output) {
    if (output.encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        return double(output.frames_out) * av_q2d(output.encoder->time_base);
    return 0.0;  // nothing advances an audio output's presentation counter
}

// The input file that feeds the output furthest behind, or -1 when all ended.
int choose_input_file(const transcode_run& run) {
    int chosen = -1;
    double earliest = 0;
    for (const auto& output : run.output_streams) {
        int file = run.input_streams[output->source]->file_number;
        if (run.input_files[file].at_end)
            continue;
        double time = output_time(*output);
        if (chosen < 0 || time < earliest) {
            chosen = file;
            earliest = time;
        }
    }
    return chosen;
}

// The sound ends with the pictures: the shorter of the two is made as long
// as the other, with the latest picture again or with silence.
void pad_to_common_end(output_stream_state& video, output_stream_state& audio) {
    if (!audio.silence_clock) {
        const double frame_seconds = av_q2d(video.encoder->time_base);
        const double sound_seconds = double(audio.samples_out) / audio.encoder->sample_rate;
        const int64_t frames = int64_t(std::ceil(sound_seconds / frame_seconds - 1e-6));
        if (frames > video.frames_out)
            repeat_video_output(output_context_of(video), video, int(frames - video.frames_out));
    }
    encode_silence_until(output_context_of(audio), audio,
                         av_rescale_q(video.frames_out, video.encoder->time_base, {1, audio.encoder->sample_rate}));
}

// The last picture is shown for as long as the input shows it: to the input
// clock's end, one picture's time after it (seconds, in a slide show).
void pad_to_input_end(output_stream_state& video) {
    const double frame_seconds = av_q2d(video.encoder->time_base);
    const int64_t frames = std::llround(get_input_end_time(video) / frame_seconds - video.clock_shift);
    if (frames > video.frames_out)
        repeat_video_output(output_context_of(video), video, int(frames - video.frames_out));
}

// At the end of the input: the picture still waiting is encoded, sound and
// pictures are made to end together, and the encoders give what they hold.
void finish_outputs(transcode_run& run) {
    output_stream_state* video = find_output(run, AVMEDIA_TYPE_VIDEO);
    output_stream_state* audio = find_output(run, AVMEDIA_TYPE_AUDIO);
    if (video && video->encoder_open) {
        finish_video_output(output_context_of(*video), *video);
        pad_to_input_end(*video);
    }
    if (video && audio && video->encoder_open && audio->encoder_open)
        pad_to_common_end(*video, *audio);
    for (auto& output : run.output_streams)
        if (output->encoder_open)
            drain_encoder(output_context_of(*output), *output, true);
}

// Per input file, its packets in the order of their time.
std::vector<read_ahead> make_read_aheads(const transcode_run& run) {
    std::vector<read_ahead> files;
    for (const input_file_state& file : run.input_files) {
        std::vector<bool> played(size_t(file.stream_count));
        for (int s = 0; s < file.stream_count; ++s)
            played[size_t(s)] = !run.input_streams[size_t(file.first_stream + s)]->ignored;
        files.emplace_back(std::move(played));
    }
    return files;
}

// The input packets a run reads: its inputs, each with its packets read ahead.
struct run_inputs {
    const std::vector<AVFormatContext*>& contexts;
    std::vector<read_ahead> files;
};

// The decoder of a picture stream whose pictures are held back until later
// pictures are in (slides seconds apart, with B-frames) gets its next packet
// ahead of its turn. False when there is none.
bool feed_ahead(transcode_run& run, run_inputs& inputs, int input_index) {
    const input_stream_state& input = *run.input_streams[input_index];
    packet_ptr packet(av_packet_alloc());
    if (!packet ||
        inputs.files[size_t(input.file_number)].next_of(inputs.contexts[size_t(input.file_number)],
                                                        input.stream_number, packet.get()) < 0)
        return false;
    process_input_packet(run, input_index, packet.get());
    return true;
}

// A writer whose ring is full while the sender waits for the other ring: the
// next packets of the pictures, then the pictures the decoder still holds,
// else the latest picture again; or one frame of silence.
bool break_stall(transcode_run& run, run_inputs& inputs, packet_ring starved) {
    const AVMediaType type = starved == packet_ring::video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    output_stream_state* output = find_output(run, type);
    if (!output || !output->encoder_open)
        return false;
    if (type == AVMEDIA_TYPE_VIDEO) {
        if (feed_ahead(run, inputs, output->source))
            return true;
        if (release_held_units(run, output->source) && !sender_starved(starved))
            return true;
        return repeat_video_output(output_context_of(*output), *output, 1);
    }
    return encode_silence_until(output_context_of(*output), *output,
                                output->samples_out + output->encoder->frame_size);
}

void handle_packet(transcode_run& run, int file, const AVPacket* packet) {
    const input_file_state& state = run.input_files[file];
    if (packet->stream_index >= state.stream_count)
        return;  // a stream that appeared after the run began
    int index = state.first_stream + packet->stream_index;
    if (run.input_streams[index]->ignored)
        return;
    // A packet the decoder cannot read (a damaged stretch of the file) is
    // skipped: the packets after it decode on, as in any player.
    process_input_packet(run, index, packet);
}

int read_loop(transcode_run& run, run_inputs& inputs) {
    packet_ptr packet(av_packet_alloc());
    if (!packet)
        return RUN_STOPPED;
    for (;;) {
        if (transcode_stop_requested())
            return RUN_STOPPED;  // the encoders are not drained
        int file = choose_input_file(run);
        if (file < 0)
            break;
        const int read = inputs.files[size_t(file)].next(inputs.contexts[size_t(file)], packet.get());
        if (read == AVERROR_EOF) {
            run.input_files[file].at_end = 1;
            continue;
        }
        if (read == AVERROR(EAGAIN)) {
            std::this_thread::sleep_for(READ_RETRY_DELAY);
            continue;
        }
        if (read < 0) {
            // Not the end of the input: the viewer is told why the stream stops.
            post_transcoder_message("Error while reading input #%d\n", file);
            return RUN_STOPPED;
        }
        handle_packet(run, file, packet.get());
        av_packet_unref(packet.get());
    }
    for (size_t i = 0; i < run.input_streams.size(); ++i)
        if (run.input_streams[i]->needs_decoding)
            process_input_packet(run, int(i), nullptr);
    finish_outputs(run);
    return 0;
}

}  // namespace

int run_transcode(std::vector<std::unique_ptr<output_file>>& outputs, const std::vector<AVFormatContext*>& inputs) {
    transcode_run run;
    build_input_records(run, inputs);
    build_output_records(run, outputs);
    if (int result = pair_streams(run); result != 0)
        return result;
    if (int result = prepare_output_streams(run); result != 0)
        return result == RUN_STOPPED ? RUN_STOPPED : 0;
    for (auto& output : run.output_streams)
        if (!copy_encoder_parameters(*output))
            return RUN_STOPPED;
    for (size_t i = 0; i < outputs.size(); ++i)
        av_dump_format(outputs[i]->context.get(), int(i), outputs[i]->context->url, 1);
    if (!open_encoders(run) || !open_decoders(run))
        return 0;
    set_initial_times(run);
    set_clock_origins(run, inputs);
    run_inputs read{inputs, make_read_aheads(run)};
    stall_breaker_scope breaker([&run, &read](packet_ring starved) { return break_stall(run, read, starved); });
    return read_loop(run, read);
}

bool transcode_stop_requested() {
    // Set, or closed under the job because the program is ending.
    return platform::wait_for_one(transcode_stop_event, 0) != platform::WAIT_TIMED_OUT;
}
