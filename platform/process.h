#pragma once
// Starting a program by command line with a window style, as Windows does it:
// detached, never waited for. The command line is split by the Windows quoting
// rules, "\" in the program's path becomes "/", and the program is found in its
// folder without regard to letter case and with ".exe" optional. A ".bat" file
// is run by our own batch runner. The window style reaches the program in the
// environment variable STARTUP_SHOW_WINDOW.

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Windows show-window numbers.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;

constexpr const char* SHOW_WINDOW_VARIABLE = "STARTUP_SHOW_WINDOW";

struct StartResult {
    bool started = false;
    std::string description;  // why not, when not started
};

// Splits a command line the way Windows programs do: the program name ends at
// the first blank outside double quotes (its backslashes are kept); in the
// arguments 2n backslashes before a quote give n and a quote that opens or
// closes, 2n+1 give n and a literal quote, "" inside quotes gives a quote.
std::vector<std::string> split_command_line(const std::string& command_line);

// One argument in double quotes, written so that split_command_line gives it
// back whole: a quote inside becomes \", and backslashes before a quote or
// before the closing quote are doubled; other backslashes stay as they are.
std::string quote_argument(const std::string& argument);

// The file a program name refers to: relative names are taken from base_folder;
// the last part matches without regard to letter case, and ".exe" may be
// missing from the file or from the name. Folders never match.
std::optional<std::string> find_program(const std::string& name, const std::string& base_folder);

// Starts the program file (a resolved path) with these arguments (argv[0]
// included) in working_folder ("" keeps ours), detached.
StartResult start_program(const std::vector<std::string>& argv, int show_window,
                          const std::string& working_folder);

// Starts a command line; relative program names resolve against base_folder.
StartResult start_command_line(const std::string& command_line, int show_window,
                               const std::string& base_folder);

}  // namespace platform
