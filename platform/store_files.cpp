#include "platform/store_files.h"

#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

namespace platform {

std::string config_home() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;  // a relative value is invalid and ignored
    return join_path(home_folder(), ".config");
}

// Our files live in folders of their own that may not exist yet. A file that
// is a link to one kept elsewhere is written where the link points, so the
// link stays.
bool write_store_file(const std::string& path, const std::string& content, mode_t mode) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    return replace_file_atomically(link_target(path), content, mode);
}

std::vector<std::string> store_file_lines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace platform
