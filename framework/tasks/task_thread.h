#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "framework/tasks/task_queue.h"
#include "framework/tasks/thread_event.h"
#include "framework/tasks/thread_waker.h"

namespace Application {

// Milliseconds a thread sleeps before its next pass: until earliest_due (a
// wall-clock time), or -1 (until a post) for TaskQueue::kNoDueTime.
int64_t WaitBeforeNextPass(uint64_t earliest_due, uint64_t now);

// A worker thread running passes over its own queue. It sleeps until a task
// is posted or its earliest delayed task falls due, and never wakes only to
// look. Start and Stop belong to the owner's thread; Post, PostDelay and
// IsCurrent may be called from any thread.
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

    // How long Start waits for the new thread to report in.
    static constexpr unsigned kStartWaitMs = 100;

private:
    void Body();

    const char* const name_;
    TaskQueue queue_;
    ThreadWaker wake_;
    ThreadEvent started_;
    std::thread thread_;
    std::atomic<std::thread::id> id_{};
    std::atomic<bool> running_{false};
    std::atomic<bool> drain_on_stop_{false};
};

}  // namespace Application
