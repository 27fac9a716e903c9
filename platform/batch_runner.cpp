#include "platform/batch_runner.h"

#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>

namespace platform {

namespace {

std::string trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

bool is_drive_line(const std::string& line) { return line.size() == 2 && line[1] == ':'; }

// "cd folder" or "cd "folder"": the folder, else nothing.
bool change_folder_target(const std::string& line, std::string& folder) {
    if (line.size() < 3 || std::tolower(static_cast<unsigned char>(line[0])) != 'c' ||
        std::tolower(static_cast<unsigned char>(line[1])) != 'd' || (line[2] != ' ' && line[2] != '\t'))
        return false;
    folder = trim(line.substr(3));
    if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') folder = folder.substr(1, folder.size() - 2);
    // A path of this system is the folder's own name, backslashes included;
    // only a Windows-style one has them as separators.
    if (folder.empty() || folder[0] != '/') std::replace(folder.begin(), folder.end(), '\\', '/');
    return true;
}

bool is_folder(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

StartResult run_line(const BatchLine& line, int show_window, std::string& folder) {
    if (line.kind == BatchLine::Kind::Nothing) return {true, ""};
    if (line.kind == BatchLine::Kind::ChangeFolder) {
        const std::string target = line.text.empty() || line.text[0] == '/' ? line.text : join_path(folder, line.text);
        // A program that serves its working folder must never serve the wrong one.
        if (!is_folder(target)) return {false, "Path not found: " + target};
        folder = target;
        return {true, ""};
    }
    std::vector<std::string> arguments = split_command_line(line.text);
    if (arguments.empty()) return {true, ""};
    const std::optional<std::string> program = find_program(arguments[0], folder);
    if (!program) return {false, "File not found: " + arguments[0]};
    arguments[0] = *program;
    return start_program(arguments, show_window, folder);
}

}  // namespace

std::vector<BatchLine> parse_batch(const std::string& content) {
    std::vector<BatchLine> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        const std::string line = trim(content.substr(start, end - start));
        start = end + 1;
        BatchLine parsed;
        std::string folder;
        if (line.empty() || is_drive_line(line)) {
            parsed.kind = BatchLine::Kind::Nothing;
        } else if (change_folder_target(line, folder)) {
            parsed = {BatchLine::Kind::ChangeFolder, folder};
        } else {
            parsed = {BatchLine::Kind::Run, line};
        }
        lines.push_back(parsed);
    }
    return lines;
}

StartResult run_batch_file(const std::string& path, int show_window, const std::string& start_folder) {
    std::string content;
    if (read_file(path, content) != FileRead::Read) return {false, "File not found: " + path};
    std::string folder = start_folder;
    for (const BatchLine& line : parse_batch(content)) {
        StartResult result = run_line(line, show_window, folder);
        if (!result.started) return result;
    }
    return {true, ""};
}

}  // namespace platform
