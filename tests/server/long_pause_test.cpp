// A client that pauses a stream: it stops acknowledging after a packet, for
// longer than the transcoder's wait for a free ring slot, and then goes on,
// hangs up, or the program ends during the pause. The wait is shortened here;
// the pauses are measured from when the transcoder has filled the ring behind
// the paused client and waits.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stream/stream_state.h"
#include "tests/support/counting_clip.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/support/wait.h"

namespace {

using test_support::PmpHeaderFrameCount;
using test_support::ReceivedStream;

constexpr int64_t FREE_WAIT_MS = 1000;
// The client acknowledges this many packets, then pauses.
constexpr size_t PAUSE_AFTER = 100;
// The clip: 12 s at 25 pictures a second, each showing its number.
constexpr double CLIP_SECONDS = 12;
// A transcode under the sanitizers is many times slower than the client.
constexpr int RING_FILL_LIMIT_S = 120;

class LongPauseTest : public ::testing::Test {
protected:
    void SetUp() override {
        slot_free_wait_ms = FREE_WAIT_MS;
        ASSERT_TRUE(test_support::MakeCountingClip({"25", CLIP_SECONDS, -1, 0, ""}, media_.file("count.avi")));
        server_ = std::make_unique<test_support::TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            record.m_strMovieBitrate = "400";
        });
    }

    void TearDown() override {
        server_.reset();
        slot_free_wait_ms = SLOT_FREE_WAIT_MS;
        EXPECT_EQ(transcode_running.load(), 0);
    }

    // The client has acknowledged PAUSE_AFTER packets; the sender has sent one
    // more and waits for its byte. The transcoder has filled every slot the
    // sender gave back and waits for the next one, the slot of that unanswered
    // packet's successor.
    static bool transcoder_waits_behind_the_pause() {
        return video_packets_written.load() >= int(PAUSE_AFTER) + VIDEO_RING_SLOTS + 2;
    }

    // Runs after each acknowledged packet: after PAUSE_AFTER, waits for the
    // full ring, pauses for pause_ms, then runs then (if any).
    std::function<void(size_t)> pause_after(int64_t pause_ms, std::function<void()> then = {}) {
        return [this, pause_ms, then](size_t acknowledged) {
            if (acknowledged != PAUSE_AFTER)
                return;
            ring_filled_ = test_support::eventually(transcoder_waits_behind_the_pause, RING_FILL_LIMIT_S);
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
            if (then)
                then();
        };
    }

    ReceivedStream stream(size_t max_packets = 0, const std::function<void(size_t)>& after_packet = {}) {
        return test_support::OpenAndReceiveStream(server_->port(), media_.path(), "count.avi", "", max_packets,
                                                  after_packet);
    }

    // The numbers the stream's pictures show, read back from its MPEG-4 part.
    std::vector<int> picture_numbers(const ReceivedStream& received) {
        const std::string pictures = work_.file("received.m4v");
        EXPECT_TRUE(test_support::WriteElementaryStreams(received, pictures, work_.file("received.mp3")));
        return test_support::PictureNumbers(pictures);
    }

    // All N - 1 packets came, and their pictures are 0, 1, 2, ... to the end.
    void expect_whole_and_in_order(const ReceivedStream& received) {
        const uint32_t n = PmpHeaderFrameCount(received.header);
        ASSERT_NEAR(n, CLIP_SECONDS * 25, 1.0);
        EXPECT_TRUE(received.ended);
        EXPECT_EQ(received.packets.size(), n - 1) << "a stream of N frames carries N - 1 packets";
        const std::vector<int> numbers = picture_numbers(received);
        EXPECT_EQ(numbers.size(), n - 1);
        int out_of_order = 0;
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (numbers[i] != int(i) && ++out_of_order <= 3)
                ADD_FAILURE() << "packet " << i << " shows picture " << numbers[i];
        }
        EXPECT_EQ(out_of_order, 0);
    }

    test_support::TempDir media_{"pause-media"};
    test_support::TempDir work_{"pause-received"};
    std::unique_ptr<test_support::TestServer> server_;
    bool ring_filled_ = false;
};

// A pause just past the transcoder's wait and one far past it: the stream
// goes on in order to its end.
TEST_F(LongPauseTest, APauseOfAnyLengthResumesInOrderToTheEnd) {
    for (const int64_t pause_ms : {FREE_WAIT_MS * 11 / 10, FREE_WAIT_MS * 3}) {
        SCOPED_TRACE("pause of " + std::to_string(pause_ms) + " ms");
        ring_filled_ = false;
        const ReceivedStream received = stream(0, pause_after(pause_ms));
        EXPECT_TRUE(ring_filled_) << "the transcoder never filled the ring behind the pause";
        expect_whole_and_in_order(received);
    }
}

// The client hangs up in the pause: the server thread serves the next request,
// that request frees the transcoder at once, and the next stream plays whole.
TEST_F(LongPauseTest, AClientThatHangsUpInThePauseFreesTheServerAndTheTranscoder) {
    const ReceivedStream left = stream(PAUSE_AFTER, pause_after(FREE_WAIT_MS * 3));
    EXPECT_TRUE(ring_filled_);
    EXPECT_EQ(left.packets.size(), PAUSE_AFTER);

    const test_support::ListDirReply listing =
        test_support::ListDir(server_->port(), test_support::ListDirRequest(media_.path(), 4096));
    EXPECT_TRUE(listing.well_formed) << "the server thread is free again";
    EXPECT_EQ(transcode_running.load(), 0) << "the listing stopped and released the transcoder";
    expect_whole_and_in_order(stream());
}

// The program ends in the pause: the shutdown does not wait for the client.
TEST_F(LongPauseTest, AShutdownInThePauseIsPrompt) {
    std::future_status shutdown = std::future_status::deferred;
    const ReceivedStream received = stream(0, pause_after(FREE_WAIT_MS * 3, [&] {
        auto ending = std::async(std::launch::async, [&] { server_.reset(); });
        shutdown = ending.wait_for(std::chrono::seconds(10));
    }));
    EXPECT_TRUE(ring_filled_);
    EXPECT_EQ(shutdown, std::future_status::ready) << "the shutdown waited for the paused client";
    EXPECT_TRUE(received.ended);
    EXPECT_LE(received.packets.size(), PAUSE_AFTER + 1);
    EXPECT_EQ(transcode_running.load(), 0);
}

}  // namespace
