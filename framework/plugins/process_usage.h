#pragma once

#include <cstdint>

namespace Application {

// What the system tells of a running process's use of the machine.
struct ProcessUsage {
    uint64_t rss_bytes = 0;
    int64_t cpu_us = 0;         // user and system time so far
    int64_t lifetime_us = 0;    // since the process started
};

// False when the process does not exist (any more) or cannot be read.
bool ReadProcessUsage(int32_t pid, ProcessUsage* usage);

}  // namespace Application
