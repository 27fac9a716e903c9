// frmSettings against the registry and a loaded Form1.

#include "launcher/frmSettings.h"
#include "tests/launcher/forms/launcher_fixture.h"
#include "tests/support/files.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace launcher_test {
namespace {

using test_support::read_text;

// The log's lines of one program (the programs log side by side, in any order).
std::vector<LogLine> Started(const std::vector<LogLine>& log, const std::string& program) {
    std::vector<LogLine> lines;
    for (const LogLine& line : log)
        if (line.program == program) lines.push_back(line);
    return lines;
}

// The log once each of these programs has logged (bounded wait).
std::vector<LogLine> WaitForStarts(const TestInstallation& installation, const std::vector<std::string>& programs) {
    std::vector<LogLine> log;
    for (int look = 0; look < 1000; ++look) {
        log = installation.log();
        bool all = true;
        for (const std::string& program : programs) all = all && !Started(log, program).empty();
        if (all) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return log;
}

class SettingsFormTest : public LauncherTest {
protected:
    void SetUp() override {
        installation.add_link_programs();
        installation.install();
        shared_ = UseSharedFolder();
        ASSERT_TRUE(Load());
    }
    frmSettings& Open() {
        form().mSettings->trigger();
        return *launcher().settings();
    }
    std::string Autostart() const { return "\"" + installation.prefix() + "/tarnwick\""; }
    std::string Ticks(frmSettings& settings) {
        std::string ticks;
        for (QCheckBox* box : {settings.Check1, settings.Check2, settings.Check3, settings.Check4, settings.Check5})
            ticks += box->isChecked() ? "1" : "0";
        return ticks;
    }
    // A click on the box itself, where the user clicks.
    static void Click(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2)); }
    std::string shared_;
};

TEST_F(SettingsFormTest, ShowsItsControlsWithTheirCaptions) {
    frmSettings& settings = Open();
    EXPECT_EQ(settings.windowTitle().toStdString(), "Tarnwick Settings");
    const std::pair<QWidget*, const char*> captions[] = {
        {settings.Frame1, "Server Settings"}, {settings.Label1, "Directory to share over USB/Wifi"},
        {settings.cmdBrowse, "&Browse..."}, {settings.Frame2, "Program Options"},
        {settings.Check1, "Run at &Windows Startup"}, {settings.Check2, "Enable &USB at Program Start"},
        {settings.Check3, "Enable &WiFi at Program Start"}, {settings.Check4, "Enable &Vantrel at Program Start"},
        {settings.Check5, "Enable &WiFi Controller at Program Start"}, {settings.Frame3, "WiFi Controller Test"},
        {settings.Command1, "Test WiFi Controller"}, {settings.cmdOK, "&OK"},
    };
    for (const auto& [widget, caption] : captions) {
        QString text;
        if (auto* group = qobject_cast<QGroupBox*>(widget)) text = group->title();
        if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
        EXPECT_EQ(text.toStdString(), caption);
    }
    EXPECT_TRUE(settings.Label2->text().startsWith("You must select a folder to host your files"));
    EXPECT_TRUE(settings.Label3->text().endsWith("to allow WiFi Controller to work."));
    EXPECT_EQ(settings.txtpath->text().toStdString(), shared_);
    EXPECT_EQ(Ticks(settings), "00000");
    SaveScreenshot(&settings, "tarnwick_settings");
}

TEST_F(SettingsFormTest, TheCheckBoxesShowTheRegistry) {
    struct Case {
        const char* values;
        bool autostart_here;
        const char* ticks;
    } const cases[] = {
        {"\"USB\"=dword:00000001\n\"Control\"=dword:00000001\n", true, "11001"},
        {"\"Wifi\"=dword:00000001\n\"Oskel\"=dword:00000001\n", false, "00110"},
        {"\"USB\"=dword:00000002\n\"Wifi\"=\"1\"\n\"Oskel\"=hex(1):31,00\n", false, "00000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values);
        installation.write_own_key(std::string(c.values) + "\"VirtualHost\"=\"" + shared_ + "\"\n");
        // An entry left from another place of the launcher shows unticked.
        SaveSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick", c.autostart_here ? Autostart() : "\"/old/tarnwick\"");
        frmSettings& settings = Open();
        EXPECT_EQ(Ticks(settings), c.ticks);
        if (std::string(c.ticks) == "11001") SaveScreenshot(&settings, "tarnwick_settings_ticked");
        settings.cmdOK->click();
        ProcessDeletes();
        EXPECT_EQ(launcher().settings(), nullptr);
    }
}

TEST_F(SettingsFormTest, EachClickWritesItsValueAndStartsNothing) {
    frmSettings& settings = Open();
    const std::pair<QCheckBox*, const char*> options[] = {
        {settings.Check2, "USB"}, {settings.Check3, "Wifi"}, {settings.Check4, "Oskel"}, {settings.Check5, "Control"}};
    for (const auto& [box, name] : options) {
        Click(box);
        EXPECT_TRUE(Own(name).Is(1)) << name;
        Click(box);
        EXPECT_TRUE(Own(name).Is(0)) << name;
        Click(box);
    }
    Click(settings.Check1);
    EXPECT_EQ(GetSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick").AsText(), Autostart());
    EXPECT_NE(test_support::read_text(installation.autostart_file()).find("\nExec=" + Autostart() + "\n"),
              std::string::npos);
    Click(settings.Check1);
    EXPECT_FALSE(std::filesystem::exists(installation.autostart_file()));
    EXPECT_TRUE(calls.empty()) << "options take effect at the next load";
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(Ticks(settings), "01111");
}

TEST_F(SettingsFormTest, AChosenFolderIsSavedAndForm1Reloaded) {
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "USB", 1);
    frmSettings& settings = Open();
    calls.clear();
    const std::string chosen = installation.make_folder("new share");
    browse_result = chosen;
    // Tracked, not compared by address: the new form may be given the old one's memory.
    const QPointer<Form1> old_form = launcher().form1();
    QTest::mouseClick(settings.cmdBrowse, Qt::LeftButton);
    EXPECT_EQ(browse_prompts, std::vector<std::string>{"Select the folder to use as the root of your virtual Memory Stick."});
    EXPECT_TRUE(Own("VirtualHost").AsText() == chosen);
    EXPECT_EQ(settings.txtpath->text().toStdString(), chosen);
    std::vector<std::string> expected = StopCommands();
    expected.push_back("files\\usbhostfs \"" + chosen + "\"");
    EXPECT_EQ(Commands(), expected);
    ASSERT_NE(launcher().form1(), nullptr);
    EXPECT_TRUE(old_form.isNull()) << "the old form was unloaded";
    EXPECT_EQ(form().SharedFolder(), chosen);
    EXPECT_EQ(form().mUSB->text().toStdString(), "Disable &USB");
    EXPECT_TRUE(form().SysTray1->isVisible());
    EXPECT_TRUE(settings.isVisible()) << "the settings form stays open";
}

TEST_F(SettingsFormTest, ACancelledBrowseSavesTheFolderAgainAndReloadsIgnoringTypedText) {
    form().mWifiControl->trigger();  // started from the menu only: stopped by the reload
    EXPECT_EQ(form().mWifiControl->text().toStdString(), "Disable WifiController");
    frmSettings& settings = Open();
    calls.clear();
    settings.txtpath->setText("/typed/by/hand");
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost", "/changed/meanwhile");
    browse_result.clear();
    QTest::mouseClick(settings.cmdBrowse, Qt::LeftButton);
    EXPECT_EQ(Own("VirtualHost").AsText(), shared_);
    EXPECT_EQ(settings.txtpath->text().toStdString(), shared_);
    EXPECT_EQ(Commands(), StopCommands());
    EXPECT_EQ(form().mWifiControl->text().toStdString(), "Enable WifiController");
    EXPECT_EQ(ends, 0);
}

TEST_F(SettingsFormTest, TheTestButtonStartsTheControllerVisiblyAndOkClosesTheForm) {
    frmSettings& settings = Open();
    QTest::mouseClick(settings.Command1, Qt::LeftButton);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].command, "files\\sockettest.exe");
    EXPECT_EQ(calls[0].style, 1);
    const std::vector<LogLine> log = installation.wait_for_log(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].program, "sockettest");
    EXPECT_EQ(log[0].show_window, "1");
    QTest::mouseClick(settings.cmdOK, Qt::LeftButton);
    ProcessDeletes();
    EXPECT_EQ(launcher().settings(), nullptr);
    EXPECT_EQ(ends, 0);
}

TEST_F(SettingsFormTest, AMissingControllerOnTheTestButtonEndsTheLauncherAfterStoppingAll) {
    std::filesystem::remove(installation.files() + "/sockettest");
    frmSettings& settings = Open();
    QTest::mouseClick(settings.Command1, Qt::LeftButton);
    ExpectUnhandledEnd("files\\sockettest.exe", "File not found: files/sockettest.exe");
}

// On this system blanks at the ends of a name and backslashes inside it are
// part of the folder's name. A sibling folder stands where a trimmed or
// slash-converted name would lead, so serving it would go unnoticed otherwise.
TEST_F(SettingsFormTest, BothServersServeTheChosenFolderByItsOwnName) {
    struct Case {
        const char* chosen;   // below the temporary folder
        const char* sibling;  // the folder a changed name would name
    } const cases[] = {
        {"trailing ", "trailing"},
        {"two trailing  ", "two trailing"},
        {"back\\slash", "back/slash"},
        {"ends in\\", "ends in"},
        {"D:\\psp", "D:/psp"},
    };
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "USB", 1);
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "Wifi", 1);
    frmSettings& settings = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen);
        installation.make_folder(c.sibling);
        const std::string chosen = installation.make_folder(c.chosen);
        installation.clear_log();
        calls.clear();
        browse_result = chosen;
        QTest::mouseClick(settings.cmdBrowse, Qt::LeftButton);
        EXPECT_EQ(Own("VirtualHost").AsText(), chosen);
        EXPECT_EQ(settings.txtpath->text().toStdString(), chosen);
        EXPECT_TRUE(boxes.empty()) << boxes.front().text;
        EXPECT_EQ(ends, 0);
        const std::vector<LogLine> started = WaitForStarts(installation, {"usbhostfs", "nethostfs"});
        const std::vector<LogLine> usb = Started(started, "usbhostfs");
        ASSERT_EQ(usb.size(), 1u);
        EXPECT_EQ(usb[0].arguments, std::vector<std::string>{chosen});
        const std::vector<LogLine> wifi = Started(started, "nethostfs");
        ASSERT_EQ(wifi.size(), 1u);
        EXPECT_EQ(wifi[0].folder, chosen);
    }
}

// A shared folder that is gone must not keep the user from Settings: the
// launcher comes up with the message, and another folder can be chosen there.
TEST_F(SettingsFormTest, AFolderThatIsGoneLeavesTheServersOffUntilAnotherIsChosen) {
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "USB", 1);
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "Wifi", 1);
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "Oskel", 1);
    launcher().UnloadForm1();
    std::filesystem::remove(shared_);
    calls.clear();
    installation.clear_log();
    ASSERT_TRUE(Load());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Path not found: " + shared_ + "\r\rChoose another shared folder in Settings.");
    EXPECT_EQ(boxes[0].icon, MsgBoxIcon::Critical);
    EXPECT_EQ(ends, 0);
    EXPECT_TRUE(form().SysTray1->isVisible());
    EXPECT_EQ(Commands(), std::vector<std::string>{"files\\Vantrel.exe"}) << "what needs no folder still starts";
    EXPECT_EQ(form().mUSB->text().toStdString(), "Enable &USB");
    EXPECT_EQ(form().mWifi->text().toStdString(), "Enable &WiFi");

    frmSettings& settings = Open();
    SaveScreenshot(&settings, "tarnwick_settings_folder_gone");
    const std::string chosen = installation.make_folder("found again");
    browse_result = chosen;
    QTest::mouseClick(settings.cmdBrowse, Qt::LeftButton);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(form().mUSB->text().toStdString(), "Disable &USB");
    EXPECT_EQ(form().mWifi->text().toStdString(), "Disable &WiFi");
    const std::vector<LogLine> log = WaitForStarts(installation, {"usbhostfs", "nethostfs"});
    EXPECT_EQ(Started(log, "usbhostfs").size(), 1u);
    const std::vector<LogLine> wifi = Started(log, "nethostfs");
    ASSERT_EQ(wifi.size(), 1u);
    EXPECT_EQ(wifi[0].folder, chosen);
}

// Runs the autostart entry as a GLib desktop session does at login; its exit code.
int LaunchAsTheSession(const std::string& entry) {
    return std::system(("timeout 20 gio launch '" + entry + "' >/dev/null 2>&1").c_str());
}

std::string WaitForText(const std::string& path) {
    for (int look = 0; look < 1000 && read_text(path).empty(); ++look)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return read_text(path);
}

// Installed in a folder whose name holds what desktop entries reserve, the
// launcher is started by the session from its autostart entry, and the form
// shows the entry as its own.
TEST_F(SettingsFormTest, TheAutostartEntryStartsTheLauncherWhateverItsFolderIsCalled) {
    if (std::system("command -v gio >/dev/null 2>&1") != 0) GTEST_SKIP() << "gio (libglib2.0-bin) is not installed";
    const char* const names[] = {"q 100% $x", "50%", "it's `now`", "back\\slash \\$HOME", "a;b&c|d"};
    const std::string ran = installation.config_home() + "/ran.log";
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::string folder = installation.make_folder(name);
        write_script(folder + "/tarnwick", "printf '%s|%s\\n' \"$0\" \"$#\" > '" + ran + "'\n");
        std::filesystem::remove(ran);
        LauncherEnvironment environment = launcher().env();
        environment.launcher_folder = folder;
        Launcher program(environment);
        {
            frmSettings settings(program);
            settings.frmSettings_Form_Load();
            Click(settings.Check1);
        }
        EXPECT_EQ(LaunchAsTheSession(installation.autostart_file()), 0) << read_text(installation.autostart_file());
        EXPECT_EQ(WaitForText(ran), folder + "/tarnwick|0\n") << read_text(installation.autostart_file());
        frmSettings reopened(program);
        reopened.frmSettings_Form_Load();
        EXPECT_TRUE(reopened.Check1->isChecked()) << read_text(installation.autostart_file());
    }
}

TEST_F(SettingsFormTest, TheRootFolderIsStoredAsItIs) {
    frmSettings& settings = Open();
    browse_result = "/";
    QTest::mouseClick(settings.cmdBrowse, Qt::LeftButton);
    EXPECT_EQ(Own("VirtualHost").AsText(), "/");
    EXPECT_EQ(form().LinuxPath(), "\"/\"");
}

}  // namespace
}  // namespace launcher_test
