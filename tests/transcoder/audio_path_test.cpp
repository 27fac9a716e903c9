// The audio path: frames cut from a queue that carries remainders, and
// resampler output and queue confined to their buffers whatever the block.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/transcoder/stream_fixture.h"
#include "transcoder/output_setup.h"
#include "transcoder/run_records.h"

namespace {

class AudioPathTest : public StreamStateFixture {
protected:
    void SetUp() override {
        StreamStateFixture::SetUp();
        output_.reset(avformat_alloc_context());
        avformat_new_stream(output_.get(), nullptr)->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        make_stream();
    }

    // A fresh output stream with an opened MP3 encoder.
    void make_stream() {
        stream_ = std::make_unique<output_stream_state>();
        encoder_.reset(avcodec_alloc_context3(find_output_encoder(AV_CODEC_ID_MP3)));
        encoder_->sample_rate = 44100;
        av_channel_layout_default(&encoder_->ch_layout, 2);
        encoder_->sample_fmt = AV_SAMPLE_FMT_S16P;
        encoder_->bit_rate = 128000;
        encoder_->time_base = {1, 44100};
        ASSERT_EQ(avcodec_open2(encoder_.get(), find_output_encoder(AV_CODEC_ID_MP3), nullptr), 0);
        stream_->encoder = encoder_.get();
        stream_->encoder_open = 1;
    }

    // A decoder context that delivers interleaved 16-bit samples.
    static codec_context_ptr decoder(int rate, int channels) {
        codec_context_ptr d(avcodec_alloc_context3(nullptr));
        d->codec_type = AVMEDIA_TYPE_AUDIO;
        d->sample_rate = rate;
        d->sample_fmt = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&d->ch_layout, channels);
        return d;
    }

    static frame_ptr block(int rate, int channels, int samples) {
        frame_ptr f(av_frame_alloc());
        f->format = AV_SAMPLE_FMT_S16;
        f->sample_rate = rate;
        f->nb_samples = samples;
        av_channel_layout_default(&f->ch_layout, channels);
        EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
        auto* s = reinterpret_cast<int16_t*>(f->data[0]);
        for (int i = 0; i < samples * channels; ++i)
            s[i] = int16_t(8000 * std::sin(i * 0.05));
        return f;
    }

    int queued() { return av_audio_fifo_size(stream_->sample_fifo.get()); }

    output_context_ptr output_;
    codec_context_ptr encoder_;
    std::unique_ptr<output_stream_state> stream_;
};

TEST_F(AudioPathTest, RemaindersWaitInTheQueueForTheNextBlock) {
    codec_context_ptr d = decoder(44100, 2);
    ASSERT_TRUE(open_audio_path(*stream_, d.get()));
    // 4000 bytes of stereo 16-bit samples: 1000 samples, short of a 1152-sample frame.
    encode_audio_output(output_.get(), *stream_, block(44100, 2, 1000).get());
    EXPECT_EQ(queued(), 1000);
    EXPECT_EQ(stream_->samples_out, 0);
    encode_audio_output(output_.get(), *stream_, block(44100, 2, 1000).get());
    EXPECT_EQ(stream_->samples_out, 1152) << "one frame encoded";
    EXPECT_EQ(queued(), 848) << "3392 bytes stay queued";
}

// Sound is placed at its time once, with its first block: after silence when
// it starts after the output's start, cut to the sample when before it.
TEST_F(AudioPathTest, TheFirstSoundIsPlacedAtItsTime) {
    struct Case {
        const char* what;
        std::vector<int64_t> blocks_at_us;  // 1000 samples each, at 44100 Hz
        int64_t produced;                   // samples encoded and queued
    };
    const Case cases[] = {
        {"at the start", {0, 22676}, 2000},
        {"100 ms late: silence before it", {100000, 122676}, 4410 + 2000},
        {"10 ms early: cut", {-10000, 12676}, 559 + 1000},
        {"a block wholly before the start is dropped", {-30000, -7324}, 677},
        {"only the start is placed: later time stamps are not followed", {0, 5000000}, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make_stream();
        codec_context_ptr d = decoder(44100, 2);
        ASSERT_TRUE(open_audio_path(*stream_, d.get()));
        for (int64_t at_us : c.blocks_at_us)
            encode_timed_audio_output(output_.get(), *stream_, block(44100, 2, 1000).get(), at_us);
        EXPECT_EQ(stream_->samples_out + queued(), c.produced);
    }
}

// Sound missing between two blocks (a damaged stretch the decoder could not
// read) is silence of its length, when the stream's packets came all through
// it; a jump of the packets' clock is no gap.
TEST_F(AudioPathTest, AGapInTheSoundKeepsItsTimeUnlessTheClockJumped) {
    struct Case {
        const char* what;
        int64_t second_block_us;  // the first of 1000 samples at 44100 Hz is at 0
        int64_t jump_to_us;       // where the packets last jumped to
        int64_t produced;         // samples encoded and queued
    };
    const Case cases[] = {
        {"a 1 s gap the packets came through: silence", 1000000, 0, 44100 + 1000},
        {"the packets jumped into it: no silence", 1000000, 1000000, 2000},
        {"a jump past a gap of the same length: no silence", 1000000, 999000, 2000},
        {"blocks 50 ms apart: no silence", 72676, 0, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make_stream();
        input_stream_state source;
        source.jump_to = c.jump_to_us;
        stream_->sync_source = &source;
        codec_context_ptr d = decoder(44100, 2);
        ASSERT_TRUE(open_audio_path(*stream_, d.get()));
        for (int64_t at_us : {int64_t(0), c.second_block_us})
            encode_timed_audio_output(output_.get(), *stream_, block(44100, 2, 1000).get(), at_us);
        EXPECT_EQ(stream_->samples_out + queued(), c.produced);
    }
}

TEST_F(AudioPathTest, HugeBlocksAtLowRatesStayWithinTheBuffers) {
    struct Case {
        int rate, channels, samples;
    };
    const Case cases[] = {
        {22050, 1, 22050},    // mono 22050 Hz: resampled to stereo 44100 Hz
        {8000, 1, 200000},    // 25 s in one block: far more output than the work block holds
        {8000, 6, 96000},
        {96000, 2, 300000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.samples);
        make_stream();
        reset_slot_events();
        audio_packets_written = 0;
        // No sender here: once the ring is full the sink drops packets instead of waiting.
        transcode_stop_event.set();
        codec_context_ptr d = decoder(c.rate, c.channels);
        ASSERT_TRUE(open_audio_path(*stream_, d.get()));
        encode_audio_output(output_.get(), *stream_, block(c.rate, c.channels, c.samples).get());
        int64_t expected = int64_t(c.samples) * 44100 / c.rate;
        int64_t produced = stream_->samples_out + queued();
        EXPECT_NEAR(double(produced), double(expected), 100.0);
        EXPECT_LT(queued(), 1152 + AUDIO_WORK_SAMPLES);
        EXPECT_LE(av_audio_fifo_space(stream_->sample_fifo.get()) + queued(), AUDIO_WORK_SAMPLES + 4096)
            << "the queue never grew";
        EXPECT_GT(audio_packets_written.load(), 0);
    }
}

TEST_F(AudioPathTest, AnInputThatCannotBeResampledSaysSo) {
    codec_context_ptr d = decoder(0, 2);  // no sample rate
    testing::internal::CaptureStdout();
    EXPECT_FALSE(open_audio_path(*stream_, d.get()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't resample.  Aborting.\n");
    EXPECT_EQ(posted_texts(), std::vector<std::string>{"Can't resample.  Aborting.\n"});
}

}  // namespace
