#pragma once

#include <string>

namespace platform {

// The folder of the running program (from /proc/self/exe), without a trailing "/".
std::string program_folder();

// The file name of the running program (from /proc/self/exe); a program file
// removed or replaced while it runs keeps its name.
std::string program_file_name();

// Joins two path pieces with exactly one "/" between them.
std::string join_path(const std::string& folder, const std::string& name);

// The user's home folder (HOME), "/" when unset; the default media folder.
std::string home_folder();

}  // namespace platform
