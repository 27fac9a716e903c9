#include "platform/tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void Socket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void Socket::shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

namespace {

sockaddr_in make_address(uint32_t host, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons(port);
    return address;
}

Socket new_tcp_socket() {
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

}  // namespace

ListenResult listen_tcp(uint16_t port, bool loopback_only, int backlog) {
    ListenResult result;
    Socket socket = new_tcp_socket();
    if (!socket.valid()) {
        result.error = ListenError::Socket;
        return result;
    }
    // A restarted server must be able to bind at once, with old connections
    // of the previous run still in TIME_WAIT.
    set_int_option(socket, SOL_SOCKET, SO_REUSEADDR, 1);
    const sockaddr_in address = make_address(loopback_only ? INADDR_LOOPBACK : INADDR_ANY, port);
    if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        result.error = ListenError::Bind;
        return result;
    }
    if (::listen(socket.fd(), backlog) != 0) {
        result.error = ListenError::Listen;
        return result;
    }
    result.socket = std::move(socket);
    return result;
}

uint16_t local_port(const Socket& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

namespace {

// The listener itself cannot be used: closed, shut down by a stop, not a listener.
bool listener_unusable(int error) {
    return error == EBADF || error == EINVAL || error == ENOTSOCK || error == EFAULT;
}

// An error of the connection being taken, not of the listener (Linux passes a
// new connection's network errors through accept): take the next one at once.
bool connection_failed(int error) {
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EPERM:
        return true;
    default:
        return false;
    }
}

}  // namespace

Socket accept_connection(const Socket& listener) {
    bool reported = false;
    for (;;) {
        const int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            if (reported) std::fprintf(stderr, "vantrel: accepting connections again\n");
            return Socket(fd);
        }
        const int error = errno;
        if (listener_unusable(error)) return Socket();
        if (connection_failed(error)) continue;
        // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM): the
        // connection waits in the backlog until the process has room for it.
        if (!reported) {
            std::fprintf(stderr, "vantrel: cannot accept a connection (%s); trying again\n",
                         std::strerror(error));
            reported = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_PAUSE_MS));
    }
}

Socket connect_loopback(uint16_t port) {
    Socket socket = new_tcp_socket();
    if (!socket.valid()) return socket;
    const sockaddr_in address = make_address(INADDR_LOOPBACK, port);
    for (;;) {
        if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return socket;
        }
        if (errno != EINTR) return Socket();
    }
}

namespace {

// True when the socket has data (or an end) to read within timeout_ms.
bool wait_readable(const Socket& socket, int timeout_ms) {
    pollfd entry{socket.fd(), POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeout_ms);
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

}  // namespace

long receive_some(const Socket& socket, void* buffer, size_t max, int timeout_ms) {
    if (!socket.valid()) return -1;
    if (timeout_ms >= 0 && !wait_readable(socket, timeout_ms)) return -1;
    for (;;) {
        const ssize_t got = ::recv(socket.fd(), buffer, max, 0);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -1;
    }
}

bool send_all(const Socket& socket, const void* data, size_t size) {
    if (!socket.valid()) return false;
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(socket.fd(), next, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        next += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool set_int_option(const Socket& socket, int level, int name, int value) {
    return ::setsockopt(socket.fd(), level, name, &value, sizeof value) == 0;
}

}  // namespace platform
