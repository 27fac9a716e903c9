// "listdir" over real sockets against the server started in-process, with
// media folders made in a temporary folder.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "stream/stream_state.h"
#include "tests/support/media_clips.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

using test_support::ListDir;
using test_support::ListDirReply;
using test_support::ListDirRequest;
using Lines = std::vector<std::string>;

const char DEFAULT_CONFIG[] = "config:framedivider=1.00&videobitrate=600&audiobitrate=128.pmp";

void MakeFile(const std::string& path) {
    std::ofstream(path) << "x";
}

class ListDirTest : public ::testing::Test {
protected:
    ListDirTest()
        : media_root_("vantrel-media"),
          movies_(media_root_.file("Movies")),
          server_([this](CVantrelDlg& record) { record.m_moviePaths = {movies_ + "/"}; }) {
        std::filesystem::create_directories(movies_ + "/Sub");
        std::filesystem::create_directories(movies_ + "/.hidden");
        std::filesystem::create_directories(media_root_.file("Other"));
        std::filesystem::create_directories(media_root_.file("Movies2"));
        for (const char* name : {"a.avi", "b.txt", "C.Mp4", "d.avi1", "e.avi12", "clip.AVI.txt"}) {
            MakeFile(movies_ + "/" + name);
        }
        MakeFile(media_root_.file("Other/secret.avi"));
        MakeFile(media_root_.file("Movies2/leak.avi"));
    }

    ListDirReply Request(const std::string& request) {
        ListDirReply reply = ListDir(server_.port(), request);
        EXPECT_TRUE(reply.well_formed) << request;
        return reply;
    }

    // The listing lines of a request with a large limit, the settings line checked and left off.
    Lines Listing(const std::string& path) {
        Lines lines = Request(ListDirRequest(path, 65536)).lines;
        EXPECT_FALSE(lines.empty());
        if (lines.empty()) return lines;
        EXPECT_EQ(lines.back(), DEFAULT_CONFIG);
        lines.pop_back();
        return lines;
    }

    // The server posts its message after it has set the current folder; taking
    // the messages orders this read after that write.
    std::string CurrentFolder() {
        server_.record().Messages().drain();
        return current_folder;
    }

    template <typename Change>
    void WithRecord(Change change) {
        std::lock_guard<std::mutex> guard(server_.record().Lock());
        change(server_.record());
    }

    void AddFeed(const std::string& url, const std::vector<std::tuple<std::string, std::string, int, std::string>>& items) {
        auto feed = std::make_shared<CFeed>();
        feed->m_strUrl = url;
        // An item with a local file name has that file in MOVIES, as its download left it.
        for (const auto& [title, type, state, local] : items) {
            auto item = std::make_shared<CFeedItem>();
            item->m_strTitle = title;
            item->m_strType = type;
            item->m_nState = state;
            if (!local.empty()) {
                std::filesystem::create_directories(server_.program_folder().file("MOVIES"));
                item->m_strEnclosureUrl = url + "/" + local;
                item->m_strLocalPath = server_.program_folder().file("MOVIES/" + local);
                std::ofstream(item->m_strLocalPath) << title;
            }
            feed->m_items.push_back(item);
        }
        WithRecord([&](CVantrelDlg& record) { record.m_feeds.push_back(feed); });
    }

    test_support::TempDir media_root_;
    std::string movies_;
    test_support::TestServer server_;
};

TEST_F(ListDirTest, WorkedExampleRootWithOneMediaFolder) {
    const std::string folderLine = "dir:/" + movies_ + "\n";  // the final "/" is dropped
    const ListDirReply reply = Request("listdir path=&size=4096");
    const std::string expected = "\n" + folderLine + DEFAULT_CONFIG + "\n";
    EXPECT_EQ(reply.text, expected);
    EXPECT_EQ(reply.length, 1 + folderLine.size() + 63);
    EXPECT_EQ(std::string(DEFAULT_CONFIG).size() + 1, 63u);

    // At exactly 1 + the folder line the folder line is skipped: below means strictly below.
    const int exact = static_cast<int>(1 + folderLine.size());
    EXPECT_EQ(Request(ListDirRequest("", exact)).length, 64u);
    EXPECT_EQ(Request(ListDirRequest("", exact + 1)).length, 1 + folderLine.size() + 63);
}

TEST_F(ListDirTest, LengthWordIsLittleEndian) {
    const test_support::RawReply raw = test_support::SendRequest(server_.port(), "listdir path=&size=4096");
    ASSERT_GE(raw.bytes.size(), 4u);
    const size_t n = raw.bytes.size() - 4;
    EXPECT_EQ(static_cast<uint8_t>(raw.bytes[0]), n & 0xff);
    EXPECT_EQ(static_cast<uint8_t>(raw.bytes[1]), (n >> 8) & 0xff);
    EXPECT_EQ(raw.bytes[2], 0);
    EXPECT_EQ(raw.bytes[3], 0);
}

TEST_F(ListDirTest, SizeLimits) {
    struct Case {
        int size;
        Lines lines;
    };
    const std::string sub = "dir:/Sub\n";
    const std::string parent = "dir:/..\n";
    const std::string avi = "stream:/a.avi.pmp\n";
    const std::vector<Case> cases = {
        {0, {DEFAULT_CONFIG}},
        {-5, {DEFAULT_CONFIG}},
        {1, {DEFAULT_CONFIG}},
        // Sorted: "dir:/..", "dir:/Sub", "stream:/C.Mp4.pmp", "stream:/a.avi.pmp", ...
        // A line goes in only while the text stays strictly below the limit.
        {static_cast<int>(parent.size() + sub.size()), {"dir:/..", DEFAULT_CONFIG}},
        {static_cast<int>(parent.size() + sub.size() + 1), {"dir:/..", "dir:/Sub", DEFAULT_CONFIG}},
        {static_cast<int>(parent.size() + sub.size() + avi.size() + 1),
         {"dir:/..", "dir:/Sub", "stream:/C.Mp4.pmp", DEFAULT_CONFIG}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Request(ListDirRequest(movies_, c.size)).lines, c.lines) << "size=" << c.size;
    }
}

TEST_F(ListDirTest, LongEntrySkippedShorterLaterEntryStillAdded) {
    MakeFile(movies_ + "/Sub/aaaaaaaaaaaaaaaaaaaaaaaa.avi");
    MakeFile(movies_ + "/Sub/b.avi");
    const int limit = static_cast<int>(std::string("dir:/..\nstream:/b.avi.pmp\n").size() + 1);
    EXPECT_EQ(Request(ListDirRequest(movies_ + "\\Sub", limit)).lines,
              (Lines{"dir:/..", "stream:/b.avi.pmp", DEFAULT_CONFIG}));
}

TEST_F(ListDirTest, RootWithoutPathOrWithoutAnythingToList) {
    // No "path=" at all: the root, and the current folder becomes empty.
    Listing(movies_);
    ASSERT_NE(CurrentFolder(), "");
    EXPECT_EQ(Request("listdir size=4096").lines, (Lines{"", "dir:/" + movies_, DEFAULT_CONFIG}));
    EXPECT_EQ(CurrentFolder(), "");
    // A single "\" is the root too.
    EXPECT_EQ(Listing("\\"), (Lines{"", "dir:/" + movies_}));

    WithRecord([](CVantrelDlg& record) { record.m_moviePaths.clear(); });
    EXPECT_EQ(Request("listdir path=&size=2").text, std::string("\n") + DEFAULT_CONFIG + "\n");
}

TEST_F(ListDirTest, RootListsSortedFeedsThenSeparatorThenSortedFolders) {
    AddFeed("https://z.example/feed", {});
    AddFeed("http://a.example/rss", {});
    WithRecord([](CVantrelDlg& record) { record.m_moviePaths = {"/srv/b", "/srv/a\\", "/"}; });
    EXPECT_EQ(Listing(""), (Lines{"dir:/http://a.example/rss", "dir:/https://z.example/feed", "", "dir://",
                                  "dir://srv/a", "dir://srv/b"}));
    // Exactly one final separator goes, and "/" itself stays.
    WithRecord([](CVantrelDlg& record) { record.m_moviePaths = {"\\", "\\\\", "/srv/c//", "/srv/d\\\\"}; });
    EXPECT_EQ(Listing(""), (Lines{"dir:/http://a.example/rss", "dir:/https://z.example/feed", "", "dir:/",
                                  "dir://srv/c/", "dir://srv/d\\", "dir:/\\"}));
}

TEST_F(ListDirTest, EntriesSortAsUnsignedBytes) {
    // "+" (0x2B) sorts before "..", so the parent line is not always first; "Z"
    // before "a"; a UTF-8 name (0xC3 ...) after every ASCII one.
    for (const char* folder : {"+extra", "Zeta", "\xC3\xA9t\xC3\xA9"}) {
        std::filesystem::create_directories(movies_ + "/Sub/" + folder);
    }
    for (const char* file : {"\xC3\x89t\xC3\xA9.avi", "zz.avi", "Ab.avi"}) {
        MakeFile(movies_ + "/Sub/" + file);
    }
    EXPECT_EQ(Listing(movies_ + "\\Sub"),
              (Lines{"dir:/+extra", "dir:/..", "dir:/Zeta", "dir:/\xC3\xA9t\xC3\xA9", "stream:/Ab.avi.pmp",
                     "stream:/zz.avi.pmp", "stream:/\xC3\x89t\xC3\xA9.avi.pmp"}));

    WithRecord([](CVantrelDlg& record) { record.m_moviePaths = {"/srv/\xC3\xA9", "/srv/z", "/srv/Z"}; });
    AddFeed("http://\xC3\xA9.example/", {});
    AddFeed("http://z.example/", {});
    EXPECT_EQ(Listing(""), (Lines{"dir:/http://z.example/", "dir:/http://\xC3\xA9.example/", "",
                                  "dir://srv/Z", "dir://srv/z", "dir://srv/\xC3\xA9"}));
}

TEST_F(ListDirTest, FolderListingFiltersExtensionsAndSorts) {
    // Directories not starting with "." are folders; other names must carry a
    // served extension, or that extension and one character more.
    const Lines expected = {"dir:/..", "dir:/Sub", "stream:/C.Mp4.pmp", "stream:/a.avi.pmp", "stream:/d.avi1.pmp"};
    EXPECT_EQ(Listing(movies_), expected);
    EXPECT_EQ(CurrentFolder(), movies_);
    // As the client sends it: a leading "\" and "\" between names.
    EXPECT_EQ(Listing("\\" + movies_ + "\\Sub"), (Lines{"dir:/.."}));
    EXPECT_EQ(CurrentFolder(), movies_ + "/Sub");
}

TEST_F(ListDirTest, FolderWithASpaceNeedsSizeRightAfterIt) {
    std::filesystem::create_directories(movies_ + "/My Films");
    MakeFile(movies_ + "/My Films/f.avi");
    EXPECT_EQ(Listing(movies_ + "\\My Films"), (Lines{"dir:/..", "stream:/f.avi.pmp"}));
    const ListDirReply cut = Request("listdir path=\\" + movies_ + "\\My Films size=100&x");
    EXPECT_EQ(CurrentFolder(), movies_ + "/My");
    EXPECT_EQ(cut.lines, (Lines{"dir:/..", DEFAULT_CONFIG}));
}

TEST_F(ListDirTest, RefusedFoldersListOnlyTheParentLine) {
    const std::string upper = media_root_.path() + "/MOVIES";
    std::filesystem::create_directories(upper);
    MakeFile(upper + "/other-case.avi");
    const std::vector<std::string> refused = {
        upper,                                         // letter case differs
        movies_ + "\\..\\Other",                       // climbs out, then into a sibling
        movies_ + "\\..\\..\\..\\..\\..\\..\\etc",     // climbs to the root
        movies_ + "/Sub/../../Other",
        media_root_.file("Movies2"),                   // begins with the media path's text only
        media_root_.file("Other"),
        movies_ + "\\missing",                         // admitted, but not there
    };
    for (const std::string& path : refused) {
        EXPECT_EQ(Listing(path), (Lines{"dir:/.."})) << path;
        // The current folder is set all the same.
        EXPECT_NE(CurrentFolder(), "") << path;
    }
    // Dots that stay inside are fine.
    EXPECT_EQ(Listing(movies_ + "\\Sub\\..\\.\\"), Listing(movies_));
}

TEST_F(ListDirTest, MediaPathAsStoredWithAndWithoutFinalSeparator) {
    WithRecord([&](CVantrelDlg& record) { record.m_moviePaths = {movies_}; });
    EXPECT_EQ(Listing(movies_).size(), 5u);
    EXPECT_EQ(Listing(movies_ + "\\Sub").size(), 1u);
}

TEST_F(ListDirTest, FeedListing) {
    AddFeed("http://Example.com/podcast.xml",
            {{"Ep 2", "Video/MP4", 0, ""},
             {"Ep 1", "audio/mpeg", 1, "1.mp3"},
             {"Notes", "application/pdf", 0, ""},
             {"Ep 3", "audio/mpeg", 2, "3.mp3"},
             {"Ep 4", "video/mp4", 1, ""},
             {"Ep 5", "vid", 0, ""}});
    const Lines expected = {"dir:/..", "stream:/Ep 1[downloading][downloaded].pmp", "stream:/Ep 2.pmp",
                            "stream:/Ep 3[downloaded].pmp", "stream:/Ep 4[downloading].pmp"};
    EXPECT_EQ(Listing("\\http://example.com/podcast.xml"), expected);
    EXPECT_EQ(CurrentFolder(), "http://example.com/podcast.xml");
    // The folder text from "http://" on need only begin the URL; what stands before it is ignored.
    EXPECT_EQ(Listing("junk\\HTTP://example.COM/pod"), expected);
    EXPECT_EQ(Listing("\\http://example.com/podcast.xml2"), (Lines{"dir:/.."}));
    EXPECT_EQ(Listing("\\http://other.example/"), (Lines{"dir:/.."}));
}

TEST_F(ListDirTest, HttpsFeedsAreFeedsToo) {
    AddFeed("https://secure.example/feed", {{"Only", "audio/mpeg", 0, ""}});
    EXPECT_EQ(Listing("\\https://secure.example/feed"), (Lines{"dir:/..", "stream:/Only.pmp"}));
    EXPECT_EQ(CurrentFolder(), "https://secure.example/feed");
}

TEST_F(ListDirTest, FirstMatchingFeedIsListed) {
    AddFeed("http://a.example/one", {{"First", "audio/mpeg", 0, ""}});
    AddFeed("http://a.example/two", {{"Second", "audio/mpeg", 0, ""}});
    EXPECT_EQ(Listing("http://a.example/"), (Lines{"dir:/..", "stream:/First.pmp"}));
}

// "streamopen" resolves names in the feed whose URL is the folder: the listing
// must show that feed's items, not those of a feed whose URL it only begins.
TEST_F(ListDirTest, TheFeedWhoseUrlIsTheFolderIsListedBeforeOnesItBegins) {
    AddFeed("http://a.example/show-hd", {{"Wide", "video/mp4", 0, ""}});
    AddFeed("http://a.example/show", {{"Narrow", "video/mp4", 0, ""}});
    AddFeed("http://a.example/show-hd-extra", {{"Extra", "video/mp4", 0, ""}});
    const struct { const char* folder; const char* item; } cases[] = {
        {"\\http://a.example/show", "stream:/Narrow.pmp"},
        {"\\http://a.example/show-hd", "stream:/Wide.pmp"},
        {"\\http://a.example/show-hd-extra", "stream:/Extra.pmp"},
        {"\\http://a.example/sh", "stream:/Wide.pmp"},  // no URL is the folder: the first it begins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(Listing(c.folder), (Lines{"dir:/..", c.item}));
    }
}

// Each request starts from what the ones before it left in force; a value the
// window would refuse keeps the one in force (the divider falls back to 1.0).
TEST_F(ListDirTest, SettingsKeysFromSizeOn) {
    struct Case {
        std::string keys;  // after "listdir path=&size=0"
        std::string config;
        float divider;
    };
    const auto config = [](const char* divider, const char* movie, const char* audio) {
        return std::string("config:framedivider=") + divider + "&videobitrate=" + movie + "&audiobitrate=" + audio +
               ".pmp";
    };
    const std::vector<Case> cases = {
        {"&framediv=1.5&vbitrate=800&abitrate=96", config("1.50", "800", "96"), 1.5f},
        {"&framediv=1.3", config("1.00", "800", "96"), 1.0f},
        {"&framediv=2&vbitrate=abc&abitrate=-32x", config("2.00", "800", "96"), 2.0f},
        // Only decimal digits are a number: not hexadecimal, not "inf"; out of
        // the float's range is no divider either.
        {"&framediv=0x2", config("1.00", "800", "96"), 1.0f},
        {"&framediv=1.75", config("1.75", "800", "96"), 1.75f},
        {"&framediv=infinity", config("1.00", "800", "96"), 1.0f},
        {"&framediv=1e40", config("1.00", "800", "96"), 1.0f},
        {"&framediv=1.115", config("1.00", "800", "96"), 1.0f},
        // Audio: 32 to 256 in steps of 32, the leading number of the value.
        {"&abitrate=0", config("1.00", "800", "96"), 1.0f},
        {"&abitrate=-32", config("1.00", "800", "96"), 1.0f},
        {"&abitrate=33", config("1.00", "800", "96"), 1.0f},
        {"&abitrate=288", config("1.00", "800", "96"), 1.0f},
        {"&abitrate=1024", config("1.00", "800", "96"), 1.0f},
        {"&abitrate=2147483648", config("1.00", "800", "96"), 1.0f},
        {"&abitrate=-2147483648", config("1.00", "800", "96"), 1.0f},
        {"&abitrate=256", config("1.00", "800", "256"), 1.0f},
        {"&abitrate=32", config("1.00", "800", "32"), 1.0f},
        {"&abitrate=64kbit", config("1.00", "800", "64"), 1.0f},
        // Movie: positive, and in bit/s still an int for the encoder.
        {"&vbitrate=0", config("1.00", "800", "64"), 1.0f},
        {"&vbitrate=-600", config("1.00", "800", "64"), 1.0f},
        {"&vbitrate=2147483648", config("1.00", "800", "64"), 1.0f},
        {"&vbitrate=-2147483648", config("1.00", "800", "64"), 1.0f},
        {"&vbitrate=2147484", config("1.00", "800", "64"), 1.0f},
        {"&vbitrate=2147483", config("1.00", "2147483", "64"), 1.0f},
        {"&vbitrate=1", config("1.00", "1", "64"), 1.0f},
        {"&vbitrate=450&abitrate=1000", config("1.00", "450", "64"), 1.0f},
    };
    for (const Case& c : cases) {
        const std::string request = "listdir path=&size=0" + c.keys;
        EXPECT_EQ(Request(request).lines, (Lines{c.config})) << request;
        WithRecord([&](CVantrelDlg& record) { EXPECT_EQ(record.m_fFrameRateDivider, c.divider) << request; });
    }
    // Before "size=" the keys are not seen.
    EXPECT_EQ(Request("listdir framediv=2&vbitrate=700&abitrate=128&path=&size=0").lines,
              (Lines{config("1.00", "450", "64")}));
    // Back from the default to another of the radios' dividers.
    EXPECT_EQ(Request("listdir path=&size=0&framediv=1.25").lines, (Lines{config("1.25", "450", "64")}));
}

// Only names a client can send back to open the entry it saw are listed: a
// line break would split an entry into lines that name nothing, and the
// client's "\\" is read back as a separator.
TEST_F(ListDirTest, ListsOnlyNamesThatOpenAsListed) {
    namespace fs = std::filesystem;
    const std::string odd = movies_ + "/Odd";
    for (const char* folder : {"/back", "/same", "/line\nbreak", "/back\\slash"}) fs::create_directories(odd + folder);
    const std::string& clip = test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi);
    for (const char* name : {"/plain.avi", "/inj\ndir:sneaky\nx.avi", "/cr\rx.avi", "/back\\slash.avi",
                             "/back\\other.avi", "/back/other.avi", "/same\\file.avi"}) {
        fs::copy_file(clip, odd + name);
    }
    // The same file under both readings of its name.
    fs::create_hard_link(odd + "/same\\file.avi", odd + "/same/file.avi");

    const Lines listed = Listing(odd);
    EXPECT_EQ(listed, (Lines{"dir:/..", "dir:/back", "dir:/same", "stream:/plain.avi.pmp",
                             "stream:/same\\file.avi.pmp"}));
    for (const std::string& line : listed) {
        if (line.rfind("stream:/", 0) != 0) continue;
        const std::optional<int32_t> handle =
            test_support::StreamOpen(server_.port(), "streamopen filename=" + line.substr(8));
        ASSERT_TRUE(handle) << line;
        EXPECT_GE(*handle, 1) << line;
        EXPECT_LE(*handle, 50) << line;
    }
}

// A listed name comes back inside the client's next request, where the
// request syntax reads it: a name that request would cut, or read a key from,
// is left out, and every name listed opens there. A file opens from its
// beginning with all its frames, a folder lists what it holds.
TEST_F(ListDirTest, EveryListedNameOpensThroughTheRequestItComesBackIn) {
    namespace fs = std::filesystem;
    const std::string names = movies_ + "/Names";
    fs::create_directories(names);
    const std::string& clip = test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi);
    for (const char* file : {"plain.avi", "ep.pmp.avi", "Has .pmp inside.avi", "a&stime=30.avi", "my listdir clip.avi",
                             "a&size=1.avi", "stream2header filename=x path=y.avi"}) {
        fs::copy_file(clip, names + "/" + file);
    }
    for (const char* folder : {"a&size=1", "xsize=5", "b&sizeable", "with space", "framediv=2&vbitrate=9", "listdir",
                               "c.pmp", "stime=3"}) {
        fs::create_directories(names + "/" + folder);
        MakeFile(names + "/" + folder + "/inside.avi");
    }

    const Lines listed = Listing("\\" + names);
    EXPECT_EQ(listed, (Lines{"dir:/..", "dir:/c.pmp", "dir:/framediv=2&vbitrate=9", "dir:/listdir", "dir:/stime=3",
                             "dir:/with space", "stream:/a&size=1.avi.pmp", "stream:/plain.avi.pmp",
                             "stream:/stream2header filename=x path=y.avi.pmp"}));
    const auto frameCount = [&](const std::string& name) -> int64_t {
        const std::optional<int32_t> handle = test_support::StreamOpen(server_.port(), "streamopen filename=" + name);
        if (!handle || *handle < 1 || *handle > 50) return -1;
        const test_support::RawReply header = test_support::Stream2Header(server_.port(), *handle);
        return header.bytes.size() == 56 ? test_support::ReadLittleEndian32(header.bytes, 12) : -1;
    };
    const int64_t wholeClip = frameCount("plain.avi.pmp");
    ASSERT_GT(wholeClip, 0);
    for (const std::string& line : listed) {
        if (line.rfind("stream:/", 0) == 0) {
            EXPECT_EQ(frameCount(line.substr(8)), wholeClip) << line;
        }
    }
    for (const std::string& line : listed) {
        if (line.rfind("dir:/", 0) != 0 || line == "dir:/..") continue;
        const std::string name = line.substr(5);
        EXPECT_EQ(Listing("\\" + names + "\\" + name), (Lines{"dir:/..", "stream:/inside.avi.pmp"})) << line;
        EXPECT_EQ(CurrentFolder(), names + "/" + name);
    }

    // A media folder too is listed only where its listing lists it.
    WithRecord([&](CVantrelDlg& record) { record.m_moviePaths = {movies_, names + "/a&size=1", names + "/xsize=5"}; });
    EXPECT_EQ(Listing(""), (Lines{"", "dir:/" + movies_}));
}

TEST_F(ListDirTest, EveryListingPostsSettingsChanged) {
    server_.record().Messages().drain();
    for (const std::string& request : {std::string("listdir path=&size=10"), ListDirRequest(movies_, 10, "&abitrate=64")}) {
        Request(request);
        const std::vector<platform::PostedMessage> posted = server_.record().Messages().drain();
        ASSERT_EQ(posted.size(), 1u) << request;
        EXPECT_EQ(posted[0].message, WM_SETTINGS_CHANGED);
        EXPECT_EQ(posted[0].wParam, 0u);
        EXPECT_EQ(posted[0].text, nullptr);
    }
}

// While the dialog has not taken the message yet, further listings add none:
// the one waiting covers their changes too.
TEST_F(ListDirTest, ListingsWhileAChangeWaitsShareItsMessage) {
    server_.record().Messages().drain();
    for (int i = 0; i < 50; ++i) Request(ListDirRequest(movies_, 10, i % 2 ? "&abitrate=64" : "&abitrate=96"));
    const std::vector<platform::PostedMessage> posted = server_.record().Messages().drain();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, WM_SETTINGS_CHANGED);
}

TEST_F(ListDirTest, WithoutSizeOnlyTheSettingsLineIsSent) {
    EXPECT_EQ(Request("listdir path=\\" + movies_).lines, (Lines{DEFAULT_CONFIG}));
    EXPECT_EQ(CurrentFolder(), movies_);
    EXPECT_EQ(Request("listdir").lines, (Lines{DEFAULT_CONFIG}));
}

TEST_F(ListDirTest, OverLongPathIsRefused) {
    const std::string fits = movies_ + "/" + std::string(255 - movies_.size() - 1, 'x');
    ASSERT_EQ(fits.size(), 255u);
    EXPECT_EQ(Listing("\\" + fits), (Lines{"dir:/.."}));
    EXPECT_EQ(CurrentFolder(), fits);

    const std::string tooLong = fits + "y";
    EXPECT_EQ(Listing("\\" + tooLong), (Lines{"dir:/.."}));
    EXPECT_EQ(CurrentFolder(), "");
    // Much longer than the folder buffer, and still the request is answered.
    EXPECT_EQ(Listing(movies_ + std::string(1500, 'z')), (Lines{"dir:/.."}));

    // So a subfolder is listed only where its path fits.
    const std::string fitting(255 - movies_.size() - 1, 'f');
    const std::string over(255 - movies_.size(), 'o');
    std::filesystem::create_directories(movies_ + "/" + fitting);
    std::filesystem::create_directories(movies_ + "/" + over);
    EXPECT_EQ(Listing(movies_), (Lines{"dir:/..", "dir:/Sub", "dir:/" + fitting, "stream:/C.Mp4.pmp",
                                       "stream:/a.avi.pmp", "stream:/d.avi1.pmp"}));
}

TEST_F(ListDirTest, EndsARunningTranscodeFirst) {
    stop_poll_interval_ms = 1;
    stop_poll_limit = 20;
    transcode_running = 1;
    stream_drained = 0;
    Request("listdir path=&size=10");
    EXPECT_EQ(stream_drained.load(), 1);
    EXPECT_EQ(platform::wait_for_one(transcode_stop_event, 0), 0);
    transcode_running = 0;
    stop_poll_interval_ms = STOP_POLL_INTERVAL_MS;
    stop_poll_limit = STOP_POLL_LIMIT;
}

}  // namespace
