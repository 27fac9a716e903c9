#include "platform/batch_runner.h"
#include "platform/process.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

using namespace platform;
using test_support::read_text;
using test_support::TempDir;
using test_support::write_text;

namespace {

using Arguments = std::vector<std::string>;

TEST(SplitCommandLineTest, FollowsTheWindowsQuotingRules) {
    struct Case {
        const char* line;
        Arguments expected;
    } const cases[] = {
        {"files\\usbhostfs \"/cygdrive/d/PSP\"", {"files\\usbhostfs", "/cygdrive/d/PSP"}},
        {"  files\\tskill   vantrel  ", {"files\\tskill", "vantrel"}},
        {"\"C:\\Program Files\\x.exe\" a", {"C:\\Program Files\\x.exe", "a"}},
        {"\"C:\\dir\\\" a", {"C:\\dir\\", "a"}},   // the program name keeps its backslashes
        {"p \"my psp\"", {"p", "my psp"}},
        {"p a\"b c\"d", {"p", "ab cd"}},
        {"p a\\\\b", {"p", "a\\\\b"}},             // backslashes not before a quote stay
        {"p a\\\"b", {"p", "a\"b"}},               // 2n+1 backslashes: n and a quote
        {"p \"a\\\\\" b", {"p", "a\\", "b"}},      // 2n backslashes: n, then the quote closes
        {"p \"a\"\"b\"", {"p", "a\"b"}},           // "" inside quotes
        {"p \"\"", {"p", ""}},
        {"p\ta", {"p", "a"}},
        {"", {}},
        {"   ", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(split_command_line(c.line), c.expected) << c.line;
}

// Whatever an argument holds, quoted it splits back whole.
TEST(QuoteArgumentTest, SplitsBackToTheSameArgument) {
    const char* const arguments[] = {
        "plain", "two words", "", "a\"b", "ends in\\", "ends in\\\\", "a\\\"b", "\\\\server\\share",
        "/home/u/back\\slash ", " lead", "\"", "\\", "tab\there",
    };
    for (const char* argument : arguments) {
        EXPECT_EQ(split_command_line("p " + quote_argument(argument)), (Arguments{"p", argument})) << argument;
    }
    EXPECT_EQ(quote_argument("/a/b"), "\"/a/b\"");
}

class ProgramFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(folder_.file("files/Sub"));
        for (const char* name : {"files/usbhostfs", "files/SocketTest", "files/tool.exe", "files/Both", "files/Both.exe",
                                 "files/nethostfs.bat", "files/Sub/inner"})
            write_executable(folder_.file(name), "exit 0\n");
        std::filesystem::create_directories(folder_.file("files/folder.exe"));
    }
    void write_executable(const std::string& path, const std::string& body) const {
        write_text(path, "#!/bin/sh\n" + body);
        ::chmod(path.c_str(), 0755);
    }
    TempDir folder_{"programs"};
};

TEST_F(ProgramFolderTest, FindsProgramsWithoutCaseAndWithExeOptional) {
    struct Case {
        const char* name;
        const char* found;  // "" for none
    } const cases[] = {
        {"files\\usbhostfs", "files/usbhostfs"},
        {"files\\usbhostfs.exe", "files/usbhostfs"},
        {"files\\USBHOSTFS.EXE", "files/usbhostfs"},
        {"files\\sockettest.exe", "files/SocketTest"},
        {"files/tool", "files/tool.exe"},
        {"files/Both.exe", "files/Both.exe"},          // the exact name first
        {"files/both", "files/Both"},
        {"files\\NetHostFS.BAT", "files/nethostfs.bat"},
        {"files\\sub\\inner", ""},                     // only the last part ignores case
        {"files\\folder", ""},                         // folders are no programs
        {"files\\missing", ""},
        {"files\\", ""},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> found = find_program(c.name, folder_.path());
        if (*c.found) {
            ASSERT_TRUE(found) << c.name;
            EXPECT_EQ(*found, folder_.file(c.found)) << c.name;
        } else {
            EXPECT_FALSE(found) << c.name << " found " << found.value_or("");
        }
    }
    EXPECT_EQ(find_program(folder_.file("files/USBHOSTFS"), "/nowhere"), folder_.file("files/usbhostfs"));
}

// A program that logs its arguments, folder and window style once "go" exists.
class StartTest : public ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        write_executable(folder_.file("files/logger"),
                         "i=0; while [ ! -e '" + go() + "' ] && [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); done\n"
                         "line=\"${STARTUP_SHOW_WINDOW-unset}|$(pwd -P)|\"\n"
                         "for a in \"$@\"; do line=\"$line[$a]\"; done\n"
                         "printf '%s\\n' \"$line\" >> '" + log() + "'\n");
    }
    std::string go() const { return folder_.file("go"); }
    std::string log() const { return folder_.file("log"); }
    // The log once it has the lines (bounded wait).
    std::string wait_for_lines(size_t lines) const {
        for (int i = 0; i < 2000; ++i) {
            const std::string text = read_text(log());
            if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return text;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return read_text(log());
    }
};

TEST_F(StartTest, StartsDetachedWithTheWindowStyleAndReturnsAtOnce) {
    const std::string base = std::filesystem::canonical(folder_.path()).string();
    const StartResult result = start_command_line("files\\LOGGER.exe \"my psp\" a\\\"b", SW_SHOWMINIMIZED, base);
    ASSERT_TRUE(result.started) << result.description;
    // Started and not waited for: it is still waiting for "go", and it is nobody's child here.
    EXPECT_FALSE(std::filesystem::exists(log()));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    write_text(go(), "");
    EXPECT_EQ(wait_for_lines(1), "2|" + std::filesystem::current_path().string() + "|[my psp][a\"b]\n");
}

TEST_F(StartTest, AProgramThatCannotStartIsAFailureWithADescription) {
    write_text(folder_.file("files/plain"), "not executable");
    write_executable(folder_.file("files/badinterpreter"), "");
    write_text(folder_.file("files/badinterpreter"), "#!/nonexistent/shell\n");
    struct Case {
        const char* line;
        const char* description;
    } const cases[] = {
        {"files\\missing.exe a", "File not found: files/missing.exe"},
        {"files\\plain", "Permission denied: "},
        {"files\\badinterpreter", "No such file or directory: "},
        {"", "Invalid procedure call or argument"},
        {"\"\" x", "Invalid procedure call or argument"},
    };
    for (const Case& c : cases) {
        const StartResult result = start_command_line(c.line, SW_HIDE, folder_.path());
        EXPECT_FALSE(result.started) << c.line;
        EXPECT_EQ(result.description.substr(0, std::string(c.description).size()), c.description) << c.line;
    }
}

TEST(BatchParseTest, DriveLinesDoNothingCdSetsTheFolderOtherLinesRun) {
    const std::vector<BatchLine> lines = parse_batch("D:\r\n/:\r\ncd \"D:\\PSP\"\r\nCD /home/u\r\n\r\n\"/opt/t/files/nethostfs.exe\" -x\r\n");
    ASSERT_EQ(lines.size(), 6u);
    const BatchLine::Kind kinds[] = {BatchLine::Kind::Nothing, BatchLine::Kind::Nothing, BatchLine::Kind::ChangeFolder,
                                     BatchLine::Kind::ChangeFolder, BatchLine::Kind::Nothing, BatchLine::Kind::Run};
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].kind, kinds[i]) << i;
    EXPECT_EQ(lines[2].text, "D:/PSP");
    // A path of this system is the folder's own name, backslashes and all.
    EXPECT_EQ(parse_batch("cd \"/home/u/back\\slash \"\r\n")[0].text, "/home/u/back\\slash ");
    EXPECT_EQ(lines[3].text, "/home/u");
    EXPECT_EQ(lines[5].text, "\"/opt/t/files/nethostfs.exe\" -x");
}

TEST_F(StartTest, ABatchFileStartsItsProgramInTheFolderItChangedTo) {
    const std::string shared = std::filesystem::canonical(folder_.path()).string() + "/my psp";
    std::filesystem::create_directories(shared + "/sub");
    write_text(folder_.file("run.bat"), "/:\r\ncd \"" + shared + "\"\r\ncd sub\r\n\"" + folder_.file("files/logger.exe") +
                                            "\" one \"t w o\"\r\n");
    write_text(go(), "");
    const StartResult result = start_command_line("RUN.BAT \"ignored\"", SW_HIDE, folder_.path());
    ASSERT_TRUE(result.started) << result.description;
    EXPECT_EQ(wait_for_lines(1), "0|" + shared + "/sub|[one][t w o]\n");
}

TEST_F(StartTest, ABatchFileStopsAtAFolderItCannotEnter) {
    write_text(folder_.file("run.bat"), "cd \"" + folder_.file("gone") + "\"\r\n\"" + folder_.file("files/logger") + "\"\r\n");
    write_text(go(), "");
    const StartResult result = run_batch_file(folder_.file("run.bat"), SW_HIDE, folder_.path());
    EXPECT_FALSE(result.started);
    EXPECT_EQ(result.description, "Path not found: " + folder_.file("gone"));
    write_text(folder_.file("run.bat"), "\"" + folder_.file("files/none") + "\"\r\n");
    EXPECT_EQ(run_batch_file(folder_.file("run.bat"), SW_HIDE, folder_.path()).description,
              "File not found: " + folder_.file("files/none"));
}

}  // namespace
