// The feed tree in the dialog: stored feeds fetched from a real HTTP server on
// loopback before the window shows, a dropped URL added, Delete taking a feed
// out, and the tree widget as the feed code's tree.

#include <gtest/gtest.h>

#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <algorithm>
#include <string>
#include <vector>

#include "app/feed_tree_widget.h"
#include "tests/app/dialog_fixture.h"
#include "tests/support/http_server.h"

namespace {

using gui_test::DialogTest;

std::string Rss(const std::string& title, const std::vector<std::string>& enclosures) {
    std::string items;
    for (const std::string& url : enclosures) {
        items += "<item><title>t</title><enclosure url=\"" + url +
                 "\" length=\"100\" type=\"audio/mpeg\"/><itunes:duration>12:30</itunes:duration></item>\n";
    }
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\">"
           "<channel><title>" + title + "</title>\n" + items + "</channel></rss>\n";
}

QStringList TopLevelTexts(const QTreeWidget& tree) {
    QStringList texts;
    for (int i = 0; i < tree.topLevelItemCount(); ++i) texts << tree.topLevelItem(i)->text(0);
    return texts;
}

class FeedTreeTest : public DialogTest {
protected:
    void ServeFeeds() {
        http_.Serve("/tech.xml", gui_test::Page(Rss("Tech Weekly", {"http://h/ep/episode-12.mp3", "http://h/ep/episode-11.mp3"})));
        http_.Serve("/nature.xml", gui_test::Page(Rss("Nature Sounds", {"http://h/n/rain.mp3"})));
        http_.Serve("/page.html", gui_test::Page("<html><body>no feed</body></html>"));
    }

    std::string StoredFeeds(const std::vector<std::string>& paths) {
        std::string keys = "nrssfeeds=" + std::to_string(paths.size()) + "\n";
        for (size_t i = 0; i < paths.size(); ++i) {
            keys += "rssfeed_" + std::to_string(i + 1) + "=" + http_.Url(paths[i]) + "\n";
        }
        return keys;
    }

    // As a drag does: enter, move, drop on the tree's viewport.
    bool Drop(QMimeData* data) {
        QWidget* viewport = window_->FeedTree()->viewport();
        const QPoint at(10, 10);
        QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QDragMoveEvent move(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &move);
        QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
        return enter.isAccepted() && move.isAccepted();
    }

    test_support::HttpServer http_;
};

TEST_F(FeedTreeTest, StoredFeedsAreFetchedInOrderBeforeTheWindowShows) {
    ServeFeeds();
    WriteIni(StoredFeeds({"/tech.xml", "/missing.xml", "/nature.xml"}));
    MakeDialog();
    window_->OnInitDialog();
    EXPECT_FALSE(window_->isVisible());
    CFeedTreeWidget* tree = window_->FeedTree();
    // A feed that fails to load keeps its place in the list, without an item.
    EXPECT_EQ(TopLevelTexts(*tree), (QStringList{"Tech Weekly", "Nature Sounds"}));
    ASSERT_EQ(tree->topLevelItem(0)->childCount(), 2);
    EXPECT_EQ(tree->topLevelItem(0)->child(0)->text(0), "episode-11.mp3 12:30");
    EXPECT_EQ(tree->topLevelItem(0)->child(1)->text(0), "episode-12.mp3 12:30");
    EXPECT_EQ(tree->indentation(), 10);
    std::lock_guard<std::mutex> guard(record_->Lock());
    EXPECT_EQ(record_->m_feeds.size(), 3u);
}

TEST_F(FeedTreeTest, ADroppedFeedUrlIsAddedAndSaved) {
    ServeFeeds();
    WriteIni(StoredFeeds({"/tech.xml"}));
    OpenDialog();
    const struct {
        const char* name;
        QString format;
        QByteArray bytes;
        bool added;
    } drops[] = {
        {"a plain text only", "text/plain", http_.Url("/nature.xml").c_str(), false},
        {"a page that is no feed", "text/uri-list", (http_.Url("/page.html") + "\r\n").c_str(), false},
        {"a uri list", "text/uri-list", ("# dragged\r\n" + http_.Url("/nature.xml") + "\r\n").c_str(), true},
        {"the system format by its native name", "application/x-qt-windows-mime;value=\"UniformResourceLocator\"",
         QByteArray::fromStdString(http_.Url("/tech.xml") + std::string(1, '\0') + "junk"), true},
    };
    QStringList expected{"Tech Weekly"};
    int stored = 1;
    for (const auto& drop : drops) {
        SCOPED_TRACE(drop.name);
        auto* data = new QMimeData;  // the event does not own it
        data->setData(drop.format, drop.bytes);
        EXPECT_TRUE(Drop(data));  // offered as allowed, whatever it carries
        delete data;
        if (drop.added) {
            expected << (drop.bytes.contains("nature") ? "Nature Sounds" : "Tech Weekly");
            ++stored;
        }
        EXPECT_EQ(TopLevelTexts(*window_->FeedTree()), expected);
        EXPECT_EQ(IniValue("nrssfeeds"), std::to_string(stored));
    }
    EXPECT_EQ(IniValue("rssfeed_2"), http_.Url("/nature.xml"));
    EXPECT_EQ(IniValue("rssfeed_3"), http_.Url("/tech.xml"));
}

TEST_F(FeedTreeTest, DeleteTakesOutTheSelectedFeedOnly) {
    ServeFeeds();
    WriteIni(StoredFeeds({"/tech.xml", "/nature.xml"}));
    OpenDialog();
    CFeedTreeWidget* tree = window_->FeedTree();
    tree->setFocus();
    // An item of a feed, and another key on a feed: nothing changes.
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    QTest::keyClick(tree, Qt::Key_Delete);
    tree->setCurrentItem(tree->topLevelItem(0));
    QTest::keyClick(tree, Qt::Key_Period);  // the same code as the Delete key's virtual key
    EXPECT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(IniValue("nrssfeeds"), "2");

    tree->setCurrentItem(tree->topLevelItem(0));
    QTest::keyClick(tree, Qt::Key_Delete);
    EXPECT_EQ(TopLevelTexts(*tree), QStringList{"Nature Sounds"});
    EXPECT_EQ(IniValue("nrssfeeds"), "1");
    EXPECT_EQ(IniValue("rssfeed_1"), http_.Url("/nature.xml"));
}

TEST(FeedTreeWidget, ChildrenByByteOrderAfterTheirEqualsFeedsInLoadOrder) {
    CFeedTreeWidget tree(nullptr);
    const FeedTreeItem second = tree.InsertFeedItem("Zebra feed", 7);
    const FeedTreeItem first = tree.InsertFeedItem("Alpha feed", 9);
    std::vector<FeedTreeItem> children;
    for (const char* text : {"c.mp3 1:00", "b.mp3 ", "C.mp3 2:00", "c.mp3 1:00"}) {
        children.push_back(tree.InsertSortedChild(second, text));
    }
    QTreeWidgetItem* zebra = CFeedTreeWidget::ItemOf(second);
    EXPECT_EQ(tree.topLevelItem(0), zebra);
    QStringList texts;
    for (int i = 0; i < zebra->childCount(); ++i) texts << zebra->child(i)->text(0);
    EXPECT_EQ(texts, (QStringList{"C.mp3 2:00", "b.mp3 ", "c.mp3 1:00", "c.mp3 1:00"}));
    EXPECT_EQ(zebra->child(2), CFeedTreeWidget::ItemOf(children[0]));  // equals keep their order
    EXPECT_EQ(tree.GetItemData(first), 9u);
    EXPECT_EQ(tree.GetItemData(children[1]), 0u);
    EXPECT_EQ(tree.GetParentItem(children[1]), second);
    EXPECT_EQ(tree.GetParentItem(second), FEED_TREE_NO_ITEM);
    EXPECT_EQ(tree.GetSelectedItem(), FEED_TREE_NO_ITEM);
    tree.setCurrentItem(zebra);
    EXPECT_EQ(tree.GetSelectedItem(), second);
    tree.DeleteItem(second);
    EXPECT_EQ(tree.topLevelItemCount(), 1);
}

// Many items, many of them equal, in scrambled order: the children come out in
// byte order, equal texts in the order they were inserted.
TEST(FeedTreeWidget, ManyChildrenStayInByteOrderWithEqualsInInsertOrder) {
    CFeedTreeWidget tree(nullptr);
    const FeedTreeItem feed = tree.InsertFeedItem("Feed", 1);
    const int count = 500;
    std::vector<std::string> texts;
    std::vector<FeedTreeItem> inserted;
    for (int i = 0; i < count; ++i) {
        const int key = (i * 7919) % 97;  // 97 distinct texts, each several times
        texts.push_back((key % 2 ? "ep" : "Ep") + std::to_string(key) + (key % 3 ? ".mp3 " : ".mp3 1:00"));
        inserted.push_back(tree.InsertSortedChild(feed, texts.back()));
    }
    std::vector<int> expected(count);
    for (int i = 0; i < count; ++i) expected[i] = i;
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) { return texts[a] < texts[b]; });
    QTreeWidgetItem* parent = CFeedTreeWidget::ItemOf(feed);
    ASSERT_EQ(parent->childCount(), count);
    for (int at = 0; at < count; ++at) {
        ASSERT_EQ(parent->child(at), CFeedTreeWidget::ItemOf(inserted[expected[at]])) << at;
    }
}

TEST(FeedTreeWidget, DataObjectOfADrop) {
    QMimeData data;
    data.setData("text/uri-list", "http://a/feed.xml\r\n");
    data.setData("application/x-qt-windows-mime;value=\"UniformResourceLocator\"", QByteArray("http://b/\0", 10));
    data.setData("text/plain", "x");
    const CDataObject object = DataObjectOf(data);
    ASSERT_EQ(object.formats.size(), 3u);
    std::vector<std::string> names;
    for (const DataFormat& format : object.formats) {
        names.push_back(format.name);
        EXPECT_EQ(format.medium, DataMedium::GlobalMemory);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"text/uri-list", "UniformResourceLocator", "text/plain"}));
    EXPECT_EQ(object.formats[0].bytes, "http://a/feed.xml\r\n");
    EXPECT_EQ(object.formats[1].bytes, std::string("http://b/\0", 10));
}

}  // namespace
