#pragma once

#include <atomic>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Application/Application.h"
#include "Tools/obj_keeper.h"
#include "framework/exeplugin/process_host.h"
#include "framework/plugins/plugin_status_table.h"

namespace Application::ExePlugin {

// The host's face of a type 3 plugin: starts the plugin process (at creation,
// at the first Invoke or on a trigger notification), serves its requests,
// forwards calls to it, announces "app" 5 and 6, and restarts it when
// configured, backing off when it dies quickly.
//
// Threads: all state lives on worker thread 2. Construction and Init run on
// the main thread; Invoke and the notifier and IPC callbacks on any thread
// (they post to worker thread 2). Free and the destructor may run on any
// thread but worker thread 2's own tasks: they do their work on worker
// thread 2 and wait for it, so that once they return nothing of the proxy
// runs any more (the plugin manager may destroy a proxy while the workers
// run). Posted tasks check the proxy's liveness on worker thread 2.
class ExePluginHostProxy final : public IPlugin {
public:
    // Per connection: a peer past one of these is cut off and restarted.
    static constexpr size_t kMaxSubscriptions = 10'000;
    static constexpr size_t kMaxPendingCalls = 100'000;

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

    // The back-off rule: given the current delay and how long the ended run
    // lasted, the delay before the next start and the delay after that.
    static std::pair<uint32_t, uint32_t> NextBackoff(uint32_t current_ms, uint64_t run_ms);

    // Sends a frame to the current process as it is, whatever its id (tests
    // of how a plugin process treats ids it must not act on). Any thread.
    void SendForTesting(int32_t id, std::string payload);

private:
    // Runs task on worker thread 2 while the proxy still exists.
    void Post(std::function<void()> task);
    void StartProcess();
    // Ends the current process (if any) and starts the next at once.
    void RestartNow();
    // frame: the Call frame built by Invoke, its call id still to be filled in.
    void SendCall(int32_t command, std::string frame, InvokeCallback callback);
    void OnMessage(uintptr_t host_id, int32_t id, std::string_view payload);
    void OnConnected(uintptr_t host_id);
    void OnRefused(uintptr_t host_id);
    void OnProcessExited(uintptr_t host_id);
    // The process host of this id, if it is the current one and still served.
    ExePluginProcessHost* Current(uintptr_t host_id) const;
    void TearDown(bool wait_for_exit);
    void Notify(int msg_id);

    const std::string plugin_process_;
    const std::string file_;
    const std::string name_;
    const std::string cmdline_;
    // This plugin's row of the status table; updated on worker thread 2.
    const PluginStatusRowPtr status_;
    // Liveness of the proxy as its posted tasks see it; retired on worker
    // thread 2, so that a check there and the end cannot interleave.
    std::unique_ptr<Tools::ObjKeeper> life_;
    const uintptr_t life_id_;
    ExePluginProcessHost* process_host_ = nullptr;
    struct ClientSubscription {
        uintptr_t handle;
        std::string module;
        int msg_id;
    };
    std::map<uint32_t, ClientSubscription> client_subscriptions_;
    uintptr_t trigger_handle_ = 0;
    std::atomic<uintptr_t> shutdown_hook_{0};
    std::string msg_mod_;
    int msg_id_ = 0;
    const bool ensure_process_ = false;
    std::vector<std::function<void()>> cleanup_actions_;
    // Calls made while the current process is being ended: they go to the
    // next run instead of being lost with the ending one.
    struct HeldCall {
        int32_t command;
        std::string frame;
        InvokeCallback callback;
    };
    std::deque<HeldCall> calls_for_next_run_;
    bool held_calls_limit_logged_ = false;
    std::atomic<bool> shutting_down_{false};
    // The current run was refused by the IPC server: it is not restarted
    // when it ends; the refusal is logged once until a run connects again.
    bool refused_ = false;
    bool refusal_logged_ = false;
    uint64_t started_at_ms_ = 0;
    uint32_t backoff_ms_ = 0;
    // The next end starts the next process at once, outside the back-off.
    bool restart_requested_ = false;
    // A start waiting for its back-off is dropped when this has moved on.
    uint64_t start_generation_ = 0;
};

}  // namespace Application::ExePlugin
