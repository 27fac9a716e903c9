#pragma once
// Autostart entries: programs a desktop session starts at login, kept as XDG
// desktop entries $XDG_CONFIG_HOME/autostart/NAME.desktop (~/.config when unset).
// A command line comes in the Windows form (the program in double quotes,
// arguments split by the Windows rules); the entry's Exec= line holds the same
// program and arguments, escaped as desktop entries require. NAME is one file
// name: empty, ".", ".." and names with "/" hold no entry.

#include <optional>
#include <string>

namespace platform {

// The entry file of NAME.
std::string autostart_entry_file(const std::string& name);

// The command line NAME's entry starts; none when there is no entry or the user
// turned it off in the session's settings (Hidden=true,
// X-GNOME-Autostart-enabled=false).
std::optional<std::string> read_autostart(const std::string& name);

// Writes NAME's entry to start the command line; false for a command line of
// more than one line, one with no program, or an entry that cannot be written.
bool write_autostart(const std::string& name, const std::string& command_line);

// Removes NAME's entry: true when it existed and is gone.
bool remove_autostart(const std::string& name);

}  // namespace platform
