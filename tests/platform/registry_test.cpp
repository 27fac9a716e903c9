#include "platform/registry.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
using test_support::read_text;
using test_support::TempDir;
using test_support::write_text;

namespace {

const std::string HEADER = "Windows Registry Editor Version 5.00\n";
const char* const KEY = "Software\\quennick\\Tarnwick";

// Points both registry files and XDG_CONFIG_HOME into a temporary folder.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("REGISTRY_CURRENT_USER_FILE", user_file().c_str(), 1);
        ::setenv("REGISTRY_LOCAL_MACHINE_FILE", machine_file().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", folder_.file("config").c_str(), 1);
    }
    void TearDown() override {
        for (const char* name : {"REGISTRY_CURRENT_USER_FILE", "REGISTRY_LOCAL_MACHINE_FILE", "XDG_CONFIG_HOME"})
            ::unsetenv(name);
    }
    std::string user_file() const { return folder_.file("user.reg"); }
    std::string machine_file() const { return folder_.file("machine.reg"); }

    static RegistryKey create(const char* key = KEY) {
        std::optional<RegistryKey> created = RegistryKey::Create(HKEY_CURRENT_USER, key);
        EXPECT_TRUE(created);
        return *created;
    }
    static std::optional<RegistryValue> query(const char* name, const char* key = KEY) {
        const std::optional<RegistryKey> opened = RegistryKey::Open(HKEY_CURRENT_USER, key);
        return opened ? opened->Query(name) : std::nullopt;
    }

    TempDir folder_{"registry"};
};

RegistryValue raw(uint32_t type, const std::string& data) {
    RegistryValue value;
    value.type = type;
    value.data = data;
    return value;
}

TEST_F(RegistryTest, EveryTypeIsWrittenInTheExportStyleAndReadsBackTheSame) {
    struct Case {
        const char* name;
        RegistryValue value;
        const char* line;
    } const cases[] = {
        {"VirtualHost", RegistryValue::text("/home/u/my psp"), "\"VirtualHost\"=\"/home/u/my psp\""},
        {"Quoted \"name\"", RegistryValue::text("C:\\PSP \"x\""), "\"Quoted \\\"name\\\"\"=\"C:\\\\PSP \\\"x\\\"\""},
        {"", RegistryValue::text("default"), "@=\"default\""},
        {"USB", RegistryValue::number(1), "\"USB\"=dword:00000001"},
        {"Minus", RegistryValue::number(-2), "\"Minus\"=dword:fffffffe"},
        {"NoNul", raw(REG_SZ, "abc"), "\"NoNul\"=hex(1):61,62,63"},
        {"Inner", raw(REG_SZ, std::string("a\0b\0", 4)), "\"Inner\"=hex(1):61,00,62,00"},
        {"Lines", RegistryValue::text("a\nb"), "\"Lines\"=hex(1):61,0a,62,00"},
        {"Expand", raw(REG_EXPAND_SZ, std::string("/\0", 2)), "\"Expand\"=hex(2):2f,00"},
        {"Binary", raw(REG_BINARY, "\x01\xff"), "\"Binary\"=hex:01,ff"},
        {"Empty", raw(REG_BINARY, ""), "\"Empty\"=hex:"},
        {"Multi", raw(REG_MULTI_SZ, std::string("a\0\0", 3)), "\"Multi\"=hex(7):61,00,00"},
        {"Qword", raw(11, std::string(8, '\0')), "\"Qword\"=hex(b):00,00,00,00,00,00,00,00"},
        {"ShortDword", raw(REG_DWORD, "\x02"), "\"ShortDword\"=hex(4):02"},
    };
    const RegistryKey key = create();
    std::string expected = HEADER + "\n[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n";
    for (const Case& c : cases) {
        ASSERT_TRUE(key.Set(c.name, c.value)) << c.line;
        expected += std::string(c.line) + "\n";
    }
    EXPECT_EQ(read_text(user_file()), expected);
    for (const Case& c : cases) {
        const std::optional<RegistryValue> value = query(c.name);
        ASSERT_TRUE(value) << c.line;
        EXPECT_EQ(value->type, c.value.type) << c.line;
        EXPECT_EQ(value->data, c.value.data) << c.line;
    }
}

TEST_F(RegistryTest, ReadsWhatAnExportHoldsWithoutRegardToLetterCase) {
    write_text(user_file(),
               "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
               "; written by hand\r\n"
               "[HKEY_CURRENT_USER\\SOFTWARE\\Quennick\\tarnwick]\r\n"
               "; the old folder was D:\\\r\n"  // a note is never continued on the next line
               "\"Wifi\" = dword:1\r\n"
               "\"Long\"=hex:01,\t02,\\\r\n"
               "  03,04\r\n"
               "\"Twice\"=\"first\"\r\n"
               "\"TWICE\"=\"second\"\r\n"
               "\t\"Tabbed\"\t=\t\"x\"\r\n"
               "[HKEY_CURRENT_USER\\Software\\Deeper\\Key]\r\n");
    const std::optional<RegistryValue> wifi = query("WIFI");
    ASSERT_TRUE(wifi);
    EXPECT_EQ(wifi->data, RegistryValue::number(1).data);
    ASSERT_TRUE(query("long"));
    EXPECT_EQ(query("long")->data, "\x01\x02\x03\x04");
    EXPECT_EQ(query("twice")->data, RegistryValue::text("second").data);
    ASSERT_TRUE(query("tabbed"));
    EXPECT_EQ(query("tabbed")->data, RegistryValue::text("x").data);
    EXPECT_TRUE(RegistryKey::Open(HKEY_CURRENT_USER, "software\\deeper"));  // a key above a section exists
    EXPECT_FALSE(RegistryKey::Open(HKEY_CURRENT_USER, "software\\deep"));
    EXPECT_FALSE(RegistryKey::Open(HKEY_LOCAL_MACHINE, KEY));
}

TEST_F(RegistryTest, AFileThatCannotBeParsedReadsEmptyAndIsNeverOverwritten) {
    const std::string section = "[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n";
    const std::string broken[] = {
        section + "\"USB\"=dword:00000001\n",                                        // no header
        HEADER + "\"USB\"=dword:00000001\n",                                         // value before any section
        HEADER + section + "\"USB\"=dword:123456789\n",                              // nine digits
        HEADER + section + "\"USB\"=hex:1,02\n",                                     // one-digit byte
        HEADER + section + "\"USB\"=-\n",                                            // deletion marker
        HEADER + section + "\"USB=\"x\"\n",                                          // unclosed name
        HEADER + section + "USB=1\n",                                                // INI style
        HEADER + "[HKEY_LOCAL_MACHINE\\Software]\n",                                 // another root
        HEADER + "[HKEY_CURRENT_USERS\\Software]\n",
        HEADER + section + "\"VirtualHost\"=\"/home/u\n",                            // cut in the middle
    };
    for (const std::string& content : broken) {
        SCOPED_TRACE(content);
        write_text(user_file(), content);
        EXPECT_FALSE(query("USB"));
        EXPECT_FALSE(RegistryKey::Create(HKEY_CURRENT_USER, "Software\\New"));
        const std::optional<RegistryKey> root = RegistryKey::Open(HKEY_CURRENT_USER, "");
        ASSERT_TRUE(root);
        EXPECT_FALSE(root->Set("USB", RegistryValue::number(0)));
        EXPECT_FALSE(root->Delete("USB"));
        EXPECT_EQ(read_text(user_file()), content);
    }
}

// A file with nothing in it but blanks holds no value that a write could lose.
TEST_F(RegistryTest, ABlankFileIsAnEmptyStoreThatWritesReplace) {
    for (const std::string blank : {"", "\n", "\r\n\r\n", " \t\n", "\xEF\xBB\xBF\r\n"}) {
        SCOPED_TRACE(testing::PrintToString(blank));
        write_text(user_file(), blank);
        EXPECT_FALSE(query("USB"));
        EXPECT_TRUE(create().Set("USB", RegistryValue::number(1)));
        EXPECT_EQ(read_text(user_file()), HEADER + "\n[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n"
                                                   "\"USB\"=dword:00000001\n");
    }
}

TEST_F(RegistryTest, KeysAreCreatedWithTheirPathAndValuesDeleted) {
    EXPECT_FALSE(RegistryKey::Open(HKEY_CURRENT_USER, KEY));
    const RegistryKey key = create("\\Software\\quennick\\Tarnwick\\");
    EXPECT_EQ(read_text(user_file()), HEADER + "\n[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n");
    EXPECT_TRUE(RegistryKey::Open(HKEY_CURRENT_USER, "Software\\Quennick"));
    EXPECT_TRUE(key.Set("A", RegistryValue::number(1)));
    EXPECT_TRUE(key.Set("B", RegistryValue::number(2)));
    EXPECT_TRUE(key.Set("a", RegistryValue::number(3)));  // the same value, kept in its place
    EXPECT_TRUE(key.Delete("b"));
    EXPECT_FALSE(key.Delete("b"));
    EXPECT_EQ(read_text(user_file()), HEADER + "\n[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n\"A\"=dword:00000003\n");
}

TEST_F(RegistryTest, FilesComeFromTheEnvironmentOrTheirDefaultPlaces) {
    EXPECT_EQ(registry_file(HKEY_CURRENT_USER), user_file());
    EXPECT_EQ(registry_file(HKEY_LOCAL_MACHINE), machine_file());
    ::unsetenv("REGISTRY_CURRENT_USER_FILE");
    ::unsetenv("REGISTRY_LOCAL_MACHINE_FILE");
    EXPECT_EQ(registry_file(HKEY_CURRENT_USER), folder_.file("config/tarnwick/HKEY_CURRENT_USER.reg"));
    EXPECT_EQ(registry_file(HKEY_LOCAL_MACHINE).substr(registry_file(HKEY_LOCAL_MACHINE).rfind('/')),
              "/HKEY_LOCAL_MACHINE.reg");
    EXPECT_EQ(autostart_entry_file("Tarnwick"), folder_.file("config/autostart/Tarnwick.desktop"));
    // The folder of the user's file is made on the first write.
    EXPECT_TRUE(create().Set("USB", RegistryValue::number(0)));
    EXPECT_TRUE(std::filesystem::exists(folder_.file("config/tarnwick/HKEY_CURRENT_USER.reg")));
}

TEST_F(RegistryTest, RunValuesAreAutostartEntries) {
    const std::optional<RegistryKey> run =
        RegistryKey::Open(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    ASSERT_TRUE(run);
    EXPECT_FALSE(run->Query("Tarnwick"));
    EXPECT_TRUE(run->Set("Tarnwick", RegistryValue::text("\"/opt/tarnwick/tarnwick\"")));
    EXPECT_EQ(read_text(autostart_entry_file("Tarnwick")),
              "[Desktop Entry]\nType=Application\nName=Tarnwick\nExec=\"/opt/tarnwick/tarnwick\"\n"
              "X-GNOME-Autostart-enabled=true\n");
    ASSERT_TRUE(run->Query("tarnwick") || run->Query("Tarnwick"));
    EXPECT_EQ(run->Query("Tarnwick")->data, RegistryValue::text("\"/opt/tarnwick/tarnwick\"").data);
    EXPECT_FALSE(run->Set("Tarnwick", RegistryValue::number(1)));
    EXPECT_FALSE(run->Set("Tarnwick", RegistryValue::text("two\nlines")));
    for (const char* name : {"", "..", "../tarnwick/HKEY_CURRENT_USER"}) {
        EXPECT_FALSE(run->Set(name, RegistryValue::text("x"))) << name;
        EXPECT_FALSE(run->Delete(name)) << name;
    }
    EXPECT_TRUE(run->Delete("Tarnwick"));
    EXPECT_FALSE(std::filesystem::exists(autostart_entry_file("Tarnwick")));
    EXPECT_FALSE(std::filesystem::exists(user_file()));
}

// What the desktop session would run at login is what the Run value reads as.
TEST_F(RegistryTest, ARunValueReadsAsTheEntryTheSessionWouldStart) {
    struct Case {
        const char* entry;
        const char* expected;  // nullptr: no value
    } const cases[] = {
        {"[Desktop Entry]\nType=Application\nExec=\"/opt/t/tarnwick\"\n", "\"/opt/t/tarnwick\""},
        {"[Desktop Entry]\r\nExec=/opt/t/tarnwick\r\nX-GNOME-Autostart-enabled=true\r\n", "/opt/t/tarnwick"},
        {"[Desktop Entry]\nExec=/opt/t/tarnwick\nHidden=true\n", nullptr},  // turned off in the session's settings
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\nExec=/opt/t/tarnwick\n", nullptr},
        {"[Desktop Entry]\nExec=/opt/t/tarnwick\nHidden=false\n", "/opt/t/tarnwick"},
        {"[Desktop Entry]\nExec=/opt/t/tarnwick\n[Desktop Action New]\nExec=/opt/t/other\nHidden=true\n",
         "/opt/t/tarnwick"},  // another group's lines are not the entry's
        {"[Desktop Action New]\nExec=/opt/t/other\n[Desktop Entry]\nExec=/opt/t/tarnwick\n", "/opt/t/tarnwick"},
        {"[Desktop Entry]\nType=Application\n", nullptr},
    };
    const std::optional<RegistryKey> run =
        RegistryKey::Open(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    ASSERT_TRUE(run);
    std::filesystem::create_directories(folder_.file("config/autostart"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        write_text(autostart_entry_file("Tarnwick"), c.entry);
        const std::optional<RegistryValue> value = run->Query("Tarnwick");
        if (!c.expected) {
            EXPECT_FALSE(value);
            continue;
        }
        ASSERT_TRUE(value);
        EXPECT_EQ(value->data, RegistryValue::text(c.expected).data);
    }
}

// The Exec= line holds the value's program and arguments escaped as desktop
// entries require, and reads back as the value that was written.
TEST_F(RegistryTest, ARunValueIsEscapedForTheDesktopEntryAndReadsBackTheSame) {
    struct Case {
        const char* value;
        const char* exec;  // nullptr: only the round trip is checked
    } const cases[] = {
        {R"("/opt/tarnwick/tarnwick")", R"("/opt/tarnwick/tarnwick")"},
        {R"("/opt/a $b/tarnwick")", R"("/opt/a \\$b/tarnwick")"},
        {R"("/opt/back\slash/tarnwick")", R"("/opt/back\\\\slash/tarnwick")"},
        {R"("/opt/tick`/tarnwick")", R"("/opt/tick\\`/tarnwick")"},
        {R"("/opt/t" "two words" plain)", R"("/opt/t" "two words" plain)"},
        {R"(/opt/t/plain)", R"(/opt/t/plain)"},
        {R"("/opt/q 100% $x/tarnwick")", nullptr},
        {R"("/opt/50%/tarnwick" a%b "c d%")", nullptr},
    };
    const std::optional<RegistryKey> run =
        RegistryKey::Open(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run");
    ASSERT_TRUE(run);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_TRUE(run->Set("Tarnwick", RegistryValue::text(c.value)));
        const std::string entry = read_text(autostart_entry_file("Tarnwick"));
        if (c.exec) {
            EXPECT_NE(entry.find("\nExec=" + std::string(c.exec) + "\n"), std::string::npos) << entry;
        }
        // A single % would start a field code: each run of them is of pairs.
        for (size_t at = entry.find('%'); at != std::string::npos;) {
            const size_t end = entry.find_first_not_of('%', at);
            EXPECT_EQ((end - at) % 2, 0u) << entry;
            at = entry.find('%', end);
        }
        const std::optional<RegistryValue> value = run->Query("Tarnwick");
        ASSERT_TRUE(value);
        EXPECT_EQ(value->data, RegistryValue::text(c.value).data) << entry;
    }
}

// A store kept elsewhere and linked into place (as dotfile managers do) stays
// linked: the write goes to the file the link names.
TEST_F(RegistryTest, AWriteThroughASymbolicLinkKeepsTheLink) {
    std::filesystem::create_directories(folder_.file("dotfiles"));
    const std::string real = folder_.file("dotfiles/user.reg");
    write_text(real, HEADER + "\n[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n\"Wifi\"=dword:00000001\n");
    std::filesystem::create_symlink("dotfiles/user.reg", user_file());
    EXPECT_TRUE(create().Set("USB", RegistryValue::number(1)));
    EXPECT_TRUE(std::filesystem::is_symlink(user_file()));
    EXPECT_EQ(read_text(real), HEADER + "\n[HKEY_CURRENT_USER\\Software\\quennick\\Tarnwick]\n"
                                        "\"Wifi\"=dword:00000001\n\"USB\"=dword:00000001\n");
}

// Launchers started side by side write the same file: none loses another's values.
TEST_F(RegistryTest, WritersInSeveralProcessesLoseNoValue) {
    constexpr int WRITERS = 4, VALUES = 40;
    std::vector<pid_t> writers;
    for (int writer = 0; writer < WRITERS; ++writer) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::optional<RegistryKey> key = RegistryKey::Create(HKEY_CURRENT_USER, KEY);
            bool all_written = key.has_value();
            for (int value = 0; all_written && value < VALUES; ++value)
                all_written = key->Set("W" + std::to_string(writer) + "_" + std::to_string(value),
                                       RegistryValue::number(value));
            ::_exit(all_written ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int missing = 0;
    for (int writer = 0; writer < WRITERS; ++writer)
        for (int value = 0; value < VALUES; ++value)
            if (!query(("W" + std::to_string(writer) + "_" + std::to_string(value)).c_str())) ++missing;
    EXPECT_EQ(missing, 0);
}

// A writer killed at any moment leaves the old file or the new one, whole.
TEST_F(RegistryTest, AKilledWriterNeverLeavesABrokenFile) {
    const std::string padding(4000, 'p');
    for (int trial = 0; trial < 20; ++trial) {
        const pid_t writer = ::fork();
        if (writer == 0) {
            const std::optional<RegistryKey> key = RegistryKey::Create(HKEY_CURRENT_USER, KEY);
            for (int round = 0; key && round < 100000; ++round)
                key->Set("Value" + std::to_string(round % 7), RegistryValue::text(std::to_string(round) + padding));
            ::_exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + trial % 7));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        if (!std::filesystem::exists(user_file())) continue;
        const std::optional<RegistryKey> key = RegistryKey::Open(HKEY_CURRENT_USER, KEY);
        ASSERT_TRUE(key) << "trial " << trial << ":\n" << read_text(user_file()).substr(0, 300);
        for (int value = 0; value < 7; ++value) {
            const std::optional<RegistryValue> stored = key->Query("Value" + std::to_string(value));
            if (stored) {
                EXPECT_GT(stored->data.size(), padding.size());
            }
        }
    }
}

}  // namespace
