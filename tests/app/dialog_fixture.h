#pragma once
// The main dialog on a record whose INI file lives in a temporary folder, its
// server on a free loopback port, message boxes captured instead of shown.

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/system_tray.h"
#include "app/vantrel_dlg_window.h"
#include "core/vantrel_dlg.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace gui_test {

// Processes events until done() holds or about timeout_ms passed; true when it held.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 5000);

// The widget with the keyboard focus once there is one, null after about timeout_ms.
QWidget* WaitForFocusWidget(int timeout_ms = 5000);

// Saves widget->grab() as build/screenshots/<name>.png.
void SaveScreenshot(QWidget* widget, const std::string& name);

// Runs trigger(), which opens a modal window; calls inside() with that window
// once it shows, then closes it. Returns whether a modal window showed.
bool WithModalWindow(const std::function<void()>& trigger, const std::function<void(QWidget*)>& inside);

// A whole 200 answer with this body.
inline test_support::HttpResponse Page(std::string body) {
    test_support::HttpResponse response;
    response.body = std::move(body);
    return response;
}

using CapturedBox = std::pair<std::string, std::string>;  // text, caption

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the INI file the record is built from (before MakeDialog).
    void WriteIni(const std::string& keys);
    void MakeDialog(int nCmdShow = 1);
    // OnInitDialog, then shown as the modal run shows it.
    void OpenDialog(int nCmdShow = 1);
    uint16_t ServerPort();

    std::string Ini() const;
    // The value of one key of the INI file; "<missing>" when it is not there.
    std::string IniValue(const std::string& key) const;
    template <typename T>
    T* Control(const char* name) const {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }

    test_support::TempDir folder_{"vantrel-dialog"};
    std::unique_ptr<CVantrelDlg> record_;
    std::unique_ptr<CVantrelDlgWindow> window_;
    std::vector<CapturedBox> boxes_;
};

}  // namespace gui_test
