#include "launcher/LinkPrograms.h"

#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

}  // namespace

ShellFunction ShellFrom(const std::string& launcher_folder) {
    return [launcher_folder](const std::string& command_line, int window_style) {
        return platform::start_command_line(command_line, window_style, launcher_folder);
    };
}

std::string ConvertToCygwinPath(const std::string& shared_folder) {
    std::string path = shared_folder;
    // A path of this system names the folder as it is: a backslash or "X:\" in
    // it is part of a name, not a Windows separator or drive.
    if (path.empty() || path[0] != '/') {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            const char lower_letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
            replace_all(path, std::string(1, letter) + ":\\", std::string("/cygdrive/") + lower_letter + "/");
        }
        replace_all(path, "\\", "/");
    }
    replace_all(path, "//", "/");
    // Quoted so that the program's command line splits back to the whole name.
    return platform::quote_argument(path);
}

std::string NethostfsBatchText(const std::string& shared_folder, const std::string& launcher_folder) {
    const std::string drive = shared_folder.substr(0, 1) + ":";
    return drive + "\r\n" + "cd \"" + shared_folder + "\"\r\n" + "\"" + launcher_folder + "/files/nethostfs.exe\"\r\n";
}

std::string NethostfsBatchPath(const std::string& launcher_folder) {
    return platform::join_path(launcher_folder, "nethostfs.bat");
}

platform::StartResult WriteNethostfsBatch(const std::string& shared_folder, const std::string& launcher_folder) {
    const std::string path = NethostfsBatchPath(launcher_folder);
    // A line break would split the lines: "cd" would enter another folder and
    // the rest of the name would run as a program. A double quote would end the
    // program's quoted path early, naming another file.
    if (shared_folder.find_first_of("\r\n") != std::string::npos)
        return {false, "Bad file name or number: " + shared_folder};
    if (launcher_folder.find_first_of("\r\n\"") != std::string::npos)
        return {false, "Bad file name or number: " + launcher_folder};
    if (platform::replace_file_atomically(path, NethostfsBatchText(shared_folder, launcher_folder), 0644))
        return {true, ""};
    return {false, std::string("Path/File access error: ") + path + " (" + std::strerror(errno) + ")"};
}
