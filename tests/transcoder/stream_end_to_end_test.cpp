// Whole streams over a real socket: "listdir", "streamopen", "stream2header"
// and "streampackets" on real clips, every packet acknowledged, the received
// stream written as a PMP file and read back by Debian's ffprobe and ffmpeg.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "server/stream_state.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

using test_support::clip_kind;
using test_support::PmpHeaderFrameCount;
using test_support::ReceivedStream;

struct stream_request {
    std::string clip;
    std::string stime;  // "" for none
};

class StreamEndToEnd : public ::testing::Test {
protected:
    void start_server(float divider = 1.0f, bool show_clip = true) {
        server_ = std::make_unique<test_support::TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            record.m_fFrameRateDivider = divider;
            record.m_bShowNoAudioMovie = show_clip ? 1 : 0;
            record.m_strMovieBitrate = "400";
        });
    }

    // Puts the clip into the media folder under name.
    std::string add_clip(const std::string& source, const std::string& name) {
        std::filesystem::copy_file(source, media_.file(name), std::filesystem::copy_options::overwrite_existing);
        return name;
    }

    // listdir, streamopen, stream2header, streampackets.
    ReceivedStream stream(const std::string& name, const std::string& stime = "") {
        uint16_t port = server_->port();
        test_support::ListDir(port, test_support::ListDirRequest(media_.path(), 65536));
        std::string open = "streamopen filename=" + name + ".pmp";
        if (!stime.empty())
            open += "&stime=" + stime;
        std::optional<int32_t> handle = test_support::StreamOpen(port, open);
        EXPECT_TRUE(handle && *handle >= 1 && *handle <= 50) << "streamopen of " << name;
        if (!handle || *handle < 1)
            return {};
        test_support::RawReply header = test_support::Stream2Header(port, *handle);
        EXPECT_EQ(header.bytes.size(), 56u);
        uint32_t frames = PmpHeaderFrameCount(header.bytes);
        return test_support::ReceiveStream(port, *handle, header.bytes, frames + 10);
    }

    // The PMP file of the stream, read back by FFmpeg's own tools.
    test_support::ProbeResult probe(const ReceivedStream& received, bool with_pictures) {
        std::string path = work_.file("received.pmp");
        EXPECT_TRUE(test_support::WritePmpFile(path, received));
        return test_support::ProbeFile(path, with_pictures);
    }

    // Every check a played stream must pass.
    // Without pictures (audio only, no clip) the video stream exists but is empty.
    void expect_playable(const ReceivedStream& received, bool with_pictures = true) {
        uint32_t n = PmpHeaderFrameCount(received.header);
        ASSERT_GT(n, 1u);
        EXPECT_EQ(received.packets.size(), n - 1) << "a stream of N frames carries N - 1 packets";
        EXPECT_TRUE(received.ended);
        ASSERT_FALSE(received.packets.empty());
        const test_support::PmpPacket& first = received.packets[0];
        EXPECT_GE(first.audio_frame_count, 1);
        EXPECT_EQ(first.first_delay, 0);
        EXPECT_TRUE(first.key_frame);
        for (const auto& packet : received.packets)
            for (const std::string& frame : packet.audio_frames) {
                ASSERT_GE(frame.size(), 4u);
                ASSERT_EQ(uint8_t(frame[0]), 0xFF);
                ASSERT_EQ(uint8_t(frame[1]), 0xFB);
            }

        test_support::ProbeResult result = probe(received, with_pictures);
        EXPECT_EQ(result.errors, "");
        ASSERT_EQ(result.streams.size(), 2u);
        const test_support::ProbedStream& video = result.streams[0];
        const test_support::ProbedStream& audio = result.streams[1];
        EXPECT_EQ(video.codec_type, "video");
        EXPECT_EQ(video.codec_name, "mpeg4");
        EXPECT_EQ(video.width, 480);
        EXPECT_EQ(video.height, 272);
        EXPECT_EQ(video.packets, long(n - 1));
        EXPECT_EQ(audio.codec_type, "audio");
        EXPECT_EQ(audio.codec_name, "mp3");
        EXPECT_EQ(audio.sample_rate, 44100);
        EXPECT_EQ(audio.channels, 2);
    }

    void TearDown() override {
        server_.reset();
        EXPECT_EQ(transcode_running.load(), 0);
    }

    test_support::TempDir media_{"vantrel-media"};
    test_support::TempDir work_{"vantrel-received"};
    std::unique_ptr<test_support::TestServer> server_;
};

TEST_F(StreamEndToEnd, VideoClipsOfEveryShapePlay) {
    struct Case {
        clip_kind kind;
        const char* name;
    };
    const Case cases[] = {
        {clip_kind::h264_aac_mp4, "movie.mp4"},
        {clip_kind::pal_interlaced_mpg, "interlaced.mpg"},
        {clip_kind::mono_22050_avi, "mono.avi"},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        add_clip(test_support::test_clip(c.kind), c.name);
        expect_playable(stream(c.name));
    }
}

TEST_F(StreamEndToEnd, FullHdInputIsStretchedTo480x272) {
    std::string hd = work_.file("hd.mp4");
    ASSERT_TRUE(test_support::make_clip({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25:duration=2",
                                         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2",
                                         "-c:v", "mpeg4", "-q:v", "5", "-c:a", "aac", "-shortest"},
                                        hd));
    start_server();
    add_clip(hd, "hd.mp4");
    expect_playable(stream("hd.mp4"));
}

TEST_F(StreamEndToEnd, DividerTwoHalvesTheFrameRate) {
    start_server(2.0f);
    add_clip(test_support::test_clip(clip_kind::mpeg4_mp3_avi), "movie.avi");
    ReceivedStream received = stream("movie.avi");
    // 25 frames a second halved: 12.5 frames a second over 10 s.
    EXPECT_EQ(PmpHeaderFrameCount(received.header), 125u);
    expect_playable(received);
}

TEST_F(StreamEndToEnd, AStartTimeSkipsTheBeginning) {
    start_server();
    add_clip(test_support::test_clip(clip_kind::mpeg4_mp3_avi), "movie.avi");
    ReceivedStream received = stream("movie.avi", "7");
    // About the last 3 s of the 10 s clip at 25 frames a second.
    EXPECT_NEAR(PmpHeaderFrameCount(received.header), 75u, 2u);
    expect_playable(received);
}

TEST_F(StreamEndToEnd, AudioOnlyCarriesTheBuiltInClip) {
    start_server();
    add_clip(test_support::test_clip(clip_kind::wav_audio), "song.wav");
    ReceivedStream received = stream("song.wav");
    EXPECT_EQ(PmpHeaderFrameCount(received.header), 60u);
    expect_playable(received);
    ASSERT_GE(received.packets.size(), 13u);
    EXPECT_TRUE(received.packets[12].key_frame);
    EXPECT_FALSE(received.packets[1].key_frame);
}

TEST_F(StreamEndToEnd, AudioOnlyWithoutTheClipSendsEmptyKeyFrames) {
    start_server(1.0f, false);
    add_clip(test_support::test_clip(clip_kind::wav_audio), "song.wav");
    ReceivedStream received = stream("song.wav");
    expect_playable(received, false);
    for (const auto& packet : received.packets) {
        ASSERT_TRUE(packet.video.empty());
        ASSERT_TRUE(packet.key_frame);
    }
}

TEST_F(StreamEndToEnd, ATruncatedFileEndsCleanlyAndTheNextStreamPlays) {
    start_server();
    add_clip(test_support::test_clip(clip_kind::truncated_avi), "cut.avi");
    add_clip(test_support::test_clip(clip_kind::mono_22050_avi), "next.avi");
    ReceivedStream cut = stream("cut.avi");
    EXPECT_TRUE(cut.ended);
    EXPECT_GT(cut.packets.size(), 20u);
    EXPECT_LE(cut.packets.size(), PmpHeaderFrameCount(cut.header) - 1);
    EXPECT_EQ(probe(cut, true).errors, "");
    expect_playable(stream("next.avi"));
}

}  // namespace
