#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "framework/tasks/task_queue.h"
#include "framework/tasks/thread_event.h"

namespace Application {

// A worker thread running passes over its own queue. It wakes when a task is
// posted, when its earliest delayed task falls due, and at least every
// 100 ms. Start and Stop belong to the owner's thread; Post, PostDelay and
// IsCurrent may be called from any thread.
// Milliseconds a worker sleeps before its next pass: until earliest_due (a
// wall-clock time, or TaskQueue::kNoDueTime), never more than max_ms.
unsigned WaitBeforeNextPass(uint64_t earliest_due, uint64_t now, unsigned max_ms);

class TaskThread {
public:
    // name is used when reporting a task's exception; it must outlive the object.
    explicit TaskThread(const char* name);
    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;
    // Stops the thread; listed tasks are destroyed unrun.
    ~TaskThread();

    // Throws std::system_error when the thread cannot be created.
    bool Start();
    // Runs the last pass, joins the thread and destroys what is still listed.
    // Throws std::system_error (and changes nothing) when called on the
    // worker itself, which cannot join itself.
    // With drain, every task posted before Stop runs (if due), even when Stop
    // comes while a pass is under way; the log relies on that.
    void Stop(bool drain = false);

    // Dropped unrun while the thread is not running.
    void Post(Task task, bool priority);
    void PostDelay(Task task, uint32_t delay_ms, bool priority);

    bool IsCurrent() const { return id_.load(std::memory_order_acquire) == std::this_thread::get_id(); }
    bool IsRunning() const { return running_.load(std::memory_order_acquire); }
    size_t PendingCountForTesting() const { return queue_.PendingCountForTesting(); }

    static constexpr unsigned kMaxWaitMs = 100;

private:
    void Body();

    const char* const name_;
    TaskQueue queue_;
    ThreadEvent wake_;
    ThreadEvent started_;
    std::thread thread_;
    std::atomic<std::thread::id> id_{};
    std::atomic<bool> running_{false};
    std::atomic<bool> drain_on_stop_{false};
};

}  // namespace Application
