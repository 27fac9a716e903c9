#pragma once
// Brings the messages that worker threads post to the dialog onto the UI thread
// as they arrive: one thread waits on the queue and hands each message to the
// UI thread as a queued call. No timer polls the queue.

#include <functional>
#include <thread>

#include "platform/message_queue.h"

class QObject;

class CMessagePump {
public:
    using Handler = std::function<void(platform::PostedMessage&)>;

    // handler runs on the thread of context; calls still queued when context
    // goes are dropped.
    CMessagePump(platform::MessageQueue& queue, QObject* context, Handler handler);
    ~CMessagePump();
    CMessagePump(const CMessagePump&) = delete;
    CMessagePump& operator=(const CMessagePump&) = delete;

    // Stops forwarding; messages posted afterwards stay in the queue.
    void Stop();

private:
    void Run();

    platform::MessageQueue& m_queue;
    QObject* m_context;
    Handler m_handler;
    std::thread m_thread;
};
