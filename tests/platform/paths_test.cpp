#include "platform/paths.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

TEST(Paths, ProgramFolderHoldsThisTestProgram) {
    const std::string folder = program_folder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(join_path(folder, "test_platform")));
}

// A program whose file is replaced while it runs (an installation over a running
// copy) still knows its own name and folder. The test runs a copy of itself that
// removes its own file and reports what it sees.
TEST(Paths, ProgramNameAndFolderSurviveTheFileBeingReplaced) {
    constexpr const char* REPORT = "PATHS_TEST_REPORT";
    if (const char* report = std::getenv(REPORT)) {
        std::filesystem::remove(std::filesystem::read_symlink("/proc/self/exe"));
        test_support::write_text(report, program_file_name() + "\n" + program_folder() + "\n");
        std::_Exit(0);
    }
    EXPECT_EQ(program_file_name(), "test_platform");
    const test_support::TempDir temp("paths");
    const std::string folder = std::filesystem::canonical(temp.path()).string() + "/pro gram";
    std::filesystem::create_directories(folder);
    const std::string copy = folder + "/tarnwick";
    std::filesystem::copy_file(std::filesystem::read_symlink("/proc/self/exe"), copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    const std::string report = temp.file("report");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv(REPORT, report.c_str(), 1);
        ::execl(copy.c_str(), copy.c_str(), "--gtest_filter=Paths.ProgramNameAndFolderSurviveTheFileBeingReplaced",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_EQ(test_support::read_text(report), "tarnwick\n" + folder + "\n");
}

TEST(Paths, JoinPutsExactlyOneSlashBetween) {
    struct Case {
        const char* folder;
        const char* name;
        const char* joined;
    };
    const Case cases[] = {
        {"/home/u", "Vantrel.ini", "/home/u/Vantrel.ini"},
        {"/home/u/", "MOVIES", "/home/u/MOVIES"},
        {"/home/u", "/MOVIES", "/home/u/MOVIES"},
        {"/home/u/", "/MOVIES", "/home/u/MOVIES"},
        {"/", "x", "/x"},
        {"", "x", "/x"},
        {"a", "", "a/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(join_path(c.folder, c.name), c.joined) << c.folder << " + " << c.name;
    }
}

namespace {

class ScopedHome {
public:
    explicit ScopedHome(const char* value) {
        if (const char* old = std::getenv("HOME")) old_ = old;
        if (value) {
            setenv("HOME", value, 1);
        } else {
            unsetenv("HOME");
        }
    }
    ~ScopedHome() {
        if (old_) {
            setenv("HOME", old_->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }

private:
    std::optional<std::string> old_;
};

}  // namespace

TEST(Paths, HomeFolderFromHomeOrRoot) {
    {
        ScopedHome home("/home/someone");
        EXPECT_EQ(home_folder(), "/home/someone");
    }
    {
        ScopedHome home(nullptr);
        EXPECT_EQ(home_folder(), "/");
    }
}
