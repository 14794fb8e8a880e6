#pragma once

// Small component stand-ins for tests that build the application object
// from components of their own. Base is the interface itself, or a test
// class deriving from it (a recorder of Init and Free, say) whose
// constructor arguments are passed through.

#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "Application/IApplication.h"

namespace Application::test_components {

// Init and Free of Base when it has its own, else plain success.
template <class Base, class Interface>
class Lifecycle : public Base {
public:
    using Base::Base;
    bool Init() override {
        if constexpr (std::is_same_v<Base, Interface>) return true;
        else return Base::Init();
    }
    void Free() override {
        if constexpr (!std::is_same_v<Base, Interface>) Base::Free();
    }
};

// No workers: the thread that ran Init is the main thread, and its queue
// runs on RunMainQueuePass. Delays are ignored.
template <class Base = IThreadTaskMgr>
class MainQueueTasks : public Lifecycle<Base, IThreadTaskMgr> {
public:
    using Lifecycle<Base, IThreadTaskMgr>::Lifecycle;
    bool Init() override {
        main_thread_ = std::this_thread::get_id();
        return Lifecycle<Base, IThreadTaskMgr>::Init();
    }
    bool IsWorker1Thread() override { return false; }
    void PostWorker1Task(Task, bool) override {}
    void PostWorker1DelayTask(Task, uint32_t, bool) override {}
    bool IsWorker2Thread() override { return false; }
    void PostWorker2Task(Task, bool) override {}
    void PostWorker2DelayTask(Task, uint32_t, bool) override {}
    void PostMainThreadTask(Task task, bool) override {
        std::lock_guard<std::mutex> guard(lock_);
        queue_.push_back(std::move(task));
    }
    bool IsMainThread() override { return std::this_thread::get_id() == main_thread_; }
    void PostMainThreadDelayTask(Task task, uint32_t, bool priority) override {
        PostMainThreadTask(std::move(task), priority);
    }
    void RunMainQueuePass() {
        std::vector<Task> pass;
        {
            std::lock_guard<std::mutex> guard(lock_);
            pass.swap(queue_);
        }
        for (Task& task : pass) task();
    }
    size_t Pending() {
        std::lock_guard<std::mutex> guard(lock_);
        return queue_.size();
    }

private:
    std::thread::id main_thread_;
    std::mutex lock_;
    std::vector<Task> queue_;
};

// Every path empty, no configuration files.
template <class Base = IAppPath>
class EmptyAppPath : public Lifecycle<Base, IAppPath> {
public:
    using Lifecycle<Base, IAppPath>::Lifecycle;
    const char* GetDataDir() override { return ""; }
    const char* GetLogDir() override { return ""; }
    const char* GetCacheDir() override { return ""; }
    const char* GetExeDir() override { return ""; }
    const char* GetAppDir() override { return ""; }
    const char* GetUploadDir() override { return ""; }
    const char* GetTempDir() override { return ""; }
    const char* GetHeadImageDir() override { return ""; }
    const char* GetWidgetSkinDir() override { return ""; }
    const char* GetCoursewareDir() override { return ""; }
    const char* GetAbDir() override { return ""; }
    const char* GetVideoBgDir() override { return ""; }
    const char* GetExeDirAlias1() override { return ""; }
    const char* GetExeDirAlias2() override { return ""; }
    const char* GetSID() override { return ""; }
    ConfigFile* GetConfig(int) override { return nullptr; }
};

}  // namespace Application::test_components
