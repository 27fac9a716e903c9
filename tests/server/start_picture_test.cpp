// A start time inside a picture, on a clip whose pictures show their number
// and whose sound beeps at each whole second: what the received packets
// rebuild shows the picture on screen at the start time first, and the
// pictures after it in turn, with the sound of the start time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/counting_clip.h"
#include "tests/server/served_clips.h"

namespace {

constexpr double FPS = 25;
constexpr double CLIP_SECONDS = 60;
// The numbers a picture shows are ten bits.
constexpr int NUMBERS = 1024;
// Four seconds of the stream: three beeps or more.
constexpr size_t PACKETS = 100;
// The MP3 encoder's own delay, and how closely a beep's start is found.
constexpr double MP3_DELAY_MS = 25;
constexpr double HEARD_WITHIN_MS = 6;

using StartPicture = ServedClips;

TEST_F(StartPicture, TheFirstPictureIsTheOneOnScreenAtTheStartTime) {
    struct Case {
        const char* stime;
        double start_s;
        int first;  // picture n is on screen from n / 25 s to (n + 1) / 25 s
    };
    const Case cases[] = {
        {"10.5", 10.5, 262},
        {"10.53", 10.53, 263},
        {"55.5", 55.5, 1387},
        {"37.48", 37.48, 937},  // a picture's own start
        // A millisecond before the next picture: that one, nearer to the sound.
        {"00:00:21.039", 21.039, 526},
    };
    // H.264 with B-frames and AAC in MP4, as a camera or a phone writes them.
    const std::string name = "count.mp4";
    const std::vector<std::string> encoding = {"-c:v", "libx264", "-g", "50", "-c:a", "aac"};
    ASSERT_TRUE(
        test_support::MakeCountingClip({"25", CLIP_SECONDS, -1, 0, ""}, media_.file(name), {true, 0, encoding}));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("stime ") + c.stime);
        const test_support::ReceivedStream received = stream(name, c.stime, PACKETS);
        ASSERT_EQ(received.packets.size(), PACKETS);
        const Rebuilt files = rebuild(received);
        const std::vector<int> numbers = test_support::PictureNumbers(files.pictures);
        ASSERT_EQ(numbers.size(), PACKETS);
        EXPECT_EQ(numbers.front(), c.first % NUMBERS) << "the picture on screen at the start time comes first";
        int out_of_turn = 0;
        for (size_t i = 0; i < numbers.size(); ++i)
            if (numbers[i] != (c.first + int(i)) % NUMBERS && out_of_turn++ < 3)
                ADD_FAILURE() << "frame " << i << " shows picture " << numbers[i];
        EXPECT_EQ(out_of_turn, 0) << "each frame shows the next picture";

        // The sound starts at the start time itself: a beep is heard as much
        // sooner after its second is seen as the start lies into its picture.
        const double into_picture_ms = (c.start_s - c.first / FPS) * 1000;
        std::vector<int> counted(numbers.size());
        for (size_t i = 0; i < numbers.size(); ++i) {
            const int wraps = (c.first + int(i) - numbers[i] + NUMBERS / 2) / NUMBERS;
            counted[i] = numbers[i] + wraps * NUMBERS;
        }
        // A beep the start time cuts is too short to tell its pitch.
        std::vector<test_support::BeepHeard> beeps = test_support::BeepsHeard(files.sound);
        const double first_whole_s = std::ceil(c.start_s) - c.start_s + (MP3_DELAY_MS - HEARD_WITHIN_MS) / 1000;
        beeps.erase(std::remove_if(beeps.begin(), beeps.end(),
                                   [&](const test_support::BeepHeard& beep) { return beep.at_s < first_whole_s; }),
                    beeps.end());
        const std::vector<double> offsets = test_support::SoundAfterPicturesMs(counted, 1 / FPS, FPS, beeps);
        EXPECT_GE(offsets.size(), 3u) << "every second is heard";
        for (double offset : offsets)
            EXPECT_NEAR(offset, MP3_DELAY_MS - into_picture_ms, HEARD_WITHIN_MS) << "the beep is heard in step";
    }
}

}  // namespace
