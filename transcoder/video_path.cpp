// The video path: the frame drop and copy decision, conversion and scaling to
// the encoder's picture, and encoding into the video ring.

#include <cmath>

#include "transcoder/run_records.h"
#include "transcoder/transcoder.h"

namespace {

// A gap this large is not filled at all.
constexpr int MAX_FRAME_COPIES = 5;
constexpr double FRAME_SLACK = 1.1;

bool same_picture_shape(const AVFrame* picture, const AVCodecContext* encoder) {
    return picture->width == encoder->width && picture->height == encoder->height &&
           picture->format == encoder->pix_fmt;
}

// The picture in the encoder's size and format: the decoded one itself when it
// already is, else the whole picture stretched into scaled_picture. Null when
// the conversion fails (the picture is dropped).
const AVFrame* encoder_picture(output_stream_state& stream, const AVFrame* picture) {
    AVCodecContext* encoder = stream.encoder;
    if (same_picture_shape(picture, encoder))
        return picture;
    stream.scaler.reset(sws_getCachedContext(
        stream.scaler.release(), picture->width, picture->height, AVPixelFormat(picture->format),
        encoder->width, encoder->height, encoder->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
    // The encoder may still hold the last picture: never scale into it.
    if (!stream.scaler || av_frame_make_writable(stream.scaled_picture.get()) < 0)
        return nullptr;
    AVFrame* scaled = stream.scaled_picture.get();
    if (sws_scale(stream.scaler.get(), picture->data, picture->linesize, 0, picture->height,
                  scaled->data, scaled->linesize) <= 0)
        return nullptr;
    return scaled;
}

void encode_copies(AVFormatContext* output, output_stream_state& stream, const AVFrame* final_picture,
                   const AVFrame* decoded, int copies) {
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
        picture->pts = stream.frames_out;
        if (avcodec_send_frame(stream.encoder, picture) >= 0)
            drain_encoder(output, stream, false);
        stream.frames_out += 1;  // also when the encoder keeps the picture back
    }
    av_frame_unref(picture);
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

bool open_video_path(output_stream_state& stream, const AVCodecContext* decoder) {
    const AVCodecContext* encoder = stream.encoder;
    stream.scale_video = encoder->width != decoder->width || encoder->height != decoder->height;
    // The picture the scaler or the format converter writes into, made once per run.
    stream.scaled_picture.reset(av_frame_alloc());
    if (!stream.scaled_picture)
        return false;
    stream.scaled_picture->format = encoder->pix_fmt;
    stream.scaled_picture->width = encoder->width;
    stream.scaled_picture->height = encoder->height;
    return av_frame_get_buffer(stream.scaled_picture.get(), 0) >= 0;
}

void encode_video_output(AVFormatContext* output, output_stream_state& stream, const AVFrame* picture) {
    double frame_seconds = av_q2d(stream.encoder->time_base);
    double d = get_input_sync_time(stream) / frame_seconds - double(stream.frames_out);
    int copies = video_frame_copies(d);
    if (copies == 0)
        return;
    const AVFrame* final_picture = encoder_picture(stream, picture);
    if (!final_picture)
        return;
    encode_copies(output, stream, final_picture, picture, copies);
}
