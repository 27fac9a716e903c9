#include "app/test_console.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QSocketNotifier>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int KeyNamed(const std::string& name) {
    if (name == "Escape") return Qt::Key_Escape;
    if (name == "Return") return Qt::Key_Return;
    if (name == "Tab") return Qt::Key_Tab;
    return 0;
}

int BarValue(QWidget* dialog, const char* name) {
    const auto* bar = dialog->findChild<QProgressBar*>(QString::fromLatin1(name));
    return bar ? bar->value() : -1;
}

}  // namespace

bool CTestConsole::Enabled() {
    const char* value = std::getenv("VANTREL_TEST_CONSOLE");
    return value && std::strcmp(value, "1") == 0;
}

CTestConsole::CTestConsole(QWidget* dialog) : m_dialog(dialog) {
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    m_notifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, dialog, [this] { ReadLines(); });
}

CTestConsole::~CTestConsole() = default;

void CTestConsole::ReadLines() {
    char bytes[512];
    const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
    if (got <= 0) {
        if (got == 0) m_notifier->setEnabled(false);  // end of input
        return;
    }
    m_pending.append(bytes, static_cast<size_t>(got));
    for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
        const std::string line = m_pending.substr(0, end);
        m_pending.erase(0, end + 1);
        RunCommand(line);
    }
}

void CTestConsole::RunCommand(const std::string& line) {
    if (line.rfind("key ", 0) == 0) {
        const int key = KeyNamed(line.substr(4));
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : m_dialog;
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
    } else if (line == "bars") {
        std::printf("bars %d %d\n", BarValue(m_dialog, "IDC_PROGRESS_PSP"), BarValue(m_dialog, "IDC_PROGRESS_PC"));
    } else if (line == "focus") {
        const QWidget* focus = QApplication::focusWidget();
        const auto* edit = qobject_cast<const QLineEdit*>(focus);
        const std::string name = focus ? focus->objectName().toStdString() : "-";
        if (edit && edit->hasSelectedText()) {
            std::printf("focus %s selected %s\n", name.c_str(), edit->selectedText().toStdString().c_str());
        } else {
            std::printf("focus %s\n", name.c_str());
        }
    } else if (line.rfind("grab ", 0) == 0) {
        m_dialog->grab().save(QString::fromStdString(line.substr(5)), "PNG");
        std::printf("grabbed\n");
    }
    std::fflush(stdout);
}
