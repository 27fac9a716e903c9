// The option record turned into the job's output context and encoder settings.

#include "transcoder/output_setup.h"

#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
}

#include "stream/transcoder_message.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"
#include "transcoder/upright.h"

std::vector<std::unique_ptr<output_file>> output_file_table;
std::vector<AVFormatContext*> input_file_table;

namespace {

constexpr size_t MAX_OUTPUT_NAME = 1023;

std::string text_of(int value) { return std::to_string(value); }

std::string text_of(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

codec_context_ptr new_encoder_context(AVCodecID id) {
    codec_context_ptr encoder(avcodec_alloc_context3(find_output_encoder(id)));
    if (encoder)
        encoder->codec_id = id;
    return encoder;
}

// A new stream with its encoder context, or null after "Could not alloc stream\n".
AVCodecContext* new_output_stream(output_file& output, AVCodecID id) {
    AVStream* stream = avformat_new_stream(output.context.get(), nullptr);
    codec_context_ptr encoder = stream ? new_encoder_context(id) : nullptr;
    output.encoders.resize(output.context->nb_streams);
    if (!encoder) {
        post_transcoder_message("Could not alloc stream\n");
        return nullptr;
    }
    if (output.context->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The packet sink picks the ring by the stream's type.
    stream->codecpar->codec_type = avcodec_get_type(id);
    stream->codecpar->codec_id = id;
    output.encoders[stream->index] = std::move(encoder);
    return output.encoders[stream->index].get();
}

AVCodecID chosen_codec(const AVOutputFormat* format, const char* name, AVMediaType type,
                       int selected_id) {
    if (selected_id != 0)
        return static_cast<AVCodecID>(selected_id);
    return av_guess_codec(format, nullptr, name, nullptr, type);
}

// A stream of this type with the selected codec (0: the format's own for the
// name), or null after the message. The selection is used up once the stream
// stands.
AVCodecContext* add_stream_of_type(output_file& output, AVMediaType type, int& selected_id) {
    const AVFormatContext* context = output.context.get();
    AVCodecContext* encoder =
        new_output_stream(output, chosen_codec(context->oformat, context->url, type, selected_id));
    if (!encoder)
        return nullptr;
    encoder->codec_type = type;
    selected_id = 0;
    return encoder;
}

AVRational abs_q(AVRational q) {
    return AVRational{q.num < 0 ? -q.num : q.num, q.den < 0 ? -q.den : q.den};
}

// The listed rate nearest to rate; ties keep the earlier entry.
AVRational nearest_supported_rate(const AVRational* rates, AVRational rate) {
    AVRational best = rates[0];
    AVRational best_distance = abs_q(av_sub_q(rates[0], rate));
    for (const AVRational* r = rates + 1; r->den != 0; ++r) {
        AVRational distance = abs_q(av_sub_q(*r, rate));
        if (av_cmp_q(distance, best_distance) < 0) {
            best = *r;
            best_distance = distance;
        }
    }
    return best;
}

AVPixelFormat supported_pixel_format(const AVCodec* codec, int wanted) {
    auto format = static_cast<AVPixelFormat>(wanted);
    if (!codec || !codec->pix_fmts)
        return format;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == format)
            return format;
    return codec->pix_fmts[0];
}

// 16-bit samples when the encoder takes them, else its first format.
AVSampleFormat supported_sample_format(const AVCodec* codec) {
    if (!codec || !codec->sample_fmts)
        return AV_SAMPLE_FMT_S16;
    for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == AV_SAMPLE_FMT_S16P || *f == AV_SAMPLE_FMT_S16)
            return *f;
    return codec->sample_fmts[0];
}

void apply_video_tuning(AVCodecContext* encoder) {
    for (const encoder_option& option : video_tuning_options()) {
        // Settings this release no longer has are left out.
        int result = av_opt_set(encoder, option.name, option.value.c_str(), AV_OPT_SEARCH_CHILDREN);
        if (result < 0)
            av_log(encoder, AV_LOG_DEBUG, "video option %s not set\n", option.name);
    }
    encoder->workaround_bugs = transcode_options.video_workaround_bugs;
    encoder->rc_override_count = 0;
}

// The file is created (or truncated) and never written: the packets go to the
// rings. So the stream does not need it, and a folder it cannot be made in (an
// install owned by another user) is only worth a note to the developer.
void open_side_file(AVFormatContext* context, const char* name) {
    if (context->oformat->flags & AVFMT_NOFILE)
        return;
    const int result = avio_open(&context->pb, name, AVIO_FLAG_WRITE);
    if (result < 0) {
        char reason[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(result, reason, sizeof reason);
        std::fprintf(stderr, "vantrel: side file %s not made (%s); the stream goes on without it\n", name, reason);
    }
}

bool find_stream_of_type(const AVFormatContext* input, AVMediaType type) {
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (input->streams[i]->codecpar->codec_type == type)
            return true;
    return false;
}

// The first video stream of the job's input: the one the run plays.
const AVStream* played_video_stream() {
    for (const AVFormatContext* input : input_file_table)
        for (unsigned i = 0; i < input->nb_streams; ++i)
            if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                return input->streams[i];
    return nullptr;
}

// The display aspect the output carries: the input's, or for pictures shown
// on their side the one they are shown with (their pixels square where the
// input does not say).
float shown_aspect() {
    const AVStream* video = played_video_stream();
    if (!video || !shown_sideways(*video))
        return transcode_options.frame_aspect_ratio;
    const AVCodecParameters& stored = *video->codecpar;
    const AVRational sar = stored.sample_aspect_ratio;
    const double pixel = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0;
    if (stored.width <= 0 || stored.height <= 0)
        return transcode_options.frame_aspect_ratio;
    return static_cast<float>(stored.height / (pixel * stored.width));
}

}  // namespace

const AVCodec* find_output_encoder(AVCodecID id) {
    const char* preferred = id == AV_CODEC_ID_MP3 ? "libmp3lame" : id == AV_CODEC_ID_MPEG4 ? "mpeg4" : nullptr;
    const AVCodec* codec = preferred ? avcodec_find_encoder_by_name(preferred) : nullptr;
    return codec ? codec : avcodec_find_encoder(id);
}

std::vector<encoder_option> video_tuning_options() {
    const transcode_options_record& o = transcode_options;
    return {
        {"bt", text_of(o.video_bit_rate_tolerance)},
        {"g", text_of(o.video_gop_size)},
        {"mepre", "0"},
        {"qmin", text_of(o.video_qmin)},
        {"qmax", text_of(o.video_qmax)},
        {"lmin", text_of(o.video_lmin)},
        {"lmax", text_of(o.video_lmax)},
        {"qsquish", "0"},
        {"mblmin", text_of(o.video_mb_lmin)},
        {"mblmax", text_of(o.video_mb_lmax)},
        {"qdiff", text_of(o.video_qdiff)},
        {"qblur", text_of(o.video_qblur)},
        {"qcomp", text_of(o.video_qcomp)},
        {"rc_eq", o.video_rc_eq},
        {"threads", text_of(o.codec_thread_count)},
        {"maxrate", "0"},
        {"minrate", "0"},
        {"bufsize", "0"},
        {"rc_init_occupancy", "0"},
        {"rc_buf_aggressivity", text_of(o.video_rc_buffer_aggressivity)},
        {"rc_init_cplx", "0"},
        {"i_qfactor", text_of(o.video_i_qfactor)},
        {"b_qfactor", text_of(o.video_b_qfactor)},
        {"i_qoffset", text_of(o.video_i_qoffset)},
        {"b_qoffset", text_of(o.video_b_qoffset)},
        {"dc", text_of(o.video_intra_dc_precision - 8)},
        {"strict", "0"},
        {"error_rate", "0"},
        {"sc_threshold", "0"},
        {"me_range", "0"},
        {"mepc", text_of(o.video_me_penalty_compensation)},
        {"skip_threshold", "0"},
        {"skip_factor", "0"},
        {"skip_exp", "0"},
        {"motion_est", o.video_me_method == 5 ? "epzs" : "zero"},
    };
}

void set_frame_size(const char* text) {
    if (av_parse_video_size(&transcode_options.frame_width, &transcode_options.frame_height, text) < 0) {
        post_transcoder_message("Incorrect frame size\n");
        return;
    }
    if ((transcode_options.frame_width % 2) != 0 || (transcode_options.frame_height % 2) != 0)
        post_transcoder_message("Frame size must be a multiple of 2\n");
}

bool select_codec(int* codec_id, AVMediaType type, const char* name) {
    void* iterator = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&iterator)) {
        if (codec->type == type && std::strcmp(codec->name, name) == 0) {
            *codec_id = codec->id;
            return true;
        }
    }
    post_transcoder_message("Unknown codec '%s'\n", name);
    return false;
}

void check_input_streams(int* has_video, int* has_audio) {
    *has_video = 0;
    *has_audio = 0;
    for (const AVFormatContext* input : input_file_table) {
        if (find_stream_of_type(input, AVMEDIA_TYPE_VIDEO))
            *has_video = 1;
        if (find_stream_of_type(input, AVMEDIA_TYPE_AUDIO))
            *has_audio = 1;
    }
}

void add_video_stream(output_file& output) {
    transcode_options_record& o = transcode_options;
    AVCodecContext* encoder = add_stream_of_type(output, AVMEDIA_TYPE_VIDEO, o.video_codec_id);
    if (!encoder)
        return;
    const AVCodec* codec = find_output_encoder(encoder->codec_id);

    encoder->bit_rate = o.video_bit_rate;
    AVRational rate{o.frame_rate, o.frame_rate_base};
    if (codec && codec->supported_framerates && codec->supported_framerates[0].den != 0)
        rate = nearest_supported_rate(codec->supported_framerates, rate);
    encoder->time_base = av_inv_q(rate);
    encoder->framerate = rate;
    encoder->width = o.frame_width + o.frame_pad_right + o.frame_pad_left;
    encoder->height = o.frame_height + o.frame_pad_top + o.frame_pad_bottom;
    double shape = o.frame_width != 0 ? double(o.frame_height) / o.frame_width : 0.0;
    encoder->sample_aspect_ratio = av_d2q(shown_aspect() * shape, 255);
    encoder->pix_fmt = supported_pixel_format(codec, o.frame_pix_fmt);
    apply_video_tuning(encoder);

    AVStream* stream = output.context->streams[output.context->nb_streams - 1];
    stream->time_base = encoder->time_base;
    stream->sample_aspect_ratio = encoder->sample_aspect_ratio;
}

void add_audio_stream(output_file& output) {
    transcode_options_record& o = transcode_options;
    AVCodecContext* encoder = add_stream_of_type(output, AVMEDIA_TYPE_AUDIO, o.audio_codec_id);
    if (!encoder)
        return;
    const AVCodecID id = encoder->codec_id;

    encoder->bit_rate = o.audio_bit_rate;
    encoder->strict_std_compliance = 0;
    encoder->thread_count = o.codec_thread_count;
    int channels = o.audio_channels;
    if (channels > 2 && id != AV_CODEC_ID_AC3 && id != AV_CODEC_ID_DTS)
        channels = 2;
    av_channel_layout_uninit(&encoder->ch_layout);
    av_channel_layout_default(&encoder->ch_layout, channels);
    encoder->sample_rate = o.audio_sample_rate;
    encoder->time_base = AVRational{1, o.audio_sample_rate};
    encoder->sample_fmt = supported_sample_format(find_output_encoder(id));

    output.context->streams[output.context->nb_streams - 1]->time_base = encoder->time_base;
}

bool open_output_file(const char* name) {
    transcode_options_record& o = transcode_options;
    auto output = std::make_unique<output_file>();
    output->context.reset(avformat_alloc_context());
    if (!output->context) {
        // Said, so the viewer is not left waiting for a stream that never starts.
        post_transcoder_message("Could not alloc output context\n");
        return true;
    }
    if (!o.output_format)
        o.output_format = av_guess_format(nullptr, name, nullptr);
    if (!o.output_format) {
        post_transcoder_message("Unable for find a suitable output format for '%s'\n", name);
        return false;
    }
    AVFormatContext* context = output->context.get();
    context->oformat = o.output_format;
    context->url = av_strndup(name, MAX_OUTPUT_NAME);
    if (!context->url) {
        post_transcoder_message("Could not alloc output context\n");
        return true;
    }

    int use_video = context->oformat->video_codec != AV_CODEC_ID_NONE || o.video_codec_id != 0;
    int use_audio = context->oformat->audio_codec != AV_CODEC_ID_NONE || o.audio_codec_id != 0;
    if (!input_file_table.empty()) {
        int has_video = 0, has_audio = 0;
        check_input_streams(&has_video, &has_audio);
        use_video = use_video && has_video;
        // The player needs sound in every packet: an input without it is
        // given silence that follows its video (see encode_silence_output).
        use_audio = use_audio && (has_audio || has_video);
    }
    if (use_video)
        add_video_stream(*output);
    if (use_audio)
        add_audio_stream(*output);
    if (context->nb_streams == 0) {
        post_transcoder_message("No audio or video streams available\n");
        return true;
    }
    output_file_table.push_back(std::move(output));
    open_side_file(context, name);
    o.output_format = nullptr;
    return true;
}
