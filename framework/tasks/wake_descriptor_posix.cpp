#include "framework/tasks/wake_descriptor.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <climits>

#include "tools/monotonic_clock.h"

namespace Application {

WakeDescriptor::WakeDescriptor() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void WakeDescriptor::Signal() {
    if (!fd_) return;
    const uint64_t one = 1;
    // A full counter (EAGAIN) is readable already, which is all a signal means.
    [[maybe_unused]] const ssize_t written =
        Tools::detail::RetryEintr([&] { return ::write(fd_.get(), &one, sizeof one); });
}

void WakeDescriptor::Drain() {
    if (!fd_) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = Tools::detail::RetryEintr([&] { return ::read(fd_.get(), &count, sizeof count); });
}

void WakeDescriptor::Wait(int64_t timeout_ms) {
    if (!fd_) return;
    const int64_t deadline = timeout_ms < 0 ? INT64_MAX : Tools::detail::MonotonicMs() + timeout_ms;
    for (;;) {
        int wait = -1;
        if (deadline != INT64_MAX) {
            const int64_t left = deadline - Tools::detail::MonotonicMs();
            if (left <= 0) return;
            wait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd entry{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, wait);
        // Interrupted: go on waiting for what is left of the time.
        if (ready != 0 && !(ready < 0 && errno == EINTR)) return;
    }
}

}  // namespace Application
