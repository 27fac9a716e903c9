#pragma once
// The posted-message queue that stands in for PostMessageA to the dialog window.
// Worker threads post; the UI side (or a test) waits for and drains it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

constexpr unsigned WM_USER = 0x400;

struct PostedMessage {
    unsigned message = 0;
    uintptr_t wParam = 0;
    std::unique_ptr<std::string> text;  // the lParam text, owned by the message
};

class MessageQueue {
public:
    void post(unsigned message, uintptr_t wParam = 0, std::unique_ptr<std::string> text = nullptr);
    void post(unsigned message, uintptr_t wParam, std::string text);

    // Takes the oldest message, waiting at most timeout_ms (0: do not wait;
    // negative: wait without limit).
    std::optional<PostedMessage> take(int64_t timeout_ms = 0);
    // Takes every message now queued, oldest first.
    std::vector<PostedMessage> drain();
    size_t size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<PostedMessage> messages_;
};

}  // namespace platform
