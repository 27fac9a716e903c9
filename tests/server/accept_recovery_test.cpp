// The server's listener outlives a process that runs out of file descriptors:
// a connection that arrives meanwhile waits in the backlog and is served once
// descriptors are free again, and the port keeps answering. Run in a child
// process, whose descriptor limit is lowered and used up.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/tcp.h"
#include "tests/support/protocol_client.h"
#include "tests/support/test_server.h"

namespace {

constexpr int REPORT_WAIT_MS = 10000;
constexpr int DESCRIPTORS_TAKEN = 64;
constexpr const char* SHORTAGE_REPORT = "cannot accept a connection";

// The child's stderr goes into a pipe, so it can see what the server reports.
class CapturedStderr {
public:
    CapturedStderr() : saved_(::dup(STDERR_FILENO)) {
        if (::pipe(pipe_) == 0)
            ::dup2(pipe_[1], STDERR_FILENO);
    }
    ~CapturedStderr() {
        ::dup2(saved_, STDERR_FILENO);
        std::fputs(text_.c_str(), stderr);  // for the parent, which matches on it
    }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    // Reads what came until it holds text, for at most timeout_ms.
    bool wait_for(const std::string& text, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (text_.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd entry{pipe_[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, int(left.count())) <= 0)
                return false;
            char bytes[512];
            const ssize_t got = ::read(pipe_[0], bytes, sizeof bytes);
            if (got <= 0)
                return false;
            text_.append(bytes, size_t(got));
        }
        return true;
    }

    // Tells the parent why the child failed.
    int fail(const std::string& why) {
        text_ += "child: " + why + "\n";
        return 1;
    }

private:
    int saved_;
    int pipe_[2] = {-1, -1};
    std::string text_;
};

// Takes every descriptor below a limit a little above what is open now, so
// that once the limit is lowered to it the process can open nothing more,
// while what was opened after it (the server's listener and the connection
// the listener holds a number for) lies above it and stays usable.
class LowDescriptorsTaken {
public:
    LowDescriptorsTaken() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowest_free = ::dup(STDIN_FILENO);
        ::close(lowest_free);
        limit_ = lowest_free + DESCRIPTORS_TAKEN;
        for (int i = 0; i < limit_; ++i) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            held_.push_back(fd);
            if (fd >= limit_ - 1)
                break;
        }
    }
    ~LowDescriptorsTaken() {
        restore_limit();
        for (int fd : held_)
            ::close(fd);
    }
    LowDescriptorsTaken(const LowDescriptorsTaken&) = delete;
    LowDescriptorsTaken& operator=(const LowDescriptorsTaken&) = delete;

    // True when no descriptor is left then.
    bool lower_limit() {
        rlimit lowered = saved_;
        lowered.rlim_cur = rlim_t(limit_);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        return ::dup(STDIN_FILENO) < 0 && errno == EMFILE;
    }
    void restore_limit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
    int limit_ = 0;
    std::vector<int> held_;
};

bool connect_to(const platform::Socket& socket, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::string reply_of(const platform::Socket& socket) {
    std::string reply;
    char bytes[16];
    long got;
    while ((got = platform::receive_some(socket, bytes, sizeof bytes, REPORT_WAIT_MS)) > 0)
        reply.append(bytes, size_t(got));
    return reply;
}

platform::Socket new_client_socket() {
    return platform::Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

// The child's run; 0 when the server got through. A listener that already
// waits holds the number for its next connection, so one of the two clients
// may be served at once; its close frees a number above the limit, and the
// next accept finds none.
int run_out_of_descriptors_and_recover() {
    CapturedStderr captured;
    LowDescriptorsTaken taken;
    test_support::TestServer server;
    platform::Socket clients[] = {new_client_socket(), new_client_socket()};
    if (!taken.lower_limit())
        return captured.fail("descriptors not used up");
    for (const platform::Socket& client : clients) {
        if (!connect_to(client, server.port()) || !platform::send_all(client, "hello", 5))
            return captured.fail("no connection to the server");
    }
    if (!captured.wait_for(SHORTAGE_REPORT, REPORT_WAIT_MS))
        return captured.fail("the shortage was never reported");
    taken.restore_limit();
    for (const platform::Socket& client : clients) {
        if (reply_of(client) != "-1")
            return captured.fail("a connection made in the shortage was not served");
    }
    test_support::RawReply next = test_support::SendRequest(server.port(), "hello", REPORT_WAIT_MS);
    if (next.bytes != "-1")
        return captured.fail("the port stopped answering");
    return 0;
}

TEST(AcceptRecovery, RunningOutOfDescriptorsDelaysRequestsAndTheServerGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(run_out_of_descriptors_and_recover()), ::testing::ExitedWithCode(0),
                "cannot accept a connection \\(Too many open files\\)");
}

}  // namespace
