#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// One lock guards the state of every event. Waits on several events must look at
// all of them at once, and the events are cheap to touch, so one lock keeps the
// wait free of lock-ordering problems without costing anything measurable.
std::mutex& events_mutex() {
    static std::mutex mutex;
    return mutex;
}

// A thread inside wait_for_any. It registers itself with every event it waits
// on, so set() and close() wake only the threads that care about that event.
struct Waiter {
    std::condition_variable wake;
};

}  // namespace

struct EventObject {
    EventReset kind = EventReset::Manual;
    bool signalled = false;
    bool closed = false;
    std::vector<Waiter*> waiters;  // guarded by events_mutex()

    void wake_waiters() {
        for (Waiter* waiter : waiters) waiter->wake.notify_one();
    }
};

// The handle's pointer is read and replaced under the events lock, so that a
// handle reassigned by one thread while another waits on it is no data race.
Event::Event(const Event& other) {
    std::lock_guard<std::mutex> lock(events_mutex());
    object_ = other.object_;
}

Event::Event(Event&& other) noexcept {
    std::lock_guard<std::mutex> lock(events_mutex());
    object_ = std::move(other.object_);
}

Event& Event::operator=(const Event& other) {
    std::shared_ptr<EventObject> old;  // released after the lock
    std::lock_guard<std::mutex> lock(events_mutex());
    if (this != &other) {
        old = std::move(object_);
        object_ = other.object_;
    }
    return *this;
}

Event& Event::operator=(Event&& other) noexcept {
    std::shared_ptr<EventObject> old;
    std::lock_guard<std::mutex> lock(events_mutex());
    if (this != &other) {
        old = std::move(object_);
        object_ = std::move(other.object_);
    }
    return *this;
}

Event Event::create(EventReset kind, bool initially_signalled) {
    auto object = std::make_shared<EventObject>();
    object->kind = kind;
    object->signalled = initially_signalled;
    Event event;
    event.object_ = std::move(object);  // not shared yet: no lock needed
    return event;
}

bool Event::valid() const {
    std::lock_guard<std::mutex> lock(events_mutex());
    return object_ && !object_->closed;
}

bool Event::set() {
    std::lock_guard<std::mutex> lock(events_mutex());
    if (!object_ || object_->closed) return false;
    object_->signalled = true;
    object_->wake_waiters();
    return true;
}

bool Event::reset() {
    std::lock_guard<std::mutex> lock(events_mutex());
    if (!object_ || object_->closed) return false;
    object_->signalled = false;
    return true;
}

void Event::close() {
    std::lock_guard<std::mutex> lock(events_mutex());
    if (!object_) return;
    object_->closed = true;
    object_->signalled = false;
    object_->wake_waiters();
}

namespace {

// The outcome of one look at the events, made under the lock: a dead handle
// fails the wait, otherwise the first signalled event wins (and an auto-reset
// one is consumed here, by the wait it satisfies).
constexpr int NOTHING_SIGNALLED = -100;

int check_events(EventObject* const* objects, int count) {
    for (int i = 0; i < count; ++i) {
        if (!objects[i] || objects[i]->closed) return WAIT_FAILED;
    }
    for (int i = 0; i < count; ++i) {
        if (objects[i]->signalled) {
            if (objects[i]->kind == EventReset::Auto) objects[i]->signalled = false;
            return i;
        }
    }
    return NOTHING_SIGNALLED;
}

void register_waiter(EventObject* const* objects, int count, Waiter* waiter) {
    for (int i = 0; i < count; ++i) objects[i]->waiters.push_back(waiter);
}

void unregister_waiter(EventObject* const* objects, int count, Waiter* waiter) {
    for (int i = 0; i < count; ++i) {
        auto& list = objects[i]->waiters;
        auto found = std::find(list.begin(), list.end(), waiter);
        if (found != list.end()) list.erase(found);
    }
}

// The event objects one wait holds. Nearly every wait names one or two events,
// and the send loop waits once per slot: those waits take nothing from the heap.
class HeldEvents {
public:
    explicit HeldEvents(int count) {
        if (count > INLINE_COUNT) {
            spilled_held_.resize(count);
            spilled_objects_.resize(count);
        }
        held_ = count > INLINE_COUNT ? spilled_held_.data() : inline_held_;
        objects_ = count > INLINE_COUNT ? spilled_objects_.data() : inline_objects_;
    }
    HeldEvents(const HeldEvents&) = delete;
    HeldEvents& operator=(const HeldEvents&) = delete;

    void hold(int i, std::shared_ptr<EventObject> object) {
        objects_[i] = object.get();
        held_[i] = std::move(object);
    }
    EventObject* const* objects() const { return objects_; }

private:
    static constexpr int INLINE_COUNT = 4;
    std::shared_ptr<EventObject> inline_held_[INLINE_COUNT];
    EventObject* inline_objects_[INLINE_COUNT] = {};
    std::vector<std::shared_ptr<EventObject>> spilled_held_;
    std::vector<EventObject*> spilled_objects_;
    std::shared_ptr<EventObject>* held_;
    EventObject** objects_;
};

}  // namespace

int wait_for_any(const Event* const* events, int count, int64_t timeout_ms) {
    if (!events || count <= 0) return WAIT_FAILED;
    // Hold the objects themselves: other threads may close the handles or give
    // them new events meanwhile, and the objects must outlive our registration.
    HeldEvents held(count);
    std::unique_lock<std::mutex> lock(events_mutex());
    for (int i = 0; i < count; ++i) held.hold(i, events[i] ? events[i]->object_ : nullptr);
    EventObject* const* objects = held.objects();
    int result = check_events(objects, count);
    if (result != NOTHING_SIGNALLED || timeout_ms == 0) {
        return result == NOTHING_SIGNALLED ? WAIT_TIMED_OUT : result;
    }

    // A limit beyond any real wait is no limit (and would overflow the clock).
    constexpr int64_t LONGEST_LIMIT_MS = int64_t(1) << 40;
    if (timeout_ms > LONGEST_LIMIT_MS) timeout_ms = WAIT_INFINITE;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    Waiter waiter;
    register_waiter(objects, count, &waiter);
    while (result == NOTHING_SIGNALLED) {
        if (timeout_ms < 0) {
            waiter.wake.wait(lock);
        } else if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            result = check_events(objects, count);
            if (result == NOTHING_SIGNALLED) result = WAIT_TIMED_OUT;
            break;
        }
        result = check_events(objects, count);
    }
    unregister_waiter(objects, count, &waiter);
    return result;
}

}  // namespace platform
