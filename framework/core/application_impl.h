#pragma once

#include <cstddef>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "Application/Application.h"
#include "Tools/memory.h"
#include "framework/core/cmdline_mgr.h"

namespace Application {

namespace detail {

// What the exported entry points need of the application object beyond
// IApplication; each instantiation forwards to its own concrete components.
class AppHooks {
public:
    virtual void RunMainQueuePass() = 0;
    virtual int RunMainLoop() = 0;
    virtual int MainWakeDescriptor() = 0;
    virtual int PrepareMainSleep() = 0;
    virtual void SetGeneralLogCallback(LogCallback callback) = 0;
    virtual void SetLevelLogCallback(int level, LevelLogCallback callback) = 0;
    virtual void StopLog() = 0;
    virtual bool FlushLogForCrash(int timeout_ms) = 0;

protected:
    ~AppHooks() = default;
};

// The process-wide application object: written only by creation and
// destruction (on the main thread), read without a lock by App().
IApplication*& AppSingleton();
AppHooks*& AppHooksSingleton();

}  // namespace detail

// Allocates with the library's allocator: components and the application
// object never change allocator across the library boundary.
template <typename T, typename... Args>
T* LibraryNew(Args&&... args) {
    void* memory = Malloc(sizeof(T));
    if (!memory) return nullptr;
    return new (memory) T(std::forward<Args>(args)...);
}

template <typename T>
void LibraryDelete(T* object) {
    if (!object) return;
    object->~T();
    ::Free(object);
}

// The application object. kHost selects the host (1) or the plugin-process
// (0) instantiation; the eleven classes are the components in creation and
// start-up order (shut-down runs in reverse).
template <int kHost, class TNotifier, class TAppPath, class TThreadTaskMgr, class TTimeMgr, class TLog,
          class TIPCMgr, class TUISkin, class TTranslate, class TData, class TAppUtil, class TPluginMgr>
class ApplicationImpl final : public IApplication, public detail::AppHooks {
    using Components = std::tuple<TNotifier*, TAppPath*, TThreadTaskMgr*, TTimeMgr*, TLog*, TIPCMgr*,
                                  TUISkin*, TTranslate*, TData*, TAppUtil*, TPluginMgr*>;
    static constexpr size_t kCount = std::tuple_size_v<Components>;
    static constexpr size_t kThreadTaskMgrIndex = 2;

public:
    ApplicationImpl(ComponentCallback component_callback, QuitHandler quit_callback)
        : component_callback_(std::move(component_callback)), quit_callback_(std::move(quit_callback)) {}

    // The quit callback goes first, as the design orders.
    ~ApplicationImpl() override { quit_callback_ = nullptr; }

    bool Init() override {
        CreateAll(std::make_index_sequence<kCount>{});
        if (!StartAll(std::make_index_sequence<kCount>{})) return false;
        GetNotifier()->Notify(GetName(), kAppStarted, nullptr, 0);
        return true;
    }

    void Free() override {
        if (INotifier* notifier = GetNotifier()) notifier->Notify(GetName(), kAppShuttingDown, nullptr, 0);
        // No worker may run while the rest is torn down; its second Free below is harmless.
        if (auto* tasks = std::get<kThreadTaskMgrIndex>(components_)) tasks->Free();
        FreeAllReversed(std::make_index_sequence<kCount>{});
    }

    const char* GetName() override { return "app"; }
    bool IsHost() override { return kHost != 0; }
    INotifier* GetNotifier() override { return std::get<0>(components_); }
    IThreadTaskMgr* GetThreadTaskMgr() override { return std::get<2>(components_); }
    IPluginMgr* GetPluginMgr() override { return std::get<10>(components_); }
    IAppPath* GetAppPath() override { return std::get<1>(components_); }
    ITimeMgr* GetTimeMgr() override { return std::get<3>(components_); }
    ILog* GetLog() override { return std::get<4>(components_); }
    ICmdLineMgr* GetCmdLineMgr() override { return ProcessCmdLineMgr(); }
    IIPCMgr* GetIPCMgr() override { return std::get<5>(components_); }
    IUISkin* GetUISkin() override { return std::get<6>(components_); }

    // A main loop run by RunMainThreadLoop ends once the callback has run.
    void Quit(bool flag) override {
        IThreadTaskMgr* tasks = GetThreadTaskMgr();
        if (!tasks || tasks->IsMainThread()) {
            QuitNow(flag);
            return;
        }
        tasks->PostMainThreadTask([this, flag] { QuitNow(flag); });
    }

    void SetQuitHandler(QuitHandler handler) override {
        IThreadTaskMgr* tasks = GetThreadTaskMgr();
        if (!tasks || tasks->IsMainThread()) {
            quit_callback_ = std::move(handler);
            return;
        }
        tasks->PostMainThreadTask([this, handler = std::move(handler)]() mutable {
            quit_callback_ = std::move(handler);
        });
    }

    ITranslate* GetTranslate() override { return std::get<7>(components_); }
    IData* GetData() override { return std::get<8>(components_); }
    IApplicationUtil* GetApplicationUtil() override { return std::get<9>(components_); }

    void RunMainQueuePass() override {
        if (auto* tasks = std::get<kThreadTaskMgrIndex>(components_)) tasks->RunMainQueuePass();
    }
    // Test task managers without a loop of their own report -1 (no loop, no descriptor).
    int RunMainLoop() override {
        auto* tasks = std::get<kThreadTaskMgrIndex>(components_);
        if constexpr (requires { tasks->RunMainLoop(); })
            return tasks ? tasks->RunMainLoop() : -1;
        return -1;
    }
    int MainWakeDescriptor() override {
        auto* tasks = std::get<kThreadTaskMgrIndex>(components_);
        if constexpr (requires { tasks->MainWakeDescriptor(); })
            return tasks ? tasks->MainWakeDescriptor() : -1;
        return -1;
    }
    int PrepareMainSleep() override {
        auto* tasks = std::get<kThreadTaskMgrIndex>(components_);
        if constexpr (requires { tasks->PrepareMainSleep(); })
            return tasks ? tasks->PrepareMainSleep() : -1;
        return -1;
    }
    void SetGeneralLogCallback(LogCallback callback) override {
        if (auto* log = std::get<4>(components_)) log->SetGeneralCallback(std::move(callback));
    }
    void SetLevelLogCallback(int level, LevelLogCallback callback) override {
        if (auto* log = std::get<4>(components_)) log->SetLevelCallback(level, std::move(callback));
    }
    void StopLog() override {
        if (auto* log = std::get<4>(components_)) log->Free();
    }
    bool FlushLogForCrash(int timeout_ms) override {
        auto* log = std::get<4>(components_);
        // Test logs write nothing that a crash could lose.
        if constexpr (requires { log->FlushQueuedForCrash(timeout_ms); })
            return log ? log->FlushQueuedForCrash(timeout_ms) : true;
        return true;
    }

private:
    void QuitNow(bool flag) {
        quit_callback_(flag);
        auto* tasks = std::get<kThreadTaskMgrIndex>(components_);
        if constexpr (requires { tasks->QuitMainLoop(); })
            if (tasks) tasks->QuitMainLoop();
    }

    template <size_t... I>
    void CreateAll(std::index_sequence<I...>) {
        ((std::get<I>(components_) =
              LibraryNew<std::remove_pointer_t<std::tuple_element_t<I, Components>>>()),
         ...);
    }

    template <typename T>
    bool StartOne(T* component) {
        if (!component) return false;
        if (!component->Init()) return false;
        return component_callback_(static_cast<InterfaceBase*>(component));
    }

    // Stops at the first component that fails; the later ones stay created
    // but not started, which Free copes with.
    template <size_t... I>
    bool StartAll(std::index_sequence<I...>) {
        return (StartOne(std::get<I>(components_)) && ...);
    }

    template <size_t I>
    void FreeOne() {
        auto*& component = std::get<I>(components_);
        if (!component) return;
        component->Free();
        LibraryDelete(component);
        component = nullptr;
    }

    template <size_t... I>
    void FreeAllReversed(std::index_sequence<I...>) {
        (FreeOne<kCount - 1 - I>(), ...);
    }

    Components components_{};
    ComponentCallback component_callback_;
    QuitHandler quit_callback_;
};

// The creation sequence shared by MakeNomalApplication and
// MakeProxyApplication; tests instantiate it with components of their own.
template <typename AppT>
bool MakeApplication(int argc, char** argv, ComponentCallback component_callback, QuitHandler quit_callback,
                     const char* creation_log_line) {
    IApplication*& singleton = detail::AppSingleton();
    if (singleton) return false;
    AppT* app = LibraryNew<AppT>(std::move(component_callback), std::move(quit_callback));
    if (!app) return false;
    singleton = app;
    detail::AppHooksSingleton() = app;
    ProcessCmdLineMgr()->Parse(argc, argv);
    const bool started = app->Init();
    if (ILog* log = app->GetLog()) log->Write(kLogInfo, "%s", creation_log_line);
    return started;
}

// DestroyApplication's body; works for any instantiation.
void DestroyApplicationObject();

}  // namespace Application
