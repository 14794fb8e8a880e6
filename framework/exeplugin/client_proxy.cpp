#include "framework/exeplugin/client_proxy.h"

#include <cstring>
#include <mutex>

#include "Application/ExePluginClient.h"
#include "Tools/os.h"
#include "framework/core/application_impl.h"
#include "framework/core/cmdline_mgr.h"
#include "framework/ipc/ipc_mgr.h"
#include "framework/exeplugin/data_sync_link.h"
#include "framework/exeplugin/worker2.h"
#include "tools/os_process_p.h"

namespace Application::ExePlugin {
namespace {

IThreadTaskMgr* Tasks() { return App() ? App()->GetThreadTaskMgr() : nullptr; }
ILog* Log() { return App() ? App()->GetLog() : nullptr; }

}  // namespace

// In this process's log and in the host's, where the user looks first.
void ExePluginClientProxy::ReportNotSent(const std::string& line) {
    if (ILog* log = Log()) log->Write(kLogError, "%s", line.c_str());
    ipc_.Send(kLog, PayloadWriter().U32(kLogError).Text(line).Take());
}

std::string ExePluginClientProxy::PluginName() const {
    IPlugin* plugin = plugin_.load();
    const char* name = plugin ? plugin->GetName() : nullptr;
    return name ? name : "";
}

bool ExePluginClientProxy::FitsOrReport(size_t payload_size, const std::string& what) {
    if (FitsInFrame(payload_size)) return true;
    ReportNotSent("plugin process '" + PluginName() + "': " + what + " is " + std::to_string(payload_size + 4) +
                  " bytes, over the frame limit of " + std::to_string(ipc::FrameReader::kMaxFrameLength) +
                  " bytes; not sent");
    return false;
}

ExePluginClientProxy& ExePluginClientProxy::Instance() {
    static ExePluginClientProxy proxy;
    return proxy;
}

ExePluginClientProxy::~ExePluginClientProxy() { LibraryDelete(plugin_.exchange(nullptr)); }

void ExePluginClientProxy::Register(IPlugin* plugin) { LibraryDelete(plugin_.exchange(plugin)); }

void ExePluginClientProxy::Start() {
    if (started_) return;
    RunOnWorker2AndWait([this] {
        ipc_.Create([this](int32_t id, Payload payload) { OnMessage(id, std::move(payload)); },
                    [this](bool connected) { OnConnection(connected); },
                    // The endpoint's report that the host is gone.
                    [this] { OnWorker2([this] { QuitBecauseHostIsGone(); }); },
                    [] {
                        if (ILog* log = App() ? App()->GetLog() : nullptr)
                            log->Write(kLogError, "ExePluginClientProxy: more than %zu messages or %zu MiB waiting for "
                                                  "the host's connection; further messages are dropped",
                                       ExePluginIPC_Client::kMaxQueuedFrames, ExePluginIPC_Client::kMaxQueuedBytes >> 20);
                    },
                    [this](int32_t id, size_t payload_size) {
                        FitsOrReport(payload_size, "message " + std::to_string(id));
                    });
    });
    const uintptr_t listener = AddStateListener(
        [this](const std::string& snapshot) { ipc_.Send(kDataSyncToHost, snapshot); });
    cleanup_actions_.push_back([listener] { RemoveStateListener(listener); });
    if (IPlugin* plugin = plugin_.load()) plugin->Init();
    started_ = true;
    OnWorker2([this] { HandleDeferredOnWorker2(); });
    const uint64_t now = Tools::os_gettime_ms();
    last_pong_ = now;
    last_ping_ = now;
    // Started by hand, not by a host: there is nothing to connect to and the
    // connection would never report, so say so and quit instead of waiting forever.
    if (!ProcessCmdLineMgr()->Has(kIpcSwitchName)) {
        if (ILog* log = App() ? App()->GetLog() : nullptr)
            log->Write(kLogError, "plugin process started without the host's connection switch -%s; quitting",
                       kIpcSwitchName);
        RequestQuit(false);
    }
}

void ExePluginClientProxy::Stop() {
    if (!started_.exchange(false)) return;
    for (auto& action : cleanup_actions_) action();
    cleanup_actions_.clear();
    RunOnWorker2AndWait([this] { ipc_.Close(); });
    if (IPlugin* plugin = plugin_.exchange(nullptr)) {
        plugin->Free();
        LibraryDelete(plugin);
    }
}

void ExePluginClientProxy::OnConnection(bool connected) {
    if (!connected) {
        if (ipc_.LastCloseReason() == ipc::CloseReason::kRefused) {
            // The host lives on and ends what is left of this process's group.
            if (ILog* log = Log())
                log->Write(kLogError, "ExePluginClientProxy: the host refused the connection (closed it before any "
                                      "message; it may serve no more plugin processes); quitting");
            if (App()) App()->Quit(false);
            return;
        }
        // The host is gone or was never reached (or this process is ending
        // after the host's Exit, and the host ends what is left of its group).
        if (!exit_requested_) EndOwnGroup();
        if (App()) App()->Quit(false);
        return;
    }
    if (ILog* log = App() ? App()->GetLog() : nullptr) log->Write(kLogInfo, "ExePluginClientProxy start up CheckIfHostAlive");
    if (IThreadTaskMgr* tasks = Tasks()) tasks->PostMainThreadDelayTask([this] { CheckIfHostAlive(); }, kWatchPeriodMs, true);
}

// Nobody is left to end this process's helpers once the host is gone.
void ExePluginClientProxy::EndOwnGroup() {
    if (group_ended_.exchange(true)) return;
    const int ended = Tools::detail::EndOwnGroupAndChildren(kGroupGraceMs);
    if (ended > 0)
        if (ILog* log = Log())
            log->Write(kLogInfo, "ExePluginClientProxy: the host is gone; ended %d processes of this plugin process's group",
                       ended);
}

void ExePluginClientProxy::QuitBecauseHostIsGone() {
    if (!exit_requested_) EndOwnGroup();
    RequestQuit(false);
}

void ExePluginClientProxy::RequestQuit(bool flag) {
    if (exit_requested_.exchange(true)) return;
    if (App()) App()->Quit(flag);
}

void ExePluginClientProxy::CheckIfHostAlive() {
    const uint64_t now = Tools::os_gettime_ms();
    const int64_t since_ping = static_cast<int64_t>(now - last_ping_.load());
    if (since_ping >= static_cast<int64_t>(kPingIntervalMs)) {
        if (last_ping_.load() > last_pong_.load()) {
            // The last ping is still unanswered: the host is stuck.
            QuitBecauseHostIsGone();
            return;
        }
        if (started_) {
            ipc_.Send(kPing, std::string());
            last_ping_ = now;
        }
    }
    if (IThreadTaskMgr* tasks = Tasks()) tasks->PostMainThreadDelayTask([this] { CheckIfHostAlive(); }, kWatchPeriodMs, true);
}

uintptr_t ExePluginClientProxy::Subscribe(const char* module, int msg_id, NotifyCallback callback) {
    if (!module) return 0;
    uint32_t key = 0;
    while (key == 0) key = ++next_key_;
    // The table is touched on worker thread 2 only, like every other use of it.
    OnWorker2([this, key, module = std::string(module), msg_id, callback = std::move(callback)]() mutable {
        subscriptions_[key] = std::move(callback);
        ipc_.Send(kSubscribe, PayloadWriter().Text(module).I32(msg_id).U32(key).Take());
    });
    return key;
}

void ExePluginClientProxy::Unsubscribe(const char* module, int msg_id, uintptr_t handle) {
    if (!module) return;
    const uint32_t key = static_cast<uint32_t>(handle);
    OnWorker2([this, key, module = std::string(module), msg_id] {
        subscriptions_.erase(key);
        if (started_) ipc_.Send(kUnsubscribe, PayloadWriter().Text(module).I32(msg_id).U32(key).Take());
    });
}

void ExePluginClientProxy::Notify(const char* module, int msg_id, const char* data, int length) {
    IPlugin* plugin = plugin_.load();
    if (!plugin || !module || !started_ || std::strcmp(module, plugin->GetName()) != 0) return;
    if (!FitsOrReport(4 + TextFieldSize(data && length > 0 ? static_cast<size_t>(length) : 0),
                      "notification " + std::to_string(msg_id)))
        return;
    ipc_.Send(kNotify, PayloadWriter().I32(msg_id).Text(data, length).Take());
}

void ExePluginClientProxy::CallPlugin(const char* name, int32_t command, const char* data, int32_t length,
                                      InvokeCallback callback) {
    if (!started_) return;
    const std::string target = name ? name : "";
    if (!FitsOrReport(TextFieldSize(target.size()) + 4 + TextFieldSize(data && length > 0 ? static_cast<size_t>(length) : 0) + 4,
                      "call of host plugin '" + target + "' command " + std::to_string(command)))
        return;
    const size_t size = data && length > 0 ? static_cast<size_t>(length) : 0;
    // Built once; the call id is filled in on worker thread 2.
    std::string frame = FrameWriter(kCallPlugin, TextFieldSize(target.size()) + 4 + TextFieldSize(size) + 4)
                            .Text(target)
                            .I32(command)
                            .Text(data, length)
                            .U32(0)
                            .Take();
    OnWorker2([this, frame = std::move(frame), callback = std::move(callback)]() mutable {
        if (callback && pending_calls_.size() >= kMaxPendingCalls) {
            if (!pending_limit_logged_)
                if (ILog* log = App() ? App()->GetLog() : nullptr)
                    log->Write(kLogError, "ExePluginClientProxy: %zu calls to the host wait for answers (the limit); "
                                          "further calls are dropped",
                               kMaxPendingCalls);
            pending_limit_logged_ = true;
            return;
        }
        pending_limit_logged_ = false;
        PatchTrailingU32(frame, pending_calls_.Add(std::move(callback)));
        ipc_.SendFrame(std::move(frame));
    });
}

void ExePluginClientProxy::QuitApp() { ipc_.Send(kQuitApp, std::string()); }

void ExePluginClientProxy::OnMessage(int32_t id, Payload payload) {
    OnWorker2([this, id, payload = std::move(payload)]() mutable { OnMessageOnWorker2(id, std::move(payload)); });
}

void ExePluginClientProxy::OnMessageOnWorker2(int32_t id, Payload payload) {
    ASSERT_ON_WORKER2();
    // A call may overtake the end of Start on the main thread: it waits in
    // line, and so does everything behind it, until Start has finished.
    if (!deferred_.empty() || (!started_ && plugin_.load())) {
        deferred_.emplace_back(id, std::move(payload));
        return;
    }
    HandleOnWorker2(id, payload.view());
}

void ExePluginClientProxy::HandleDeferredOnWorker2() {
    ASSERT_ON_WORKER2();
    while (!deferred_.empty()) {
        auto [id, payload] = std::move(deferred_.front());
        deferred_.pop_front();
        HandleOnWorker2(id, payload.view());
    }
}

// A message too short for its fields is rejected whole, and so is id 0: the
// disconnection is this side's own event, reported by the endpoint.
void ExePluginClientProxy::HandleOnWorker2(int32_t id, std::string_view payload) {
    ASSERT_ON_WORKER2();
    // Views into the received bytes: a call's data reaches the plugin uncopied.
    MessageView m;
    if (!ParseClientMessage(id, payload, m)) return;
    switch (id) {
        case kPong:
            last_pong_ = Tools::os_gettime_ms();
            break;
        case kCall: {
            IPlugin* plugin = plugin_.load();
            if (!plugin) break;
            InvokeCallback answer;
            if (m.token != 0) {
                answer = [this, call_id = m.token, command = m.number](const char* result, int32_t length) {
                    if (!FitsOrReport(TextFieldSize(result && length > 0 ? static_cast<size_t>(length) : 0) + 4,
                                      "answer to command " + std::to_string(command)))
                        return;
                    const size_t size = result && length > 0 ? static_cast<size_t>(length) : 0;
                    ipc_.SendFrame(FrameWriter(kCallResultToHost, TextFieldSize(size) + 4).Text(result, length).U32(call_id).Take());
                };
            }
            plugin->Invoke(m.number, m.data.data(), static_cast<int32_t>(m.data.size()), std::move(answer));
            break;
        }
        case kNotification: {
            auto it = subscriptions_.find(m.token);
            if (it != subscriptions_.end() && it->second) it->second(m.token, m.data.data(), static_cast<int>(m.data.size()));
            break;
        }
        case kCallResultToClient:
            pending_calls_.Answer(m.token, m.data);
            break;
        case kDataSyncToClient:
            ApplyStateSnapshot(std::string(m.data));
            break;
        case kExit:
            if (ILog* log = App() ? App()->GetLog() : nullptr) log->Write(kLogInfo, "ExePluginClientProxy: Exit from the host");
            RequestQuit(true);
            break;
        default:
            break;
    }
}

}  // namespace Application::ExePlugin

namespace Application {

unsigned int ExePluginClientProxyRegister(IPlugin* plugin) {
    ExePlugin::ExePluginClientProxy::Instance().Register(plugin);
    return 0;
}

}  // namespace Application
