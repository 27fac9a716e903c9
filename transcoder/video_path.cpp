// The video path: the frame drop and copy decision, conversion and scaling to
// the encoder's picture, and encoding into the video ring.

#include <cmath>

extern "C" {
#include <libavutil/opt.h>
}

#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

namespace {

// A gap this large is not filled at all.
constexpr int MAX_FRAME_COPIES = 5;
constexpr double FRAME_SLACK = 1.1;
// With threads the scaler cuts the picture in two halves, each on a thread: the
// halves give the same bytes as one pass, and more of them mostly repeat the
// work on the lines they share, which takes cores from the decoder.
constexpr int SCALER_THREADS = 2;

bool same_picture_shape(const AVFrame* picture, const AVCodecContext* encoder) {
    return picture->width == encoder->width && picture->height == encoder->height &&
           picture->format == encoder->pix_fmt;
}

bool make_target(frame_ptr& target, const AVCodecContext* encoder) {
    target.reset(av_frame_alloc());
    if (!target)
        return false;
    target->format = encoder->pix_fmt;
    target->width = encoder->width;
    target->height = encoder->height;
    return av_frame_get_buffer(target.get(), 0) >= 0;
}

sws_ptr make_scaler(const AVFrame* picture, const AVCodecContext* encoder) {
    sws_ptr scaler(sws_alloc_context());
    if (!scaler)
        return nullptr;
    SwsContext* s = scaler.get();
    av_opt_set_int(s, "srcw", picture->width, 0);
    av_opt_set_int(s, "srch", picture->height, 0);
    av_opt_set_int(s, "src_format", picture->format, 0);
    av_opt_set_int(s, "dstw", encoder->width, 0);
    av_opt_set_int(s, "dsth", encoder->height, 0);
    av_opt_set_int(s, "dst_format", encoder->pix_fmt, 0);
    av_opt_set_int(s, "sws_flags", SWS_BICUBIC, 0);
    av_opt_set_int(s, "threads", transcode_options.thread_count == 1 ? 1 : SCALER_THREADS, 0);
    if (sws_init_context(s, nullptr, nullptr) < 0)
        return nullptr;
    return scaler;
}

// The run's scaler, made again only when the decoded pictures change shape.
SwsContext* scaler_for(output_stream_state& stream, const AVFrame* picture) {
    if (!stream.scaler || stream.scaler_width != picture->width || stream.scaler_height != picture->height ||
        stream.scaler_format != picture->format) {
        stream.scaler = make_scaler(picture, stream.encoder);
        stream.scaler_width = picture->width;
        stream.scaler_height = picture->height;
        stream.scaler_format = picture->format;
    }
    return stream.scaler.get();
}

// The picture in the encoder's size and format: the decoded one itself when it
// already is, else the whole picture stretched into scaled_picture, converted
// and scaled in one pass. Null when the conversion fails (the picture is dropped).
const AVFrame* encoder_picture(output_stream_state& stream, const AVFrame* picture) {
    AVCodecContext* encoder = stream.encoder;
    if (same_picture_shape(picture, encoder))
        return picture;
    SwsContext* scaler = scaler_for(stream, picture);
    AVFrame* scaled = stream.scaled_picture.get();
    return scaler && scale_picture(scaler, scaled, picture) ? scaled : nullptr;
}

// Encodes the picture copies times, with pts from first_pts on.
void encode_copies(AVFormatContext* output, output_stream_state& stream, const AVFrame* final_picture,
                   const AVFrame* decoded, int copies, int64_t first_pts) {
    if (!stream.picture_to_encode)
        stream.picture_to_encode.reset(av_frame_alloc());
    AVFrame* picture = stream.picture_to_encode.get();
    if (!picture || av_frame_ref(picture, final_picture) < 0)
        return;
    picture->interlaced_frame = decoded->interlaced_frame;
    picture->top_field_first = decoded->top_field_first;
    picture->quality = 0;
    picture->pict_type = AV_PICTURE_TYPE_NONE;
    picture->key_frame = 0;
    for (int i = 0; i < copies; ++i) {
        picture->pts = first_pts + i;
        if (avcodec_send_frame(stream.encoder, picture) >= 0)
            drain_encoder(output, stream, false);
    }
    av_frame_unref(picture);
}

// One thread: the picture is scaled and encoded at once.
void encode_in_line(AVFormatContext* output, output_stream_state& stream, const AVFrame* picture, int copies) {
    const AVFrame* final_picture = encoder_picture(stream, picture);
    if (!final_picture)
        return;
    encode_copies(output, stream, final_picture, picture, copies, stream.frames_out);
    stream.frames_out += copies;  // also when the encoder keeps the picture back
}

// The waiting picture into the encoder, once its scaling is done (scaled).
void encode_waiting(AVFormatContext* output, output_stream_state& stream, bool scaled) {
    decided_picture& waiting = stream.waiting;
    if (!waiting.decoded)
        return;
    const AVFrame* final_picture = waiting.scaled ? (scaled ? waiting.scaled : nullptr) : waiting.decoded.get();
    if (final_picture)
        encode_copies(output, stream, final_picture, waiting.decoded.get(), waiting.copies, waiting.first_pts);
    waiting.decoded.reset();
}

// Takes the picture and its frames and starts its scaling. False when it is
// dropped: no scaler for its shape, or no memory.
bool take_next(output_stream_state& stream, const AVFrame* picture, int copies, decided_picture& next) {
    next.decoded.reset(av_frame_alloc());
    if (!next.decoded || av_frame_ref(next.decoded.get(), picture) < 0)
        return false;
    next.copies = copies;
    next.first_pts = stream.frames_out;
    if (same_picture_shape(picture, stream.encoder))
        return true;
    SwsContext* scaler = scaler_for(stream, picture);
    if (!scaler)
        return false;
    AVFrame* held = stream.waiting.scaled;
    next.scaled = held == stream.scaled_picture.get() ? stream.scaled_spare.get() : stream.scaled_picture.get();
    stream.scaling->start(scaler, next.scaled, next.decoded.get());
    return true;
}

// The scaler's thread scales this picture while the one before it is encoded
// here; the frames are counted when they are decided, as in line.
void encode_one_ahead(AVFormatContext* output, output_stream_state& stream, const AVFrame* picture, int copies) {
    const bool scaled = stream.scaling->finish();  // frees the scaler and the other target
    decided_picture next;
    if (take_next(stream, picture, copies, next))
        stream.frames_out += copies;
    else
        next.decoded.reset();
    encode_waiting(output, stream, scaled);
    stream.waiting = std::move(next);
}

}  // namespace

int round_float(float x) {
    return x < 0 ? int(x - 0.5f) : int(x + 0.5f);
}

int video_frame_copies(double d) {
    if (d < -FRAME_SLACK)
        return 0;
    if (d <= FRAME_SLACK)
        return 1;
    int copies = round_float(float(d));
    return copies > MAX_FRAME_COPIES ? 1 : copies;
}

bool open_video_path(output_stream_state& stream) {
    const AVCodecContext* encoder = stream.encoder;
    // The picture the scaler or the format converter writes into, made once per run.
    if (!make_target(stream.scaled_picture, encoder))
        return false;
    // With threads the scaler works on a thread of its own, a picture ahead.
    if (transcode_options.thread_count == 1)
        return true;
    if (!make_target(stream.scaled_spare, encoder))
        return false;
    stream.scaling = std::make_unique<scale_worker>();
    return true;
}

void finish_video_output(AVFormatContext* output, output_stream_state& stream) {
    if (stream.scaling)
        encode_waiting(output, stream, stream.scaling->finish());
}

void encode_video_output(AVFormatContext* output, output_stream_state& stream, const AVFrame* picture) {
    double frame_seconds = av_q2d(stream.encoder->time_base);
    double d = get_input_sync_time(stream) / frame_seconds - double(stream.frames_out);
    int copies = video_frame_copies(d);
    if (copies == 0)
        return;
    if (stream.scaling)
        encode_one_ahead(output, stream, picture, copies);
    else
        encode_in_line(output, stream, picture, copies);
}
