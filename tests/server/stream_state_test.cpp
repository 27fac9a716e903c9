#include "stream/stream_state.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/support/media_clips.h"
#include "tests/support/test_server.h"

namespace {

using platform::wait_for_one;

class StreamStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        stop_poll_interval_ms = 1;
        stop_poll_limit = 50;
        transcode_running = 0;
        stream_drained = 0;
    }
    void TearDown() override {
        transcode_running = 0;
        stop_poll_interval_ms = STOP_POLL_INTERVAL_MS;
        stop_poll_limit = STOP_POLL_LIMIT;
    }
    bool StopEventSet() { return wait_for_one(transcode_stop_event, 0) == 0; }

    test_support::TestServer server;
};

TEST_F(StreamStateTest, StartClearsTheSlotTableAndRecordsTheDialog) {
    EXPECT_EQ(g_pMainDlg, &server.record());
    for (const input_slot& slot : input_slot_table) EXPECT_EQ(slot, nullptr);
    EXPECT_TRUE(transcode_stop_event.valid());
    EXPECT_FALSE(StopEventSet());
    EXPECT_TRUE(audio_slot_free_events[AUDIO_RING_SLOTS - 1].valid());
    EXPECT_TRUE(video_slot_filled_events[VIDEO_RING_SLOTS - 1].valid());
}

TEST_F(StreamStateTest, StopWithoutTranscodeTouchesNothing) {
    for (bool release : {true, false}) {
        EXPECT_TRUE(StopRunningTranscode(release));
        EXPECT_EQ(stream_drained.load(), 0);
        EXPECT_FALSE(StopEventSet());
    }
}

TEST_F(StreamStateTest, StopWithoutReleaseOnAFinishedTranscodeGivesUp) {
    transcode_running = 1;  // a thread that finished encoding and waits for the release
    EXPECT_FALSE(StopRunningTranscode(false));
    EXPECT_TRUE(StopEventSet());
    EXPECT_EQ(stream_drained.load(), 0);
    EXPECT_EQ(transcode_running.load(), 1);
}

// Stands in for the transcode thread's ending: stop, wait for the release,
// clear the running flag last.
void FakeTranscodeEnd(bool fatal) {
    wait_for_one(transcode_stop_event, 5000);
    if (!fatal) {
        for (int i = 0; i < 5000 && stream_drained.load() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    transcode_running = 0;
}

TEST_F(StreamStateTest, StopWithReleaseEndsTheTranscode) {
    stop_poll_limit = 5000;
    transcode_running = 1;
    std::thread transcode(FakeTranscodeEnd, false);
    EXPECT_TRUE(StopRunningTranscode(true));
    EXPECT_EQ(stream_drained.load(), 1);
    transcode.join();
}

TEST_F(StreamStateTest, AReleaseThatGivesUpClosesTheSlotsAndIsNotWaitedForAgain) {
    const std::string& clip = test_support::test_clip(test_support::clip_kind::wav_audio);
    AVFormatContext* opened = nullptr;
    ASSERT_EQ(avformat_open_input(&opened, clip.c_str(), nullptr, nullptr), 0);
    input_slot_table[7] = std::make_shared<opened_input>(input_ptr(opened));
    std::weak_ptr<opened_input> held = input_slot_table[7];
    std::shared_ptr<opened_input> job_reference = input_slot_table[7];  // what a running job holds
    transcode_running = 1;  // a job held in a read that never returns in time
    stop_poll_interval_ms = 1;
    stop_poll_limit = 3;
    EXPECT_FALSE(StopRunningTranscode(true));
    EXPECT_EQ(input_slot_table[7], nullptr) << "the slots are closed as after any release";
    EXPECT_FALSE(held.expired()) << "the job's input is not freed under it";

    stop_poll_interval_ms = 10;
    stop_poll_limit = 3000;  // 30 s
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(StopRunningTranscode(true));
    EXPECT_FALSE(StopRunningTranscode(false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15))
        << "a job given up on once is not waited for again";
    transcode_running = 0;
    job_reference.reset();
    EXPECT_TRUE(held.expired());
}

TEST_F(StreamStateTest, StopWithoutReleaseSeesAFatalEnd) {
    stop_poll_limit = 5000;
    transcode_running = 1;
    std::thread transcode(FakeTranscodeEnd, true);
    EXPECT_TRUE(StopRunningTranscode(false));
    EXPECT_EQ(stream_drained.load(), 0);
    transcode.join();
}

TEST_F(StreamStateTest, WriterRunsOneRingAheadAndThenWaits) {
    reset_slot_events();
    transcode_stop_event.set();  // turns every would-be wait into an immediate "stopped"
    for (int p = 0; p < AUDIO_RING_SLOTS; ++p) {
        ASSERT_EQ(wait_slot_free(packet_ring::audio, p % AUDIO_RING_SLOTS), slot_wait::ready) << p;
    }
    // Packet 600 goes to slot 0 again, which the reader has not freed.
    EXPECT_EQ(wait_slot_free(packet_ring::audio, 0), slot_wait::stopped);
    signal_slot_free(packet_ring::audio, 0);
    EXPECT_EQ(wait_slot_free(packet_ring::audio, 0), slot_wait::ready);
}

TEST_F(StreamStateTest, FilledSlotWinsOverTheStopEvent) {
    reset_slot_events();
    transcode_stop_event.set();
    EXPECT_EQ(wait_slot_filled(packet_ring::video, 79), slot_wait::stopped);
    signal_slot_filled(packet_ring::video, 79);
    EXPECT_EQ(wait_slot_filled(packet_ring::video, 79), slot_wait::ready);
    EXPECT_EQ(wait_slot_filled(packet_ring::video, 79), slot_wait::stopped);  // auto-reset: one pass
}

TEST_F(StreamStateTest, ResetClearsFilledEventsAndFreesEverySlot) {
    signal_slot_filled(packet_ring::audio, 7);
    reset_slot_events();
    transcode_stop_event.set();
    EXPECT_EQ(wait_slot_filled(packet_ring::audio, 7), slot_wait::stopped);
    EXPECT_EQ(wait_slot_free(packet_ring::video, 0), slot_wait::ready);
}

TEST_F(StreamStateTest, ClosedEventsFailEveryWait) {
    reset_slot_events();
    CloseStreamEvents();
    EXPECT_EQ(wait_slot_free(packet_ring::audio, 0), slot_wait::failed);
    EXPECT_EQ(wait_slot_filled(packet_ring::video, 0), slot_wait::failed);
}

// Packets pass through a ring in order under the hand-off, with the writer
// far ahead of the reader at times.
TEST_F(StreamStateTest, HandOffCarriesEveryPacketInOrder) {
    reset_slot_events();
    constexpr int packets = 2000;
    std::thread writer([] {
        for (int p = 0; p < packets; ++p) {
            const int slot = p % VIDEO_RING_SLOTS;
            if (wait_slot_free(packet_ring::video, slot) != slot_wait::ready) return;
            std::memcpy(video_packet_ring[slot], &p, sizeof p);
            signal_slot_filled(packet_ring::video, slot);
        }
    });
    // On a failed assertion the writer is stopped rather than left waiting.
    struct StopAndJoin {
        std::thread& thread;
        ~StopAndJoin() {
            transcode_stop_event.set();
            thread.join();
        }
    } guard{writer};
    int received = 0;
    for (int p = 0; p < packets; ++p) {
        const int slot = p % VIDEO_RING_SLOTS;
        ASSERT_EQ(wait_slot_filled(packet_ring::video, slot), slot_wait::ready);
        std::memcpy(&received, video_packet_ring[slot], sizeof received);
        ASSERT_EQ(received, p);
        signal_slot_free(packet_ring::video, slot);
    }
}

TEST_F(StreamStateTest, CloseAllInputSlotsClosesOpenedInputs) {
    const std::string& clip = test_support::test_clip(test_support::clip_kind::wav_audio);
    for (int slot : {0, 49}) {
        AVFormatContext* input = nullptr;
        ASSERT_EQ(avformat_open_input(&input, clip.c_str(), nullptr, nullptr), 0);
        input_slot_table[slot] = std::make_shared<opened_input>(input_ptr(input));
    }
    close_all_input_slots();  // ASan reports the inputs if they leak
    EXPECT_EQ(input_slot_table[0], nullptr);
    EXPECT_EQ(input_slot_table[49], nullptr);
}

}  // namespace
