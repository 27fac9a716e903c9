#include "platform/profile.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace platform;
using test_support::read_text;
using test_support::TempDir;
using test_support::write_text;

namespace {

std::string read_key(const std::string& file, const char* section, const char* key, int size = 255,
                     const char* default_value = "") {
    std::string value;
    const int length = GetPrivateProfileString(section, key, default_value, value, size, file);
    EXPECT_EQ(length, static_cast<int>(value.size()));
    return value;
}

const std::string LONG_VALUE = [] {
    std::string value;
    for (int i = 0; i < 300; ++i) value.push_back(static_cast<char>('a' + i % 26));
    return value;
}();

std::string sample_file(const std::string& eol) {
    const std::string lines[] = {
        "; settings of the streaming server",
        "stray=before any section",
        "[Settings]",
        "MediaFolder=/home/u/media",
        "  Spaced Key  =   padded value  ",
        "Double=\"quoted value\"",
        "Single='single'",
        "Unbalanced=\"half",
        "Empty=",
        "Long=" + LONG_VALUE,
        "Twice=first",
        "Twice=second",
        "; Commented=yes",
        "",
        "[empty]",
        "[Other]",
        "MediaFolder=other",
    };
    std::string text;
    for (const std::string& line : lines) text += line + eol;
    return text;
}

}  // namespace

class ProfileRead : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override { write_text(file, sample_file(GetParam())); }
    TempDir dir;
    std::string file = dir.file("Vantrel.ini");
};

TEST_P(ProfileRead, ValuesFollowTheProfileRules) {
    struct Case {
        const char* section;
        const char* key;
        std::string expected;
    };
    const Case cases[] = {
        {"Settings", "MediaFolder", "/home/u/media"},
        {"settings", "MEDIAFOLDER", "/home/u/media"},  // names ignore case
        {"Other", "MediaFolder", "other"},             // keys belong to their section
        {"Settings", "Spaced Key", "padded value"},
        {"Settings", "Double", "quoted value"},
        {"Settings", "Single", "single"},
        {"Settings", "Unbalanced", "\"half"},
        {"Settings", "Empty", ""},
        {"Settings", "Long", LONG_VALUE.substr(0, 254)},
        {"Settings", "Twice", "first"},
        {"Settings", "Commented", ""},
        {"Settings", "stray", ""},
        {"Settings", "Missing", ""},
        {"Missing", "MediaFolder", ""},
        {"empty", "MediaFolder", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read_key(file, c.section, c.key), c.expected) << c.section << "/" << c.key;
    }
}

TEST_P(ProfileRead, DefaultOnlyForAMissingKeyAndCutToo) {
    EXPECT_EQ(read_key(file, "Settings", "Missing", 255, "fallback"), "fallback");
    EXPECT_EQ(read_key(file, "Settings", "Missing", 4, "fallback"), "fal");
    EXPECT_EQ(read_key(file, "Settings", "Empty", 255, "fallback"), "");
    EXPECT_EQ(read_key(file, "Settings", "MediaFolder", 6), "/home");
    EXPECT_EQ(read_key(file, "Settings", "MediaFolder", 1), "");
}

TEST_P(ProfileRead, KeyAndSectionNameLists) {
    using namespace std::string_literals;
    EXPECT_EQ(read_key(file, "Other", nullptr), "MediaFolder\0"s);
    EXPECT_EQ(read_key(file, "empty", nullptr), "");
    EXPECT_EQ(read_key(file, "Missing", nullptr), "");
    EXPECT_EQ(read_key(file, nullptr, nullptr), "Settings\0empty\0Other\0"s);
    // A list that does not fit is cut, and still counts.
    const std::string cut = read_key(file, "Settings", nullptr, 20);
    EXPECT_EQ(cut, "MediaFolder\0Spaced"s);
}

INSTANTIATE_TEST_SUITE_P(LineEnds, ProfileRead, testing::Values("\n", "\r\n"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "\n" ? "LF" : "CRLF";
                         });

TEST(ProfileRead, MissingOrUnnamedFileReadsEmpty) {
    TempDir dir;
    EXPECT_EQ(read_key(dir.file("none.ini"), "Settings", "Key", 255, ""), "");
    EXPECT_EQ(read_key(dir.file("none.ini"), "Settings", nullptr), "");
    EXPECT_EQ(read_key("", "Settings", "Key"), "");
    EXPECT_EQ(read_key(dir.path(), "Settings", "Key"), "");  // a folder, not a file
}

TEST(ProfileWrite, CreatesFileAndSection) {
    TempDir dir;
    const std::string file = dir.file("new.ini");
    ASSERT_NE(WritePrivateProfileString("Settings", "Port", "1234", file), 0);
    EXPECT_EQ(read_text(file), "[Settings]\nPort=1234\n");
    ASSERT_NE(WritePrivateProfileString("Second", "A", "b", file), 0);
    EXPECT_EQ(read_text(file), "[Settings]\nPort=1234\n[Second]\nA=b\n");
}

// Some editors save with a UTF-8 byte-order mark before the first section.
TEST(ProfileWrite, AFileThatStartsWithAByteOrderMarkIsReadAndKeepsIt) {
    TempDir dir;
    const std::string file = dir.file("Vantrel.ini");
    const std::string bom = "\xEF\xBB\xBF";
    write_text(file, bom + "[StreamSettings]\nserverPort=4444\n");
    EXPECT_EQ(read_key(file, "StreamSettings", "serverPort"), "4444");
    ASSERT_NE(WritePrivateProfileString("StreamSettings", "serverPort", "5555", file), 0);
    EXPECT_EQ(read_text(file), bom + "[StreamSettings]\nserverPort=5555\n");
}

TEST(ProfileWrite, ReplacesInPlaceAndAppendsAtTheEndOfTheSection) {
    TempDir dir;
    const std::string file = dir.file("Vantrel.ini");
    write_text(file,
               "; kept comment\n"
               "[Settings]\n"
               "First=1\n"
               "; note inside\n"
               "Second=2\n"
               "\n"
               "[Other]\n"
               "X=y\n");
    ASSERT_NE(WritePrivateProfileString("SETTINGS", "first", "one", file), 0);
    ASSERT_NE(WritePrivateProfileString("Settings", "Third", "3", file), 0);
    EXPECT_EQ(read_text(file),
              "; kept comment\n"
              "[Settings]\n"
              "First=one\n"
              "; note inside\n"
              "Second=2\n"
              "Third=3\n"
              "\n"
              "[Other]\n"
              "X=y\n");
}

TEST(ProfileWrite, NewKeyLayout) {
    struct Case {
        const char* what;
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"a section without keys takes it right below its header", "[Settings]\n\n[Other]\nX=y",
         "[Settings]\nK=v\n\n[Other]\nX=y\n"},
        {"CRLF line ends are kept", "[Settings]\r\nA=1\r\n", "[Settings]\r\nA=1\r\nK=v\r\n"},
    };
    TempDir dir;
    const std::string file = dir.file("a.ini");
    for (const Case& c : cases) {
        write_text(file, c.before);
        ASSERT_NE(WritePrivateProfileString("Settings", "K", "v", file), 0) << c.what;
        EXPECT_EQ(read_text(file), c.after) << c.what;
    }
}

TEST(ProfileWrite, ValueReadsBackUnchanged) {
    TempDir dir;
    const std::string file = dir.file("v.ini");
    for (const std::string value : {"", "a=b=c", "/media/My Films", "x;y", "[brackets]"}) {
        ASSERT_NE(WritePrivateProfileString("S", "Key", value.c_str(), file), 0) << value;
        EXPECT_EQ(read_key(file, "S", "Key"), value);
    }
}

TEST(ProfileWrite, RefusesWhatWouldReadBackAsSomethingElse) {
    TempDir dir;
    const std::string file = dir.file("v.ini");
    write_text(file, "[S]\nKey=old\n");
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"S", "Key", "line\n[Injected]\nX=1"},
        {"S", "Key", "cr\rvalue"},
        {"S", "Ke=y", "v"},
        {"S", "", "v"},
        {"S", "[Key", "v"},
        {"S]", "Key", "v"},
        {nullptr, "Key", "v"},
        {"S", nullptr, "v"},
        {"S", "Key", nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WritePrivateProfileString(c.section, c.key, c.value, file), 0);
    }
    EXPECT_EQ(read_text(file), "[S]\nKey=old\n");
}

TEST(ProfileWrite, FailsWithoutTouchingAReadOnlyFileOrMissingFolder) {
    TempDir dir;
    const std::string file = dir.file("ro.ini");
    write_text(file, "[S]\nKey=old\n");
    chmod(file.c_str(), 0444);
    EXPECT_EQ(WritePrivateProfileString("S", "Key", "new", file), 0);
    EXPECT_EQ(read_text(file), "[S]\nKey=old\n");
    EXPECT_EQ(WritePrivateProfileString("S", "Key", "new", dir.file("no/such/folder.ini")), 0);
    EXPECT_EQ(WritePrivateProfileString("S", "Key", "new", ""), 0);
}

TEST(ProfileWrite, LeavesNoTemporaryFilesAndKeepsModeAndLinks) {
    TempDir dir;
    const std::string target = dir.file("real.ini");
    const std::string link = dir.file("link.ini");
    write_text(target, "[S]\n");
    chmod(target.c_str(), 0640);
    std::filesystem::create_symlink(target, link);
    for (int i = 0; i < 5; ++i) ASSERT_NE(WritePrivateProfileString("S", "Key", std::to_string(i).c_str(), link), 0);

    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_text(target), "[S]\nKey=4\n");
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2);
}

// Each write rewrites the whole file; writes from two threads must not undo
// each other.
TEST(ProfileWrite, ConcurrentWritersKeepEveryKey) {
    TempDir dir;
    const std::string file = dir.file("shared.ini");
    constexpr int KEYS = 40;
    auto writer = [&file](const char* prefix) {
        for (int i = 0; i < KEYS; ++i) {
            const std::string key = prefix + std::to_string(i);
            WritePrivateProfileString("S", key.c_str(), "v", file);
        }
    };
    std::thread a(writer, "A"), b(writer, "B");
    a.join();
    b.join();
    std::string names;
    GetPrivateProfileString("S", nullptr, "", names, 100000, file);
    int count = 0;
    for (char c : names) count += c == '\0';
    EXPECT_EQ(count, 2 * KEYS);
}
