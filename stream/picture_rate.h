#pragma once
// The rate a video stream's pictures come at, as the header, the option
// record and the decoders take it.

extern "C" {
#include <libavutil/rational.h>
}

struct AVStream;

// FFmpeg's guessed rate (r_frame_rate), or the average rate where the guess
// is far above it: in a slide show or any input with uneven time stamps the
// guess can be the container's time base (1000 a second in Matroska).
AVRational stream_picture_rate(const AVStream& stream);
