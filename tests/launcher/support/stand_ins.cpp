#include "tests/launcher/support/stand_ins.h"

#include "tests/support/files.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace launcher_test {

namespace {

constexpr const char* REDIRECTED[] = {"REGISTRY_CURRENT_USER_FILE", "REGISTRY_LOCAL_MACHINE_FILE", "XDG_CONFIG_HOME"};
constexpr auto LOG_WAIT_LIMIT = std::chrono::seconds(20);

LogLine parse_log_line(const std::string& line) {
    LogLine parsed;
    std::istringstream fields(line);
    std::getline(fields, parsed.program, '|');
    std::getline(fields, parsed.show_window, '|');
    std::getline(fields, parsed.folder, '|');
    std::string rest;
    std::getline(fields, rest);
    // Each argument is written as [argument].
    size_t pos = 0;
    while (pos < rest.size() && rest[pos] == '[') {
        const size_t close = rest.find("]", pos);
        if (close == std::string::npos) break;
        parsed.arguments.push_back(rest.substr(pos + 1, close - pos - 1));
        pos = close + 1;
    }
    return parsed;
}

}  // namespace

std::string own_key_file(const std::string& root, const std::string& lines) {
    return "Windows Registry Editor Version 5.00\n\n[" + root + "\\Software\\quennick\\Tarnwick]\n" + lines;
}

void write_script(const std::string& path, const std::string& body) {
    test_support::write_text(path, "#!/bin/sh\n" + body);
    if (::chmod(path.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + path + " executable");
}

TestInstallation::TestInstallation() : temp_("tarnwick-test") {
    prefix_ = std::filesystem::canonical(temp_.path()).string() + "/Tarnwick";
    log_ = temp_.file("programs.log");
    std::filesystem::create_directories(files());
    for (const char* name : REDIRECTED) {
        const char* value = std::getenv(name);
        saved_environment_.emplace_back(name, value ? value : std::string("\x01"));
    }
    ::setenv("REGISTRY_CURRENT_USER_FILE", current_user_file().c_str(), 1);
    ::setenv("REGISTRY_LOCAL_MACHINE_FILE", local_machine_file().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config_home().c_str(), 1);
}

TestInstallation::~TestInstallation() {
    for (const auto& [name, value] : saved_environment_) {
        if (value == "\x01") {
            ::unsetenv(name.c_str());
        } else {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
}

std::string TestInstallation::make_folder(const std::string& name) const {
    const std::string folder = std::filesystem::canonical(temp_.path()).string() + "/" + name;
    std::filesystem::create_directories(folder);
    return folder;
}

void TestInstallation::add_stand_in(const std::string& file_name, const std::string& logged_name) const {
    write_script(files() + "/" + file_name,
                 "line=\"" + logged_name + "|${STARTUP_SHOW_WINDOW-unset}|$(pwd -P)|\"\n"
                 "for argument in \"$@\"; do line=\"$line[$argument]\"; done\n"
                 "printf '%s\\n' \"$line\" >> '" + log_ + "'\n");
}

void TestInstallation::add_link_programs() const {
    for (const char* name : {"usbhostfs", "nethostfs", "sockettest", "vantrel", "tskill"}) add_stand_in(name, name);
}

void TestInstallation::install() const { write_install_dir("\"" + prefix_ + "/\""); }

void TestInstallation::write_install_dir(const std::string& data) const {
    test_support::write_text(local_machine_file(), own_key_file("HKEY_LOCAL_MACHINE", "\"InstallDir\"=" + data + "\n"));
}

void TestInstallation::write_own_key(const std::string& lines) const {
    std::filesystem::create_directories(std::filesystem::path(current_user_file()).parent_path());
    test_support::write_text(current_user_file(), own_key_file("HKEY_CURRENT_USER", lines));
}

std::vector<LogLine> TestInstallation::log() const {
    std::vector<LogLine> lines;
    std::istringstream text(test_support::read_text(log_));
    std::string line;
    while (std::getline(text, line))
        if (!line.empty()) lines.push_back(parse_log_line(line));
    return lines;
}

void TestInstallation::clear_log() const { std::filesystem::remove(log_); }

std::vector<LogLine> TestInstallation::wait_for_log(size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + LOG_WAIT_LIMIT;
    std::vector<LogLine> lines = log();
    while (lines.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lines = log();
    }
    return lines;
}

}  // namespace launcher_test
