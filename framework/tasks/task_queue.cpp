#include "framework/tasks/task_queue.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "Application/Application.h"
#include "Tools/os.h"

namespace Application {

namespace {

void RunGuarded(Task& task, const char* thread_name) {
    try {
        task();
    } catch (const std::exception& error) {
        ReportTaskException(thread_name, error.what());
    } catch (...) {
        ReportTaskException(thread_name, "unknown exception");
    }
}

}  // namespace

void ReportTaskException(const char* thread_name, const char* what) {
    if (IApplication* app = App()) {
        if (ILog* log = app->GetLog()) {
            log->Write(kLogError, "uncaught exception in a task on thread %s: %s", thread_name, what);
            return;
        }
    }
    std::fprintf(stderr, "uncaught exception in a task on thread %s: %s\n", thread_name, what);
}

TaskQueue::TaskQueue(Clock clock) : clock_(clock ? clock : Tools::os_gettime_ms) {}

TaskQueue::~TaskQueue() = default;

// Due when undelayed, or when the unsigned distance from the post time has
// reached the delay; a wall clock set back past the post time gives a huge
// distance, so such an item is due at once rather than stuck.
bool TaskQueue::IsDue(const TaskItem& item, uint64_t& earliest_due) const {
    if (item.delay_ms == 0) return true;
    const uint64_t now = clock_();
    const uint64_t elapsed = now - item.post_time_ms;
    if (elapsed >= item.delay_ms) return true;
    const uint64_t slack =
        item.delay_ms < kSlackFromMs ? 0 : std::min<uint64_t>(item.delay_ms / 20, kMaxSlackMs);
    const uint64_t wake = now + (item.delay_ms - elapsed) + slack;
    if (wake < earliest_due) earliest_due = wake;
    return false;
}

bool TaskQueue::Append(TaskItem& item, bool priority) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (closed_) return false;
    if (priority) {
        priority_.push_back(std::move(item));
        priority_count_.store(priority_.size(), std::memory_order_release);
    } else {
        normal_.push_back(std::move(item));
    }
    pending_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool TaskQueue::Post(Task task, bool priority) {
    TaskItem item{std::move(task), 0, 0};
    return Append(item, priority);
}

bool TaskQueue::PostDelay(Task task, uint32_t delay_ms, bool priority) {
    TaskItem item{std::move(task), delay_ms, delay_ms ? clock_() : 0};
    return Append(item, priority);
}

void TaskQueue::Drain(std::vector<TaskItem>& list, const char* thread_name, uint64_t& earliest_due) {
    std::vector<TaskItem> snapshot;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        snapshot.swap(list);
        if (&list == &priority_) priority_count_.store(0, std::memory_order_release);
    }
    for (TaskItem& item : snapshot) {
        if (IsDue(item, earliest_due)) {
            RunGuarded(item.task, thread_name);
            pending_.fetch_sub(1, std::memory_order_relaxed);
        } else {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            list.push_back(std::move(item));
            if (&list == &priority_) priority_count_.store(priority_.size(), std::memory_order_release);
        }
    }
}

uint64_t TaskQueue::RunPass(const char* thread_name) {
    uint64_t earliest_due = kNoDueTime;
    std::vector<TaskItem> normal;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        normal.swap(normal_);
    }
    Drain(priority_, thread_name, earliest_due);
    for (TaskItem& item : normal) {
        if (priority_count_.load(std::memory_order_acquire) != 0) Drain(priority_, thread_name, earliest_due);
        if (IsDue(item, earliest_due)) {
            RunGuarded(item.task, thread_name);
            pending_.fetch_sub(1, std::memory_order_relaxed);
        } else {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            normal_.push_back(std::move(item));
        }
    }
    return earliest_due;
}

void TaskQueue::Open() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    closed_ = false;
}

void TaskQueue::Close() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    closed_ = true;
}

void TaskQueue::Clear() {
    std::vector<TaskItem> normal;
    std::vector<TaskItem> priority;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        normal.swap(normal_);
        priority.swap(priority_);
        priority_count_.store(0, std::memory_order_release);
        pending_.fetch_sub(normal.size() + priority.size(), std::memory_order_relaxed);
    }
    // Destroyed here, outside the lock: a task's captures may post on destruction.
}

}  // namespace Application
