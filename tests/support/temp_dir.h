#pragma once
// A fresh temporary folder for one test, removed with everything in it when the
// object goes. Made under $VANTREL_TEST_TMP when set (ctest sets it to the build
// folder), else under /tmp.

#include <string>

namespace test_support {

// The folder temporary folders are made in; created when missing.
std::string temp_root();

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "vantrel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name.
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace test_support
