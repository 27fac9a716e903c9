#pragma once
// A program the tests run as a child process: started with extra environment
// settings, its standard error into a log file, optionally its standard input
// and output on pipes (the vantrel test console), and always ended by the time
// the object goes (SIGTERM, a bounded wait, then SIGKILL).

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace gui_test {

class ChildProgram {
public:
    struct Options {
        std::vector<std::string> argv;         // argv[0] is the program's path, or a name found in PATH
        std::vector<std::string> environment;  // NAME=VALUE, each replacing the test's own setting
        std::string errorLog;                  // standard error (and output when not talked to); /dev/null when empty
        bool console = false;                  // standard input and output on pipes, for Ask and Tell
        int passFd = -1;                       // handed to the child as descriptor 3
    };

    ChildProgram() = default;
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    // False, with the reason in Error(), when the program could not be started.
    bool Start(const Options& options);
    const std::string& Error() const { return m_error; }
    pid_t Pid() const { return m_pid; }
    bool Running() const { return m_pid > 0; }

    // Sends one line to the console; false when it could not be written.
    bool Tell(const std::string& line);
    // Sends one line and reads one line of the answer (without its line end),
    // waiting at most about timeout; "" when none came.
    std::string Ask(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The exit code once the program ended within about timeout; -1 when a
    // signal ended it, -2 when it still runs.
    int WaitForExit(std::chrono::milliseconds timeout);
    // SIGTERM, up to timeout for it to end, then SIGKILL; reaped either way.
    void Stop(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    void Kill();

    // Whether a program of that name can be started (a path, or found in PATH).
    static bool Available(const std::string& program);

private:
    void CloseConsole();

    pid_t m_pid = 0;
    int m_input = -1;
    int m_output = -1;
    std::string m_pending;
    std::string m_error;
};

}  // namespace gui_test
