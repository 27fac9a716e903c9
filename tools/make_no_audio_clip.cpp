// Makes resources/no_audio_clip.cpp: the clip sent as the picture of
// audio-only streams. 100 frames of MPEG-4 Part 2 Simple Profile at 480x272,
// 12 frames a second, a key frame every 12 frames with the stream headers in
// front of each, every frame in a 20000-byte slot (word L x 2 + K, then the frame).
//
// Usage: make_no_audio_clip <output .cpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transcoder/ffmpeg_ptr.h"

namespace {

constexpr int WIDTH = 480;
constexpr int HEIGHT = 272;
constexpr int FRAMES = 100;
constexpr int RATE = 12;
constexpr int SLOT_SIZE = 20000;
constexpr int MAX_FRAME = SLOT_SIZE - 4;
constexpr int GLYPH_W = 5, GLYPH_H = 7, SCALE = 7;

struct glyph {
    char letter;
    const char* rows[GLYPH_H];
};

const glyph FONT[] = {
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'I', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "#####"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
};

const glyph* find_glyph(char letter) {
    for (const glyph& g : FONT)
        if (g.letter == letter)
            return &g;
    return nullptr;  // a blank
}

void fill_rect(AVFrame* frame, int x0, int y0, int w, int h, uint8_t y, uint8_t u, uint8_t v) {
    for (int row = y0; row < y0 + h; ++row)
        std::memset(frame->data[0] + row * frame->linesize[0] + x0, y, size_t(w));
    for (int row = y0 / 2; row < (y0 + h) / 2; ++row) {
        std::memset(frame->data[1] + row * frame->linesize[1] + x0 / 2, u, size_t(w / 2));
        std::memset(frame->data[2] + row * frame->linesize[2] + x0 / 2, v, size_t(w / 2));
    }
}

void draw_text(AVFrame* frame, const char* text, int top) {
    int columns = int(std::strlen(text)) * (GLYPH_W + 1) - 1;
    int left = (WIDTH - columns * SCALE) / 2 / 2 * 2;
    for (int i = 0; text[i]; ++i) {
        const glyph* g = find_glyph(text[i]);
        for (int r = 0; g && r < GLYPH_H; ++r)
            for (int c = 0; c < GLYPH_W; ++c)
                if (g->rows[r][c] == '#')
                    fill_rect(frame, left + (i * (GLYPH_W + 1) + c) * SCALE, top + r * SCALE, SCALE + 1,
                              SCALE + 1, 235, 128, 128);
    }
}

// The text on a dark blue ground, with a small block that walks along below it
// so the viewer sees the stream is alive.
void draw_picture(AVFrame* frame, int index) {
    fill_rect(frame, 0, 0, WIDTH, HEIGHT, 40, 160, 110);
    draw_text(frame, "AUDIO ONLY", 96);
    int x = 48 + index * (WIDTH - 96 - 16) / (FRAMES - 1) / 2 * 2;
    fill_rect(frame, x, 190, 16, 8, 180, 128, 128);
}

codec_context_ptr open_encoder() {
    const AVCodec* codec = avcodec_find_encoder_by_name("mpeg4");
    codec_context_ptr c(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!c)
        return nullptr;
    c->width = WIDTH;
    c->height = HEIGHT;
    c->time_base = AVRational{1, RATE};
    c->framerate = AVRational{RATE, 1};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->gop_size = RATE;
    c->max_b_frames = 0;
    c->profile = FF_PROFILE_MPEG4_SIMPLE;
    c->level = 5;
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_BITEXACT;
    c->global_quality = FF_QP2LAMBDA * 4;
    if (avcodec_open2(c.get(), codec, nullptr) < 0)
        return nullptr;
    return c;
}

bool take_packets(AVCodecContext* c, AVPacket* packet, std::vector<std::vector<uint8_t>>& slots) {
    while (avcodec_receive_packet(c, packet) >= 0) {
        if (packet->size > MAX_FRAME) {
            std::fprintf(stderr, "make_no_audio_clip: frame %zu is %d bytes\n", slots.size(), packet->size);
            return false;
        }
        uint32_t word = uint32_t(packet->size) * 2 + ((packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0);
        std::vector<uint8_t> slot(4);
        for (int i = 0; i < 4; ++i)
            slot[size_t(i)] = uint8_t(word >> (8 * i));
        slot.insert(slot.end(), packet->data, packet->data + packet->size);
        slots.push_back(std::move(slot));
        av_packet_unref(packet);
    }
    return true;
}

bool encode_clip(std::vector<std::vector<uint8_t>>& slots) {
    auto c = open_encoder();
    frame_ptr frame(av_frame_alloc());
    packet_ptr packet(av_packet_alloc());
    if (!c || !frame || !packet)
        return false;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = WIDTH;
    frame->height = HEIGHT;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return false;
    for (int i = 0; i < FRAMES; ++i) {
        if (av_frame_make_writable(frame.get()) < 0)
            return false;
        draw_picture(frame.get(), i);
        frame->pts = i;
        frame->pict_type = i % RATE == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(c.get(), frame.get()) < 0 || !take_packets(c.get(), packet.get(), slots))
            return false;
    }
    avcodec_send_frame(c.get(), nullptr);
    return take_packets(c.get(), packet.get(), slots) && slots.size() == FRAMES;
}

bool check_clip(const std::vector<std::vector<uint8_t>>& slots) {
    static const uint8_t VISUAL_OBJECT_SEQUENCE[] = {0, 0, 1, 0xB0};
    if (std::memcmp(slots[0].data() + 4, VISUAL_OBJECT_SEQUENCE, 4) != 0) {
        std::fprintf(stderr, "make_no_audio_clip: frame 0 lacks the stream headers\n");
        return false;
    }
    for (int i = 0; i < FRAMES; ++i) {
        bool key = slots[size_t(i)][0] & 1;
        if (key != (i % RATE == 0)) {
            std::fprintf(stderr, "make_no_audio_clip: frame %d has the wrong key bit\n", i);
            return false;
        }
    }
    return true;
}

bool write_source(const char* path, const std::vector<std::vector<uint8_t>>& slots) {
    FILE* out = std::fopen(path, "w");
    if (!out)
        return false;
    std::fprintf(out,
                 "// Generated by tools/make_no_audio_clip.cpp; do not edit.\n"
                 "#include \"resources/no_audio_clip.h\"\n\n"
                 "const uint8_t no_audio_clip[NO_AUDIO_CLIP_FRAMES][NO_AUDIO_CLIP_SLOT_SIZE] = {\n");
    for (const auto& slot : slots) {
        std::fprintf(out, "{");
        for (size_t i = 0; i < slot.size(); ++i)
            std::fprintf(out, "%s%u,", i % 24 == 0 ? "\n" : "", slot[i]);
        std::fprintf(out, "},\n");
    }
    std::fprintf(out, "};\n");
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_no_audio_clip <output .cpp>\n");
        return 2;
    }
    std::vector<std::vector<uint8_t>> slots;
    if (!encode_clip(slots) || !check_clip(slots) || !write_source(argv[1], slots)) {
        std::fprintf(stderr, "make_no_audio_clip: failed\n");
        return 1;
    }
    return 0;
}
