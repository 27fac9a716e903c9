#include "app/message_pump.h"

#include <QMetaObject>
#include <QObject>
#include <iterator>
#include <optional>

namespace {

// Posted only by Stop(); no worker posts message 0.
constexpr unsigned PUMP_STOP = 0;

}  // namespace

CMessagePump::CMessagePump(platform::MessageQueue& queue, QObject* context, Handler handler)
    : m_queue(queue), m_context(context), m_handler(std::move(handler)), m_thread([this] { Run(); }) {}

CMessagePump::~CMessagePump() {
    Stop();
}

void CMessagePump::Stop() {
    if (!m_thread.joinable()) return;
    m_queue.post(PUMP_STOP);
    m_thread.join();
}

std::vector<platform::PostedMessage> CMessagePump::TakeUndelivered() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<platform::PostedMessage> left(std::make_move_iterator(m_handedOn.begin()),
                                              std::make_move_iterator(m_handedOn.end()));
    m_handedOn.clear();
    return left;
}

// The message stays with the pump until the UI thread takes it: a call that
// is dropped with its context must not lose it.
void CMessagePump::Run() {
    for (;;) {
        std::optional<platform::PostedMessage> taken = m_queue.take(-1);
        if (!taken) continue;
        if (taken->message == PUMP_STOP) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_handedOn.push_back(std::move(*taken));
        }
        QMetaObject::invokeMethod(
            m_context, [this] { DeliverOldest(); }, Qt::QueuedConnection);
    }
}

// One call per message handed on, in order; a handler that runs a nested
// event loop sees the later ones from inside it, as before.
void CMessagePump::DeliverOldest() {
    std::optional<platform::PostedMessage> message;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_handedOn.empty()) return;  // taken by TakeUndelivered
        message = std::move(m_handedOn.front());
        m_handedOn.pop_front();
    }
    m_handler(*message);
}
