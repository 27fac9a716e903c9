// tskill against real processes with names of their own.

#include "tests/launcher/support/stand_ins.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr auto END_LIMIT = std::chrono::seconds(10);

// Copies of sleep that run until killed (our children, reaped by the test).
class Sleeper {
public:
    Sleeper(const std::string& program, uid_t as_user = ::getuid()) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (as_user != ::getuid() && ::setuid(as_user) != 0) ::_exit(126);
            ::execl(program.c_str(), program.c_str(), "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Sleeper() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    // True when the process ended within the limit.
    bool ended() {
        const auto deadline = std::chrono::steady_clock::now() + END_LIMIT;
        while (!reaped_ && std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
            else std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return reaped_;
    }
    bool running() { return !reaped_ && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Waits until the kernel shows a process under the name (its executable's file
// name or, for a script, its own name), so tskill can see it.
void wait_until_started(const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + END_LIMIT;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            std::error_code unreadable;
            const auto target = std::filesystem::read_symlink(entry.path() / "exe", unreadable);
            std::string comm;
            std::ifstream(entry.path() / "comm") >> comm;
            if ((!unreadable && target.filename() == name) || comm == name) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Runs tskill with one argument and returns its wait status.
int run_tskill(const std::string& program, const std::string& argument) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

class TskillTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::chmod(folder_.path().c_str(), 0755);
        // Unique per test process, so parallel runs never meet.
        base_ = "tk" + std::to_string(::getpid() % 1000000);
    }
    std::string copy_of_sleep(const std::string& name) {
        const std::string path = folder_.file(name);
        std::filesystem::copy_file("/bin/sleep", path);
        ::chmod(path.c_str(), 0755);
        return path;
    }

    test_support::TempDir folder_{"tskill"};
    std::string base_;
};

TEST_F(TskillTest, EndsEveryWholeNameMatchWithoutCaseOrExeAndLeavesTheRest) {
    Sleeper lower(copy_of_sleep(base_ + "a"));
    Sleeper upper(copy_of_sleep(base_ + "A"));
    Sleeper with_exe(copy_of_sleep(base_ + "a.exe"));
    Sleeper longer(copy_of_sleep(base_ + "a-helper"));
    Sleeper prefix(copy_of_sleep(base_));
    Sleeper other(copy_of_sleep(base_ + "b"));
    for (const char* suffix : {"a", "A", "a.exe", "a-helper", "", "b"}) wait_until_started(base_ + suffix);

    const int status = run_tskill(TSKILL_PROGRAM, base_ + "A.EXE");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(lower.ended());
    EXPECT_TRUE(upper.ended());
    EXPECT_TRUE(with_exe.ended());
    EXPECT_TRUE(longer.running()) << "not a whole-name match";
    EXPECT_TRUE(prefix.running());
    EXPECT_TRUE(other.running());
}

TEST_F(TskillTest, AScriptIsKnownByItsOwnName) {
    const std::string fifo = folder_.file("never");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string script = folder_.file(base_ + "s");
    launcher_test::write_script(script, "read line < '" + fifo + "'\n");
    Sleeper waiting(script);
    wait_until_started(base_ + "s");
    const int status = run_tskill(TSKILL_PROGRAM, base_ + "S");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(waiting.ended());
}

TEST_F(TskillTest, NeverEndsItselfAndSaysWhenNothingMatched) {
    const std::string own = folder_.file(base_ + "k");
    std::filesystem::copy_file(TSKILL_PROGRAM, own);
    int status = run_tskill(own, base_ + "k");
    ASSERT_TRUE(WIFEXITED(status)) << "tskill ended itself";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    status = run_tskill(TSKILL_PROGRAM, "");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST_F(TskillTest, NeverEndsAnotherUsersProcess) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
    const uid_t nobody = 65534;
    // Another user must reach the program, whatever the build folder's parents allow.
    char open_folder[] = "/tmp/tskill-other-XXXXXX";
    ASSERT_NE(::mkdtemp(open_folder), nullptr);
    ::chmod(open_folder, 0755);
    const std::string theirs_program = std::string(open_folder) + "/" + base_ + "n";
    std::filesystem::copy_file("/bin/sleep", theirs_program);
    ::chmod(theirs_program.c_str(), 0755);
    {
        Sleeper theirs(theirs_program, nobody);
        Sleeper ours(copy_of_sleep(base_ + "N"));
        wait_until_started(base_ + "n");
        wait_until_started(base_ + "N");
        ASSERT_TRUE(theirs.running()) << "the other user's process did not start";
        const int status = run_tskill(TSKILL_PROGRAM, base_ + "n");
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_TRUE(ours.ended());
        EXPECT_TRUE(theirs.running());
    }
    std::filesystem::remove_all(open_folder);
}

}  // namespace
