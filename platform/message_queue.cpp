#include "platform/message_queue.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace platform {

namespace {

bool CoversLater(const PostedMessage& waiting, const PostedMessage& later) {
    return !waiting.text && !later.text && waiting.message == later.message && waiting.wParam == later.wParam;
}

}  // namespace

MessageQueue::PostResult MessageQueue::add(PostedMessage message) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto covering = std::find_if(messages_.begin(), messages_.end(),
                                       [&](const PostedMessage& waiting) { return CoversLater(waiting, message); });
    if (covering != messages_.end()) return PostResult::Merged;
    if (messages_.size() >= MAX_QUEUED_MESSAGES) return PostResult::Dropped;
    messages_.push_back(std::move(message));
    return PostResult::Added;
}

void MessageQueue::post(unsigned message, uintptr_t wParam, std::unique_ptr<std::string> text) {
    const PostResult result = add(PostedMessage{message, wParam, std::move(text)});
    if (result == PostResult::Dropped) {
        std::fprintf(stderr, "message queue: full, message %#x dropped\n", message);
        return;
    }
    if (result == PostResult::Merged) return;
    posted_.notify_all();
    std::lock_guard<std::mutex> lock(listener_mutex_);
    if (listener_) listener_();
}

void MessageQueue::post(unsigned message, uintptr_t wParam, std::string text) {
    post(message, wParam, std::make_unique<std::string>(std::move(text)));
}

std::optional<PostedMessage> MessageQueue::take(int64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto posted = [this] { return !messages_.empty(); };
    if (timeout_ms > 0) {
        posted_.wait_for(lock, std::chrono::milliseconds(timeout_ms), posted);
    } else if (timeout_ms < 0) {
        posted_.wait(lock, posted);
    }
    if (messages_.empty()) return std::nullopt;
    PostedMessage oldest = std::move(messages_.front());
    messages_.pop_front();
    return oldest;
}

std::vector<PostedMessage> MessageQueue::drain() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PostedMessage> all;
    all.reserve(messages_.size());
    for (auto& message : messages_) all.push_back(std::move(message));
    messages_.clear();
    return all;
}

size_t MessageQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

void MessageQueue::set_listener(Listener listener) {
    std::lock_guard<std::mutex> lock(listener_mutex_);
    listener_ = std::move(listener);
}

}  // namespace platform
