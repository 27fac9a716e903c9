#include "core/feed.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> DEFAULT_EXTENSIONS = {"AVI", "M4V", "VOB", "MP4", "MPG", "MPEG",
                                                     "MP3", "WMA", "WAV", "WMV", "ASF", "MOV"};

std::unique_ptr<CFeedItem> Item(const std::string& length, const std::string& url, const std::string& type) {
    auto item = std::make_unique<CFeedItem>();
    item->m_strLength = length;
    item->m_strEnclosureUrl = url;
    item->m_strType = type;
    return item;
}

struct PathCase {
    const char* length;
    const char* url;
    const char* type;
    const char* path;  // after the program folder
};
void PrintTo(const PathCase& c, std::ostream* out) { *out << c.url; }

class FeedItemLocalPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(FeedItemLocalPathTest, NameFromLengthAndLastUrlSegment) {
    const PathCase& c = GetParam();
    EXPECT_EQ(FeedItemLocalPath("/opt/server", *Item(c.length, c.url, c.type), DEFAULT_EXTENSIONS),
              std::string("/opt/server") + c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FeedItemLocalPathTest,
    ::testing::Values(PathCase{"5000000", "http://host/media/ep12.mp3", "audio/whatever", "/MOVIES/5000000ep12.mp3"},
                      PathCase{"1234", "http://host/get.php?id=7", "AUDIO/MP3", "/MOVIES/1234get.php_id=7.mp3"},
                      PathCase{"", "http://host/show", "audio/mpeg", "/MOVIES/show.mpg"},
                      // Only the first '?' becomes '_'.
                      PathCase{"", "http://host/a?b?c", "video/avi", "/MOVIES/a_b?c.avi"},
                      // No '/' at all: the whole URL is the name.
                      PathCase{"7", "clip.mov", "", "/MOVIES/7clip.mov"},
                      // A served extension with one more character passes as it is.
                      PathCase{"", "http://host/x.mp41", "video/mpeg", "/MOVIES/x.mp41"},
                      // The last '/' may stand inside the query.
                      PathCase{"", "http://host/a.mp3?u=/b", "video/quicktime", "/MOVIES/b.mov"}));

// Length and URL come from whoever serves the feed: the file stays directly in MOVIES.
INSTANTIATE_TEST_SUITE_P(
    Hostile, FeedItemLocalPathTest,
    ::testing::Values(PathCase{"/../../../.bashrc", "http://host/x.mp3", "", "/MOVIES/x.mp3"},
                      PathCase{"/../../home/user/music/song", "http://host/.mp3", "", "/MOVIES/.mp3"},
                      PathCase{"12a", "http://host/x.mp3", "", "/MOVIES/x.mp3"},
                      PathCase{" 12", "http://host/x.mp3", "", "/MOVIES/x.mp3"},
                      PathCase{"-5", "http://host/x.mp3", "", "/MOVIES/x.mp3"},
                      PathCase{"0", "http://host/x.mp3", "", "/MOVIES/0x.mp3"},
                      PathCase{"", "http://host/..", "audio/mp3", "/MOVIES/enclosure.mp3"},
                      PathCase{"7", "http://host/.", "", "/MOVIES/7enclosure.mpg"},
                      PathCase{"", "http://host/", "", "/MOVIES/enclosure.mpg"},
                      PathCase{"", "..", "", "/MOVIES/enclosure.mpg"},
                      PathCase{"", "", "", "/MOVIES/enclosure.mpg"},
                      PathCase{"", "http://host/..\\..\\x.mp3", "", "/MOVIES/enclosure.mpg"},
                      PathCase{"", "http://host/a\\b.mp3", "", "/MOVIES/enclosure.mpg"},
                      // Dots inside a name are only dots.
                      PathCase{"", "http://host/...mp3", "", "/MOVIES/...mp3"},
                      PathCase{"", "http://host/..?x=1", "", "/MOVIES/.._x=1.mpg"}));

TEST(FeedItemLocalPathFolderTest, AQuestionMarkInTheProgramFolderStays) {
    EXPECT_EQ(FeedItemLocalPath("/opt/a?b", *Item("3", "http://host/q?x.mp3", ""), DEFAULT_EXTENSIONS),
              "/opt/a?b/MOVIES/3q_x.mp3");
}

std::string FileNameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// A name the file system takes stays whole, also when the path is long.
TEST(FeedItemLocalPathLengthTest, NamesThatFitAreNotCut) {
    const std::string folder = "/opt/" + std::string(200, 'f');
    for (const size_t size : {200u, 249u}) {
        const std::string segment(size, 'n');
        EXPECT_EQ(FeedItemLocalPath(folder, *Item("99", "http://host/" + segment + ".mp3", ""), DEFAULT_EXTENSIONS),
                  folder + "/MOVIES/99" + segment + ".mp3")
            << size;
    }
}

// Lead bytes each followed by their continuation bytes.
bool IsWholeUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t tail = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 99;
        if (tail == 99 || i + tail >= text.size()) return false;
        for (size_t k = 1; k <= tail; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += tail + 1;
    }
    return true;
}

std::string Repeat(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

// Longer names are shortened the same way every time, keep their start (on a
// whole character) and their extension, and stay apart when they differ anywhere.
TEST(FeedItemLocalPathLengthTest, LongNamesAreShortenedToFitAFileName) {
    const struct {
        const char* length;
        std::string url;
        const char* type;
        std::string start;
        const char* ending;
    } cases[] = {
        {"99", "http://host/" + std::string(400, 'n') + ".mp3", "", "99nnnn", ".mp3"},
        {"", "http://host/ep.mp3?sig=" + std::string(300, 'a'), "audio/mp3", "ep.mp3_sig=aa", ".mp3"},
        {"12", "http://host/" + std::string(300, 'v'), "video/quicktime", "12vvv", ".mov"},
        {"", "http://host/x" + Repeat("\xC3\xA9", 150) + std::string(100, 'x') + ".avi", "", "x\xC3\xA9", ".avi"},
        {"", "http://host/" + std::string(100, 'x') + Repeat("\xE2\x82\xAC", 100) + ".avi", "", "xxx", ".avi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        const std::unique_ptr<CFeedItem> item = Item(c.length, c.url, c.type);
        const std::string path = FeedItemLocalPath("/opt/server", *item, DEFAULT_EXTENSIONS);
        const std::string name = FileNameOf(path);
        EXPECT_EQ("/opt/server/MOVIES/" + name, path);
        EXPECT_LE(name.size(), 255u);
        EXPECT_GT(name.size(), 200u);
        EXPECT_TRUE(IsWholeUtf8(name));
        EXPECT_EQ(c.start, name.substr(0, c.start.size()));
        EXPECT_EQ(c.ending, name.substr(name.size() - 4));
        EXPECT_EQ(path, FeedItemLocalPath("/opt/server", *item, DEFAULT_EXTENSIONS));

        std::string other = c.url;
        other[other.size() - 150] ^= 1;
        EXPECT_NE(path, FeedItemLocalPath("/opt/server", *Item(c.length, other, c.type), DEFAULT_EXTENSIONS));
    }
}

struct TypeCase {
    const char* type;
    const char* extension;
};
void PrintTo(const TypeCase& c, std::ostream* out) { *out << '"' << c.type << '"'; }

class MimeTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(MimeTypeTest, AppendsFourCharacters) {
    std::string path = "/m/name";
    AppendExtensionForMimeType(path, GetParam().type);
    EXPECT_EQ(path, std::string("/m/name") + GetParam().extension);
}

INSTANTIATE_TEST_SUITE_P(
    Types, MimeTypeTest,
    ::testing::Values(TypeCase{"video/mpeg", ".mpg"}, TypeCase{"video/mpg", ".mpg"},
                      TypeCase{"video/quicktime", ".mov"}, TypeCase{"Video/QuickTime", ".mov"},
                      TypeCase{"video/avi", ".avi"}, TypeCase{"VIDEO/X-MSVIDEO", ".avi"},
                      TypeCase{"audio/mp3", ".mp3"}, TypeCase{"audio/mp3; charset=x", ".mpg"},
                      TypeCase{"audio/mpeg", ".mpg"}, TypeCase{"", ".mpg"}, TypeCase{"video/mp4", ".mpg"}));

}  // namespace

namespace {

CFeedPtr FeedOf(const std::vector<std::pair<std::string, std::string>>& titlesAndUrls) {
    auto feed = std::make_shared<CFeed>();
    for (const auto& [title, url] : titlesAndUrls) {
        auto item = std::make_shared<CFeedItem>();
        item->m_strTitle = title;
        item->m_strEnclosureUrl = url;
        item->m_strLength = "0";
        item->m_strType = "audio/mp3";
        feed->m_items.push_back(item);
    }
    return feed;
}

std::vector<std::string> DownloadNames(const CFeedItemFiles& files, const CFeed& feed) {
    std::vector<std::string> names;
    for (const CFeedItemPtr& item : feed.m_items) names.push_back(files.DownloadPath(*item).substr(std::string("/opt/server").size()));
    return names;
}

// Names another URL of any known feed would share are marked with the item's
// URL before the extension; a URL met twice (the same feed dropped again)
// keeps its one plain name.
TEST(FeedItemFilesTest, DistinctUrlsNeverShareADownloadName) {
    const CFeedPtr first = FeedOf({{"One", "http://h/ep1/audio.mp3"},
                                   {"Folder one", "http://h/one/"},
                                   {"Folder two", "http://h/two/"},
                                   {"Alone", "http://h/alone.mp3"},
                                   {"Raw", "http://h/raw"}});
    const CFeedPtr second = FeedOf({{"Two", "http://h/ep2/audio.mp3"}, {"Alone again", "http://h/alone.mp3"},
                                    {"Raw two", "http://other/raw"}});
    const CFeedItemFiles files("/opt/server", DEFAULT_EXTENSIONS, {first, second});
    const std::vector<std::string> names = DownloadNames(files, *first);
    const std::vector<std::string> others = DownloadNames(files, *second);
    EXPECT_EQ("/MOVIES/0alone.mp3", names[3]);
    EXPECT_EQ(names[3], others[1]);
    const std::vector<std::string> marked = {names[0], others[0], names[1], names[2], names[4], others[2]};
    const std::vector<std::string> starts = {"/MOVIES/0audio~", "/MOVIES/0audio~", "/MOVIES/0enclosure~",
                                             "/MOVIES/0enclosure~", "/MOVIES/0raw~", "/MOVIES/0raw~"};
    for (size_t i = 0; i < marked.size(); ++i) {
        SCOPED_TRACE(marked[i]);
        EXPECT_EQ(0u, marked[i].find(starts[i]));
        // The mark, then the extension: the segment's own or the one for the type.
        EXPECT_EQ(starts[i].size() + 16 + 4, marked[i].size());
        EXPECT_EQ(".mp3", marked[i].substr(marked[i].size() - 4));
        for (size_t j = 0; j < i; ++j) EXPECT_NE(marked[j], marked[i]);
    }
}

struct ListedNamesCase {
    std::vector<std::string> titles;
    std::vector<std::string> names;
};

TEST(FeedItemListedNamesTest, EqualTitlesGetTheFirstNumberNoOtherItemHas) {
    const ListedNamesCase cases[] = {
        {{"A", "B"}, {"A", "B"}},
        {{"Dup", "Dup", "Dup"}, {"Dup", "Dup (2)", "Dup (3)"}},
        {{"Dup", "Dup", "Dup (2)", "Dup"}, {"Dup", "Dup (3)", "Dup (2)", "Dup (4)"}},
        {{"Dup (2)", "Dup", "Dup"}, {"Dup (2)", "Dup", "Dup (3)"}},
        {{"", ""}, {"", " (2)"}},
    };
    for (const ListedNamesCase& c : cases) {
        std::vector<std::pair<std::string, std::string>> items;
        for (const std::string& title : c.titles) items.emplace_back(title, "http://h/" + title);
        EXPECT_EQ(c.names, FeedItemListedNames(*FeedOf(items)));
    }
}

}  // namespace
