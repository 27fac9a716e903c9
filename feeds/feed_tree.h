#pragma once
// The feed tree of the main dialog as the feed code sees it: top-level items
// for feeds (with the feed's id as data) and text-only children for their
// items. The window implements it on its tree widget; tests use one in memory.
// Called on the UI thread only.

#include <cstdint>
#include <string>

// An item of the tree, opaque to the feed code; 0 is no item.
using FeedTreeItem = std::uintptr_t;
constexpr FeedTreeItem FEED_TREE_NO_ITEM = 0;

// A top-level item's data: the id of its feed (CFeed::m_nId). An id names one
// feed for the whole run, so it stays right whatever else is added or taken out.
using FeedTreeData = std::uint64_t;

class CFeedTree {
public:
    virtual ~CFeedTree() = default;

    // A new top-level item after all others, with its text and data.
    virtual FeedTreeItem InsertFeedItem(const std::string& text, FeedTreeData data) = 0;
    // A new child of parent without data, placed before the first sibling whose
    // text is greater (byte order), so equal texts keep the order they came in.
    virtual FeedTreeItem InsertSortedChild(FeedTreeItem parent, const std::string& text) = 0;
    // Takes the item out of the tree together with all its children.
    virtual void DeleteItem(FeedTreeItem item) = 0;

    // The selected item, or FEED_TREE_NO_ITEM.
    virtual FeedTreeItem GetSelectedItem() const = 0;
    // The item's parent, or FEED_TREE_NO_ITEM for a top-level item.
    virtual FeedTreeItem GetParentItem(FeedTreeItem item) const = 0;
    // The data given to InsertFeedItem (0 for a child).
    virtual FeedTreeData GetItemData(FeedTreeItem item) const = 0;
};
