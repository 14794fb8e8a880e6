#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Application/Application.h"
#include "framework/exeplugin/exe_plugin_ipc_client.h"
#include "framework/exeplugin/pending_calls.h"

namespace Application::ExePlugin {

// The plugin process's link to its host: the registered plugin object, the
// connection, the calls waiting for answers, the notifier subscriptions and
// the ping watch. One per process, living until the process ends (after
// the workers have stopped), so its posted tasks never outlive it.
// Threads: Register, Start and Stop on the main thread; the watch on the
// main thread; the protocol work and the subscription and call tables on
// worker thread 2; the forwarding operations on any thread.
class ExePluginClientProxy {
public:
    static constexpr uint64_t kPingIntervalMs = 3000;
    static constexpr uint32_t kWatchPeriodMs = 1000;
    // Calls to the host waiting for answers; further calls are dropped.
    static constexpr size_t kMaxPendingCalls = 100'000;
    // How long the rest of the group has to end after SIGTERM once the host is gone.
    static constexpr int kGroupGraceMs = 1000;

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

    void OnMessage(int32_t id, Payload payload);

    // Sends a frame as it is, whatever its id (tests of how the host treats
    // ids it must not act on, and of its limits). Any thread.
    void SendForTesting(int32_t id, std::string payload) { ipc_.Send(id, std::move(payload)); }

private:
    ExePluginClientProxy() = default;
    ~ExePluginClientProxy();

    void OnConnection(bool connected);
    void CheckIfHostAlive();
    void OnMessageOnWorker2(int32_t id, Payload payload);
    void HandleOnWorker2(int32_t id, std::string_view payload);
    void HandleDeferredOnWorker2();
    void RequestQuit(bool flag);
    // Ends the rest of this process's group, once, unless the host asked it to exit.
    void EndOwnGroup();
    void QuitBecauseHostIsGone();
    // A message too long for one frame is not sent; the line names what it
    // was and its size. Any thread.
    bool FitsOrReport(size_t payload_size, const std::string& what);
    void ReportNotSent(const std::string& line);
    std::string PluginName() const;

    std::atomic<IPlugin*> plugin_{nullptr};
    ExePluginIPC_Client ipc_;
    std::atomic<uint64_t> last_pong_{0};
    std::atomic<uint64_t> last_ping_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> exit_requested_{false};
    std::atomic<bool> group_ended_{false};
    std::vector<std::function<void()>> cleanup_actions_;
    PendingCalls pending_calls_;
    bool pending_limit_logged_ = false;
    std::map<uint32_t, NotifyCallback> subscriptions_;
    std::atomic<uint32_t> next_key_{0};
    // Messages that came before Start had finished, handled in order once it
    // has (instead of holding worker thread 2 until then).
    std::deque<std::pair<int32_t, Payload>> deferred_;
};

}  // namespace Application::ExePlugin
