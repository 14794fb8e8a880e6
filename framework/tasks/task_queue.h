#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "Application/IThreadTaskMgr.h"

namespace Application {

// One queued task. post_time_ms is the wall clock at posting for delayed
// tasks and 0 for immediate ones.
struct TaskItem {
    Task task;
    uint32_t delay_ms = 0;
    uint64_t post_time_ms = 0;
};

// A normal and a priority list behind one lock. Any thread may post; one
// thread at a time runs passes (the owning worker, or the main thread for the
// main queue). The lock is never held while a task runs, so tasks may post to
// any queue, their own included.
class TaskQueue {
public:
    static constexpr uint64_t kNoDueTime = std::numeric_limits<uint64_t>::max();

    using Clock = uint64_t (*)();

    // clock gives wall-clock milliseconds; tests substitute their own.
    explicit TaskQueue(Clock clock = nullptr);
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;
    ~TaskQueue();

    // Returns false, and destroys the task unrun, when the queue is closed.
    bool Post(Task task, bool priority);
    bool PostDelay(Task task, uint32_t delay_ms, bool priority);

    // One pass: snapshot the normal list, drain the priority list once, then
    // before every normal item drain the priority list again and run the item
    // if due. Items not yet due go back to the end of their list. An exception
    // escaping a task is reported with thread_name and the pass goes on.
    // Returns the wall-clock time for the next pass, or kNoDueTime when
    // nothing waits: when the earliest item left waiting falls due, or for
    // an item delayed by kSlackFromMs or more up to a twentieth of its delay
    // (at most kMaxSlackMs) later, so that long timers falling due close
    // together share one wake-up instead of waking the thread once each.
    // No item ever runs before its delay.
    uint64_t RunPass(const char* thread_name);

    static constexpr uint32_t kSlackFromMs = 1000;
    static constexpr uint32_t kMaxSlackMs = 100;

    // Closed queues drop posts; a worker's queue is closed while it is stopped.
    void Open();
    void Close();
    // Destroys every listed task unrun.
    void Clear();

    // Tasks posted and neither run nor destroyed yet, delayed ones included.
    size_t PendingCountForTesting() const { return pending_.load(std::memory_order_relaxed); }

private:
    bool Append(TaskItem& item, bool priority);
    bool IsDue(const TaskItem& item, uint64_t& earliest_due) const;
    void Drain(std::vector<TaskItem>& list, const char* thread_name, uint64_t& earliest_due);

    const Clock clock_;
    std::recursive_mutex lock_;
    std::vector<TaskItem> normal_;
    std::vector<TaskItem> priority_;
    // Mirrors priority_.size() so the drains between normal items skip the
    // lock when nothing is waiting; a post racing with the read is picked up
    // by the next drain.
    std::atomic<size_t> priority_count_{0};
    std::atomic<size_t> pending_{0};
    bool closed_ = false;
};

// Reports an exception that escaped a task: to the application's log at
// error level when there is one, else to stderr.
void ReportTaskException(const char* thread_name, const char* what);

}  // namespace Application
