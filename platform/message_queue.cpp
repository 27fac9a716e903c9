#include "platform/message_queue.h"

#include <chrono>

namespace platform {

void MessageQueue::post(unsigned message, uintptr_t wParam, std::unique_ptr<std::string> text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(PostedMessage{message, wParam, std::move(text)});
    }
    posted_.notify_all();
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

}  // namespace platform
