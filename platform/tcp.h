#pragma once
// TCP helpers over POSIX sockets for the stream server.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace platform {

// Owns one socket descriptor; closes it on destruction.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close();
    // shutdown(SHUT_RDWR); the descriptor stays open until close().
    void shutdown();

private:
    int fd_ = -1;
};

enum class ListenError { None, Socket, Bind, Listen };

struct ListenResult {
    Socket socket;
    ListenError error = ListenError::None;
};

// A TCP listener on all interfaces (or loopback only) with SO_REUSEADDR.
// port 0 picks a free port; see local_port().
ListenResult listen_tcp(uint16_t port, bool loopback_only = false, int backlog = 128);
uint16_t local_port(const Socket& socket);

// Blocks until a connection arrives; an invalid socket once the listener is
// unusable (closed, or shut down by a stop). A process short of descriptors
// or memory tries again every ACCEPT_RETRY_PAUSE_MS, so the listener never
// ends on it; the shortage is reported on stderr.
Socket accept_connection(const Socket& listener);
constexpr int ACCEPT_RETRY_PAUSE_MS = 100;

// Connects to 127.0.0.1:port (test clients, tools).
Socket connect_loopback(uint16_t port);

// One recv of at most max bytes. timeout_ms < 0 waits without limit.
// Returns the byte count, 0 when the peer closed, -1 on error or time-out.
long receive_some(const Socket& socket, void* buffer, size_t max, int timeout_ms = -1);

// Sends every byte with MSG_NOSIGNAL; false when the peer is gone or the send fails.
bool send_all(const Socket& socket, const void* data, size_t size);

// Socket options used by the server.
bool set_int_option(const Socket& socket, int level, int name, int value);

}  // namespace platform
