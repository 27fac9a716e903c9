#pragma once
// Our own runner for ".bat" files. It knows what our batch files hold:
//   a drive line such as "D:" (or "/:" here), which does nothing;
//   cd "folder" or cd folder, which sets the working folder of the lines after it
//     (a folder beginning with "/" is taken byte for byte, others with "\" as "/");
//   a program line (a quoted program path and arguments), started in that folder.
// Programs are started detached, one after another, none waited for. A folder
// that cannot be entered or a program that cannot be started stops the run.

#include "platform/process.h"

#include <string>
#include <vector>

namespace platform {

struct BatchLine {
    enum class Kind { Nothing, ChangeFolder, Run };
    Kind kind = Kind::Nothing;
    std::string text;  // the folder, or the command line
};

std::vector<BatchLine> parse_batch(const std::string& content);

// Runs the batch file; start_folder is the working folder of its first line.
StartResult run_batch_file(const std::string& path, int show_window, const std::string& start_folder);

}  // namespace platform
