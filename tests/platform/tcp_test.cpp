#include "platform/tcp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace platform;

namespace {

struct Connected {
    Socket listener;
    Socket client;
    Socket server;
};

Connected connect_pair() {
    Connected pair;
    ListenResult listening = listen_tcp(0, true);
    EXPECT_EQ(listening.error, ListenError::None);
    pair.listener = std::move(listening.socket);
    pair.client = connect_loopback(local_port(pair.listener));
    pair.server = accept_connection(pair.listener);
    EXPECT_TRUE(pair.client.valid());
    EXPECT_TRUE(pair.server.valid());
    return pair;
}

std::string receive_exactly(const Socket& socket, size_t size) {
    std::string got;
    std::vector<char> buffer(65536);
    while (got.size() < size) {
        const long n = receive_some(socket, buffer.data(), buffer.size(), 10000);
        if (n <= 0) break;
        got.append(buffer.data(), static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

TEST(Tcp, SocketOwnsItsDescriptor) {
    Socket a = std::move(listen_tcp(0, true).socket);
    ASSERT_TRUE(a.valid());
    const int fd = a.fd();
    Socket b = std::move(a);
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.fd(), fd);
    b = Socket();
    EXPECT_FALSE(b.valid());
}

TEST(Tcp, ListenerRebindsAtOnceAfterAConnectionClosed) {
    uint16_t port = 0;
    {
        Connected pair = connect_pair();
        port = local_port(pair.listener);
        ASSERT_NE(port, 0);
        // The server side closes first, leaving its end in TIME_WAIT.
        pair.server.close();
    }
    ListenResult again = listen_tcp(port, true);
    EXPECT_EQ(again.error, ListenError::None);
}

TEST(Tcp, PortInUseIsABindError) {
    ListenResult first = listen_tcp(0, true);
    ASSERT_EQ(first.error, ListenError::None);
    ListenResult second = listen_tcp(local_port(first.socket), true);
    EXPECT_EQ(second.error, ListenError::Bind);
    EXPECT_FALSE(second.socket.valid());
}

TEST(Tcp, SendAllDeliversALargeBufferWhole) {
    Connected pair = connect_pair();
    std::string data(4 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
    std::string received;
    std::thread reader([&] { received = receive_exactly(pair.client, data.size()); });
    EXPECT_TRUE(send_all(pair.server, data.data(), data.size()));
    reader.join();
    EXPECT_TRUE(received == data);
}

TEST(Tcp, ReceiveTimesOutAndSeesThePeerClose) {
    Connected pair = connect_pair();
    char byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive_some(pair.server, &byte, 1, 50), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    pair.client.close();
    EXPECT_EQ(receive_some(pair.server, &byte, 1, 5000), 0);
}

TEST(Tcp, SendToAVanishedPeerFailsWithoutSigpipe) {
    Connected pair = connect_pair();
    pair.client.close();
    const std::string chunk(65536, 'x');
    bool failed = false;
    // The first sends may still be accepted; a reset follows soon.
    for (int i = 0; i < 200 && !failed; ++i) failed = !send_all(pair.server, chunk.data(), chunk.size());
    EXPECT_TRUE(failed);
}

TEST(Tcp, ShutdownWakesABlockedReceiveAndAccept) {
    Connected pair = connect_pair();
    long got = 1;
    std::thread reader([&] {
        char byte;
        got = receive_some(pair.server, &byte, 1);
    });
    Socket accepted(-2);
    std::thread acceptor([&] { accepted = accept_connection(pair.listener); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pair.server.shutdown();
    pair.listener.shutdown();
    reader.join();
    acceptor.join();
    EXPECT_EQ(got, 0);
    EXPECT_FALSE(accepted.valid());
    EXPECT_TRUE(pair.server.valid());  // still open until close()
}

TEST(Tcp, DeadSocketsFailQuietly) {
    Socket none;
    char byte;
    EXPECT_EQ(receive_some(none, &byte, 1, 10), -1);
    EXPECT_FALSE(send_all(none, "x", 1));
    uint16_t closed_port = 0;
    {
        ListenResult gone = listen_tcp(0, true);
        closed_port = local_port(gone.socket);
    }
    EXPECT_FALSE(connect_loopback(closed_port).valid());
}
