// The settings record and its INI file beside the program: first start,
// validation and defaults, the list rules, and save followed by load.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/vantrel_dlg.h"
#include "platform/paths.h"
#include "tests/robustness/settings_sets.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::read_text;
using test_support::TempDir;
using test_support::write_text;
using Strings = std::vector<std::string>;

const Strings DEFAULT_EXTENSIONS = {"AVI", "M4V", "VOB", "MP4", "MPG", "MPEG",
                                    "MP3", "WMA", "WAV", "WMV", "ASF", "MOV"};

class SettingsFileTest : public ::testing::Test {
protected:
    std::string IniPath() const { return folder.file("Vantrel.ini"); }

    // A record built over an INI file that holds these key lines.
    std::unique_ptr<CVantrelDlg> StartWith(const std::string& keyLines) {
        write_text(IniPath(), "[StreamSettings]\n" + keyLines);
        return std::make_unique<CVantrelDlg>(folder.path());
    }

    // The value of a key as the file now holds it ("<missing>" when absent).
    std::string Stored(const std::string& key) {
        std::istringstream lines(read_text(IniPath()));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        }
        return "<missing>";
    }

    TempDir folder{"vantrel-settings"};
};

TEST_F(SettingsFileTest, FirstStartWritesTheTenKeysInOrder) {
    CVantrelDlg record(folder.path());
    const std::string expected =
        "[StreamSettings]\n"
        "nmoviepaths=1\n"
        "moviepath_1=" + platform::home_folder() + "\n"
        "movieBitrate=600\n"
        "audioBitrate=128\n"
        "frameRateDivider=1.000000\n"
        "serverPort=3333\n"
        "extensionList=AVI,M4V,VOB,MP4,MPG,MPEG,MP3,WMA,WAV,WMV,ASF,MOV\n"
        "nrssfeeds=0\n"
        "ninfinitestreams=0\n"
        "shownoaudiomovie=0\n";
    EXPECT_EQ(read_text(IniPath()), expected);
    EXPECT_EQ(record.m_moviePaths, Strings{platform::home_folder()});
    EXPECT_EQ(record.m_nServerPort, 3333);
    EXPECT_EQ(record.m_bShowNoAudioMovie, 1);
    EXPECT_EQ(record.m_extensionList, DEFAULT_EXTENSIONS);
    EXPECT_EQ(record.m_strSection, "StreamSettings");
    EXPECT_EQ(record.m_iniFile.GetFileName(), folder.path() + "/Vantrel.ini");
}

TEST_F(SettingsFileTest, SectionWithoutKeysLoadsNothing) {
    auto record = StartWith("");
    EXPECT_EQ(record->m_strMovieBitrate, "600");
    EXPECT_EQ(record->m_nServerPort, 3333);
    EXPECT_EQ(Stored("serverPort"), "3333");
}

struct PortCase {
    const char* stored;
    int port;
};
void PrintTo(const PortCase& c, std::ostream* out) { *out << '"' << c.stored << '"'; }

class PortValidationTest : public SettingsFileTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortValidationTest, OutOfRangeGivesTheDefault) {
    auto record = StartWith(std::string("serverPort=") + GetParam().stored + "\n");
    EXPECT_EQ(record->m_nServerPort, GetParam().port);
    EXPECT_EQ(Stored("serverPort"), std::to_string(GetParam().port));
}

INSTANTIATE_TEST_SUITE_P(Ports, PortValidationTest,
                         ::testing::Values(PortCase{"0", 3333}, PortCase{"-1", 3333}, PortCase{"65536", 3333},
                                           PortCase{"65535", 65535}, PortCase{"1", 1}, PortCase{"abc", 3333},
                                           PortCase{"8080x", 8080}, PortCase{"99999999999", 3333}));

struct TextCase {
    const char* stored;
    const char* value;
};
void PrintTo(const TextCase& c, std::ostream* out) { *out << '"' << c.stored << '"'; }

class AudioBitrateValidationTest : public SettingsFileTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(AudioBitrateValidationTest, NotAMultipleOf32GivesTheDefault) {
    auto record = StartWith(std::string("audioBitrate=") + GetParam().stored + "\n");
    EXPECT_EQ(record->m_strAudioBitrate, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Bitrates, AudioBitrateValidationTest,
                         ::testing::Values(TextCase{"100", "128"}, TextCase{"96", "96"}, TextCase{"512", "512"},
                                           TextCase{"0", "0"}, TextCase{"-32", "-32"}, TextCase{"abc", "abc"},
                                           TextCase{"", ""}, TextCase{"64kbit", "64kbit"},
                                           TextCase{"33", "128"}));

struct DividerCase {
    const char* stored;
    float divider;
    const char* saved;
};
void PrintTo(const DividerCase& c, std::ostream* out) { *out << '"' << c.stored << '"'; }

class DividerValidationTest : public SettingsFileTest, public ::testing::WithParamInterface<DividerCase> {};

TEST_P(DividerValidationTest, OnlyTheFiveValuesStay) {
    auto record = StartWith(std::string("frameRateDivider=") + GetParam().stored + "\n");
    EXPECT_EQ(record->m_fFrameRateDivider, GetParam().divider);
    EXPECT_EQ(Stored("frameRateDivider"), GetParam().saved);
}

INSTANTIATE_TEST_SUITE_P(Dividers, DividerValidationTest,
                         ::testing::Values(DividerCase{"1.3", 1.0f, "1.000000"}, DividerCase{"2", 2.0f, "2.000000"},
                                           DividerCase{"1.25", 1.25f, "1.250000"},
                                           DividerCase{"1.75", 1.75f, "1.750000"},
                                           DividerCase{"1.50000001", 1.5f, "1.500000"},  // narrows to 1.5 exactly
                                           DividerCase{"1.51", 1.0f, "1.000000"}, DividerCase{"nan", 1.0f, "1.000000"},
                                           DividerCase{"1e300", 1.0f, "1.000000"}, DividerCase{"", 1.0f, "1.000000"}));

TEST_F(SettingsFileTest, VideoBitrateIsNotValidated) {
    auto record = StartWith("movieBitrate=\n");
    EXPECT_EQ(record->m_strMovieBitrate, "");
    EXPECT_EQ(Stored("movieBitrate"), "");
}

TEST_F(SettingsFileTest, ExtensionListPieces) {
    struct Case {
        const char* stored;
        Strings entries;
        const char* saved;
    };
    const std::vector<Case> cases = {
        {",avi,,mp4,", {"avi", "mp4"}, "avi,mp4"},
        // Blanks inside the value stay part of a piece.
        {"avi , Mp4", {"avi ", " Mp4"}, "avi , Mp4"},
        {",,,", DEFAULT_EXTENSIONS, "AVI,M4V,VOB,MP4,MPG,MPEG,MP3,WMA,WAV,WMV,ASF,MOV"},
        {"", DEFAULT_EXTENSIONS, "AVI,M4V,VOB,MP4,MPG,MPEG,MP3,WMA,WAV,WMV,ASF,MOV"},
    };
    for (const Case& c : cases) {
        auto record = StartWith(std::string("extensionList=") + c.stored + "\n");
        EXPECT_EQ(record->m_extensionList, c.entries) << c.stored;
        EXPECT_EQ(Stored("extensionList"), c.saved) << c.stored;
    }
}

TEST_F(SettingsFileTest, MediaFolderCountRules) {
    struct Case {
        std::string keys;
        Strings folders;
    };
    const std::string home = platform::home_folder();
    const std::vector<Case> cases = {
        {"nmoviepaths=2\nmoviepath_1=/a\n", {"/a", ""}},  // a missing entry is an empty one
        {"nmoviepaths=0\nmoviepath_1=/a\n", {home}},
        {"nmoviepaths=-3\nmoviepath_1=/a\n", {home}},
        {"nmoviepaths=x\nmoviepath_1=/a\n", {home}},
        {"nmoviepaths=1\nmoviepath_0=/zero\nmoviepath_1=/one\nmoviepath_2=/two\n", {"/one"}},
        {"nmoviepaths=2\nmoviepath_1=/same\nmoviepath_2=/same\n", {"/same", "/same"}},
    };
    for (const Case& c : cases) {
        auto record = StartWith(c.keys);
        EXPECT_EQ(record->m_moviePaths, c.folders) << c.keys;
    }
    // The empty second folder is saved back as an empty entry.
    auto record = StartWith("nmoviepaths=2\nmoviepath_1=/a\n");
    EXPECT_EQ(Stored("nmoviepaths"), "2");
    EXPECT_EQ(Stored("moviepath_2"), "");
}

TEST_F(SettingsFileTest, FeedsAndInfiniteStreamsLoadInOrder) {
    auto record = StartWith(
        "nrssfeeds=3\nrssfeed_1=https://a.example/rss\nrssfeed_3=http://c.example/rss\n"
        "ninfinitestreams=1\ninfinitestream_1=/m/live.avi\n");
    Strings urls;
    for (const CFeedPtr& feed : record->m_feeds) {
        urls.push_back(feed->m_strUrl);
        EXPECT_TRUE(feed->m_items.empty());
        EXPECT_EQ(feed->m_strTitle, "");
    }
    EXPECT_EQ(urls, (Strings{"https://a.example/rss", "", "http://c.example/rss"}));
    EXPECT_EQ(record->m_infiniteStreams, Strings{"/m/live.avi"});
}

TEST_F(SettingsFileTest, ClipFlagIsStoredInverted) {
    struct Case {
        const char* keys;
        int flag;
        const char* saved;
    };
    const std::vector<Case> cases = {
        {"", 1, "0"}, {"shownoaudiomovie=\n", 1, "0"}, {"shownoaudiomovie=0\n", 1, "0"},
        {"shownoaudiomovie=1\n", 0, "1"}, {"shownoaudiomovie=2\n", 0, "1"}, {"shownoaudiomovie=-1\n", 0, "1"},
    };
    for (const Case& c : cases) {
        auto record = StartWith(std::string("movieBitrate=600\n") + c.keys);
        EXPECT_EQ(record->m_bShowNoAudioMovie, c.flag) << c.keys;
        EXPECT_EQ(Stored("shownoaudiomovie"), c.saved) << c.keys;
    }
}

TEST_F(SettingsFileTest, SaveThenLoadGivesTheSameSettings) {
    const Strings folders = {"/srv/films", "/srv/music/", ""};
    const Strings urls = {"https://b.example/feed", "http://a.example/rss"};
    const Strings streams = {"/srv/live1.avi", "/srv/live2.avi"};
    {
        CVantrelDlg record(folder.path());
        {
            std::lock_guard<std::mutex> guard(record.Lock());
            record.m_moviePaths = folders;
            record.m_strMovieBitrate = "768";
            record.m_strAudioBitrate = "96";
            record.m_fFrameRateDivider = 1.75f;
            record.m_nServerPort = 4444;
            record.m_extensionList = {"avi", "mkv"};
            record.m_feeds.clear();
            for (const std::string& url : urls) {
                auto feed = std::make_shared<CFeed>();
                feed->m_strUrl = url;
                record.m_feeds.push_back(feed);
            }
            record.m_infiniteStreams = streams;
            record.m_bShowNoAudioMovie = 0;
        }
        record.SaveSettings();
    }
    CVantrelDlg loaded(folder.path());
    EXPECT_EQ(loaded.m_moviePaths, folders);
    EXPECT_EQ(loaded.m_strMovieBitrate, "768");
    EXPECT_EQ(loaded.m_strAudioBitrate, "96");
    EXPECT_EQ(loaded.m_fFrameRateDivider, 1.75f);
    EXPECT_EQ(loaded.m_nServerPort, 4444);
    EXPECT_EQ(loaded.m_extensionList, (Strings{"avi", "mkv"}));
    Strings loadedUrls;
    for (const CFeedPtr& feed : loaded.m_feeds) loadedUrls.push_back(feed->m_strUrl);
    EXPECT_EQ(loadedUrls, urls);
    EXPECT_EQ(loaded.m_infiniteStreams, streams);
    EXPECT_EQ(loaded.m_bShowNoAudioMovie, 0);
    EXPECT_EQ(Stored("shownoaudiomovie"), "1");
    EXPECT_EQ(Stored("frameRateDivider"), "1.750000");
}

// Every setting away from its default and from what a missing key gives; lists
// of two entries or more.
robustness::SettingsSet SettingsAwayFromTheDefaults() {
    return {{"/srv/films", "/srv/music"},
            "768",
            "96",
            1.25f,
            4444,
            {"avi", "mkv"},
            {"https://b.example/feed", "http://a.example/rss"},
            {"/srv/live1.avi", "/srv/live2.avi"},
            0};
}

// A key that a save writes and a load does not read would fall back to its
// default at the next start. A file loaded and saved again keeps its bytes,
// and each key taken out of the file changes what the next save writes for it.
TEST_F(SettingsFileTest, EveryKeyWrittenIsReadBack) {
    {
        CVantrelDlg record(folder.path());
        robustness::ApplySettingsSet(record, SettingsAwayFromTheDefaults());
        record.SaveSettings();
    }
    const std::string saved = read_text(IniPath());
    { CVantrelDlg loaded(folder.path()); }
    ASSERT_EQ(read_text(IniPath()), saved);

    std::istringstream lines(saved);
    std::string header;
    std::getline(lines, header);
    std::vector<std::string> keyLines;
    for (std::string line; std::getline(lines, line);) keyLines.push_back(line);
    ASSERT_EQ(keyLines.size(), 15u);
    for (size_t left_out = 0; left_out < keyLines.size(); ++left_out) {
        std::string without = header + "\n";
        for (size_t i = 0; i < keyLines.size(); ++i) {
            if (i != left_out) without += keyLines[i] + "\n";
        }
        write_text(IniPath(), without);
        { CVantrelDlg loaded(folder.path()); }
        const std::string& line = keyLines[left_out];
        const std::string key = line.substr(0, line.find('='));
        EXPECT_NE(key + "=" + Stored(key), line) << key << " is saved again unchanged without its line in the file";
    }
}

TEST_F(SettingsFileTest, ShrunkListLeavesOldEntryKeysThatLoadingIgnores) {
    auto record = StartWith("nmoviepaths=3\nmoviepath_1=/a\nmoviepath_2=/b\nmoviepath_3=/c\n");
    {
        std::lock_guard<std::mutex> guard(record->Lock());
        record->m_moviePaths.pop_back();
    }
    record->SaveSettings();
    EXPECT_EQ(Stored("nmoviepaths"), "2");
    EXPECT_EQ(Stored("moviepath_3"), "/c");
    CVantrelDlg next(folder.path());
    EXPECT_EQ(next.m_moviePaths, (Strings{"/a", "/b"}));
}

TEST_F(SettingsFileTest, LongValuesComeBackCutTo254Characters) {
    const std::string longFolder = "/" + std::string(299, 'f');
    auto record = StartWith("nmoviepaths=1\nmoviepath_1=" + longFolder + "\n");
    EXPECT_EQ(record->m_moviePaths, Strings{longFolder.substr(0, 254)});
}

TEST_F(SettingsFileTest, DamagedHugeCountReadsABoundedNumberOfEntries) {
    auto record = StartWith("nmoviepaths=2147483647\nmoviepath_1=/a\nnrssfeeds=99999999999\n");
    ASSERT_EQ(record->m_moviePaths.size(), static_cast<size_t>(MAX_SETTINGS_LIST_ENTRIES));
    EXPECT_EQ(record->m_moviePaths[0], "/a");
    EXPECT_EQ(record->m_feeds.size(), static_cast<size_t>(MAX_SETTINGS_LIST_ENTRIES));
    EXPECT_EQ(Stored("nmoviepaths"), std::to_string(MAX_SETTINGS_LIST_ENTRIES));
}

TEST_F(SettingsFileTest, UnwritableFileKeepsTheValuesInMemory) {
    // A folder in the file's place: every write fails, for root too.
    ASSERT_EQ(mkdir(IniPath().c_str(), 0755), 0);
    CVantrelDlg record(folder.path());
    EXPECT_EQ(record.m_nServerPort, 3333);
    EXPECT_EQ(record.m_moviePaths, Strings{platform::home_folder()});
    record.SaveSettings();
    EXPECT_EQ(record.m_strMovieBitrate, "600");
}

// A line break cannot stand in a key's value (a folder may well be named with
// one): that one entry is left out, and every other setting is still saved.
TEST_F(SettingsFileTest, AValueWithALineBreakDoesNotStopTheOtherSettingsFromBeingSaved) {
    const struct {
        const char* what;
        Strings folders;
        std::string feedUrl;
        Strings streams;
        std::string movieBitrate;
        Strings savedFolders;
        Strings savedUrls;
        Strings savedStreams;
        std::string savedMovieBitrate;
    } cases[] = {
        {"folder", {"/a", "/b\nc", "/d"}, "http://f/rss", {}, "768", {"/a", "/d"}, {"http://f/rss"}, {}, "768"},
        {"feed", {"/a"}, "http://f/\rrss", {"/s.avi"}, "768", {"/a"}, {}, {"/s.avi"}, "768"},
        {"stream", {"/a"}, "http://f/rss", {"/s\r\n.avi", "/t.avi"}, "768", {"/a"}, {"http://f/rss"}, {"/t.avi"},
         "768"},
        {"bit rate", {"/a", "/b"}, "http://f/rss", {}, "7\n68", {"/a", "/b"}, {"http://f/rss"}, {}, "600"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(IniPath().c_str());
        {
            CVantrelDlg record(folder.path());
            {
                std::lock_guard<std::mutex> guard(record.Lock());
                record.m_moviePaths = c.folders;
                record.m_strMovieBitrate = c.movieBitrate;
                record.m_nServerPort = 4444;
                auto feed = std::make_shared<CFeed>();
                feed->m_strUrl = c.feedUrl;
                record.m_feeds = {feed};
                record.m_infiniteStreams = c.streams;
            }
            record.SaveSettings();
        }
        CVantrelDlg loaded(folder.path());
        EXPECT_EQ(loaded.m_nServerPort, 4444);
        EXPECT_EQ(loaded.m_moviePaths, c.savedFolders);
        EXPECT_EQ(loaded.m_strMovieBitrate, c.savedMovieBitrate);
        Strings loadedUrls;
        for (const CFeedPtr& feed : loaded.m_feeds) loadedUrls.push_back(feed->m_strUrl);
        EXPECT_EQ(loadedUrls, c.savedUrls);
        EXPECT_EQ(loaded.m_infiniteStreams, c.savedStreams);
    }
}

TEST_F(SettingsFileTest, ChangesMadeByHandAreOverwrittenByTheNextSave) {
    CVantrelDlg record(folder.path());
    write_text(IniPath(), "[StreamSettings]\nserverPort=5555\nmovieBitrate=1\n");
    record.SaveSettings();
    EXPECT_EQ(Stored("serverPort"), "3333");
    EXPECT_EQ(Stored("movieBitrate"), "600");
}

// A whole file as a save leaves it: the other section and every key.
bool WholeSettingsFile(const std::string& text) {
    return text.find("[Other]\nkeep=1\n") != std::string::npos && text.find("moviepath_2=") != std::string::npos &&
           text.find("shownoaudiomovie=") != std::string::npos;
}

// Waits at most a minute for a forked child (one already reaped keeps the
// status given); a child still running then is killed. True when it exited 0.
bool ChildSucceeded(pid_t pid, int status = -1) {
    for (int tries = 0; tries < 6000 && waitpid(pid, &status, WNOHANG) == 0; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Saves until the round bound, checking the file after each; the exit code
// says whether every file seen was whole.
[[noreturn]] void SaveInChildProcess(const std::string& folder, const std::string& iniPath, int rounds) {
    bool whole = true;
    {
        CVantrelDlg record(folder);
        for (int round = 0; round < rounds; ++round) {
            {
                std::lock_guard<std::mutex> guard(record.Lock());
                record.m_strMovieBitrate = std::to_string(300 + round);
            }
            record.SaveSettings();
            whole = whole && WholeSettingsFile(read_text(iniPath));
        }
    }
    std::_Exit(whole ? 0 : 1);
}

// Two copies of the program in one folder (started twice by mistake) save
// at the same moments: neither may lose the other's file, a section or a key.
TEST_F(SettingsFileTest, SavesOfTwoProcessesInOneFolderTakeTurns) {
    constexpr int ROUNDS = 150;
    write_text(IniPath(), "[Other]\nkeep=1\n[StreamSettings]\nnmoviepaths=2\nmoviepath_1=/a\nmoviepath_2=/b\n");
    std::vector<pid_t> savers;
    for (int i = 0; i < 2; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) SaveInChildProcess(folder.path(), IniPath(), ROUNDS);
        savers.push_back(pid);
    }
    for (pid_t pid : savers) EXPECT_TRUE(ChildSucceeded(pid)) << "a save left a broken file";
    EXPECT_TRUE(WholeSettingsFile(read_text(IniPath()))) << read_text(IniPath());
    EXPECT_EQ(Stored("movieBitrate"), std::to_string(300 + ROUNDS - 1));
}

// A copy of the program that starts while another one saves reads the one
// whole file or the other, never keys of both.
TEST_F(SettingsFileTest, ALoadWhileAnotherProcessSavesReadsOneWholeFile) {
    constexpr int SAVER_ROUNDS = 60;
    constexpr int MAX_LOADS = 100000;  // loads run back to back for as long as the saver does
    {
        CVantrelDlg first(folder.path());
        robustness::ApplySettingsSet(first, robustness::SettingsSetA());
        first.SaveSettings();
    }
    const pid_t saver = fork();
    ASSERT_GE(saver, 0);
    if (saver == 0) {
        {
            CVantrelDlg record(folder.path());
            for (int round = 0; round < SAVER_ROUNDS; ++round) {
                robustness::ApplySettingsSet(record, round % 2 == 0 ? robustness::SettingsSetB()
                                                                    : robustness::SettingsSetA());
                record.SaveSettings();
            }
        }
        std::_Exit(0);
    }
    CVantrelDlg loaded(folder.path());
    int mixed = 0;
    int status = -1;
    for (int load = 0; load < MAX_LOADS && waitpid(saver, &status, WNOHANG) == 0; ++load) {
        {
            std::lock_guard<std::mutex> guard(loaded.Lock());
            loaded.m_moviePaths.clear();  // a load adds to these lists
            loaded.m_infiniteStreams.clear();
        }
        loaded.LoadSettings();
        if (!robustness::RecordHoldsSet(loaded, robustness::SettingsSetA()) &&
            !robustness::RecordHoldsSet(loaded, robustness::SettingsSetB())) {
            ++mixed;
        }
    }
    EXPECT_TRUE(ChildSucceeded(saver, status));
    EXPECT_EQ(mixed, 0) << "loads that took keys of two saves";
}

TEST(SettingsRecordTest, DividerRuleAloneAfterAClientChange) {
    TempDir folder("vantrel-record");
    CVantrelDlg record(folder.path());
    for (float divider : {1.3f, 0.0f, -1.0f}) {
        {
            std::lock_guard<std::mutex> guard(record.Lock());
            record.m_fFrameRateDivider = divider;
            record.m_strAudioBitrate = "100";  // the divider rule leaves the bit rate alone
        }
        record.ValidateFrameRateDivider();
        EXPECT_EQ(record.m_fFrameRateDivider, 1.0f);
        EXPECT_EQ(record.m_strAudioBitrate, "100");
    }
    EXPECT_TRUE(CVantrelDlg::IsValidFrameRateDivider(1.25f));
    EXPECT_FALSE(CVantrelDlg::IsValidFrameRateDivider(1.2500001f));
}

TEST(SettingsRecordTest, PostedMessagesKeepOrderAndText) {
    TempDir folder("vantrel-record");
    CVantrelDlg record(folder.path());
    record.PostMessage(WM_PROGRESS_UPDATE);
    record.PostMessage(WM_SERVER_MESSAGE, 0, std::make_unique<std::string>("audio packet size is huge (3000)"));
    record.PostMessage(WM_SETTINGS_CHANGED);
    const std::vector<platform::PostedMessage> posted = record.Messages().drain();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0].message, 0x401u);
    EXPECT_EQ(posted[1].message, 0x402u);
    ASSERT_NE(posted[1].text, nullptr);
    EXPECT_EQ(*posted[1].text, "audio packet size is huge (3000)");
    EXPECT_EQ(posted[2].message, 0x403u);
    EXPECT_EQ(posted[2].text, nullptr);
}

}  // namespace
