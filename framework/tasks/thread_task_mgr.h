#pragma once

#include <atomic>
#include <thread>

#include "Application/IThreadTaskMgr.h"
#include "framework/tasks/task_queue.h"
#include "framework/tasks/task_thread.h"

namespace Application {

// Two worker threads and the main-thread queue. Init and Free run on the
// main thread (the one that pumps RunMainQueuePass); posts and the Is*Thread
// queries are allowed from any thread.
class ThreadTaskMgr final : public IThreadTaskMgr {
public:
    ThreadTaskMgr();
    // Repeats Free's stops and discards whatever is still queued.
    ~ThreadTaskMgr() override;

    // Records the calling thread as the main thread, then starts worker2 and
    // worker1.
    bool Init() override;
    // Stops worker1 then worker2 and discards pending main tasks; harmless
    // when repeated or when Init never ran. What was posted to worker2 before
    // the stop still runs (if due): the plugin link queues its farewells
    // (Exit to every plugin process) there as the application shuts down.
    void Free() override;

    bool IsWorker1Thread() override;
    void PostWorker1Task(Task task, bool priority = false) override;
    void PostWorker1DelayTask(Task task, uint32_t delay_ms, bool priority = false) override;
    bool IsWorker2Thread() override;
    void PostWorker2Task(Task task, bool priority = false) override;
    void PostWorker2DelayTask(Task task, uint32_t delay_ms, bool priority = false) override;
    void PostMainThreadTask(Task task, bool priority = false) override;
    bool IsMainThread() override;
    void PostMainThreadDelayTask(Task task, uint32_t delay_ms, bool priority = false) override;

    // One pass over the main queue on the calling thread (ProcessMainThreadTask).
    void RunMainQueuePass();

    // False before Init and after Free: then nothing runs on worker2, and
    // its owners' state may be touched from the thread that stopped it.
    bool IsWorker2Running() const { return worker2_.IsRunning(); }
    size_t Worker2PendingCountForTesting() const { return worker2_.PendingCountForTesting(); }

private:
    TaskThread worker1_;
    TaskThread worker2_;
    TaskQueue main_;
    std::atomic<std::thread::id> main_thread_id_{};
};

}  // namespace Application
