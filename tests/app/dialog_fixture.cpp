#include "tests/app/dialog_fixture.h"

#include <QElapsedTimer>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/message_box.h"
#include "server/server_thread.h"
#include "tests/support/files.h"

namespace gui_test {

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout_ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

QWidget* WaitForFocusWidget(int timeout_ms) {
    WaitUntil([] { return QApplication::focusWidget() != nullptr; }, timeout_ms);
    return QApplication::focusWidget();
}

void SaveScreenshot(QWidget* widget, const std::string& name) {
    const char* folder = std::getenv("VANTREL_SCREENSHOTS");
    const std::string dir = folder ? folder : "screenshots";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(widget->grab().save(QString::fromStdString(dir + "/" + name + ".png"), "PNG")) << name;
}

bool WithModalWindow(const std::function<void()>& trigger, const std::function<void(QWidget*)>& inside) {
    bool shown = false;
    QWidget* const before = QApplication::activeModalWidget();
    auto* poll = new QTimer;
    int tries = 0;
    QObject::connect(poll, &QTimer::timeout, [&] {
        QPointer<QWidget> modal = QApplication::activeModalWidget();
        if (modal && modal != before && modal->isVisible()) {
            poll->stop();
            shown = true;
            inside(modal);
            if (modal) modal->close();
        } else if (++tries > 400) {
            poll->stop();
        }
    });
    poll->start(10);
    trigger();
    poll->stop();
    delete poll;
    return shown;
}

void DialogTest::SetUp() {
    SetServerLoopbackOnly(true);
    platform::SetMessageBoxPresenter(
        [this](const std::string& text, const std::string& caption) { boxes_.emplace_back(text, caption); });
}

void DialogTest::TearDown() {
    window_.reset();
    record_.reset();
    platform::SetMessageBoxPresenter(nullptr);
    CSystemTray::SetTrayAvailableForTest(nullptr);
    CSystemTray::SetMenuTrackerForTest(nullptr);
    AfxSetMainWnd(nullptr);
}

void DialogTest::WriteIni(const std::string& keys) {
    test_support::write_text(folder_.file("Vantrel.ini"), "[StreamSettings]\n" + keys);
}

void DialogTest::MakeDialog(int nCmdShow) {
    record_ = std::make_unique<CVantrelDlg>(folder_.path());
    {
        std::lock_guard<std::mutex> guard(record_->Lock());
        record_->m_nServerPort = 0;  // a free port
    }
    window_ = std::make_unique<CVantrelDlgWindow>(*record_, nCmdShow);
    AfxSetMainWnd(window_.get());
}

void DialogTest::OpenDialog(int nCmdShow) {
    MakeDialog(nCmdShow);
    window_->OnInitDialog();
    if (!window_->StartsMinimised()) {
        window_->show();
        window_->activateWindow();
    }
    window_->findChild<QWidget*>(QStringLiteral("IDC_BROWSE"))->setFocus();
    if (!window_->StartsMinimised()) WaitUntil([this] { return window_->isActiveWindow() && QApplication::focusWidget(); });
    QApplication::processEvents();
}

uint16_t DialogTest::ServerPort() {
    return WaitForServerPort(10000);
}

std::string DialogTest::Ini() const {
    return test_support::read_text(folder_.file("Vantrel.ini"));
}

std::string DialogTest::IniValue(const std::string& key) const {
    std::istringstream lines(Ini());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return "<missing>";
}

}  // namespace gui_test
