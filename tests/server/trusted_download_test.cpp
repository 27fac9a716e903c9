// What the PSP gets from feed items whose hosts misbehave, over real sockets:
// a cut, an error or a page that is not the episode leaves no file and ends
// in the answer 0, retried at most once a retry delay; a compressed body is
// stored decoded; an episode deleted from disk is fetched again; distinct
// enclosures never share a file, and equal titles each open their own item.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "feeds/enclosure_download.h"
#include "tests/server/feed_end_to_end_fixture.h"
#include "tests/feeds/feed_fixture.h"
#include "tests/support/files.h"
#include "tests/support/media_clips.h"
#include "tests/support/wait.h"
#include "stream/stream_state.h"

namespace fs = std::filesystem;
using test_support::DOWNLOAD_WAIT_MS;
using test_support::HttpResponse;
using test_support::RssDocument;
using test_support::RssItem;
using Texts = std::vector<std::string>;

namespace {

std::string Episode() {
    return test_support::read_text(test_support::test_clip(test_support::clip_kind::mp3_audio));
}

HttpResponse Answer(const std::string& body, HttpResponse::Ending ending = HttpResponse::Ending::Whole) {
    HttpResponse answer;
    answer.body = body;
    answer.ending = ending;
    return answer;
}

HttpResponse Status(int status, const std::string& location = "") {
    HttpResponse answer;
    answer.status = status;
    answer.body = "<html>no</html>";
    answer.location = location;
    return answer;
}

HttpResponse Page(const std::string& body) {
    HttpResponse answer = Answer(body);
    answer.content_type = "text/html; charset=utf-8";
    return answer;
}

class TrustedDownloadTest : public test_support::FeedEndToEndFixture {
protected:
    ~TrustedDownloadTest() override { SetEnclosureRetryDelay(ENCLOSURE_RETRY_DELAY); }

    // A feed "Radio" of the cases' items, each serving the episode followed by
    // its case's tag, with the given enclosure length.
    template <typename Cases, typename Tag>
    void DropRadio(const Cases& cases, const char* length, Tag tag) {
        std::string items;
        const std::string episode = Episode();
        for (const auto& c : cases) items += RssItem(c.title, ServeEnclosure(c.path, episode + tag(c)), length, "audio/mp3");
        DropFeed(RssDocument("<title>Radio</title>", items));
    }

    // Asks for the item as the PSP does and waits until its download has ended.
    void OpenUntilEnded(const std::string& name) {
        EXPECT_EQ(51, Open(name));
        ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    }
    // The file the handle streams from.
    static std::string OpenedFile(int32_t handle) {
        if (handle < 1 || handle > INPUT_SLOT_COUNT || !input_slot_table[handle - 1]) return "";
        return input_slot_table[handle - 1]->facts.file_name;
    }
    // What the file that the name opens ends with, as long as the tag.
    std::string TagOfOpened(const std::string& name, const std::string& tag) {
        const std::string bytes = test_support::read_text(OpenedFile(Open(name)));
        return bytes.size() < tag.size() ? bytes : bytes.substr(bytes.size() - tag.size());
    }
    bool Listed(const std::string& line) {
        const Texts lines = FeedListing();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

// Nothing of these answers is the whole episode: the first request starts the
// download, every later one answers 0 without asking the host again.
TEST_F(TrustedDownloadTest, ABodyThatIsNotTheWholeEpisodeIsNeverKeptAndTheFailureEnds) {
    const std::string episode = Episode();
    const std::string length = std::to_string(episode.size());
    const struct {
        const char* title;
        const char* path;
        HttpResponse answer;
        std::string length;  // the feed's enclosure length
    } cases[] = {
        {"Cut close", "/cut-close.mp3", Answer(episode, HttpResponse::Ending::CutWithoutLength), length},
        {"Cut length", "/cut-length.mp3", Answer(episode, HttpResponse::Ending::CutHalfway), "0"},
        {"Cut chunked", "/cut-chunked.mp3", Answer(episode, HttpResponse::Ending::CutChunked), "0"},
        {"Missing", "/missing.mp3", Status(404), length},
        {"Broken", "/broken.mp3", Status(500), length},
        {"Moved away", "/moved.mp3", Status(302, "/missing.mp3"), length},
        {"Login page", "/page.mp3", Page("<html><body>Please log in</body></html>"), "0"},
    };
    std::string items;
    for (const auto& c : cases) items += RssItem(c.title, ServeAnswer(c.path, c.answer), c.length, "audio/mp3");
    DropFeed(RssDocument("<title>Trouble</title>", items));
    FeedListing();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        OpenUntilEnded(c.title);
        EXPECT_EQ(Texts{}, FilesInMovies());
        EXPECT_EQ(0, Open(c.title));
        EXPECT_EQ(0, Open(c.title));
        EXPECT_TRUE(Listed("stream:/" + std::string(c.title) + ".pmp"));
        EXPECT_EQ(1, http_.RequestCount(c.path));
    }
}

TEST_F(TrustedDownloadTest, PollingAFailingItemAsksTheHostOncePerRetryDelay) {
    DropFeed(RssDocument("<title>Trouble</title>", RssItem("Missing", http_.Url("/missing.mp3"), "0", "audio/mp3")));
    FeedListing();
    constexpr int POLLS = 20;
    Texts answers;
    for (int poll = 0; poll < POLLS; ++poll) {
        answers.push_back(std::to_string(Open("Missing")));
        ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    }
    EXPECT_EQ(1, http_.RequestCount("/missing.mp3"));
    Texts expected(POLLS, "0");
    expected[0] = "51";
    EXPECT_EQ(expected, answers);

    // After the delay the item is tried again, and the host may have it now.
    constexpr std::chrono::milliseconds SHORT_DELAY{300};
    SetEnclosureRetryDelay(SHORT_DELAY);
    const std::string episode = Episode();
    ServeEnclosure("/missing.mp3", episode);
    ASSERT_TRUE(test_support::eventually([&] { return Open("Missing") == 51; }));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(2, http_.RequestCount("/missing.mp3"));
    EXPECT_EQ(Texts{"0missing.mp3"}, FilesInMovies());
    EXPECT_GE(Open("Missing[downloaded]"), 1);

    // A failure after the retry waits out the delay from its own end.
    ServeAnswer("/missing.mp3", Status(500));
    fs::remove(Movies() + "/0missing.mp3");
    const auto tried = std::chrono::steady_clock::now();  // the failure comes after this
    OpenUntilEnded("Missing");
    EXPECT_EQ(0, Open("Missing"));
    ASSERT_TRUE(test_support::eventually([&] { return Open("Missing") == 51; }));
    EXPECT_GE(std::chrono::steady_clock::now() - tried, SHORT_DELAY);
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(4, http_.RequestCount("/missing.mp3"));
}

// Hosts compress what they send whether asked or not: the episode and the
// feed document are stored and read decoded.
TEST_F(TrustedDownloadTest, ACompressedFeedAndEpisodeAreReadDecoded) {
    const std::string episode = Episode();
    HttpResponse packed = Answer(test_support::GzipStored(episode));
    packed.content_encoding = "gzip";
    HttpResponse whole_without_length = Answer(episode, HttpResponse::Ending::Whole);
    const std::string items =
        RssItem("Packed", ServeAnswer("/gz.mp3", packed), std::to_string(episode.size()), "audio/mp3") +
        RssItem("Plain", ServeAnswer("/plain.mp3", whole_without_length), std::to_string(episode.size()),
                "audio/mp3");
    HttpResponse feed = Answer(test_support::GzipStored(RssDocument("<title>Packed</title>", items)));
    feed.content_encoding = "gzip";
    feed.content_type = "application/rss+xml";
    DropFeedAnswer(feed);
    ASSERT_EQ((Texts{"dir:/..", "stream:/Packed.pmp", "stream:/Plain.pmp"}), FeedListing());
    OpenUntilEnded("Packed");
    OpenUntilEnded("Plain");
    const std::string size = std::to_string(episode.size());
    EXPECT_TRUE(episode == test_support::read_text(Movies() + "/" + size + "gz.mp3"));
    EXPECT_TRUE(episode == test_support::read_text(Movies() + "/" + size + "plain.mp3"));
    EXPECT_GE(Open("Packed[downloaded]"), 1);
}

// A host that ends the body by closing the connection is believed when the
// feed gives no length, or the length arrived.
TEST_F(TrustedDownloadTest, AWholeBodyIsKeptWhenTheFeedsLengthArrivedOrTheHostsLengthDid) {
    const std::string episode = Episode();
    // Half of a doubled episode: the whole episode arrives, and then the host closes.
    const HttpResponse closing = Answer(episode + episode, HttpResponse::Ending::CutWithoutLength);
    // A feed whose length is stale: the host announces and sends fewer bytes.
    const std::string stale = std::to_string(episode.size() + 1000);
    const std::string items =
        RssItem("Unknown", ServeAnswer("/unknown.mp3", closing), "0", "audio/mp3") +
        RssItem("Known", ServeAnswer("/known.mp3", closing), std::to_string(episode.size()), "audio/mp3") +
        RssItem("Re-cut", ServeAnswer("/recut.mp3", Answer(episode, HttpResponse::Ending::Whole)), stale, "audio/mp3");
    DropFeed(RssDocument("<title>Closing</title>", items));
    FeedListing();
    OpenUntilEnded("Unknown");
    OpenUntilEnded("Known");
    OpenUntilEnded("Re-cut");
    EXPECT_EQ((Texts{"0unknown.mp3", std::to_string(episode.size()) + "known.mp3", stale + "recut.mp3"}),
              FilesInMovies());
}

TEST_F(TrustedDownloadTest, AnEpisodeDeletedFromDiskIsListedGoneAndDownloadedAgain) {
    const std::string episode = Episode();
    DropFeed(RssDocument("<title>Radio</title>",
                         RssItem("Deleted later", ServeEnclosure("/later.mp3", episode), "5", "audio/mp3")));
    FeedListing();
    OpenUntilEnded("Deleted later");
    ASSERT_TRUE(Listed("stream:/Deleted later[downloaded].pmp"));
    ASSERT_TRUE(fs::remove(Movies() + "/5later.mp3"));

    EXPECT_EQ((Texts{"dir:/..", "stream:/Deleted later.pmp"}), FeedListing());
    OpenUntilEnded("Deleted later[downloaded]");
    EXPECT_EQ(2, http_.RequestCount("/later.mp3"));
    EXPECT_TRUE(episode == test_support::read_text(Movies() + "/5later.mp3"));
    EXPECT_GE(Open("Deleted later[downloaded]"), 1);

    // The same for a file found at the feed's reading.
    DropFeedAgain();
    ASSERT_TRUE(Listed("stream:/Deleted later[downloaded].pmp"));
    ASSERT_TRUE(fs::remove(Movies() + "/5later.mp3"));
    EXPECT_TRUE(Listed("stream:/Deleted later.pmp"));
    OpenUntilEnded("Deleted later");
    EXPECT_EQ(3, http_.RequestCount("/later.mp3"));
}

// ".../ep1/audio.mp3" and ".../ep2/audio.mp3" (and URLs ending in "/") would
// have the same name in MOVIES: each gets a file of its own, found again at
// the next reading, while a name that belongs to one item stays as it was.
TEST_F(TrustedDownloadTest, DistinctEnclosuresNeverShareAFile) {
    const struct {
        const char* title;
        const char* path;
        const char* body;
    } cases[] = {
        {"Same name one", "/ep1/audio.mp3", "episode one"},
        {"Same name two", "/ep2/audio.mp3", "episode two"},
        {"Folder one", "/show/one/", "folder one"},
        {"Folder two", "/show/two/", "folder two"},
        {"Alone", "/alone.mp3", "alone"},
    };
    DropRadio(cases, "0", [](const auto& c) { return std::string(c.body); });
    FeedListing();
    for (const auto& c : cases) OpenUntilEnded(c.title);
    const Texts files = FilesInMovies();
    EXPECT_EQ(std::size(cases), files.size());
    EXPECT_NE(files.end(), std::find(files.begin(), files.end(), "0alone.mp3"));
    for (const auto& c : cases) EXPECT_EQ(c.body, TagOfOpened(std::string(c.title) + "[downloaded]", c.body));

    DropFeedAgain();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_TRUE(Listed("stream:/" + std::string(c.title) + "[downloaded].pmp"));
        EXPECT_EQ(c.body, TagOfOpened(std::string(c.title) + "[downloaded]", c.body));
        EXPECT_EQ(1, http_.RequestCount(c.path));
    }
}

// A file of an earlier run under a name two enclosures would share is no
// item's: neither takes it for its own.
TEST_F(TrustedDownloadTest, AnEarlierFileUnderASharedNameIsTakenByNeither) {
    const std::string items = RssItem("One", ServeEnclosure("/ep1/audio.mp3", "one"), "0", "audio/mp3") +
                              RssItem("Two", ServeEnclosure("/ep2/audio.mp3", "two"), "0", "audio/mp3");
    server_ = std::make_unique<test_support::TestServer>();
    fs::create_directories(Movies());
    test_support::write_text(Movies() + "/0audio.mp3", "which one?");
    DropFeed(RssDocument("<title>Radio</title>", items));
    EXPECT_EQ((Texts{"dir:/..", "stream:/One.pmp", "stream:/Two.pmp"}), FeedListing());
    OpenUntilEnded("Two");
    EXPECT_EQ((Texts{"dir:/..", "stream:/One.pmp", "stream:/Two[downloaded].pmp"}), FeedListing());
    EXPECT_EQ("which one?", test_support::read_text(Movies() + "/0audio.mp3"));
}

// Each listed entry opens its own item: a later equal title is listed with a
// number that no other title has, and opening it fetches that item only.
TEST_F(TrustedDownloadTest, EqualTitlesAreListedApartAndEachOpensItsOwnItem) {
    const struct {
        const char* title;
        const char* path;
        const char* listed;
    } cases[] = {
        {"Dup", "/dup1.mp3", "Dup"},
        {"Dup", "/dup2.mp3", "Dup (3)"},
        {"Dup (2)", "/dup-two.mp3", "Dup (2)"},
        {"Dup", "/dup3.mp3", "Dup (4)"},
    };
    DropRadio(cases, "1", [](const auto& c) { return std::string(c.path); });
    EXPECT_EQ((Texts{"dir:/..", "stream:/Dup (2).pmp", "stream:/Dup (3).pmp", "stream:/Dup (4).pmp",
                     "stream:/Dup.pmp"}),
              FeedListing());
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].listed);
        OpenUntilEnded(cases[i].listed);
        for (size_t j = 0; j < std::size(cases); ++j) {
            EXPECT_EQ(j <= i ? 1 : 0, http_.RequestCount(cases[j].path)) << cases[j].path;
        }
        EXPECT_EQ(cases[i].path, TagOfOpened(std::string(cases[i].listed) + "[downloaded]", cases[i].path));
    }
    EXPECT_TRUE(Listed("stream:/Dup (3)[downloaded].pmp"));
}

TEST_F(TrustedDownloadTest, TitlesTheRequestWouldCutAreListedInAFormThatOpensTheirOwnItem) {
    const struct {
        const char* title;
        const char* path;
        const char* listed;
    } cases[] = {
        {"Has .pmp inside", "/pmp1.mp3", "Has _pmp inside"},
        {"Has _pmp inside", "/pmp2.mp3", "Has _pmp inside (2)"},
        {"Has", "/has.mp3", "Has"},  // what the cut name used to open
        {"Start at stime=30", "/stime.mp3", "Start at stime-30"},
        {"My listdir tricks", "/listdir.mp3", "My list dir tricks"},
    };
    DropRadio(cases, "1", [](const auto& c) { return std::string(c.path); });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listed);
        EXPECT_TRUE(Listed(std::string("stream:/") + c.listed + ".pmp"));
        OpenUntilEnded(c.listed);
        EXPECT_EQ(1, http_.RequestCount(c.path));
        EXPECT_EQ(c.path, TagOfOpened(std::string(c.listed) + "[downloaded]", c.path));
    }
}

}  // namespace
