#pragma once
// A launcher installation in a temporary folder for tests: PREFIX/ as the
// launcher's folder, PREFIX/files/ with stand-in programs, and the registry
// files and XDG_CONFIG_HOME pointed into the folder (restored afterwards).
//
// A stand-in is a small script that appends one line to the shared log:
// its name, STARTUP_SHOW_WINDOW, its working folder and its arguments.

#include "tests/support/temp_dir.h"

#include <string>
#include <vector>

namespace launcher_test {

struct LogLine {
    std::string program;
    std::string show_window;  // "unset" when the variable was missing
    std::string folder;       // physical path
    std::vector<std::string> arguments;
};

class TestInstallation {
public:
    TestInstallation();
    ~TestInstallation();
    TestInstallation(const TestInstallation&) = delete;
    TestInstallation& operator=(const TestInstallation&) = delete;

    // The launcher's folder (a physical path, without a trailing "/").
    const std::string& prefix() const { return prefix_; }
    std::string files() const { return prefix_ + "/files"; }
    std::string config_home() const { return temp_.file("config"); }
    std::string current_user_file() const { return temp_.file("config/tarnwick/HKEY_CURRENT_USER.reg"); }
    std::string local_machine_file() const { return prefix_ + "/HKEY_LOCAL_MACHINE.reg"; }
    std::string autostart_file() const { return temp_.file("config/autostart/Tarnwick.desktop"); }
    // A folder of its own inside the temporary folder.
    std::string make_folder(const std::string& name) const;

    // files/NAME, logging under the name given.
    void add_stand_in(const std::string& file_name, const std::string& logged_name) const;
    // usbhostfs, nethostfs, sockettest, vantrel and tskill, as the build installs them.
    void add_link_programs() const;
    // "InstallDir" = PREFIX + "/" in the local-machine file.
    void install() const;
    // The local-machine file with "InstallDir" stored as data (its text after "=").
    void write_install_dir(const std::string& data) const;
    // Replaces the current user's file with these value lines under the own key.
    void write_own_key(const std::string& lines) const;

    // Waits (bounded) until the log holds at least count lines and returns them all.
    std::vector<LogLine> wait_for_log(size_t count) const;
    std::vector<LogLine> log() const;
    void clear_log() const;

private:
    test_support::TempDir temp_;
    std::string prefix_;
    std::string log_;
    std::vector<std::pair<std::string, std::string>> saved_environment_;
};

// A registry file holding these value lines under the launcher's own key of the
// root ("HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE").
std::string own_key_file(const std::string& root, const std::string& lines);

// Writes an executable shell script.
void write_script(const std::string& path, const std::string& body);

}  // namespace launcher_test
