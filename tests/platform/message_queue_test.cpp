#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace platform;

TEST(MessageQueue, KeepsOrderAndOwnsTexts) {
    MessageQueue queue;
    queue.post(WM_USER + 1, 7);
    queue.post(WM_USER + 2, 8, std::string("file.avi"));
    queue.post(WM_USER + 3, 9, std::make_unique<std::string>("done"));
    EXPECT_EQ(queue.size(), 3u);

    auto first = queue.take();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->message, WM_USER + 1);
    EXPECT_EQ(first->wParam, 7u);
    EXPECT_EQ(first->text, nullptr);

    auto rest = queue.drain();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].message, WM_USER + 2);
    ASSERT_TRUE(rest[0].text);
    EXPECT_EQ(*rest[0].text, "file.avi");
    EXPECT_EQ(*rest[1].text, "done");
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_FALSE(queue.take());
}

TEST(MessageQueue, TakeWaitsForAPostOrItsLimit) {
    MessageQueue queue;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.take(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));

    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        queue.post(WM_USER + 5, 1);
    });
    auto message = queue.take(-1);
    poster.join();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->message, WM_USER + 5);
}

// Posters on several threads: nothing lost, each thread's messages in order.
TEST(MessageQueue, ConcurrentPostersLoseNothing) {
    constexpr int THREADS = 4;
    constexpr int PER_THREAD = 500;
    MessageQueue queue;
    std::vector<std::thread> posters;
    for (int t = 0; t < THREADS; ++t) {
        posters.emplace_back([&queue, t] {
            for (int i = 0; i < PER_THREAD; ++i) queue.post(WM_USER + t, i, std::to_string(i));
        });
    }
    std::vector<int> next(THREADS, 0);
    int received = 0;
    while (received < THREADS * PER_THREAD) {
        auto message = queue.take(5000);
        ASSERT_TRUE(message) << "after " << received << " messages";
        const int t = static_cast<int>(message->message - WM_USER);
        ASSERT_EQ(message->wParam, static_cast<uintptr_t>(next[t]));
        ASSERT_EQ(*message->text, std::to_string(next[t]));
        ++next[t];
        ++received;
    }
    for (auto& poster : posters) poster.join();
    EXPECT_EQ(queue.size(), 0u);
}
