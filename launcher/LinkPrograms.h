#pragma once
// The link programs' shared pieces: the Cygwin form of the shared folder, the
// batch file that starts nethostfs in the shared folder, and starting a command
// line from the launcher's folder.

#include "platform/process.h"

#include <functional>
#include <string>

// Window styles of the programs the launcher starts.
constexpr int vbHide = platform::SW_HIDE;
constexpr int vbNormalFocus = platform::SW_SHOWNORMAL;
constexpr int vbMinimizedFocus = platform::SW_SHOWMINIMIZED;

// Starts a command line, detached; the result says whether it started and why not.
using ShellFunction = std::function<platform::StartResult(const std::string& command_line, int window_style)>;

// Relative program names in command lines are taken from the launcher's folder,
// wherever the launcher was started from.
ShellFunction ShellFrom(const std::string& launcher_folder);

// D:\PSP gives "/cygdrive/d/PSP" with its double quotes. A path of this system
// (beginning with "/") keeps its backslashes. Quoted as a command line's
// argument: a double quote inside the name is written \".
std::string ConvertToCygwinPath(const std::string& shared_folder);

// The three lines of "nethostfs.bat", each ended by CR LF.
std::string NethostfsBatchText(const std::string& shared_folder, const std::string& launcher_folder);
std::string NethostfsBatchPath(const std::string& launcher_folder);

// Writes "nethostfs.bat" under a temporary name and renames it into place, so a
// half-written batch file is never run. A folder whose name holds a line break,
// or a launcher's folder with a double quote, cannot be written into it: a failure.
platform::StartResult WriteNethostfsBatch(const std::string& shared_folder, const std::string& launcher_folder);
