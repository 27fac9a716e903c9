// "streamopen" of a file that an earlier "streamopen" left open: every open
// starts where its own start time says, counts its frames from there and
// keeps the handle, over a real socket on clips whose pictures show their number.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "stream/stream_state.h"
#include "tests/support/counting_clip.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

using test_support::PmpHeaderFrameCount;
using test_support::ReceivedStream;

constexpr double PICTURE_RATE = 25;

class StreamReopen : public ::testing::Test {
protected:
    void TearDown() override {
        server_.reset();
        EXPECT_EQ(transcode_running.load(), 0);
    }

    void start_server() {
        server_ = std::make_unique<test_support::TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            record.m_strMovieBitrate = "400";
        });
        test_support::ListDir(server_->port(), test_support::ListDirRequest("\\" + media_.path(), 4096));
    }

    int32_t open(const std::string& name, const std::string& stime) {
        const std::string tail = stime.empty() ? "" : "&stime=" + stime;
        return test_support::StreamOpen(server_->port(), "streamopen filename=" + name + ".pmp" + tail).value_or(-99);
    }

    // Opens the file at each earlier start time, then plays it from the last
    // one, timing its first packet.
    struct timed_stream {
        ReceivedStream received;
        double first_packet_s = -1;  // from the last "streamopen" on; below 0: none came
    };
    timed_stream play_timed(const std::string& name, const std::vector<std::string>& earlier,
                            const std::string& stime) {
        for (const std::string& start : earlier) {
            EXPECT_EQ(1, open(name, start)) << "the file keeps its handle";
        }
        timed_stream timed;
        const auto begin = std::chrono::steady_clock::now();
        timed.received = test_support::OpenAndReceiveStream(
            server_->port(), media_.path(), name, stime, 0, [&](size_t count) {
                if (count == 1)
                    timed.first_packet_s =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            });
        return timed;
    }

    // The number each frame shows, read from the stream's rebuilt MPEG-4.
    std::vector<int> pictures_of(const ReceivedStream& received) {
        const std::string pictures = work_.file("received.m4v");
        EXPECT_TRUE(test_support::WriteElementaryStreams(received, pictures, work_.file("received.mp3")));
        return test_support::PictureNumbers(pictures);
    }

    // N frames from the start time to the end, N - 1 packets, and each frame
    // the picture of its time from there.
    void expect_played_from(const ReceivedStream& received, double start_s, double clip_s) {
        const uint32_t n = PmpHeaderFrameCount(received.header);
        EXPECT_NEAR(double(n), (clip_s - start_s) * PICTURE_RATE, 1.5);
        EXPECT_TRUE(received.ended);
        EXPECT_EQ(received.packets.size() + 1, n) << "a stream of N frames carries N - 1 packets";
        const std::vector<int> numbers = pictures_of(received);
        ASSERT_EQ(numbers.size(), received.packets.size());
        auto shown_at = [&](double t) { return int(std::floor((start_s + t) * PICTURE_RATE + 1e-6)); };
        EXPECT_EQ(test_support::CountFramesOutOfStep(numbers, PICTURE_RATE, shown_at), 0);
    }

    test_support::TempDir media_{"vantrel-reopen-media"};
    test_support::TempDir work_{"vantrel-reopen-received"};
    std::unique_ptr<test_support::TestServer> server_;
};

TEST_F(StreamReopen, EveryOpenOfAFileStillOpenStartsAtItsOwnStartTime) {
    constexpr double CLIP_S = 20;
    struct Case {
        std::vector<std::string> earlier;
        const char* stime;
        double start_s;
    };
    const Case cases[] = {
        {{"16.5"}, "3.54", 3.54},     // an earlier start, after a later one
        {{"15"}, "", 0},              // the beginning, after a start time
        {{"", "12"}, "00:00:07", 7},  // a length read first, then two seeks
        {{"7"}, "7", 7},              // the same start again
        {{""}, "", 0},                // the same file twice from its beginning
    };
    ASSERT_TRUE(test_support::MakeCountingClip({"25", CLIP_S, -1, 0, ""}, media_.file("clip.mp4")));
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("then stime=") + c.stime);
        expect_played_from(play_timed("clip.mp4", c.earlier, c.stime).received, c.start_s, CLIP_S);
    }
}

// A long 1080p film opened from its beginning and then near its end: the open
// input is sought, as a fresh open of the same request seeks, not decoded up to
// the start time (which would take longer than the sender waits for its
// pre-roll on a film of half an hour, and here far longer than a seek).
TEST_F(StreamReopen, AStartNearTheEndOfALongFilmOpenedBeforeIsSoughtTo) {
    constexpr int LOOPS = 60;
    constexpr double PART_S = 10;
    const std::string part = work_.file("part.mp4");
    ASSERT_TRUE(test_support::MakeCountingClip(
        {"25", PART_S, -1, 0, ""}, part,
        {false, 0,
         {"-s", "1920x1080", "-c:v", "libx264", "-preset", "ultrafast", "-g", "50", "-c:a", "libmp3lame", "-b:a",
          "32k"}}));
    ASSERT_TRUE(test_support::make_clip({"-stream_loop", std::to_string(LOOPS - 1), "-i", part, "-c", "copy"},
                                        media_.file("film.mp4")));
    start_server();
    const std::string stime = std::to_string(LOOPS * PART_S - 10);
    const timed_stream fresh = play_timed("film.mp4", {}, stime);
    const timed_stream reopened = play_timed("film.mp4", {""}, stime);
    ASSERT_GT(PmpHeaderFrameCount(fresh.received.header), 200u);
    EXPECT_EQ(PmpHeaderFrameCount(reopened.received.header), PmpHeaderFrameCount(fresh.received.header));
    EXPECT_EQ(reopened.received.packets.size() + 1, PmpHeaderFrameCount(reopened.received.header));
    EXPECT_EQ(pictures_of(reopened.received), pictures_of(fresh.received));
    ASSERT_GE(fresh.first_packet_s, 0);
    ASSERT_GE(reopened.first_packet_s, 0) << "no packet came";
    EXPECT_LT(reopened.first_packet_s, 4 * fresh.first_packet_s + 1)
        << "the first packet of the film opened before took " << reopened.first_packet_s << " s, of a fresh open "
        << fresh.first_packet_s << " s";
}

}  // namespace
