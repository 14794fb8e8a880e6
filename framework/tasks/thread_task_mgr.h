#pragma once

#include <atomic>
#include <thread>

#include "Application/IThreadTaskMgr.h"
#include "framework/tasks/task_queue.h"
#include "framework/tasks/task_thread.h"
#include "framework/tasks/thread_waker.h"

namespace Application {

// Two worker threads and the main-thread queue. Init and Free run on the
// main thread (the one that pumps RunMainQueuePass or RunMainLoop); posts,
// the Is*Thread queries and QuitMainLoop are allowed from any thread.
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
    // For an event loop that pumps the main queue itself: readable once a
    // task is posted while the main thread sleeps (-1 when the system gave
    // no descriptor; then the loop has to pass every kNoDescriptorPassMs).
    int MainWakeDescriptor() const { return main_wake_.Descriptor(); }
    // After a pass, before the main thread goes back to sleep: milliseconds
    // until the earliest delayed main task falls due, -1 when none waits,
    // 0 when a task came meanwhile (pass again now).
    int PrepareMainSleep();
    // Passes over the main queue on the calling thread, sleeping in between,
    // until QuitMainLoop; then one last pass, so that what was posted behind
    // the quit still runs (if due). A quit that came before the call ends it
    // at once. Returns 0.
    int RunMainLoop();
    void QuitMainLoop();
    static constexpr int kNoDescriptorPassMs = 10;

    // False before Init and after Free: then nothing runs on worker2, and
    // its owners' state may be touched from the thread that stopped it.
    bool IsWorker2Running() const { return worker2_.IsRunning(); }
    size_t Worker2PendingCountForTesting() const { return worker2_.PendingCountForTesting(); }

private:
    TaskThread worker1_;
    TaskThread worker2_;
    TaskQueue main_;
    ThreadWaker main_wake_{true};
    // Written and read by the pumping (main) thread only.
    uint64_t main_earliest_due_ = TaskQueue::kNoDueTime;
    std::atomic<bool> main_loop_quit_{false};
    std::atomic<std::thread::id> main_thread_id_{};
};

}  // namespace Application
