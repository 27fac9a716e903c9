#include "app/message_pump.h"

#include <QMetaObject>
#include <QObject>
#include <memory>

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

void CMessagePump::Run() {
    for (;;) {
        std::optional<platform::PostedMessage> taken = m_queue.take(-1);
        if (!taken) continue;
        if (taken->message == PUMP_STOP) return;
        auto message = std::make_shared<platform::PostedMessage>(std::move(*taken));
        Handler handler = m_handler;
        QMetaObject::invokeMethod(
            m_context, [handler, message] { handler(*message); }, Qt::QueuedConnection);
    }
}
