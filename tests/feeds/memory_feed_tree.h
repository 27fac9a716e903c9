#pragma once
// The feed tree kept in memory, for tests of the feed code without a window.

#include <memory>
#include <string>
#include <vector>

#include "feeds/feed_tree.h"

namespace test_support {

class MemoryFeedTree : public CFeedTree {
public:
    struct Node {
        std::string text;
        FeedTreeData data = 0;
        Node* parent = nullptr;
        std::vector<std::unique_ptr<Node>> children;
    };

    FeedTreeItem InsertFeedItem(const std::string& text, FeedTreeData data) override;
    FeedTreeItem InsertSortedChild(FeedTreeItem parent, const std::string& text) override;
    void DeleteItem(FeedTreeItem item) override;
    FeedTreeItem GetSelectedItem() const override { return selected_; }
    FeedTreeItem GetParentItem(FeedTreeItem item) const override;
    FeedTreeData GetItemData(FeedTreeItem item) const override;

    void Select(FeedTreeItem item) { selected_ = item; }
    const std::vector<std::unique_ptr<Node>>& TopLevel() const { return top_.children; }
    // The top-level texts in order.
    std::vector<std::string> FeedTexts() const;
    // The children's texts of the top-level item at index, in order.
    std::vector<std::string> ChildTexts(size_t index) const;
    static FeedTreeItem ItemOf(const Node& node) { return reinterpret_cast<FeedTreeItem>(&node); }

private:
    static Node* NodeOf(FeedTreeItem item) { return reinterpret_cast<Node*>(item); }

    Node top_;
    FeedTreeItem selected_ = FEED_TREE_NO_ITEM;
};

}  // namespace test_support
