#include "host/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace {

int g_signal_pipe[2] = {-1, -1};

void OnQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Nothing else is async-signal-safe here; the event loop does the rest.
    [[maybe_unused]] ssize_t written = write(g_signal_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

void InstallQuitSignalHandlers(std::function<void()> on_quit) {
    if (g_signal_pipe[0] >= 0) return;
    if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [on_quit = std::move(on_quit)] {
        char drain[64];
        while (read(g_signal_pipe[0], drain, sizeof drain) > 0) {
        }
        on_quit();
    });
    struct sigaction action = {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
