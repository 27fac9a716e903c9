// The display matrix read into FFmpeg's transpose and flip filters, and the
// filter graph that turns each picture.

#include "transcoder/upright.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/display.h>
}

namespace {

// The matrix, in 16.16 fixed point, maps a point of the stored picture (x to
// the right, y down) to where it is shown: x' = m[0] x + m[3] y and
// y' = m[1] x + m[4] y.
const int32_t* display_matrix(const AVStream& stream) {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    return data && size >= 9 * sizeof(int32_t) ? reinterpret_cast<const int32_t*>(data) : nullptr;
}

// A turn within a degree of a quarter turn counts as one.
bool is_quarter_turn(const int32_t* matrix) {
    const double quarters = av_display_rotation_get(matrix) / 90;
    return !std::isnan(quarters) && std::fabs(quarters - std::round(quarters)) * 90 < 1.0;
}

bool swaps_sides(const int32_t* matrix) {
    return std::fabs(double(matrix[1])) + std::fabs(double(matrix[3])) >
           std::fabs(double(matrix[0])) + std::fabs(double(matrix[4]));
}

// The matrix of a quarter turn; null for none.
const int32_t* quarter_turn_matrix(const AVStream& stream) {
    const int32_t* matrix = display_matrix(stream);
    return matrix && is_quarter_turn(matrix) ? matrix : nullptr;
}

// x' = m[3] y and y' = m[1] x: each pair of signs is one direction of the
// transpose filter (a turn either way, or a turn and a mirror).
const char* transpose_direction(const int32_t* matrix) {
    if (matrix[1] > 0)
        return matrix[3] > 0 ? "dir=cclock_flip" : "dir=clock";
    return matrix[3] > 0 ? "dir=cclock" : "dir=clock_flip";
}

}  // namespace

std::vector<filter_step> upright_steps(const AVStream& stream) {
    const int32_t* matrix = quarter_turn_matrix(stream);
    if (!matrix)
        return {};
    if (swaps_sides(matrix))
        return {{"transpose", transpose_direction(matrix)}};
    std::vector<filter_step> steps;
    if (matrix[0] < 0)
        steps.push_back({"hflip", nullptr});
    if (matrix[4] < 0)
        steps.push_back({"vflip", nullptr});
    return steps;
}

bool shown_sideways(const AVStream& stream) {
    const int32_t* matrix = quarter_turn_matrix(stream);
    return matrix && swaps_sides(matrix);
}

void filter_graph_deleter::operator()(AVFilterGraph* graph) const {
    avfilter_graph_free(&graph);
}

upright_filter::upright_filter(std::vector<filter_step> steps)
    : steps_(std::move(steps)),
      swaps_sides_(std::any_of(steps_.begin(), steps_.end(),
                               [](const filter_step& step) { return std::strcmp(step.name, "transpose") == 0; })),
      stretched_(av_frame_alloc()),
      given_(av_frame_alloc()),
      turned_(av_frame_alloc()) {}

bool upright_filter::make_graph(const AVFrame* picture) {
    graph_.reset(avfilter_graph_alloc());
    if (!graph_)
        return false;
    AVFilterGraph* graph = graph_.get();
    // The pictures are small: threads would cost more than they give.
    graph->nb_threads = 1;
    const AVRational aspect = picture->sample_aspect_ratio.den > 0 ? picture->sample_aspect_ratio : AVRational{0, 1};
    char source_options[128];
    std::snprintf(source_options, sizeof source_options, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=%d/%d",
                  picture->width, picture->height, picture->format, aspect.num, aspect.den);
    if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", source_options, nullptr,
                                     graph) < 0 ||
        avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph) < 0)
        return false;
    AVFilterContext* last = source_;
    for (const filter_step& step : steps_) {
        AVFilterContext* filter = nullptr;
        if (avfilter_graph_create_filter(&filter, avfilter_get_by_name(step.name), step.name, step.options, nullptr,
                                         graph) < 0 ||
            avfilter_link(last, 0, filter, 0) < 0)
            return false;
        last = filter;
    }
    return avfilter_link(last, 0, sink_, 0) >= 0 && avfilter_graph_config(graph, nullptr) >= 0;
}

bool upright_filter::graph_for(const AVFrame* picture) {
    if (width_ == picture->width && height_ == picture->height && format_ == picture->format)
        return bool(graph_);
    width_ = picture->width;
    height_ = picture->height;
    format_ = picture->format;
    if (make_graph(picture))
        return true;
    graph_.reset();
    std::fprintf(stderr, "vantrel: no filters to turn %dx%d pictures upright\n", picture->width, picture->height);
    return false;
}

bool upright_filter::turn(const AVFrame* picture) {
    av_frame_unref(turned_.get());
    if (!graph_for(picture) || av_frame_ref(given_.get(), picture) < 0)
        return false;
    // The times are the decoder's business: the filters only turn the picture.
    given_->pts = AV_NOPTS_VALUE;
    if (av_buffersrc_add_frame(source_, given_.get()) < 0) {
        av_frame_unref(given_.get());
        return false;
    }
    return av_buffersink_get_frame(sink_, turned_.get()) >= 0;
}

bool upright_filter::make_stretched(const AVFrame* target) {
    const int width = swaps_sides_ ? target->height : target->width;
    const int height = swaps_sides_ ? target->width : target->height;
    if (stretched_->buf[0] && stretched_->width == width && stretched_->height == height &&
        stretched_->format == target->format)
        return av_frame_make_writable(stretched_.get()) >= 0;
    av_frame_unref(stretched_.get());
    stretched_->format = target->format;
    stretched_->width = width;
    stretched_->height = height;
    return av_frame_get_buffer(stretched_.get(), 0) >= 0;
}

bool upright_filter::stretch(SwsContext* scaler, AVFrame* target, const AVFrame* source) {
    if (!stretched_ || !given_ || !turned_ || !make_stretched(target) ||
        sws_scale_frame(scaler, stretched_.get(), source) < 0)
        return false;
    const bool turned = turn(stretched_.get()) && av_frame_make_writable(target) >= 0 &&
                        av_frame_copy(target, turned_.get()) >= 0;
    av_frame_unref(turned_.get());  // the scaler's picture is free for the next one
    return turned;
}
