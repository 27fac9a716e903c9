#pragma once
// The stream server started in-process for a test: a settings record whose
// program folder is a fresh temporary folder, a listener on 127.0.0.1 and a
// free port. The destructor shuts the server down as the program does.

#include <cstdint>
#include <functional>
#include <memory>

#include "core/vantrel_dlg.h"
#include "tests/support/temp_dir.h"

namespace test_support {

class TestServer {
public:
    // configure runs on the record before the server starts (no lock needed then).
    explicit TestServer(const std::function<void(CVantrelDlg&)>& configure = {});
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t port() const { return port_; }
    CVantrelDlg& record() { return *record_; }
    const TempDir& program_folder() const { return program_folder_; }

private:
    TempDir program_folder_;
    std::unique_ptr<CVantrelDlg> record_;
    uint16_t port_ = 0;
};

}  // namespace test_support
