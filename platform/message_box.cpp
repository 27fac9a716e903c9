#include "platform/message_box.h"

#include <cstdio>
#include <mutex>

namespace platform {

namespace {

struct PresenterSlot {
    std::mutex mutex;
    MessageBoxPresenter presenter;
};

PresenterSlot& presenter_slot() {
    static PresenterSlot slot;
    return slot;
}

void present_on_stderr(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
}

}  // namespace

void MessageBox(const std::string& text, const std::string& caption) {
    MessageBoxPresenter presenter;
    {
        std::lock_guard<std::mutex> lock(presenter_slot().mutex);
        presenter = presenter_slot().presenter;
    }
    // Called outside the lock: a presenter blocks until the box is dismissed,
    // and other threads must still be able to show theirs or swap presenters.
    if (presenter) {
        presenter(text, caption);
    } else {
        present_on_stderr(text, caption);
    }
}

MessageBoxPresenter SetMessageBoxPresenter(MessageBoxPresenter presenter) {
    std::lock_guard<std::mutex> lock(presenter_slot().mutex);
    MessageBoxPresenter previous = std::move(presenter_slot().presenter);
    presenter_slot().presenter = std::move(presenter);
    return previous;
}

}  // namespace platform
