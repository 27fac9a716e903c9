#pragma once
// Brings the messages that worker threads post to the dialog onto the UI thread
// as they arrive: a post wakes the UI thread with a queued call, which takes
// the oldest message from the queue and hands it to the handler. No timer
// polls the queue, and at most one call waits in the UI thread's event queue
// whatever the posters do: the messages themselves wait in the (bounded,
// merging) message queue until the UI thread takes them.

#include <functional>
#include <mutex>

#include "platform/message_queue.h"

class QObject;

class CMessagePump {
public:
    using Handler = std::function<void(platform::PostedMessage&)>;

    // handler runs on the thread of context, which must outlive the pump.
    CMessagePump(platform::MessageQueue& queue, QObject* context, Handler handler);
    ~CMessagePump();
    CMessagePump(const CMessagePump&) = delete;
    CMessagePump& operator=(const CMessagePump&) = delete;

    // Stops handing messages on; those not yet handled stay in the queue.
    void Stop();

private:
    void Wake();
    void DeliverOldest();

    platform::MessageQueue& m_queue;
    QObject* m_context;
    Handler m_handler;
    std::mutex m_mutex;
    bool m_wakePending = false;  // under m_mutex
    bool m_stopped = false;      // under m_mutex
};
