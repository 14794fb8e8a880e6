#include "framework/exeplugin/process_control.h"

#include <poll.h>
#include <signal.h>
#include <string.h>

#include <cerrno>
#include <chrono>

namespace Application::ExePlugin {

bool WaitForProcessExit(Tools::os_process_t process, uint32_t timeout_ms) {
    if (!process || !Tools::os_process_exists(process)) return true;
    const int fd = Tools::os_process_wait_fd(process);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Tools::os_process_exists(process)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (fd >= 0) {
            struct pollfd entry = {fd, POLLIN, 0};
            const int result = poll(&entry, 1, static_cast<int>(left.count()));
            if (result < 0 && errno != EINTR) return !Tools::os_process_exists(process);
        } else {
            struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    return true;
}

void SignalProcess(Tools::os_process_t process, bool force) {
    if (!process) return;
    const uint32_t pid = Tools::os_process_id(process);
    if (pid == 0 || !Tools::os_process_exists(process)) return;
    kill(static_cast<pid_t>(pid), force ? SIGKILL : SIGTERM);
}

std::string DescribeExit(Tools::os_process_t process) {
    int exit_code = 0;
    int signal_number = 0;
    if (!process || !Tools::os_process_exit_status(process, &exit_code, &signal_number)) return "ended";
    if (signal_number != 0) {
        const char* name = sigabbrev_np(signal_number);
        return "signal " + std::to_string(signal_number) + " (SIG" + (name ? name : "?") + ")";
    }
    return "exit code " + std::to_string(exit_code);
}

}  // namespace Application::ExePlugin
