#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace test_support {

std::string temp_root() {
    const char* configured = std::getenv("VANTREL_TEST_TMP");
    const std::string root = configured && *configured ? configured : "/tmp";
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    return root;
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = temp_root() + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot make a temporary folder in " + temp_root());
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave read-only files or folders behind; make them removable.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const {
    return path_ + "/" + name;
}

}  // namespace test_support
