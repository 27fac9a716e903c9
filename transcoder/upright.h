#pragma once
// Pictures stored on their side (a phone's portrait video) are shown as the
// video stream's display matrix says: turned by quarter turns, or mirrored,
// with FFmpeg's transpose and flip filters, before they are stretched to the
// output size.

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

// Turns decoded pictures with the steps, on threads threads (0: as the
// machine has). The graph is made for the first picture, and again when the
// pictures change size or format.
class upright_filter {
public:
    upright_filter(std::vector<filter_step> steps, int threads);

    // The picture turned, with its properties; valid until the next call.
    // Null when the filters fail on it.
    const AVFrame* turn(const AVFrame* picture);

private:
    bool graph_for(const AVFrame* picture);
    bool make_graph(const AVFrame* picture);

    std::vector<filter_step> steps_;
    int threads_;
    filter_graph_ptr graph_;
    AVFilterContext* source_ = nullptr;  // owned by the graph
    AVFilterContext* sink_ = nullptr;
    int width_ = 0;  // the shape of the pictures the graph was made for
    int height_ = 0;
    int format_ = -1;
    frame_ptr given_;
    frame_ptr turned_;
};
