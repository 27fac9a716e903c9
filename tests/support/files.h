#pragma once
// Whole-file reads and writes for tests (binary, no newline translation).

#include <string>

namespace test_support {

// The file's bytes; "" when it cannot be read.
std::string read_text(const std::string& path);
// Replaces the file with the bytes of text.
void write_text(const std::string& path, const std::string& text);

}  // namespace test_support
