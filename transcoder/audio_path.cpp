// The audio path: any decoded layout, rate and sample format converted to the
// encoder's, queued, and cut into whole MP3 frames for the audio ring; for an
// input without sound, silence on the video's clock.

#include <algorithm>
#include <array>
#include <cstdio>

#include "stream/transcoder_message.h"
#include "transcoder/run_records.h"
#include "transcoder/transcoder.h"

namespace {

bool same_layout(const AVChannelLayout& a, const AVChannelLayout& b) {
    return av_channel_layout_compare(&a, &b) == 0;
}

bool converter_matches(const audio_converter& converter, const AVFrame* samples) {
    return converter.resampler && converter.in_format == samples->format &&
           converter.in_rate == samples->sample_rate && same_layout(converter.in_layout, samples->ch_layout);
}

// (Re)makes the resampler for input of this format, layout and rate.
bool configure_converter(audio_converter& converter, AVSampleFormat format, const AVChannelLayout& layout,
                         int rate, const AVCodecContext* encoder) {
    converter.resampler.reset();
    // A bare channel count stands for the usual layout of that many channels.
    AVChannelLayout in_layout{};
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in_layout, layout.nb_channels);
    else if (av_channel_layout_copy(&in_layout, &layout) < 0)
        return false;
    AVChannelLayout out_layout{};
    if (av_channel_layout_copy(&out_layout, &encoder->ch_layout) < 0) {
        av_channel_layout_uninit(&in_layout);
        return false;
    }
    SwrContext* resampler = nullptr;
    int made = swr_alloc_set_opts2(&resampler, &out_layout, encoder->sample_fmt, encoder->sample_rate,
                                   &in_layout, format, rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);
    if (made < 0)
        return false;
    swr_ptr owned(resampler);
    if (swr_init(resampler) < 0)
        return false;
    converter.resampler = std::move(owned);
    converter.in_format = format;
    converter.in_rate = rate;
    av_channel_layout_uninit(&converter.in_layout);
    return av_channel_layout_copy(&converter.in_layout, &layout) >= 0;
}

frame_ptr new_audio_frame(const AVCodecContext* encoder, int samples) {
    frame_ptr frame(av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->format = encoder->sample_fmt;
    frame->sample_rate = encoder->sample_rate;
    frame->nb_samples = samples;
    if (av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0 ||
        av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    return frame;
}

bool ensure_audio_buffers(output_stream_state& stream) {
    if (!stream.audio_block)
        stream.audio_block = new_audio_frame(stream.encoder, AUDIO_WORK_SAMPLES);
    if (!stream.encoder_frame && stream.encoder->frame_size > 0)
        stream.encoder_frame = new_audio_frame(stream.encoder, stream.encoder->frame_size);
    return stream.audio_block && stream.encoder_frame && stream.sample_fifo;
}

// The resampler takes no more channels than this.
constexpr int MAX_PLANES = 64;
using sample_planes = std::array<const uint8_t*, MAX_PLANES>;

// The sample planes of a frame, starting offset samples in. False for a
// layout the resampler could not take anyway.
bool planes_from(const AVFrame* samples, int offset, sample_planes& planes) {
    auto format = AVSampleFormat(samples->format);
    int planar = av_sample_fmt_is_planar(format);
    int channels = samples->ch_layout.nb_channels;
    int count = planar ? channels : 1;
    if (count < 1 || count > MAX_PLANES)
        return false;
    int step = av_get_bytes_per_sample(format) * (planar ? 1 : channels);
    for (int i = 0; i < count; ++i)
        planes[size_t(i)] = samples->extended_data[i] + size_t(offset) * step;
    return true;
}

// The most input samples whose converted output surely fits the work block.
int input_step(const output_stream_state& stream, int in_rate) {
    int64_t step = int64_t(AUDIO_WORK_SAMPLES / 2) * in_rate / stream.encoder->sample_rate;
    step = std::max<int64_t>(1, step);
    while (step > 1 && swr_get_out_samples(stream.converter.resampler.get(), int(step)) > AUDIO_WORK_SAMPLES)
        step /= 2;
    return int(step);
}

void encode_queued_frames(AVFormatContext* output, output_stream_state& stream) {
    AVFrame* frame = stream.encoder_frame.get();
    int frame_size = stream.encoder->frame_size;
    while (av_audio_fifo_size(stream.sample_fifo.get()) >= frame_size) {
        if (av_frame_make_writable(frame) < 0)
            return;
        av_audio_fifo_read(stream.sample_fifo.get(), reinterpret_cast<void**>(frame->data), frame_size);
        frame->nb_samples = frame_size;
        frame->pts = stream.samples_out;
        stream.samples_out += frame_size;
        if (avcodec_send_frame(stream.encoder, frame) >= 0)
            drain_encoder(output, stream, false);
    }
}

// One encoder frame of silence, made once per run and never written again.
bool ensure_silence_frame(output_stream_state& stream) {
    const AVCodecContext* encoder = stream.encoder;
    if (!stream.silence && encoder->frame_size > 0) {
        stream.silence = new_audio_frame(encoder, encoder->frame_size);
        if (stream.silence)
            av_samples_set_silence(stream.silence->extended_data, 0, encoder->frame_size,
                                   encoder->ch_layout.nb_channels, encoder->sample_fmt);
    }
    return stream.silence != nullptr;
}

// Converts the samples from first on, queues them and encodes every whole frame.
void encode_samples_from(AVFormatContext* output, output_stream_state& stream, const AVFrame* samples, int first) {
    if (!ensure_audio_buffers(stream))
        return;
    if (!converter_matches(stream.converter, samples) &&
        !configure_converter(stream.converter, AVSampleFormat(samples->format), samples->ch_layout,
                             samples->sample_rate, stream.encoder))
        return;
    AVFrame* block = stream.audio_block.get();
    for (int done = first; done < samples->nb_samples;) {
        int count = std::min(samples->nb_samples - done, input_step(stream, samples->sample_rate));
        sample_planes in{};
        if (!planes_from(samples, done, in) || av_frame_make_writable(block) < 0)
            return;
        int converted = swr_convert(stream.converter.resampler.get(), block->data, AUDIO_WORK_SAMPLES,
                                    in.data(), count);
        if (converted < 0)
            return;
        if (converted > 0 &&
            av_audio_fifo_write(stream.sample_fifo.get(), reinterpret_cast<void**>(block->data), converted) < 0)
            return;
        encode_queued_frames(output, stream);
        done += count;
    }
}

// Queues count samples of silence ahead of the sound, a block at a time.
void queue_silence(AVFormatContext* output, output_stream_state& stream, int64_t count) {
    AVFrame* block = stream.audio_block.get();
    const AVCodecContext* encoder = stream.encoder;
    while (count > 0 && !transcode_stop_requested()) {
        const int chunk = int(std::min<int64_t>(count, AUDIO_WORK_SAMPLES));
        if (av_frame_make_writable(block) < 0 ||
            av_samples_set_silence(block->data, 0, chunk, encoder->ch_layout.nb_channels, encoder->sample_fmt) < 0 ||
            av_audio_fifo_write(stream.sample_fifo.get(), reinterpret_cast<void**>(block->data), chunk) < 0)
            return;
        encode_queued_frames(output, stream);
        count -= chunk;
    }
}

// Sound missing for longer than this between two decoded blocks is filled
// with silence; the blocks of one stream follow each other far more closely.
constexpr int64_t SOUND_GAP_US = 100000;

// The sound's clock where the next block would start: what the encoder has
// been given and what waits for it (microseconds from the output's start).
int64_t queued_sound_us(const output_stream_state& stream) {
    const int64_t samples = stream.samples_out + av_audio_fifo_size(stream.sample_fifo.get());
    return av_rescale(samples, 1000000, stream.encoder->sample_rate);
}

// Sound that could not be decoded (a damaged stretch) keeps its time as
// silence, so what follows is heard with its pictures. A jump of the
// stream's clock is no gap: the sound goes on from where it is.
void fill_sound_gap(AVFormatContext* output, output_stream_state& stream, int64_t at_us) {
    const input_stream_state* source = stream.sync_source;
    const int64_t queued_us = queued_sound_us(stream);
    if (!source || at_us - queued_us <= SOUND_GAP_US ||
        !packets_came_through(*source, source->clock_origin + queued_us, source->clock_origin + at_us))
        return;
    queue_silence(output, stream, av_rescale(at_us - queued_us, stream.encoder->sample_rate, 1000000));
}

}  // namespace

bool open_audio_path(output_stream_state& stream, const AVCodecContext* decoder) {
    const AVCodecContext* encoder = stream.encoder;
    stream.sample_fifo.reset(av_audio_fifo_alloc(encoder->sample_fmt, encoder->ch_layout.nb_channels,
                                                 AUDIO_WORK_SAMPLES + 4096));
    if (!stream.sample_fifo)
        return false;
    // A decoder that tells its sample format only with its first block is set up then.
    if (decoder->sample_fmt == AV_SAMPLE_FMT_NONE)
        return true;
    if (configure_converter(stream.converter, decoder->sample_fmt, decoder->ch_layout, decoder->sample_rate,
                            encoder))
        return true;
    std::printf("Can't resample.  Aborting.\n");
    std::fflush(stdout);
    // Without this the viewer would only see a stream that never starts.
    post_transcoder_message("Can't resample.  Aborting.\n");
    return false;
}

void encode_audio_output(AVFormatContext* output, output_stream_state& stream, const AVFrame* samples) {
    encode_samples_from(output, stream, samples, 0);
}

void encode_timed_audio_output(AVFormatContext* output, output_stream_state& stream, const AVFrame* samples,
                               int64_t at_us) {
    if (samples->sample_rate <= 0 || !ensure_audio_buffers(stream))
        return;
    const int64_t early = at_us < 0 ? av_rescale(-at_us, samples->sample_rate, 1000000) : 0;
    if (early >= samples->nb_samples)
        return;  // wholly before the output's start
    if (!stream.sound_placed) {
        stream.sound_placed = true;
        if (at_us > 0)
            queue_silence(output, stream, av_rescale(at_us, stream.encoder->sample_rate, 1000000));
    } else {
        fill_sound_gap(output, stream, at_us);
    }
    encode_samples_from(output, stream, samples, int(early));
}

void encode_silence_output(AVFormatContext* output, output_stream_state& stream) {
    if (!stream.silence_clock)
        return;
    const output_stream_state& video = *stream.silence_clock;
    // Whole frames up to the end of the last picture, so the sender always
    // finds the audio that starts within each video frame.
    encode_silence_until(output, stream,
                         av_rescale_q(video.frames_out, video.encoder->time_base, {1, stream.encoder->sample_rate}));
}

bool encode_silence_until(AVFormatContext* output, output_stream_state& stream, int64_t end) {
    if (!ensure_silence_frame(stream))
        return false;
    AVFrame* frame = stream.silence.get();
    while (stream.samples_out < end) {
        frame->nb_samples = stream.encoder->frame_size;
        frame->pts = stream.samples_out;
        stream.samples_out += frame->nb_samples;
        if (avcodec_send_frame(stream.encoder, frame) >= 0)
            drain_encoder(output, stream, false);
    }
    return true;
}
