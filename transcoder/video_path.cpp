// The video path: the frame drop and copy decision, conversion and scaling to
// the encoder's picture, and encoding into the video ring.

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/opt.h>
}

#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

namespace {

constexpr double FRAME_SLACK = 1.1;
// The most frames one gap is filled with (a bound for damaged time stamps).
constexpr double MAX_GAP_FRAMES = 1 << 20;
// With threads the scaler cuts the picture in two halves, each on a thread: the
// halves give the same bytes as one pass, and more of them mostly repeat the
// work on the lines they share, which takes cores from the decoder.
constexpr int SCALER_THREADS = 2;

// A picture the encoder takes as it is: of its shape, and shown as stored.
bool needs_no_scaling(const output_stream_state& stream, const AVFrame* picture) {
    const AVCodecContext* encoder = stream.encoder;
    return !stream.upright && picture->width == encoder->width && picture->height == encoder->height &&
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

// The scaler stretches into the encoder's picture, or for a picture turned
// on its side into that picture on its side: the small stretched picture is
// turned, not the large decoded one, which is the same picture.
sws_ptr make_scaler(const AVFrame* picture, const output_stream_state& stream) {
    const AVCodecContext* encoder = stream.encoder;
    const bool sideways = stream.upright && stream.upright->swaps_sides();
    sws_ptr scaler(sws_alloc_context());
    if (!scaler)
        return nullptr;
    SwsContext* s = scaler.get();
    av_opt_set_int(s, "srcw", picture->width, 0);
    av_opt_set_int(s, "srch", picture->height, 0);
    av_opt_set_int(s, "src_format", picture->format, 0);
    av_opt_set_int(s, "dstw", sideways ? encoder->height : encoder->width, 0);
    av_opt_set_int(s, "dsth", sideways ? encoder->width : encoder->height, 0);
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
        stream.scaler = make_scaler(picture, stream);
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
    if (needs_no_scaling(stream, picture))
        return picture;
    SwsContext* scaler = scaler_for(stream, picture);
    AVFrame* scaled = stream.scaled_picture.get();
    return scaler && stretch_picture(scaler, scaled, picture, stream.upright.get()) ? scaled : nullptr;
}

// Encodes the shown picture copies times, with pts from first_pts on.
void encode_copies(AVFormatContext* output, output_stream_state& stream, const shown_picture& shown, int copies,
                   int64_t first_pts) {
    if (!stream.picture_to_encode)
        stream.picture_to_encode.reset(av_frame_alloc());
    AVFrame* picture = stream.picture_to_encode.get();
    if (!picture || copies <= 0 || !shown.final_picture() || av_frame_ref(picture, shown.final_picture()) < 0)
        return;
    picture->interlaced_frame = shown.interlaced_frame;
    picture->top_field_first = shown.top_field_first;
    picture->quality = 0;
    picture->pict_type = AV_PICTURE_TYPE_NONE;
    picture->key_frame = 0;
    for (int i = 0; i < copies; ++i) {
        if (i > 0 && transcode_stop_requested())
            break;  // a long gap is not encoded into rings nobody reads
        picture->pts = first_pts + i;
        if (avcodec_send_frame(stream.encoder, picture) >= 0)
            drain_encoder(output, stream, false);
    }
    av_frame_unref(picture);
}

void take_fields(shown_picture& shown, const AVFrame* decoded) {
    shown.interlaced_frame = decoded->interlaced_frame;
    shown.top_field_first = decoded->top_field_first;
}

// The gap before a picture of copies frames shows the picture before it, when
// there is one: the frames it fills, which the caller encodes or hands on.
int gap_frames(const output_stream_state& stream, int copies) {
    const bool previous = stream.waiting.decoded || stream.last_shown.final_picture();
    return previous ? copies - 1 : 0;
}

// Encodes the gap after the last shown picture now.
void fill_gap_with_last(AVFormatContext* output, output_stream_state& stream, int gap) {
    encode_copies(output, stream, stream.last_shown, gap, stream.frames_out);
    stream.frames_out += gap;
}

// Keeps the encoded picture as the one to show again.
void keep_shown(output_stream_state& stream, const AVFrame* final_picture, const AVFrame* decoded) {
    shown_picture& shown = stream.last_shown;
    shown.scaled = nullptr;
    if (final_picture == decoded) {
        if (!shown.unscaled)
            shown.unscaled.reset(av_frame_alloc());
        else
            av_frame_unref(shown.unscaled.get());
        if (!shown.unscaled || av_frame_ref(shown.unscaled.get(), decoded) < 0) {
            shown.unscaled.reset();
            return;
        }
    } else {
        if (shown.unscaled)
            av_frame_unref(shown.unscaled.get());
        shown.scaled = stream.scaled_picture.get();  // where encoder_picture put it
    }
    take_fields(shown, decoded);
}

// One thread: the picture is scaled and encoded at once.
void encode_in_line(AVFormatContext* output, output_stream_state& stream, const AVFrame* picture, int copies) {
    const int gap = gap_frames(stream, copies);
    fill_gap_with_last(output, stream, gap);
    const AVFrame* final_picture = encoder_picture(stream, picture);
    if (!final_picture) {
        stream.last_shown = shown_picture{};  // its target may hold half a picture now
        return;
    }
    keep_shown(stream, final_picture, picture);
    encode_copies(output, stream, stream.last_shown, copies - gap, stream.frames_out);
    stream.frames_out += copies - gap;  // also when the encoder keeps the picture back
}

// The waiting picture into the encoder, once its scaling is done (scaled); it
// is then the last shown picture.
void encode_waiting(AVFormatContext* output, output_stream_state& stream, bool scaled) {
    decided_picture& waiting = stream.waiting;
    if (!waiting.decoded)
        return;
    shown_picture shown;
    take_fields(shown, waiting.decoded.get());
    if (!waiting.scaled)
        shown.unscaled = std::move(waiting.decoded);
    else if (scaled)
        shown.scaled = waiting.scaled;
    if (shown.final_picture())
        encode_copies(output, stream, shown, waiting.copies, waiting.first_pts);
    waiting.decoded.reset();
    waiting.scaled = nullptr;
    stream.last_shown = std::move(shown);
}

// The scaler's target the next picture goes into: not the one that holds the
// picture still to be encoded or shown again.
AVFrame* free_target(const output_stream_state& stream) {
    const AVFrame* held = stream.waiting.decoded ? stream.waiting.scaled : stream.last_shown.scaled;
    return held == stream.scaled_picture.get() ? stream.scaled_spare.get() : stream.scaled_picture.get();
}

// Takes the picture and its frames and starts its scaling. False when it is
// dropped: no scaler for its shape, or no memory.
bool take_next(output_stream_state& stream, const AVFrame* picture, int copies, decided_picture& next) {
    next.decoded.reset(av_frame_alloc());
    if (!next.decoded || av_frame_ref(next.decoded.get(), picture) < 0)
        return false;
    next.copies = copies;
    next.first_pts = stream.frames_out;
    if (needs_no_scaling(stream, picture))
        return true;
    SwsContext* scaler = scaler_for(stream, picture);
    if (!scaler)
        return false;
    next.scaled = free_target(stream);
    stream.scaling->start(scaler, next.scaled, next.decoded.get(), stream.upright.get());
    return true;
}

// The scaler's thread scales this picture while the one before it is encoded
// here; the frames are counted when they are decided, as in line.
void encode_one_ahead(AVFormatContext* output, output_stream_state& stream, const AVFrame* picture, int copies) {
    const bool scaled = stream.scaling->finish();  // frees the scaler and the other target
    const int gap = gap_frames(stream, copies);
    if (stream.waiting.decoded) {
        stream.waiting.copies += gap;
        stream.frames_out += gap;
    } else {
        fill_gap_with_last(output, stream, gap);
    }
    decided_picture next;
    if (take_next(stream, picture, copies - gap, next))
        stream.frames_out += copies - gap;
    else
        next.decoded.reset();
    encode_waiting(output, stream, scaled);
    stream.waiting = std::move(next);
}

// A jump this large in the input clock may be a break in its time stamps (a
// joined recording, a clock that starts far from 0) rather than a gap.
constexpr double LARGE_GAP_FRAMES = 5.5;
// A gap counts as real while the sound has gone at least that far, or (for an
// input without sound) while it is no longer than this or two of the input's
// own picture intervals. Time stamps interleave within about a second.
constexpr double BREAK_SLACK_S = 5.0;

double nominal_picture_seconds(const output_stream_state& stream) {
    const input_stream_state* source = stream.sync_source;
    if (!source || !source->decoder)
        return 0;
    const AVRational rate = source->decoder->framerate;
    return rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 0;
}

// Frames of output the sound given to its encoder so far lasts.
double sound_frames(const output_stream_state& sound, double frame_seconds) {
    return double(sound.samples_out) / sound.encoder->sample_rate / frame_seconds;
}

// Where the gap of d frames before the current picture starts on the input's
// clock (microseconds).
int64_t gap_start_us(const output_stream_state& stream, double d, double frame_seconds) {
    return stream.sync_source->current_time - int64_t(std::llround(d * frame_seconds * 1e6));
}

bool is_break(const output_stream_state& stream, double d, double frame_seconds) {
    // The stream's own packets came all through the gap: only their pictures
    // were lost (a damaged stretch), so the gap keeps its time.
    const input_stream_state& source = *stream.sync_source;
    if (packets_came_through(source, gap_start_us(stream, d, frame_seconds), source.current_time))
        return false;
    const double slack = std::max(BREAK_SLACK_S, 2 * nominal_picture_seconds(stream)) / frame_seconds;
    const double reference =
        stream.sound ? sound_frames(*stream.sound, frame_seconds) : double(stream.frames_out);
    return double(stream.frames_out) + d > reference + slack;
}

bool nothing_shown(const output_stream_state& stream) {
    return stream.frames_out == 0 && !stream.waiting.decoded && !stream.last_shown.final_picture();
}

// The picture at its own time, d frames on: the d frames before it show the
// picture before it, then it comes once.
int copies_at_own_time(double d) {
    return round_float(float(std::min(d, MAX_GAP_FRAMES))) + 1;
}

// The first picture comes at the frame its time falls in: the whole frames
// before it show it as well, as no earlier picture can. Within the slack of
// the rule for the pictures after it, it would come up to a frame early and
// the stream stay so.
int first_picture_copies(double d) {
    const double before = std::floor(d + 1e-6);
    return before < 1 ? video_frame_copies(d) : int(std::min(before, MAX_GAP_FRAMES)) + 1;
}

// The frames of a picture while the pictures regain their step after a gap:
// the frames before its time show the picture before it, and a picture half
// a frame or more behind the output is dropped. From the next key picture
// on, the rule for every picture holds again.
int regaining_copies(output_stream_state& stream, const AVFrame* picture, double d) {
    if (picture->key_frame)
        stream.regaining_step = false;
    if (d >= 0.5)
        return copies_at_own_time(d);
    return d <= -0.5 ? 0 : video_frame_copies(d);
}

// The frames the picture stands for. After a long gap the picture is placed at
// its own time, so the pictures after it go on in step. After a break the
// clock is set back so the picture comes next, and the pictures after it keep
// their pace from there.
int decide_copies(output_stream_state& stream, const AVFrame* picture) {
    const double frame_seconds = av_q2d(stream.encoder->time_base);
    const double d = get_input_sync_time(stream) / frame_seconds - stream.clock_shift - double(stream.frames_out);
    if (d >= LARGE_GAP_FRAMES && is_break(stream, d, frame_seconds)) {
        stream.clock_shift += d;
        return 1;
    }
    if (nothing_shown(stream))
        return first_picture_copies(d);
    if (d >= LARGE_GAP_FRAMES) {
        stream.regaining_step = !picture->key_frame;
        return copies_at_own_time(d);
    }
    return stream.regaining_step ? regaining_copies(stream, picture, d) : video_frame_copies(d);
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
    return round_float(float(std::min(d, MAX_GAP_FRAMES)));
}

bool open_video_path(output_stream_state& stream) {
    if (stream.sync_source && stream.sync_source->stream) {
        std::vector<filter_step> steps = upright_steps(*stream.sync_source->stream);
        if (!steps.empty())
            stream.upright = std::make_unique<upright_filter>(std::move(steps));
    }
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

bool repeat_video_output(AVFormatContext* output, output_stream_state& stream, int frames) {
    if (stream.waiting.decoded) {
        const bool scaled = stream.scaling->finish();
        stream.waiting.copies += frames;
        stream.frames_out += frames;
        encode_waiting(output, stream, scaled);
        return true;
    }
    if (!stream.last_shown.final_picture())
        return false;
    fill_gap_with_last(output, stream, frames);
    return true;
}

void encode_video_output(AVFormatContext* output, output_stream_state& stream, const AVFrame* picture) {
    int copies = decide_copies(stream, picture);
    if (copies == 0)
        return;
    if (stream.scaling)
        encode_one_ahead(output, stream, picture, copies);
    else
        encode_in_line(output, stream, picture, copies);
}
