// Decoding: the input stream's clock follows the packets' decoding time
// stamps and advances by each decoded unit between them.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/transcoder/stream_fixture.h"
#include "transcoder/run_records.h"

namespace {

constexpr int64_t PICTURE_US = 40000;  // 25 frames a second

class DecodeClockTest : public StreamStateFixture {
protected:
    void SetUp() override {
        StreamStateFixture::SetUp();
        input_.reset(avformat_alloc_context());
        AVStream* stream = avformat_new_stream(input_.get(), nullptr);
        stream->time_base = {1, 25};
        auto state = std::make_unique<input_stream_state>();
        state->stream = stream;
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
        state->decoder.reset(avcodec_alloc_context3(codec));
        state->decoder->framerate = {25, 1};
        state->decoder->thread_count = 1;
        ASSERT_EQ(avcodec_open2(state->decoder.get(), codec, nullptr), 0);
        state->decoded.reset(av_frame_alloc());
        state->ignored = 0;
        state->needs_decoding = 1;
        run_.input_streams.push_back(std::move(state));
        encode_pictures(4);
    }

    // Intra-only MPEG-4 pictures, so each packet decodes at once.
    void encode_pictures(int count) {
        const AVCodec* codec = avcodec_find_encoder_by_name("mpeg4");
        codec_context_ptr encoder(avcodec_alloc_context3(codec));
        encoder->width = 64;
        encoder->height = 64;
        encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder->time_base = {1, 25};
        encoder->gop_size = 0;
        ASSERT_EQ(avcodec_open2(encoder.get(), codec, nullptr), 0);
        frame_ptr picture(av_frame_alloc());
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = picture->height = 64;
        ASSERT_EQ(av_frame_get_buffer(picture.get(), 0), 0);
        for (int plane = 0; plane < 3; ++plane)
            std::memset(picture->data[plane], 100, size_t(picture->linesize[plane]) * (plane ? 32 : 64));
        packet_ptr packet(av_packet_alloc());
        for (int i = 0; i <= count; ++i) {
            if (i < count) {
                picture->pts = i;
                ASSERT_EQ(avcodec_send_frame(encoder.get(), picture.get()), 0);
            } else {
                avcodec_send_frame(encoder.get(), nullptr);
            }
            while (avcodec_receive_packet(encoder.get(), packet.get()) == 0)
                packets_.emplace_back(av_packet_clone(packet.get()));
        }
        ASSERT_EQ(packets_.size(), size_t(count));
    }

    // Feeds packet i with the given time stamp (in 1/25 s); the pictures are
    // intra-only, so it is their decoding and presentation time alike.
    void feed(size_t i, int64_t dts) {
        packets_[i]->dts = dts;
        packets_[i]->pts = dts;
        ASSERT_EQ(process_input_packet(run_, 0, packets_[i].get()), 0);
    }

    const input_stream_state& input() const { return *run_.input_streams[0]; }

    output_context_ptr input_;  // a bare context for the stream: no format, nothing to close
    transcode_run run_;
    std::vector<packet_ptr> packets_;
};

TEST_F(DecodeClockTest, TimeStampsSetTheClockAndPicturesAdvanceTheNextTime) {
    feed(0, 5);
    EXPECT_EQ(input().current_time, 5 * PICTURE_US);
    EXPECT_EQ(input().next_time, 6 * PICTURE_US);
    // Without a time stamp the current time stays while the next one advances.
    feed(1, AV_NOPTS_VALUE);
    EXPECT_EQ(input().current_time, 5 * PICTURE_US);
    EXPECT_EQ(input().next_time, 7 * PICTURE_US);
    feed(2, 9);
    EXPECT_EQ(input().current_time, 9 * PICTURE_US);
    EXPECT_EQ(input().next_time, 10 * PICTURE_US);
}

// A picture sent after pictures shown before it (a reordered stream) is
// decoded early: its own time, not its packet's, is the clock.
TEST_F(DecodeClockTest, APictureIsTimedByItsOwnTimeStamp) {
    packets_[0]->dts = 5;
    packets_[0]->pts = 8;
    ASSERT_EQ(process_input_packet(run_, 0, packets_[0].get()), 0);
    EXPECT_EQ(input().current_time, 8 * PICTURE_US);
    EXPECT_EQ(input().next_time, 9 * PICTURE_US);
}

TEST_F(DecodeClockTest, AnEmptyPacketOnlyMovesTheClockAndTheEndTakesTheNextTime) {
    feed(0, 0);
    AVPacket empty{};
    empty.dts = 3;
    ASSERT_EQ(process_input_packet(run_, 0, &empty), 0);
    EXPECT_EQ(input().current_time, 3 * PICTURE_US);
    EXPECT_EQ(input().next_time, 3 * PICTURE_US);
    feed(1, AV_NOPTS_VALUE);
    ASSERT_EQ(process_input_packet(run_, 0, nullptr), 0);  // end of input
    EXPECT_EQ(input().current_time, 4 * PICTURE_US);
}

TEST_F(DecodeClockTest, TheSyncClockCountsFromTheOutputsStart) {
    struct Case {
        const char* what;
        int64_t origin;  // clock_origin, in 1/25 s
        double sync_s;   // after the pictures at 500 to 503
    };
    const Case cases[] = {
        {"a clock that starts at 0", 0, 503 * 0.04},
        {"a clock that starts where the pictures do", 500, 3 * 0.04},
        {"a start time within the pictures", 502, 0.04},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        input_stream_state& state = *run_.input_streams[0];
        state.clock_origin = c.origin * PICTURE_US;
        for (int i = 0; i < 4; ++i)
            feed(size_t(i), 500 + i);
        output_stream_state video;
        video.sync_source = &state;
        EXPECT_NEAR(get_input_sync_time(video), c.sync_s, 1e-9);
    }
}

}  // namespace
