// The drop of a feed URL on the feed tree and the Delete key on it. The list
// m_feeds is changed under the record's lock, since the server thread walks
// it; a feed taken out stays alive as long as anyone still holds it, and a
// download keeps its own item alive.

#include "feeds/feed_drop_target.h"

#include <algorithm>
#include <memory>
#include <mutex>

namespace {

void AppendUtf8(unsigned code, std::string& text) {
    if (code < 0x80) {
        text += static_cast<char>(code);
        return;
    }
    const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    static const unsigned char LEAD[] = {0, 0xC0, 0xE0, 0xF0};
    text += static_cast<char>(LEAD[tail] | (code >> (6 * tail)));
    for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6) text += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
}

unsigned Utf16Unit(const std::string& bytes, size_t at) {
    return static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8);
}

// The URL of a "text/x-moz-url" format: UTF-16 (little-endian) text whose
// first line is the URL, the title after it. A broken surrogate ends it.
std::string FirstLineOfUtf16(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned code = Utf16Unit(bytes, i);
        if (code == 0 || code == '\n' || code == '\r') break;
        if (code >= 0xD800 && code <= 0xDFFF) {
            const unsigned low = code < 0xDC00 && i + 3 < bytes.size() ? Utf16Unit(bytes, i + 2) : 0;
            if (low < 0xDC00 || low > 0xDFFF) break;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        AppendUtf8(code, text);
    }
    return text;
}

// The first address of a "text/uri-list": lines end in CR LF, "#" starts a comment.
std::string FirstUriOfList(const std::string& bytes) {
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') return line;
        start = end + 1;
    }
    return {};
}

// The URL text as the format carries it; the text itself is not checked.
std::string UrlTextOf(const DataFormat& format) {
    if (format.name == "text/uri-list") return FirstUriOfList(format.bytes);
    if (format.name == "text/x-moz-url") return FirstLineOfUtf16(format.bytes);
    return format.bytes.substr(0, format.bytes.find('\0'));  // text up to its zero byte
}

// A dropped URL whose document has a channel title becomes the last feed.
void AddDroppedFeed(CFeedHost& host, const std::string& url) {
    auto feed = std::make_shared<CFeed>();
    if (LoadFeed(host, url, *feed) != 1) return;  // the record is not kept
    {
        std::lock_guard<std::mutex> guard(host.dlg.Lock());
        host.dlg.m_feeds.push_back(feed);
    }
    host.dlg.SaveSettings();
}

// Takes the feed with that id out of the list; false when none has it.
bool RemoveFeed(CVantrelDlg& dlg, FeedTreeData id) {
    std::lock_guard<std::mutex> guard(dlg.Lock());
    const auto found = std::find_if(dlg.m_feeds.begin(), dlg.m_feeds.end(),
                                    [id](const CFeedPtr& feed) { return feed->m_nId == id; });
    if (found == dlg.m_feeds.end()) return false;
    dlg.m_feeds.erase(found);
    return true;
}

}  // namespace

bool IsUrlFormat(const std::string& name) {
    return name == CF_UNIFORM_RESOURCE_LOCATOR || name == "text/uri-list" || name == "text/x-moz-url";
}

void CFeedDropTarget::Drop(const CDataObject& data) {
    for (const DataFormat& format : data.formats) {
        if (!IsUrlFormat(format.name) || format.medium != DataMedium::GlobalMemory) continue;
        AddDroppedFeed(m_host, UrlTextOf(format));
        break;  // handled, whatever the load gave
    }
}

void OnFeedTreeKeyDown(CFeedHost& host, int virtualKey) {
    if (virtualKey != VK_DELETE) return;
    const FeedTreeItem selected = host.tree.GetSelectedItem();
    if (selected == FEED_TREE_NO_ITEM || host.tree.GetParentItem(selected) != FEED_TREE_NO_ITEM) return;
    RemoveFeed(host.dlg, host.tree.GetItemData(selected));
    host.tree.DeleteItem(selected);
    host.dlg.SaveSettings();
}
