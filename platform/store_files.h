#pragma once
// Where the registry's files live and how they are written: shared by the .reg
// store and the autostart entries that hold the Run key.

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// The user's configuration folder: $XDG_CONFIG_HOME, else ~/.config.
std::string config_home();

// Writes a whole file atomically, making its folder first.
bool write_store_file(const std::string& path, const std::string& content, mode_t mode);

// A file's lines without their "\n" or "\r\n"; the last may have no end.
std::vector<std::string> store_file_lines(const std::string& content);

}  // namespace platform
