// The enclosure download as "streamopen" starts it, against a real HTTP server
// on loopback: the file appears under its local name only when all of it came
// with a success status; any failure leaves no file and the item failed.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feeds/enclosure_download.h"
#include "platform/event.h"
#include "stream/stream_state.h"
#include "tests/support/files.h"
#include "tests/support/http_server.h"
#include "tests/support/media_clips.h"
#include "tests/support/protocol_client.h"
#include "tests/support/test_server.h"

namespace fs = std::filesystem;
using test_support::HttpResponse;
using test_support::HttpServer;
using test_support::TestServer;

namespace {

constexpr char FEED_URL[] = "https://feeds.example/podcast";
constexpr int DOWNLOAD_WAIT_MS = 20000;

class EnclosureDownloadTest : public ::testing::Test {
protected:
    ~EnclosureDownloadTest() override {
        SetEnclosureRetryDelay(ENCLOSURE_RETRY_DELAY);
        StopEnclosureDownloads();
        server_.reset();
    }

    // One feed whose items have the given titles and enclosure URLs.
    void start(const std::vector<std::pair<std::string, std::string>>& items) {
        auto feed = std::make_shared<CFeed>();
        feed->m_strUrl = FEED_URL;
        for (const auto& [title, url] : items) {
            auto item = std::make_shared<CFeedItem>();
            item->m_strTitle = title;
            item->m_strEnclosureUrl = url;
            item->m_strLength = "4";  // a length every whole body here reaches
            item->m_strType = "audio/wav";
            feed->m_items.push_back(item);
            items_.push_back(item);
        }
        server_ = std::make_unique<TestServer>([&](CVantrelDlg& record) { record.m_feeds = {feed}; });
        test_support::ListDir(port(), test_support::ListDirRequest(std::string("\\") + FEED_URL, 4096));
    }
    uint16_t port() const { return server_->port(); }

    int32_t open_name(const std::string& name) {
        return test_support::StreamOpen(port(), "streamopen filename=" + name + ".pmp").value_or(-99);
    }
    std::string movies() const { return server_->program_folder().file("MOVIES"); }
    std::string local_path(const CFeedItem& item) {
        std::lock_guard<std::mutex> lock(server_->record().Lock());
        return item.m_strLocalPath;
    }
    std::vector<std::string> files_in_movies() const {
        std::vector<std::string> names;
        std::error_code ignored;
        if (fs::is_directory(movies())) {
            for (const auto& entry : fs::directory_iterator(movies(), ignored)) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }
    static std::vector<std::string> sorted(std::vector<std::string> names) {
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> messages() {
        std::vector<std::string> texts;
        for (const platform::PostedMessage& message : server_messages()) texts.push_back(*message.text);
        return texts;
    }
    // The WM_SERVER_MESSAGE posts since the last look, each the text of a box.
    std::vector<platform::PostedMessage> server_messages() {
        std::vector<platform::PostedMessage> posted;
        for (platform::PostedMessage& message : server_->record().Messages().drain()) {
            if (message.message == WM_SERVER_MESSAGE && message.text) posted.push_back(std::move(message));
        }
        return posted;
    }
    // Asks for the item as the PSP does and waits until its download has ended.
    void open_until_ended(const std::string& name) {
        EXPECT_EQ(51, open_name(name));
        ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    }

    // A failed download is reported, but a stream the PSP is watching meanwhile goes on.
    static void expect_no_stream_stopped() {
        ASSERT_TRUE(transcode_stop_event.valid());
        EXPECT_NE(0, platform::wait_for_one(transcode_stop_event, 0));
    }

    HttpServer http_;
    std::unique_ptr<TestServer> server_;
    std::vector<CFeedItemPtr> items_;
};

TEST_F(EnclosureDownloadTest, AnItemNotOnDiskIsDownloadedOnceThenStreamed) {
    const std::string body = test_support::read_text(test_support::test_clip(test_support::clip_kind::wav_audio));
    HttpResponse held;
    held.body = body;
    held.held = true;
    http_.Serve("/one.wav", held);
    start({{"Episode One", http_.Url("/one.wav")}});
    ASSERT_FALSE(fs::exists(movies()));
    CFeedItem& item = *items_[0];

    EXPECT_EQ(51, open_name("Episode One"));
    EXPECT_EQ(FEED_ITEM_DOWNLOADING, item.m_nState.load());
    EXPECT_EQ(51, open_name("Episode One[downloading]"));
    EXPECT_EQ(FEED_ITEM_DOWNLOADING, item.m_nState.load());
    EXPECT_EQ("", local_path(item));

    http_.Release();
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(FEED_ITEM_DONE, item.m_nState.load());
    const std::string expected = movies() + "/4one.wav";
    EXPECT_EQ(expected, local_path(item));
    EXPECT_EQ(body, test_support::read_text(expected));
    EXPECT_EQ(std::vector<std::string>{"4one.wav"}, files_in_movies());
    EXPECT_EQ(1, http_.RequestCount("/one.wav"));
    EXPECT_TRUE(messages().empty());

    EXPECT_EQ(1, open_name("Episode One[downloaded]"));
    EXPECT_EQ(1, http_.RequestCount("/one.wav"));
}

TEST_F(EnclosureDownloadTest, AFailedDownloadLeavesNoFileAnswersZeroAndIsRetriedAfterTheDelay) {
    HttpResponse not_found;
    not_found.status = 404;
    not_found.body = "no such episode";
    HttpResponse cut;
    cut.body = std::string(300000, 'x');
    cut.ending = HttpResponse::Ending::CutHalfway;
    HttpResponse server_error;
    server_error.status = 500;
    server_error.body = "oops";
    http_.Serve("/gone.wav", not_found);
    http_.Serve("/cut.wav", cut);
    http_.Serve("/error.wav", server_error);
    const struct {
        const char* title;
        std::string url;
    } cases[] = {
        {"Gone", http_.Url("/gone.wav")},
        {"Cut", http_.Url("/cut.wav")},
        {"Broken", http_.Url("/error.wav")},
        {"Nobody", "http://127.0.0.1:1/nobody.wav"},  // nothing listens there
        {"Local", "file:///etc/hostname"},             // only http and https are fetched
    };
    std::vector<std::pair<std::string, std::string>> items;
    for (const auto& c : cases) items.emplace_back(c.title, c.url);
    start(items);

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].title);
        transcode_stop_event.reset();
        EXPECT_EQ(51, open_name(cases[i].title));
        ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
        EXPECT_EQ(FEED_ITEM_FAILED, items_[i]->m_nState.load());
        EXPECT_EQ("", local_path(*items_[i]));
        EXPECT_TRUE(files_in_movies().empty());
        EXPECT_EQ(0, open_name(cases[i].title));
        const std::vector<std::string> texts = messages();
        ASSERT_EQ(1u, texts.size());
        EXPECT_EQ(0u, texts[0].find("Error while downloading \"" + cases[i].url + "\" : ")) << texts[0];
        expect_no_stream_stopped();
    }

    // Once the enclosure is there, the first request after the retry delay downloads it.
    SetEnclosureRetryDelay(std::chrono::milliseconds(0));
    HttpResponse fixed;
    fixed.body = "now it is here";
    http_.Serve("/gone.wav", fixed);
    EXPECT_EQ(51, open_name("Gone"));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(FEED_ITEM_DONE, items_[0]->m_nState.load());
    EXPECT_EQ("now it is here", test_support::read_text(movies() + "/4gone.wav"));
    EXPECT_EQ(2, http_.RequestCount("/gone.wav"));
}

TEST_F(EnclosureDownloadTest, AFileThatCannotBeWrittenIsReportedWithItsName) {
    HttpResponse ok;
    ok.body = "episode";
    http_.Serve("/one.wav", ok);
    start({{"Episode One", http_.Url("/one.wav")}});
    std::ofstream(movies()) << "a file where the folder should be";
    transcode_stop_event.reset();

    EXPECT_EQ(51, open_name("Episode One"));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(FEED_ITEM_FAILED, items_[0]->m_nState.load());
    EXPECT_EQ("", local_path(*items_[0]));
    const std::vector<std::string> texts = messages();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("Error while writing file \"" + movies() + "/4one.wav\" : Not a directory", texts[0]);
    expect_no_stream_stopped();
}

// Signed and tracking addresses carry queries longer than a file name may be.
TEST_F(EnclosureDownloadTest, AnEnclosureWithAVeryLongNameIsDownloadedUnderAShortenedOne) {
    HttpResponse ok;
    ok.body = "long episode";
    const std::string signed_path = "/long.wav?signature=" + std::string(300, 'a');
    http_.Serve(signed_path, ok);
    start({{"Long", http_.Url(signed_path)}});

    EXPECT_EQ(51, open_name("Long"));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(FEED_ITEM_DONE, items_[0]->m_nState.load());
    const std::string path = local_path(*items_[0]);
    EXPECT_EQ("long episode", test_support::read_text(path));
    EXPECT_EQ(movies(), fs::path(path).parent_path().string());
    EXPECT_LE(fs::path(path).filename().string().size(), 255u);
    // The name the next reading of the feed looks for.
    std::lock_guard<std::mutex> lock(server_->record().Lock());
    EXPECT_EQ(path, FeedItemLocalPath(server_->program_folder().path(), *items_[0],
                                      server_->record().m_extensionList));
}

// A download cut short by a crash leaves its temporary file; the next download
// clears such leftovers, but never the file of one that is still running.
TEST_F(EnclosureDownloadTest, LeftoversOfAnEndedRunAreClearedButNotARunningDownload) {
    HttpResponse held;
    held.body = std::string(1000, 'h');
    held.held = true;
    HttpResponse quick;
    quick.body = "quick";
    HttpServer other_host;  // serves while the first one holds its answer
    http_.Serve("/held.wav", held);
    other_host.Serve("/quick.wav", quick);
    start({{"Held", http_.Url("/held.wav")}, {"Quick", other_host.Url("/quick.wav")}});
    fs::create_directories(movies());
    const std::string leftover = movies() + "/.download-Ab12Cd";
    std::ofstream(leftover) << "half of an earlier episode";

    EXPECT_EQ(51, open_name("Held"));
    bool held_running = false;
    for (int i = 0; i < 200 && !held_running; ++i) {
        held_running = http_.RequestCount("/held.wav") == 1;
        if (!held_running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(held_running);
    EXPECT_FALSE(fs::exists(leftover));
    const std::vector<std::string> running = files_in_movies();
    ASSERT_EQ(1u, running.size());
    EXPECT_EQ(0u, running[0].find(".download-"));
    EXPECT_EQ(51, open_name("Quick"));
    bool quick_done = false;
    for (int i = 0; i < 250 && !quick_done; ++i) {
        quick_done = items_[1]->m_nState.load() == FEED_ITEM_DONE;
        if (!quick_done) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(quick_done);
    EXPECT_TRUE(fs::exists(movies() + "/" + running[0]));

    http_.Release();
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(std::vector<std::string>{}, messages());
    EXPECT_EQ(FEED_ITEM_DONE, items_[0]->m_nState.load());
    EXPECT_EQ(held.body.size(), test_support::read_text(movies() + "/4held.wav").size());
    EXPECT_EQ((std::vector<std::string>{"4held.wav", "4quick.wav"}), sorted(files_in_movies()));
}

TEST_F(EnclosureDownloadTest, StoppingTheDownloadsEndsOneThatIsWaitingForData) {
    HttpResponse held;
    held.body = "never sent";
    held.held = true;
    http_.Serve("/slow.wav", held);
    start({{"Slow", http_.Url("/slow.wav")}});
    EXPECT_EQ(51, open_name("Slow"));
    StopEnclosureDownloads();
    EXPECT_TRUE(WaitForEnclosureDownloads(0));
    EXPECT_EQ(FEED_ITEM_NONE, items_[0]->m_nState.load());
    EXPECT_TRUE(files_in_movies().empty());
}

// Feeds write enclosure URLs as they come: blanks and bytes that are no URL
// characters are escaped for the fetch; the local name keeps them as written.
TEST_F(EnclosureDownloadTest, AnEnclosureUrlWithBlanksOrOtherBytesOutsideUrlsIsFetchedEscaped) {
    const struct {
        const char* title;
        std::string url;     // as the feed writes it
        const char* served;  // the path the server is asked for
        const char* local;   // the file in MOVIES
    } cases[] = {
        {"Blank", http_.Url("/my episode.wav"), "/my%20episode.wav", "4my episode.wav"},
        {"Accented", http_.Url("/caf\xC3\xA9 \"live\".wav"), "/caf%C3%A9%20%22live%22.wav",
         "4caf\xC3\xA9 \"live\".wav"},
        {"Query", http_.Url("/show.wav?from=a b|c"), "/show.wav?from=a%20b%7Cc", "4show.wav_from=a b|c.mpg"},
        {"Folder", http_.Url("/in dir/{x}.wav"), "/in%20dir/%7Bx%7D.wav", "4{x}.wav"},
        {"Leading blanks", "  " + http_.Url("/padded.wav"), "/padded.wav", "4padded.wav"},
        {"Escaped already", http_.Url("/done%20before.wav"), "/done%20before.wav", "4done%20before.wav"},
    };
    std::vector<std::pair<std::string, std::string>> items;
    for (const auto& c : cases) {
        HttpResponse ok;
        ok.body = std::string("body of ") + c.title;
        http_.Serve(c.served, ok);
        items.emplace_back(c.title, c.url);
    }
    start(items);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].title);
        open_until_ended(cases[i].title);
        EXPECT_EQ(std::vector<std::string>{}, messages());
        EXPECT_EQ(1, http_.RequestCount(cases[i].served));
        EXPECT_EQ(FEED_ITEM_DONE, items_[i]->m_nState.load());
        const std::string expected = movies() + "/" + cases[i].local;
        EXPECT_EQ(expected, local_path(*items_[i]));
        EXPECT_EQ(std::string("body of ") + cases[i].title, test_support::read_text(expected));
    }
}

// The PSP asks for an item again and again while its enclosure keeps failing:
// one box at a time for that download, while another download has its own.
TEST_F(EnclosureDownloadTest, RetriesOfAFailingDownloadShowOneBoxUntilItIsDismissed) {
    HttpResponse not_found;
    not_found.status = 404;
    http_.Serve("/gone.wav", not_found);
    http_.Serve("/lost.wav", not_found);
    start({{"Gone", http_.Url("/gone.wav")}, {"Lost", http_.Url("/lost.wav")}});
    SetEnclosureRetryDelay(std::chrono::milliseconds(0));
    constexpr int RETRIES = 8;
    for (int retry = 0; retry < RETRIES; ++retry) open_until_ended("Gone");
    EXPECT_EQ(RETRIES, http_.RequestCount("/gone.wav"));  // each retry still tries
    const std::vector<platform::PostedMessage> gone = server_messages();
    ASSERT_EQ(1u, gone.size());
    EXPECT_EQ("Error while downloading \"" + http_.Url("/gone.wav") + "\" : The requested URL returned error: 404",
              *gone[0].text);
    EXPECT_NE(0u, gone[0].wParam);

    open_until_ended("Lost");
    const std::vector<platform::PostedMessage> lost = server_messages();
    ASSERT_EQ(1u, lost.size());
    EXPECT_NE(std::string::npos, lost[0].text->find("/lost.wav"));
    EXPECT_NE(gone[0].wParam, lost[0].wParam);

    EnclosureFailureDismissed(gone[0].wParam);
    open_until_ended("Gone");
    open_until_ended("Gone");
    const std::vector<platform::PostedMessage> again = server_messages();
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(*gone[0].text, *again[0].text);
    EnclosureFailureDismissed(again[0].wParam);
    EnclosureFailureDismissed(lost[0].wParam);
}

}  // namespace
