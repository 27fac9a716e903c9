// The vantrel program itself as a child process with no display: it serves a
// stream end to end while its progress bars move, Esc in the middle of the
// stream ends it with exit code 0, and a taken port is reported on stderr
// while the program runs on until SIGTERM ends it as the close box does.

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp.h"
#include "tests/app/child_program.h"
#include "tests/support/files.h"
#include "tests/support/http_server.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

// A port nothing listens on right now.
uint16_t FreePort() {
    platform::ListenResult probe = platform::listen_tcp(0, true);
    return platform::local_port(probe.socket);
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(VANTREL_PROGRAM, program_);
        std::filesystem::create_directories(folder_.file("media"));
    }

    void WriteIni(uint16_t port, const std::string& moreKeys = "") {
        test_support::write_text(folder_.file("Vantrel.ini"),
                                 "[StreamSettings]\nnmoviepaths=1\nmoviepath_1=" + folder_.file("media") +
                                     "\nserverPort=" + std::to_string(port) +
                                     "\nmovieBitrate=400\naudioBitrate=96\nframeRateDivider=1.0\n" + moreKeys);
    }

    void Start() {
        gui_test::ChildProgram::Options options;
        options.argv = {program_};
        options.environment = {"QT_QPA_PLATFORM=offscreen", "VANTREL_LISTEN_LOOPBACK=1", "VANTREL_TEST_CONSOLE=1"};
        options.errorLog = log_;
        options.console = true;
        ASSERT_TRUE(child_.Start(options)) << child_.Error();
    }

    // Bounded: the listener stands once a connection is taken.
    bool WaitForListener(uint16_t port) {
        for (int i = 0; i < 200; ++i) {
            if (test_support::ProtocolConnection(port).connected()) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    bool WaitForLog(const std::string& text) {
        for (int i = 0; i < 200; ++i) {
            if (test_support::read_text(log_).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // Sends one test-console line and reads one line of its answer.
    std::string Ask(const std::string& command) { return child_.Ask(command); }

    void Tell(const std::string& command) { ASSERT_TRUE(child_.Tell(command)); }

    // The exit code once the program ended within about timeout; -1 when killed
    // by a signal, -2 when it still ran.
    int WaitForExit(std::chrono::milliseconds timeout) { return child_.WaitForExit(timeout); }

    // "bars PSP PC" as two numbers.
    std::pair<int, int> Bars() {
        int psp = -1, pc = -1;
        std::sscanf(Ask("bars").c_str(), "bars %d %d", &psp, &pc);
        return {psp, pc};
    }

    test_support::TempDir folder_{"vantrel-program"};
    std::string program_ = folder_.file("vantrel");
    std::string log_ = folder_.file("stderr.txt");
    gui_test::ChildProgram child_;
};

TEST_F(ProgramTest, ServesAStreamWhileItsBarsMoveAndEscEndsItMidStream) {
    std::filesystem::copy_file(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi),
                               folder_.file("media/movie.avi"));
    const uint16_t port = FreePort();
    WriteIni(port);
    Start();
    ASSERT_TRUE(WaitForListener(port)) << test_support::read_text(log_);
    EXPECT_EQ(Bars(), std::make_pair(0, 0));

    const test_support::ListDirReply listing =
        test_support::ListDir(port, test_support::ListDirRequest(folder_.file("media"), 65536));
    ASSERT_TRUE(listing.well_formed);
    const std::optional<int32_t> handle = test_support::StreamOpen(port, "streamopen filename=movie.avi.pmp");
    ASSERT_TRUE(handle && *handle >= 1 && *handle <= 50);
    const test_support::RawReply header = test_support::Stream2Header(port, *handle);
    ASSERT_EQ(header.bytes.size(), 56u);
    // Bars read from the window at two points of the stream, then a picture,
    // then Esc while packets still come.
    std::pair<int, int> seen[2] = {{-1, -1}, {-1, -1}};
    bool grabbed = false;
    const char* shots = std::getenv("VANTREL_SCREENSHOTS");
    const std::string dir = shots ? shots : "screenshots";
    std::filesystem::create_directories(dir);
    const test_support::ReceivedStream received = test_support::ReceiveStream(
        port, *handle, header.bytes, 2000, [&](size_t packets) {
            if (packets != 40 && packets != 80) return;
            const int round = packets == 40 ? 0 : 1;
            // The bars show the progress once the posted update reached the window.
            for (int tries = 0; tries < 100; ++tries) {
                seen[round] = Bars();
                if (seen[round].first > (round ? seen[0].first : 0)) break;
                std::this_thread::sleep_for(20ms);
            }
            if (round == 1) {
                grabbed = Ask("grab " + dir + "/main_dialog_streaming.png") == "grabbed";
                Tell("key Escape");
            }
        });
    EXPECT_GE(received.packets.size(), 80u);
    EXPECT_LT(received.packets.size(), 250u);  // the clip has 250 frames: it ended mid-stream
    EXPECT_GT(seen[0].first, 0);
    EXPECT_GT(seen[0].second, 0);
    EXPECT_GT(seen[1].first, seen[0].first);
    EXPECT_GE(seen[1].second, seen[0].second);
    EXPECT_LT(seen[1].first, 400);
    EXPECT_TRUE(grabbed);
    EXPECT_EQ(WaitForExit(10s), 0) << test_support::read_text(log_);
}

TEST_F(ProgramTest, TakenPortIsReportedAndSigtermEndsTheProgram) {
    platform::ListenResult taken = platform::listen_tcp(0, true);
    ASSERT_EQ(taken.error, platform::ListenError::None);
    WriteIni(platform::local_port(taken.socket));
    Start();
    ASSERT_TRUE(WaitForLog("Vantrel: Could not start server, port already taken?\n"))
        << test_support::read_text(log_);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(WaitForExit(0ms), -2);  // runs on with the box open
    kill(child_.Pid(), SIGTERM);
    EXPECT_EQ(WaitForExit(10s), 0);
    // Validated at the start and saved.
    EXPECT_NE(test_support::read_text(folder_.file("Vantrel.ini")).find("audioBitrate=96\n"), std::string::npos);
}

TEST_F(ProgramTest, SigintEndsTheProgramFromTheTray) {
    WriteIni(FreePort());
    setenv("STARTUP_SHOW_WINDOW", "7", 1);
    Start();
    unsetenv("STARTUP_SHOW_WINDOW");
    ASSERT_EQ(Ask("bars"), "bars 0 0");  // the window is up
    kill(child_.Pid(), SIGINT);
    EXPECT_EQ(WaitForExit(10s), 0);
}

// A stop signal while the stored feeds are still being fetched, before the
// window is up: the fetch breaks off and the program ends, keeping the feeds.
TEST_F(ProgramTest, SigtermWhileTheStoredFeedsAreFetchedEndsTheProgram) {
    test_support::HttpServer http;
    test_support::HttpResponse held;
    held.body = "<rss><channel><title>Slow</title></channel></rss>";
    held.held = true;
    std::string feeds = "nrssfeeds=3\n";
    for (int i = 1; i <= 3; ++i) {
        const std::string path = "/slow" + std::to_string(i);
        http.Serve(path, held);
        feeds += "rssfeed_" + std::to_string(i) + "=" + http.Url(path) + "\n";
    }
    WriteIni(FreePort(), feeds);
    Start();
    bool fetching = false;
    for (int i = 0; i < 200 && !fetching; ++i) {
        fetching = http.RequestCount("/slow1") == 1;
        if (!fetching) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(fetching);
    kill(child_.Pid(), SIGTERM);
    // Each held answer would hold the start-up for seconds of its own.
    EXPECT_EQ(WaitForExit(std::chrono::milliseconds(test_support::HttpServer::RELEASE_WAIT_MS / 2)), 0)
        << test_support::read_text(log_);
    http.Release();
    const std::string ini = test_support::read_text(folder_.file("Vantrel.ini"));
    EXPECT_NE(ini.find(feeds), std::string::npos) << ini;
}

}  // namespace

// Two clients send listings with settings as fast as they can; SIGTERM in the
// middle of it ends the program at once, and the settings file is whole and
// holds the clients' change.
TEST_F(ProgramTest, SigtermUnderAListingFloodEndsTheProgramWithTheSettingsWhole) {
    constexpr int CLIENTS = 2;
    constexpr int MAX_REQUESTS_PER_CLIENT = 15000;
    constexpr auto FLOOD_BEFORE_SIGTERM = 3s;
    const uint16_t port = FreePort();
    WriteIni(port);
    Start();
    ASSERT_TRUE(WaitForListener(port)) << test_support::read_text(log_);

    std::atomic<bool> ended{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    const std::string request =
        test_support::ListDirRequest(folder_.file("media"), 4096, "&framediv=1.5&vbitrate=450&abitrate=64");
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < MAX_REQUESTS_PER_CLIENT && !ended; ++i) {
                if (test_support::ListDir(port, request).well_formed) ++answered;
            }
        });
    }
    const auto floodEnd = std::chrono::steady_clock::now() + FLOOD_BEFORE_SIGTERM;
    while (std::chrono::steady_clock::now() < floodEnd && answered < CLIENTS * MAX_REQUESTS_PER_CLIENT / 2) {
        std::this_thread::sleep_for(50ms);
    }
    kill(child_.Pid(), SIGTERM);
    const int exitCode = WaitForExit(10s);
    ended = true;
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(exitCode, 0) << "after " << answered << " listings";
    EXPECT_GT(answered, 1000);

    const std::map<std::string, std::string> expected = {
        {"nmoviepaths", "1"},
        {"moviepath_1", folder_.file("media")},
        {"movieBitrate", "450"},
        {"audioBitrate", "64"},
        {"frameRateDivider", "1.500000"},
        {"serverPort", std::to_string(port)},
        {"extensionList", "AVI,M4V,VOB,MP4,MPG,MPEG,MP3,WMA,WAV,WMV,ASF,MOV"},
        {"nrssfeeds", "0"},
        {"ninfinitestreams", "0"},
        {"shownoaudiomovie", "0"},
    };
    std::istringstream ini(test_support::read_text(folder_.file("Vantrel.ini")));
    std::string line;
    ASSERT_TRUE(std::getline(ini, line));
    EXPECT_EQ(line, "[StreamSettings]");
    std::map<std::string, std::string> saved;
    while (std::getline(ini, line)) {
        const size_t equals = line.find('=');
        EXPECT_NE(equals, std::string::npos) << line;
        if (equals != std::string::npos) saved[line.substr(0, equals)] = line.substr(equals + 1);
    }
    EXPECT_EQ(saved, expected);
}
