#pragma once
// Private profile (INI) files: our own reader and writer behaving like the
// Windows profile calls the settings file was written for.
//
// Reading: "" for anything missing (file, section, key, empty value); at most
// size-1 characters come back; one pair of surrounding ' or " quotes is removed;
// section and key names match without regard to letter case.
// Writing: replaces an existing key in place, appends a new key at the end of its
// section, creates the file and the section when missing. Each write replaces the
// file atomically (temporary file, then rename).

#include <string>

namespace platform {

// With key == nullptr: copies the section's key names, each followed by a zero
// byte, as far as they fit into size characters, and returns the count copied
// (a section without keys gives 0). With a key: stores the value (or default_value)
// cut to size-1 characters into out and returns its length.
int GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                            std::string& out, int size, const std::string& file_name);

// Returns nonzero on success, 0 on failure (for example an unwritable folder).
// The file is replaced atomically but, as with the system call this stands
// for, not waited onto the disk: a caller that needs that syncs the file.
int WritePrivateProfileString(const char* section, const char* key, const char* value,
                              const std::string& file_name);

}  // namespace platform
