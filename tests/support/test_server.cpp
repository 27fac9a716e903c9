#include "tests/support/test_server.h"

#include <stdexcept>

#include "server/server_thread.h"
#include "server/shutdown.h"

namespace test_support {

TestServer::TestServer(const std::function<void(CVantrelDlg&)>& configure)
    : program_folder_("vantrel-server"), record_(std::make_unique<CVantrelDlg>(program_folder_.path())) {
    if (configure) configure(*record_);
    record_->m_nServerPort = 0;  // a free port
    SetServerLoopbackOnly(true);
    StartStreamServer(record_.get());
    port_ = WaitForServerPort(5000);
    if (port_ == 0) throw std::runtime_error("test server did not start listening");
}

TestServer::~TestServer() {
    ShutdownStreamServer();
}

}  // namespace test_support
