#include "platform/autostart.h"

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/store_files.h"

#include <iterator>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

namespace {

// A name is one file name in the autostart folder.
bool autostart_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// ---- Exec= lines ---------------------------------------------------------------
//
// A command line comes in the Windows form (the program in double
// quotes, arguments split by the Windows rules). The entry's Exec= line holds the
// same program and arguments as desktop entries write them: a quoted argument
// escapes " ` $ and \ with a backslash, every % is doubled (a single one starts
// a field code), and the line as a whole escapes each backslash once more.

// Characters that an Exec= argument may only hold inside double quotes.
bool needs_exec_quotes(const std::string& argument) {
    return argument.empty() || argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
}

std::string exec_argument(const std::string& argument, bool quoted) {
    std::string text = quoted ? "\"" : "";
    for (char c : argument) {
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) text.push_back('\\');
        if (c == '%') text.push_back('%');
        text.push_back(c);
    }
    return quoted ? text + "\"" : text;
}

// The whole line as a desktop entry's string value.
std::string escape_entry_string(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

std::string unescape_entry_string(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain.push_back(text[i]);
            continue;
        }
        const char next = text[++i];
        switch (next) {
        case 's': plain.push_back(' '); break;
        case 'n': plain.push_back('\n'); break;
        case 't': plain.push_back('\t'); break;
        case 'r': plain.push_back('\r'); break;
        case '\\': plain.push_back('\\'); break;
        default: plain.push_back('\\'); plain.push_back(next); break;
        }
    }
    return plain;
}

struct ExecArgument {
    std::string text;
    bool quoted = false;
};

std::vector<ExecArgument> split_exec_line(const std::string& line) {
    const std::string plain = unescape_entry_string(line);
    std::vector<ExecArgument> arguments;
    size_t pos = 0;
    for (;;) {
        while (pos < plain.size() && (plain[pos] == ' ' || plain[pos] == '\t')) ++pos;
        if (pos == plain.size()) return arguments;
        ExecArgument argument;
        bool in_quotes = false;
        for (; pos < plain.size() && (in_quotes || (plain[pos] != ' ' && plain[pos] != '\t')); ++pos) {
            const char c = plain[pos];
            if (c == '"') {
                in_quotes = !in_quotes;
                argument.quoted = true;
            } else if (in_quotes && c == '\\' && pos + 1 < plain.size() &&
                       std::string("\"`$\\").find(plain[pos + 1]) != std::string::npos) {
                argument.text.push_back(plain[++pos]);
            } else if (c == '%' && pos + 1 < plain.size() && plain[pos + 1] == '%') {
                argument.text.push_back(plain[++pos]);
            } else {
                argument.text.push_back(c);
            }
        }
        arguments.push_back(std::move(argument));
    }
}

// GLib sessions look the program up before they turn "%%" into "%", so a program
// whose path holds a "%" would never be found: such a program is started by
// the shell instead, its path an argument like any other.
const char* const PERCENT_WRAPPER[] = {"sh", "-c", "exec \"$0\" \"$@\""};

std::optional<std::string> exec_line(const std::string& command_line) {
    const std::vector<std::string> arguments = split_command_line(command_line);
    if (arguments.empty()) return std::nullopt;
    const bool program_quoted = command_line.find_first_not_of(" \t") == command_line.find('"');
    std::string line;
    if (arguments[0].find('%') != std::string::npos) {
        for (const char* part : PERCENT_WRAPPER) line += exec_argument(part, needs_exec_quotes(part)) + " ";
    }
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i) line.push_back(' ');
        const bool quoted = (i == 0 && program_quoted) || needs_exec_quotes(arguments[i]);
        line += exec_argument(arguments[i], quoted);
    }
    return escape_entry_string(line);
}

bool starts_with_percent_wrapper(const std::vector<ExecArgument>& arguments) {
    const size_t parts = std::size(PERCENT_WRAPPER);
    if (arguments.size() <= parts) return false;
    for (size_t i = 0; i < parts; ++i)
        if (arguments[i].text != PERCENT_WRAPPER[i]) return false;
    return true;
}

// The Exec= line back as the Windows-form command line it was written from.
std::string command_line_of(const std::string& exec) {
    std::string command_line;
    std::vector<ExecArgument> arguments = split_exec_line(exec);
    if (starts_with_percent_wrapper(arguments))
        arguments.erase(arguments.begin(), arguments.begin() + std::size(PERCENT_WRAPPER));
    for (size_t i = 0; i < arguments.size(); ++i) {
        const ExecArgument& argument = arguments[i];
        if (i) command_line.push_back(' ');
        if (!argument.quoted) {
            command_line += argument.text;
        } else if (i == 0) {
            command_line += "\"" + argument.text + "\"";  // a program's name has no escapes
        } else {
            command_line += quote_argument(argument.text);
        }
    }
    return command_line;
}

}  // namespace

std::string autostart_entry_file(const std::string& name) {
    return join_path(config_home(), "autostart/" + name + ".desktop");
}

// The entry's Exec= line, as long as the session would run it: an entry the user
// turned off in the session's settings (Hidden=true, or
// X-GNOME-Autostart-enabled=false) starts nothing.
std::optional<std::string> read_autostart(const std::string& name) {
    if (!autostart_name(name)) return std::nullopt;
    std::string content;
    if (read_file(autostart_entry_file(name), content) != FileRead::Read) return std::nullopt;
    std::optional<std::string> command;
    bool in_entry = false;
    for (const std::string& line : store_file_lines(content)) {
        if (!line.empty() && line[0] == '[') {
            in_entry = line == "[Desktop Entry]";
            continue;
        }
        if (!in_entry) continue;
        if (line.compare(0, 5, "Exec=") == 0 && !command) command = line.substr(5);
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return std::nullopt;
    }
    if (!command) return std::nullopt;
    return command_line_of(*command);
}

bool write_autostart(const std::string& name, const std::string& command_line) {
    if (command_line.find_first_of("\r\n") != std::string::npos || !autostart_name(name)) return false;
    const std::optional<std::string> exec = exec_line(command_line);
    if (!exec) return false;
    const std::string entry = "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + *exec +
                              "\nX-GNOME-Autostart-enabled=true\n";
    return write_store_file(autostart_entry_file(name), entry, 0644);
}

bool remove_autostart(const std::string& name) {
    return autostart_name(name) && ::unlink(autostart_entry_file(name).c_str()) == 0;
}

}  // namespace platform
