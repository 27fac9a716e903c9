#pragma once
// Pictures stored on their side (a phone's portrait video) are shown as the
// video stream's display matrix says: turned by quarter turns, or mirrored,
// with FFmpeg's transpose and flip filters. The picture is stretched to the
// output size on its side and then turned: the same picture, but for a level
// of rounding, as a turned one stretched, for a fraction of the work.

#include <memory>
#include <vector>

#include "transcoder/ffmpeg_ptr.h"

struct AVFilterGraph;
struct AVFilterContext;

// One filter of the turn: its name and its options.
struct filter_step {
    const char* name;
    const char* options;
};

// The filters that show the stream's pictures upright; none when it has no
// display matrix, or one that is no quarter turn (such a picture is shown as
// stored).
std::vector<filter_step> upright_steps(const AVStream& stream);

// Whether the stream's pictures are shown with their width and height swapped.
bool shown_sideways(const AVStream& stream);

struct filter_graph_deleter {
    void operator()(AVFilterGraph* graph) const;
};
using filter_graph_ptr = std::unique_ptr<AVFilterGraph, filter_graph_deleter>;

// Turns pictures with the steps. The graph is made for the first picture, and
// again when the pictures change size or format.
class upright_filter {
public:
    explicit upright_filter(std::vector<filter_step> steps);

    // Whether the turn swaps width and height.
    bool swaps_sides() const { return swaps_sides_; }

    // The whole source stretched by the scaler into target turned upright:
    // the scaler's picture (target's size, on its side when the turn swaps
    // sides) is turned into target. False when it cannot be done.
    bool stretch(SwsContext* scaler, AVFrame* target, const AVFrame* source);

private:
    // The picture turned, with its properties, into turned_. False when the
    // filters fail on it.
    bool turn(const AVFrame* picture);
    bool graph_for(const AVFrame* picture);
    bool make_graph(const AVFrame* picture);
    bool make_stretched(const AVFrame* target);

    std::vector<filter_step> steps_;
    bool swaps_sides_;
    filter_graph_ptr graph_;
    AVFilterContext* source_ = nullptr;  // owned by the graph
    AVFilterContext* sink_ = nullptr;
    int width_ = 0;  // the shape of the pictures the graph was made for
    int height_ = 0;
    int format_ = -1;
    frame_ptr stretched_;  // the scaler's picture, before the turn
    frame_ptr given_;
    frame_ptr turned_;
};
