// How long a stream is and how it ends, over a real socket on real clips:
// the header's count says what will be sent, the stream ends with its last
// packet as soon as the input has given everything, and start times past the
// end, short, damaged, joined and slow inputs are answered cleanly.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "stream/stream_state.h"
#include "tests/support/counting_clip.h"
#include "tests/support/files.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

using test_support::PmpHeaderFrameCount;
using test_support::ReceivedStream;

// Longer than the client waits for a packet and then for the close (60 s and
// 30 s): a stream that waits for a packet the input never gives is seen as
// one that never ends, not as one that ends late.
constexpr int64_t WAIT_LONGER_THAN_THE_CLIENT_MS = 120000;

class StreamLength : public ::testing::Test {
protected:
    void SetUp() override { slot_filled_wait_ms = WAIT_LONGER_THAN_THE_CLIENT_MS; }

    void TearDown() override {
        server_.reset();
        slot_filled_wait_ms = SLOT_FILLED_WAIT_MS;
        EXPECT_EQ(transcode_running.load(), 0);
    }

    void start_server(const std::vector<std::string>& infinite_streams = {}) {
        server_ = std::make_unique<test_support::TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            record.m_strMovieBitrate = "400";
            record.m_infiniteStreams = infinite_streams;
        });
    }

    void make(const std::vector<std::string>& recipe, const std::string& name) {
        ASSERT_TRUE(test_support::make_clip(recipe, media_.file(name))) << name;
    }

    ReceivedStream stream(const std::string& name, const std::string& stime = "") {
        return test_support::OpenAndReceiveStream(server_->port(), media_.path(), name, stime);
    }

    // The received stream as a PMP file.
    std::string received_file(const ReceivedStream& received) {
        const std::string path = work_.file("received.pmp");
        EXPECT_TRUE(test_support::WritePmpFile(path, received));
        return path;
    }

    // The stream ended by itself, carried the N - 1 packets its header
    // announced, and FFmpeg reads it back without a complaint.
    void expect_whole(const ReceivedStream& received) {
        const uint32_t n = PmpHeaderFrameCount(received.header);
        ASSERT_GT(n, 1u);
        EXPECT_TRUE(received.ended);
        EXPECT_EQ(received.packets.size(), n - 1) << "a stream of N frames carries N - 1 packets";
        EXPECT_EQ(test_support::ProbeFile(received_file(received)).errors, "");
    }

    // The number each frame shows, read from the stream's rebuilt MPEG-4.
    std::vector<int> received_pictures(const ReceivedStream& received) {
        const std::string pictures = work_.file("received.m4v");
        EXPECT_TRUE(test_support::WriteElementaryStreams(received, pictures, work_.file("received.mp3")));
        return test_support::PictureNumbers(pictures);
    }

    void expect_no_transcoder_message() {
        for (auto& message : server_->record().Messages().drain())
            EXPECT_FALSE(message.text) << "no transcoder message: " << *message.text;
    }

    test_support::TempDir media_{"vantrel-media"};
    test_support::TempDir work_{"vantrel-received"};
    std::unique_ptr<test_support::TestServer> server_;
};

std::vector<std::string> clip_recipe(const std::string& video, const std::string& audio, double seconds,
                                     const std::vector<std::string>& codecs) {
    const std::string length = std::to_string(seconds);
    std::vector<std::string> recipe = {
        "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=" + length,
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=" + length, "-c:v", video, "-c:a", audio};
    recipe.insert(recipe.end(), codecs.begin(), codecs.end());
    return recipe;
}

TEST_F(StreamLength, AStartAtOrPastTheEndSendsNothingAndTheNextStreamPlays) {
    start_server();
    ASSERT_TRUE(test_support::MakeCountingClip({"25", 4, -1, 0, ""}, media_.file("clip.avi")));
    for (const char* stime : {"5", "30", "59:59", "99999999:00:00", "9223372036854775807"}) {
        SCOPED_TRACE(stime);
        const ReceivedStream past = stream("clip.avi", stime);
        EXPECT_EQ(PmpHeaderFrameCount(past.header), 0u);
        EXPECT_TRUE(past.ended);
        EXPECT_TRUE(past.packets.empty());
        // The whole clip again, from its first picture.
        const ReceivedStream next = stream("clip.avi");
        EXPECT_NEAR(PmpHeaderFrameCount(next.header), 100u, 1u);
        expect_whole(next);
        const std::vector<int> numbers = test_support::PictureNumbers(received_file(next));
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(numbers.front(), 0);
    }
    expect_no_transcoder_message();
}

// Fewer pictures (or, without pictures, fewer MP3 frames) than the 21 the
// sender waits for before it starts: the stream starts when the input ends.
TEST_F(StreamLength, AClipShorterThanThePrerollSendsEverything) {
    struct Case {
        const char* name;
        int pictures;  // at 25 a second
    };
    const Case cases[] = {
        {"three.avi", 3},
        {"short.avi", 8},
        {"twenty.avi", 20},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test_support::MakeCountingClip({"25", c.pictures / 25.0, -1, 0, ""}, media_.file(c.name)));
        const ReceivedStream received = stream(c.name);
        const uint32_t n = PmpHeaderFrameCount(received.header);
        EXPECT_NEAR(n, c.pictures, 1u);
        expect_whole(received);
        // Every picture of the input, in order, from the first (the last one
        // again where the sound runs a frame longer).
        const std::vector<int> numbers = test_support::PictureNumbers(received_file(received));
        ASSERT_EQ(numbers.size(), n - 1);
        ASSERT_GE(numbers.size(), size_t(c.pictures - 1));
        for (size_t i = 0; i < numbers.size(); ++i)
            EXPECT_EQ(numbers[i], std::min(int(i), c.pictures - 1));
    }
    // Half a second of sound alone: 19 MP3 frames.
    make({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=0.5", "-ac", "2"}, "beep.wav");
    const ReceivedStream beep = stream("beep.wav");
    EXPECT_EQ(PmpHeaderFrameCount(beep.header), 6u);
    expect_whole(beep);
    expect_no_transcoder_message();
}

// Whatever the container, the header counts what the stream will carry and
// the stream ends with its last packet, without waiting for one more.
TEST_F(StreamLength, EveryContainerEndsWithItsLastPacket) {
    struct Case {
        const char* name;
        const char* video;
        const char* audio;
        double seconds;  // at 25 pictures a second
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"h264.mp4", "libx264", "aac", 3, {"-preset", "ultrafast"}},
        {"h264.mov", "libx264", "aac", 3, {"-preset", "ultrafast"}},
        {"h264.mkv", "libx264", "aac", 3, {"-preset", "ultrafast"}},
        {"h264.ts", "libx264", "ac3", 3, {"-preset", "ultrafast"}},
        {"vp9.webm", "libvpx-vp9", "libopus", 3, {"-deadline", "realtime"}},
        {"mpeg4.avi", "mpeg4", "libmp3lame", 3, {}},
        {"flv.flv", "flv", "libmp3lame", 3, {"-ar", "44100"}},
        {"theora.ogv", "libtheora", "libvorbis", 3, {}},
        {"mpeg2.mpg", "mpeg2video", "mp2", 3, {}},
        // The length ASF gives its streams holds the file's start offset.
        {"wmv.wmv", "wmv2", "wmav2", 3, {}},
        {"wmv10.wmv", "wmv2", "wmav2", 10, {}},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        make(clip_recipe(c.video, c.audio, c.seconds, c.options), c.name);
        const ReceivedStream received = stream(c.name);
        EXPECT_NEAR(PmpHeaderFrameCount(received.header), c.seconds * 25, 1);
        expect_whole(received);
    }
    expect_no_transcoder_message();
}

// The header counts five hours for an infinite stream; its input ends long
// before, and so does the stream.
TEST_F(StreamLength, AnInputThatEndsBeforeItsCountEndsTheStreamThere) {
    make(clip_recipe("mpeg4", "libmp3lame", 2, {}), "live.avi");
    start_server({media_.file("live.avi")});
    const ReceivedStream received = stream("live.avi");
    EXPECT_EQ(PmpHeaderFrameCount(received.header), 450000u);
    EXPECT_TRUE(received.ended);
    EXPECT_NEAR(double(received.packets.size()), 50, 2);
    EXPECT_EQ(test_support::ProbeFile(received_file(received)).errors, "");
    expect_no_transcoder_message();
}

// Pictures that show their number (as CountingClip's do) at the times the
// select expression keeps, with the time stamps the extra options give, and
// the counting clip's sound.
std::vector<std::string> numbered_pictures(double seconds, const std::string& keep,
                                           const std::vector<std::string>& extra) {
    const std::string length = std::to_string(seconds);
    std::vector<std::string> recipe = {
        "-f", "lavfi", "-i",
        "color=c=black:size=160x90:rate=1:duration=" + length +
            ",geq=lum='if(bitand(N\\,pow(2\\,floor(X*10/W)))\\,235\\,16)':cb=128:cr=128,"
            "scale=320:180:flags=neighbor,select='" + keep + "'",
        "-f", "lavfi", "-i", "aevalsrc=sin(2*PI*440*t)*gte(mod(t\\,2)\\,1)*0.5:s=44100:d=" + length,
        "-c:v", "mpeg4", "-q:v", "3", "-c:a", "libmp3lame", "-ac", "2", "-fps_mode", "vfr"};
    recipe.insert(recipe.end(), extra.begin(), extra.end());
    return recipe;
}

// The middle third of a file overwritten, as a damaged download has it: what
// cannot be read is skipped and the stream goes on to the end of the file.
TEST_F(StreamLength, ADamagedStretchIsSkippedAndTheStreamGoesOnToTheEnd) {
    constexpr int PICTURES = 500;  // 20 s at 25 a second
    start_server();
    for (const char* name : {"damaged.mp4", "damaged.mkv", "damaged.avi"}) {
        SCOPED_TRACE(name);
        const std::string path = media_.file(name);
        ASSERT_TRUE(test_support::MakeCountingClip({"25", PICTURES / 25.0, -1, 0, ""}, path));
        std::string bytes = test_support::read_text(path);
        std::mt19937 noise(7);
        for (size_t i = bytes.size() / 3; i < bytes.size() * 2 / 3; ++i)
            bytes[i] = char(noise());
        test_support::write_text(path, bytes);

        const ReceivedStream received = stream(name);
        EXPECT_TRUE(received.ended);
        EXPECT_LE(received.packets.size(), PmpHeaderFrameCount(received.header) - 1);
        const std::vector<int> numbers = test_support::PictureNumbers(received_file(received));
        ASSERT_EQ(numbers.size(), received.packets.size());
        ASSERT_GT(numbers.size(), 50u);
        EXPECT_LT(numbers.front(), 5);
        // Past the damage (whose pictures may show anything) the pictures are whole and in order to the end.
        EXPECT_TRUE(std::is_sorted(numbers.end() - 50, numbers.end()));
        EXPECT_GE(numbers.back(), PICTURES - 10) << "the pictures after the damage are played";
    }
    expect_no_transcoder_message();
}

// Recordings joined into one file, each one's clock far after the one
// before: the jump is no length, whether the parts' bit rates are alike or
// not. A clock that starts far from zero is no jump either.
TEST_F(StreamLength, ARecordingJoinedFromTwoCountsItsContentNotTheClockJump) {
    struct Part {
        int64_t clock_start_s;
        std::vector<std::string> coding;  // how the 8.5 s recording is coded
    };
    const std::vector<std::string> as_made = {"-c", "copy"};
    // Nine tenths of the file's bytes in its first recording.
    const std::vector<std::string> dense = {"-c:v", "mpeg4", "-q:v", "1", "-s", "1280x720", "-c:a", "copy"};
    struct Case {
        const char* name;
        std::vector<Part> parts;
    };
    const Case cases[] = {
        {"joined.ts", {{0, as_made}, {5000, as_made}}},
        {"dense_then_sparse.ts", {{0, dense}, {5000, as_made}}},
        {"late_clock.ts", {{93600, as_made}}},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string joined;
        for (size_t part = 0; part < c.parts.size(); ++part) {
            const std::string recording = work_.file("recording.ts");
            const std::string shifted = work_.file("shifted.ts");
            ASSERT_TRUE(test_support::MakeCountingClip({"25", 8.5, -1, int(part) * 300, ""}, recording));
            std::vector<std::string> recipe = {"-i", recording};
            recipe.insert(recipe.end(), c.parts[part].coding.begin(), c.parts[part].coding.end());
            recipe.insert(recipe.end(), {"-output_ts_offset", std::to_string(c.parts[part].clock_start_s)});
            ASSERT_TRUE(test_support::make_clip(recipe, shifted));
            joined += test_support::read_text(shifted);
        }
        test_support::write_text(media_.file(c.name), joined);
        const double content_frames = 8.5 * 25 * double(c.parts.size());
        const ReceivedStream received = stream(c.name);
        const uint32_t n = PmpHeaderFrameCount(received.header);
        EXPECT_GE(n, content_frames);
        EXPECT_LE(n, content_frames * 1.2);
        EXPECT_TRUE(received.ended);
        EXPECT_LE(received.packets.size(), n - 1);
        // Every recording is played, to (near) its end.
        const std::vector<int> numbers = test_support::PictureNumbers(received_file(received));
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(numbers.front(), 0);
        EXPECT_GE(numbers.back(), int(c.parts.size() - 1) * 300 + 180);
    }
}

// Content whose clock starts late (a file written with a time offset, a stream
// copy cut out of a recording that kept its time stamps) or beside a subtitle
// track that runs past the pictures: the count is the length of the pictures
// and sound played, from their start, on the clock a start time counts on.
TEST_F(StreamLength, AClockThatStartsLateOrASubtitleThatRunsOnAddNoLength) {
    struct Case {
        const char* name;
        const char* recorded;            // the counting clip as first made
        double recorded_s;
        std::vector<std::string> remake;  // ffmpeg arguments around "-i <recorded>"
        std::vector<std::string> after;   // and after it
    };
    const std::string subtitles = work_.file("long.srt");
    test_support::write_text(subtitles, "1\n00:00:00,000 --> 00:00:14,000\nrunning on\n");
    const std::vector<std::string> offset = {"-c", "copy", "-output_ts_offset", "10"};
    const Case cases[] = {
        {"late.mp4", "made.mp4", 12, {}, offset},
        {"late.mov", "made.mov", 12, {}, offset},
        {"late.mkv", "made.mkv", 12, {}, offset},
        // A TV recording (a clock an hour in), cut at a key picture.
        {"cut.mp4", "recording.ts", 14.4, {"-ss", "2.4", "-copyts"}, {"-c", "copy", "-output_ts_offset", "3600"}},
        {"subtitled.mkv", "made.mkv", 12, {}, {"-i", subtitles, "-map", "0", "-map", "1", "-c", "copy"}},
        {"subtitled.mp4", "made.mp4", 12, {}, {"-i", subtitles, "-map", "0", "-map", "1", "-c", "copy", "-c:s", "mov_text"}},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string recorded = work_.file(c.recorded);
        ASSERT_TRUE(test_support::MakeCountingClip({"25", c.recorded_s, -1, 0, ""}, recorded));
        std::vector<std::string> recipe = c.remake;
        recipe.insert(recipe.end(), {"-i", recorded});
        recipe.insert(recipe.end(), c.after.begin(), c.after.end());
        make(recipe, c.name);
        const std::vector<int> content = test_support::PictureNumbers(media_.file(c.name));
        ASSERT_GT(content.size(), 250u);
        // From the start: the content's pictures and no more than half a second besides.
        const ReceivedStream whole = stream(c.name);
        const uint32_t n = PmpHeaderFrameCount(whole.header);
        EXPECT_GE(n, content.size());
        EXPECT_LE(n, content.size() + 12);
        EXPECT_TRUE(whole.ended);
        EXPECT_EQ(whole.packets.size() + 1, n) << "N frames come as N - 1 packets";
        const std::vector<int> from_start = received_pictures(whole);
        ASSERT_FALSE(from_start.empty());
        EXPECT_EQ(from_start.front(), content.front());
        EXPECT_NEAR(from_start.back(), content.back(), 1);
        // From its fifth second and in its last second and a half: what the
        // whole stream shows from that time on, to the end.
        const double content_s = double(content.size()) / 25;
        for (const double stime : {5.0, content_s - 1.5}) {
            SCOPED_TRACE(stime);
            const ReceivedStream later = stream(c.name, std::to_string(stime));
            const uint32_t later_n = PmpHeaderFrameCount(later.header);
            EXPECT_NEAR(double(later_n), n - stime * 25, 1.5);
            EXPECT_TRUE(later.ended);
            EXPECT_EQ(later.packets.size() + 1, later_n) << "N frames come as N - 1 packets";
            const std::vector<int> numbers = received_pictures(later);
            ASSERT_FALSE(numbers.empty());
            EXPECT_NEAR(numbers.front(), from_start[size_t(stime * 25)], 1) << "a start time counts on the stream's clock";
            // The picture on screen at the start time comes first, so the count
            // from the start time may end one picture earlier than from the start.
            EXPECT_NEAR(numbers.back(), content.back(), 2);
        }
        // Past its end: nothing.
        const ReceivedStream past = stream(c.name, std::to_string(content_s + 1));
        EXPECT_EQ(PmpHeaderFrameCount(past.header), 0u);
        EXPECT_TRUE(past.packets.empty());
    }
    expect_no_transcoder_message();
}

// A slide show in Matroska: FFmpeg guesses the rate from its time base, a
// thousand a second, while a picture comes every 3 or 4 s.
TEST_F(StreamLength, AMatroskaSlideShowIsTakenAtItsAverageRate) {
    // Pictures at 0, 3, 7, 10, 14 and 17 s, all but the first 7 ms late, so
    // no rate but the time base fits their time stamps.
    make(numbered_pictures(20, "eq(mod(n\\,7)\\,0)+eq(mod(n\\,7)\\,3)",
                           {"-vf", "settb=1/1000,setpts=PTS+gt(PTS\\,0)*7", "-enc_time_base:v", "1:1000"}),
         "slides.mkv");
    start_server();
    const ReceivedStream received = stream("slides.mkv");
    const double fps = double(test_support::ReadLittleEndian32(received.header, 28)) /
                       test_support::ReadLittleEndian32(received.header, 24);
    EXPECT_DOUBLE_EQ(fps, 5.0) << "the five pictures a second every slow input is sent with";
    EXPECT_NEAR(PmpHeaderFrameCount(received.header), 100u, 1u);
    expect_whole(received);
    // Each frame shows the latest picture at its time (a picture's number is
    // its second), give or take a frame.
    const std::vector<int> pictures = {0, 3, 7, 10, 14, 17};
    auto shown_at = [&](double t) {
        int latest = 0;
        for (int second : pictures)
            if (second <= t + 1e-6)
                latest = second;
        return latest;
    };
    const std::vector<int> numbers = test_support::PictureNumbers(received_file(received));
    ASSERT_EQ(numbers.size(), received.packets.size());
    EXPECT_EQ(test_support::CountFramesOutOfStep(numbers, fps, shown_at), 0);
    expect_no_transcoder_message();
}

}  // namespace
