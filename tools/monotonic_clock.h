#pragma once

// The one monotonic clock of the library and the host. clock_gettime is
// async-signal-safe, so the crash reporter may use it too.

#include <cstdint>
#include <time.h>

namespace Tools::detail {

inline int64_t MonotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

inline int64_t MonotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace Tools::detail
