// The transcode job on its thread: a set-up message stops it before any
// packet, a stop ends the loop, the end of every job waits for the server's
// release, which closes every input slot, and the job holds its own input.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/support/files.h"
#include "tests/support/gated_input.h"
#include "tests/support/media_clips.h"
#include "tests/support/wait.h"
#include "tests/transcoder/stream_fixture.h"
#include "transcoder/transcoder.h"

using test_support::eventually;

namespace {

class TranscodeJobTest : public StreamStateFixture {
protected:
    void start(const std::string& clip, const char* rate_text, int slot = 3) {
        open_input_slot(slot, clip.c_str());
        ASSERT_TRUE(input_slot_table[slot]);
        open_input_slot(slot + 1, clip.c_str());  // another handle, closed with the job too
        std::strncpy(frame_rate_text, rate_text, FRAME_RATE_TEXT_SIZE - 1);
        current_slot = slot;
        dialog_->m_nFrameCount = 250;
        ASSERT_TRUE(start_transcode_job(slot));
    }

    static int open_slots() {
        int open = 0;
        for (const auto& slot : input_slot_table)
            open += slot ? 1 : 0;
        return open;
    }
};

TEST_F(TranscodeJobTest, ABadFrameRateStopsTheJobBeforeAnyPacket) {
    start(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi), "abc");
    ASSERT_TRUE(eventually([&] { return stop_set(); }));
    // Once the job says its output ended, no packet can follow.
    ASSERT_EQ(platform::wait_for_one(transcode_output_ended_event, 30000), 0);
    EXPECT_EQ(video_packets_written.load(), 0);
    EXPECT_EQ(audio_packets_written.load(), 0);
    EXPECT_EQ(posted_texts(), std::vector<std::string>{"Incorrect frame rate 'abc' \n"});
    EXPECT_EQ(transcode_running.load(), 1) << "the job waits for the server's release";
    EXPECT_EQ(open_slots(), 2);

    EXPECT_TRUE(StopRunningTranscode(true));
    EXPECT_EQ(open_slots(), 0) << "the release closes every slot";
    EXPECT_EQ(dialog_->m_nTranscodeProgress.load(), 0);
    EXPECT_TRUE(std::filesystem::exists(folder_->file("output.avi")));
    EXPECT_EQ(std::filesystem::file_size(folder_->file("output.avi")), 0u);
}

TEST_F(TranscodeJobTest, TheStopEventEndsAJobBlockedOnAFullRing) {
    start(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi), "25.00");
    // Nobody takes packets: the video ring fills and the job blocks on slot 0.
    ASSERT_TRUE(eventually([] { return video_packets_written.load() > VIDEO_RING_SLOTS; }));
    EXPECT_EQ(video_packets_written.load(), VIDEO_RING_SLOTS + 1);
    EXPECT_EQ(dialog_->m_nTranscodeProgress.load(), 80 * 400 / 250) << "the 81st packet is still waiting";
    uint32_t word;
    std::memcpy(&word, video_packet_ring[0], 4);
    EXPECT_EQ(word & 1, 1u) << "the first frame is a key frame";

    EXPECT_TRUE(StopRunningTranscode(true));
    EXPECT_EQ(open_slots(), 0);
    EXPECT_LT(video_packets_written.load(), 250) << "the loop ended at the stop, not at the end of the input";
    EXPECT_TRUE(posted_texts().empty());
}

TEST_F(TranscodeJobTest, AJobWithoutSoundFillsTheAudioRingWithSilenceInStepWithThePictures) {
    std::string silent = folder_->file("silent.avi");
    ASSERT_TRUE(test_support::make_clip(
        {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=10", "-an", "-c:v", "mpeg4"}, silent));
    start(silent, "25.00");
    // Nobody takes packets: the job blocks on video slot 0 after 80 pictures.
    // The job's one thread counts a packet before it waits for its slot: the
    // sound it wrote before the 81st picture is all counted by then.
    ASSERT_TRUE(eventually([] { return video_packets_written.load() > VIDEO_RING_SLOTS; }));
    // 80 pictures of 40 ms are 3.2 s: about 122 MP3 frames of 26.122 ms, less
    // the frames the encoder still holds back. Far from the 600 of a full ring.
    EXPECT_NEAR(audio_packets_written.load(), 80 * 40000 / 26122, 3);
    for (int a = 0; a < audio_packets_written.load() && a < AUDIO_RING_SLOTS; ++a) {
        SCOPED_TRACE("audio slot " + std::to_string(a));
        ASSERT_EQ(platform::wait_for_one(audio_slot_filled_events[a], 0), 0);
        uint16_t length = uint16_t(audio_packet_ring[a][0] | audio_packet_ring[a][1] << 8);
        ASSERT_GT(length, 100u);
        ASSERT_EQ(audio_packet_ring[a][2], 0xFF) << "an MP3 frame starts the slot";
    }
    EXPECT_TRUE(posted_texts().empty()) << "no set-up or resampler message for silence";

    EXPECT_TRUE(StopRunningTranscode(true));
    EXPECT_EQ(open_slots(), 0);
}

TEST_F(TranscodeJobTest, AReadErrorIsReportedAndIsNotTakenForTheEndOfTheInput) {
    test_support::GatedInput disk(test_support::read_text(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi)));
    input_slot_table[3] = disk.open("broken.avi");
    ASSERT_TRUE(input_slot_table[3]);
    disk.fail_reads();
    std::strncpy(frame_rate_text, "25.00", FRAME_RATE_TEXT_SIZE - 1);
    dialog_->m_nFrameCount = 250;
    ASSERT_TRUE(start_transcode_job(3));
    ASSERT_TRUE(eventually([&] { return stop_set(); }));
    EXPECT_EQ(posted_texts(), std::vector<std::string>{"Error while reading input #0\n"});
    EXPECT_TRUE(StopRunningTranscode(true));
}

TEST_F(TranscodeJobTest, AStopRightAfterTheStartIsNotLost) {
    start(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi), "25.00");
    EXPECT_TRUE(StopRunningTranscode(true));
    EXPECT_EQ(transcode_running.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(transcode_running.load(), 0) << "no job runs on unasked after the stop";
    EXPECT_EQ(open_slots(), 0);
}

TEST_F(TranscodeJobTest, TheJobKeepsItsInputWhenTheServerClosesTheSlots) {
    start(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi), "25.00");
    ASSERT_TRUE(eventually([] { return video_packets_written.load() > VIDEO_RING_SLOTS; }));
    std::weak_ptr<opened_input> input = input_slot_table[3];
    close_all_input_slots();  // what a release that gave up on the job does
    EXPECT_FALSE(input.expired()) << "the job holds its own reference";
    // Take packets so the job reads on from the input the table let go of.
    const int before = video_packets_written.load();
    for (int round = 0; round < 3; ++round)
        for (int v = 0; v < VIDEO_RING_SLOTS; ++v)
            signal_slot_free(packet_ring::video, v);
    for (int a = 0; a < AUDIO_RING_SLOTS; ++a)
        signal_slot_free(packet_ring::audio, a);
    ASSERT_TRUE(eventually([&] { return video_packets_written.load() > before + 20; }));
    EXPECT_TRUE(StopRunningTranscode(true));
    EXPECT_TRUE(input.expired()) << "the job lets go of its input as it ends";
}

}  // namespace
