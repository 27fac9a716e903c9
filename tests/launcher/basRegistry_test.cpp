#include "launcher/basRegistry.h"

#include "tests/launcher/support/stand_ins.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <filesystem>

using launcher_test::TestInstallation;
using test_support::read_text;

namespace {

std::string own_section(const std::string& lines) {
    return launcher_test::own_key_file("HKEY_CURRENT_USER", lines);
}

struct ReadCase {
    const char* stored;  // the value's line in the file
    bool number;
    int32_t expected_number;
    const char* expected_text;
};

TEST(GetSettingValueTest, GivesTextUpToItsNulIntegersAndEmptyTextForEverythingElse) {
    const ReadCase cases[] = {
        {"\"v\"=\"/home/u/psp\"", false, 0, "/home/u/psp"},
        {"\"v\"=\"\"", false, 0, ""},
        {"\"v\"=hex(1):61,62,63", false, 0, "abc"},            // no NUL: read in full
        {"\"v\"=hex(1):61,00,62,00", false, 0, "a"},           // up to the first NUL
        {"\"v\"=hex(1):", false, 0, ""},
        {"\"v\"=dword:00000001", true, 1, ""},
        {"\"v\"=dword:ffffffff", true, -1, ""},
        {"\"v\"=hex(4):02,00", true, 2, ""},                   // short data still fills the integer
        {"\"v\"=hex(4):01,00,00,00,00", false, 0, ""},         // too long for 32 bits
        {"\"v\"=hex(2):2f,00", false, 0, ""},                  // REG_EXPAND_SZ
        {"\"v\"=hex:01,02", false, 0, ""},                     // REG_BINARY
        {"\"v\"=hex(7):61,00,00,00", false, 0, ""},            // REG_MULTI_SZ
        {"\"other\"=\"x\"", false, 0, ""},                     // missing value
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.stored);
        TestInstallation installation;
        installation.write_own_key(std::string(c.stored) + "\n");
        const SettingValue value = GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, "V");
        EXPECT_EQ(value.IsNumber(), c.number);
        if (c.number) {
            EXPECT_EQ(value.Number(), c.expected_number);
        } else {
            EXPECT_EQ(value.AsText(), c.expected_text);
        }
    }
}

TEST(GetSettingValueTest, MissingFileOrKeyIsEmptyText) {
    TestInstallation installation;
    EXPECT_TRUE(GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, "USB").IsEmptyText());
    EXPECT_TRUE(GetSettingValue(HKEY_LOCAL_MACHINE, OWN_KEY, "InstallDir").IsEmptyText());
    SaveSettingValue(HKEY_CURRENT_USER, "Software\\other", "USB", 1);
    EXPECT_TRUE(GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, "USB").IsEmptyText());
    EXPECT_TRUE(GetSettingValue(HKEY_CURRENT_USER, "Software\\other", "usb").Is(1));
}

TEST(SaveSettingValueTest, NumbersAndNumericTextsAreDwordsOtherTextsTrimmedStrings) {
    struct Case {
        const char* value;
        const char* stored;
    } const cases[] = {
        {"12", "dword:0000000c"},
        {" 12 ", "dword:0000000c"},
        {"-5", "dword:fffffffb"},
        {"+7", "dword:00000007"},
        {"  /home/u/my psp  ", "\"/home/u/my psp\""},
        {"12a", "\"12a\""},
        {"99999999999", "\"99999999999\""},  // beyond 32 bits it stays text
        {"   ", "\"\""},
        {"C:\\PSP \"x\"", "\"C:\\\\PSP \\\"x\\\"\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TestInstallation installation;
        SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "Value", c.value);
        EXPECT_EQ(read_text(installation.current_user_file()), own_section("\"Value\"=" + std::string(c.stored) + "\n"));
    }
}

TEST(SaveSettingValueTest, TextReadsBackWithoutItsSpacesAndNumbersAsIntegers) {
    TestInstallation installation;
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost", "  /srv/psp ");
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "RunCount", 1);
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "runcount", 3);  // names compare without case
    EXPECT_EQ(GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost").AsText(), "/srv/psp");
    EXPECT_TRUE(GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, "RUNCOUNT").Is(3));
}

// A folder's name is stored as it is: blanks at its ends and digits are its own.
TEST(SaveSettingTextTest, StoresTheTextAsItIs) {
    struct Case {
        const char* value;
        const char* stored;
    } const cases[] = {
        {"/home/u/x ", "\"/home/u/x \""},
        {" /home/u/x", "\" /home/u/x\""},
        {"12", "\"12\""},
        {"/home/u/back\\slash", "\"/home/u/back\\\\slash\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TestInstallation installation;
        SaveSettingText(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost", c.value);
        EXPECT_EQ(read_text(installation.current_user_file()),
                  own_section("\"VirtualHost\"=" + std::string(c.stored) + "\n"));
        EXPECT_EQ(GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost").AsText(), c.value);
    }
}

TEST(DeleteValueTest, RemovesTheValueAndIgnoresMissingKeysAndValues) {
    TestInstallation installation;
    DeleteValue(HKEY_CURRENT_USER, OWN_KEY, "USB");
    EXPECT_FALSE(std::filesystem::exists(installation.current_user_file())) << "a missing key creates nothing";
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, OWN_KEY));
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "USB", 1);
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "Wifi", 0);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, OWN_KEY));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "software\\QUENNICK"));
    DeleteValue(HKEY_CURRENT_USER, OWN_KEY, "usb");
    DeleteValue(HKEY_CURRENT_USER, OWN_KEY, "Missing");
    EXPECT_EQ(read_text(installation.current_user_file()), own_section("\"Wifi\"=dword:00000000\n"));
}

TEST(AutostartValueTest, IsTheXdgAutostartEntry) {
    TestInstallation installation;
    const std::string command = "\"" + installation.prefix() + "/tarnwick\"";
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, RUN_KEY));
    EXPECT_TRUE(GetSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick").IsEmptyText());
    SaveSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick", command);
    const std::string entry = read_text(installation.autostart_file());
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(entry.find("\nExec=" + command + "\n"), std::string::npos);
    EXPECT_EQ(GetSettingValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick").AsText(), command);
    EXPECT_FALSE(std::filesystem::exists(installation.current_user_file())) << "not in the registry file";
    DeleteValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick");
    EXPECT_FALSE(std::filesystem::exists(installation.autostart_file()));
    DeleteValue(HKEY_CURRENT_USER, RUN_KEY, "Tarnwick");  // gone already: no error
}

}  // namespace
