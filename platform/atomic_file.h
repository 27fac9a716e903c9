#pragma once
// Whole-file reads and atomic whole-file writes for small text stores
// (INI files, registry files, batch files).

#include <string>
#include <sys/types.h>

namespace platform {

enum class FileRead { Read, Missing, Failed };

// Reads the whole file into content ("" unless Read).
FileRead read_file(const std::string& path, std::string& content);

// Writes content to a fresh temporary file beside path, flushes it and renames
// it over path, so a reader or a crash sees the old file or the new one, never
// a part. An existing file keeps its permission bits; a new one gets mode.
bool replace_file_atomically(const std::string& path, const std::string& content, mode_t mode);

}  // namespace platform
