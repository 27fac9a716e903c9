#pragma once
// What the feed tests share: a settings record in a fresh program folder, the
// feed tree in memory, the request object and a real HTTP server on loopback
// that serves the real podcast documents and small ones of the tests' own.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/vantrel_dlg.h"
#include "feeds/rss_reader.h"
#include "tests/feeds/memory_feed_tree.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace test_support {

// The folder of the real documents; a test that needs it fails when it is missing.
std::string FeedDataFolder();
// The bytes of one real document.
std::string FeedDocument(const std::string& name);

// An RSS 2.0 document: a channel with the title element given whole (or none)
// and the item elements given, inside <rss> with the iTunes prefix bound to uri.
std::string RssDocument(const std::string& channelTitle, const std::string& items,
                        const std::string& itunesUri = "http://www.itunes.com/dtds/podcast-1.0.dtd");
// One item element with an enclosure; empty attribute texts are left out.
std::string RssItem(const std::string& title, const std::string& url, const std::string& length = "",
                    const std::string& type = "", const std::string& duration = "");

// The feed URLs stored in a settings file ("nrssfeeds", "rssfeed_%d").
std::vector<std::string> StoredFeedUrls(const std::string& iniPath);

class FeedFixture : public ::testing::Test {
protected:
    FeedFixture();

    // Serves body under path and gives its URL.
    std::string Serve(const std::string& path, const std::string& body, int status = 200);
    // Serves a real document under "/<name>" and gives its URL.
    std::string ServeDocument(const std::string& name);

    // The URLs of m_feeds, in order (under the record's lock).
    std::vector<std::string> FeedUrls();
    std::string MoviesFolder() const { return folder_.file("MOVIES"); }

    TempDir folder_{"vantrel-feeds"};
    std::unique_ptr<CVantrelDlg> dlg_;
    HttpServer http_;
    MemoryFeedTree tree_;
    std::unique_ptr<CXmlHttpRequest> xmlHttp_;
    std::unique_ptr<CFeedHost> host_;
};

}  // namespace test_support
