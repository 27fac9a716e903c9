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

TEST(FeedRecordTest, NewRecordsAreEmpty) {
    const CFeedItem item;
    EXPECT_EQ(item.m_strLocalPath, "");
    EXPECT_EQ(item.m_strEnclosureUrl, "");
    EXPECT_EQ(item.m_strDuration, "");
    EXPECT_EQ(item.m_strTitle, "");
    EXPECT_EQ(item.m_strLength, "");
    EXPECT_EQ(item.m_strType, "");
    EXPECT_EQ(item.m_nState.load(), FEED_ITEM_NONE);
    const CFeed feed;
    EXPECT_TRUE(feed.m_items.empty());
    EXPECT_EQ(feed.m_strTitle, "");
    EXPECT_EQ(feed.m_strUrl, "");
}

TEST(FeedRecordTest, FeedOwnsItsItemsButADownloadKeepsItsOneAlive) {
    std::weak_ptr<CFeedItem> watched[3];
    CFeedItemPtr kept;
    {
        auto feed = std::make_shared<CFeed>();
        for (auto& watch : watched) {
            auto item = std::make_shared<CFeedItem>();
            watch = item;
            feed->m_items.push_back(item);
        }
        kept = feed->m_items.back();
    }
    EXPECT_TRUE(watched[0].expired());
    EXPECT_TRUE(watched[1].expired());
    EXPECT_FALSE(watched[2].expired());
    kept->m_nState = FEED_ITEM_DONE;  // a download thread writing at its end
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

TEST(FeedItemLocalPathLengthTest, LongNamesAreNotCut) {
    const std::string segment(400, 'n');
    const std::string path =
        FeedItemLocalPath("/opt/server", *Item("99", "http://host/" + segment + ".mp3", ""), DEFAULT_EXTENSIONS);
    EXPECT_EQ(path, "/opt/server/MOVIES/99" + segment + ".mp3");
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
