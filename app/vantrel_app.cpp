#include "app/vantrel_app.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "app/resource_ids.h"
#include "app/test_console.h"
#include "app/ui_message_box.h"
#include "app/vantrel_dlg_window.h"
#include "core/vantrel_dlg.h"
#include "feeds/xml_http.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "server/server_thread.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    // The start-up fetches of the stored feeds run before the window listens.
    CancelFeedFetches();
    const char byte = 1;
    const ssize_t written = write(g_signalPipe[1], &byte, 1);
    (void)written;
}

// SIGINT and SIGTERM end the program as the close box does. The handler only
// writes to a pipe; the UI thread reads it through a notifier.
class CStopSignals {
public:
    explicit CStopSignals(QWidget* mainWindow) {
        if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, mainWindow,
                         [mainWindow] { CloseAsTheCloseBoxDoes(mainWindow); });
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }

    ~CStopSignals() {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        m_notifier.reset();
        for (int& fd : g_signalPipe) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }

private:
    // Boxes and the About dialog open over the window are closed first.
    static void CloseAsTheCloseBoxDoes(QWidget* mainWindow) {
        char bytes[16];
        while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        for (int guard = 0; guard < 16; ++guard) {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == mainWindow) break;
            modal->close();
        }
        mainWindow->close();
    }

    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Tests run the program on loopback only.
void ApplyTestEnvironment() {
    const char* loopback = std::getenv("VANTREL_LISTEN_LOOPBACK");
    if (loopback && std::strcmp(loopback, "1") == 0) SetServerLoopbackOnly(true);
}

}  // namespace

int ShowCommandFromText(const char* text) {
    if (!text || !*text) return SW_SHOWNORMAL;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 0xFFFF) return SW_SHOWNORMAL;
    return static_cast<int>(value);
}

CVantrelApp::CVantrelApp() : m_nCmdShow(ShowCommandFromText(std::getenv(platform::SHOW_WINDOW_VARIABLE))) {}

bool CVantrelApp::InitInstance() {
    ApplyTestEnvironment();
    CUiMessageBoxes boxes;
    CVantrelDlg record(platform::program_folder());
    {
        CVantrelDlgWindow dlg(record, m_nCmdShow);
        boxes.SetOwner(&dlg);
        AfxSetMainWnd(&dlg);
        CStopSignals stopSignals(&dlg);
        std::unique_ptr<CTestConsole> testConsole;
        if (CTestConsole::Enabled()) testConsole = std::make_unique<CTestConsole>(&dlg);
        dlg.DoModal();
        AfxSetMainWnd(nullptr);
    }
    return false;
}
