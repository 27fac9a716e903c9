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

#include <filesystem>

namespace launcher_test {
namespace {

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

TEST_F(SettingsFormTest, TheRootFolderIsStoredAsItIs) {
    frmSettings& settings = Open();
    browse_result = "/";
    QTest::mouseClick(settings.cmdBrowse, Qt::LeftButton);
    EXPECT_EQ(Own("VirtualHost").AsText(), "/");
    EXPECT_EQ(form().LinuxPath(), "\"/\"");
}

}  // namespace
}  // namespace launcher_test
