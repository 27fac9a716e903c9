#include "core/ini_file.h"

#include "platform/paths.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <vector>

using test_support::read_text;
using test_support::TempDir;
using test_support::write_text;

namespace {

class IniFileTest : public testing::Test {
protected:
    IniFileTest() { ini.SetFileName(file); }
    TempDir dir;
    std::string file = dir.file("Vantrel.ini");
    CIniFile ini;
};

}  // namespace

TEST_F(IniFileTest, SectionExistsOnlyWithAKey) {
    EXPECT_FALSE(ini.SectionExists("Settings"));  // no file
    write_text(file, "[Settings]\n\n[Other]\nA=1\n");
    EXPECT_FALSE(ini.SectionExists("Settings"));  // header without keys
    EXPECT_TRUE(ini.SectionExists("other"));
    write_text(file, "[Settings]\nEmpty=\n");
    EXPECT_TRUE(ini.SectionExists("Settings"));   // any value counts
}

TEST_F(IniFileTest, LargeSectionStillCountsAsPresent) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(ini.WriteString("v", "AFairlyLongKeyName" + std::to_string(i), "Settings"), 0);
    }
    EXPECT_TRUE(ini.SectionExists("Settings"));
}

TEST_F(IniFileTest, GetStringRules) {
    const std::string long_value(300, 'x');
    write_text(file,
               "[Settings]\n"
               "Long=" + long_value + "\n"
               "Quoted=\"C:\\media\"\n"
               "Empty=\n"
               "Port=1234\n");
    EXPECT_EQ(ini.GetString("Long", "Settings"), std::string(254, 'x'));
    EXPECT_EQ(ini.GetString("Quoted", "Settings"), "C:\\media");
    EXPECT_EQ(ini.GetString("Empty", "Settings"), "");
    EXPECT_EQ(ini.GetString("Missing", "Settings"), "");
    EXPECT_EQ(ini.GetString("PORT", "SETTINGS"), "1234");
    EXPECT_EQ(ini.GetString("Port", "Elsewhere"), "");
}

TEST_F(IniFileTest, WriteStringOrderIsValueKeySection) {
    ASSERT_NE(ini.WriteString("1234", "Port", "Settings"), 0);
    EXPECT_EQ(read_text(file), "[Settings]\nPort=1234\n");
    EXPECT_EQ(ini.GetString("Port", "Settings"), "1234");
}

TEST_F(IniFileTest, RewriteKeepsPlaceNewKeyGoesLast) {
    ini.WriteString("a", "First", "Settings");
    ini.WriteString("b", "Second", "Settings");
    ini.WriteString("A", "first", "settings");
    ini.WriteString("c", "Third", "Settings");
    EXPECT_EQ(read_text(file), "[Settings]\nFirst=A\nSecond=b\nThird=c\n");
}

TEST_F(IniFileTest, WriteFailureIsReported) {
    CIniFile nowhere;
    nowhere.SetFileName(dir.file("missing-folder/Vantrel.ini"));
    EXPECT_EQ(nowhere.WriteString("v", "K", "Settings"), 0);
    EXPECT_EQ(nowhere.GetString("K", "Settings"), "");
}

// ---- a writer killed in the middle of its writes ----------------------------

namespace {

constexpr int CRASH_KEYS = 60;
constexpr int CRASH_VALUE_LENGTH = 200;
const char* const CRASH_PREAMBLE = "; written by hand\n[Other]\nKeep=this\n\n";

pid_t start_writer(const std::string& file) {
    const std::string tool = platform::join_path(platform::program_folder(), "ini_crash_writer");
    const std::string keys = std::to_string(CRASH_KEYS);
    std::vector<char*> argv = {const_cast<char*>(tool.c_str()), const_cast<char*>(file.c_str()),
                               const_cast<char*>(keys.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Parses "r<round>-k<key>-" and checks the padding is whole.
bool parse_value(const std::string& value, int key, int& round) {
    if (value.size() != static_cast<size_t>(CRASH_VALUE_LENGTH)) return false;
    int parsed_key = -1;
    int consumed = 0;
    if (std::sscanf(value.c_str(), "r%d-k%d-%n", &round, &parsed_key, &consumed) != 2) return false;
    if (parsed_key != key) return false;
    const char fill = static_cast<char>('a' + round % 26);
    return value.find_first_not_of(fill, static_cast<size_t>(consumed)) == std::string::npos;
}

// The file as the killed writer may leave it: the preamble, then the section
// holding Key0 .. Key{n-1} in order, rounds never rising and falling by at
// most one (the old file or the new one, never a torn one).
void expect_intact(const std::string& file) {
    const std::string text = read_text(file);
    ASSERT_EQ(text.compare(0, std::string(CRASH_PREAMBLE).size(), CRASH_PREAMBLE), 0) << text;
    std::istringstream lines(text.substr(std::string(CRASH_PREAMBLE).size()));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line, "[Settings]");
    int key = 0;
    int first_round = -1;
    int previous_round = -1;
    while (std::getline(lines, line)) {
        const std::string prefix = "Key" + std::to_string(key) + "=";
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << "line " << key << ": " << line;
        int round = 0;
        ASSERT_TRUE(parse_value(line.substr(prefix.size()), key, round)) << line;
        if (first_round < 0) first_round = round;
        ASSERT_TRUE(round == previous_round || previous_round < 0 || round == previous_round - 1) << line;
        ASSERT_GE(round, first_round - 1);
        previous_round = round;
        ++key;
    }
    ASSERT_LE(key, CRASH_KEYS);
    // The reader agrees with the lines.
    CIniFile ini;
    ini.SetFileName(file);
    EXPECT_EQ(ini.GetString("Keep", "Other"), "this");
    if (key > 0) {
        EXPECT_EQ(ini.GetString("Key0", "Settings").size(), static_cast<size_t>(CRASH_VALUE_LENGTH));
    }
}

}  // namespace

TEST(IniFileCrash, KilledWriterLeavesTheOldOrTheNewFile) {
    std::mt19937 random(12345);
    for (int attempt = 0; attempt < 6; ++attempt) {
        TempDir dir;
        const std::string file = dir.file("Vantrel.ini");
        write_text(file, CRASH_PREAMBLE);
        const pid_t writer = start_writer(file);
        ASSERT_GT(writer, 0);
        // Let it get going (the section exists), then kill it at a random moment
        // of its later writes.
        CIniFile ini;
        ini.SetFileName(file);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!ini.SectionExists("Settings") && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
        kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";
        expect_intact(file);
    }
}
