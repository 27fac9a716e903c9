#pragma once
// Message boxes of the launcher: an OK button, an icon, the program title.

#include <functional>
#include <string>

enum class MsgBoxIcon { Critical, Information };

using MessageBoxFunction =
    std::function<void(const std::string& text, MsgBoxIcon icon, const std::string& title)>;

// "TITLE: TEXT" on stderr, each line break of the text written as the two characters \n.
std::string MessageBoxLogLine(const std::string& text, const std::string& title);

// Shows a modal QMessageBox (lines broken at CR, LF, CR LF).
void ShowMessageBox(const std::string& text, MsgBoxIcon icon, const std::string& title);
