#pragma once
// Podcast feeds and their items. Feeds and items are shared: the dialog's list
// owns the feeds, and a download thread keeps its item alive until it ends.
// Strings are guarded by the record lock of CVantrelDlg; the state is atomic.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// DONE: this run downloaded the item's file. FAILED: its last download
// failed; "streamopen" answers 0 until the retry delay has passed.
enum FeedItemState { FEED_ITEM_NONE = 0, FEED_ITEM_DOWNLOADING = 1, FEED_ITEM_DONE = 2, FEED_ITEM_FAILED = 3 };

class CFeedItem {
public:
    std::string m_strLocalPath;
    std::string m_strEnclosureUrl;
    std::string m_strDuration;
    std::string m_strTitle;
    std::string m_strLength;
    std::string m_strType;
    std::atomic<int> m_nState{FEED_ITEM_NONE};
    // When the last download failed (steady clock, ms); under the record lock.
    int64_t m_nFailedAtMs = 0;
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

// The enclosure length the feed gives, in bytes; 0 when it gives none or
// not a count.
uint64_t FeedItemLength(const CFeedItem& item);

// Where the items of the known feeds keep their enclosures. Items of distinct
// enclosure URLs never share a file: an item keeps the name FeedItemLocalPath
// gives while no other URL among the feeds maps to it, and otherwise takes a
// name marked with its URL. Made and used under the record lock.
class CFeedItemFiles {
public:
    CFeedItemFiles(const std::string& programFolder, const std::vector<std::string>& extensionList,
                   const std::list<CFeedPtr>& feeds);

    // The file a download of the item goes to.
    std::string DownloadPath(const CFeedItem& item) const;
    // The item's file as the disk holds it now: the one this run downloaded,
    // else one under the item's names; "" when there is none.
    std::string FileOnDisk(const CFeedItem& item) const;

private:
    bool OwnsSharedName(const CFeedItem& item, const std::string& path) const;

    std::string m_strProgramFolder;
    std::vector<std::string> m_extensionList;
    std::map<std::string, std::set<std::string>> m_urlsByPath;
};

// The names the listing gives the feed's items, in item order: the title,
// and for a later item of an equal title the title with " (n)", n the first
// number from 2 that makes a name no other item has or is given. `listable`
// turns a title into the text a listing can carry (the request that brings a
// name back reads some texts as its own syntax).
using ListableTitle = std::string (*)(const std::string& title);
std::vector<std::string> FeedItemListedNames(const CFeed& feed, ListableTitle listable = nullptr);

// The part of the URL after its last '/', or the whole URL without one.
std::string UrlLastSegment(const std::string& url);

// Appends ".mpg", ".mov", ".avi" or ".mp3" for the type (case ignored).
void AppendExtensionForMimeType(std::string& path, const std::string& type);
