#include "framework/exeplugin/worker2.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "framework/tasks/thread_task_mgr.h"

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

}  // namespace

void OnWorker2(Task task) {
    IThreadTaskMgr* tasks = Tasks();
    if (!tasks) return;
    if (tasks->IsWorker2Thread())
        task();
    else
        tasks->PostWorker2Task(std::move(task));
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
