// The output set-up: codec choice by name, the streams an input gets, the
// encoder tuning reaching today's encoder, and the side file.

#include <gtest/gtest.h>

#include <filesystem>

extern "C" {
#include <libavutil/opt.h>
}

#include "tests/support/media_clips.h"
#include "tests/transcoder/stream_fixture.h"
#include "transcoder/output_setup.h"
#include "transcoder/transcoder.h"

namespace {

struct input_deleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using input_holder = std::unique_ptr<AVFormatContext, input_deleter>;

input_holder open_clip(const std::string& path) {
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
        return nullptr;
    input_holder held(input);
    if (avformat_find_stream_info(input, nullptr) < 0)
        return nullptr;
    return held;
}

class OutputSetupTest : public StreamStateFixture {
protected:
    void TearDown() override {
        output_file_table.clear();
        input_file_table.clear();
        StreamStateFixture::TearDown();
    }

    // The job's set-up for one input (nullptr: none), as the thread does it.
    bool set_up(AVFormatContext* input, const std::string& name) {
        input_file_table.clear();
        if (input)
            input_file_table.push_back(input);
        set_frame_size("480x272");
        EXPECT_TRUE(select_codec(&transcode_options.audio_codec_id, AVMEDIA_TYPE_AUDIO, "mp3"));
        EXPECT_TRUE(select_codec(&transcode_options.video_codec_id, AVMEDIA_TYPE_VIDEO, "mpeg4"));
        transcode_options.audio_sample_rate = 44100;
        transcode_options.audio_channels = 2;
        return open_output_file(name.c_str());
    }
    bool set_up(AVFormatContext* input) { return set_up(input, side_file()); }

    std::string side_file() const { return folder_->file("output.avi"); }
};

TEST_F(OutputSetupTest, CodecNamesResolveToLameAndTheNativeMpeg4Encoder) {
    int audio = 0, video = 0;
    ASSERT_TRUE(select_codec(&audio, AVMEDIA_TYPE_AUDIO, "mp3"));
    ASSERT_TRUE(select_codec(&video, AVMEDIA_TYPE_VIDEO, "mpeg4"));
    EXPECT_EQ(audio, AV_CODEC_ID_MP3);
    EXPECT_EQ(video, AV_CODEC_ID_MPEG4);
    EXPECT_STREQ(find_output_encoder(AV_CODEC_ID_MP3)->name, "libmp3lame");
    EXPECT_STREQ(find_output_encoder(AV_CODEC_ID_MPEG4)->name, "mpeg4");
    EXPECT_TRUE(posted_texts().empty());

    int untouched = 42;
    EXPECT_FALSE(select_codec(&untouched, AVMEDIA_TYPE_AUDIO, "mpeg4")) << "the type must match too";
    EXPECT_FALSE(select_codec(&untouched, AVMEDIA_TYPE_VIDEO, "MPEG4")) << "names are case-sensitive";
    EXPECT_EQ(untouched, 42);
    EXPECT_EQ(posted_texts(), (std::vector<std::string>{"Unknown codec 'mpeg4'\n", "Unknown codec 'MPEG4'\n"}));
}

TEST_F(OutputSetupTest, FrameSizeMessages) {
    set_frame_size("480x272");
    EXPECT_EQ(transcode_options.frame_width, 480);
    EXPECT_EQ(transcode_options.frame_height, 272);
    set_frame_size("nonsense");
    set_frame_size("481x272");
    EXPECT_EQ(transcode_options.frame_width, 481) << "the odd size stays stored";
    EXPECT_EQ(posted_texts(),
              (std::vector<std::string>{"Incorrect frame size\n", "Frame size must be a multiple of 2\n"}));
}

TEST_F(OutputSetupTest, TheInputDecidesWhichStreamsTheOutputGets) {
    struct Case {
        std::string clip;
        std::vector<AVMediaType> streams;
    };
    std::string silent = folder_->file("silent.mp4");
    ASSERT_TRUE(test_support::make_clip(
        {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=1", "-an", "-c:v", "mpeg4"}, silent));
    const Case cases[] = {
        {test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi), {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}},
        {test_support::test_clip(test_support::clip_kind::wav_audio), {AVMEDIA_TYPE_AUDIO}},
        // Pictures without sound still get an audio stream, to be fed silence.
        {silent, {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clip);
        output_file_table.clear();
        input_holder input = open_clip(c.clip);
        ASSERT_TRUE(input);
        ASSERT_TRUE(set_up(input.get()));
        ASSERT_EQ(output_file_table.size(), 1u);
        AVFormatContext* output = output_file_table[0]->context.get();
        ASSERT_EQ(output->nb_streams, c.streams.size());
        for (size_t i = 0; i < c.streams.size(); ++i) {
            EXPECT_EQ(output->streams[i]->codecpar->codec_type, c.streams[i]);
            EXPECT_EQ(output_file_table[0]->encoders[i]->codec_type, c.streams[i]);
        }
        EXPECT_EQ(transcode_options.video_codec_id, c.streams.size() == 2 ? 0 : AV_CODEC_ID_MPEG4)
            << "only a stream that was added resets its codec id";
        EXPECT_EQ(transcode_options.audio_codec_id, 0);
        EXPECT_TRUE(posted_texts().empty());
    }
}

TEST_F(OutputSetupTest, AnInputWithNeitherStreamRegistersNoOutput) {
    // A subtitle-only input.
    std::string path = folder_->file("only.srt");
    {
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs("1\n00:00:01,000 --> 00:00:02,000\nhello\n\n", f);
        std::fclose(f);
    }
    input_holder input = open_clip(path);
    ASSERT_TRUE(input);
    EXPECT_TRUE(set_up(input.get()));
    EXPECT_TRUE(output_file_table.empty());
    EXPECT_EQ(posted_texts(), std::vector<std::string>{"No audio or video streams available\n"});
}

TEST_F(OutputSetupTest, TheSideFileIsCreatedOrTruncatedAndNeverWritten) {
    {
        FILE* f = std::fopen(side_file().c_str(), "w");
        std::fputs("old contents", f);
        std::fclose(f);
    }
    input_holder input = open_clip(test_support::test_clip(test_support::clip_kind::wav_audio));
    ASSERT_TRUE(set_up(input.get()));
    output_file_table.clear();
    ASSERT_TRUE(std::filesystem::exists(side_file()));
    EXPECT_EQ(std::filesystem::file_size(side_file()), 0u);
}

TEST_F(OutputSetupTest, ASideFileThatCannotBeMadeLeavesTheOutputWhole) {
    // Tests run as root, whom a read-only folder does not stop: these names
    // cannot be opened for writing by anyone.
    std::filesystem::create_directory(side_file());
    const std::string names[] = {
        side_file(),                                 // a folder is in the way
        folder_->file("no-such-folder/output.avi"),  // the folder is gone
    };
    input_holder input = open_clip(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi));
    ASSERT_TRUE(input);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        output_file_table.clear();
        ASSERT_TRUE(set_up(input.get(), name));
        EXPECT_TRUE(posted_texts().empty()) << "a message would stop the stream";
        ASSERT_EQ(output_file_table.size(), 1u);
        EXPECT_EQ(output_file_table[0]->context->nb_streams, 2u);
        EXPECT_EQ(output_file_table[0]->context->pb, nullptr);
        EXPECT_EQ(transcode_options.output_format, nullptr) << "the set-up is complete";
    }
    output_file_table.clear();
    EXPECT_TRUE(std::filesystem::is_directory(side_file())) << "what is in the way stays";
}

TEST_F(OutputSetupTest, EveryTuningValueReachesTheMpeg4Encoder) {
    for (const encoder_option& option : video_tuning_options()) {
        codec_context_ptr encoder(avcodec_alloc_context3(find_output_encoder(AV_CODEC_ID_MPEG4)));
        EXPECT_GE(av_opt_set(encoder.get(), option.name, option.value.c_str(), AV_OPT_SEARCH_CHILDREN), 0)
            << option.name << " is not a setting of this release";
    }
}

TEST_F(OutputSetupTest, VideoEncoderSettings) {
    input_holder input = open_clip(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi));
    ASSERT_TRUE(input);
    transcode_options.frame_rate = 30000;
    transcode_options.frame_rate_base = 1001;
    transcode_options.frame_aspect_ratio = 16.0f / 9.0f;
    transcode_options.frame_pix_fmt = AV_PIX_FMT_RGB24;  // not an MPEG-4 format
    transcode_options.video_bit_rate = 400000;
    transcode_options.audio_bit_rate = 96000;  // not the record's default
    ASSERT_TRUE(set_up(input.get()));
    AVCodecContext* video = output_file_table[0]->encoders[0].get();
    EXPECT_EQ(video->width, 480);
    EXPECT_EQ(video->height, 272);
    EXPECT_EQ(video->time_base.num, 1001);
    EXPECT_EQ(video->time_base.den, 30000);
    EXPECT_EQ(video->pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(video->bit_rate, 400000);
    EXPECT_EQ(video->gop_size, 12);
    EXPECT_EQ(video->max_b_frames, 0);
    // The display aspect carries over: 16:9 on 480x272 is a sample aspect of 16/9 x 272/480.
    EXPECT_NEAR(av_q2d(video->sample_aspect_ratio), 16.0 / 9.0 * 272.0 / 480.0, 0.005);
    EXPECT_LE(video->sample_aspect_ratio.num, 255);
    int64_t lmin = 0;
    ASSERT_GE(av_opt_get_int(video, "lmin", AV_OPT_SEARCH_CHILDREN, &lmin), 0);
    EXPECT_EQ(lmin, 236);
    uint8_t* equation = nullptr;
    ASSERT_GE(av_opt_get(video, "rc_eq", AV_OPT_SEARCH_CHILDREN, &equation), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(equation), "tex^qComp");
    av_free(equation);

    AVCodecContext* audio = output_file_table[0]->encoders[1].get();
    EXPECT_EQ(audio->sample_rate, 44100);
    EXPECT_EQ(audio->ch_layout.nb_channels, 2);
    EXPECT_EQ(audio->bit_rate, 96000);
    EXPECT_EQ(avcodec_open2(audio, find_output_encoder(AV_CODEC_ID_MP3), nullptr), 0);
    EXPECT_EQ(audio->frame_size, 1152);
    EXPECT_EQ(avcodec_open2(video, find_output_encoder(AV_CODEC_ID_MPEG4), nullptr), 0);
}

}  // namespace
