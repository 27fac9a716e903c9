// The console host of the streaming server: the settings record without a
// window. It loads, validates and saves the INI file beside the program, serves
// on the configured port, prints worker messages to stderr and ends cleanly on
// SIGINT or SIGTERM.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/vantrel_dlg.h"
#include "platform/paths.h"
#include "server/server_thread.h"
#include "server/shutdown.h"

namespace {

constexpr int MESSAGE_WAIT_MS = 100;

// What the dialog does with a client's change: the divider rule again, then save.
void OnSettingsChanged(CVantrelDlg& record) {
    record.ValidateFrameRateDivider();
    record.SaveSettings();
}

void HandleMessage(CVantrelDlg& record, const platform::PostedMessage& message) {
    if (message.message == WM_SERVER_MESSAGE && message.text) {
        std::fprintf(stderr, "Error: %s\n", message.text->c_str());
    } else if (message.message == WM_SETTINGS_CHANGED) {
        OnSettingsChanged(record);
    }
}

// Tests run the program on loopback only.
void ApplyTestEnvironment() {
    const char* loopback = std::getenv("VANTREL_LISTEN_LOOPBACK");
    if (loopback && std::strcmp(loopback, "1") == 0) SetServerLoopbackOnly(true);
}

bool StopRequested(const sigset_t& signals) {
    const timespec now{0, 0};
    return sigtimedwait(&signals, nullptr, &now) > 0;
}

void ReportListener() {
    const uint16_t port = WaitForServerPort(10000);
    if (port != 0) std::fprintf(stderr, "vantrel: serving on port %u\n", static_cast<unsigned>(port));
}

}  // namespace

int main() {
    // Every thread started from here inherits the blocked set, so only the
    // loop below ever sees these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    ApplyTestEnvironment();
    CVantrelDlg record(platform::program_folder());
    StartStreamServer(&record);
    ReportListener();
    while (!StopRequested(signals)) {
        if (auto message = record.Messages().take(MESSAGE_WAIT_MS)) HandleMessage(record, *message);
    }
    // Every worker ends before the record goes.
    ShutdownStreamServer();
    // A client's change that arrived just before the signal is still saved.
    for (const platform::PostedMessage& message : record.Messages().drain()) {
        HandleMessage(record, message);
    }
    std::fprintf(stderr, "vantrel: stopped\n");
    return 0;
}
