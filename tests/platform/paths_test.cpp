#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

using namespace platform;

TEST(Paths, ProgramFolderHoldsThisTestProgram) {
    const std::string folder = program_folder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(join_path(folder, "test_platform")));
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
