// The enclosure download as "streamopen" starts it, against a real HTTP server
// on loopback: the file appears under its local name only when all of it came
// with a success status; any failure leaves no file and the item in state 0.

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
            item->m_strLength = "42";
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
        for (platform::PostedMessage& message : server_->record().Messages().drain()) {
            if (message.message == WM_SERVER_MESSAGE && message.text) texts.push_back(*message.text);
        }
        return texts;
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
    const std::string expected = movies() + "/42one.wav";
    EXPECT_EQ(expected, local_path(item));
    EXPECT_EQ(body, test_support::read_text(expected));
    EXPECT_EQ(std::vector<std::string>{"42one.wav"}, files_in_movies());
    EXPECT_EQ(1, http_.RequestCount("/one.wav"));
    EXPECT_TRUE(messages().empty());

    EXPECT_EQ(1, open_name("Episode One[downloaded]"));
    EXPECT_EQ(1, http_.RequestCount("/one.wav"));
}

TEST_F(EnclosureDownloadTest, AFailedDownloadLeavesNoFileAndALaterRequestStartsAfresh) {
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
        EXPECT_EQ(FEED_ITEM_NONE, items_[i]->m_nState.load());
        EXPECT_EQ("", local_path(*items_[i]));
        EXPECT_TRUE(files_in_movies().empty());
        const std::vector<std::string> texts = messages();
        ASSERT_EQ(1u, texts.size());
        EXPECT_EQ(0u, texts[0].find("Error while downloading \"" + cases[i].url + "\" : ")) << texts[0];
        expect_no_stream_stopped();
    }

    // Once the enclosure is there, the next request downloads it.
    HttpResponse fixed;
    fixed.body = "now it is here";
    http_.Serve("/gone.wav", fixed);
    EXPECT_EQ(51, open_name("Gone"));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(FEED_ITEM_DONE, items_[0]->m_nState.load());
    EXPECT_EQ("now it is here", test_support::read_text(movies() + "/42gone.wav"));
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
    EXPECT_EQ(FEED_ITEM_NONE, items_[0]->m_nState.load());
    EXPECT_EQ("", local_path(*items_[0]));
    const std::vector<std::string> texts = messages();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("Error while writing file \"" + movies() + "/42one.wav\" : Not a directory", texts[0]);
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
    EXPECT_EQ(held.body.size(), test_support::read_text(movies() + "/42held.wav").size());
    EXPECT_EQ((std::vector<std::string>{"42held.wav", "42quick.wav"}), sorted(files_in_movies()));
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

}  // namespace
