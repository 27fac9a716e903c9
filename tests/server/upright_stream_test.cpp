// Portrait videos stored on their side, as phones write them: a dark picture
// with a bright bar in its top-left corner, stored turned or mirrored, with
// the display matrix that shows it upright again. What the received packets
// rebuild shows the bar where the user sees it, lying flat, and its MPEG-4
// sample aspect gives the upright picture's 9:16.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/server/served_clips.h"
#include "transcoder/ffmpeg_ptr.h"
#include "transcoder/transcode_options.h"

namespace {

constexpr int WIDTH = 480;
constexpr int HEIGHT = 272;
constexpr size_t PICTURE_SIZE = size_t(WIDTH) * HEIGHT;

// The picture as the user holds the phone: 180x320, its bar 60x20 at the top left.
const std::string UPRIGHT_PICTURE =
    "color=c=black:size=180x320:rate=25:duration=2,drawbox=x=0:y=0:w=60:h=20:color=white:t=fill";

// Where the bright pixels of a 480x272 grey picture lie.
struct BrightBox {
    int left = WIDTH, top = HEIGHT, right = -1, bottom = -1;
};

BrightBox bright_box(const std::string& picture) {
    BrightBox box;
    for (int y = 0; y < HEIGHT; ++y)
        for (int x = 0; x < WIDTH; ++x)
            if (uint8_t(picture[size_t(y) * WIDTH + size_t(x)]) > 128) {
                box.left = std::min(box.left, x);
                box.top = std::min(box.top, y);
                box.right = std::max(box.right, x);
                box.bottom = std::max(box.bottom, y);
            }
    return box;
}

// The tenth picture of a raw MPEG-4 file, as grey bytes.
std::string tenth_picture(const std::string& path) {
    return test_support::RunCommand("ffmpeg -nostdin -v quiet -i '" + path +
                                    "' -vf 'select=eq(n\\,9)' -frames:v 1 -f rawvideo -pix_fmt gray -");
}

// What ffprobe says of one entry of the video stream ("stream=sample_aspect_ratio"),
// without the line's end; "" when it has none.
std::string probed_video_entry(const std::string& path, const std::string& entry) {
    std::string text = test_support::RunCommand("ffprobe -v error -select_streams v -show_entries " + entry +
                                                " -of default=nw=1:nk=1 '" + path + "'");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// A stream's sample aspect ("51:160").
std::string sample_aspect(const std::string& path) {
    return probed_video_entry(path, "stream=sample_aspect_ratio");
}

// The rotation of a stream's display matrix; "" for none.
std::string probed_rotation(const std::string& path) {
    return probed_video_entry(path, "stream_side_data=rotation");
}

struct input_closer {
    void operator()(AVFormatContext* input) const { avformat_close_input(&input); }
};

// The clip's streams copied into out with this display matrix on its video
// stream. The `ffmpeg` tool of this release writes turns only, from a
// "rotate" tag; libavformat writes any matrix.
bool copy_with_matrix(const std::string& in, const std::string& out, const int32_t matrix[9]) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, in.c_str(), nullptr, nullptr) < 0)
        return false;
    std::unique_ptr<AVFormatContext, input_closer> input(opened);
    AVFormatContext* made = nullptr;
    if (avformat_find_stream_info(input.get(), nullptr) < 0 ||
        avformat_alloc_output_context2(&made, nullptr, nullptr, out.c_str()) < 0)
        return false;
    output_context_ptr output(made);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(output.get(), nullptr);
        if (!stream || avcodec_parameters_copy(stream->codecpar, input->streams[i]->codecpar) < 0)
            return false;
        stream->codecpar->codec_tag = 0;
        stream->time_base = input->streams[i]->time_base;
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        uint8_t* side = av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t));
        if (!side)
            return false;
        std::memcpy(side, matrix, 9 * sizeof(int32_t));
    }
    if (avio_open(&output->pb, out.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(output.get(), nullptr) < 0)
        return false;
    packet_ptr packet(av_packet_alloc());
    while (packet && av_read_frame(input.get(), packet.get()) >= 0) {
        const AVRational from = input->streams[packet->stream_index]->time_base;
        av_packet_rescale_ts(packet.get(), from, output->streams[packet->stream_index]->time_base);
        if (av_interleaved_write_frame(output.get(), packet.get()) < 0)
            return false;
    }
    return av_write_trailer(output.get()) >= 0;
}

// A display matrix of whole turns and mirrors: x' = a x + c y, y' = b x + d y
// for a point (x, y) of the stored picture, x to the right and y down.
// Entries are 16.16 fixed point (the last 2.30).
std::array<int32_t, 9> matrix_of(int a, int b, int c, int d) {
    constexpr int32_t ONE = 1 << 16;
    return {a * ONE, b * ONE, 0, c * ONE, d * ONE, 0, 0, 0, 1 << 30};
}

using UprightStream = ServedClips;

TEST_F(UprightStream, PicturesStoredOnTheirSideAreShownUpright) {
    struct Case {
        const char* name;
        const char* stored;      // the filter that makes the stored picture from the upright one
        const char* rotate_tag;  // written by the ffmpeg tool, or null
        std::optional<std::array<int32_t, 9>> matrix;  // written with libavformat, or none
        const char* rotation;    // what ffprobe says of the stored matrix
        int bar_right;           // where the bar ends in the 480x272 picture
        int bar_bottom;
        const char* sample_aspect;
    };
    // Upright, the 60x20 bar of the 180x320 picture is 160x17 in 480x272,
    // shown at 9:16: a sample aspect of 9/16 x 272/480.
    const Case cases[] = {
        // A phone held upright: the picture is shown turned a quarter clockwise.
        {"quarter_clockwise.mp4", "transpose=cclock", "270", std::nullopt, "-90", 160, 17, "51:160"},
        {"half_turn.mp4", "hflip,vflip", "180", std::nullopt, "-180", 160, 17, "51:160"},
        {"quarter_counterclockwise.mov", "transpose=clock", "90", std::nullopt, "90", 160, 17, "51:160"},
        // Mirrored, as a front camera's picture may be stored: flipped, and
        // flipped across its diagonal.
        {"mirrored.mp4", "hflip", nullptr, matrix_of(-1, 0, 0, 1), "-180", 160, 17, "51:160"},
        {"mirrored_on_its_side.mov", "transpose=cclock_flip", nullptr, matrix_of(0, 1, 1, 0), "-90", 160, 17,
         "51:160"},
        // Stored as shown, a landscape 320x180 whose 20x60 bar is 30x91 in
        // 480x272, shown at 16:9.
        {"landscape.mp4", "transpose=cclock_flip", nullptr, std::nullopt, "", 30, 91, "136:135"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stored = work_.file(std::string("stored-") + c.name);
        ASSERT_TRUE(test_support::make_clip(
            {"-f", "lavfi", "-i", UPRIGHT_PICTURE + "," + c.stored, "-c:v", "libx264", "-pix_fmt", "yuv420p"},
            stored));
        const std::string clip = media_.file(c.name);
        if (c.matrix) {
            ASSERT_TRUE(copy_with_matrix(stored, clip, c.matrix->data()));
        } else {
            // This release writes the tag as a matrix only when it copies the stream.
            std::vector<std::string> copy = {"-i", stored, "-c", "copy"};
            if (c.rotate_tag)
                copy.insert(copy.end(), {"-metadata:s:v", std::string("rotate=") + c.rotate_tag});
            ASSERT_TRUE(test_support::make_clip(copy, clip));
        }
        ASSERT_EQ(probed_rotation(clip), c.rotation) << "the clip carries its display matrix";

        const test_support::ReceivedStream received = stream(c.name);
        ASSERT_GT(received.packets.size(), 10u);
        EXPECT_EQ(test_support::ReadLittleEndian32(received.header, 16), uint32_t(WIDTH));
        EXPECT_EQ(test_support::ReadLittleEndian32(received.header, 20), uint32_t(HEIGHT));
        EXPECT_EQ(received.packets.size(), test_support::PmpHeaderFrameCount(received.header) - 1);
        const Rebuilt files = rebuild(received);

        const std::string picture = tenth_picture(files.pictures);
        ASSERT_EQ(picture.size(), PICTURE_SIZE);
        const BrightBox bar = bright_box(picture);
        EXPECT_LE(bar.left, 4) << "the bar is at the left";
        EXPECT_LE(bar.top, 4) << "the bar is at the top";
        EXPECT_NEAR(bar.right, c.bar_right, 8);
        EXPECT_NEAR(bar.bottom, c.bar_bottom, 8);
        EXPECT_EQ(sample_aspect(files.pictures), c.sample_aspect);

        // Scaled and turned on the transcoder's own thread, the same pictures.
        transcode_options.thread_count = 1;
        const test_support::ReceivedStream in_line = stream(c.name);
        transcode_options.thread_count = 0;
        ASSERT_EQ(in_line.packets.size(), received.packets.size());
        for (size_t i = 0; i < in_line.packets.size(); ++i)
            ASSERT_TRUE(in_line.packets[i].video == received.packets[i].video) << "packet " << i << " differs";
    }
}

}  // namespace
