#pragma once

// Waiting in tests: poll a condition until it holds or a generous deadline
// passes, never a fixed sleep that hopes.

#include <chrono>
#include <functional>
#include <thread>

namespace Application::test_wait {

inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace Application::test_wait
