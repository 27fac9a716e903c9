#pragma once
// The feed tree of the main dialog (IDC_FEED_TREE) on a Qt tree widget: one
// top-level item per loaded feed in load order, carrying the feed's position,
// and its items as children sorted by text. It takes drops of URLs and hands
// the Delete key on to the dialog.

#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

class QMimeData;

// One format of a drop that offers a URL, with its text as the drop carried it.
struct DroppedUrl {
    std::string format;
    std::string text;
};

// The formats of a drop that count as the "UniformResourceLocator" format:
// text/uri-list, text/x-moz-url and a format of that very name, in the order
// the drop offers them. Each text is the URL as offered (first line of a list).
std::vector<DroppedUrl> UrlFormatsOf(const QMimeData& data);

class CFeedTreeWidget : public QTreeWidget {
public:
    using Item = QTreeWidgetItem*;

    explicit CFeedTreeWidget(QWidget* parent);

    Item InsertFeedItem(const std::string& text, long data);
    Item InsertChildSorted(Item parent, const std::string& text);
    void RemoveItem(Item item);
    Item SelectedItem() const;
    Item ParentItem(Item item) const;
    long ItemData(Item item) const;

    // Where drops and keys go; the dialog sets them.
    std::function<void(const std::vector<DroppedUrl>&)> m_onDrop;
    std::function<void(int key)> m_onKeyDown;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
