#include "framework/tasks/task_thread.h"

#include <system_error>
#include <utility>

#include "Tools/os.h"
#include "framework/tasks/thread_name.h"

namespace Application {

int64_t WaitBeforeNextPass(uint64_t earliest_due, uint64_t now) {
    if (earliest_due == TaskQueue::kNoDueTime) return -1;
    if (earliest_due <= now) return 0;
    const uint64_t wait = earliest_due - now;
    // Further than any delay a task can ask for (32 bits of milliseconds).
    constexpr uint64_t kLongest = uint64_t{1} << 32;
    return static_cast<int64_t>(wait < kLongest ? wait : kLongest);
}

TaskThread::TaskThread(const char* name) : name_(name) { queue_.Close(); }

TaskThread::~TaskThread() {
    Stop();
    queue_.Clear();
}

bool TaskThread::Start() {
    if (running_.load(std::memory_order_acquire)) return true;
    queue_.Open();
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread(&TaskThread::Body, this);
    } catch (...) {
        running_.store(false, std::memory_order_release);
        queue_.Close();
        throw;
    }
    // The body signals first thing; the wait only smooths start-up.
    started_.WaitFor(kStartWaitMs);
    return true;
}

void TaskThread::Stop(bool drain) {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "a task thread cannot stop itself");
    if (!running_.load(std::memory_order_acquire) && !thread_.joinable()) return;
    // Closed first, so that nothing slips in after the final pass's snapshot
    // and lingers until the next Start.
    queue_.Close();
    drain_on_stop_.store(drain, std::memory_order_release);
    // Sequentially consistent with the body's reads: a wake that finds one
    // pending already leaves the body to see this store on its next round.
    running_.store(false);
    wake_.Wake();
    if (thread_.joinable()) thread_.join();
    id_.store(std::thread::id(), std::memory_order_release);
    queue_.Clear();
    started_.Reset();
}

void TaskThread::Post(Task task, bool priority) {
    if (queue_.Post(std::move(task), priority)) wake_.Wake();
}

void TaskThread::PostDelay(Task task, uint32_t delay_ms, bool priority) {
    if (queue_.PostDelay(std::move(task), delay_ms, priority)) wake_.Wake();
}

void TaskThread::Body() {
    id_.store(std::this_thread::get_id(), std::memory_order_release);
    NameCurrentThread(name_);
    started_.Set();
    // No spin before sleeping: measured on two cores, a worker watching for
    // the answer to its own post keeps the answering thread off the other
    // core, and a hop took several times as long as with a plain sleep.
    while (running_.load()) {
        wake_.BeginPass();
        const uint64_t earliest_due = queue_.RunPass(name_);
        if (!running_.load()) break;
        wake_.Sleep(WaitBeforeNextPass(earliest_due, Tools::os_gettime_ms()));
    }
    // Stop may have come while a pass ran, or before this thread got going:
    // when asked to drain, whatever was posted before it (the queue is closed
    // now) still gets its turn.
    if (drain_on_stop_.load(std::memory_order_acquire)) queue_.RunPass(name_);
}

}  // namespace Application
