// Dropping URLs on the feed tree and the Delete key, each case checked in the
// feed list, the tree and the settings file.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "feeds/feed_drop_target.h"
#include "tests/feeds/feed_fixture.h"

using test_support::RssDocument;
using test_support::RssItem;
using Texts = std::vector<std::string>;

namespace {

class FeedDropTest : public test_support::FeedFixture {
protected:
    FeedDropTest() {
        for (const char* name : {"A", "B", "C", "D"}) {
            Serve(std::string("/") + name,
                  RssDocument(std::string("<title>") + name + "</title>", RssItem("E", "http://h/e.mp3")));
        }
        // "/café🎵", which goes out percent-encoded
        Serve("/caf%c3%a9%f0%9f%8e%b5", RssDocument("<title>caf\xC3\xA9\xF0\x9F\x8E\xB5</title>", ""));
        Serve("/page", "<!DOCTYPE html>\n<html><head><title>A shop</title></head><body></body></html>");
    }

    std::string Url(const std::string& name) { return http_.Url("/" + name); }

    static CDataObject Offer(std::vector<DataFormat> formats) { return CDataObject{std::move(formats)}; }
    // The URL text in the format's own form.
    DataFormat UrlFormat(const std::string& name, DataMedium medium = DataMedium::GlobalMemory,
                         const char* formatName = CF_UNIFORM_RESOURCE_LOCATOR) {
        return DataFormat{formatName, medium, Url(name) + std::string(1, '\0')};
    }
    void DropUrl(const std::string& name) { target_.Drop(Offer({UrlFormat(name)})); }

    // The top-level item whose text is text (the last of equal ones).
    FeedTreeItem FeedItem(const std::string& text) {
        FeedTreeItem found = FEED_TREE_NO_ITEM;
        for (const auto& node : tree_.TopLevel()) {
            if (node->text == text) found = test_support::MemoryFeedTree::ItemOf(*node);
        }
        return found;
    }
    void Delete(FeedTreeItem item) {
        tree_.Select(item);
        OnFeedTreeKeyDown(*host_, VK_DELETE);
    }

    // The list, the tree and the settings file hold these feeds, in this order.
    void ExpectFeeds(const Texts& names) {
        Texts urls;
        for (const std::string& name : names) urls.push_back(Url(name));
        EXPECT_EQ(urls, FeedUrls());
        EXPECT_EQ(names, tree_.FeedTexts());
        EXPECT_EQ(urls, test_support::StoredFeedUrls(folder_.file("Vantrel.ini")));
        std::lock_guard<std::mutex> guard(dlg_->Lock());
        auto feed = dlg_->m_feeds.begin();
        for (size_t i = 0; i < tree_.TopLevel().size() && feed != dlg_->m_feeds.end(); ++i, ++feed) {
            EXPECT_EQ((*feed)->m_nId, tree_.TopLevel()[i]->data) << "tree item " << i;
        }
    }

    CFeedDropTarget target_{*host_};
};

// ---- drops ----------------------------------------------------------------------

std::string Utf16(const std::string& ascii) {
    std::string bytes;
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

TEST_F(FeedDropTest, OnlyAUrlInMemoryIsLoaded) {
    const struct {
        const char* name;
        CDataObject data;
        Texts feeds;
    } cases[] = {
        {"the URL format", Offer({UrlFormat("A")}), {"A"}},
        {"a URI list", Offer({{"text/uri-list", DataMedium::GlobalMemory, "# dragged\r\n" + Url("A") + "\r\n" + Url("B") + "\r\n"}}),
         {"A"}},
        {"a Mozilla URL", Offer({{"text/x-moz-url", DataMedium::GlobalMemory, Utf16(Url("A") + "\nThe A feed")}}), {"A"}},
        {"a Mozilla URL beyond ASCII",
         Offer({{"text/x-moz-url", DataMedium::GlobalMemory,
                 Utf16(Url("caf")) + std::string("\xE9\0\x3C\xD8\xB5\xDF\n\0", 8) + Utf16("Title")}}),
         {"caf\xC3\xA9\xF0\x9F\x8E\xB5"}},
        {"an HTML page", Offer({UrlFormat("page")}), {}},
        {"a file from the file manager", Offer({{"text/uri-list", DataMedium::GlobalMemory, "file:///home/user/A.rss\r\n"}}), {}},
        {"a plain file", Offer({{"FileName", DataMedium::GlobalMemory, "/home/user/A.rss"}, {"text/plain", DataMedium::GlobalMemory, Url("A")}}),
         {}},
        {"the URL format in a file, then in memory", Offer({UrlFormat("B", DataMedium::File), UrlFormat("A")}), {"A"}},
        {"the URL format only in a stream", Offer({UrlFormat("A", DataMedium::Stream)}), {}},
        {"a failed load still ends the drop", Offer({UrlFormat("page"), UrlFormat("A")}), {}},
        {"nothing offered", Offer({}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir folder("vantrel-drop");
        CVantrelDlg dlg(folder.path());
        test_support::MemoryFeedTree tree;
        CFeedHost host{dlg, xmlHttp_.get(), tree};
        CFeedDropTarget target(host);
        target.Drop(c.data);
        Texts urls;
        for (const std::string& name : c.feeds) urls.push_back(Url(name));
        Texts listed;
        for (const CFeedPtr& feed : dlg.m_feeds) listed.push_back(feed->m_strUrl);
        EXPECT_EQ(urls, listed);
        EXPECT_EQ(c.feeds, tree.FeedTexts());
        EXPECT_EQ(urls, test_support::StoredFeedUrls(folder.file("Vantrel.ini")));
    }
}

TEST_F(FeedDropTest, TheSameUrlTwiceMakesTwoFeeds) {
    DropUrl("A");
    DropUrl("A");
    ExpectFeeds({"A", "A"});
    std::lock_guard<std::mutex> guard(dlg_->Lock());
    EXPECT_NE(dlg_->m_feeds.front(), dlg_->m_feeds.back());
}

// ---- Delete --------------------------------------------------------------------------

TEST_F(FeedDropTest, DeleteOnAnythingButAFeedChangesNothing) {
    DropUrl("A");
    DropUrl("B");
    const FeedTreeItem child = test_support::MemoryFeedTree::ItemOf(*tree_.TopLevel()[1]->children.at(0));
    const struct {
        const char* name;
        FeedTreeItem selected;
        int key;
    } cases[] = {
        {"a feed's item", child, VK_DELETE},
        {"nothing selected", FEED_TREE_NO_ITEM, VK_DELETE},
        {"another key", FeedItem("B"), 0x2D /* Insert */},
        {"a letter", FeedItem("B"), 'D'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tree_.Select(c.selected);
        OnFeedTreeKeyDown(*host_, c.key);
        ExpectFeeds({"A", "B"});
        EXPECT_EQ(1u, tree_.ChildTexts(1).size());
    }
}

TEST_F(FeedDropTest, DeleteTakesOutExactlyTheSelectedFeedAfterAnyDeletesAndDrops) {
    DropUrl("A");
    DropUrl("B");
    DropUrl("C");
    Delete(FeedItem("A"));  // every later feed moves one place forward
    ExpectFeeds({"B", "C"});
    DropUrl("D");  // made when two feeds were left: a position would equal C's old one
    ExpectFeeds({"B", "C", "D"});
    Delete(FeedItem("C"));
    ExpectFeeds({"B", "D"});
    DropUrl("A");
    Delete(FeedItem("D"));
    ExpectFeeds({"B", "A"});
    Delete(FeedItem("B"));
    Delete(FeedItem("A"));
    ExpectFeeds({});
    DropUrl("C");
    ExpectFeeds({"C"});
}

TEST_F(FeedDropTest, OfTwoFeedsWithOneUrlDeleteTakesTheSelectedOne) {
    DropUrl("A");
    DropUrl("B");
    DropUrl("A");
    CFeedPtr last;
    {
        std::lock_guard<std::mutex> guard(dlg_->Lock());
        last = dlg_->m_feeds.back();
    }
    Delete(test_support::MemoryFeedTree::ItemOf(*tree_.TopLevel()[0]));
    ExpectFeeds({"B", "A"});
    std::lock_guard<std::mutex> guard(dlg_->Lock());
    EXPECT_EQ(last, dlg_->m_feeds.back());
}

TEST_F(FeedDropTest, AStoredFeedThatFailsToLoadStaysAndTheOthersDeleteRightly) {
    {
        std::lock_guard<std::mutex> guard(dlg_->Lock());
        for (const std::string& url : {Url("A"), Url("page"), Url("C")}) {
            auto feed = std::make_shared<CFeed>();
            feed->m_strUrl = url;
            dlg_->m_feeds.push_back(feed);
        }
    }
    LoadStoredFeeds(*host_);
    EXPECT_EQ((Texts{"A", "C"}), tree_.FeedTexts());
    Delete(FeedItem("C"));
    EXPECT_EQ((Texts{Url("A"), Url("page")}), FeedUrls());
    EXPECT_EQ((Texts{"A"}), tree_.FeedTexts());
    EXPECT_EQ((Texts{Url("A"), Url("page")}), test_support::StoredFeedUrls(folder_.file("Vantrel.ini")));
}

}  // namespace
