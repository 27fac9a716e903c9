// Tarnwick, the tray launcher of the PSP link programs and the streaming server.

#include "launcher/Launcher.h"

#include <QApplication>
#include <QSocketNotifier>

#include <clocale>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signal_pipe[2] = {-1, -1};

void on_session_signal(int number) {
    const char byte = static_cast<char>(number);
    ssize_t ignored = ::write(signal_pipe[1], &byte, 1);
    (void)ignored;
}

// Log-off, shut-down and kill requests reach the UI thread through a pipe.
void watch_session_end(Launcher& launcher, QObject* owner) {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [&launcher] {
        char byte;
        while (::read(signal_pipe[0], &byte, 1) > 0) {
        }
        launcher.EndSession();
    });
    struct sigaction action {};
    action.sa_handler = on_session_signal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGTERM, SIGHUP, SIGINT}) sigaction(number, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // Qt switched the C library to the system locale; numbers stay in the C form.
    std::setlocale(LC_NUMERIC, "C");
    application.setQuitOnLastWindowClosed(false);
    Launcher launcher(ProgramEnvironment());
    watch_session_end(launcher, &application);
    if (!launcher.LoadForm1()) return 0;
    return application.exec();
}
