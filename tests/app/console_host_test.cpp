// The program itself, copied into a temporary folder so that its INI file is
// written there: it starts on the configured port, answers a listing, reports
// a taken port and ends cleanly on SIGTERM.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/paths.h"
#include "platform/tcp.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A port nothing listens on right now.
uint16_t FreePort() {
    platform::ListenResult probe = platform::listen_tcp(0, true);
    return platform::local_port(probe.socket);
}

class ConsoleHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string built = platform::program_folder() + "/../vantrel";
        ASSERT_TRUE(std::filesystem::exists(built)) << "build the vantrel program first: " << built;
        std::filesystem::copy_file(built, program_);
        std::filesystem::create_directories(folder_.file("media"));
        std::ofstream(folder_.file("media/clip.avi")) << "x";
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void WriteIni(uint16_t port) {
        std::ofstream(folder_.file("Vantrel.ini"))
            << "[StreamSettings]\nnmoviepaths=1\nmoviepath_1=" << folder_.file("media") << "\nserverPort=" << port
            << "\nmovieBitrate=700\naudioBitrate=100\nframeRateDivider=1.5\n";
    }

    void Start() {
        setenv("VANTREL_LISTEN_LOOPBACK", "1", 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char* argv[] = {const_cast<char*>(program_.c_str()), nullptr};
        ASSERT_EQ(posix_spawn(&pid_, program_.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        unsetenv("VANTREL_LISTEN_LOOPBACK");
    }

    // Waits (bounded) until the program's stderr holds text.
    bool WaitForLog(const std::string& text) {
        for (int i = 0; i < 400; ++i) {
            if (ReadText(log_).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // Sends SIGTERM and waits (bounded) for the exit status.
    int Terminate() {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        return -2;
    }

    test_support::TempDir folder_{"vantrel-host"};
    std::string program_ = folder_.file("vantrel");
    std::string log_ = folder_.file("stderr.txt");
    pid_t pid_ = 0;
};

TEST_F(ConsoleHostTest, ServesOnTheConfiguredPortAndStopsCleanly) {
    const uint16_t port = FreePort();
    WriteIni(port);
    Start();
    ASSERT_TRUE(WaitForLog("serving on port " + std::to_string(port))) << ReadText(log_);

    const test_support::ListDirReply root = test_support::ListDir(port, "listdir path=&size=4096");
    ASSERT_TRUE(root.well_formed);
    EXPECT_EQ(root.text, "\ndir:/" + folder_.file("media") +
                             "\nconfig:framedivider=1.50&videobitrate=700&audiobitrate=128.pmp\n");
    const test_support::ListDirReply folder =
        test_support::ListDir(port, "listdir path=\\" + folder_.file("media") + "&size=4096&framediv=1.3");
    EXPECT_EQ(folder.lines, (std::vector<std::string>{
                                "dir:/..", "stream:/clip.avi.pmp",
                                "config:framedivider=1.30&videobitrate=700&audiobitrate=128.pmp"}));

    EXPECT_EQ(Terminate(), 0);
    EXPECT_NE(ReadText(log_).find("stopped"), std::string::npos);
    // Validated at the start, and the client's divider revalidated before it was saved.
    const std::string ini = ReadText(folder_.file("Vantrel.ini"));
    EXPECT_NE(ini.find("audioBitrate=128\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("frameRateDivider=1.000000\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("serverPort=" + std::to_string(port) + "\n"), std::string::npos) << ini;
}

TEST_F(ConsoleHostTest, TakenPortIsReportedAndTheProgramRunsOn) {
    platform::ListenResult taken = platform::listen_tcp(0, true);
    ASSERT_EQ(taken.error, platform::ListenError::None);
    WriteIni(platform::local_port(taken.socket));
    Start();
    ASSERT_TRUE(WaitForLog("Could not start server, port already taken?")) << ReadText(log_);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0);  // still running
    EXPECT_EQ(Terminate(), 0);
}

}  // namespace
