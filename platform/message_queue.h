#pragma once
// The posted-message queue that stands in for PostMessageA to the dialog window.
// Worker threads post; the UI side (or a test) waits for and drains it.
//
// A message without a text only asks the dialog to look at the record again,
// so one that is still waiting covers a later equal one: the later post is
// merged into it. The queue holds at most MAX_QUEUED_MESSAGES; a post beyond
// that is dropped with a note on stderr.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

constexpr unsigned WM_USER = 0x400;
constexpr size_t MAX_QUEUED_MESSAGES = 256;

struct PostedMessage {
    unsigned message = 0;
    uintptr_t wParam = 0;
    std::unique_ptr<std::string> text;  // the lParam text, owned by the message
};

class MessageQueue {
public:
    // Called on the posting thread after a post added a message (not after a
    // merged or dropped one); set_listener waits for a call in progress.
    using Listener = std::function<void()>;

    void post(unsigned message, uintptr_t wParam = 0, std::unique_ptr<std::string> text = nullptr);
    void post(unsigned message, uintptr_t wParam, std::string text);

    // Takes the oldest message, waiting at most timeout_ms (0: do not wait;
    // negative: wait without limit).
    std::optional<PostedMessage> take(int64_t timeout_ms = 0);
    // Takes every message now queued, oldest first.
    std::vector<PostedMessage> drain();
    size_t size() const;

    void set_listener(Listener listener);

private:
    enum class PostResult { Added, Merged, Dropped };
    PostResult add(PostedMessage message);

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<PostedMessage> messages_;
    std::mutex listener_mutex_;
    Listener listener_;  // under listener_mutex_
};

}  // namespace platform
