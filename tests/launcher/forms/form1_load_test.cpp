// Form1's start-up sequence against a temporary installation.

#include "tests/launcher/forms/launcher_fixture.h"
#include "tests/support/files.h"

#include "launcher/frmSettings.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QSystemTrayIcon>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace launcher_test {
namespace {

using test_support::read_text;

const std::string NOT_INSTALLED =
    "The application may not have been correctly installed.\r"
    "Please use the installer to install the program and try again.\r\r"
    "The application will now exit.";
const std::string MOVED =
    "The application my have been installed but not to this directory.\r"
    "Either move it back to the original install location or re-install the application to the new location.\r\r"
    "The application will now exit.";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

class Form1LoadTest : public LauncherTest {
protected:
    void SetUp() override {
        installation.add_link_programs();
        installation.install();
    }
    std::string Captions() {
        return form().mUSB->text().toStdString() + "|" + form().mWifi->text().toStdString() + "|" +
               form().mWifiControl->text().toStdString();
    }
};

TEST_F(Form1LoadTest, FirstRunOnAnEmptyRegistryWritesTheDefaultsAndStartsNothing) {
    SaveSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick", "\"/old/place/tarnwick\"");
    ASSERT_TRUE(Load());
    EXPECT_EQ(read_text(installation.current_user_file()),
              own_key_file("HKEY_CURRENT_USER",
                           "\"USB\"=dword:00000000\n\"Wifi\"=dword:00000000\n\"Oskel\"=dword:00000000\n"
                           "\"Control\"=dword:00000000\n\"RunCount\"=dword:00000001\n\"VirtualHost\"=\"" +
                               installation.prefix() + "\"\n"));
    EXPECT_FALSE(std::filesystem::exists(installation.autostart_file()));
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(ends, 0);
    EXPECT_TRUE(form().SysTray1->isVisible());
    EXPECT_EQ(form().SysTray1->toolTip().toStdString(), "Tarnwick - Enabled");
    EXPECT_EQ(form().txtLinuxPath->text().toStdString(), Quoted(installation.prefix()));
    EXPECT_EQ(Captions(), "Enable &USB|Enable &WiFi|Enable WifiController");
    EXPECT_FALSE(std::filesystem::exists(installation.prefix() + "/nethostfs.bat"));
}

TEST_F(Form1LoadTest, ALaterRunKeepsTheAutostartValue) {
    for (const char* run_count : {"dword:00000001", "dword:00000007", "\"1\""}) {
        installation.write_own_key(std::string("\"RunCount\"=") + run_count + "\n");
        SaveSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick", "\"/old/place/tarnwick\"");
        ASSERT_TRUE(Load());
        EXPECT_TRUE(std::filesystem::exists(installation.autostart_file())) << run_count;
        launcher().UnloadForm1();
    }
    installation.write_own_key("\"RunCount\"=dword:00000000\n");
    ASSERT_TRUE(Load());
    EXPECT_FALSE(std::filesystem::exists(installation.autostart_file()));
    EXPECT_TRUE(Own("RunCount").Is(1));
}

TEST_F(Form1LoadTest, WithoutInstallDirTwoBoxesAndTheEndWithNothingWrittenOrStarted) {
    std::filesystem::remove(installation.local_machine_file());
    installation.write_own_key("\"USB\"=dword:00000001\n");
    const std::string before = read_text(installation.current_user_file());
    EXPECT_FALSE(Load());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, NOT_INSTALLED);
    EXPECT_NE(boxes[1].text.find("another download site"), std::string::npos);
    EXPECT_EQ(boxes[1].text.substr(boxes[1].text.size() - 32), "\r\rThe application will now exit.");
    for (const ShownBox& box : boxes) {
        EXPECT_EQ(box.icon, MsgBoxIcon::Critical);
        EXPECT_EQ(box.title, "Tarnwick");
    }
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(read_text(installation.current_user_file()), before);
    EXPECT_FALSE(form().SysTray1->isVisible());
}

TEST_F(Form1LoadTest, AnInstallDirOfAnotherSpellingGivesTheMovedBox) {
    std::string upper = installation.prefix() + "/";
    upper[upper.size() - 3] = static_cast<char>(std::toupper(upper[upper.size() - 3]));
    const std::string stored[] = {
        "\"" + installation.prefix() + "\"",         // without its trailing "/"
        "\"" + upper + "\"",                          // another letter case
        "\"" + installation.prefix() + "/files/\"",
        "dword:00000001",
    };
    for (const std::string& value : stored) {
        SCOPED_TRACE(value);
        installation.write_install_dir(value);
        boxes.clear();
        Launcher program(launcher().env());
        EXPECT_FALSE(program.LoadForm1());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, MOVED);
        EXPECT_EQ(boxes[0].icon, MsgBoxIcon::Critical);
        EXPECT_TRUE(calls.empty());
        EXPECT_FALSE(std::filesystem::exists(installation.current_user_file()));
    }
}

TEST_F(Form1LoadTest, EachOptionOnStartsItsProgramWithItsCommandLineAndStyle) {
    struct Case {
        const char* option;
        const char* command;  // with %s for the quoted shared folder
        int style;
        const char* program;
        const char* captions;
    } const cases[] = {
        {"Oskel", "files\\Vantrel.exe", 2, "vantrel", "Enable &USB|Enable &WiFi|Enable WifiController"},
        {"Control", "files\\sockettest.exe", 0, "sockettest", "Enable &USB|Enable &WiFi|Disable WifiController"},
        {"USB", "files\\usbhostfs %s", 0, "usbhostfs", "Disable &USB|Enable &WiFi|Enable WifiController"},
        {"Wifi", "nethostfs.bat %s", 0, "nethostfs", "Enable &USB|Disable &WiFi|Enable WifiController"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        LauncherTest::TearDown();
        calls.clear();
        std::filesystem::remove(installation.current_user_file());
        installation.clear_log();
        const std::string shared = UseSharedFolder(std::string("psp ") + c.option);
        SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, c.option, 1);
        ASSERT_TRUE(Load());
        std::string command = c.command;
        if (command.find("%s") != std::string::npos) command.replace(command.find("%s"), 2, Quoted(shared));
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].command, command);
        EXPECT_EQ(calls[0].style, c.style);
        EXPECT_EQ(Captions(), c.captions);
        const std::vector<LogLine> log = installation.wait_for_log(1);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].program, c.program);
        EXPECT_EQ(log[0].show_window, std::to_string(c.style));
        if (std::string(c.option) == "USB") {
            EXPECT_EQ(log[0].arguments, std::vector<std::string>{shared});
        }
        if (std::string(c.option) == "Wifi") {
            EXPECT_EQ(log[0].folder, shared) << "nethostfs serves its working folder";
            EXPECT_EQ(read_text(installation.prefix() + "/nethostfs.bat"),
                      "/:\r\ncd \"" + shared + "\"\r\n\"" + installation.prefix() + "/files/nethostfs.exe\"\r\n");
        }
        EXPECT_TRUE(boxes.empty());
    }
}

TEST_F(Form1LoadTest, AllOptionsOnStartInTheirOrder) {
    const std::string shared = UseSharedFolder();
    for (const char* option : {"USB", "Wifi", "Oskel", "Control"}) SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, option, 1);
    ASSERT_TRUE(Load());
    EXPECT_EQ(Commands(), (std::vector<std::string>{"files\\Vantrel.exe", "files\\sockettest.exe",
                                                    "files\\usbhostfs " + Quoted(shared),
                                                    "nethostfs.bat " + Quoted(shared)}));
    EXPECT_EQ(installation.wait_for_log(4).size(), 4u);
}

TEST_F(Form1LoadTest, StoredValuesOfOtherTypesAreReadAsTheirRulesSay) {
    const std::string shared = installation.make_folder("hexpsp");
    std::string hex_no_nul;
    for (unsigned char c : shared) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x,", c);
        hex_no_nul += byte;
    }
    hex_no_nul.pop_back();
    installation.write_own_key("\"USB\"=dword:00000002\n"         // on only as 1: off and kept
                               "\"Wifi\"=\"\"\n"                  // empty text: reset to 0
                               "\"Oskel\"=\"1\"\n"                // a text is not the number 1
                               "\"Control\"=hex:01,00,00,00\n"    // REG_BINARY reads as empty text: reset
                               "\"RunCount\"=dword:00000001\n"
                               "\"VirtualHost\"=hex(1):" + hex_no_nul + "\n");
    ASSERT_TRUE(Load());
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(Own("USB").Is(2));
    EXPECT_TRUE(Own("Wifi").Is(0));
    EXPECT_EQ(Own("Oskel").AsText(), "1");
    EXPECT_FALSE(Own("Oskel").IsNumber());
    EXPECT_TRUE(Own("Control").Is(0));
    EXPECT_EQ(form().SharedFolder(), shared);  // without a NUL it reads in full

    launcher().UnloadForm1();
    installation.write_own_key("\"RunCount\"=dword:00000001\n\"VirtualHost\"=hex(1):2f,74,00,78,00\n");
    ASSERT_TRUE(Load());
    EXPECT_EQ(form().SharedFolder(), "/t");  // up to the NUL
    EXPECT_EQ(form().LinuxPath(), "\"/t\"");

    launcher().UnloadForm1();
    installation.write_own_key("\"RunCount\"=dword:00000001\n\"VirtualHost\"=hex(2):2f,74,00\n");
    ASSERT_TRUE(Load());
    EXPECT_EQ(form().SharedFolder(), installation.prefix());
    EXPECT_EQ(read_text(installation.current_user_file()).find("hex(2)"), std::string::npos);
    EXPECT_NE(read_text(installation.current_user_file()).find("\"VirtualHost\"=\"" + installation.prefix() + "\""),
              std::string::npos);
}

// The file the box names as the damaged store's new place.
std::string KeptAs(const std::string& box_text) {
    const std::string before = "It was kept as ", after = ", and a new one is written.";
    const size_t from = box_text.find(before), to = box_text.find(after);
    if (from == std::string::npos || to == std::string::npos || to < from) return "";
    return box_text.substr(from + before.size(), to - from - before.size());
}

// Settings that cannot be read are no first run: the autostart entry stays,
// the user is told once, and what is set from then on is saved again.
TEST_F(Form1LoadTest, ADamagedSettingsStoreIsSetAsideOnceAndTheAutostartEntryKept) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string damaged[] = {
        std::string("\x7f" "ELF\x02\x01\x00\x00\xff\xfe binary", 16),
        header + "[HKEY_CURRENT_USER\\Software\\quen",
        header + "[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n\"USB\"=dword:00000001\n\"VirtualHost\"=\"/ho",
    };
    for (const std::string& content : damaged) {
        SCOPED_TRACE(testing::PrintToString(content));
        LauncherTest::TearDown();
        boxes.clear();
        SaveSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick", "\"" + installation.prefix() + "/tarnwick\"");
        std::filesystem::create_directories(std::filesystem::path(installation.current_user_file()).parent_path());
        test_support::write_text(installation.current_user_file(), content);
        ASSERT_TRUE(Load());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].icon, MsgBoxIcon::Critical);
        EXPECT_NE(boxes[0].text.find(installation.current_user_file() + " cannot be read"), std::string::npos)
            << boxes[0].text;
        const std::string kept = KeptAs(boxes[0].text);
        EXPECT_EQ(kept.rfind(installation.current_user_file() + ".damaged", 0), 0u) << boxes[0].text;
        EXPECT_EQ(read_text(kept), content) << "the damaged file is kept for the user";
        EXPECT_TRUE(std::filesystem::exists(installation.autostart_file()));
        EXPECT_TRUE(Own("RunCount").Is(1));
        EXPECT_TRUE(form().SysTray1->isVisible());

        form().mSettings->trigger();
        launcher().settings()->Check2->click();
        EXPECT_TRUE(Own("USB").Is(1)) << "a ticked box is saved";
        launcher().settings()->close();
        ProcessDeletes();

        launcher().UnloadForm1();
        ASSERT_TRUE(Load());
        EXPECT_EQ(boxes.size(), 1u) << "told once";
        EXPECT_TRUE(std::filesystem::exists(installation.autostart_file()));
    }
}

// The session ends (log-off, a termination signal) while a box of the load is
// up: the load goes no further, and nothing is left running or written after
// the stops.
TEST_F(Form1LoadTest, ASessionEndingUnderALoadsBoxEndsTheLoad) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> started;  // before the box
    } const cases[] = {
        {"damaged store",
         [this] {
             std::filesystem::create_directories(std::filesystem::path(installation.current_user_file()).parent_path());
             test_support::write_text(installation.current_user_file(), "not a registry file");
         },
         {}},
        {"folder gone",
         [this] {
             const std::string gone = UseSharedFolder("gone");
             std::filesystem::remove(gone);
             installation.write_own_key("\"USB\"=dword:00000001\n\"Oskel\"=dword:00000001\n\"RunCount\"=dword:00000001\n"
                                        "\"VirtualHost\"=\"" + gone + "\"\n");
         },
         {"files\\Vantrel.exe"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherTest::TearDown();
        calls.clear();
        boxes.clear();
        ends = 0;
        c.arrange();
        LauncherEnvironment environment = launcher().env();
        // The end request comes while the box waits for the user.
        std::string store_at_box;
        Launcher* running = nullptr;
        environment.MsgBox = [&](const std::string& text, MsgBoxIcon icon, const std::string& title) {
            boxes.push_back({text, icon, title});
            store_at_box = read_text(installation.current_user_file());
            running->EndSession();
        };
        Launcher under_box(environment);
        running = &under_box;
        EXPECT_FALSE(under_box.LoadForm1());
        ASSERT_EQ(boxes.size(), 1u);
        std::vector<std::string> expected = c.started;
        for (int event = 0; event < 2; ++event)  // the unload's stops, then the termination's
            for (const std::string& stop : StopCommands()) expected.push_back(stop);
        EXPECT_EQ(Commands(), expected);
        EXPECT_EQ(read_text(installation.current_user_file()), store_at_box) << "nothing written after the box";
        EXPECT_FALSE(under_box.form1()->SysTray1->isVisible());
    }
}

// A load that fails half-way stops what it started before the launcher ends.
TEST_F(Form1LoadTest, AFailedStartStopsWhatThisLoadStartedAndEnds) {
    const std::string shared = UseSharedFolder();
    for (const char* option : {"USB", "Wifi", "Oskel", "Control"}) SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, option, 1);
    std::filesystem::remove(installation.files() + "/usbhostfs");
    EXPECT_FALSE(Load());
    EXPECT_EQ(Commands(), (std::vector<std::string>{"files\\Vantrel.exe", "files\\sockettest.exe",
                                                    "files\\usbhostfs " + Quoted(shared), "files\\tskill vantrel",
                                                    "files\\tskill sockettest"}));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "File not found: files/usbhostfs");
    EXPECT_EQ(boxes[0].icon, MsgBoxIcon::Critical);
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(form().SysTray1->isVisible());
}

TEST_F(Form1LoadTest, WithoutATrayHostTheLoadEndsAndStopsItsPrograms) {
    UseSharedFolder();
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "USB", 1);
    tray_host = false;
    EXPECT_FALSE(Load());
    ASSERT_EQ(Commands().size(), 2u);
    EXPECT_EQ(Commands()[1], "files\\tskill usbhostfs");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, MsgBoxIcon::Critical);
    EXPECT_EQ(ends, 1);
}

}  // namespace
}  // namespace launcher_test
