#pragma once
// A client of the stream protocol for tests: one request per connection to
// 127.0.0.1, replies read until the server closes (or a time limit passes).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/tcp.h"

namespace test_support {

constexpr int DEFAULT_REPLY_TIMEOUT_MS = 15000;

// One open connection to the server.
class ProtocolConnection {
public:
    explicit ProtocolConnection(uint16_t port);

    bool connected() const { return socket_.valid(); }
    bool send(const std::string& bytes);
    // Exactly size bytes, or nullopt when the server closed first or the time ran out.
    std::optional<std::string> receive_exact(size_t size, int timeout_ms = DEFAULT_REPLY_TIMEOUT_MS);
    // Everything until the server closes. closed() says whether it did in time.
    std::string receive_all(int timeout_ms = DEFAULT_REPLY_TIMEOUT_MS);
    bool closed() const { return closed_; }
    void close() { socket_.close(); }
    // Half-closes: the server sees the end of the request.
    void finish_sending();

private:
    platform::Socket socket_;
    bool closed_ = false;
};

// What one request got back.
struct RawReply {
    bool connected = false;
    bool closed = false;  // the server closed the connection within the time limit
    std::string bytes;
};

// Sends request (the bytes as they are) and reads the whole reply.
RawReply SendRequest(uint16_t port, const std::string& request, int timeout_ms = DEFAULT_REPLY_TIMEOUT_MS);

uint32_t ReadLittleEndian32(const std::string& bytes, size_t offset);

// "listdir": the announced length N and the text after it.
struct ListDirReply {
    bool well_formed = false;  // 4-byte length present, exactly N bytes followed, then close
    uint32_t length = 0;
    std::string text;
    std::vector<std::string> lines;  // text split at "\n", without the "\n"
};

ListDirReply ParseListDirReply(const RawReply& raw);
ListDirReply ListDir(uint16_t port, const std::string& request);
// "listdir path=<path>&size=<size><tail>"
std::string ListDirRequest(const std::string& path, int size, const std::string& tail = "");

// "streamopen": the 4-byte handle, nullopt when the server closed without one.
std::optional<int32_t> StreamOpen(uint16_t port, const std::string& request);

// "stream2header": the whole reply (56 bytes when there is a header).
RawReply Stream2Header(uint16_t port, int fd);

// One PMP packet of "streampackets".
struct PmpPacket {
    uint32_t size_word = 0;  // bytes after the word x 2 + key-frame bit
    bool key_frame = false;
    int audio_frame_count = 0;
    int32_t first_delay = 0;
    int32_t last_delay = 0;
    std::string video;
    std::vector<std::string> audio_frames;
};

// Reads one packet (nullopt when the stream ended or was malformed) and
// acknowledges it with one byte when acknowledge is set.
std::optional<PmpPacket> ReadPmpPacket(ProtocolConnection& connection, bool acknowledge = true,
                                       int timeout_ms = DEFAULT_REPLY_TIMEOUT_MS);

}  // namespace test_support
