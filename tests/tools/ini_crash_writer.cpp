// Writes long runs of keys into an INI file until it is killed.
//
//   ini_crash_writer FILE KEYS
//
// Round r (from 1) writes Key0 .. Key{KEYS-1} of section "Settings", each with
// the value crash_value(r, i). So at any moment the keys seen in order hold
// round r up to some key and round r-1 after it; a test that kills this
// program checks exactly that.

#include "core/ini_file.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int VALUE_LENGTH = 200;
constexpr int MAX_ROUNDS = 100000;  // a bound, should nobody kill us

std::string crash_value(int round, int key) {
    std::string value = "r" + std::to_string(round) + "-k" + std::to_string(key) + "-";
    value.resize(VALUE_LENGTH, static_cast<char>('a' + round % 26));
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ini_crash_writer FILE KEYS\n");
        return 2;
    }
    CIniFile ini;
    ini.SetFileName(argv[1]);
    const int keys = std::atoi(argv[2]);
    for (int round = 1; round <= MAX_ROUNDS; ++round) {
        for (int key = 0; key < keys; ++key) {
            if (!ini.WriteString(crash_value(round, key), "Key" + std::to_string(key), "Settings")) {
                std::fprintf(stderr, "ini_crash_writer: write failed\n");
                return 1;
            }
        }
    }
    return 0;
}
