#pragma once
// BrowseFolders: the folder dialog.

#include <string>

class QWidget;

// The chosen folder, or "" when the user cancels (or the dialog fails).
std::string BrowseForFolder(QWidget* owner, const std::string& prompt);
