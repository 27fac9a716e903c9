#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace platform;

namespace {

// Captures every box shown while it lives and restores the previous presenter.
class CapturedBoxes {
public:
    CapturedBoxes() {
        previous_ = SetMessageBoxPresenter([this](const std::string& text, const std::string& caption) {
            std::lock_guard<std::mutex> lock(mutex_);
            boxes_.emplace_back(text, caption);
        });
    }
    ~CapturedBoxes() { SetMessageBoxPresenter(std::move(previous_)); }

    std::vector<std::pair<std::string, std::string>> boxes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return boxes_;
    }

private:
    MessageBoxPresenter previous_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> boxes_;
};

}  // namespace

TEST(MessageBox, PresenterReceivesTextAndCaption) {
    CapturedBoxes captured;
    MessageBox("Cannot open file", "Vantrel");
    ASSERT_EQ(captured.boxes().size(), 1u);
    EXPECT_EQ(captured.boxes()[0].first, "Cannot open file");
    EXPECT_EQ(captured.boxes()[0].second, "Vantrel");
}

TEST(MessageBox, DefaultWritesToStderr) {
    SetMessageBoxPresenter(nullptr);
    testing::internal::CaptureStderr();
    MessageBox("some text", "Caption");
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("some text"), std::string::npos);
    EXPECT_NE(written.find("Caption"), std::string::npos);
}

// Boxes from worker threads while the presenter is swapped: every box reaches
// one of the presenters, and nothing races.
TEST(MessageBox, PresenterSwapIsSafeWhileThreadsShowBoxes) {
    std::atomic<int> shown{0};
    auto counting = [&shown](const std::string&, const std::string&) { ++shown; };
    SetMessageBoxPresenter(counting);
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < 200; ++i) MessageBox("text", "caption");
        });
    }
    for (int i = 0; i < 200; ++i) SetMessageBoxPresenter(counting);
    for (auto& worker : workers) worker.join();
    SetMessageBoxPresenter(nullptr);
    EXPECT_EQ(shown.load(), 600);
}

TEST(MessageBox, PresenterMaySwapPresentersWhileShowing) {
    // The running presenter is replaced mid-call: no deadlock, no use of a freed one.
    std::vector<std::string> texts;
    MessageBoxPresenter inner = [&texts](const std::string& text, const std::string&) {
        texts.push_back(text);
    };
    SetMessageBoxPresenter([&](const std::string& text, const std::string& caption) {
        MessageBoxPresenter outer = SetMessageBoxPresenter(inner);
        MessageBox("inner " + text, caption);
        SetMessageBoxPresenter(outer);
    });
    MessageBox("outer", "c");
    SetMessageBoxPresenter(nullptr);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "inner outer");
}
