#include "framework/exeplugin/worker2.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/tasks/task_queue.h"
#include "framework/tasks/thread_task_mgr.h"
#include "tools/monotonic_clock.h"

namespace Application::ExePlugin {
namespace {

IThreadTaskMgr* Tasks() {
    IApplication* app = App();
    return app ? app->GetThreadTaskMgr() : nullptr;
}

bool Worker2Running(IThreadTaskMgr* tasks) {
    auto* manager = dynamic_cast<ThreadTaskMgr*>(tasks);
    return manager ? manager->IsWorker2Running() : tasks != nullptr;
}

// Signals the waiter when the task has run, or when it is destroyed unrun
// (posted just as the worker stopped).
struct Completion {
    std::mutex lock;
    std::condition_variable changed;
    bool finished = false;
    bool ran = false;

    void Finish(bool did_run) {
        std::lock_guard<std::mutex> guard(lock);
        if (finished) return;
        finished = true;
        ran = did_run;
        changed.notify_all();
    }
};

class CompletionGuard {
public:
    explicit CompletionGuard(std::shared_ptr<Completion> completion) : completion_(std::move(completion)) {}
    ~CompletionGuard() { completion_->Finish(false); }
    CompletionGuard(const CompletionGuard&) = delete;
    CompletionGuard& operator=(const CompletionGuard&) = delete;
    Completion& completion() { return *completion_; }

private:
    std::shared_ptr<Completion> completion_;
};

// The senders holding frames for the end of the batch worker thread 2 runs.
struct BatchState {
    int depth = 0;
    int64_t first_held_us = 0;
    std::vector<BatchedSender*> senders;

    void FlushAll() {
        while (!senders.empty()) {
            std::vector<BatchedSender*> due;
            due.swap(senders);
            for (BatchedSender* sender : due) sender->FlushBatch();
        }
    }
};

thread_local BatchState t_batch;

class BatchScope {
public:
    BatchScope() { ++t_batch.depth; }
    ~BatchScope() {
        if (--t_batch.depth == 0) t_batch.FlushAll();
    }
    BatchScope(const BatchScope&) = delete;
    BatchScope& operator=(const BatchScope&) = delete;

    // Between tasks: what waited long enough goes now.
    static void FlushIfHeldTooLong() {
        if (!t_batch.senders.empty() && Tools::detail::MonotonicUs() - t_batch.first_held_us >= kMaxBatchHoldUs)
            t_batch.FlushAll();
    }
};

void RunReported(Task& task) {
    try {
        task();
    } catch (const std::exception& error) {
        ReportTaskException("worker2", error.what());
    } catch (...) {
        ReportTaskException("worker2", "unknown exception");
    }
}

// Tasks for worker thread 2 from other threads. One drain task is posted
// for each batch; it is dropped unrun only when worker thread 2 has stopped,
// and then the batch is dropped with it, as its tasks would have been.
class Inbox {
public:
    static Inbox& Instance() {
        // Never destroyed: threads may post while the process exits.
        static Inbox* inbox = new Inbox;
        return *inbox;
    }

    void Post(IThreadTaskMgr* tasks, Task task) {
        bool post = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            pending_.push_back(std::move(task));
            post = !drain_posted_;
            drain_posted_ = true;
        }
        if (post) tasks->PostWorker2Task([guard = std::make_shared<DrainGuard>()] { guard->Run(); });
    }

private:
    class DrainGuard {
    public:
        DrainGuard() = default;
        DrainGuard(const DrainGuard&) = delete;
        DrainGuard& operator=(const DrainGuard&) = delete;
        ~DrainGuard() {
            if (!ran_) Instance().Drop();
        }
        void Run() {
            ran_ = true;
            Instance().Drain();
        }

    private:
        bool ran_ = false;
    };

    void Drain() {
        std::vector<Task> batch;
        {
            std::lock_guard<std::mutex> guard(lock_);
            batch.swap(pending_);
            drain_posted_ = false;
        }
        BatchScope scope;
        for (Task& task : batch) {
            RunReported(task);
            BatchScope::FlushIfHeldTooLong();
        }
    }

    void Drop() {
        std::vector<Task> dropped;
        {
            std::lock_guard<std::mutex> guard(lock_);
            dropped.swap(pending_);
            drain_posted_ = false;
        }
        // Destroyed outside the lock: a task's captures may post again.
    }

    std::mutex lock_;
    std::vector<Task> pending_;
    bool drain_posted_ = false;
};

}  // namespace

void OnWorker2(Task task) {
    IThreadTaskMgr* tasks = Tasks();
    if (!tasks) return;
    if (tasks->IsWorker2Thread())
        task();
    else
        Inbox::Instance().Post(tasks, std::move(task));
}

bool DeferToBatchEnd(BatchedSender* sender) {
    if (t_batch.depth == 0) return false;
    if (t_batch.senders.empty()) t_batch.first_held_us = Tools::detail::MonotonicUs();
    if (std::find(t_batch.senders.begin(), t_batch.senders.end(), sender) == t_batch.senders.end())
        t_batch.senders.push_back(sender);
    return true;
}

void ForgetBatchedSender(BatchedSender* sender) {
    auto& senders = t_batch.senders;
    senders.erase(std::remove(senders.begin(), senders.end(), sender), senders.end());
}

void RunOnWorker2AndWait(Task task) {
    IThreadTaskMgr* tasks = Tasks();
    if (!tasks || tasks->IsWorker2Thread() || !Worker2Running(tasks)) {
        task();
        return;
    }
    auto completion = std::make_shared<Completion>();
    auto guard = std::make_shared<CompletionGuard>(completion);
    tasks->PostWorker2Task(
        [task, guard]() mutable {
            task();
            guard->completion().Finish(true);
        },
        true);
    guard.reset();
    std::unique_lock<std::mutex> lock(completion->lock);
    completion->changed.wait(lock, [&] { return completion->finished; });
    const bool ran = completion->ran;
    lock.unlock();
    // Dropped unrun: worker thread 2 has stopped, so nothing runs beside us.
    if (!ran) task();
}

bool OnWorker2OrStopped() {
    IThreadTaskMgr* tasks = Tasks();
    return !tasks || tasks->IsWorker2Thread() || !Worker2Running(tasks);
}

}  // namespace Application::ExePlugin
