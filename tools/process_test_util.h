#pragma once

// Process checks shared by the tests that start real processes.

#include <sys/types.h>

#include <fstream>
#include <string>
#include <vector>

namespace Tools::testing {

// Alive: neither gone nor a zombie waiting for whoever reaps it.
inline bool ProcessAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// The pids a test's helper scripts wrote to a file, one per line.
inline std::vector<pid_t> ReadPids(const std::string& file) {
    std::vector<pid_t> pids;
    std::ifstream in(file);
    for (long pid = 0; in >> pid;) pids.push_back(static_cast<pid_t>(pid));
    return pids;
}

}  // namespace Tools::testing
