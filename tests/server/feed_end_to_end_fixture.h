#pragma once
// The stream server in-process with a feed dropped onto its record, the feed
// and its enclosures served by a real HTTP server on loopback, and the PSP's
// "listdir" and "streamopen" over real sockets.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/feed.h"
#include "feeds/rss_reader.h"
#include "tests/feeds/memory_feed_tree.h"
#include "tests/support/http_server.h"
#include "tests/support/test_server.h"

namespace test_support {

constexpr int DOWNLOAD_WAIT_MS = 20000;

class FeedEndToEndFixture : public ::testing::Test {
protected:
    using Texts = std::vector<std::string>;

    FeedEndToEndFixture();
    ~FeedEndToEndFixture() override;

    // The stream server runs while the feed is dropped onto its record; it is
    // started here unless the test started it (to put files in MOVIES first).
    void DropFeed(const std::string& document);
    // The same with the feed document's whole answer given.
    void DropFeedAnswer(const HttpResponse& answer);
    // The feed deleted with the Delete key and dropped again, as the next start
    // reads it: new items, with what MOVIES holds.
    void DropFeedAgain();
    uint16_t port() const { return server_->port(); }
    std::string Movies() const { return server_->program_folder().file("MOVIES"); }
    std::string ServeEnclosure(const std::string& path, const std::string& body, bool held = false);
    std::string ServeAnswer(const std::string& path, const HttpResponse& answer);
    // The feed's listing lines without the settings line.
    Texts FeedListing();
    int32_t Open(const std::string& name);
    CFeedItemPtr Item(size_t index);
    // The names of the files in MOVIES, sorted.
    Texts FilesInMovies() const;

    HttpServer http_;
    std::unique_ptr<CXmlHttpRequest> xmlHttp_;
    MemoryFeedTree tree_;
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<CFeedHost> host_;
    std::string feed_url_;
};

}  // namespace test_support
