#include "launcher/LinkPrograms.h"

#include "tests/launcher/support/stand_ins.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <filesystem>

using launcher_test::LogLine;
using launcher_test::TestInstallation;
using test_support::read_text;

namespace {

TEST(ConvertToCygwinPathTest, DriveLettersBackslashesAndDoubleSlashes) {
    struct Case {
        const char* folder;
        const char* expected;
    } const cases[] = {
        {"D:\\PSP", "\"/cygdrive/d/PSP\""},
        {"X:\\Media", "\"/cygdrive/x/Media\""},
        {"d:\\psp", "\"d:/psp\""},  // a lower-case drive letter is not converted
        {"C:\\", "\"/cygdrive/c/\""},
        {"\\\\server\\share", "\"/server/share\""},
        {"E:\\Games\\ISO", "\"/cygdrive/e/Games/ISO\""},
        {"D:\\A\\B:\\C", "\"/cygdrive/d/A/cygdrive/b/C\""},  // anywhere in the text
        {"\\\\\\x", "\"//x\""},                               // one pass: three slashes become two
        {"/home/u/psp", "\"/home/u/psp\""},
        {"/home/u/my psp", "\"/home/u/my psp\""},
        {"/home//u/", "\"/home/u/\""},
        {"/", "\"/\""},
        {"/home/u/say \"hi\"", "\"/home/u/say \\\"hi\\\"\""},  // a quote in a name is escaped
        // A path of this system keeps its backslashes; those before the closing quote are doubled.
        {"/home/u/back\\slash", "\"/home/u/back\\slash\""},
        {"/home/u/ends in\\", "\"/home/u/ends in\\\\\""},
        {"/home/u/X:\\y", "\"/home/u/X:\\y\""},
        {"/home/u/a\\\"b", "\"/home/u/a\\\\\\\"b\""},
        {"/home/u/trailing ", "\"/home/u/trailing \""},
    };
    for (const Case& c : cases) EXPECT_EQ(ConvertToCygwinPath(c.folder), c.expected) << c.folder;
}

TEST(NethostfsBatchTest, ThreeCrLfLinesByteForByte) {
    EXPECT_EQ(NethostfsBatchText("D:\\PSP", "C:/Program Files/Tarnwick"),
              "D:\r\ncd \"D:\\PSP\"\r\n\"C:/Program Files/Tarnwick/files/nethostfs.exe\"\r\n");
    TestInstallation installation;
    const std::string shared = installation.make_folder("my psp");
    const std::string batch = installation.prefix() + "/nethostfs.bat";
    test_support::write_text(batch, "an older, longer batch file that must be replaced whole\r\n");
    ASSERT_TRUE(WriteNethostfsBatch(shared, installation.prefix()).started);
    EXPECT_EQ(read_text(batch), "/:\r\ncd \"" + shared + "\"\r\n\"" + installation.prefix() + "/files/nethostfs.exe\"\r\n");
    for (const auto& entry : std::filesystem::directory_iterator(installation.prefix()))
        EXPECT_EQ(entry.path().filename().string().find(".nethostfs"), std::string::npos) << "temporary left behind";
}

TEST(NethostfsBatchTest, AFileThatCannotBeReplacedIsAFailureWithADescription) {
    TestInstallation installation;
    // A folder in the batch file's place cannot be replaced by a file.
    const std::string batch = installation.prefix() + "/nethostfs.bat";
    std::filesystem::create_directories(batch + "/kept");
    const platform::StartResult result = WriteNethostfsBatch("/srv", installation.prefix());
    EXPECT_FALSE(result.started);
    EXPECT_NE(result.description.find("nethostfs.bat"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(batch + "/kept"));
    for (const auto& entry : std::filesystem::directory_iterator(installation.prefix()))
        EXPECT_EQ(entry.path().filename().string().find(".nethostfs"), std::string::npos) << "temporary left behind";
}

// A line break in a folder's name would split the batch file's lines: its "cd"
// would enter another folder and the rest of the name would run as a program. A
// double quote in the launcher's folder would end the program's path early, so
// the runner would start whatever file the cut path names.
TEST(NethostfsBatchTest, FolderNamesTheBatchFileCannotHoldAreRefused) {
    struct Case {
        const char* shared;    // below the temporary folder
        const char* launcher;  // below the temporary folder; "" for the installation's
    } const cases[] = {
        {"a\"\nsub", ""}, {"a\"\r\nsub", ""}, {"a\"\rsub", ""}, {"psp", "tar\"nwick"}, {"psp", "tar\nnwick"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.shared) + " | " + c.launcher);
        TestInstallation installation;
        const std::string shared = installation.make_folder(c.shared);
        const std::string launcher = *c.launcher ? installation.make_folder(c.launcher) : installation.prefix();
        const std::string batch = launcher + "/nethostfs.bat";
        test_support::write_text(batch, "old\r\n");
        const platform::StartResult written = WriteNethostfsBatch(shared, launcher);
        EXPECT_FALSE(written.started);
        EXPECT_FALSE(written.description.empty());
        EXPECT_EQ(read_text(batch), "old\r\n") << "the old batch file stays";
    }
}

TEST(NethostfsBatchTest, RunsNethostfsInTheSharedFolderFromTheLaunchersFolder) {
    TestInstallation installation;
    installation.add_link_programs();
    const std::string shared = installation.make_folder("shared folder");
    ASSERT_NE(std::filesystem::current_path().string(), installation.prefix());
    ASSERT_TRUE(WriteNethostfsBatch(shared, installation.prefix()).started);
    const platform::StartResult result =
        ShellFrom(installation.prefix())("nethostfs.bat " + ConvertToCygwinPath(shared), vbHide);
    ASSERT_TRUE(result.started) << result.description;
    const std::vector<LogLine> log = installation.wait_for_log(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].program, "nethostfs");
    EXPECT_EQ(log[0].folder, shared);
    EXPECT_EQ(log[0].show_window, "0");
    EXPECT_TRUE(log[0].arguments.empty()) << "the batch file ignores its argument";
}

// The link programs must serve the chosen folder itself, whatever its name holds.
TEST(LinkProgramsTest, BothServersGetTheSharedFolderWhateverItsName) {
    const char* const names[] = {"my psp",      "say \"hi\" twice", "100% & more", "it's $HOME; `x`",
                                 "ends in \"", "back\\slash",     "ends in\\",   "quote after\\\"x",
                                 "trailing ",  " leading"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        TestInstallation installation;
        installation.add_link_programs();
        const std::string shared = installation.make_folder(name);
        const ShellFunction shell = ShellFrom(installation.prefix());
        const platform::StartResult usb = shell("files\\usbhostfs.exe " + ConvertToCygwinPath(shared), vbHide);
        ASSERT_TRUE(usb.started) << usb.description;
        installation.wait_for_log(1);
        ASSERT_TRUE(WriteNethostfsBatch(shared, installation.prefix()).started);
        const platform::StartResult wifi = shell("nethostfs.bat " + ConvertToCygwinPath(shared), vbHide);
        ASSERT_TRUE(wifi.started) << wifi.description;
        const std::vector<LogLine> log = installation.wait_for_log(2);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].program, "usbhostfs");
        EXPECT_EQ(log[0].arguments, std::vector<std::string>{shared});
        EXPECT_EQ(log[1].program, "nethostfs");
        EXPECT_EQ(log[1].folder, shared);
    }
}

TEST(ShellFromTest, RelativeCommandLinesStartFromTheLaunchersFolderWithTheirStyle) {
    TestInstallation installation;
    installation.add_link_programs();
    const ShellFunction shell = ShellFrom(installation.prefix());
    ASSERT_TRUE(shell("files\\usbhostfs \"/home/u/my psp\"", vbHide).started);
    installation.wait_for_log(1);
    ASSERT_TRUE(shell("files\\Vantrel.exe", vbMinimizedFocus).started);
    const std::vector<LogLine> log = installation.wait_for_log(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].program, "usbhostfs");
    EXPECT_EQ(log[0].arguments, std::vector<std::string>{"/home/u/my psp"});
    EXPECT_EQ(log[0].show_window, "0");
    EXPECT_EQ(log[1].program, "vantrel");
    EXPECT_EQ(log[1].show_window, "2");
    const platform::StartResult missing = shell("files\\nothere.exe", vbHide);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.description, "File not found: files/nothere.exe");
}

}  // namespace
