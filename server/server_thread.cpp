#include "server/server_thread.h"

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/vantrel_dlg.h"
#include "platform/message_box.h"
#include "server/command_handlers.h"
#include "server/request.h"
#include "stream/stream_state.h"

namespace {

enum class ListenerState { Stopped, Starting, Listening, Failed };

// What StopServerThread needs to reach inside the running thread.
struct ServerControl {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
    ListenerState state = ListenerState::Stopped;
    uint16_t port = 0;
    bool stopping = false;
    const platform::Socket* listener = nullptr;
    int connection_fd = -1;
};

ServerControl control;
std::atomic<bool> loopback_only{false};
std::atomic<int> request_read_timeout_ms{REQUEST_READ_TIMEOUT_MS};

void PublishState(ListenerState state, uint16_t port) {
    std::lock_guard<std::mutex> guard(control.mutex);
    control.state = state;
    control.port = port;
    control.changed.notify_all();
}

// False when the server is being stopped: the listener is then not used.
bool PublishListener(const platform::Socket& listener) {
    std::lock_guard<std::mutex> guard(control.mutex);
    if (control.stopping) return false;
    control.listener = &listener;
    control.state = ListenerState::Listening;
    control.port = platform::local_port(listener);
    control.changed.notify_all();
    return true;
}

void WithdrawListener() {
    std::lock_guard<std::mutex> guard(control.mutex);
    control.listener = nullptr;
    control.state = ListenerState::Stopped;
    control.port = 0;
    control.changed.notify_all();
}

// Registers the connection being served so that a stop can cut it short.
class ActiveConnection {
public:
    explicit ActiveConnection(const platform::Socket& connection) {
        std::lock_guard<std::mutex> guard(control.mutex);
        if (control.stopping) ::shutdown(connection.fd(), SHUT_RDWR);
        control.connection_fd = connection.fd();
    }
    ~ActiveConnection() {
        std::lock_guard<std::mutex> guard(control.mutex);
        control.connection_fd = -1;
    }
    ActiveConnection(const ActiveConnection&) = delete;
    ActiveConnection& operator=(const ActiveConnection&) = delete;
};

int ConfiguredPort() {
    std::lock_guard<std::mutex> guard(g_pMainDlg->Lock());
    return g_pMainDlg->m_nServerPort;
}

void ServeRequest(const platform::Socket& connection, char* request) {
    const int command = FindCommandWord(request);
    if (command < 0) {
        platform::send_all(connection, "-1", 2);
        return;
    }
    COMMANDS[command].handler(connection, request);
}

void AcceptLoop(const platform::Socket& listener) {
    for (;;) {
        platform::Socket connection = platform::accept_connection(listener);
        if (!connection.valid()) break;
        HandleClientRequest(std::move(connection));
    }
    // Only a stop is meant to end it; anything else leaves the port closed.
    const int error = errno;
    if (!ServerThreadStopping())
        std::fprintf(stderr, "vantrel: the listener failed (%s); no more requests are served\n",
                     std::strerror(error));
}

}  // namespace

void ServerThreadProc(void*) {
    // The low 16 bits of the setting are the port.
    const uint16_t port = static_cast<uint16_t>(ConfiguredPort() & 0xffff);
    platform::ListenResult listening = platform::listen_tcp(port, loopback_only.load(), SOMAXCONN);
    if (listening.error == platform::ListenError::Bind) {
        platform::MessageBox("Could not start server, port already taken?", "Vantrel");
    }
    if (listening.error != platform::ListenError::None) {
        PublishState(ListenerState::Failed, 0);
        return;
    }
    const platform::Socket& listener = listening.socket;
    platform::set_int_option(listener, SOL_SOCKET, SO_SNDBUF, SERVER_SEND_BUFFER_SIZE);
    platform::set_int_option(listener, SOL_SOCKET, SO_KEEPALIVE, 1);
    if (!PublishListener(listener)) return;
    AcceptLoop(listener);
    WithdrawListener();
}

void HandleClientRequest(platform::Socket connection) {
    {
        ActiveConnection active(connection);
        char request[REQUEST_BUFFER_SIZE] = {};
        const long received = platform::receive_some(connection, request, REQUEST_MAX_BYTES,
                                                     request_read_timeout_ms.load());
        if (received >= 0) ServeRequest(connection, request);
        connection.shutdown();
    }
    connection.close();
}

void StartServerThread() {
    StopServerThread();
    {
        std::lock_guard<std::mutex> guard(control.mutex);
        control.state = ListenerState::Starting;
        control.port = 0;
        control.stopping = false;
    }
    control.thread = std::thread(ServerThreadProc, nullptr);
}

void BeginStopServerThread() {
    std::lock_guard<std::mutex> guard(control.mutex);
    control.stopping = true;
    if (control.listener) ::shutdown(control.listener->fd(), SHUT_RDWR);
    if (control.connection_fd >= 0) ::shutdown(control.connection_fd, SHUT_RDWR);
}

bool ServerThreadStopping() {
    std::lock_guard<std::mutex> guard(control.mutex);
    return control.stopping;
}

void StopServerThread() {
    BeginStopServerThread();
    if (control.thread.joinable()) control.thread.join();
    std::lock_guard<std::mutex> guard(control.mutex);
    control.listener = nullptr;
    control.state = ListenerState::Stopped;
    control.port = 0;
    control.stopping = false;
}

uint16_t WaitForServerPort(int timeout_ms) {
    std::unique_lock<std::mutex> lock(control.mutex);
    control.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [] { return control.state != ListenerState::Starting; });
    return control.state == ListenerState::Listening ? control.port : 0;
}

void SetServerLoopbackOnly(bool only) {
    loopback_only.store(only);
}

void SetRequestReadTimeout(int timeout_ms) {
    request_read_timeout_ms.store(timeout_ms);
}

void StartStreamServer(CVantrelDlg* dialog) {
    g_pMainDlg = dialog;
    close_all_input_slots();
    CreateStreamEvents();
    // FFmpeg registers its formats and codecs by itself.
    StartServerThread();
}

void StopStreamServer() {
    StopServerThread();
}
