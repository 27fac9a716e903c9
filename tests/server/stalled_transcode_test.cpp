// A transcode whose input stalls past the stop limit (a read held inside the
// demuxer, as a hung network share holds it): the server goes on serving,
// nothing is freed under the job, and the program's shutdown waits for the
// job before the settings record goes.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "server/server_thread.h"
#include "server/shutdown.h"
#include "server/stream_packets.h"
#include "stream/stream_state.h"
#include "tests/support/files.h"
#include "tests/support/gated_input.h"
#include "tests/support/media_clips.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using test_support::clip_kind;
using test_support::eventually;

namespace {

constexpr int HELD_READ_WAIT_MS = 20000;

class StalledTranscodeTest : public ::testing::Test {
protected:
    StalledTranscodeTest() : gated_(test_support::read_text(test_support::test_clip(clip_kind::mpeg4_mp3_avi))) {
        fs::copy_file(test_support::test_clip(clip_kind::wav_audio), media_.file("song.wav"));
        server_ = std::make_unique<test_support::TestServer>(
            [&](CVantrelDlg& record) { record.m_moviePaths = {media_.path()}; });
        stop_poll_interval_ms = 10;
        stop_poll_limit = 5;
    }

    ~StalledTranscodeTest() override {
        SetBeforeTranscoderRestartForTest(nullptr);
        gated_.open_gate();
        server_.reset();
        stop_poll_interval_ms = STOP_POLL_INTERVAL_MS;
        stop_poll_limit = STOP_POLL_LIMIT;
    }

    uint16_t port() const { return server_->port(); }

    // The gated clip in slot 0 (handle 1), a header for it, the gate closed
    // and "streampackets" sent: a job started now is held in its first read
    // past what FFmpeg buffered.
    void request_gated_stream() {
        input_slot input = gated_.open("gated.avi");
        ASSERT_TRUE(input);
        input_ = input;
        input_slot_table[0] = std::move(input);
        ASSERT_EQ(test_support::Stream2Header(port(), 1).bytes.size(), 56u);
        gated_.close_gate();
        stream_ = std::make_unique<test_support::ProtocolConnection>(port());
        ASSERT_TRUE(stream_->send("streampackets fd=1&packet=0"));
    }

    void start_stalled_stream() {
        request_gated_stream();
        ASSERT_TRUE(gated_.wait_for_held_read(HELD_READ_WAIT_MS)) << "the job never read past the gate";
        EXPECT_EQ(transcode_running.load(), 1);
    }

    test_support::TempDir media_{"stalled-media"};
    test_support::GatedInput gated_;
    std::unique_ptr<test_support::TestServer> server_;
    std::unique_ptr<test_support::ProtocolConnection> stream_;
    std::weak_ptr<opened_input> input_;
};

TEST_F(StalledTranscodeTest, TheServerGoesOnServingAndFreesNothingUnderTheJob) {
    start_stalled_stream();
    // The stalled stream sends nothing and ends; the client gives up on it.
    stream_->receive_all();
    stream_->close();

    const test_support::ListDirReply listing =
        test_support::ListDir(port(), test_support::ListDirRequest("\\" + media_.path(), 4096));
    EXPECT_TRUE(listing.well_formed) << "listdir is answered although the job did not stop";
    EXPECT_FALSE(input_slot_table[0]) << "the release closed the slots";
    EXPECT_FALSE(input_.expired()) << "the job still holds the input it reads";
    EXPECT_EQ(test_support::StreamOpen(port(), "streamopen filename=song.wav.pmp"), 0)
        << "nothing is opened while a job that would not stop runs";

    gated_.open_gate();  // the share answers again: the job reads on, sees the stop and ends
    ASSERT_TRUE(eventually([] { return transcode_running == 0; }));
    EXPECT_TRUE(input_.expired()) << "the job let go of its input as it ended";
    EXPECT_EQ(test_support::StreamOpen(port(), "streamopen filename=song.wav.pmp"), 1);
    EXPECT_EQ(test_support::Stream2Header(port(), 1).bytes.size(), 56u);
}

TEST_F(StalledTranscodeTest, ShutdownWaitsForTheStalledJobBeforeTheRecordGoes) {
    start_stalled_stream();
    std::atomic<bool> shut_down{false};
    std::thread closing([&] {
        server_.reset();  // ShutdownStreamServer, then the record is destroyed
        shut_down = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(shut_down.load()) << "the record must outlive the job";
    EXPECT_FALSE(input_.expired());
    gated_.open_gate();
    closing.join();
    EXPECT_TRUE(shut_down.load());
    EXPECT_TRUE(input_.expired());
    EXPECT_EQ(transcode_running.load(), 0);
    EXPECT_EQ(g_pMainDlg, nullptr);
    EXPECT_TRUE(stream_->receive_all().empty()) << "the stalled stream ends without a packet";
}

// The program closes just as a client's "streampackets" restarts the
// transcoder. The restart must not undo the shutdown's stop: the exit would
// then wait out the pre-roll, and here a job that makes no picture.
TEST_F(StalledTranscodeTest, AShutdownDuringATranscoderRestartIsNotUndone) {
    std::atomic<bool> at_restart{false};
    SetBeforeTranscoderRestartForTest([&] {
        at_restart = true;
        // The restart goes on once the shutdown has begun.
        eventually([] { return ServerThreadStopping(); }, 5);
    });
    request_gated_stream();
    ASSERT_TRUE(eventually([&] { return at_restart.load(); }));
    std::atomic<bool> shut_down{false};
    std::thread closing([&] {
        server_.reset();
        shut_down = true;
    });
    const bool ended_at_once = eventually([&] { return shut_down.load(); }, 3);
    gated_.open_gate();
    closing.join();
    EXPECT_TRUE(ended_at_once) << "the shutdown waited for the restarted stream";
    EXPECT_EQ(transcode_running.load(), 0);
    EXPECT_TRUE(stream_->receive_all().empty());
}

}  // namespace
