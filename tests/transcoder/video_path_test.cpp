// The frame drop and copy rule of the video path, on real pictures through
// an opened MPEG-4 encoder.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/transcoder/stream_fixture.h"
#include "transcoder/output_setup.h"
#include "transcoder/run_records.h"

namespace {

TEST(RoundFloat, HalvesGoAwayFromZero) {
    struct Case {
        float x;
        int rounded;
    };
    const Case cases[] = {{2.5f, 3}, {-2.5f, -3}, {2.49f, 2}, {-2.49f, -2}, {0.0f, 0}, {5.5f, 6}};
    for (const Case& c : cases)
        EXPECT_EQ(round_float(c.x), c.rounded) << c.x;
}

TEST(VideoFrameCopies, DecisionByHowFarTheInputIsAhead) {
    struct Case {
        double d;
        int copies;
    };
    const Case cases[] = {
        {-1.1000001, 0}, {-1.1, 1}, {-0.5, 1}, {0.0, 1}, {1.1, 1},
        {1.2, 1},        {1.6, 2},  {2.5, 3},  {4.4, 4}, {5.4, 5},
        // Every gap is filled; telling a break in the time stamps from a gap is the path's.
        {5.5, 6},        {600.0, 600},
    };
    for (const Case& c : cases)
        EXPECT_EQ(video_frame_copies(c.d), c.copies) << c.d;
}

// The real path: decoded pictures with their input clock into an opened
// MPEG-4 encoder, the drop and copy decision taken from the clocks themselves.
class VideoPathTest : public StreamStateFixture {
protected:
    void SetUp() override {
        StreamStateFixture::SetUp();
        output_.reset(avformat_alloc_context());
        avformat_new_stream(output_.get(), nullptr)->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        // Nothing takes packets here: once the ring is full they are dropped at once.
        transcode_stop_event.set();
    }

    void open_encoder(AVRational time_base) {
        const AVCodec* codec = find_output_encoder(AV_CODEC_ID_MPEG4);
        encoder_.reset(avcodec_alloc_context3(codec));
        encoder_->width = 480;
        encoder_->height = 272;
        encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder_->time_base = time_base;
        encoder_->bit_rate = 400000;
        ASSERT_EQ(avcodec_open2(encoder_.get(), codec, nullptr), 0);
        stream_ = std::make_unique<output_stream_state>();
        stream_->encoder = encoder_.get();
        stream_->encoder_open = 1;
        stream_->sync_source = &source_;
        ASSERT_TRUE(open_video_path(*stream_));
    }

    // Frames emitted for each picture, the pictures stamped with these clock times.
    std::vector<int> frames_for_times(const std::vector<int64_t>& times_us) {
        frame_ptr picture(av_frame_alloc());
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = 480;
        picture->height = 272;
        EXPECT_EQ(av_frame_get_buffer(picture.get(), 0), 0);
        for (int plane = 0; plane < 3; ++plane)
            std::memset(picture->data[plane], 128, size_t(picture->linesize[plane]) * (plane ? 136 : 272));
        std::vector<int> frames;
        for (int64_t time : times_us) {
            source_.current_time = time;
            int64_t before = stream_->frames_out;
            encode_video_output(output_.get(), *stream_, picture.get());
            frames.push_back(int(stream_->frames_out - before));
        }
        return frames;
    }

    // The same, the pictures stamped at the input rate from start_us on.
    std::vector<int> frames_for_pictures(int64_t picture_us, int pictures, int64_t start_us = 0) {
        std::vector<int64_t> times;
        for (int i = 0; i < pictures; ++i)
            times.push_back(start_us + i * picture_us);
        return frames_for_times(times);
    }

    output_context_ptr output_;
    codec_context_ptr encoder_;
    input_stream_state source_;
    std::unique_ptr<output_stream_state> stream_;
};

TEST_F(VideoPathTest, FramesPerPictureFollowTheInputClock) {
    const std::vector<int> halved = {1, 1, 1, 0, 1, 0, 1, 0, 1, 0};
    struct Case {
        const char* what;
        AVRational time_base;
        int64_t picture_us;
        int64_t first_us;   // the first picture's clock
        int64_t origin_us;  // the input time the output starts at
        std::vector<int> frames;
    };
    const Case cases[] = {
        {"30 frames/s at 1/15 s: pictures 1, 2, 3, 5, 7, 9 kept", {1, 15}, 33333, 0, 0, halved},
        {"15 frames/s at 1/30 s: later pictures twice", {1, 30}, 66666, 0, 0, {1, 1, 2, 2, 2, 2}},
        {"same rate: one frame each", {1, 25}, 40000, 0, 0, std::vector<int>(30, 1)},
        {"a clock that starts with the output", {1, 15}, 33333, 30000000, 30000000, halved},
        // A break in the time stamps: the picture comes next and the pace holds from there.
        {"a clock far ahead of the output's start", {1, 15}, 33333, 600000000, 0, halved},
        {"25 frames/s at 1/25 s, pictures 8 frames apart: every gap filled", {1, 25}, 320000, 0, 0,
         {1, 8, 8, 8, 8, 8}},
        // Pictures that start after the output are held until they come:
        // each picture at the frame its time falls in.
        {"pictures from 0.2 s", {1, 25}, 40000, 200000, 0, {6, 1, 1, 1}},
        {"pictures from 43 ms, within a frame's slack", {1, 25}, 40000, 43000, 0, {2, 1, 1, 1}},
        {"pictures from 30 ms", {1, 25}, 40000, 30000, 0, {1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_slot_events();  // room in the ring for every case
        open_encoder(c.time_base);
        source_ = input_stream_state{};
        source_.clock_origin = c.origin_us;
        int written_before = video_packets_written;
        EXPECT_EQ(frames_for_pictures(c.picture_us, int(c.frames.size()), c.first_us), c.frames);
        EXPECT_GT(video_packets_written - written_before, 0) << "the kept pictures were encoded";
    }
}

// A jump in the input clock is a gap in the pictures, filled with frames, when
// the stream's packets came all through it (only their pictures were lost),
// when the sound has gone on as far, or, without sound, when it is no longer
// than 5 s. Otherwise it is a break in the time stamps: the picture comes next
// and the pace holds from there.
TEST_F(VideoPathTest, AJumpInTheClockIsAGapOrABreakByTheSound) {
    constexpr int64_t SOUNDLESS = -1;
    constexpr int64_t UNKNOWN = AV_NOPTS_VALUE;
    struct Case {
        const char* what;
        int64_t jump_us;
        int64_t sound_us;  // how far the audio output has gone when the picture after the jump comes
        int64_t packets_jumped_to_us;
        int frames_for_the_jump;
    };
    const int64_t after_60_s = 80000 + 60000000;
    const Case cases[] = {
        {"no sound, a 2 s gap", 2000000, SOUNDLESS, UNKNOWN, 50},
        {"no sound, a 60 s jump", 60000000, SOUNDLESS, UNKNOWN, 1},
        {"the sound went on through 60 s", 60000000, 60100000, UNKNOWN, 1500},
        {"the sound stayed where it was", 60000000, 120000, UNKNOWN, 1},
        {"the sound stayed, the packets came through 60 s", 60000000, 120000, 0, 1500},
        {"the sound stayed, the packets jumped over 60 s", 60000000, 120000, after_60_s, 1},
    };
    codec_context_ptr sound_encoder(avcodec_alloc_context3(nullptr));
    sound_encoder->sample_rate = 44100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_slot_events();
        open_encoder({1, 25});
        source_ = input_stream_state{};
        source_.jump_to = c.packets_jumped_to_us;
        output_stream_state sound;
        sound.encoder = sound_encoder.get();
        if (c.sound_us != SOUNDLESS) {
            sound.samples_out = c.sound_us * 44100 / 1000000;
            stream_->sound = &sound;
        }
        const int64_t after = 80000 + c.jump_us;
        EXPECT_EQ(frames_for_times({0, 40000, 80000, after, after + 40000, after + 80000}),
                  (std::vector<int>{1, 1, 1, c.frames_for_the_jump, 1, 1}));
    }
}

}  // namespace
