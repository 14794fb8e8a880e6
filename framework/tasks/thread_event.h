#pragma once

#include <condition_variable>
#include <mutex>

namespace Application {

// A set/wait signal. Auto-reset events clear themselves when a wait returns
// signalled; manual-reset events stay set until Reset.
class ThreadEvent {
public:
    explicit ThreadEvent(bool manual_reset = false) : manual_reset_(manual_reset) {}

    void Set();
    void Reset();
    void Wait();
    // True when signalled, false when ms passed first.
    bool WaitFor(unsigned ms);
    bool IsSet();

private:
    const bool manual_reset_;
    bool signalled_ = false;
    std::mutex mutex_;
    std::condition_variable condition_;
};

}  // namespace Application
