#include "tests/server/feed_end_to_end_fixture.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <mutex>

#include "feeds/enclosure_download.h"
#include "feeds/feed_drop_target.h"
#include "tests/support/protocol_client.h"

namespace test_support {

FeedEndToEndFixture::FeedEndToEndFixture() : xmlHttp_(CreateXmlHttp()) {}

FeedEndToEndFixture::~FeedEndToEndFixture() {
    StopEnclosureDownloads();
    server_.reset();
}

void FeedEndToEndFixture::DropFeed(const std::string& document) {
    HttpResponse response;
    response.body = document;
    DropFeedAnswer(response);
}

void FeedEndToEndFixture::DropFeedAnswer(const HttpResponse& answer) {
    const std::string url = ServeAnswer("/feed.rss", answer);
    if (!server_) server_ = std::make_unique<TestServer>();
    host_ = std::make_unique<CFeedHost>(CFeedHost{server_->record(), xmlHttp_.get(), tree_});
    CFeedDropTarget target(*host_);
    target.Drop(CDataObject{{DataFormat{CF_UNIFORM_RESOURCE_LOCATOR, DataMedium::GlobalMemory, url}}});
    feed_url_ = url;
}

void FeedEndToEndFixture::DropFeedAgain() {
    tree_.Select(MemoryFeedTree::ItemOf(*tree_.TopLevel().at(0)));
    OnFeedTreeKeyDown(*host_, VK_DELETE);
    CFeedDropTarget(*host_).Drop(
        CDataObject{{DataFormat{CF_UNIFORM_RESOURCE_LOCATOR, DataMedium::GlobalMemory, feed_url_}}});
}

std::string FeedEndToEndFixture::ServeEnclosure(const std::string& path, const std::string& body, bool held) {
    HttpResponse response;
    response.body = body;
    response.held = held;
    return ServeAnswer(path, response);
}

std::string FeedEndToEndFixture::ServeAnswer(const std::string& path, const HttpResponse& answer) {
    http_.Serve(path, answer);
    return http_.Url(path);
}

FeedEndToEndFixture::Texts FeedEndToEndFixture::FeedListing() {
    const ListDirReply reply = ListDir(port(), ListDirRequest("\\" + feed_url_, 65536));
    EXPECT_TRUE(reply.well_formed);
    Texts lines;
    for (const std::string& line : reply.lines) {
        if (!line.empty() && line.compare(0, 7, "config:") != 0) lines.push_back(line);
    }
    return lines;
}

int32_t FeedEndToEndFixture::Open(const std::string& name) {
    return StreamOpen(port(), "streamopen filename=" + name + ".pmp").value_or(-99);
}

CFeedItemPtr FeedEndToEndFixture::Item(size_t index) {
    std::lock_guard<std::mutex> guard(server_->record().Lock());
    auto item = server_->record().m_feeds.front()->m_items.begin();
    std::advance(item, index);
    return *item;
}

FeedEndToEndFixture::Texts FeedEndToEndFixture::FilesInMovies() const {
    Texts names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Movies(), ignored)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace test_support
