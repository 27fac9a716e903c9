#pragma once
// Command-line options of the robustness programs: "--name VALUE" pairs.

#include <cstdlib>
#include <cstring>
#include <string>

namespace robustness {

// The value after "--name", or fallback when the option is not given.
inline long IntOption(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
    }
    return fallback;
}

inline std::string TextOption(int argc, char** argv, const char* name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    }
    return fallback;
}

}  // namespace robustness
