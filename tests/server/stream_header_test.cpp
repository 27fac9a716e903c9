// "stream2header": the timing arithmetic as a table, the 56 header bytes, and
// the command over a real socket on clips made by the ffmpeg tool.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/server_thread.h"
#include "server/stream_header.h"
#include "stream/stream_state.h"
#include "tests/support/media_clips.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "transcoder/transcode_options.h"

using test_support::TempDir;
using test_support::TestServer;

namespace {

constexpr int64_t SECOND = 1000000;

struct timing_case {
    const char* label;
    int num, den;
    float divider;
    int64_t duration, offset;
    int32_t frames, scale, rate, max_audio_frames;
    int64_t video_frame;
    const char* text;
};

TEST(PmpTiming, VideoStreamsFollowTheRateAndTheDivider) {
    const timing_case cases[] = {
        {"25/1 fps, 60 s", 25, 1, 1.0f, 60 * SECOND, 0, 1500, 24, 600, 2, 40000, "25.00"},
        {"30000/1001 fps, 60 s", 30000, 1001, 1.0f, 60 * SECOND, 0, 1798, 1001, 30000, 2, 33366, "29.97"},
        {"25/1 fps, divider 2.0", 25, 1, 2.0f, 60 * SECOND, 0, 750, 48, 600, 4, 80000, "12.50"},
        {"25/1 fps, infinite", 25, 1, 1.0f, INFINITE_STREAM_DURATION_US, 0, 450000, 24, 600, 2, 40000, "25.00"},
        {"24000/1001 fps", 24000, 1001, 1.0f, 60 * SECOND, 0, 1438, 1001, 24000, 2, 41708, "23.98"},
        {"24000/1001 fps, divider 1.5", 24000, 1001, 1.5f, 60 * SECOND, 0, 959, 1501, 24000, 3, 62562, "15.98"},
        {"30/1 fps, divider 1.25", 30, 1, 1.25f, 60 * SECOND, 0, 1440, 30, 720, 2, 41666, "24.00"},
        {"25/1 fps, 30 s start offset", 25, 1, 1.0f, 60 * SECOND, 30 * SECOND, 750, 24, 600, 2, 40000, "25.00"},
        // Nothing left to send rather than a negative or wrapped count.
        {"offset past the end", 25, 1, 1.0f, 10 * SECOND, 20 * SECOND, 0, 24, 600, 2, 40000, "25.00"},
        {"offset at the end", 25, 1, 1.0f, 10 * SECOND, 10 * SECOND, 0, 24, 600, 2, 40000, "25.00"},
        {"offset of the largest time", 25, 1, 1.0f, 10 * SECOND, INT64_MAX, 0, 24, 600, 2, 40000, "25.00"},
        {"offset past five hours", 25, 1, 1.0f, INFINITE_STREAM_DURATION_US, 99999999 * SECOND, 0, 24, 600, 2,
         40000, "25.00"},
        // A divider no client should send counts as 1.0 instead of dividing by zero.
        {"divider 0", 25, 1, 0.0f, 60 * SECOND, 0, 1500, 24, 600, 2, 40000, "25.00"},
        // A stream without a usable rate is taken at 25/1.
        {"rate 0/0", 0, 0, 1.0f, 60 * SECOND, 0, 1500, 24, 600, 2, 40000, "25.00"},
        // Slower than five pictures a second: each picture counts as several frames.
        {"1/1 fps, 30 s: five frames a picture", 1, 1, 1.0f, 30 * SECOND, 0, 150, 24, 120, 8, 200000, "5.00"},
        {"1/2 fps, 30 s: ten frames a picture", 1, 2, 1.0f, 30 * SECOND, 0, 150, 48, 240, 8, 200000, "5.00"},
        {"4/1 fps: two frames a picture", 4, 1, 1.0f, 30 * SECOND, 0, 240, 24, 192, 5, 125000, "8.00"},
        {"5/1 fps: as it is", 5, 1, 1.0f, 60 * SECOND, 0, 300, 24, 120, 8, 200000, "5.00"},
        {"25/1 fps, divider 6: two frames a picture", 25, 1, 6.0f, 60 * SECOND, 0, 500, 144, 1200, 5, 120000,
         "8.33"},
        // A divider no dialog offers on a huge den: the raised rate would not fit
        // 32 bits, so the stream is taken at 25/1 and raised from there.
        {"huge den and divider", 30000000, 10000000, 40000.0f, 60 * SECOND, 0, 300, 960000, 4800000, 8, 200000,
         "5.00"},
    };
    for (const timing_case& c : cases) {
        SCOPED_TRACE(c.label);
        const pmp_stream_timing t = video_stream_timing(c.num, c.den, c.divider, c.duration, c.offset);
        EXPECT_EQ(c.frames, t.frame_count);
        EXPECT_EQ(c.scale, t.scale);
        EXPECT_EQ(c.rate, t.rate);
        EXPECT_EQ(c.max_audio_frames, t.max_audio_frames);
        EXPECT_EQ(c.video_frame, t.video_frame_duration);
        EXPECT_EQ(c.text, t.frame_rate_text);
    }
}

TEST(PmpTiming, AudioOnlyStreamsCountTwelveFramesASecond) {
    const struct { int64_t duration, offset; int32_t frames; } cases[] = {
        {60 * SECOND, 0, 720},
        {60 * SECOND, 30 * SECOND, 360},
        {INFINITE_STREAM_DURATION_US, 0, 216000},
        {999999, 0, 11},  // truncated, not rounded
        {20 * SECOND, 3599 * SECOND, 0},
        {20 * SECOND, INT64_MAX, 0},
    };
    for (const auto& c : cases) {
        const pmp_stream_timing t = audio_only_timing(c.duration, c.offset);
        EXPECT_EQ(c.frames, t.frame_count);
        EXPECT_EQ(1, t.scale);
        EXPECT_EQ(12, t.rate);
        EXPECT_EQ(4, t.max_audio_frames);
        EXPECT_EQ(83333, t.video_frame_duration);
        EXPECT_EQ("12", t.frame_rate_text);
    }
}

TEST(PmpTiming, AHugeDurationSaturatesTheCountInsteadOfWrapping) {
    // 2^40 us of 25/1 video: 27487790 frames, well inside 32 bits; 2^52 us is not.
    EXPECT_EQ(27487790, video_stream_timing(25, 1, 1.0f, int64_t{1} << 40, 0).frame_count);
    EXPECT_EQ(INT32_MAX, video_stream_timing(25, 1, 1.0f, int64_t{1} << 52, 0).frame_count);
    EXPECT_EQ(INT32_MAX, audio_only_timing(INT64_MAX, 0).frame_count);
}

// The header as the client reads it, built field by field.
std::string header_bytes(int32_t frames, int32_t scale, int32_t rate, int32_t max_audio_frames) {
    const int32_t fields[] = {1, 0, frames, 480, 272, scale, rate, 0, 1, max_audio_frames, 1152, 44100, 1};
    std::string bytes = "pmpm";
    for (int32_t field : fields) {
        const uint32_t v = static_cast<uint32_t>(field);
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
    return bytes;
}

TEST(PmpHeader, FourteenLittleEndianWordsAfterTheMagic) {
    pmp_stream_timing timing = video_stream_timing(30000, 1001, 1.0f, 60 * SECOND, 0);
    uint8_t header[PMP_HEADER_SIZE];
    BuildPmpHeader(timing, header);
    const std::string expected = header_bytes(1798, 1001, 30000, 2);
    ASSERT_EQ(56u, expected.size());
    EXPECT_EQ(expected, std::string(reinterpret_cast<char*>(header), sizeof header));
    // Spot-check the raw bytes of the frame count (1798 = 0x0706) and the rate.
    EXPECT_EQ(0x06, header[12]);
    EXPECT_EQ(0x07, header[13]);
    EXPECT_EQ(0x30, header[28]);
    EXPECT_EQ(0x75, header[29]);
}

// The server with a media folder of clips made for these tests.
class StreamHeaderTest : public ::testing::Test {
protected:
    std::string make(const std::vector<std::string>& args, const std::string& name) {
        const std::string path = media_.file(name);
        if (!test_support::make_clip(args, path)) ADD_FAILURE() << "ffmpeg could not make " << name;
        return path;
    }
    std::string video_clip(const std::string& rate, int frames, const std::string& name) {
        return make({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=" + rate, "-frames:v", std::to_string(frames),
                     "-c:v", "mpeg4"},
                    name);
    }
    std::string audio_clip(int seconds, const std::string& name) {
        return make({"-f", "lavfi", "-i", "sine=sample_rate=8000:duration=" + std::to_string(seconds)}, name);
    }

    void start(const std::function<void(CVantrelDlg&)>& configure = {}) {
        server_ = std::make_unique<TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            if (configure) configure(record);
        });
        test_support::ListDir(port(), test_support::ListDirRequest("\\" + media_.path(), 4096));
    }
    uint16_t port() const { return server_->port(); }

    // The handle of a name in the media folder (optionally with a start time).
    int open(const std::string& name, const std::string& tail = "") {
        const auto handle = test_support::StreamOpen(port(), "streamopen filename=" + name + ".pmp" + tail);
        EXPECT_TRUE(handle.has_value());
        return handle.value_or(0);
    }
    std::string header(int fd) {
        const test_support::RawReply reply = test_support::Stream2Header(port(), fd);
        EXPECT_TRUE(reply.closed);
        return reply.bytes;
    }

    TempDir media_{"header-media"};
    std::unique_ptr<TestServer> server_;
};

TEST_F(StreamHeaderTest, VideoAndAudioOnlyClipsGetTheHeadersOfTheExamples) {
    video_clip("25", 1500, "v25.avi");           // exactly 60 s
    video_clip("30000/1001", 1798, "v2997.avi");  // 59.993 s
    audio_clip(60, "a60.wav");
    start();
    const struct { const char* name; std::string header; int64_t video_frame; uint8_t audio_only; } cases[] = {
        {"v25.avi", header_bytes(1500, 24, 600, 2), 40000, 0},
        {"v2997.avi", header_bytes(1798, 1001, 30000, 2), 33366, 0},
        {"a60.wav", header_bytes(720, 1, 12, 4), 83333, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = open(c.name);
        ASSERT_GE(fd, 1);
        EXPECT_EQ(c.header, header(fd));
        EXPECT_EQ(c.video_frame, video_frame_duration.load());
        EXPECT_EQ(26122, audio_frame_duration.load());
        EXPECT_EQ(c.audio_only, audio_only_mode.load());
        EXPECT_EQ(test_support::ReadLittleEndian32(c.header, 12),
                  static_cast<uint32_t>(server_->record().m_nFrameCount.load()));
        EXPECT_EQ(fd - 1, current_slot.load());
    }
}

TEST_F(StreamHeaderTest, TheLastVideoStreamGivesTheRate) {
    const std::vector<std::string> rates = {"25", "30000/1001"};
    for (int last = 0; last < 2; ++last) {
        make({"-f", "lavfi", "-i", "testsrc2=size=64x48:duration=2:rate=" + rates[1 - last], "-f", "lavfi", "-i",
              "testsrc2=size=64x48:duration=2:rate=" + rates[last], "-map", "0", "-map", "1", "-c:v", "mpeg4"},
             "two" + std::to_string(last) + ".avi");
    }
    start();
    const struct { const char* name; uint32_t scale, rate; } cases[] = {
        {"two0.avi", 24, 600},     // 30000/1001 first, 25/1 last
        {"two1.avi", 1001, 30000}, // 25/1 first, 30000/1001 last
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = header(open(c.name));
        ASSERT_EQ(56u, bytes.size());
        EXPECT_EQ(c.scale, test_support::ReadLittleEndian32(bytes, 24));
        EXPECT_EQ(c.rate, test_support::ReadLittleEndian32(bytes, 28));
    }
}

TEST_F(StreamHeaderTest, AnInputWithoutVideoOrAudioGetsNoReplyAndClearsAudioOnly) {
    audio_clip(1, "a.wav");
    std::ofstream(media_.file("notes.srt")) << "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n";
    start();
    ASSERT_EQ(56u, header(open("a.wav")).size());
    ASSERT_EQ(1, audio_only_mode.load());
    const int fd = open("notes.srt");
    ASSERT_GE(fd, 1);
    EXPECT_EQ("", header(fd));
    EXPECT_EQ(0, audio_only_mode.load());
}

TEST_F(StreamHeaderTest, DividerTwoHalvesTheFramesAndDoublesTheScale) {
    video_clip("25", 1500, "v25.avi");
    start([](CVantrelDlg& record) { record.m_fFrameRateDivider = 2.0f; });
    const int fd = open("v25.avi");
    EXPECT_EQ(header_bytes(750, 48, 600, 4), header(fd));
    EXPECT_EQ(80000, video_frame_duration.load());
}

TEST_F(StreamHeaderTest, AStartOffsetShortensTheCount) {
    audio_clip(60, "a60.wav");
    video_clip("25", 250, "v25.avi");  // 10 s
    start();
    const struct { const char* name; const char* stime; int32_t frames; } cases[] = {
        {"a60.wav", "&stime=30", 360},
        {"a60.wav", "&stime=00:00:30", 360},
        {"v25.avi", "&stime=4", 150},
        {"v25.avi", "", 250},
        // At or past the end, however far: no frames.
        {"v25.avi", "&stime=10", 0},
        {"v25.avi", "&stime=30", 0},
        {"v25.avi", "&stime=59:59", 0},
        {"a60.wav", "&stime=99999999:00:00", 0},
        {"v25.avi", "&stime=9223372036854775807", 0},
        // Before the beginning: from the beginning.
        {"v25.avi", "&stime=-5", 250},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + c.stime);
        const int fd = open(c.name, c.stime);
        ASSERT_GE(fd, 1);
        EXPECT_EQ(c.frames, static_cast<int32_t>(test_support::ReadLittleEndian32(header(fd), 12)));
    }
}

TEST_F(StreamHeaderTest, AnInfiniteStreamInAnyLetterCaseCountsFiveHours) {
    const std::string path = video_clip("25", 250, "live.avi");
    std::string shouted = path;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    start([&](CVantrelDlg& record) { record.m_infiniteStreams = {"other.avi", shouted}; });
    EXPECT_EQ(header_bytes(450000, 24, 600, 2), header(open("live.avi")));
}

TEST_F(StreamHeaderTest, AnInputOfUnknownLengthCountsLikeAnInfiniteStream) {
    // A raw Motion-JPEG file has no length FFmpeg could tell.
    make({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=2", "-c:v", "mjpeg", "-f", "mjpeg"},
         "camera.mpg");
    start();
    EXPECT_EQ(header_bytes(450000, 24, 600, 2), header(open("camera.mpg")));
}

TEST_F(StreamHeaderTest, HandleFiftyOneAnswersOneFrameAndLeavesTheTimingAlone) {
    video_clip("25", 250, "v25.avi");
    start();
    header(open("v25.avi"));
    ASSERT_EQ(40000, video_frame_duration.load());
    EXPECT_EQ(header_bytes(1, 1, 12, 1), header(DOWNLOADING_HANDLE));
    EXPECT_EQ(40000, video_frame_duration.load());
    EXPECT_EQ(0, audio_only_mode.load());
    EXPECT_EQ(1, server_->record().m_nFrameCount.load());
    EXPECT_EQ(50, current_slot.load());
}

TEST_F(StreamHeaderTest, NamesThatNameNothingGetNoReply) {
    video_clip("25", 25, "v25.avi");
    start();
    ASSERT_EQ(1, open("v25.avi"));
    const char* requests[] = {"stream2header", "stream2header fd=0", "stream2header fd=-3",
                              "stream2header fd=52", "stream2header fd=2", "stream2header fd=x",
                              "stream2header fd=-2147483648", "stream2header fd=2147483647"};
    for (const char* request : requests) {
        SCOPED_TRACE(request);
        const test_support::RawReply reply = test_support::SendRequest(port(), request);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ("", reply.bytes);
    }
}

TEST_F(StreamHeaderTest, TheAudioBitRateTextReachesTheTranscoder) {
    audio_clip(1, "a.wav");
    start([](CVantrelDlg& record) { record.m_strAudioBitrate = "96"; });
    header(open("a.wav"));
    StopStreamServer();  // the server thread wrote it; read it once that thread is gone
    EXPECT_EQ(96000, transcode_options.audio_bit_rate);
}

}  // namespace
