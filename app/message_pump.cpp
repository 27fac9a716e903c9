#include "app/message_pump.h"

#include <QMetaObject>
#include <QObject>
#include <optional>

CMessagePump::CMessagePump(platform::MessageQueue& queue, QObject* context, Handler handler)
    : m_queue(queue), m_context(context), m_handler(std::move(handler)) {
    m_queue.set_listener([this] { Wake(); });
    // Messages posted before the pump existed are handed on as well.
    if (m_queue.size() != 0) Wake();
}

CMessagePump::~CMessagePump() {
    Stop();
}

void CMessagePump::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped) return;
        m_stopped = true;
    }
    m_queue.set_listener(nullptr);
}

// Any thread: one queued call at a time.
void CMessagePump::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped || m_wakePending) return;
    m_wakePending = true;
    QMetaObject::invokeMethod(
        m_context, [this] { DeliverOldest(); }, Qt::QueuedConnection);
}

// One message per call, in order; the next call is queued before the handler
// runs, so a handler that runs a nested event loop (a message box) sees the
// later messages from inside it.
void CMessagePump::DeliverOldest() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped) return;
        m_wakePending = false;  // before the take: a post from here on wakes again
    }
    std::optional<platform::PostedMessage> message = m_queue.take(0);
    if (!message) return;
    if (m_queue.size() != 0) Wake();
    m_handler(*message);
}
