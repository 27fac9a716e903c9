#include "tests/app/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace gui_test {

namespace {

using namespace std::chrono_literals;

std::string NameOf(const std::string& setting) {
    return setting.substr(0, setting.find('='));
}

// The test's environment with the given settings put over it.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& settings) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        const std::string name = NameOf(*entry);
        bool replaced = false;
        for (const std::string& setting : settings) replaced = replaced || NameOf(setting) == name;
        if (!replaced) merged.emplace_back(*entry);
    }
    merged.insert(merged.end(), settings.begin(), settings.end());
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildProgram::~ChildProgram() {
    Kill();
}

bool ChildProgram::Available(const std::string& program) {
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

bool ChildProgram::Start(const Options& options) {
    if (options.argv.empty()) {
        m_error = "no program";
        return false;
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (options.console && (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string log = options.errorLog.empty() ? "/dev/null" : options.errorLog;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.passFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.passFd, 3);
    if (options.console) {
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> argv = options.argv;
    std::vector<std::string> environment = MergedEnvironment(options.environment);
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> environmentPointers = Pointers(environment);
    const bool byPath = options.argv[0].find('/') != std::string::npos;
    const int spawned = byPath ? posix_spawn(&m_pid, argvPointers[0], &actions, nullptr, argvPointers.data(),
                                             environmentPointers.data())
                               : posix_spawnp(&m_pid, argvPointers[0], &actions, nullptr, argvPointers.data(),
                                              environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (options.console) {
        close(in[0]);
        close(out[1]);
        m_input = in[1];
        m_output = out[0];
    }
    if (spawned != 0) {
        m_pid = 0;
        CloseConsole();
        m_error = options.argv[0] + ": " + std::strerror(spawned);
        return false;
    }
    return true;
}

bool ChildProgram::Tell(const std::string& line) {
    const std::string text = line + "\n";
    return m_input >= 0 && write(m_input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::string ChildProgram::Ask(const std::string& line, std::chrono::milliseconds timeout) {
    if (!Tell(line)) return "";
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        const size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string answer = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return answer;
        }
        pollfd ready{m_output, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        char bytes[256];
        const ssize_t got = read(m_output, bytes, sizeof bytes);
        if (got <= 0) break;
        m_pending.append(bytes, static_cast<size_t>(got));
    }
    return "";
}

int ChildProgram::WaitForExit(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -2;
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = 0;
            CloseConsole();
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= until) return -2;
        std::this_thread::sleep_for(10ms);
    }
}

void ChildProgram::Stop(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (WaitForExit(timeout) == -2) Kill();
}

void ChildProgram::Kill() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = 0;
    }
    CloseConsole();
}

void ChildProgram::CloseConsole() {
    for (int* fd : {&m_input, &m_output}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

}  // namespace gui_test
