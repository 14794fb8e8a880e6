#pragma once

// A test instantiation of the application object around the real PluginMgr:
// a small but faithful notifier and main-thread queue, a log that records
// every line, and inert stand-ins for the rest. Shared by the plugin tests
// and the plugin benchmark.

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/core/application_impl.h"
#include "framework/core/application_util.h"
#include "framework/core/test_components.h"
#include "framework/plugins/plugin_mgr.h"

namespace Application::plugin_test {

// Recursive lock held during delivery, snapshot of the handle list, a
// callback may unsubscribe itself: what plugins rely on.
class TestNotifier final : public INotifier {
public:
    bool Init() override { return true; }
    void Free() override {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        table_.clear();
    }
    uintptr_t Subscribe(const char* module, int id, NotifyCallback callback) override {
        if (!module) return 0;
        std::lock_guard<std::recursive_mutex> guard(lock_);
        const uintptr_t handle = ++last_handle_;
        table_[{module, id}].emplace_back(handle, std::move(callback));
        return handle;
    }
    void Unsubscribe(const char* module, int id, uintptr_t handle) override {
        if (!module) return;
        std::lock_guard<std::recursive_mutex> guard(lock_);
        auto found = table_.find({module, id});
        if (found == table_.end()) return;
        found->second.remove_if([handle](const auto& item) { return item.first == handle; });
    }
    void Notify(const char* module, int id, const char* data, int length) override {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        auto found = table_.find({module, id});
        if (found == table_.end()) return;
        std::vector<uintptr_t> snapshot;
        for (const auto& item : found->second) snapshot.push_back(item.first);
        for (uintptr_t handle : snapshot) {
            auto& live = table_[{module, id}];
            for (auto& item : live) {
                if (item.first != handle) continue;
                NotifyCallback callback = item.second;
                callback(static_cast<unsigned>(handle), data, length);
                break;
            }
        }
    }
    size_t SubscriberCount(const char* module, int id) {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        auto found = table_.find({module, id});
        return found == table_.end() ? 0 : found->second.size();
    }

private:
    std::recursive_mutex lock_;
    uintptr_t last_handle_ = 0;
    std::map<std::pair<std::string, int>, std::list<std::pair<uintptr_t, NotifyCallback>>> table_;
};

using TestTasks = test_components::MainQueueTasks<>;

struct LogLine {
    int level;
    std::string text;
};

class RecordingLog final : public ILog {
public:
    bool Init() override { return true; }
    void Free() override {}
    void Write(int level, const char* format, ...) override {
        char buffer[4096];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        std::lock_guard<std::mutex> guard(Lock());
        Lines().push_back({level, buffer});
    }
    void SetGeneralCallback(LogCallback) {}
    void SetLevelCallback(int, LevelLogCallback) {}

    // Kept outside the object so that lines written during shut-down stay readable.
    static std::vector<LogLine> Take() {
        std::lock_guard<std::mutex> guard(Lock());
        return std::exchange(Lines(), {});
    }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<LogLine>& Lines() {
        static std::vector<LogLine> lines;
        return lines;
    }
};

using InertAppPath = test_components::EmptyAppPath<>;

class InertTimeMgr final : public ITimeMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    ITime* GetProcessTime() override { return nullptr; }
    ITime* GetSharedTime() override { return nullptr; }
    ITime* GetTimeById(int) override { return nullptr; }
};

class InertIPCMgr final : public IIPCMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    IIPCHost* CreateHost() override { return nullptr; }
    IIPCClient* CreateClient() override { return nullptr; }
    void DestroyHost(IIPCHost*) override {}
    void DestroyClient(IIPCClient*) override {}
};

class InertUISkin final : public IUISkin {
public:
    bool Init() override { return true; }
    void Free() override {}
    void SetSkinIndex(int) override {}
    int GetSkinIndex() override { return 0; }
    const char* GetSkinPath(int) override { return ""; }
    const char* GetBaseSkinPath() override { return ""; }
};

class InertTranslate final : public ITranslate {
public:
    bool Init() override { return true; }
    void Free() override {}
    void LoadFile(const char*) override {}
    void LoadText(const char*) override {}
    const char* Lookup(const char*) override { return nullptr; }
};

class InertData final : public IData {
public:
    bool Init() override { return true; }
    void Free() override {}
    void Visit(DataVisitCallback) override {}
};

using PluginTestApp = ApplicationImpl<1, TestNotifier, InertAppPath, TestTasks, InertTimeMgr, RecordingLog,
                                      InertIPCMgr, InertUISkin, InertTranslate, InertData, ApplicationUtilImpl,
                                      PluginMgr>;

// Creates the process's application object with "-plugin_config=path"; the
// plugin manager has read the file when this returns.
inline bool StartWithConfig(const std::string& config_path) {
    std::string program = "plugin_test";
    std::string option = "-plugin_config=" + config_path;
    char* argv[] = {program.data(), option.data()};
    return MakeApplication<PluginTestApp>(2, argv, [](InterfaceBase*) { return true; }, [](bool) {},
                                          "MakeNomalApplication");
}

inline TestTasks* Tasks() { return static_cast<TestTasks*>(App()->GetThreadTaskMgr()); }
inline TestNotifier* Notifier() { return static_cast<TestNotifier*>(App()->GetNotifier()); }

}  // namespace Application::plugin_test
