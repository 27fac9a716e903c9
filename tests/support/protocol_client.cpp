#include "tests/support/protocol_client.h"

#include "platform/byte_order.h"

#include <sys/socket.h>

#include <chrono>
#include <cstring>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int32_t ReadLittleEndianSigned32(const std::string& bytes, size_t offset) {
    return static_cast<int32_t>(ReadLittleEndian32(bytes, offset));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace

ProtocolConnection::ProtocolConnection(uint16_t port) : socket_(platform::connect_loopback(port)) {}

bool ProtocolConnection::send(const std::string& bytes) {
    return platform::send_all(socket_, bytes.data(), bytes.size());
}

void ProtocolConnection::finish_sending() {
    ::shutdown(socket_.fd(), SHUT_WR);
}

std::optional<std::string> ProtocolConnection::receive_exact(size_t size, int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string bytes(size, '\0');
    size_t got = 0;
    while (got < size) {
        const long n = platform::receive_some(socket_, &bytes[got], size - got, RemainingMs(deadline));
        if (n <= 0) {
            closed_ = n == 0;
            return std::nullopt;
        }
        got += static_cast<size_t>(n);
    }
    return bytes;
}

std::string ProtocolConnection::receive_all(int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string bytes;
    char block[65536];
    for (;;) {
        const long n = platform::receive_some(socket_, block, sizeof block, RemainingMs(deadline));
        if (n == 0) {
            closed_ = true;
            return bytes;
        }
        // A reset after the server closed with unread request bytes is a close too.
        if (n < 0) {
            closed_ = RemainingMs(deadline) > 0;
            return bytes;
        }
        bytes.append(block, static_cast<size_t>(n));
    }
}

RawReply SendRequest(uint16_t port, const std::string& request, int timeout_ms) {
    RawReply reply;
    ProtocolConnection connection(port);
    reply.connected = connection.connected();
    if (!reply.connected) return reply;
    connection.send(request);
    reply.bytes = connection.receive_all(timeout_ms);
    reply.closed = connection.closed();
    return reply;
}

uint32_t ReadLittleEndian32(const std::string& bytes, size_t offset) {
    return platform::load_le32(reinterpret_cast<const uint8_t*>(bytes.data() + offset));
}

ListDirReply ParseListDirReply(const RawReply& raw) {
    ListDirReply reply;
    if (!raw.closed || raw.bytes.size() < 4) return reply;
    reply.length = ReadLittleEndian32(raw.bytes, 0);
    reply.text = raw.bytes.substr(4);
    reply.well_formed = reply.text.size() == reply.length;
    reply.lines = SplitLines(reply.text);
    return reply;
}

ListDirReply ListDir(uint16_t port, const std::string& request) {
    return ParseListDirReply(SendRequest(port, request));
}

std::string ListDirRequest(const std::string& path, int size, const std::string& tail) {
    return "listdir path=" + path + "&size=" + std::to_string(size) + tail;
}

std::optional<int32_t> StreamOpen(uint16_t port, const std::string& request) {
    const RawReply reply = SendRequest(port, request, 90000);
    if (reply.bytes.size() != 4) return std::nullopt;
    return ReadLittleEndianSigned32(reply.bytes, 0);
}

RawReply Stream2Header(uint16_t port, int fd) {
    return SendRequest(port, "stream2header fd=" + std::to_string(fd));
}

std::optional<PmpPacket> ReadPmpPacket(ProtocolConnection& connection, bool acknowledge, int timeout_ms) {
    const std::optional<std::string> head = connection.receive_exact(17, timeout_ms);
    if (!head) return std::nullopt;
    PmpPacket packet;
    packet.size_word = ReadLittleEndian32(*head, 0);
    packet.key_frame = (packet.size_word & 1) != 0;
    packet.audio_frame_count = static_cast<uint8_t>((*head)[4]);
    packet.first_delay = ReadLittleEndianSigned32(*head, 5);
    packet.last_delay = ReadLittleEndianSigned32(*head, 9);
    const uint32_t video_size = ReadLittleEndian32(*head, 13);
    const std::optional<std::string> sizes =
        connection.receive_exact(4 * static_cast<size_t>(packet.audio_frame_count), timeout_ms);
    if (!sizes) return std::nullopt;
    const std::optional<std::string> video = connection.receive_exact(video_size, timeout_ms);
    if (!video) return std::nullopt;
    packet.video = *video;
    for (int i = 0; i < packet.audio_frame_count; ++i) {
        const std::optional<std::string> frame =
            connection.receive_exact(ReadLittleEndian32(*sizes, 4 * static_cast<size_t>(i)), timeout_ms);
        if (!frame) return std::nullopt;
        packet.audio_frames.push_back(*frame);
    }
    if (acknowledge) connection.send(std::string(1, '\x01'));
    return packet;
}

}  // namespace test_support
