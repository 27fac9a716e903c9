#include "app/feed_tree_widget.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>

namespace {

// The item's text as the feed code gave it, bytes unchanged.
constexpr int TEXT_BYTES_ROLE = Qt::UserRole;
constexpr int FEED_DATA_ROLE = Qt::UserRole + 1;

std::string FormatName(const QString& format) {
    const QString native = QStringLiteral("value=\"%1\"").arg(QLatin1String(CF_UNIFORM_RESOURCE_LOCATOR));
    if (format.endsWith(native)) return CF_UNIFORM_RESOURCE_LOCATOR;
    return format.toStdString();
}

std::string TextBytes(const QTreeWidgetItem* item) {
    return item->data(0, TEXT_BYTES_ROLE).toByteArray().toStdString();
}

QTreeWidgetItem* MakeItem(const std::string& text) {
    auto* item = new QTreeWidgetItem(QStringList(QString::fromStdString(text)));
    item->setData(0, TEXT_BYTES_ROLE, QByteArray::fromStdString(text));
    return item;
}

}  // namespace

CDataObject DataObjectOf(const QMimeData& data) {
    CDataObject object;
    for (const QString& format : data.formats()) {
        object.formats.push_back({FormatName(format), DataMedium::GlobalMemory, data.data(format).toStdString()});
    }
    return object;
}

CFeedTreeWidget::CFeedTreeWidget(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);  // drops arrive at the viewport
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
}

FeedTreeItem CFeedTreeWidget::InsertFeedItem(const std::string& text, FeedTreeData data) {
    QTreeWidgetItem* item = MakeItem(text);
    item->setData(0, FEED_DATA_ROLE, QVariant::fromValue<qulonglong>(data));
    addTopLevelItem(item);
    return HandleOf(item);
}

FeedTreeItem CFeedTreeWidget::InsertSortedChild(FeedTreeItem parent, const std::string& text) {
    QTreeWidgetItem* under = ItemOf(parent);
    // The children are in order already: a binary search for the first greater
    // text, since a feed may carry thousands of items.
    int at = 0;
    int end = under->childCount();
    while (at < end) {
        const int middle = at + (end - at) / 2;
        if (TextBytes(under->child(middle)) <= text) {
            at = middle + 1;
        } else {
            end = middle;
        }
    }
    QTreeWidgetItem* child = MakeItem(text);
    under->insertChild(at, child);
    return HandleOf(child);
}

void CFeedTreeWidget::DeleteItem(FeedTreeItem item) {
    delete ItemOf(item);  // the tree gives up an item (and its children) when it is deleted
}

FeedTreeItem CFeedTreeWidget::GetSelectedItem() const {
    return HandleOf(currentItem());
}

FeedTreeItem CFeedTreeWidget::GetParentItem(FeedTreeItem item) const {
    return item ? HandleOf(ItemOf(item)->parent()) : FEED_TREE_NO_ITEM;
}

FeedTreeData CFeedTreeWidget::GetItemData(FeedTreeItem item) const {
    return item ? ItemOf(item)->data(0, FEED_DATA_ROLE).toULongLong() : 0;
}

// Every drop is offered as allowed, whatever it carries.
void CFeedTreeWidget::dragEnterEvent(QDragEnterEvent* event) {
    event->acceptProposedAction();
}

void CFeedTreeWidget::dragMoveEvent(QDragMoveEvent* event) {
    event->acceptProposedAction();
}

void CFeedTreeWidget::dropEvent(QDropEvent* event) {
    event->acceptProposedAction();
    if (m_onDrop) m_onDrop(DataObjectOf(*event->mimeData()));
}

void CFeedTreeWidget::keyPressEvent(QKeyEvent* event) {
    if (m_onKeyDown) m_onKeyDown(event->key());
    QTreeWidget::keyPressEvent(event);
}
