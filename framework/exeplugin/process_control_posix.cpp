#include "framework/exeplugin/process_control.h"

#include <poll.h>
#include <signal.h>
#include <string.h>

#include <cerrno>

#include "tools/monotonic_clock.h"
#include "tools/os_process_p.h"

namespace Application::ExePlugin {

bool WaitForProcessesExit(const std::vector<Tools::os_process_t>& processes, int64_t deadline_ms) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        bool without_fd = false;
        for (Tools::os_process_t process : processes) {
            if (!process || !Tools::os_process_exists(process)) continue;
            const int fd = Tools::os_process_wait_fd(process);
            if (fd >= 0) fds.push_back(pollfd{fd, POLLIN, 0});
            else without_fd = true;
        }
        if (fds.empty() && !without_fd) return true;
        const int64_t left = deadline_ms - Tools::detail::MonotonicMs();
        if (left <= 0) return false;
        // Without pidfds (old kernels) there is nothing to wait on but time.
        const int wait_ms = without_fd ? static_cast<int>(left < 10 ? left : 10) : static_cast<int>(left);
        if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) return false;
    }
}

void SignalProcess(Tools::os_process_t process, bool force) {
    if (process) Tools::detail::SignalProcessGroup(process, force ? SIGKILL : SIGTERM);
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
