#include "tests/feeds/feed_fixture.h"

#include <filesystem>
#include <mutex>

#include "core/ini_file.h"
#include "core/text_to_number.h"
#include "tests/support/files.h"

namespace test_support {

std::string FeedDataFolder() {
    return VANTREL_FEED_DATA_DIR;
}

std::string FeedDocument(const std::string& name) {
    const std::string path = FeedDataFolder() + "/" + name;
    EXPECT_TRUE(std::filesystem::is_regular_file(path))
        << "feed test document missing: " << path << " (set VANTREL_FEED_DATA to shared/data/feeds)";
    return read_text(path);
}

std::string RssDocument(const std::string& channelTitle, const std::string& items, const std::string& itunesUri) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\" xmlns:itunes=\"" + itunesUri +
           "\">\n<channel>\n" + channelTitle + "\n" + items + "</channel>\n</rss>\n";
}

std::string RssItem(const std::string& title, const std::string& url, const std::string& length,
                    const std::string& type, const std::string& duration) {
    std::string item = "<item><title>" + title + "</title><enclosure url=\"" + url + "\"";
    if (!length.empty()) item += " length=\"" + length + "\"";
    if (!type.empty()) item += " type=\"" + type + "\"";
    item += "/>";
    if (!duration.empty()) item += "<itunes:duration>" + duration + "</itunes:duration>";
    return item + "</item>\n";
}

std::vector<std::string> StoredFeedUrls(const std::string& iniPath) {
    CIniFile ini;
    ini.SetFileName(iniPath);
    std::vector<std::string> urls;
    const int count = TextToInt(ini.GetString("nrssfeeds", "StreamSettings"));
    for (int i = 1; i <= count; ++i) urls.push_back(ini.GetString("rssfeed_" + std::to_string(i), "StreamSettings"));
    return urls;
}

FeedFixture::FeedFixture()
    : dlg_(std::make_unique<CVantrelDlg>(folder_.path())), xmlHttp_(CreateXmlHttp()) {
    host_ = std::make_unique<CFeedHost>(CFeedHost{*dlg_, xmlHttp_.get(), tree_});
}

std::string FeedFixture::Serve(const std::string& path, const std::string& body, int status) {
    HttpResponse response;
    response.status = status;
    response.body = body;
    http_.Serve(path, response);
    return http_.Url(path);
}

std::string FeedFixture::ServeDocument(const std::string& name) {
    return Serve("/" + name, FeedDocument(name));
}

std::vector<std::string> FeedFixture::FeedUrls() {
    std::lock_guard<std::mutex> guard(dlg_->Lock());
    std::vector<std::string> urls;
    for (const CFeedPtr& feed : dlg_->m_feeds) urls.push_back(feed->m_strUrl);
    return urls;
}

}  // namespace test_support
