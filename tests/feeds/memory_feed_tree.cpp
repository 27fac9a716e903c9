#include "tests/feeds/memory_feed_tree.h"

#include <algorithm>

namespace test_support {

FeedTreeItem MemoryFeedTree::InsertFeedItem(const std::string& text, FeedTreeData data) {
    auto node = std::make_unique<Node>();
    node->text = text;
    node->data = data;
    node->parent = &top_;
    top_.children.push_back(std::move(node));
    return ItemOf(*top_.children.back());
}

FeedTreeItem MemoryFeedTree::InsertSortedChild(FeedTreeItem parent, const std::string& text) {
    Node* owner = NodeOf(parent);
    auto node = std::make_unique<Node>();
    node->text = text;
    node->parent = owner;
    const auto place = std::find_if(owner->children.begin(), owner->children.end(),
                                    [&](const std::unique_ptr<Node>& sibling) { return sibling->text > text; });
    return ItemOf(**owner->children.insert(place, std::move(node)));
}

void MemoryFeedTree::DeleteItem(FeedTreeItem item) {
    Node* node = NodeOf(item);
    if (selected_ == item || (NodeOf(selected_) != nullptr && NodeOf(selected_)->parent == node)) {
        selected_ = FEED_TREE_NO_ITEM;
    }
    auto& siblings = node->parent->children;
    siblings.erase(std::find_if(siblings.begin(), siblings.end(),
                                [node](const std::unique_ptr<Node>& sibling) { return sibling.get() == node; }));
}

FeedTreeItem MemoryFeedTree::GetParentItem(FeedTreeItem item) const {
    const Node* parent = NodeOf(item)->parent;
    return parent == &top_ ? FEED_TREE_NO_ITEM : ItemOf(*parent);
}

FeedTreeData MemoryFeedTree::GetItemData(FeedTreeItem item) const {
    return NodeOf(item)->data;
}

std::vector<std::string> MemoryFeedTree::FeedTexts() const {
    std::vector<std::string> texts;
    for (const auto& node : top_.children) texts.push_back(node->text);
    return texts;
}

std::vector<std::string> MemoryFeedTree::ChildTexts(size_t index) const {
    std::vector<std::string> texts;
    for (const auto& node : top_.children.at(index)->children) texts.push_back(node->text);
    return texts;
}

}  // namespace test_support
