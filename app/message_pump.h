#pragma once
// Brings the messages that worker threads post to the dialog onto the UI thread
// as they arrive: one thread waits on the queue and hands each message to the
// UI thread as a queued call. No timer polls the queue.

#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/message_queue.h"

class QObject;

class CMessagePump {
public:
    using Handler = std::function<void(platform::PostedMessage&)>;

    // handler runs on the thread of context; calls still queued when context
    // goes are dropped, their messages kept for TakeUndelivered.
    CMessagePump(platform::MessageQueue& queue, QObject* context, Handler handler);
    ~CMessagePump();
    CMessagePump(const CMessagePump&) = delete;
    CMessagePump& operator=(const CMessagePump&) = delete;

    // Stops forwarding; messages posted afterwards stay in the queue.
    void Stop();
    // The messages handed on but not yet handled, oldest first; the handler
    // never sees them afterwards. Called on the thread of context.
    std::vector<platform::PostedMessage> TakeUndelivered();

private:
    void Run();
    void DeliverOldest();

    platform::MessageQueue& m_queue;
    QObject* m_context;
    Handler m_handler;
    std::mutex m_mutex;
    std::deque<platform::PostedMessage> m_handedOn;  // under m_mutex
    std::thread m_thread;
};
