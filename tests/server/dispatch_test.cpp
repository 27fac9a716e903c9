// The server thread over real sockets: one request per connection, one
// connection at a time, "-1" for a request without a command word.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "server/server_thread.h"
#include "stream/stream_state.h"
#include "tests/support/protocol_client.h"
#include "tests/support/test_server.h"

namespace {

using test_support::ProtocolConnection;
using test_support::SendRequest;

// Which handler answered, told by the shape of its reply.
enum class Answer { Listing, MinusOne, OpenRefused, Header, DownloadPackets, Nothing, Other };

Answer Classify(const test_support::RawReply& reply) {
    if (reply.bytes == "-1") return Answer::MinusOne;
    if (reply.bytes.empty()) return Answer::Nothing;
    if (reply.bytes == std::string(4, '\xff')) return Answer::OpenRefused;       // "streamopen": no ".pmp"
    if (reply.bytes == std::string(4, '\0')) return Answer::DownloadPackets;     // "streampackets" fd=51
    if (reply.bytes.size() == 56 && reply.bytes.compare(0, 4, "pmpm") == 0) return Answer::Header;
    const test_support::ListDirReply listing = test_support::ParseListDirReply(reply);
    return listing.well_formed ? Answer::Listing : Answer::Other;
}

// Sends the request and half-closes, so a handler that waits for the
// client's acknowledgement sees the end and finishes.
test_support::RawReply SendAndFinish(uint16_t port, const std::string& request) {
    test_support::RawReply reply;
    ProtocolConnection connection(port);
    reply.connected = connection.connected();
    connection.send(request);
    connection.finish_sending();
    reply.bytes = connection.receive_all();
    reply.closed = connection.closed();
    return reply;
}

class DispatchTest : public ::testing::Test {
protected:
    void TearDown() override { SetRequestReadTimeout(REQUEST_READ_TIMEOUT_MS); }
    test_support::TestServer server;
};

TEST_F(DispatchTest, RequestsReachTheirHandlers) {
    struct Case {
        std::string request;
        Answer answer;
    };
    const std::vector<Case> cases = {
        {"listdir path=&size=100", Answer::Listing},
        {"please listdir now", Answer::Listing},
        {"streamopen filename=x", Answer::OpenRefused},
        {"stream2header fd=51", Answer::Header},
        {"streampackets fd=51&packet=0", Answer::DownloadPackets},
        // The first word of the table wins wherever it stands, also inside a value.
        {"streamopen filename=my_listdir_clip.avi.pmp", Answer::Listing},
        {"streampackets fd=51&packet=0 stream2header", Answer::Header},
        {"streampackets fd=51&packet=0&filename=x streamopen", Answer::OpenRefused},
        {"stream2headerfd=51", Answer::Header},
        // Capital letters are not the words.
        {"LISTDIR path=&size=100", Answer::MinusOne},
        {"Stream2Header fd=51", Answer::MinusOne},
        {"hello", Answer::MinusOne},
        {"", Answer::MinusOne},
        // A zero byte ends the searched text.
        {std::string("xx\0listdir path=&size=100", 25), Answer::MinusOne},
        {std::string("stream2header\0 listdir fd=51", 29), Answer::Nothing},
        // Handlers that find none of their keys send nothing.
        {"streamopen", Answer::Nothing},
        {"stream2header", Answer::Nothing},
        {"streampackets fd=51", Answer::Nothing},
    };
    for (const Case& c : cases) {
        const test_support::RawReply reply = SendAndFinish(server.port(), c.request);
        EXPECT_TRUE(reply.closed) << c.request;
        EXPECT_EQ(Classify(reply), c.answer) << c.request;
    }
}

TEST_F(DispatchTest, ClientThatClosesAtOnceStillGetsMinusOne) {
    ProtocolConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    connection.finish_sending();
    EXPECT_EQ(connection.receive_all(), "-1");
    EXPECT_TRUE(connection.closed());
}

TEST_F(DispatchTest, OverLongRequestIsCutAt2047Bytes) {
    // The word ends exactly at byte 2047: seen. One byte further: cut off.
    const std::string seen = std::string(2047 - 7, ' ') + "listdir" + std::string(500, 'x');
    const std::string cut = std::string(2048 - 7, ' ') + "listdir" + std::string(500, 'x');
    EXPECT_EQ(Classify(SendRequest(server.port(), seen)), Answer::Listing);
    EXPECT_EQ(Classify(SendRequest(server.port(), cut)), Answer::MinusOne);
}

TEST_F(DispatchTest, SilentClientIsDroppedAfterTheReadLimit) {
    SetRequestReadTimeout(200);
    ProtocolConnection silent(server.port());
    ASSERT_TRUE(silent.connected());
    EXPECT_EQ(silent.receive_all(5000), "");
    EXPECT_TRUE(silent.closed());
    // The server serves the next client.
    EXPECT_EQ(Classify(SendRequest(server.port(), "ping")), Answer::MinusOne);
}

TEST_F(DispatchTest, SecondClientWaitsWhileTheFirstIsServed) {
    ProtocolConnection first(server.port());
    ASSERT_TRUE(first.connected());
    // The server is now held in the first client's read.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ProtocolConnection second(server.port());
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(second.send("listdir path=&size=100"));
    EXPECT_FALSE(second.receive_exact(1, 300).has_value());
    EXPECT_FALSE(second.closed());

    ASSERT_TRUE(first.send("nothing"));
    EXPECT_EQ(first.receive_all(), "-1");
    const std::string reply = second.receive_all();
    EXPECT_GT(reply.size(), 4u);
    EXPECT_TRUE(second.closed());
}

TEST(ServerStartTest, PortAlreadyTakenShowsOneBoxAndTheRestRunsOn) {
    platform::ListenResult taken = platform::listen_tcp(0, true);
    ASSERT_EQ(taken.error, platform::ListenError::None);
    const int port = platform::local_port(taken.socket);

    std::vector<std::pair<std::string, std::string>> boxes;
    std::mutex boxes_lock;
    platform::MessageBoxPresenter previous =
        platform::SetMessageBoxPresenter([&](const std::string& text, const std::string& caption) {
            std::lock_guard<std::mutex> guard(boxes_lock);
            boxes.emplace_back(text, caption);
        });
    test_support::TempDir folder("vantrel-taken");
    CVantrelDlg record(folder.path());
    record.m_nServerPort = port;
    SetServerLoopbackOnly(true);
    StartStreamServer(&record);
    EXPECT_EQ(WaitForServerPort(5000), 0);
    {
        std::lock_guard<std::mutex> guard(boxes_lock);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].first, "Could not start server, port already taken?");
    }
    // The stream state stands all the same, and the record works on.
    EXPECT_TRUE(transcode_stop_event.valid());
    EXPECT_TRUE(StopRunningTranscode(true));
    record.SaveSettings();
    StopStreamServer();
    CloseStreamEvents();
    g_pMainDlg = nullptr;
    platform::SetMessageBoxPresenter(previous);
}

TEST(ServerStartTest, StopEndsAServerHeldByASilentClient) {
    // Were the stop to wait for the client, it would take the whole read limit.
    SetRequestReadTimeout(120000);
    {
        test_support::TestServer server;
        ProtocolConnection silent(server.port());
        ASSERT_TRUE(silent.connected());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = std::chrono::steady_clock::now();
        StopStreamServer();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
        EXPECT_EQ(silent.receive_all(5000), "");
        EXPECT_TRUE(silent.closed());
        EXPECT_FALSE(ProtocolConnection(server.port()).connected());
    }
    SetRequestReadTimeout(REQUEST_READ_TIMEOUT_MS);
}

}  // namespace
