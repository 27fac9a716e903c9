// "streampackets": the packet layout, the clock and delay arithmetic, the send
// buffer's worst case, progress, and the replies that need no transcode.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "platform/tcp.h"
#include "resources/no_audio_clip.h"
#include "server/command_handlers.h"
#include "server/stream_packets.h"
#include "transcoder/ffmpeg_ptr.h"

namespace {

using platform::load_le32;

struct clock_pass {
    int frames;
    int64_t first_delay;
};

std::vector<clock_pass> run_clocks(int64_t video_frame, int packets) {
    int64_t video = 0, audio = 0;
    std::vector<clock_pass> passes;
    for (int i = 0; i < packets; ++i) {
        packet_audio_timing t = advance_packet_clocks(video, audio, video_frame, AUDIO_FRAME_DURATION_US);
        passes.push_back({t.frames, t.first_delay});
        EXPECT_EQ(t.last_delay, (audio - video) / 2);
    }
    return passes;
}

TEST(PacketClocks, TwentyFiveFramesASecond) {
    std::vector<clock_pass> passes = run_clocks(40000, 7);
    const int frames[] = {2, 2, 1, 2, 1, 2, 1};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(passes[size_t(i)].frames, frames[i]) << i;
    EXPECT_EQ(passes[0].first_delay, 0) << "both clocks start at 0";
    EXPECT_EQ(passes[1].first_delay, 6122);
    EXPECT_EQ(passes[2].first_delay, 12244);
    EXPECT_EQ(passes[3].first_delay, 5305);
}

TEST(PacketClocks, AudioOnlyStreams) {
    std::vector<clock_pass> passes = run_clocks(83333, 6);
    const int frames[] = {4, 3, 3, 3, 3, 4};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(passes[size_t(i)].frames, frames[i]) << i;
}

TEST(PacketClocks, AVeryLongFrameCarriesAtMostTheFieldsCountAndCatchesUpLater) {
    int64_t video = 0, audio = 0;
    // 10 s frames: 383 MP3 frames each, more than the 8-bit count holds.
    packet_audio_timing first = advance_packet_clocks(video, audio, 10000000, AUDIO_FRAME_DURATION_US);
    EXPECT_EQ(first.frames, MAX_PACKET_AUDIO_FRAMES);
    EXPECT_EQ(audio, int64_t(MAX_PACKET_AUDIO_FRAMES) * AUDIO_FRAME_DURATION_US);
    packet_audio_timing second = advance_packet_clocks(video, audio, 10000000, AUDIO_FRAME_DURATION_US);
    EXPECT_EQ(second.frames, MAX_PACKET_AUDIO_FRAMES);
    // A 0.5 frames-a-second stream (2 s frames) needs 77, more than 20, and gets them all.
    video = audio = 0;
    EXPECT_EQ(advance_packet_clocks(video, audio, 2000000, AUDIO_FRAME_DURATION_US).frames, 77);
}

TEST(PmpPacket, WorkedExample) {
    EXPECT_EQ(pmp_packet_word(2, 1000, 835, 1), 3713u);

    std::vector<uint8_t> video(1000, 0x11), a0(417, 0x22), a1(418, 0x33);
    const uint8_t* audio[] = {a0.data(), a1.data()};
    const uint32_t sizes[] = {417, 418};
    pmp_packet_parts parts;
    parts.timing = {2, -7, 6122};
    parts.key = 1;
    parts.video = video.data();
    parts.video_size = 1000;
    parts.audio = audio;
    parts.audio_sizes = sizes;
    std::vector<uint8_t> buffer(PACKET_SEND_BUFFER_SIZE);
    ASSERT_EQ(build_pmp_packet(parts, buffer.data()), 1860u);
    const uint8_t* b = buffer.data();
    EXPECT_EQ(load_le32(b), 3713u);
    EXPECT_EQ(b[4], 2);
    EXPECT_EQ(int32_t(load_le32(b + 5)), -7);
    EXPECT_EQ(int32_t(load_le32(b + 9)), 6122);
    EXPECT_EQ(load_le32(b + 13), 1000u);
    EXPECT_EQ(load_le32(b + 17), 417u);
    EXPECT_EQ(load_le32(b + 21), 418u);
    EXPECT_EQ(b[25], 0x11);
    EXPECT_EQ(b[25 + 999], 0x11);
    EXPECT_EQ(b[25 + 1000], 0x22);
    EXPECT_EQ(b[25 + 1000 + 417], 0x33);
    EXPECT_EQ(b[1859], 0x33);
    // The word counts exactly the bytes after it.
    EXPECT_EQ(load_le32(b) / 2, 1860u - 4);
}

TEST(PmpPacket, TheLargestPacketFitsTheSendBuffer) {
    std::vector<uint8_t> video(MAX_VIDEO_PAYLOAD, 1), frame(MAX_AUDIO_PAYLOAD, 2);
    std::vector<const uint8_t*> audio(MAX_PACKET_AUDIO_FRAMES, frame.data());
    std::vector<uint32_t> sizes(MAX_PACKET_AUDIO_FRAMES, MAX_AUDIO_PAYLOAD);
    pmp_packet_parts parts;
    parts.timing.frames = MAX_PACKET_AUDIO_FRAMES;
    parts.video = video.data();
    parts.video_size = MAX_VIDEO_PAYLOAD;
    parts.audio = audio.data();
    parts.audio_sizes = sizes.data();
    // Exactly sized, so a sanitizer build sees any write past it.
    std::vector<uint8_t> buffer(PACKET_SEND_BUFFER_SIZE);
    EXPECT_EQ(build_pmp_packet(parts, buffer.data()), PACKET_SEND_BUFFER_SIZE);
}

TEST(PmpPacket, AudioOnlyWithoutTheClipHasAnEmptyKeyFrame) {
    pmp_packet_parts parts;
    parts.timing.frames = 0;
    parts.key = 1;
    std::vector<uint8_t> buffer(PACKET_SEND_BUFFER_SIZE);
    EXPECT_EQ(build_pmp_packet(parts, buffer.data()), PMP_PACKET_FIXED_SIZE);
    EXPECT_EQ(load_le32(buffer.data()), 13u * 2 + 1);
    EXPECT_EQ(load_le32(buffer.data() + 13), 0u);
}

TEST(SendProgress, Formula) {
    EXPECT_EQ(send_progress(1498, 1500), 399);
    EXPECT_EQ(send_progress(0, 1500), 0);
    EXPECT_EQ(send_progress(5, 0), 0);
    EXPECT_EQ(send_progress(2000000, 4000000), 200);
}

TEST(SendLoop, AStreamOfNFramesCarriesNMinusOnePackets) {
    struct Case {
        int frame_count;
        int64_t packets;
    };
    const Case cases[] = {
        {1500, 1499}, {2, 1}, {1, 0}, {0, 0}, {-5, 0},
        {INT32_MIN, 0},  // a count that wrapped: no packet, and no overflow
        {INT32_MAX, int64_t(INT32_MAX) - 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(packets_to_send(c.frame_count), c.packets) << c.frame_count;
}

TEST(NoAudioClip, FramesFitTheirSlotsAndKeyFramesComeEveryTwelve) {
    static const uint8_t visual_object_sequence[] = {0, 0, 1, 0xB0};
    EXPECT_EQ(std::memcmp(no_audio_clip[0] + 4, visual_object_sequence, 4), 0);
    for (int i = 0; i < NO_AUDIO_CLIP_FRAMES; ++i) {
        uint32_t word = load_le32(no_audio_clip[i]);
        EXPECT_GT(word / 2, 0u) << i;
        EXPECT_LE(word / 2, uint32_t(NO_AUDIO_CLIP_MAX_FRAME)) << i;
        EXPECT_EQ(word & 1, i % 12 == 0 ? 1u : 0u) << i;
    }
}

TEST(NoAudioClip, EveryFrameDecodesAsA480x272PictureAndTheClipLoops) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    ASSERT_TRUE(codec);
    codec_context_ptr owned_decoder(avcodec_alloc_context3(codec));
    AVCodecContext* decoder = owned_decoder.get();
    decoder->err_recognition = AV_EF_EXPLODE;  // any damage is an error
    ASSERT_EQ(avcodec_open2(decoder, codec, nullptr), 0);
    packet_ptr owned_packet(av_packet_alloc());
    frame_ptr owned_picture(av_frame_alloc());
    AVPacket* packet = owned_packet.get();
    AVFrame* picture = owned_picture.get();
    int pictures = 0;
    // Packets 0 to 111 of an audio-only stream: the clip, then its start again.
    for (int n = 0; n < NO_AUDIO_CLIP_FRAMES + 12; ++n) {
        const uint8_t* slot = no_audio_clip[n % NO_AUDIO_CLIP_FRAMES];
        std::vector<uint8_t> frame(slot + 4, slot + 4 + load_le32(slot) / 2);
        frame.resize(frame.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        packet->data = frame.data();
        packet->size = int(load_le32(slot) / 2);
        ASSERT_EQ(avcodec_send_packet(decoder, packet), 0) << "frame " << n;
        while (avcodec_receive_frame(decoder, picture) == 0) {
            EXPECT_EQ(picture->width, 480);
            EXPECT_EQ(picture->height, 272);
            ++pictures;
        }
    }
    avcodec_send_packet(decoder, nullptr);
    while (avcodec_receive_frame(decoder, picture) == 0)
        ++pictures;
    EXPECT_EQ(pictures, NO_AUDIO_CLIP_FRAMES + 12);
    EXPECT_EQ(decoder->profile, FF_PROFILE_MPEG4_SIMPLE);
}

// A connected pair of sockets: the handler's end and the client's.
struct socket_pair {
    platform::Socket server, client;
    socket_pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            server = platform::Socket(fds[0]);
            client = platform::Socket(fds[1]);
        }
    }
};

TEST(StreamPackets, DownloadingHandleAnswersFourZeroBytes) {
    socket_pair pair;
    ASSERT_TRUE(pair.server.valid());
    char request[] = "streampackets fd=51&packet=0";
    auto handler = std::async(std::launch::async, [&] { OnStreamPackets(pair.server, request); });
    uint8_t reply[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    size_t got = 0;
    for (int i = 0; i < 8 && got < 4; ++i) {
        long n = platform::receive_some(pair.client, reply + got, 4 - got, 5000);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(load_le32(reply), 0u);
    const uint8_t any[4] = {9, 9, 9, 9};
    platform::send_all(pair.client, any, 4);
    ASSERT_EQ(handler.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(StreamPackets, RequestsThatNameNoStreamGetNoReply) {
    const char* requests[] = {
        "streampackets packet=0",          // no handle
        "streampackets fd=1",              // no packet key
        "streampackets fd=0&packet=0",     // below 1
        "streampackets fd=-4&packet=0",
        "streampackets fd=52&packet=0",    // above 51
        "streampackets fd=3&packet=0",     // a slot without an input
    };
    for (const char* text : requests) {
        SCOPED_TRACE(text);
        socket_pair pair;
        std::vector<char> request(text, text + std::strlen(text) + 1);
        OnStreamPackets(pair.server, request.data());
        pair.server.close();
        uint8_t byte;
        EXPECT_EQ(platform::receive_some(pair.client, &byte, 1, 5000), 0) << "expected no reply";
    }
}

TEST(StreamConnection, AVanishedClientIsToldFromAPausedOne) {
    struct Case {
        const char* what;
        peer_state peer;
        bool vanished;
    };
    const Case cases[] = {
        {"paused a long time, answering every probe", {600000, 0, 0, 0}, false},
        {"silent, keep-alive probes unanswered", {51000, 3, 0, 0}, true},
        {"silent, a packet retransmitted unanswered", {51000, 0, 4, 6}, true},
        {"silent, zero-window probes unanswered", {51000, 2, 0, 0}, true},
        {"data in flight, acknowledged a moment ago", {200, 0, 1, 6}, false},
        {"unanswered, but only for a while", {PEER_SILENCE_LIMIT_MS, 5, 5, 5}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(peer_vanished(c.peer), c.vanished) << c.what;
}

TEST(StreamConnection, KeepAliveProbesAnIdleClientWithinAMinute) {
    auto listener = platform::listen_tcp(0, true);
    ASSERT_TRUE(listener.socket.valid());
    platform::Socket client = platform::connect_loopback(platform::local_port(listener.socket));
    platform::Socket connection = platform::accept_connection(listener.socket);
    ASSERT_TRUE(connection.valid());
    tune_stream_connection(connection);
    auto option = [&](int level, int name) {
        int value = -1;
        socklen_t size = sizeof value;
        getsockopt(connection.fd(), level, name, &value, &size);
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    int idle = option(IPPROTO_TCP, TCP_KEEPIDLE);
    EXPECT_LE(idle + option(IPPROTO_TCP, TCP_KEEPINTVL) * option(IPPROTO_TCP, TCP_KEEPCNT), 70);
    EXPECT_GE(idle, 5);

    // A live connection is never taken for a vanished one, and carries data both ways.
    EXPECT_FALSE(peer_vanished(connection_peer_state(connection)));
    std::vector<uint8_t> packet(300000, 7);
    auto reader = std::async(std::launch::async, [&] {
        std::vector<uint8_t> got(packet.size());
        size_t have = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the client pauses
        while (have < got.size()) {
            long n = platform::receive_some(client, got.data() + have, got.size() - have, 5000);
            if (n <= 0)
                break;
            have += size_t(n);
        }
        uint8_t ack = 1;
        platform::send_all(client, &ack, 1);
        return have;
    });
    EXPECT_TRUE(send_to_client(connection, packet.data(), packet.size()));
    uint8_t ack = 0;
    EXPECT_TRUE(receive_acknowledgement(connection, &ack));
    EXPECT_EQ(reader.get(), packet.size());
    client.close();
    EXPECT_FALSE(receive_acknowledgement(connection, &ack)) << "a closed client sends no byte";
}

}  // namespace
