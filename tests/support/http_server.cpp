#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {

namespace {

constexpr int POLL_STEP_MS = 50;
constexpr int REQUEST_WAIT_MS = 3000;
constexpr size_t MAX_REQUEST_BYTES = 16384;

const char* reason_phrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

bool send_bytes(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// The request head, read until its blank line, a size limit or a time limit.
std::string read_request_head(int fd) {
    std::string head;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(REQUEST_WAIT_MS);
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < MAX_REQUEST_BYTES &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, POLL_STEP_MS) <= 0) continue;
        char buffer[2048];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<size_t>(got));
    }
    return head;
}

// "GET /path HTTP/1.1" -> "/path"; "" for anything else.
std::string requested_path(const std::string& head) {
    if (head.compare(0, 4, "GET ") != 0) return "";
    const size_t end = head.find(' ', 4);
    return end == std::string::npos ? "" : head.substr(4, end - 4);
}

uint32_t crc32_of(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void append_little_endian(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string response_head(const HttpResponse& response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reason_phrase(response.status) +
                       "\r\nContent-Type: " + response.content_type + "\r\n";
    if (response.ending == HttpResponse::Ending::CutChunked) {
        head += "Transfer-Encoding: chunked\r\n";
    } else if (response.ending != HttpResponse::Ending::CutWithoutLength) {
        head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    }
    if (!response.content_encoding.empty()) head += "Content-Encoding: " + response.content_encoding + "\r\n";
    if (!response.location.empty()) head += "Location: " + response.location + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

// What goes out after the head: half the body for the cut endings (as one
// chunk, without the last one, for the chunked cut).
std::string sent_body(const HttpResponse& response) {
    switch (response.ending) {
    case HttpResponse::Ending::CutHalfway:
    case HttpResponse::Ending::CutWithoutLength:
        return response.body.substr(0, response.body.size() / 2);
    case HttpResponse::Ending::CutChunked: {
        const std::string half = response.body.substr(0, response.body.size() / 2);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", half.size());
        return size + half + "\r\n";
    }
    default:
        return response.body;
    }
}

}  // namespace

std::string GzipStored(const std::string& bytes) {
    constexpr size_t MAX_STORED_BLOCK = 65535;
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    size_t offset = 0;
    do {
        const size_t length = std::min(MAX_STORED_BLOCK, bytes.size() - offset);
        const bool last = offset + length == bytes.size();
        out += static_cast<char>(last ? 1 : 0);
        append_little_endian(out, static_cast<uint32_t>(length), 2);
        append_little_endian(out, static_cast<uint32_t>(~length & 0xFFFF), 2);
        out.append(bytes, offset, length);
        offset += length;
    } while (offset < bytes.size());
    append_little_endian(out, crc32_of(bytes), 4);
    append_little_endian(out, static_cast<uint32_t>(bytes.size()), 4);
    return out;
}

HttpServer::HttpServer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd_ < 0) throw std::runtime_error("http test server: no socket");
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 16) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listen_fd_);
        throw std::runtime_error("http test server: cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

HttpServer::~HttpServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    released_changed_.notify_all();
    thread_.join();
    ::close(listen_fd_);
}

std::string HttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::Serve(const std::string& path, HttpResponse response) {
    std::lock_guard<std::mutex> lock(mutex_);
    responses_[path] = std::move(response);
}

void HttpServer::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
    }
    released_changed_.notify_all();
}

int HttpServer::RequestCount(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = request_counts_.find(path);
    return found == request_counts_.end() ? 0 : found->second;
}

int HttpServer::TotalRequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& [path, count] : request_counts_) total += count;
    return total;
}

// Polls the listener in short steps so that the destructor's stop is seen.
void HttpServer::Run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, POLL_STEP_MS) <= 0) continue;
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        ServeConnection(fd);
        ::close(fd);
    }
}

bool HttpServer::WaitForRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    return released_changed_.wait_for(lock, std::chrono::milliseconds(RELEASE_WAIT_MS),
                                      [this] { return released_ || stopping_; }) &&
           !stopping_;
}

// Until the client closes its end, the server stops, or the limit passes.
// A byte at a time, until the body is sent, the client goes or the server stops.
void HttpServer::Trickle(int fd, const std::string& body) {
    for (char byte : body) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        if (!send_bytes(fd, &byte, 1)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(TRICKLE_STEP_MS));
    }
}

void HttpServer::StaySilent(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SILENT_WAIT_MS);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, POLL_STEP_MS) <= 0) continue;
        char buffer[512];
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
    }
}

void HttpServer::ServeConnection(int fd) {
    const std::string path = requested_path(read_request_head(fd));
    HttpResponse response;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++request_counts_[path];
        const auto found = responses_.find(path);
        if (found != responses_.end()) {
            response = found->second;
        } else {
            response.status = 404;
            response.body = "no such file";
        }
    }
    if (response.ending == HttpResponse::Ending::Silent) {
        StaySilent(fd);
        return;
    }
    const std::string head = response_head(response);
    if (!send_bytes(fd, head.data(), head.size())) return;
    if (response.held && !WaitForRelease()) return;
    if (response.ending == HttpResponse::Ending::Trickle) {
        Trickle(fd, response.body);
        return;
    }
    const std::string body = sent_body(response);
    send_bytes(fd, body.data(), body.size());
}

}  // namespace test_support
