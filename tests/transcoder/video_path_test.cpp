// The frame drop and copy rule of the video path.

#include <gtest/gtest.h>

#include <vector>

#include "transcoder/run_records.h"

namespace {

TEST(RoundFloat, HalvesGoAwayFromZero) {
    struct Case {
        float x;
        int rounded;
    };
    const Case cases[] = {{2.5f, 3}, {-2.5f, -3}, {2.49f, 2}, {-2.49f, -2}, {0.0f, 0}, {5.5f, 6}};
    for (const Case& c : cases)
        EXPECT_EQ(round_float(c.x), c.rounded) << c.x;
}

TEST(VideoFrameCopies, DecisionByHowFarTheInputIsAhead) {
    struct Case {
        double d;
        int copies;
    };
    const Case cases[] = {
        {-1.1000001, 0}, {-1.1, 1}, {-0.5, 1}, {0.0, 1}, {1.1, 1},
        {1.2, 1},        {1.6, 2},  {2.5, 3},  {4.4, 4}, {5.4, 5},
        {5.5, 1},  // a gap of six frames or more is not filled at all
        {600.0, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(video_frame_copies(c.d), c.copies) << c.d;
}

// Copies per picture for pictures at the given input rate, encoded at the
// given output rate, with the clock starting at clock_start seconds.
std::vector<int> simulate(double input_fps, double output_fps, int pictures, double clock_start = 0) {
    std::vector<int> copies;
    int64_t frames_out = 0;
    for (int i = 0; i < pictures; ++i) {
        double sync = clock_start + i / input_fps;
        int n = video_frame_copies(sync * output_fps - double(frames_out));
        copies.push_back(n);
        frames_out += n;
    }
    return copies;
}

TEST(VideoFrameCopies, HalvedRateKeepsPicturesOneTwoThreeThenEverySecond) {
    // 30 frames/s into an encoder time base of 1/15 s: pictures 1, 2, 3, 5, 7, 9 ... are kept.
    EXPECT_EQ(simulate(30, 15, 10), (std::vector<int>{1, 1, 1, 0, 1, 0, 1, 0, 1, 0}));
}

TEST(VideoFrameCopies, DoubledRateCopiesEveryLaterPictureTwice) {
    EXPECT_EQ(simulate(15, 30, 6), (std::vector<int>{1, 1, 2, 2, 2, 2}));
}

TEST(VideoFrameCopies, AClockFarAheadGivesOneFramePerPicture) {
    // After a seek to 600 s whose time stamps follow the seek.
    std::vector<int> copies = simulate(25, 25, 50, 600.0);
    EXPECT_EQ(copies, std::vector<int>(50, 1));
}

TEST(VideoFrameCopies, SameRateGivesOneFrameEach) {
    EXPECT_EQ(simulate(25, 25, 30), std::vector<int>(30, 1));
}

}  // namespace
