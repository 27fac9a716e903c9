// Decoder and scaler threads: a stream whose input is decoded and scaled on one
// thread and one on as many threads as the machine has carry the same packets,
// byte for byte, also where pictures are dropped or repeated and after a start
// time.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "transcoder/transcode_options.h"

namespace {

using test_support::clip_kind;
using test_support::ReceivedStream;

constexpr int ONE_THREAD = 1;
constexpr int AUTOMATIC_THREADS = 0;

class DecoderThreads : public ::testing::Test {
protected:
    void TearDown() override {
        server_.reset();
        transcode_options = saved_options_;
    }

    void start_server(float divider) {
        server_.reset();
        server_ = std::make_unique<test_support::TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            record.m_fFrameRateDivider = divider;
        });
    }

    // The whole stream of the clip, its input decoded and scaled on the given thread count.
    ReceivedStream stream(const std::string& name, const std::string& stime, int threads) {
        transcode_options.thread_count = threads;
        return test_support::OpenAndReceiveStream(server_->port(), media_.path(), name, stime);
    }

    static void expect_same_packets(const ReceivedStream& one, const ReceivedStream& many) {
        EXPECT_EQ(one.header, many.header);
        ASSERT_TRUE(one.ended && many.ended);
        ASSERT_GT(one.packets.size(), 20u);
        ASSERT_EQ(one.packets.size(), many.packets.size());
        for (size_t i = 0; i < one.packets.size(); ++i) {
            SCOPED_TRACE("packet " + std::to_string(i));
            const test_support::PmpPacket& a = one.packets[i];
            const test_support::PmpPacket& b = many.packets[i];
            ASSERT_EQ(a.size_word, b.size_word);
            ASSERT_EQ(a.first_delay, b.first_delay);
            ASSERT_EQ(a.last_delay, b.last_delay);
            ASSERT_TRUE(a.video == b.video) << "the pictures differ";
            ASSERT_TRUE(a.audio_frames == b.audio_frames) << "the sound differs";
        }
    }

    test_support::TempDir media_{"vantrel-media"};
    std::unique_ptr<test_support::TestServer> server_;
    transcode_options_record saved_options_ = transcode_options;
};

TEST_F(DecoderThreads, OneThreadAndAutomaticThreadsSendTheSameBytes) {
    struct Case {
        clip_kind kind;
        const char* name;
        float divider;
        const char* stime;
    };
    // HEVC with B-frames and H.264 and MPEG-4 decode on frame threads, which
    // hand pictures out late; MPEG-2 on slice threads. Divider 1 repeats no
    // picture, 1.5 and 2 drop some; a start time seeks.
    const Case cases[] = {
        {clip_kind::hevc_10bit_mp4, "hevc.mp4", 1.0f, ""},
        {clip_kind::hevc_10bit_mp4, "hevc.mp4", 1.5f, ""},
        {clip_kind::hevc_10bit_mp4, "hevc.mp4", 1.0f, "1"},
        {clip_kind::h264_aac_mp4, "h264.mp4", 2.0f, ""},
        {clip_kind::mpeg4_mp3_avi, "movie.avi", 1.0f, "4"},
        {clip_kind::pal_interlaced_mpg, "interlaced.mpg", 1.0f, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " divider " + std::to_string(c.divider) + " stime " + c.stime);
        if (c.kind == clip_kind::hevc_10bit_mp4 && !test_support::ffmpeg_has_encoder("libx265")) {
            ADD_FAILURE() << "the ffmpeg tool has no libx265 to make the HEVC clip";
            continue;
        }
        std::filesystem::copy_file(test_support::test_clip(c.kind), media_.file(c.name),
                                   std::filesystem::copy_options::overwrite_existing);
        start_server(c.divider);
        ReceivedStream one = stream(c.name, c.stime, ONE_THREAD);
        ReceivedStream many = stream(c.name, c.stime, AUTOMATIC_THREADS);
        expect_same_packets(one, many);
    }
}

}  // namespace
