#include "host/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "tools/posix_fd.h"

namespace {

// Process-wide: the handler can reach nothing else. The descriptors live
// until the process ends, as the handlers do.
int g_signal_pipe[2] = {-1, -1};

void OnQuitSignal(int signal_number) {
    const int saved = errno;
    // The signal's number fits a byte; nothing else here is async-signal-safe.
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] ssize_t written = write(g_signal_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

void InstallQuitSignalHandlers(std::function<void(int signal_number)> on_quit) {
    if (g_signal_pipe[0] >= 0) return;
    if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [on_quit = std::move(on_quit)] {
        unsigned char drained[64];
        ssize_t got;
        int first = 0;  // the one that asked first is the reason
        while ((got = Tools::detail::RetryEintr([&] { return read(g_signal_pipe[0], drained, sizeof drained); })) > 0)
            if (!first) first = drained[0];
        if (first) on_quit(first);
    });
    struct sigaction action = {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
