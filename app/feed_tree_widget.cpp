#include "app/feed_tree_widget.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>

namespace {

const char URI_LIST[] = "text/uri-list";
const char MOZ_URL[] = "text/x-moz-url";
const char URL_FORMAT_NAME[] = "UniformResourceLocator";

bool IsUrlFormatName(const QString& format) {
    // Qt names a foreign clipboard format after its native name, e.g.
    // application/x-qt-windows-mime;value="UniformResourceLocator".
    return format == QLatin1String(URL_FORMAT_NAME) ||
           format.endsWith(QStringLiteral("value=\"%1\"").arg(QLatin1String(URL_FORMAT_NAME)));
}

// The first line that is not a comment, without its line break.
std::string FirstUriOfList(const QByteArray& bytes) {
    for (const QByteArray& line : bytes.split('\n')) {
        const QByteArray uri = line.endsWith('\r') ? line.chopped(1) : line;
        if (!uri.isEmpty() && !uri.startsWith('#')) return uri.toStdString();
    }
    return std::string();
}

// UTF-16 "url\ntitle".
std::string MozUrl(const QByteArray& bytes) {
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
    return text.section(QLatin1Char('\n'), 0, 0).toStdString();
}

// Zero-terminated 8-bit text.
std::string ZeroTerminated(const QByteArray& bytes) {
    const int end = bytes.indexOf('\0');
    return (end < 0 ? bytes : bytes.left(end)).toStdString();
}

}  // namespace

std::vector<DroppedUrl> UrlFormatsOf(const QMimeData& data) {
    std::vector<DroppedUrl> offered;
    for (const QString& format : data.formats()) {
        const QByteArray bytes = data.data(format);
        if (format == QLatin1String(URI_LIST)) {
            offered.push_back({URI_LIST, FirstUriOfList(bytes)});
        } else if (format == QLatin1String(MOZ_URL)) {
            offered.push_back({MOZ_URL, MozUrl(bytes)});
        } else if (IsUrlFormatName(format)) {
            offered.push_back({URL_FORMAT_NAME, ZeroTerminated(bytes)});
        }
    }
    return offered;
}

CFeedTreeWidget::CFeedTreeWidget(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
}

CFeedTreeWidget::Item CFeedTreeWidget::InsertFeedItem(const std::string& text, long data) {
    auto* item = new QTreeWidgetItem(this, QStringList(QString::fromStdString(text)));
    item->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(data));
    return item;
}

CFeedTreeWidget::Item CFeedTreeWidget::InsertChildSorted(Item parent, const std::string& text) {
    const QString shown = QString::fromStdString(text);
    int at = 0;
    // After its equals, like the tree control's sorted insert.
    while (at < parent->childCount() && QString::compare(parent->child(at)->text(0), shown, Qt::CaseInsensitive) <= 0) {
        ++at;
    }
    auto* child = new QTreeWidgetItem(QStringList(shown));
    parent->insertChild(at, child);
    return child;
}

void CFeedTreeWidget::RemoveItem(Item item) {
    delete item;  // the tree gives up an item (and its children) when it is deleted
}

CFeedTreeWidget::Item CFeedTreeWidget::SelectedItem() const {
    return currentItem();
}

CFeedTreeWidget::Item CFeedTreeWidget::ParentItem(Item item) const {
    return item ? item->parent() : nullptr;
}

long CFeedTreeWidget::ItemData(Item item) const {
    return item ? static_cast<long>(item->data(0, Qt::UserRole).toLongLong()) : 0;
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
    if (m_onDrop) m_onDrop(UrlFormatsOf(*event->mimeData()));
}

void CFeedTreeWidget::keyPressEvent(QKeyEvent* event) {
    if (m_onKeyDown) m_onKeyDown(event->key());
    QTreeWidget::keyPressEvent(event);
}
