#pragma once
// Event objects: the stand-in for Win32 events and WaitForMultipleObjects.
//
// An Event is a handle: copies share one event object. A default-constructed
// Event is "never created"; after close() the handle is dead. Waiting on a dead
// or never-created handle fails at once. A handle may be assigned a new event
// while other threads use it (they go on with the object they already hold).

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

struct EventObject;  // defined in event.cpp

enum class EventReset { Manual, Auto };

class Event {
public:
    Event() = default;
    Event(const Event& other);
    Event(Event&& other) noexcept;
    Event& operator=(const Event& other);
    Event& operator=(Event&& other) noexcept;
    ~Event() = default;
    static Event create(EventReset kind, bool initially_signalled = false);

    bool valid() const;   // created and not closed
    bool set();           // false on a dead handle
    bool reset();         // false on a dead handle
    void close();         // wakes every waiter, whose wait then fails

private:
    friend int wait_for_any(const Event* const* events, int count, int64_t timeout_ms);
    std::shared_ptr<EventObject> object_;
};

// Results of wait_for_any other than a signalled index 0..count-1.
constexpr int WAIT_TIMED_OUT = -1;
constexpr int WAIT_FAILED = -2;
// Waits without limit.
constexpr int64_t WAIT_INFINITE = -1;

// Waits until one of the events is signalled and returns its index. When several
// are signalled the first in array order wins; an auto-reset event is consumed by
// the wait it satisfies. Returns WAIT_TIMED_OUT after timeout_ms, WAIT_FAILED at
// once when any handle is dead (also when it dies during the wait).
int wait_for_any(const Event* const* events, int count, int64_t timeout_ms);

inline int wait_for_one(const Event& event, int64_t timeout_ms) {
    const Event* one[] = {&event};
    return wait_for_any(one, 1, timeout_ms);
}

inline int wait_for_either(const Event& first, const Event& second, int64_t timeout_ms) {
    const Event* two[] = {&first, &second};
    return wait_for_any(two, 2, timeout_ms);
}

}  // namespace platform
