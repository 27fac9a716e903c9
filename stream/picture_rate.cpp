#include "stream/picture_rate.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// A guess this many times the average rate is no rate the pictures keep.
constexpr double GUESS_FAR_ABOVE_AVERAGE = 10.0;

bool usable(AVRational rate) {
    return rate.num > 0 && rate.den > 0;
}

}  // namespace

AVRational stream_picture_rate(const AVStream& stream) {
    const AVRational guessed = stream.r_frame_rate;
    const AVRational average = stream.avg_frame_rate;
    if (usable(guessed) && usable(average) && av_q2d(guessed) > GUESS_FAR_ABOVE_AVERAGE * av_q2d(average))
        return average;
    return guessed;
}
