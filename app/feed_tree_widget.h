#pragma once
// The feed tree of the main dialog (IDC_FEED_TREE) on a Qt tree widget, as the
// feed code's CFeedTree: one top-level item per loaded feed in load order,
// carrying the feed's id, and its items as children sorted by text. Drops come
// out as the feed code's data object, keys as they are pressed.

#include <QTreeWidget>
#include <functional>

#include "feeds/feed_drop_target.h"
#include "feeds/feed_tree.h"

class QMimeData;

// A drop's formats in the order it offers them, each in global memory with its
// bytes as dropped. A foreign format that Qt names after its native name
// (application/x-qt-windows-mime;value="UniformResourceLocator") keeps that name.
CDataObject DataObjectOf(const QMimeData& data);

class CFeedTreeWidget : public QTreeWidget, public CFeedTree {
public:
    explicit CFeedTreeWidget(QWidget* parent);

    FeedTreeItem InsertFeedItem(const std::string& text, FeedTreeData data) override;
    FeedTreeItem InsertSortedChild(FeedTreeItem parent, const std::string& text) override;
    void DeleteItem(FeedTreeItem item) override;
    FeedTreeItem GetSelectedItem() const override;
    FeedTreeItem GetParentItem(FeedTreeItem item) const override;
    FeedTreeData GetItemData(FeedTreeItem item) const override;

    static QTreeWidgetItem* ItemOf(FeedTreeItem item) { return reinterpret_cast<QTreeWidgetItem*>(item); }
    static FeedTreeItem HandleOf(QTreeWidgetItem* item) { return reinterpret_cast<FeedTreeItem>(item); }

    // Where drops and keys go; the dialog sets them.
    std::function<void(const CDataObject&)> m_onDrop;
    std::function<void(int key)> m_onKeyDown;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
