#include "platform/process.h"

#include "platform/ascii.h"
#include "platform/batch_runner.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool ends_with_exe(const std::string& lowered) {
    return lowered.size() > 4 && lowered.compare(lowered.size() - 4, 4, ".exe") == 0;
}

bool is_regular_file(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// How well a file name in the folder stands for the wanted name; 0 is no match.
int match_rank(const std::string& entry, const std::string& wanted) {
    const std::string have = ToLowerAscii(entry), want = ToLowerAscii(wanted);
    if (have == want) return 3;
    if (ends_with_exe(want) && have == want.substr(0, want.size() - 4)) return 2;
    if (have == want + ".exe") return 1;
    return 0;
}

// Reads one argument (after the program name) from pos.
std::string next_argument(const std::string& line, size_t& pos) {
    std::string argument;
    bool quoted = false;
    while (pos < line.size()) {
        const char c = line[pos];
        if (!quoted && is_blank(c)) break;
        if (c == '\\') {
            size_t count = 0;
            while (pos < line.size() && line[pos] == '\\') ++count, ++pos;
            if (pos < line.size() && line[pos] == '"') {
                argument.append(count / 2, '\\');
                if (count % 2 == 1) {
                    argument.push_back('"');
                    ++pos;
                }
            } else {
                argument.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && pos + 1 < line.size() && line[pos + 1] == '"') {
                argument.push_back('"');
                pos += 2;
                continue;
            }
            quoted = !quoted;
            ++pos;
            continue;
        }
        argument.push_back(c);
        ++pos;
    }
    return argument;
}

std::vector<std::string> environment_with_show_window(int show_window) {
    const std::string prefix = std::string(SHOW_WINDOW_VARIABLE) + "=";
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) environment.emplace_back(*entry);
    }
    environment.push_back(prefix + std::to_string(show_window));
    return environment;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

void report_errno_and_exit(int pipe_fd) {
    const int error = errno;
    ssize_t ignored = ::write(pipe_fd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

// Runs in the forked child: only async-signal-safe calls. The child starts a
// grandchild and ends at once, so the program belongs to nobody here and leaves
// no zombie behind; the pipe tells the parent whether exec worked.
[[noreturn]] void start_grandchild(const char* path, char* const* argv, char* const* envp,
                                   const char* working_folder, int pipe_fd) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild < 0) report_errno_and_exit(pipe_fd);
    if (grandchild > 0) ::_exit(0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &default_action, nullptr);
    // Our own descriptors stay ours.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (working_folder && ::chdir(working_folder) != 0) report_errno_and_exit(pipe_fd);
    ::execve(path, argv, envp);
    report_errno_and_exit(pipe_fd);
    ::_exit(127);
}

}  // namespace

std::vector<std::string> split_command_line(const std::string& command_line) {
    std::vector<std::string> arguments;
    size_t pos = 0;
    while (pos < command_line.size() && is_blank(command_line[pos])) ++pos;
    if (pos == command_line.size()) return arguments;
    std::string program;
    if (command_line[pos] == '"') {
        const size_t close = command_line.find('"', pos + 1);
        program = command_line.substr(pos + 1, close == std::string::npos ? std::string::npos : close - pos - 1);
        pos = close == std::string::npos ? command_line.size() : close + 1;
    } else {
        while (pos < command_line.size() && !is_blank(command_line[pos])) program.push_back(command_line[pos++]);
    }
    arguments.push_back(program);
    for (;;) {
        while (pos < command_line.size() && is_blank(command_line[pos])) ++pos;
        if (pos == command_line.size()) break;
        arguments.push_back(next_argument(command_line, pos));
    }
    return arguments;
}

std::string quote_argument(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
        } else {
            // Backslashes that end up before a quote would escape it: doubled.
            if (c == '"') quoted.append(backslashes + 1, '\\');
            backslashes = 0;
        }
        quoted.push_back(c);
    }
    quoted.append(backslashes, '\\');
    return quoted + "\"";
}

std::optional<std::string> find_program(const std::string& name, const std::string& base_folder) {
    std::string path = name;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty() || path.back() == '/') return std::nullopt;
    if (path[0] != '/') path = join_path(base_folder, path);
    if (is_regular_file(path)) return path;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    const std::string wanted = path.substr(slash + 1);
    std::optional<std::string> best;
    int best_rank = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string entry_name = entry.path().filename().string();
        const int rank = match_rank(entry_name, wanted);
        if (rank == 0 || rank < best_rank || !is_regular_file(entry.path().string())) continue;
        // Of equal matches the first by name wins, whatever order the folder lists them in.
        if (rank == best_rank && best && entry.path().string() > *best) continue;
        best_rank = rank;
        best = entry.path().string();
    }
    return best;
}

StartResult start_program(const std::vector<std::string>& argv, int show_window,
                          const std::string& working_folder) {
    if (argv.empty()) return {false, "Invalid procedure call or argument"};
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = environment_with_show_window(show_window);
    const std::vector<char*> argument_pointers = pointers_to(arguments);
    const std::vector<char*> environment_pointers = pointers_to(environment);
    int status_pipe[2];
    if (::pipe2(status_pipe, O_CLOEXEC) != 0) return {false, std::strerror(errno)};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(status_pipe[0]);
        start_grandchild(argv[0].c_str(), argument_pointers.data(), environment_pointers.data(),
                         working_folder.empty() ? nullptr : working_folder.c_str(), status_pipe[1]);
    }
    const int fork_error = errno;
    ::close(status_pipe[1]);
    if (child < 0) {
        ::close(status_pipe[0]);
        return {false, std::strerror(fork_error)};
    }
    int exec_error = 0;
    ssize_t got;
    do {
        got = ::read(status_pipe[0], &exec_error, sizeof exec_error);
    } while (got < 0 && errno == EINTR);
    ::close(status_pipe[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof exec_error)) {
        if (exec_error == ENOENT && !working_folder.empty() && !std::filesystem::is_directory(working_folder))
            return {false, "Path not found: " + working_folder};
        return {false, std::string(std::strerror(exec_error)) + ": " + argv[0]};
    }
    return {true, ""};
}

StartResult start_command_line(const std::string& command_line, int show_window,
                               const std::string& base_folder) {
    std::vector<std::string> arguments = split_command_line(command_line);
    if (arguments.empty() || arguments[0].empty()) return {false, "Invalid procedure call or argument"};
    const std::optional<std::string> program = find_program(arguments[0], base_folder);
    if (!program) {
        std::replace(arguments[0].begin(), arguments[0].end(), '\\', '/');
        return {false, "File not found: " + arguments[0]};
    }
    const std::string lowered = ToLowerAscii(*program);
    if (lowered.size() > 4 && lowered.compare(lowered.size() - 4, 4, ".bat") == 0)
        return run_batch_file(*program, show_window, base_folder);
    arguments[0] = *program;
    return start_program(arguments, show_window, "");
}

}  // namespace platform
