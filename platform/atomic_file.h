#pragma once
// Whole-file reads and atomic whole-file writes for small text stores
// (INI files, registry files, batch files).

#include <functional>
#include <string>
#include <sys/types.h>

namespace platform {

enum class FileRead { Read, Missing, Failed };

// Reads the whole file into content ("" unless Read).
FileRead read_file(const std::string& path, std::string& content);

enum class Durability {
    Synced,   // on the disk when the call returns: the file, then the rename
    Unsynced  // the caller syncs (for a file it writes many times over)
};

// Writes content to a fresh temporary file beside path and renames it over
// path, so a reader or a killed writer sees the old file or the new one, never
// a part. An existing file keeps its permission bits; a new one gets mode.
bool replace_file_atomically(const std::string& path, const std::string& content, mode_t mode,
                             Durability durability = Durability::Synced);

// The file a write of path replaces: through a symbolic link its target, so
// the link stays a link; path itself when it is no link or does not resolve.
std::string link_target(const std::string& path);

// Removes the files in folder whose names start with prefix: the temporary
// files of writers that were killed. A file in_use names (by its path) stays.
void remove_leftover_files(const std::string& folder, const std::string& prefix,
                           const std::function<bool(const std::string& path)>& in_use = nullptr);

// Flushes a file, or a folder's entries, to the disk.
void sync_to_disk(const std::string& path);

}  // namespace platform
