// Whole streams over a real socket: "listdir", "streamopen", "stream2header"
// and "streampackets" on real clips, every packet acknowledged, the received
// stream written as a PMP file and read back by Debian's ffprobe and ffmpeg.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <vector>
#include <string>

#include "resources/no_audio_clip.h"
#include "server/shutdown.h"
#include "stream/stream_state.h"
#include "tests/support/counting_clip.h"
#include "tests/support/files.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

using test_support::clip_kind;
using test_support::CountingClip;
using test_support::PmpHeaderFrameCount;
using test_support::ReceivedStream;

constexpr size_t GREY_PICTURE_SIZE = 480 * 272;

// The pictures of a file (at most count), as 480x272 grey bytes.
std::vector<std::string> grey_pictures(const std::string& path, int count) {
    std::string bytes = test_support::RunCommand("ffmpeg -nostdin -v quiet -i '" + path + "' -frames:v " +
                                                 std::to_string(count) +
                                                 " -vf scale=480:272 -f rawvideo -pix_fmt gray -");
    std::vector<std::string> pictures;
    for (size_t at = 0; at + GREY_PICTURE_SIZE <= bytes.size(); at += GREY_PICTURE_SIZE)
        pictures.push_back(bytes.substr(at, GREY_PICTURE_SIZE));
    return pictures;
}

double mean_difference(const std::string& a, const std::string& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
    return sum / double(GREY_PICTURE_SIZE);
}

// The index of the source picture that looks most like this one.
int best_matching_picture(const std::string& picture, const std::vector<std::string>& source) {
    int best = -1;
    double best_difference = 1e9;
    for (size_t i = 0; i < source.size(); ++i) {
        double difference = mean_difference(picture, source[i]);
        if (difference < best_difference) {
            best = int(i);
            best_difference = difference;
        }
    }
    return best;
}

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
    ReceivedStream stream(const std::string& name, const std::string& stime = "", size_t max_packets = 0,
                          const std::function<void(size_t)>& after_packet = {}) {
        return test_support::OpenAndReceiveStream(server_->port(), media_.path(), name, stime, max_packets,
                                                  after_packet);
    }

    // The PMP file of the stream, read back by FFmpeg's own tools.
    test_support::ProbeResult probe(const ReceivedStream& received, bool with_pictures) {
        std::string path = work_.file("received.pmp");
        EXPECT_TRUE(test_support::WritePmpFile(path, received));
        return test_support::ProbeFile(path, with_pictures);
    }

    // The length an MPEG-1 Layer III frame of 1152 samples at 44100 Hz has by
    // its header; 0 for any other kind of frame.
    static size_t mp3_frame_size(const std::string& frame) {
        static const int kbits[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
        if (frame.size() < 4 || uint8_t(frame[0]) != 0xFF || uint8_t(frame[1]) != 0xFB)
            return 0;
        int bits = uint8_t(frame[2]);
        if (((bits >> 2) & 3) != 0)  // not 44100 Hz
            return 0;
        return size_t(144000 * kbits[bits >> 4] / 44100 + ((bits >> 1) & 1));
    }

    // The fields of every packet agree with its bytes and with the clocks: the
    // word counts exactly the bytes after it, the audio sent so far ends within
    // one MP3 frame after each video frame, and each packet's audio starts where
    // the previous packet's ended.
    static void expect_wire_fields(const ReceivedStream& received) {
        constexpr int32_t HALF_AUDIO_FRAME = int32_t(AUDIO_FRAME_DURATION_US / 2);
        for (size_t i = 0; i < received.packets.size(); ++i) {
            SCOPED_TRACE("packet " + std::to_string(i));
            const test_support::PmpPacket& packet = received.packets[i];
            uint32_t body = uint32_t(test_support::PacketBody(packet).size());
            ASSERT_EQ(packet.size_word, body * 2 + (packet.key_frame ? 1u : 0u));
            ASSERT_GE(packet.last_delay, 0);
            ASSERT_LT(packet.last_delay, HALF_AUDIO_FRAME);
            for (const std::string& frame : packet.audio_frames)
                ASSERT_EQ(frame.size(), mp3_frame_size(frame)) << "one whole MP3 frame per audio entry";
            if (packet.audio_frame_count == 0)
                continue;
            ASSERT_GE(packet.first_delay, 0);
            ASSERT_LT(packet.first_delay, HALF_AUDIO_FRAME);
            if (i > 0) {
                ASSERT_EQ(packet.first_delay, received.packets[i - 1].last_delay);
            }
        }
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
        expect_wire_fields(received);

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

    // The sound of a received file runs with the pictures: from first_s of the
    // input on, the tone sounds where the input's odd seconds fall, and after
    // sound_end_s of the input there is silence. Returns the seconds of sound.
    static double expect_tone_in_step(const std::string& path, double first_s, double sound_end_s = 1e9) {
        using test_support::ToneAt;
        const std::vector<bool> tone = test_support::ToneByTenths(path);
        int out_of_time = 0;
        for (size_t k = 0; k < tone.size(); ++k) {
            const double input_s = first_s + (double(k) + 0.5) * test_support::LOUDNESS_STEP_S;
            ToneAt expected = test_support::ExpectedTone(input_s);
            if (std::abs(input_s - sound_end_s) < 0.2)
                expected = ToneAt::unclear;
            else if (input_s > sound_end_s)
                expected = ToneAt::silence;
            if (expected == ToneAt::unclear)
                continue;
            if (tone[k] != (expected == ToneAt::tone) && out_of_time++ < 3)
                ADD_FAILURE() << "the sound at " << input_s << " s of the input is " << (tone[k] ? "a tone" : "silent");
        }
        EXPECT_EQ(out_of_time, 0);
        return double(tone.size()) * test_support::LOUDNESS_STEP_S;
    }

    // What a stream rebuilt from its packets shows and plays of a counting
    // clip with beeps: the number each frame shows, and for each beep heard
    // how much later it is heard than its second is first seen (ms).
    struct ShownAndHeard {
        std::vector<int> numbers;
        std::vector<double> offsets;
    };
    // Beeps heard, and pictures shown, before from_s of the stream are left
    // out of the offsets.
    ShownAndHeard shown_and_heard(const ReceivedStream& received, double from_s = 0) {
        const double frame_s = double(test_support::ReadLittleEndian32(received.header, 24)) /
                               test_support::ReadLittleEndian32(received.header, 28);
        const std::string pictures = work_.file("received.m4v");
        const std::string sound = work_.file("received.mp3");
        EXPECT_TRUE(test_support::WriteElementaryStreams(received, pictures, sound));
        ShownAndHeard shown;
        shown.numbers = test_support::PictureNumbers(pictures);
        std::vector<test_support::BeepHeard> beeps = test_support::BeepsHeard(sound);
        beeps.erase(std::remove_if(beeps.begin(), beeps.end(),
                                   [&](const test_support::BeepHeard& beep) { return beep.at_s < from_s; }),
                    beeps.end());
        std::vector<int> counted = shown.numbers;
        for (size_t i = 0; i < counted.size() && double(i) * frame_s < from_s; ++i)
            counted[i] = -1;  // seen before any second
        shown.offsets = test_support::SoundAfterPicturesMs(counted, frame_s, 25, beeps);
        return shown;
    }

    // Every beep is heard within 40 ms of the MP3 encoder's own delay after
    // its second is seen.
    static void expect_in_step(const std::vector<double>& offsets) {
        constexpr double MP3_DELAY_MS = 25;
        constexpr double IN_STEP_MS = 40;
        int out_of_step = 0;
        for (size_t i = 0; i < offsets.size(); ++i)
            if (std::abs(offsets[i] - MP3_DELAY_MS) > IN_STEP_MS && out_of_step++ < 3)
                ADD_FAILURE() << "beep " << i << " is heard " << offsets[i] << " ms after its second is seen";
        EXPECT_EQ(out_of_step, 0);
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
        {clip_kind::ntsc_rate_mp4, "ntsc.mp4"},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        add_clip(test_support::test_clip(c.kind), c.name);
        expect_playable(stream(c.name));
    }
}

TEST_F(StreamEndToEnd, FullHdPicturesAndSixChannelAc3Play) {
    struct Case {
        const char* name;
        std::vector<std::string> recipe;
    };
    const Case cases[] = {
        // Stretched to 480x272, whatever its shape.
        {"hd.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25:duration=2", "-f", "lavfi", "-i",
          "sine=frequency=440:sample_rate=48000:duration=2", "-c:v", "mpeg4", "-q:v", "5", "-c:a", "aac",
          "-shortest"}},
        // The decoder is asked for two channels itself.
        {"surround.mkv",
         {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2", "-f", "lavfi", "-i",
          "sine=frequency=440:sample_rate=48000:duration=2", "-filter_complex",
          "[1]pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0[a]", "-map", "0:v", "-map", "[a]", "-c:v", "mpeg4",
          "-c:a", "ac3"}},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test_support::make_clip(c.recipe, media_.file(c.name)));
        expect_playable(stream(c.name));
    }
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
    // A fresh open seeks; a file found already open is read from where it is
    // and the transcoder drops what comes before the start time.
    std::vector<std::string> source = grey_pictures(media_.file("movie.avi"), 250);
    ASSERT_EQ(source.size(), 250u);
    for (bool already_open : {false, true}) {
        SCOPED_TRACE(already_open ? "already open" : "fresh open");
        if (already_open) {
            test_support::ListDir(server_->port(), test_support::ListDirRequest(media_.path(), 65536));
            ASSERT_TRUE(test_support::StreamOpen(server_->port(), "streamopen filename=movie.avi.pmp"));
        }
        ReceivedStream received = stream("movie.avi", "7");
        // About the last 3 s of the 10 s clip at 25 frames a second.
        EXPECT_NEAR(PmpHeaderFrameCount(received.header), 75u, 2u);
        expect_playable(received);
        // The key frame at or before 7 s (25 frames a second), or exactly 7 s.
        std::vector<std::string> first = grey_pictures(work_.file("received.pmp"), 1);
        ASSERT_EQ(first.size(), 1u);
        int picture = best_matching_picture(first[0], source);
        EXPECT_GE(picture, 7 * 25 - 12);
        EXPECT_LE(picture, 7 * 25);
    }
}

TEST_F(StreamEndToEnd, ADividerWithAStartTimeKeepsThePicturesInStep) {
    constexpr double CLIP_SECONDS = 18;
    constexpr double KEY_FRAME_SECONDS = 15 / 25.0;  // -g 15
    constexpr double PICTURE_SLACK_S = 0.25;
    constexpr double NTSC = 30000.0 / 1001;
    struct Case {
        const char* clip;
        double fps;
        const char* divider;
        const char* stime;
        double start_s;
        bool already_open;  // the file is found open: no seek, the pictures before the start are dropped
    };
    const Case cases[] = {
        {"count25.avi", 25, "1.25", "5", 5.0, false},
        {"count25.avi", 25, "1.5", "00:00:07.5", 7.5, false},
        {"count25.avi", 25, "2", "3", 3.0, false},
        {"count25.avi", 25, "2", "6", 6.0, true},
        {"count2997.avi", NTSC, "1.25", "4", 4.0, false},
        {"count2997.avi", NTSC, "1.5", "8.2", 8.2, false},
        {"count2997.avi", NTSC, "2", "5", 5.0, false},
    };
    start_server();
    ASSERT_TRUE(test_support::MakeCountingClip({"25", CLIP_SECONDS, -1, 0, ""}, media_.file("count25.avi")));
    ASSERT_TRUE(test_support::MakeCountingClip({"30000/1001", CLIP_SECONDS, -1, 0, ""}, media_.file("count2997.avi")));
    for (const Case& c : cases) {
        const std::string name = c.clip;
        SCOPED_TRACE(name + " divider " + c.divider + " stime " + c.stime + (c.already_open ? " already open" : ""));
        test_support::ListDir(server_->port(),
                              test_support::ListDirRequest(media_.path(), 65536, std::string("&framediv=") + c.divider));
        if (c.already_open) {
            ASSERT_TRUE(test_support::StreamOpen(server_->port(), "streamopen filename=" + name + ".pmp"));
        }
        ReceivedStream received = stream(name, c.stime);
        const double frame_s = double(test_support::ReadLittleEndian32(received.header, 24)) /
                               test_support::ReadLittleEndian32(received.header, 28);
        EXPECT_NEAR(frame_s, std::atof(c.divider) / c.fps, 1e-4);
        const uint32_t n = PmpHeaderFrameCount(received.header);
        EXPECT_NEAR(n, (CLIP_SECONDS - c.start_s) / frame_s, 2.0);
        expect_playable(received);

        // Each packet carries the sound of its own frame: the sound sent spans the pictures sent.
        double audio_s = 0;
        for (const auto& packet : received.packets)
            audio_s += double(packet.audio_frames.size()) * AUDIO_FRAME_DURATION_US * 1e-6;
        const double video_s = double(received.packets.size()) * frame_s;
        EXPECT_GE(audio_s, video_s);
        EXPECT_LT(audio_s, video_s + AUDIO_FRAME_DURATION_US * 1e-6);

        // Frame i shows the input at the first frame's time plus i frames of the header's rate.
        std::vector<int> numbers = test_support::PictureNumbers(work_.file("received.pmp"));
        ASSERT_EQ(numbers.size(), received.packets.size());
        const double first_s = numbers[0] / c.fps;
        if (c.already_open) {
            EXPECT_NEAR(first_s, c.start_s, 1.5 / c.fps) << "the first picture at or after the start";
        } else {
            EXPECT_NEAR(first_s, c.start_s - KEY_FRAME_SECONDS / 2, KEY_FRAME_SECONDS / 2 + 0.05)
                << "the key frame at or before the start";
        }
        int out_of_step = 0;
        for (size_t i = 0; i < numbers.size(); ++i) {
            double expected_s = first_s + double(i) * frame_s;
            double shown_s = numbers[i] / c.fps;
            if (std::abs(shown_s - expected_s) > PICTURE_SLACK_S && out_of_step++ < 3)
                ADD_FAILURE() << "frame " << i << " shows " << shown_s << " s, expected " << expected_s << " s";
        }
        EXPECT_EQ(out_of_step, 0);

        // The sound runs with the pictures: the tone sounds where the input's odd seconds fall.
        EXPECT_NEAR(expect_tone_in_step(work_.file("received.pmp"), first_s), video_s, 0.2);
    }
}

// Inputs whose pictures are few, stop early or come unevenly, and sound that
// stops early: each plays to the end of its header's count, every frame shows
// the input's latest picture at that frame's time, and the sound runs on with
// the pictures (silence once the input's sound has ended).
TEST_F(StreamEndToEnd, SlowUnevenAndShortStreamsPlayToTheEndInStep) {
    struct Case {
        const char* name;
        CountingClip clip;
        double picture_rate;  // the input's pictures a second; picture n comes at n / rate
        double header_fps;    // the rate the header gives the stream
        double seconds;       // the stream's length
        double sound_end_s;
        std::function<bool(int)> kept = [](int) { return true; };  // which pictures the input has
        bool h264 = false;
    };
    const Case cases[] = {
        {"slides1.mp4", {"1", 30, -1, 0, ""}, 1, 5, 30, 30},
        {"slides05.mp4", {"1/2", 30, -1, 0, ""}, 0.5, 5, 30, 30},
        // One picture and 20 s of sound.
        {"still.mp4", {"25", 0.04, 20, 5, ""}, 25, 25, 20, 20},
        {"shortsound.avi", {"25", 30, 10, 0, ""}, 25, 25, 30, 10},
        // 100 pictures at 25 a second, then one in eight of them (3.125 a second).
        {"ratedrop.mkv", {"25", 20, -1, 0, "lt(n\\,100)+not(mod(n-100\\,8))"}, 25, 25, 20, 20,
         [](int n) { return n < 100 || (n - 100) % 8 == 0; }},
        // The last picture comes at its own time, not in the gap before it.
        {"slides15.mp4", {"3/2", 12, -1, 0, ""}, 1.5, 6, 12, 12, [](int) { return true; }, true},
        {"ratedrop3.mp4", {"24", 12, -1, 0, "lt(n\\,96)+not(mod(n-96\\,8))"}, 24, 24, 11.7, 12,
         [](int n) { return n < 96 || (n - 96) % 8 == 0; }, true},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::CountingClipFormat format;
        if (c.h264)
            format.encoding = {"-c:v", "libx264", "-c:a", "aac"};
        ASSERT_TRUE(test_support::MakeCountingClip(c.clip, media_.file(c.name), format));
        ReceivedStream received = stream(c.name);
        const double fps = double(test_support::ReadLittleEndian32(received.header, 28)) /
                           test_support::ReadLittleEndian32(received.header, 24);
        EXPECT_NEAR(fps, c.header_fps, 1e-6);
        // The container's length may end with either stream's last unit.
        EXPECT_NEAR(PmpHeaderFrameCount(received.header), c.seconds * c.header_fps, 0.2 * c.header_fps + 1);
        expect_playable(received);

        // The number of the latest picture the input has at time t.
        const int pictures = int(std::lround(c.clip.video_seconds * c.picture_rate));
        auto shown_at = [&](double t) {
            int latest = 0;
            for (int n = 0; n < pictures && n / c.picture_rate <= t + 1e-6; ++n)
                if (c.kept(n))
                    latest = n;
            return latest + c.clip.first_number;
        };
        std::vector<int> numbers = test_support::PictureNumbers(work_.file("received.pmp"));
        ASSERT_EQ(numbers.size(), received.packets.size());
        EXPECT_EQ(test_support::CountFramesOutOfStep(numbers, fps, shown_at), 0);
        EXPECT_NEAR(expect_tone_in_step(work_.file("received.pmp"), 0, c.sound_end_s),
                    double(received.packets.size()) / fps, 0.2);
    }
    for (auto& message : server_->record().Messages().drain())
        EXPECT_FALSE(message.text) << "no transcoder message: " << *message.text;
}

// Inputs whose pictures show their number and whose sound beeps at each whole
// second with a pitch that names it, in the containers and clocks of real
// recordings: each beep is heard when its second is seen, give or take the
// MP3 encoder's own delay, and a start time is the first picture shown.
TEST_F(StreamEndToEnd, SoundAndPicturesStayInStepAcrossContainersAndStartTimes) {
    struct Case {
        const char* name;
        double seconds;
        std::vector<std::string> encoding;
        double audio_start_s;
        const char* stime;
        double start_s;  // the first picture shows it
        double heard_from_s = 0;  // the beeps heard before this time of the stream are left out
    };
    const std::vector<std::string> h264_aac = {"-c:v", "libx264", "-g", "50", "-c:a", "aac"};
    const std::vector<std::string> h264_ac3 = {"-c:v", "libx264", "-g", "50", "-c:a", "ac3"};
    const std::vector<std::string> mpeg2_mp2 = {"-c:v", "mpeg2video", "-q:v", "3", "-c:a", "mp2"};
    const std::vector<std::string> interlaced = {"-vf", "scale=1920:1080,setfield=tff", "-c:v", "mpeg2video",
                                                 "-flags", "+ildct+ilme", "-top", "1", "-q:v", "4", "-c:a", "mp2"};
    const std::vector<std::string> late_clock = {"-c:v", "mpeg2video", "-q:v", "3", "-c:a", "mp2",
                                                 "-output_ts_offset", "93600"};
    const std::vector<std::string> sparse_keys = {"-c:v", "libx264", "-g", "250", "-c:a", "aac"};
    const std::vector<std::string> vp9 = {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                                          "-g", "60", "-c:a", "libopus"};
    const std::vector<std::string> wmv = {"-c:v", "wmv2", "-q:v", "3", "-g", "30", "-c:a", "wmav2"};
    const Case cases[] = {
        {"plain.mp4", 12, h264_aac, 0, "", 0},
        {"h264_aac.ts", 12, h264_aac, 0, "", 0},
        {"h264_ac3.ts", 12, h264_ac3, 0, "", 0},
        {"mpeg2_mp2.ts", 12, mpeg2_mp2, 0, "", 0},
        {"interlaced.ts", 6, interlaced, 0, "", 0},
        {"clock_at_26_hours.ts", 12, late_clock, 0, "", 0},
        {"late_sound.mkv", 12, h264_aac, 3, "", 0},
        {"late_sound.mp4", 12, h264_aac, 3, "", 0},
        {"sparse_keys.mp4", 14, sparse_keys, 0, "5", 5},
        {"h264_aac_stime.ts", 16, h264_aac, 0, "10", 10},
        {"vp9.webm", 12, vp9, 0, "5", 5},
        {"windows.wmv", 12, wmv, 0, "5", 5},
        // Its pictures start a frame's length after its sound, and the
        // first 40 ms of its sound are lost to the encoder: the first beep
        // is cut, too short to tell its pitch.
        {"windows_from_the_start.wmv", 12, wmv, 0, "", 0, 0.5},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test_support::MakeCountingClip({"25", c.seconds, -1, 0, ""}, media_.file(c.name),
                                                   {true, c.audio_start_s, c.encoding}));
        ReceivedStream received = stream(c.name, c.stime);
        ASSERT_FALSE(received.packets.empty());
        const ShownAndHeard shown = shown_and_heard(received, c.heard_from_s);
        ASSERT_EQ(shown.numbers.size(), received.packets.size());
        EXPECT_NEAR(shown.numbers.front() / 25.0, c.start_s, 1.0 / 25 + 1e-9)
            << "the first picture shows the start time";
        // The header's count leaves one frame out, and a start time inside a
        // picture (a TS's sound starts 23 ms before its pictures) shows that
        // picture first: the last frames of the file are the ones left out.
        EXPECT_GE(shown.numbers.back(), int(c.seconds * 25) - 3) << "the stream ends with the file";
        EXPECT_GE(shown.offsets.size(),
                  size_t(c.seconds - std::max({c.start_s, c.audio_start_s, c.heard_from_s}) - 2))
            << "every second is heard";
        expect_in_step(shown.offsets);
    }
}

// A stretch of a file that cannot be decoded (the middle third of a download
// overwritten) keeps its time: the last good picture is held and silence is
// heard where no sound could be read, so what follows plays at its own time,
// in step, to the end of the file.
TEST_F(StreamEndToEnd, ADamagedStretchKeepsItsTimeAndWhatFollowsPlaysInStep) {
    constexpr double SECONDS = 20;
    struct Case {
        const char* name;
        std::vector<std::string> encoding;
    };
    const Case cases[] = {
        {"damaged.mp4", {"-c:v", "libx264", "-g", "50", "-b:v", "2M", "-c:a", "aac"}},
        {"damaged.mkv", {}},
        {"damaged.ts", {"-c:v", "libx264", "-g", "50", "-b:v", "2M", "-c:a", "aac"}},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = media_.file(c.name);
        ASSERT_TRUE(test_support::MakeCountingClip({"25", SECONDS, -1, 0, ""}, path, {true, 0, c.encoding}));
        std::string bytes = test_support::read_text(path);
        std::mt19937 noise(2);
        for (size_t i = bytes.size() / 3; i < bytes.size() * 2 / 3; ++i)
            bytes[i] = char(noise());
        test_support::write_text(path, bytes);

        const ReceivedStream received = stream(c.name);
        EXPECT_TRUE(received.ended);
        EXPECT_EQ(received.packets.size(), PmpHeaderFrameCount(received.header) - 1) << "played to the end";
        // What the damaged stretch shows and plays may be anything; from
        // its end on (the middle third of the bytes ends before four fifths
        // of the time, an MP4's index taking bytes at its end), the pictures
        // and the sound are whole again.
        const double after_damage_s = SECONDS * 4 / 5;
        const ShownAndHeard shown = shown_and_heard(received, after_damage_s);
        ASSERT_EQ(shown.numbers.size(), received.packets.size());
        // The last seconds come at their own time: frame i shows picture i.
        const size_t last_seconds = 4 * 25;
        ASSERT_GT(shown.numbers.size(), last_seconds);
        int out_of_time = 0;
        for (size_t i = shown.numbers.size() - last_seconds; i < shown.numbers.size(); ++i)
            if (std::abs(shown.numbers[i] - int(i)) > 1 && out_of_time++ < 3)
                ADD_FAILURE() << "frame " << i << " shows picture " << shown.numbers[i];
        EXPECT_EQ(out_of_time, 0);
        EXPECT_GE(shown.offsets.size(), size_t(SECONDS - after_damage_s - 1))
            << "the seconds after the damage are heard";
        expect_in_step(shown.offsets);
    }
}

// Slide shows of H.264 with B-frames as x264 makes them, a picture every 3 or 4 s that shows its number: in Matroska (which stores the first
// pictures after many seconds of sound, as the encoder holds them back) and
// in MP4, with and without sound, from their start and from start times
// between two pictures and after the last one. Each plays whole; every frame
// shows the picture on screen at its time in the file (the last one at or
// before it), and each beep is heard at its second.
TEST_F(StreamEndToEnd, SlideShowsPlayWholeWithThePictureOnScreenAtEachTime) {
    constexpr double FPS = 5;  // the header's floor for slow inputs
    constexpr double MP3_DELAY_S = 0.025;
    constexpr double IN_STEP_S = 0.04;
    struct Slides {
        const char* name;
        const char* rate;
        double picture_s;
        double seconds;
        bool sound;
    };
    const Slides slide_shows[] = {
        {"slides.mkv", "1/3", 3, 30, true},
        {"silent_slides.mkv", "1/3", 3, 30, false},
        {"slides.mp4", "1/3", 3, 30, true},
        {"slides4.mkv", "1/4", 4, 40, true},
    };
    struct Case {
        const Slides& slides;
        const char* stime;
        double start_s;
    };
    const Case cases[] = {
        {slide_shows[0], "", 0},       {slide_shows[1], "", 0},       {slide_shows[3], "", 0},
        {slide_shows[0], "13.5", 13.5}, {slide_shows[1], "13.5", 13.5}, {slide_shows[2], "13.5", 13.5},
        // The picture on screen at 10.5 s is a B-frame nothing refers to.
        {slide_shows[0], "10.5", 10.5}, {slide_shows[0], "28", 28},
    };
    for (const Slides& slides : slide_shows) {
        // Three B-frames between references, the middle one a reference too:
        // x264's defaults, with its choice of B-frames fixed so that simple
        // pictures get them as well.
        std::vector<std::string> encoding = {"-c:v", "libx264", "-x264-params", "b-adapt=0"};
        const std::vector<std::string> audio = {"-c:a", "aac"};
        if (slides.sound)
            encoding.insert(encoding.end(), audio.begin(), audio.end());
        else
            encoding.push_back("-an");
        ASSERT_TRUE(test_support::MakeCountingClip({slides.rate, slides.seconds, -1, 0, ""},
                                                   media_.file(slides.name), {true, 0, encoding}));
    }
    start_server();
    for (const Case& c : cases) {
        const Slides& slides = c.slides;
        SCOPED_TRACE(std::string(slides.name) + " from " + std::to_string(c.start_s) + " s");
        // The picture on screen at time t of the file.
        auto on_screen = [&](double t) {
            return int(std::floor(std::min(t, slides.seconds - 0.1) / slides.picture_s + 1e-9));
        };
        ReceivedStream received = stream(slides.name, c.stime);
        expect_playable(received);
        EXPECT_NEAR(PmpHeaderFrameCount(received.header), (slides.seconds - c.start_s) * FPS, 1);
        const std::string pictures = work_.file("received.m4v");
        const std::string sound = work_.file("received.mp3");
        ASSERT_TRUE(test_support::WriteElementaryStreams(received, pictures, sound));
        const std::vector<int> numbers = test_support::PictureNumbers(pictures);
        ASSERT_EQ(numbers.size(), received.packets.size());
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(numbers.front(), on_screen(c.start_s)) << "the picture on screen at the start time comes first";
        EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()).size(),
                  size_t(on_screen(slides.seconds) - on_screen(c.start_s) + 1))
            << "every picture from there on is shown";
        int out_of_step = 0;
        for (size_t i = 0; i < numbers.size(); ++i) {
            const double t = c.start_s + double(i) / FPS;
            const bool in_step = numbers[i] == on_screen(t) || numbers[i] == on_screen(t - 1 / FPS) ||
                                 numbers[i] == on_screen(t + 1 / FPS);
            if (!in_step && out_of_step++ < 3)
                ADD_FAILURE() << "frame " << i << " at " << t << " s of the file shows picture " << numbers[i]
                              << ", expected " << on_screen(t);
        }
        EXPECT_EQ(out_of_step, 0);

        const std::vector<test_support::BeepHeard> beeps = test_support::BeepsHeard(sound);
        const int first_second = int(std::ceil(c.start_s));
        EXPECT_EQ(beeps.size(), slides.sound ? size_t(int(slides.seconds) - first_second) : 0u)
            << "every second is heard";
        int out_of_time = 0;
        for (size_t i = 0; i < beeps.size() && slides.sound; ++i) {
            const bool in_time = beeps[i].second == first_second + int(i) &&
                                 std::abs(beeps[i].at_s - (beeps[i].second - c.start_s) - MP3_DELAY_S) <= IN_STEP_S;
            if (!in_time && out_of_time++ < 3)
                ADD_FAILURE() << "the beep of second " << beeps[i].second << " is heard at " << beeps[i].at_s << " s";
        }
        EXPECT_EQ(out_of_time, 0);
    }
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

TEST_F(StreamEndToEnd, ALongAudioOnlyStreamLoopsTheClipFrameByFrame) {
    start_server();
    // 9 s at 12 frames a second: 107 packets, so the clip starts again at packet 100.
    ASSERT_TRUE(test_support::make_clip({"-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100:duration=9",
                                         "-ac", "2"},
                                        media_.file("long.wav")));
    ReceivedStream received = stream("long.wav");
    expect_playable(received);
    ASSERT_GT(received.packets.size(), 101u);
    for (size_t n = 0; n < received.packets.size(); ++n) {
        const uint8_t* slot = no_audio_clip[n % NO_AUDIO_CLIP_FRAMES];
        uint32_t word = uint32_t(slot[0]) | uint32_t(slot[1]) << 8 | uint32_t(slot[2]) << 16 |
                        uint32_t(slot[3]) << 24;
        const std::string clip_frame(reinterpret_cast<const char*>(slot + 4), word / 2);
        ASSERT_EQ(received.packets[n].video, clip_frame) << "packet " << n;
        ASSERT_EQ(received.packets[n].key_frame, (word & 1) != 0) << "packet " << n;
    }
    EXPECT_TRUE(received.packets[100].key_frame);
}

// Cover art comes as a one-picture "video" stream, in ID3 tags and in MP4 atoms alike.
TEST_F(StreamEndToEnd, ASongWithCoverArtPlaysAsAudioOnly) {
    struct Case {
        const char* name;
        const char* audio_codec;
        std::vector<std::string> tag_options;
    };
    const Case cases[] = {
        {"cover.mp3", "libmp3lame", {"-id3v2_version", "3"}},
        {"cover.m4a", "aac", {}},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> recipe = {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=5",
                                           "-f", "lavfi", "-i", "color=c=red:size=64x64:duration=1",
                                           "-frames:v", "1", "-map", "0", "-map", "1", "-ac", "2",
                                           "-c:a", c.audio_codec, "-c:v", "mjpeg", "-disposition:v", "attached_pic"};
        recipe.insert(recipe.end(), c.tag_options.begin(), c.tag_options.end());
        ASSERT_TRUE(test_support::make_clip(recipe, media_.file(c.name)));
        ReceivedStream received = stream(c.name);
        EXPECT_EQ(audio_only_mode.load(), 1);
        EXPECT_EQ(PmpHeaderFrameCount(received.header), 60u);
        expect_playable(received);
    }
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

TEST_F(StreamEndToEnd, AVideoWithoutSoundPlaysWithSilence) {
    struct Case {
        const char* name;
        std::vector<std::string> recipe;
    };
    const Case cases[] = {
        {"screen.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=4", "-an", "-c:v", "mpeg4", "-q:v", "5"}},
        // A rate whose frames do not line up with the MP3 frames.
        {"animation.avi",
         {"-f", "lavfi", "-i", "testsrc2=size=480x272:rate=30000/1001:duration=4", "-an", "-c:v", "mpeg4",
          "-q:v", "5"}},
    };
    start_server();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test_support::make_clip(c.recipe, media_.file(c.name)));
        ReceivedStream received = stream(c.name);
        EXPECT_EQ(audio_only_mode.load(), 0) << "pictures of its own, not the built-in clip";
        EXPECT_NEAR(PmpHeaderFrameCount(received.header), c.name[0] == 's' ? 100u : 120u, 1u);
        expect_playable(received);

        // The sound is silence: every decoded sample is (close to) zero.
        std::string samples = test_support::RunCommand("ffmpeg -nostdin -v quiet -i '" +
                                                       work_.file("received.pmp") + "' -map 0:a -f s16le -");
        ASSERT_GT(samples.size(), 44100u * 4 * 3) << "at least 3 s of stereo sound";
        int loudest = 0;
        for (size_t i = 0; i + 1 < samples.size(); i += 2)
            loudest = std::max(loudest, std::abs(int(int16_t(uint8_t(samples[i]) | uint8_t(samples[i + 1]) << 8))));
        EXPECT_LE(loudest, 8);
    }
    for (auto& message : server_->record().Messages().drain())
        EXPECT_FALSE(message.text) << "no transcoder message: " << *message.text;
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

TEST_F(StreamEndToEnd, AClientThatHangsUpEndsItsStreamAndTheNextOnePlays) {
    start_server();
    add_clip(test_support::test_clip(clip_kind::mpeg4_mp3_avi), "movie.avi");
    add_clip(test_support::test_clip(clip_kind::mono_22050_avi), "next.avi");
    ReceivedStream gone = stream("movie.avi", "", 10);
    EXPECT_EQ(gone.packets.size(), 10u);
    expect_playable(stream("next.avi"));
}

TEST_F(StreamEndToEnd, AClientThatPausesKeepsItsStream) {
    start_server();
    add_clip(test_support::test_clip(clip_kind::mono_22050_avi), "movie.avi");
    ReceivedStream received = stream("movie.avi", "", 0, [](size_t count) {
        if (count == 30)
            std::this_thread::sleep_for(std::chrono::seconds(3));
    });
    expect_playable(received);
}

TEST_F(StreamEndToEnd, ShuttingTheServerDownDuringAStreamEndsItAndTheJobBeforeTheRecordGoes) {
    start_server();
    add_clip(test_support::test_clip(clip_kind::mpeg4_mp3_avi), "movie.avi");
    ReceivedStream received = stream("movie.avi", "", 0, [&](size_t count) {
        if (count == 20)
            ShutdownStreamServer();  // what every exit path of the program does
    });
    EXPECT_TRUE(received.ended);
    EXPECT_LT(received.packets.size(), 30u);
    EXPECT_EQ(transcode_running.load(), 0) << "the job has been joined";
    EXPECT_EQ(g_pMainDlg, nullptr);
    for (const auto& slot : input_slot_table)
        EXPECT_FALSE(slot);
    server_.reset();  // shuts down again, then the record goes
}

TEST_F(StreamEndToEnd, ClosingTheProgramDuringAStreamEndsItCleanly) {
    start_server();
    add_clip(test_support::test_clip(clip_kind::mpeg4_mp3_avi), "movie.avi");
    bool closed = false;
    ReceivedStream received = stream("movie.avi", "", 0, [&](size_t count) {
        if (count == 20 && !closed) {
            CloseStreamEvents();  // what the dialog's close does
            closed = true;
        }
    });
    EXPECT_TRUE(received.ended);
    EXPECT_LT(received.packets.size(), 30u) << "the sender's next wait fails";
    // The transcoder notices the closed events and can be released at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(StopRunningTranscode(true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    for (const auto& slot : input_slot_table)
        EXPECT_FALSE(slot);
}

}  // namespace
