#include "framework/tasks/thread_event.h"

#include <chrono>

namespace Application {

void ThreadEvent::Set() {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = true;
    condition_.notify_all();
}

void ThreadEvent::Reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = false;
}

void ThreadEvent::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait(lock, [this] { return signalled_; });
    if (!manual_reset_) signalled_ = false;
}

bool ThreadEvent::WaitFor(unsigned ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool result =
        condition_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; });
    if (result && !manual_reset_) signalled_ = false;
    return result;
}

bool ThreadEvent::IsSet() {
    std::lock_guard<std::mutex> guard(mutex_);
    return signalled_;
}

}  // namespace Application
