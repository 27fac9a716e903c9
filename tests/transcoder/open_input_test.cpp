// Opening inputs into the slot table: probe, seek, and the parameters copied
// into the option record, on real clips made by the ffmpeg tool.

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "core/vantrel_dlg.h"
#include "stream/stream_state.h"
#include "stream/transcoder_message.h"
#include "tests/support/counting_clip.h"
#include "tests/support/media_clips.h"
#include "tests/transcoder/stream_fixture.h"
#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

using test_support::clip_kind;
using test_support::make_clip;
using test_support::test_clip;

namespace {

class OpenInputTest : public StreamStateFixture {
protected:
    void SetUp() override {
        StreamStateFixture::SetUp();
        transcode_options = transcode_options_record{};
    }

    // The time of the first video (or other type's) packet read from the
    // slot's input, in seconds.
    static double first_video_packet_time(AVFormatContext* input, AVMediaType type = AVMEDIA_TYPE_VIDEO) {
        AVPacket* packet = av_packet_alloc();
        double seconds = -1;
        for (int read = 0; read < 4000 && av_read_frame(input, packet) >= 0; ++read) {
            const AVStream* stream = input->streams[packet->stream_index];
            const bool video = stream->codecpar->codec_type == type;
            const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (video && time != AV_NOPTS_VALUE) {
                seconds = time * av_q2d(stream->time_base);
                av_packet_unref(packet);
                break;
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        return seconds;
    }

    // The time of the latest sound the file stores before its first picture.
    static double sound_stored_before_pictures_s(const std::string& path) {
        AVFormatContext* input = nullptr;
        if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
            return -1;
        AVPacket* packet = av_packet_alloc();
        double latest = -1;
        for (int read = 0; read < 4000 && av_read_frame(input, packet) >= 0; ++read) {
            const AVStream* stream = input->streams[packet->stream_index];
            const bool video = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
            if (!video && packet->pts != AV_NOPTS_VALUE)
                latest = packet->pts * av_q2d(stream->time_base);
            av_packet_unref(packet);
            if (video)
                break;
        }
        av_packet_free(&packet);
        avformat_close_input(&input);
        return latest;
    }

    std::string make(const std::vector<std::string>& args, const std::string& name) {
        const std::string path = folder_->file(name);
        if (!make_clip(args, path)) ADD_FAILURE() << "ffmpeg could not make " << name;
        return path;
    }
};

struct clip_parameters {
    clip_kind kind;
    int width, height, rate, rate_base, channels, sample_rate;
};

TEST_F(OpenInputTest, OpensIntoTheSlotAndCopiesThePictureAndSoundOfTheInput) {
    const clip_parameters cases[] = {
        {clip_kind::mpeg4_mp3_avi, 640, 360, 25, 1, 2, 44100},
        {clip_kind::ntsc_rate_mp4, 640, 360, 30000, 1001, 2, 44100},
        {clip_kind::mono_22050_avi, 320, 240, 25, 1, 1, 22050},
    };
    int slot = 7;
    for (const clip_parameters& c : cases) {
        const std::string& path = test_clip(c.kind);
        SCOPED_TRACE(path);
        transcode_options.output_format = av_guess_format("avi", nullptr, nullptr);
        open_input_slot(slot, path.c_str());
        ASSERT_TRUE(input_slot_table[slot]);
        EXPECT_EQ(path, input_slot_table[slot]->facts.file_name);
        EXPECT_EQ(c.width, transcode_options.frame_width);
        EXPECT_EQ(c.height, transcode_options.frame_height);
        EXPECT_EQ(c.rate, transcode_options.frame_rate);
        EXPECT_EQ(c.rate_base, transcode_options.frame_rate_base);
        EXPECT_EQ(c.channels, transcode_options.audio_channels);
        EXPECT_EQ(c.sample_rate, transcode_options.audio_sample_rate);
        EXPECT_STREQ("yuv420p", av_get_pix_fmt_name(static_cast<AVPixelFormat>(transcode_options.frame_pix_fmt)));
        EXPECT_EQ(nullptr, transcode_options.output_format);
        ++slot;
    }
    EXPECT_TRUE(posted_texts().empty());
    EXPECT_FALSE(stop_set());
}

TEST_F(OpenInputTest, AFileFfmpegCannotOpenLeavesTheSlotEmptyWithoutAMessage) {
    std::ofstream(folder_->file("notes.avi")) << "these are not the frames you are looking for\n";
    std::ofstream(folder_->file("empty.mp4"));
    const std::string cases[] = {folder_->file("missing.avi"), folder_->file("notes.avi"),
                                 folder_->file("empty.mp4"), folder_->path()};
    transcode_options.stream_start_time = 2000000;
    for (const std::string& path : cases) {
        SCOPED_TRACE(path);
        open_input_slot(0, path.c_str());
        EXPECT_FALSE(input_slot_table[0]);
    }
    EXPECT_TRUE(posted_texts().empty());
    EXPECT_FALSE(stop_set());
    // Only an input that opened consumes the start time.
    EXPECT_EQ(2000000, transcode_options.stream_start_time);
}

TEST_F(OpenInputTest, AStartTimeSeeksBackToTheKeyFrameBeforeItAndIsConsumed) {
    const std::string& path = test_clip(clip_kind::mpeg4_mp3_avi);
    transcode_options.stream_start_time = 3000000;
    open_input_slot(0, path.c_str());
    ASSERT_TRUE(input_slot_table[0]);
    EXPECT_EQ(0, transcode_options.stream_start_time);
    EXPECT_TRUE(posted_texts().empty());
    EXPECT_FALSE(stop_set());
    const double first = first_video_packet_time(input_slot_table[0]->context.get());
    EXPECT_GT(first, 2.0);
    EXPECT_LE(first, 3.0);
    EXPECT_TRUE(input_was_sought(input_slot_table[0]->context.get())) << "its clock counts from where it was sought";
}

// A slide show whose encoder held its pictures back: the file stores them
// after many seconds of its sound. The probe still learns the pictures'
// format and rate, and a start time finds both the key picture and the
// sound of that time.
TEST_F(OpenInputTest, PicturesStoredFarBehindTheirSoundAreProbedAndSoughtWithIt) {
    const std::string path = folder_->file("slides.mkv");
    ASSERT_TRUE(test_support::MakeCountingClip({"1/3", 30, -1, 0, ""}, path,
                                               {true, 0, {"-c:v", "libx264", "-c:a", "aac"}}));
    ASSERT_GT(sound_stored_before_pictures_s(path), 10.0) << "the clip is stored as such slide shows are";
    open_input_slot(0, path.c_str());
    ASSERT_TRUE(input_slot_table[0]);
    EXPECT_STREQ("yuv420p", av_get_pix_fmt_name(static_cast<AVPixelFormat>(transcode_options.frame_pix_fmt)));
    EXPECT_EQ(1, transcode_options.frame_rate);
    EXPECT_EQ(3, transcode_options.frame_rate_base);
    close_all_input_slots();

    transcode_options.stream_start_time = 13500000;
    open_input_slot(0, path.c_str());
    ASSERT_TRUE(input_slot_table[0]);
    EXPECT_TRUE(input_was_sought(input_slot_table[0]->context.get()));
    EXPECT_EQ(13500000, sought_position(input_slot_table[0]->context.get()));
    const double sound = first_video_packet_time(input_slot_table[0]->context.get(), AVMEDIA_TYPE_AUDIO);
    EXPECT_GE(sound, 0.0);
    EXPECT_LE(sound, 13.5) << "the sound of the start time is read";
    EXPECT_TRUE(posted_texts().empty());
}

TEST_F(OpenInputTest, WithoutAStartTimeTheInputIsNotSought) {
    const std::string& path = test_clip(clip_kind::mpeg4_mp3_avi);
    open_input_slot(0, path.c_str());
    ASSERT_TRUE(input_slot_table[0]);
    EXPECT_DOUBLE_EQ(0.0, first_video_packet_time(input_slot_table[0]->context.get()));
    EXPECT_FALSE(input_was_sought(input_slot_table[0]->context.get()));
}

TEST_F(OpenInputTest, ARefusedSeekIsReportedStopsTheTranscodeAndKeepsTheInputUnsought) {
    // The AVI reader refuses a position before its first frame.
    const std::string& path = test_clip(clip_kind::mpeg4_mp3_avi);
    transcode_options.stream_start_time = -5000000;
    open_input_slot(3, path.c_str());
    ASSERT_TRUE(input_slot_table[3]);
    EXPECT_EQ(0, transcode_options.stream_start_time);
    EXPECT_EQ(std::vector<std::string>{path + ": could not seek to position -5.000\n"}, posted_texts());
    EXPECT_TRUE(stop_set());
    EXPECT_DOUBLE_EQ(0.0, first_video_packet_time(input_slot_table[3]->context.get()));
    EXPECT_FALSE(input_was_sought(input_slot_table[3]->context.get()));
}

TEST_F(OpenInputTest, WithTwoAudioStreamsTheLastOneGivesChannelsAndRate) {
    const std::vector<std::string> mono_22050 = {"-f", "lavfi", "-i", "sine=sample_rate=22050:duration=1"};
    const std::vector<std::string> stereo_48000 = {"-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1"};
    auto two_streams = [](std::vector<std::string> first, const std::vector<std::string>& second, int channels1,
                          int channels2) {
        first.insert(first.end(), second.begin(), second.end());
        const std::vector<std::string> tail = {"-map", "0:a", "-map", "1:a", "-c:a", "pcm_s16le",
                                               "-ac:0", std::to_string(channels1), "-ac:1", std::to_string(channels2)};
        first.insert(first.end(), tail.begin(), tail.end());
        return first;
    };
    struct { std::string path; int channels, sample_rate; } cases[] = {
        {make(two_streams(mono_22050, stereo_48000, 1, 2), "mono-then-stereo.mkv"), 2, 48000},
        {make(two_streams(stereo_48000, mono_22050, 2, 1), "stereo-then-mono.mkv"), 1, 22050},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        open_input_slot(0, c.path.c_str());
        ASSERT_TRUE(input_slot_table[0]);
        EXPECT_EQ(c.channels, transcode_options.audio_channels);
        EXPECT_EQ(c.sample_rate, transcode_options.audio_sample_rate);
        input_slot_table[0].reset();
    }
}

TEST_F(OpenInputTest, TheAspectIsTheSampleAspectTimesWidthOverHeight) {
    const std::vector<std::string> picture = {"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=1",
                                              "-c:v", "mpeg4"};
    auto with_filter = [&](const std::string& filter) {
        std::vector<std::string> args = picture;
        args.insert(args.end(), {"-vf", filter});
        return args;
    };
    struct { std::string path; float aspect; } cases[] = {
        {make(with_filter("setsar=1"), "square.avi"), 640.0f / 360.0f},
        {make(with_filter("setsar=2"), "wide.avi"), 2.0f * 640.0f / 360.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        open_input_slot(0, c.path.c_str());
        ASSERT_TRUE(input_slot_table[0]);
        EXPECT_NEAR(c.aspect, transcode_options.frame_aspect_ratio, 1e-4);
        input_slot_table[0].reset();
    }
}

TEST_F(OpenInputTest, ARawPictureFileOpensWithTheSizeAndFormatOfTheOptionRecord) {
    const std::string path = make({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=1", "-f", "rawvideo",
                                   "-pix_fmt", "yuv420p"},
                                  "frames.yuv");
    open_input_slot(0, path.c_str());
    EXPECT_FALSE(input_slot_table[0]) << "a raw file has no size of its own";

    transcode_options.frame_width = 64;
    transcode_options.frame_height = 48;
    transcode_options.frame_pix_fmt = AV_PIX_FMT_YUV420P;
    open_input_slot(0, path.c_str());
    ASSERT_TRUE(input_slot_table[0]);
    EXPECT_EQ(64, input_slot_table[0]->context->streams[0]->codecpar->width);
    EXPECT_EQ(48, input_slot_table[0]->context->streams[0]->codecpar->height);
}

TEST_F(OpenInputTest, AMessageReachesTheDialogCutToItsBufferAndStopsTheTranscode) {
    post_transcoder_message("%s: %d\n", "short", 7);
    post_transcoder_message("%s", std::string(3000, 'm').c_str());
    const std::vector<std::string> texts = posted_texts();
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ("short: 7\n", texts[0]);
    EXPECT_EQ(std::string(2047, 'm'), texts[1]);
    EXPECT_TRUE(stop_set());

    g_pMainDlg = nullptr;  // before the dialog exists: only the stop event
    transcode_stop_event.reset();
    post_transcoder_message("early");
    EXPECT_TRUE(stop_set());
}

TEST(SetAudioBitrate, ReadsKilobitsByTheAtoiRules) {
    const struct { const char* text; int bits; } cases[] = {
        {"128", 128000}, {"64kbit", 64000}, {"  96", 96000}, {"-32", -32000},
        {"abc", 0},      {"", 0},           {"99999999", INT_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        set_audio_bitrate(c.text);
        EXPECT_EQ(c.bits, transcode_options.audio_bit_rate);
    }
}

}  // namespace
