#pragma once

#include <cstdint>
#include <functional>

#include <Application/InterfaceBase.h>

namespace Application {

using Task = std::function<void()>;

// Two worker threads and the main-thread queue. Posting is allowed from any
// thread. Worker posts made before Init or after Free are dropped; main-thread
// posts are always queued and run by ProcessMainThreadTask on the main thread.
class IThreadTaskMgr : public InterfaceBase {
public:
    virtual bool IsWorker1Thread() = 0;
    virtual void PostWorker1Task(Task task, bool priority = false) = 0;
    virtual void PostWorker1DelayTask(Task task, uint32_t delay_ms, bool priority = false) = 0;
    virtual bool IsWorker2Thread() = 0;
    virtual void PostWorker2Task(Task task, bool priority = false) = 0;
    virtual void PostWorker2DelayTask(Task task, uint32_t delay_ms, bool priority = false) = 0;
    virtual void PostMainThreadTask(Task task, bool priority = false) = 0;
    virtual bool IsMainThread() = 0;
    virtual void PostMainThreadDelayTask(Task task, uint32_t delay_ms, bool priority = false) = 0;
};

}  // namespace Application
