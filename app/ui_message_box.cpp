#include "app/ui_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <memory>

namespace {

std::atomic<CUiMessageBoxes*> g_pCurrentBoxes{nullptr};

}  // namespace

CUiMessageBoxes::CUiMessageBoxes(Shower shower)
    : m_shower(std::move(shower)), m_context(std::make_unique<QObject>()) {
    m_previous = platform::SetMessageBoxPresenter(
        [this](const std::string& text, const std::string& caption) { Present(text, caption); });
    g_pCurrentBoxes = this;
}

CUiMessageBoxes::~CUiMessageBoxes() {
    ReleaseWaiters();
    CUiMessageBoxes* self = this;
    g_pCurrentBoxes.compare_exchange_strong(self, nullptr);
    platform::SetMessageBoxPresenter(std::move(m_previous));
}

void CUiMessageBoxes::SetOwner(QWidget* owner) {
    m_owner = owner;
}

void CUiMessageBoxes::ReleaseWaiters() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bReleased = true;
    m_dismissed.notify_all();
}

void CUiMessageBoxes::ReleaseCurrentWaiters() {
    if (CUiMessageBoxes* boxes = g_pCurrentBoxes.load()) boxes->ReleaseWaiters();
}

bool CUiMessageBoxes::Released() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bReleased;
}

std::string CUiMessageBoxes::StderrLine(const std::string& text, const std::string& caption) {
    std::string line = caption + ": ";
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            line += "\\n";
        } else {
            line += text[i];
        }
    }
    return line;
}

void CUiMessageBoxes::ShowQtBox(const std::string& text, const std::string& caption, QWidget* owner) {
    QString shown = QString::fromStdString(text);
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), shown, QMessageBox::Ok, owner);
    // Texts carry file names and feed addresses: never read as markup, which
    // would also load any file an <img> in them names.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void CUiMessageBoxes::Present(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s\n", StderrLine(text, caption).c_str());
    std::fflush(stderr);
    if (QThread::currentThread() == qApp->thread()) {
        if (!Released()) m_shower(text, caption, m_owner.data());
    } else {
        PresentFromWorker(text, caption);
    }
}

// The box shows on the UI thread; the worker waits for it as it would for its own box.
void CUiMessageBoxes::PresentFromWorker(const std::string& text, const std::string& caption) {
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        m_context.get(),
        [this, done, text, caption] {
            if (!Released()) m_shower(text, caption, m_owner.data());
            std::lock_guard<std::mutex> lock(m_mutex);
            *done = true;
            m_dismissed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_dismissed.wait(lock, [&] { return *done || m_bReleased; });
}
