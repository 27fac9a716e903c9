#include "platform/paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace platform {

std::string program_folder() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return ".";
    std::string folder = exe.parent_path().string();
    return folder.empty() ? "/" : folder;
}

std::string program_file_name() {
    std::error_code error;
    std::string name = std::filesystem::read_symlink("/proc/self/exe", error).filename().string();
    // The kernel marks a file that is gone since the start.
    const std::string gone = " (deleted)";
    if (name.size() > gone.size() && name.compare(name.size() - gone.size(), gone.size(), gone) == 0)
        name.resize(name.size() - gone.size());
    return name;
}

std::string join_path(const std::string& folder, const std::string& name) {
    const bool folder_slash = !folder.empty() && folder.back() == '/';
    const bool name_slash = !name.empty() && name.front() == '/';
    if (folder_slash && name_slash) return folder + name.substr(1);
    if (folder_slash || name_slash) return folder + name;
    return folder + "/" + name;
}

std::string home_folder() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return "/";
    return home;
}

}  // namespace platform
