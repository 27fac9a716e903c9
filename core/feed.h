#pragma once
// Podcast feeds and their items. Feeds and items are shared: the dialog's list
// owns the feeds, and a download thread keeps its item alive until it ends.
// Strings are guarded by the record lock of CVantrelDlg; the state is atomic.

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

enum FeedItemState { FEED_ITEM_NONE = 0, FEED_ITEM_DOWNLOADING = 1, FEED_ITEM_DONE = 2 };

class CFeedItem {
public:
    std::string m_strLocalPath;
    std::string m_strEnclosureUrl;
    std::string m_strDuration;
    std::string m_strTitle;
    std::string m_strLength;
    std::string m_strType;
    std::atomic<int> m_nState{FEED_ITEM_NONE};
};

class CFeed {
public:
    std::list<std::shared_ptr<CFeedItem>> m_items;
    std::string m_strTitle;
    std::string m_strUrl;
};

using CFeedPtr = std::shared_ptr<CFeed>;
using CFeedItemPtr = std::shared_ptr<CFeedItem>;

// "<programFolder>/MOVIES/<length><last URL segment>", first '?' made '_', and an
// extension from the MIME type when the name has no served one. The item's
// strings are read: hold the record lock or pass a private copy.
std::string FeedItemLocalPath(const std::string& programFolder, const CFeedItem& item,
                              const std::vector<std::string>& extensionList);

// Appends ".mpg", ".mov", ".avi" or ".mp3" for the type (case ignored).
void AppendExtensionForMimeType(std::string& path, const std::string& type);
