#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Generous bounds: these catch a wait that hangs or returns far too early, not
// a slow machine.
constexpr int64_t SHORT_LIMIT_MS = 50;
constexpr auto HANG_BOUND = 5s;

int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - since).count();
}

}  // namespace

TEST(Event, KindsKeepOrConsumeTheSignal) {
    struct Case {
        EventReset kind;
        int second_wait;  // result of a second zero-limit wait after one success
    };
    for (const Case& c : {Case{EventReset::Manual, 0}, Case{EventReset::Auto, WAIT_TIMED_OUT}}) {
        Event event = Event::create(c.kind);
        EXPECT_EQ(wait_for_one(event, 0), WAIT_TIMED_OUT);
        ASSERT_TRUE(event.set());
        EXPECT_EQ(wait_for_one(event, 0), 0);
        EXPECT_EQ(wait_for_one(event, 0), c.second_wait);
        ASSERT_TRUE(event.reset());
        EXPECT_EQ(wait_for_one(event, 0), WAIT_TIMED_OUT);
    }
}

TEST(Event, InitiallySignalledAndHandleCopiesShareOneObject) {
    Event event = Event::create(EventReset::Auto, true);
    Event copy = event;
    EXPECT_EQ(wait_for_one(copy, 0), 0);
    EXPECT_EQ(wait_for_one(event, 0), WAIT_TIMED_OUT);
    copy.set();
    EXPECT_EQ(wait_for_one(event, 0), 0);
}

TEST(Event, FirstSignalledInArrayOrderWinsAndOnlyItIsConsumed) {
    Event first = Event::create(EventReset::Auto);
    Event second = Event::create(EventReset::Auto);
    second.set();
    first.set();
    EXPECT_EQ(wait_for_either(first, second, 0), 0);
    // The second stayed signalled: only the winner was consumed.
    EXPECT_EQ(wait_for_either(first, second, 0), 1);
    EXPECT_EQ(wait_for_either(first, second, 0), WAIT_TIMED_OUT);

    Event manual = Event::create(EventReset::Manual, true);
    Event automatic = Event::create(EventReset::Auto, true);
    EXPECT_EQ(wait_for_either(manual, automatic, 0), 0);
    EXPECT_EQ(wait_for_either(automatic, manual, 0), 0);  // consumes the auto one
    EXPECT_EQ(wait_for_either(automatic, manual, 0), 1);
}

TEST(Event, DeadHandlesFailAtOnce) {
    Event never_created;
    Event closed = Event::create(EventReset::Manual, true);
    closed.close();
    Event alive = Event::create(EventReset::Manual, true);
    EXPECT_FALSE(never_created.valid());
    EXPECT_FALSE(closed.valid());
    EXPECT_FALSE(closed.set());
    EXPECT_FALSE(closed.reset());
    EXPECT_FALSE(never_created.set());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for_one(never_created, WAIT_INFINITE), WAIT_FAILED);
    EXPECT_EQ(wait_for_one(closed, WAIT_INFINITE), WAIT_FAILED);
    // Even when a live event in the same wait is signalled.
    EXPECT_EQ(wait_for_either(alive, closed, WAIT_INFINITE), WAIT_FAILED);
    EXPECT_EQ(wait_for_any(nullptr, 0, 0), WAIT_FAILED);
    EXPECT_LT(elapsed_ms(start), 3000);
}

TEST(Event, WaitEndsAtItsLimit) {
    Event first = Event::create(EventReset::Auto);
    Event second = Event::create(EventReset::Manual);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for_either(first, second, SHORT_LIMIT_MS), WAIT_TIMED_OUT);
    const int64_t waited = elapsed_ms(start);
    EXPECT_GE(waited, SHORT_LIMIT_MS - 1);
    EXPECT_LT(waited, 3000);
}

TEST(Event, SetFromAnotherThreadWakesTheWaiterWithItsIndex) {
    Event first = Event::create(EventReset::Auto);
    Event second = Event::create(EventReset::Auto);
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        second.set();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for_either(first, second, 10000), 1);
    EXPECT_LT(elapsed_ms(start), 5000);
    setter.join();
    EXPECT_EQ(wait_for_either(first, second, 0), WAIT_TIMED_OUT);
}

TEST(Event, CloseWakesEveryBlockedWaiterWithFailure) {
    Event other = Event::create(EventReset::Auto);
    Event doomed = Event::create(EventReset::Manual);
    std::atomic<int> failed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (wait_for_either(other, doomed, WAIT_INFINITE) == WAIT_FAILED) ++failed;
        });
    }
    std::this_thread::sleep_for(30ms);
    Event closer = doomed;  // closed through another handle, from another thread
    std::thread([&] { closer.close(); }).join();
    const auto start = std::chrono::steady_clock::now();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(failed.load(), 3);
    EXPECT_LT(elapsed_ms(start), std::chrono::milliseconds(HANG_BOUND).count());
}

// Two threads race for one auto-reset event. Each set must wake exactly one
// wait: none lost, none doubled.
TEST(Event, AutoResetSignalIsConsumedByExactlyOneWaiter) {
    constexpr int SETS = 300;
    Event work = Event::create(EventReset::Auto);
    Event stop = Event::create(EventReset::Manual);
    Event consumed = Event::create(EventReset::Auto);
    std::atomic<int> wakeups{0};
    auto racer = [&] {
        for (;;) {
            const int which = wait_for_either(stop, work, 10000);
            if (which != 1) return;
            ++wakeups;
            consumed.set();
        }
    };
    std::thread a(racer), b(racer);
    int acknowledged = 0;
    for (int i = 0; i < SETS; ++i) {
        work.set();
        // Space the sets: wait until some racer took this one.
        if (wait_for_one(consumed, 10000) == 0) ++acknowledged;
    }
    // A doubled signal would show up as an extra wake-up now.
    std::this_thread::sleep_for(20ms);
    stop.set();
    a.join();
    b.join();
    EXPECT_EQ(acknowledged, SETS);
    EXPECT_EQ(wakeups.load(), SETS);
}

// Many sets against many waiters on a manual event: each waiter sees it.
TEST(Event, ManualSetReleasesEveryWaiter) {
    Event gate = Event::create(EventReset::Manual);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (wait_for_one(gate, 10000) == 0) ++released;
        });
    }
    std::this_thread::sleep_for(20ms);
    gate.set();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 4);
}

TEST(Event, ManyEventsInOneWaitFindTheSignalledOne) {
    std::vector<Event> events;
    std::vector<const Event*> handles;
    for (int i = 0; i < 64; ++i) events.push_back(Event::create(EventReset::Auto));
    for (const Event& event : events) handles.push_back(&event);
    events[41].set();
    events[17].set();
    EXPECT_EQ(wait_for_any(handles.data(), static_cast<int>(handles.size()), 1000), 17);
    EXPECT_EQ(wait_for_any(handles.data(), static_cast<int>(handles.size()), 1000), 41);
}

// Streams recreate their events in shared handles while threads of the last
// stream may still wait on them: the waiters must see a closed event (and fail)
// or the new one, and nothing may race (the TSan build checks that).
TEST(Event, HandleReassignedWhileOthersWaitAndSet) {
    Event shared = Event::create(EventReset::Auto);
    std::atomic<bool> done{false};
    std::atomic<int> results{0};
    std::thread waiter([&] {
        while (!done) {
            const int result = wait_for_one(shared, 1);
            if (result == 0 || result == WAIT_FAILED || result == WAIT_TIMED_OUT) ++results;
        }
    });
    std::thread setter([&] {
        while (!done) shared.set();
    });
    // Go on until the waiter has been through a good number of waits.
    const auto give_up = std::chrono::steady_clock::now() + HANG_BOUND;
    for (int i = 0; (i < 200 || results < 100) && std::chrono::steady_clock::now() < give_up; ++i) {
        Event old = shared;
        shared = Event::create(EventReset::Auto);
        old.close();
    }
    done = true;
    waiter.join();
    setter.join();
    EXPECT_GE(results.load(), 100);
    EXPECT_TRUE(shared.valid());
}
