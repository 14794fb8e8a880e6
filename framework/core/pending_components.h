#pragma once

// Inert stand-ins for components that have not been built yet, so that the
// application object can be instantiated and the host can start. Each one
// disappears from host_components.h as its real component lands.

#include "Application/IApplication.h"

namespace Application::pending {

class Notifier final : public INotifier {
public:
    bool Init() override { return true; }
    void Free() override {}
    uintptr_t Subscribe(const char*, int, NotifyCallback) override { return 0; }
    void Unsubscribe(const char*, int, uintptr_t) override {}
    void Notify(const char*, int, const char*, int) override {}
};

class AppPath final : public IAppPath {
public:
    bool Init() override { return true; }
    void Free() override {}
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

// Runs every main-thread post at once; there are no workers yet.
class ThreadTaskMgr final : public IThreadTaskMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    bool IsWorker1Thread() override { return false; }
    void PostWorker1Task(Task, bool) override {}
    void PostWorker1DelayTask(Task, uint32_t, bool) override {}
    bool IsWorker2Thread() override { return false; }
    void PostWorker2Task(Task, bool) override {}
    void PostWorker2DelayTask(Task, uint32_t, bool) override {}
    void PostMainThreadTask(Task task, bool) override { task(); }
    bool IsMainThread() override { return true; }
    void PostMainThreadDelayTask(Task, uint32_t, bool) override {}
    void RunMainQueuePass() {}
};

class TimeMgr final : public ITimeMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    ITime* GetProcessTime() override { return nullptr; }
    ITime* GetSharedTime() override { return nullptr; }
    ITime* GetTimeById(int) override { return nullptr; }
};

class Log final : public ILog {
public:
    bool Init() override { return true; }
    void Free() override {}
    void Write(int, const char*, ...) override {}
    template <typename F>
    void SetGeneralCallback(F&&) {}
    template <typename F>
    void SetLevelCallback(int, F&&) {}
};

class IPCMgr final : public IIPCMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    IIPCHost* CreateHost() override { return nullptr; }
    IIPCClient* CreateClient() override { return nullptr; }
    void DestroyHost(IIPCHost*) override {}
    void DestroyClient(IIPCClient*) override {}
};

class UISkin final : public IUISkin {
public:
    bool Init() override { return true; }
    void Free() override {}
    void SetSkinIndex(int) override {}
    int GetSkinIndex() override { return -1; }
    const char* GetSkinPath(int) override { return ""; }
    const char* GetBaseSkinPath() override { return ""; }
};

class Translate final : public ITranslate {
public:
    bool Init() override { return true; }
    void Free() override {}
    void LoadFile(const char*) override {}
    void LoadText(const char*) override {}
    const char* Lookup(const char*) override { return nullptr; }
};

class Data final : public IData {
public:
    bool Init() override { return true; }
    void Free() override {}
    void Visit(DataVisitCallback) override {}
};

class PluginMgr final : public IPluginMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    IPlugin* GetPlugin(const char*) override { return nullptr; }
};

}  // namespace Application::pending
