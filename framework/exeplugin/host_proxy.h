#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Application/Application.h"
#include "Tools/obj_keeper.h"
#include "framework/exeplugin/pending_calls.h"
#include "framework/exeplugin/process_host.h"

namespace Application::ExePlugin {

// The host's face of a type 3 plugin: starts the plugin process (at creation,
// at the first Invoke or on a trigger notification), serves its requests,
// forwards calls to it, announces "app" 5 and 6, and restarts it when
// configured, backing off when it dies quickly. All state changes happen on
// worker thread 2, except construction, Init, Free by the manager and the
// destructor, which run on the main thread while the workers are quiet.
class ExePluginHostProxy final : public IPlugin, public Tools::ObjKeeper {
public:
    // A run shorter than rapid_exit counts as a crash loop; one of reset or
    // longer clears the back-off.
    struct BackoffPolicy {
        uint64_t rapid_exit_ms = 10'000;
        uint64_t reset_ms = 30'000;
        uint32_t first_ms = 1000;
        uint32_t max_ms = 60'000;
    };
    // Tests shorten the delays so that hundreds of deaths fit in seconds.
    static void SetBackoffPolicyForTesting(const BackoffPolicy& policy);

    explicit ExePluginHostProxy(const PluginConfig& config);
    ~ExePluginHostProxy() override;

    bool Init() override;
    void Free() override;
    const char* GetName() override { return name_.c_str(); }
    void Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) override;

    // The message handler; any thread (moves itself to worker thread 2).
    void OnMessage(int32_t id, std::string payload);

    // The back-off rule: given the current delay and how long the ended run
    // lasted, the delay before the next start and the delay after that.
    static std::pair<uint32_t, uint32_t> NextBackoff(uint32_t current_ms, uint64_t run_ms);

private:
    void StartProcess();
    void SendCall(int32_t command, std::string data, InvokeCallback callback);
    void OnMessageOnWorker2(int32_t id, const std::string& payload);
    void OnProcessExited();
    void TearDown(bool wait_for_exit);
    void Notify(int msg_id);

    std::string plugin_process_;
    std::string file_;
    std::string name_;
    std::string cmdline_;
    ExePluginProcessHost* process_host_ = nullptr;
    PendingCalls pending_calls_;
    struct ClientSubscription {
        uintptr_t handle;
        std::string module;
        int msg_id;
    };
    std::map<uint32_t, ClientSubscription> client_subscriptions_;
    uintptr_t trigger_handle_ = 0;
    std::string msg_mod_;
    int msg_id_ = 0;
    bool ensure_process_ = false;
    std::vector<std::function<void()>> cleanup_actions_;
    std::atomic<bool> shutting_down_{false};
    uint64_t started_at_ms_ = 0;
    uint32_t backoff_ms_ = 0;
};

}  // namespace Application::ExePlugin
