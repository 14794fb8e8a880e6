#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Application/Application.h"
#include "framework/core/app_path.h"
#include "framework/exeplugin/exe_plugin_ipc.h"

namespace Application::ExePlugin {

// The plugin process's link to its host: the registered plugin object, the
// connection, the calls waiting for answers, the notifier subscriptions and
// the ping watch. One per process. Protocol work and the subscription and
// call tables live on worker thread 2; the watch runs on the main thread.
class ExePluginClientProxy {
public:
    static constexpr uint64_t kPingIntervalMs = 3000;
    static constexpr uint32_t kWatchPeriodMs = 1000;

    static ExePluginClientProxy& Instance();

    // Takes ownership; a previously registered object is destroyed without Free.
    void Register(IPlugin* plugin);
    void Start();
    void Stop();

    uintptr_t Subscribe(const char* module, int msg_id, NotifyCallback callback);
    void Unsubscribe(const char* module, int msg_id, uintptr_t handle);
    void Notify(const char* module, int msg_id, const char* data, int length);
    void CallPlugin(const char* name, int32_t command, const char* data, int32_t length, InvokeCallback callback);
    void QuitApp();

    void OnMessage(int32_t id, std::string payload);

private:
    ExePluginClientProxy() = default;
    ~ExePluginClientProxy();

    void OnConnection(bool connected);
    void CheckIfHostAlive();
    void OnMessageOnWorker2(int32_t id, const std::string& payload);
    void RequestQuit(bool flag);

    std::atomic<IPlugin*> plugin_{nullptr};
    ExePluginIPC_Client ipc_;
    std::atomic<uint64_t> last_pong_{0};
    std::atomic<uint64_t> last_ping_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> exit_requested_{false};
    std::vector<std::function<void()>> cleanup_actions_;
    PendingCalls pending_calls_;
    std::map<uint32_t, NotifyCallback> subscriptions_;
    std::atomic<uint32_t> next_key_{0};
};

class ExePluginClientNotifyProxy final : public INotifier {
public:
    bool Init() override { return true; }
    void Free() override {}
    uintptr_t Subscribe(const char* module, int msg_id, NotifyCallback callback) override {
        return ExePluginClientProxy::Instance().Subscribe(module, msg_id, std::move(callback));
    }
    void Unsubscribe(const char* module, int msg_id, uintptr_t handle) override {
        ExePluginClientProxy::Instance().Unsubscribe(module, msg_id, handle);
    }
    void Notify(const char* module, int msg_id, const char* data, int length) override {
        ExePluginClientProxy::Instance().Notify(module, msg_id, data, length);
    }
};

// Paths as in the host, except that the application directory is the one
// above the "plugins" folder the executable lives in.
class ExePluginClientAppPathProxy final : public AppPath {
public:
    const char* GetAppDir() override;
    static std::string AppDirFromExeDir(const std::string& exe_dir);

private:
    std::string app_dir_;
};

class ExePluginClientAppUtilProxy final : public IApplicationUtil {
public:
    bool Init() override { return true; }
    void Free() override {}
    void QuitApplication() override { ExePluginClientProxy::Instance().QuitApp(); }
};

class ExePluginClientPluginMgrProxy;

// Stands for a plugin filed in the host; calls go over the connection.
class ExePluginClientPluginProxy final : public IPlugin {
public:
    ExePluginClientPluginProxy(std::string name, ExePluginClientPluginMgrProxy* manager)
        : name_(std::move(name)), manager_(manager) {}
    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return name_.c_str(); }
    void Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) override {
        ExePluginClientProxy::Instance().CallPlugin(name_.c_str(), command, data, length, std::move(callback));
    }

private:
    std::string name_;
    [[maybe_unused]] ExePluginClientPluginMgrProxy* manager_;
};

class ExePluginClientPluginMgrProxy final : public IPluginMgr {
public:
    ~ExePluginClientPluginMgrProxy() override;
    bool Init() override;
    void Free() override;
    // Never null for a name: whether the host has it shows only in answers.
    IPlugin* GetPlugin(const char* name) override;

private:
    std::recursive_mutex lock_;
    std::map<std::string, ExePluginClientPluginProxy*, std::less<>> plugins_;
};

}  // namespace Application::ExePlugin
