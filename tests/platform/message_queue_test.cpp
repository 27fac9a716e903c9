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
    constexpr int PER_THREAD = static_cast<int>(MAX_QUEUED_MESSAGES) / THREADS;  // all fit within the bound
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

// A message without a text that is still waiting covers a later equal one;
// a text, another message number or another wParam does not.
TEST(MessageQueue, AWaitingMessageWithoutTextCoversALaterEqualOne) {
    struct Post {
        unsigned message;
        uintptr_t wParam;
        const char* text;  // nullptr: none
    };
    struct Case {
        const char* name;
        std::vector<Post> posts;
        std::vector<unsigned> queued;
    };
    const unsigned A = WM_USER + 3, B = WM_USER + 1;
    const std::vector<Case> cases = {
        {"repeats", {{A, 0, nullptr}, {A, 0, nullptr}, {A, 0, nullptr}}, {A}},
        {"between others", {{A, 0, nullptr}, {B, 0, nullptr}, {A, 0, nullptr}, {B, 0, nullptr}}, {A, B}},
        {"other wParam", {{A, 0, nullptr}, {A, 1, nullptr}}, {A, A}},
        {"texts", {{A, 0, "one"}, {A, 0, "one"}}, {A, A}},
        {"text after none", {{A, 0, nullptr}, {A, 0, "two"}}, {A, A}},
    };
    for (const Case& c : cases) {
        MessageQueue queue;
        for (const Post& post : c.posts) {
            if (post.text) {
                queue.post(post.message, post.wParam, std::string(post.text));
            } else {
                queue.post(post.message, post.wParam);
            }
        }
        std::vector<unsigned> queued;
        for (const PostedMessage& message : queue.drain()) queued.push_back(message.message);
        EXPECT_EQ(queued, c.queued) << c.name;
    }
}

TEST(MessageQueue, ATakenMessageCoversNothing) {
    MessageQueue queue;
    queue.post(WM_USER + 3);
    ASSERT_TRUE(queue.take());
    queue.post(WM_USER + 3);
    EXPECT_EQ(queue.size(), 1u);
}

// Texts nobody takes: the queue keeps the oldest up to its bound.
TEST(MessageQueue, StaysWithinItsBound) {
    MessageQueue queue;
    for (size_t i = 0; i < MAX_QUEUED_MESSAGES + 100; ++i) queue.post(WM_USER + 2, i, std::to_string(i));
    const std::vector<PostedMessage> kept = queue.drain();
    ASSERT_EQ(kept.size(), MAX_QUEUED_MESSAGES);
    EXPECT_EQ(*kept.front().text, "0");
    EXPECT_EQ(*kept.back().text, std::to_string(MAX_QUEUED_MESSAGES - 1));
}

TEST(MessageQueue, ListenerHearsOfEachAddedMessageUntilRemoved) {
    MessageQueue queue;
    int heard = 0;
    queue.set_listener([&] { ++heard; });
    queue.post(WM_USER + 3);
    queue.post(WM_USER + 3);  // merged
    queue.post(WM_USER + 2, 0, std::string("text"));
    EXPECT_EQ(heard, 2);
    queue.set_listener(nullptr);
    queue.post(WM_USER + 1);
    EXPECT_EQ(heard, 2);
    EXPECT_EQ(queue.size(), 3u);
}
