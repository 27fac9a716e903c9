#pragma once
// Podcast feeds and their items. Feeds and items are shared: the dialog's list
// owns the feeds, and a download thread keeps its item alive until it ends.
// Strings are guarded by the record lock of CVantrelDlg; the state is atomic.

#include <atomic>
#include <cstdint>
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
    CFeed();
    CFeed(const CFeed&) = delete;
    CFeed& operator=(const CFeed&) = delete;

    std::list<std::shared_ptr<CFeedItem>> m_items;
    std::string m_strTitle;
    std::string m_strUrl;
    // Names this feed for the whole run (never 0, never given twice): the feed
    // tree's item data, so an item finds its feed whatever came and went.
    const uint64_t m_nId;
};

using CFeedPtr = std::shared_ptr<CFeed>;
using CFeedItemPtr = std::shared_ptr<CFeedItem>;

// "<programFolder>/MOVIES": the folder enclosures are downloaded into.
std::string FeedMoviesFolder(const std::string& programFolder);

// "<programFolder>/MOVIES/<length><last URL segment>", the name's first '?'
// made '_', and an extension from the MIME type when the name has no served
// one. Both parts come from the feed, so the result always names a file
// directly inside MOVIES: a length that is not all decimal digits counts as
// empty, and a segment that is empty, "." or "..", or holds "\", is replaced
// by FEED_ITEM_SAFE_NAME. A name longer than a file name may be is shortened
// to its start, a mark of the whole name and its end. The item's strings are
// read: hold the record lock or pass a private copy.
std::string FeedItemLocalPath(const std::string& programFolder, const CFeedItem& item,
                              const std::vector<std::string>& extensionList);

constexpr char FEED_ITEM_SAFE_NAME[] = "enclosure";

// The part of the URL after its last '/', or the whole URL without one.
std::string UrlLastSegment(const std::string& url);

// Appends ".mpg", ".mov", ".avi" or ".mp3" for the type (case ignored).
void AppendExtensionForMimeType(std::string& path, const std::string& type);
