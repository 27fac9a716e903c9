// The packet sink: slot limits, the video slot word, ring wrap-around, stops,
// and the transcode progress it reports.

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tests/transcoder/stream_fixture.h"
#include "transcoder/ffmpeg_ptr.h"
#include "transcoder/packet_sink.h"
#include "transcoder/run_records.h"
#include "transcoder/transcoder.h"

namespace {

class PacketSinkTest : public StreamStateFixture {
protected:
    void SetUp() override {
        StreamStateFixture::SetUp();
        output_.reset(avformat_alloc_context());
        avformat_new_stream(output_.get(), nullptr)->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        avformat_new_stream(output_.get(), nullptr)->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        avformat_new_stream(output_.get(), nullptr)->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    }

    void write(int stream, int size, uint8_t fill, int flags = 0) {
        bytes_.assign(size_t(size > 0 ? size : 0), fill);
        AVPacket packet{};
        packet.data = bytes_.data();
        packet.size = size;
        packet.stream_index = stream;
        packet.flags = flags;
        EXPECT_EQ(write_packet_to_rings(output_.get(), &packet), 0);
    }

    static uint32_t video_word(int slot) {
        uint32_t word;
        std::memcpy(&word, video_packet_ring[slot], 4);
        return word;
    }
    static uint16_t audio_length(int slot) {
        return uint16_t(audio_packet_ring[slot][0] | audio_packet_ring[slot][1] << 8);
    }
    static bool filled(packet_ring ring, int slot) {
        platform::Event& event = ring == packet_ring::audio ? audio_slot_filled_events[slot]
                                                            : video_slot_filled_events[slot];
        return platform::wait_for_one(event, 0) == 0;
    }

    output_context_ptr output_;
    std::vector<uint8_t> bytes_;
};

constexpr int VIDEO = 0, AUDIO = 1, SUBTITLE = 2;

TEST_F(PacketSinkTest, SlotLimitsKeepTheLargestPayloadAndEmptyAnOversizedOne) {
    struct Case {
        int stream;
        int size;
        int stored;
        const char* message;
    };
    const Case cases[] = {
        {AUDIO, MAX_AUDIO_PAYLOAD, MAX_AUDIO_PAYLOAD, nullptr},
        {AUDIO, MAX_AUDIO_PAYLOAD + 1, 0, "audio packet size is huge (2046)"},
        {VIDEO, MAX_VIDEO_PAYLOAD, MAX_VIDEO_PAYLOAD, nullptr},
        {VIDEO, MAX_VIDEO_PAYLOAD + 1, 0, "video packet size is huge (127996)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        transcode_stop_event.reset();
        int slot = c.stream == AUDIO ? audio_packets_written.load() : video_packets_written.load();
        write(c.stream, c.size, 0x5A);
        if (c.stream == AUDIO) {
            EXPECT_EQ(audio_length(slot), c.stored);
            EXPECT_TRUE(filled(packet_ring::audio, slot));
            if (c.stored) {
                EXPECT_EQ(audio_packet_ring[slot][2 + c.stored - 1], 0x5A);
            }
        } else {
            EXPECT_EQ(video_word(slot), uint32_t(c.stored) * 2);
            EXPECT_TRUE(filled(packet_ring::video, slot));
            if (c.stored) {
                EXPECT_EQ(video_packet_ring[slot][4 + c.stored - 1], 0x5A);
            }
        }
        std::vector<std::string> texts = posted_texts();
        if (c.message) {
            ASSERT_EQ(texts.size(), 1u);
            EXPECT_EQ(texts[0], c.message);
            EXPECT_TRUE(stop_set()) << "a message stops the transcode";
        } else {
            EXPECT_TRUE(texts.empty());
            EXPECT_FALSE(stop_set());
        }
    }
}

TEST_F(PacketSinkTest, VideoSlotWordCarriesTheKeyBit) {
    write(VIDEO, 1000, 1, AV_PKT_FLAG_KEY);
    write(VIDEO, 1000, 1, 0);
    EXPECT_EQ(video_word(0), 2001u);
    EXPECT_EQ(video_word(1), 2000u);
    EXPECT_EQ(video_slot_word(1000, AV_PKT_FLAG_KEY | AV_PKT_FLAG_CORRUPT), 2001u);
}

TEST_F(PacketSinkTest, EmptyNegativeAndUnknownPacketsTakeNoSlot) {
    write(AUDIO, 0, 0);
    write(AUDIO, -22, 0);  // an encoder error code must never become a size
    write(VIDEO, -1, 0);
    write(SUBTITLE, 100, 0);
    write(7, 100, 0);  // no such stream
    EXPECT_EQ(audio_packets_written.load(), 0);
    EXPECT_EQ(video_packets_written.load(), 0);
    EXPECT_FALSE(filled(packet_ring::audio, 0));
    EXPECT_FALSE(filled(packet_ring::video, 0));
}

TEST_F(PacketSinkTest, TheRingWrapsAndWaitsForTheSenderToFreeTheSlot) {
    for (int i = 0; i < AUDIO_RING_SLOTS; ++i)
        write(AUDIO, 10, uint8_t(i));
    auto late = std::async(std::launch::async, [this] { write(AUDIO, 20, 0xEE); });
    EXPECT_EQ(late.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "the 601st packet must wait for slot 0";
    signal_slot_free(packet_ring::audio, 0);
    ASSERT_EQ(late.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(audio_length(0), 20);
    EXPECT_EQ(audio_packet_ring[0][2], 0xEE);
    EXPECT_EQ(audio_packets_written.load(), AUDIO_RING_SLOTS + 1);
}

// A writer that waits on its full ring while the sender waits for a packet of
// the other ring, not written yet, would wait until the sender gives up: it
// hands that ring to the stall breaker, whose packet lets the sender go on.
TEST_F(PacketSinkTest, AWriterOnAFullRingGivesTheWaitingSenderThePacketOfTheOtherRing) {
    struct Case {
        int full;  // the ring the writer waits on
        packet_ring full_ring, starved_ring;
        int full_slots;
    };
    const Case cases[] = {
        {AUDIO, packet_ring::audio, packet_ring::video, AUDIO_RING_SLOTS},
        {VIDEO, packet_ring::video, packet_ring::audio, VIDEO_RING_SLOTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.full == AUDIO ? "audio ring full" : "video ring full");
        reset_slot_events();
        video_packets_written = 0;
        audio_packets_written = 0;
        for (int i = 0; i < c.full_slots; ++i)
            write(c.full, 10, 1);
        std::vector<packet_ring> handed;
        stall_breaker_scope breaker([&](packet_ring starved) {
            handed.push_back(starved);
            std::vector<uint8_t> bytes(12, 0x77);
            AVPacket packet{};
            packet.data = bytes.data();
            packet.size = int(bytes.size());
            packet.stream_index = starved == packet_ring::audio ? AUDIO : VIDEO;
            write_packet_to_rings(output_.get(), &packet);
            return true;
        });
        auto writer = std::async(std::launch::async, [&] { write(c.full, 20, 0xEE); });
        // The sender waits for the first packet of the other ring.
        ASSERT_EQ(await_slot_filled(c.starved_ring, 0, 0), slot_wait::ready);
        signal_slot_free(c.full_ring, 0);
        ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(handed, std::vector<packet_ring>{c.starved_ring}) << "one packet was enough";
        EXPECT_EQ(sender_awaited_audio.load(), -1);
        EXPECT_EQ(sender_awaited_video.load(), -1);
    }
}

TEST_F(PacketSinkTest, StopWhileWaitingDropsThePacketButCountsIt) {
    for (int i = 0; i < VIDEO_RING_SLOTS; ++i)
        write(VIDEO, 10, 1);
    std::memset(video_packet_ring[0], 0, 8);
    auto late = std::async(std::launch::async, [this] { write(VIDEO, 30, 0xEE); });
    EXPECT_EQ(late.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    transcode_stop_event.set();
    ASSERT_EQ(late.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(video_word(0), 0u) << "the dropped packet must not reach the slot";
    EXPECT_EQ(video_packets_written.load(), VIDEO_RING_SLOTS + 1);

    // With the stop set a free slot still takes its packet: the free event stands first.
    signal_slot_free(packet_ring::video, 1);
    write(VIDEO, 40, 0xAB);
    EXPECT_EQ(video_word(1), 80u);
}

TEST_F(PacketSinkTest, ClosedEventsEndTheWaitAtOnce) {
    for (int i = 0; i < AUDIO_RING_SLOTS; ++i)
        write(AUDIO, 10, 1);
    auto late = std::async(std::launch::async, [this] { write(AUDIO, 20, 0xEE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    audio_slot_free_events[0].close();
    ASSERT_EQ(late.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(audio_length(0), 10);
}

TEST_F(PacketSinkTest, ProgressMovesWithVideoPacketsOrWithAudioInAudioOnlyStreams) {
    dialog_->m_nFrameCount = 1500;
    for (int i = 0; i < 15; ++i)
        write(VIDEO, 10, 1);
    EXPECT_EQ(dialog_->m_nTranscodeProgress.load(), 15 * 400 / 1500);
    write(AUDIO, 10, 1);
    EXPECT_EQ(dialog_->m_nTranscodeProgress.load(), 4) << "audio beside video moves no bar";

    audio_only_mode = 1;
    dialog_->m_nFrameCount = 720;
    for (int i = 0; i < 99; ++i)
        write(AUDIO, 10, 1);
    EXPECT_EQ(dialog_->m_nTranscodeProgress.load(), 100 * 4800 / (720 * 39));
    bool progress_posted = false;
    for (auto& message : dialog_->Messages().drain())
        progress_posted |= message.message == WM_PROGRESS_UPDATE;
    EXPECT_TRUE(progress_posted);
}

TEST(TranscodeProgress, Formulas) {
    struct Case {
        int packets, frames, video, audio;
    };
    const Case cases[] = {
        {0, 1500, 0, 0},
        {1499, 1500, 399, 122},
        {1500, 1500, 400, 123},
        {2821, 720, 1567, 482},  // no clamp: the formula as it stands
        {10, 0, 0, 0},           // an unknown length shows no progress
        {10, -5, 0, 0},
        {600000, 1000000, 240, 73},  // large counts do not overflow
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packets);
        EXPECT_EQ(video_transcode_progress(c.packets, c.frames), c.video);
        EXPECT_EQ(audio_transcode_progress(c.packets, c.frames), c.audio);
    }
}

}  // namespace
