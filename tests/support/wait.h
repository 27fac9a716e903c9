#pragma once
// A bounded wait for a condition that another thread makes true.

#include <chrono>
#include <thread>

namespace test_support {

// Polls every 10 ms for at most the given seconds; the condition's last value.
template <typename Condition>
bool eventually(Condition condition, int seconds = 30) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace test_support
