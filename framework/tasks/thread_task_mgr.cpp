#include "framework/tasks/thread_task_mgr.h"

#include <utility>

#include "Tools/os.h"

namespace Application {

ThreadTaskMgr::ThreadTaskMgr() : worker1_("worker1"), worker2_("worker2") {}

ThreadTaskMgr::~ThreadTaskMgr() { Free(); }

bool ThreadTaskMgr::Init() {
    main_thread_id_.store(std::this_thread::get_id(), std::memory_order_release);
    // The start order is fixed: worker2, then worker1.
    return worker2_.Start() && worker1_.Start();
}

void ThreadTaskMgr::Free() {
    worker1_.Stop();
    worker2_.Stop(true);
    main_.Clear();
}

bool ThreadTaskMgr::IsWorker1Thread() { return worker1_.IsCurrent(); }

void ThreadTaskMgr::PostWorker1Task(Task task, bool priority) { worker1_.Post(std::move(task), priority); }

void ThreadTaskMgr::PostWorker1DelayTask(Task task, uint32_t delay_ms, bool priority) {
    worker1_.PostDelay(std::move(task), delay_ms, priority);
}

bool ThreadTaskMgr::IsWorker2Thread() { return worker2_.IsCurrent(); }

void ThreadTaskMgr::PostWorker2Task(Task task, bool priority) { worker2_.Post(std::move(task), priority); }

void ThreadTaskMgr::PostWorker2DelayTask(Task task, uint32_t delay_ms, bool priority) {
    worker2_.PostDelay(std::move(task), delay_ms, priority);
}

void ThreadTaskMgr::PostMainThreadTask(Task task, bool priority) {
    if (main_.Post(std::move(task), priority)) main_wake_.Wake();
}

bool ThreadTaskMgr::IsMainThread() {
    return main_thread_id_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void ThreadTaskMgr::PostMainThreadDelayTask(Task task, uint32_t delay_ms, bool priority) {
    if (main_.PostDelay(std::move(task), delay_ms, priority)) main_wake_.Wake();
}

void ThreadTaskMgr::RunMainQueuePass() {
    main_wake_.BeginPass();
    main_earliest_due_ = main_.RunPass("main");
}

int ThreadTaskMgr::PrepareMainSleep() {
    if (!main_wake_.PrepareToSleep()) return 0;
    const int64_t wait = WaitBeforeNextPass(main_earliest_due_, Tools::os_gettime_ms());
    if (main_wake_.Descriptor() < 0 && (wait < 0 || wait > kNoDescriptorPassMs)) return kNoDescriptorPassMs;
    return wait > INT32_MAX ? INT32_MAX : static_cast<int>(wait);
}

int ThreadTaskMgr::RunMainLoop() {
    while (!main_loop_quit_.load()) {
        RunMainQueuePass();
        if (main_loop_quit_.load()) break;
        main_wake_.Sleep(WaitBeforeNextPass(main_earliest_due_, Tools::os_gettime_ms()));
    }
    RunMainQueuePass();
    main_loop_quit_.store(false);
    return 0;
}

void ThreadTaskMgr::QuitMainLoop() {
    main_loop_quit_.store(true);
    main_wake_.Wake();
}

}  // namespace Application
