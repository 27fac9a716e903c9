#include "tests/launcher/forms/launcher_fixture.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPixmap>
#include <QWidget>

#include <filesystem>

namespace launcher_test {

void LauncherTest::TearDown() {
    launcher_.reset();
    ProcessDeletes();
}

Launcher& LauncherTest::launcher() {
    if (!launcher_) {
        LauncherEnvironment environment;
        environment.launcher_folder = installation.prefix();
        environment.exe_name = "tarnwick";
        const ShellFunction real_shell = ShellFrom(installation.prefix());
        environment.Shell = [this, real_shell](const std::string& command, int style) {
            platform::StartResult result = real_shell(command, style);
            calls.push_back({command, style, result.started});
            return result;
        };
        environment.MsgBox = [this](const std::string& text, MsgBoxIcon icon, const std::string& title) {
            boxes.push_back({text, icon, title});
        };
        environment.BrowseForFolder = [this](QWidget*, const std::string& prompt) {
            browse_prompts.push_back(prompt);
            return browse_result;
        };
        environment.TrayHostAvailable = [this] { return tray_host; };
        environment.EndProgram = [this] { ++ends; };
        launcher_ = std::make_unique<Launcher>(environment);
    }
    return *launcher_;
}

bool LauncherTest::Load() { return launcher().LoadForm1(); }

std::vector<std::string> LauncherTest::Commands() const {
    std::vector<std::string> commands;
    for (const ShellCall& call : calls) commands.push_back(call.command);
    return commands;
}

std::string LauncherTest::UseSharedFolder(const std::string& name) {
    const std::string folder = installation.make_folder(name);
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost", folder);
    return folder;
}

void LauncherTest::ExpectUnhandledEnd(const std::string& command, const std::string& description) const {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, description);
    EXPECT_EQ(boxes[0].icon, MsgBoxIcon::Critical);
    std::vector<std::string> expected{command};
    for (const std::string& stop : StopCommands()) expected.push_back(stop);
    EXPECT_EQ(Commands(), expected);
    EXPECT_EQ(ends, 1);
}

void LauncherTest::ProcessDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

std::vector<std::string> StopCommands() {
    return {"files\\tskill usbhostfs", "files\\tskill nethostfs", "files\\tskill sockettest", "files\\tskill vantrel"};
}

std::string SaveScreenshot(QWidget* widget, const std::string& name) {
    std::filesystem::create_directories(SCREENSHOT_DIR);
    const std::string path = std::string(SCREENSHOT_DIR) + "/" + name + ".png";
    widget->grab().save(QString::fromStdString(path));
    return path;
}

}  // namespace launcher_test
