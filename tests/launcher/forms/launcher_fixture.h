#pragma once
// The launcher in a temporary installation with stand-in programs. Message
// boxes, the folder dialog and the tray host are stood in for; every start goes
// through the real program start and is also noted in order.

#include "launcher/Form1.h"
#include "launcher/Launcher.h"
#include "launcher/basRegistry.h"
#include "tests/launcher/support/stand_ins.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace launcher_test {

struct ShownBox {
    std::string text;
    MsgBoxIcon icon;
    std::string title;
};

struct ShellCall {
    std::string command;
    int style;
    bool started;
};

class LauncherTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Makes the launcher (once) and loads Form1; the result of the load.
    bool Load();
    Launcher& launcher();
    Form1& form() { return *launcher().form1(); }

    // The command lines started (or tried), in order.
    std::vector<std::string> Commands() const;
    // The own key's values as stored.
    SettingValue Own(const char* name) const { return GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, name); }
    // A shared folder of its own, stored as "VirtualHost".
    std::string UseSharedFolder(const std::string& name = "psp share");
    // After a failed start nobody handles: the critical box with the
    // description, every program stopped, and the end.
    void ExpectUnhandledEnd(const std::string& command, const std::string& description) const;
    // Lets the deferred deletes of closed forms happen.
    static void ProcessDeletes();

    TestInstallation installation;
    std::vector<ShownBox> boxes;
    std::vector<ShellCall> calls;
    std::string browse_result;
    std::vector<std::string> browse_prompts;
    bool tray_host = true;
    int ends = 0;

private:
    std::unique_ptr<Launcher> launcher_;
};

// The four stop commands in their order.
std::vector<std::string> StopCommands();
// QWidget::grab() into build/screenshots/NAME.png; the path.
std::string SaveScreenshot(QWidget* widget, const std::string& name);

}  // namespace launcher_test
