#include "framework/exeplugin/host_proxy.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "Tools/memory.h"
#include "framework/core/application_impl.h"
#include "framework/exeplugin/data_sync_link.h"
#include "framework/exeplugin/worker2.h"
#include "framework/ipc/ipc_mgr.h"
#include "framework/plugins/plugin_files.h"
#include "tools/monotonic_clock.h"

namespace Application::ExePlugin {
namespace {

ILog* Log() { return App() ? App()->GetLog() : nullptr; }
INotifier* Notifier() { return App() ? App()->GetNotifier() : nullptr; }
IThreadTaskMgr* Tasks() { return App() ? App()->GetThreadTaskMgr() : nullptr; }

std::string NamePayload(const std::string& name) { return PayloadWriter().Text(name).Take(); }

// Counts an answer a host plugin still owes the plugin process, for as long
// as the answer sender exists.
class OwedAnswer {
public:
    explicit OwedAnswer(std::shared_ptr<std::atomic<size_t>> count) : count_(std::move(count)) { ++*count_; }
    ~OwedAnswer() { --*count_; }
    OwedAnswer(const OwedAnswer&) = delete;
    OwedAnswer& operator=(const OwedAnswer&) = delete;

private:
    std::shared_ptr<std::atomic<size_t>> count_;
};

}  // namespace

ExePluginHostProxy::ExePluginHostProxy(const PluginConfig& config)
    : plugin_process_(config.plugin_process),
      file_(config.file),
      name_(config.name),
      cmdline_(config.cmdline),
      status_(TakeRowForCreation(config.name, kPluginExe, ResolveProcessFile(config.plugin_process))),
      life_(std::make_unique<Tools::ObjKeeper>()),
      life_id_(life_->getObjID()),
      ensure_process_(config.ensure_process) {
    // Called from any thread; the proxy is touched only on worker thread 2,
    // once its liveness is checked there.
    status_->SetRestartHook([this, life = life_id_] {
        OnWorker2([this, life] {
            if (Tools::ObjKeeper::IsAlive(life)) RestartNow();
        });
    });
    if (config.msg_id != 0) {
        msg_mod_ = config.msg_mod;
        msg_id_ = config.msg_id;
        if (INotifier* notifier = Notifier()) {
            trigger_handle_ = notifier->Subscribe(msg_mod_.c_str(), msg_id_, [this](unsigned, const char* data, int length) {
                StartProcess();
                std::string payload = PayloadWriter().I32(msg_id_).Text(data, length).Take();
                Invoke(0, payload.data(), static_cast<int32_t>(payload.size()), nullptr);
            });
        }
    } else if (!config.load_delay) {
        StartProcess();
    }
}

ExePluginHostProxy::~ExePluginHostProxy() {
    status_->SetRestartHook(nullptr);
    // The notifier waits for a delivery in progress: no callback runs after these.
    if (INotifier* notifier = Notifier()) {
        if (trigger_handle_) notifier->Unsubscribe(msg_mod_.c_str(), msg_id_, trigger_handle_);
        if (const uintptr_t hook = shutdown_hook_.exchange(0)) notifier->Unsubscribe(App()->GetName(), kAppShuttingDown, hook);
    }
    RunOnWorker2AndWait([this] {
        TearDown(false);
        for (auto& action : cleanup_actions_) action();
        cleanup_actions_.clear();
        life_.reset();
    });
    status_->SetState(PluginState::kStopped);
}

void ExePluginHostProxy::Post(std::function<void()> task) {
    OnWorker2([life = life_id_, task = std::move(task)] {
        if (Tools::ObjKeeper::IsAlive(life)) task();
    });
}

bool ExePluginHostProxy::Init() {
    INotifier* notifier = Notifier();
    if (!notifier) return true;
    const uintptr_t handle = notifier->Subscribe(App()->GetName(), kAppShuttingDown, [this](unsigned, const char*, int) {
        shutting_down_ = true;
        // Every proxy posts its Exit now; worker thread 2 sends them all
        // before it stops, so the processes end side by side.
        Post([this] {
            if (process_host_) process_host_->SendExit();
        });
        if (const uintptr_t hook = shutdown_hook_.exchange(0))
            Notifier()->Unsubscribe(App()->GetName(), kAppShuttingDown, hook);
    });
    shutdown_hook_ = handle;
    return true;
}

void ExePluginHostProxy::Free() {
    RunOnWorker2AndWait([this] { TearDown(shutting_down_.load()); });
    status_->SetState(PluginState::kStopped);
}

void ExePluginHostProxy::TearDown(bool wait_for_exit) {
    ASSERT_ON_WORKER2();
    if (process_host_) {
        for (auto& action : cleanup_actions_) action();
        cleanup_actions_.clear();
        int exit_code = -1, signal_number = 0;
        if (process_host_->ExitStatus(&exit_code, &signal_number))
            status_->ProcessEnded(exit_code, signal_number, static_cast<int64_t>(Tools::os_gettime_ms()));
        process_host_->Stop(wait_for_exit);
        status_->ProcessGone();
        LibraryDelete(process_host_);
        process_host_ = nullptr;
    }
    if (INotifier* notifier = Notifier())
        for (auto& [key, subscription] : client_subscriptions_)
            notifier->Unsubscribe(subscription.module.c_str(), subscription.msg_id, subscription.handle);
    client_subscriptions_.clear();
}

void ExePluginHostProxy::Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) {
    const size_t size = data && length > 0 ? static_cast<size_t>(length) : 0;
    // The data is copied once, straight into the frame; worker thread 2
    // fills in the call id.
    std::string frame = FrameWriter(kCall, 4 + TextFieldSize(size) + 4).I32(command).Text(data, length).U32(0).Take();
    Post([this, command, frame = std::move(frame), callback = std::move(callback)]() mutable {
        SendCall(command, std::move(frame), std::move(callback));
    });
}

void ExePluginHostProxy::SendForTesting(int32_t id, std::string payload) {
    Post([this, id, payload = std::move(payload)]() mutable {
        if (process_host_) process_host_->Send(id, std::move(payload));
    });
}

void ExePluginHostProxy::StartProcess() {
    IThreadTaskMgr* tasks = Tasks();
    if (!tasks) return;
    if (!tasks->IsWorker2Thread()) {
        Post([this] { StartProcess(); });
        return;
    }
    // No new process once the application shuts down: it would outlive us.
    if (process_host_ || shutting_down_) return;
    process_host_ = LibraryNew<ExePluginProcessHost>(name_);
    started_at_ms_ = Tools::os_gettime_ms();
    char executable[1024] = {};
    if (Tools::os_get_executable_path(executable, sizeof executable, plugin_process_.c_str()) <= 0) {
        status_->SetState(PluginState::kFailed, "the executable's folder cannot be determined");
        return;
    }
    // The configured command line is passed whole, however long.
    const std::string arguments =
        "-plugin_name=" + file_ + " -pid=" + std::to_string(Tools::os_current_pid()) + " " + cmdline_;
    const uintptr_t host_id = process_host_->getObjID();
    ExePluginProcessHost::Events events;
    // Messages come through tasks posted by the IPC thread: the proxy may be
    // gone by then. The two events come from the process host's own checks.
    events.on_message = [this, life = life_id_, host_id](int32_t id, Payload payload) {
        if (Tools::ObjKeeper::IsAlive(life)) OnMessage(host_id, id, payload.view());
    };
    events.on_connected = [this, host_id] { OnConnected(host_id); };
    events.on_refused = [this, host_id] { OnRefused(host_id); };
    events.on_ended = [this, host_id] { OnProcessExited(host_id); };
    process_host_->Start(executable, arguments, std::move(events));
    if (process_host_->started())
        status_->ProcessStarted(static_cast<int32_t>(process_host_->pid()), static_cast<int64_t>(started_at_ms_));
    process_host_->Send(kDataSyncToClient, FullStateSnapshot());
    ExePluginProcessHost* host = process_host_;
    const uintptr_t listener = AddStateListener([host, host_id](const std::string& snapshot) {
        OnWorker2([host, host_id, snapshot] {
            if (Tools::ObjKeeper::IsAlive(host_id)) host->Send(kDataSyncToClient, snapshot);
        });
    });
    cleanup_actions_.push_back([listener] { RemoveStateListener(listener); });
    std::deque<HeldCall> held;
    held.swap(calls_for_next_run_);
    held_calls_limit_logged_ = false;
    for (HeldCall& call : held) SendCall(call.command, std::move(call.frame), std::move(call.callback));
}

void ExePluginHostProxy::SendCall(int32_t command, std::string frame, InvokeCallback callback) {
    ASSERT_ON_WORKER2();
    // Refused here, where it is known whose call it is; its callback is
    // never called, as for a call whose process ends before it answers.
    const size_t payload_size = FramePayloadSize(frame);
    if (!FitsInFrame(payload_size)) {
        if (ILog* log = Log())
            log->Write(kLogError, "plugin '%s': call of command %d is %zu bytes, over the frame limit of %d bytes; not sent",
                       name_.c_str(), command, payload_size + 4, ipc::FrameReader::kMaxFrameLength);
        return;
    }
    StartProcess();
    if (!process_host_) return;
    if (process_host_->ending()) {
        if (calls_for_next_run_.size() < kMaxPendingCalls) {
            calls_for_next_run_.push_back({command, std::move(frame), std::move(callback)});
        } else if (!held_calls_limit_logged_) {
            held_calls_limit_logged_ = true;
            if (ILog* log = Log())
                log->Write(kLogError, "plugin '%s': %zu calls wait for its next process (the limit); dropping more",
                           name_.c_str(), kMaxPendingCalls);
        }
        return;
    }
    PendingCalls& pending = process_host_->pending_calls();
    if (callback && pending.size() >= kMaxPendingCalls) {
        process_host_->End("has not answered " + std::to_string(kMaxPendingCalls) +
                           " calls (the limit of pending calls); cutting it off and restarting");
        return;
    }
    if (callback) {
        callback = [status = status_, sent_us = Tools::detail::MonotonicUs(), inner = std::move(callback)](
                       const char* result, int32_t length) {
            status->CallCompleted(Tools::detail::MonotonicUs() - sent_us);
            inner(result, length);
        };
    }
    // The call belongs to this run: its answer is taken from this run only.
    const uint32_t call_id = pending.Add(std::move(callback));
    PatchTrailingU32(frame, call_id);
    process_host_->SendFrame(std::move(frame));
}

ExePluginProcessHost* ExePluginHostProxy::Current(uintptr_t host_id) const {
    if (!process_host_ || process_host_->getObjID() != host_id || process_host_->ending()) return nullptr;
    return process_host_;
}

void ExePluginHostProxy::Notify(int msg_id) {
    const std::string payload = NamePayload(name_);
    if (INotifier* notifier = Notifier())
        notifier->Notify(App()->GetName(), msg_id, payload.data(), static_cast<int>(payload.size()));
}

void ExePluginHostProxy::OnConnected(uintptr_t host_id) {
    ASSERT_ON_WORKER2();
    if (!Current(host_id)) return;
    refusal_logged_ = false;
    status_->ProcessConnected(Tools::detail::MonotonicMs());
    Notify(kAppPluginConnected);
}

void ExePluginHostProxy::OnRefused(uintptr_t host_id) {
    ASSERT_ON_WORKER2();
    ExePluginProcessHost* host = Current(host_id);
    if (!host) return;
    refused_ = true;
    if (refusal_logged_) return;
    refusal_logged_ = true;
    auto* ipc = App() ? dynamic_cast<IPCMgrImpl*>(App()->GetIPCMgr()) : nullptr;
    if (ILog* log = Log())
        log->Write(kLogError,
                   "plugin process '%s' (pid %u) was refused: the host serves at most %d plugin processes at once (the "
                   "limit); it is not restarted, it starts again with the next call",
                   name_.c_str(), host->pid(), ipc ? ipc->ConnectionLimit() : 0);
}

// Only messages of the current run are served; requests whose payload is
// too short for their fields, and ids the host keeps for its own events,
// are rejected whole.
void ExePluginHostProxy::OnMessage(uintptr_t host_id, int32_t id, std::string_view payload) {
    ASSERT_ON_WORKER2();
    ExePluginProcessHost* host = Current(host_id);
    if (!host) return;
    // Views into the received bytes: calls and answers are not copied again.
    MessageView m;
    if (!ParseHostMessage(id, payload, m)) return;
    INotifier* notifier = Notifier();
    switch (id) {
        case kPing:
            host->RecordPing();
            status_->ProcessAlive(Tools::detail::MonotonicMs());
            host->Send(kPong, std::string());
            break;
        case kSubscribe: {
            if (!notifier) break;
            auto old = client_subscriptions_.find(m.token);
            if (old == client_subscriptions_.end() && client_subscriptions_.size() >= kMaxSubscriptions) {
                host->End("exceeded the limit of " + std::to_string(kMaxSubscriptions) +
                          " subscriptions; cutting it off and restarting");
                break;
            }
            const std::string module_name(m.name);
            const uintptr_t handle = notifier->Subscribe(
                module_name.c_str(), m.number,
                [this, life = life_id_, host_id, module = module_name, msg_id = m.number, key = m.token](
                    unsigned, const char* data, int length) {
                    const size_t size = TextFieldSize(module.size()) + 8 + TextFieldSize(length > 0 ? length : 0);
                    if (!FitsInFrame(size)) {
                        if (ILog* log = Log())
                            log->Write(kLogError,
                                       "plugin '%s': notification '%s' %d is %zu bytes, over the frame limit of %d "
                                       "bytes; not forwarded",
                                       name_.c_str(), module.c_str(), msg_id, size + 4, ipc::FrameReader::kMaxFrameLength);
                        return;
                    }
                    std::string forwarded = PayloadWriter().Text(module).I32(msg_id).U32(key).Text(data, length).Take();
                    OnWorker2([this, life, host_id, forwarded = std::move(forwarded)]() mutable {
                        if (!Tools::ObjKeeper::IsAlive(life)) return;
                        if (ExePluginProcessHost* current = Current(host_id))
                            current->Send(kNotification, std::move(forwarded));
                    });
                });
            if (old != client_subscriptions_.end() && old->second.handle)
                notifier->Unsubscribe(old->second.module.c_str(), old->second.msg_id, old->second.handle);
            client_subscriptions_[m.token] = {handle, module_name, m.number};
            break;
        }
        case kUnsubscribe: {
            auto it = client_subscriptions_.find(m.token);
            if (notifier && it != client_subscriptions_.end() && it->second.handle) {
                notifier->Unsubscribe(std::string(m.name).c_str(), m.number, it->second.handle);
                client_subscriptions_.erase(it);
            }
            break;
        }
        case kNotify:
            if (notifier) notifier->Notify(name_.c_str(), m.number, m.data.data(), static_cast<int>(m.data.size()));
            break;
        case kCallPlugin: {
            IPluginMgr* plugins = App() ? App()->GetPluginMgr() : nullptr;
            const std::string target_name(m.name);
            IPlugin* plugin = plugins ? plugins->GetPlugin(target_name.c_str()) : nullptr;
            if (!plugin) break;
            InvokeCallback answer;
            if (m.token != 0) {
                if (host->OwedAnswers() >= kMaxPendingCalls) {
                    host->End("has " + std::to_string(kMaxPendingCalls) +
                              " calls waiting for answers from the host (the limit of pending calls); cutting it off "
                              "and restarting");
                    break;
                }
                // The answer goes back to the run that asked, never to a successor.
                answer = [this, life = life_id_, host_id, call_id = m.token, command = m.number, target = target_name,
                          owed = std::make_shared<OwedAnswer>(host->owed_answer_counter())](const char* result,
                                                                                            int32_t length) {
                    const size_t size = TextFieldSize(result && length > 0 ? length : 0) + 4;
                    if (!FitsInFrame(size)) {
                        if (ILog* log = Log())
                            log->Write(kLogError,
                                       "plugin '%s': answer of host plugin '%s' to command %d is %zu bytes, over the "
                                       "frame limit of %d bytes; not sent",
                                       name_.c_str(), target.c_str(), command, size + 4,
                                       ipc::FrameReader::kMaxFrameLength);
                        return;
                    }
                    std::string reply = FrameWriter(kCallResultToClient, size).Text(result, length).U32(call_id).Take();
                    OnWorker2([this, life, host_id, reply = std::move(reply)]() mutable {
                        if (!Tools::ObjKeeper::IsAlive(life)) return;
                        if (ExePluginProcessHost* current = Current(host_id)) current->SendFrame(std::move(reply));
                    });
                };
            }
            plugin->Invoke(m.number, m.data.data(), static_cast<int32_t>(m.data.size()), std::move(answer));
            break;
        }
        case kCallResultToHost:
            host->pending_calls().Answer(m.token, m.data);
            break;
        case kLog:
            if (host->AdmitLogLine())
                if (ILog* log = Log()) log->Write(m.number, "%s", std::string(m.data).c_str());
            break;
        case kDataSyncToHost:
            ApplyStateSnapshot(std::string(m.data));
            break;
        case kQuitApp:
            if (App()) App()->Quit(false);
            break;
        default:
            break;
    }
}

namespace {

std::mutex g_policy_lock;
ExePluginHostProxy::BackoffPolicy g_policy;

ExePluginHostProxy::BackoffPolicy CurrentPolicy() {
    std::lock_guard<std::mutex> guard(g_policy_lock);
    return g_policy;
}

}  // namespace

void ExePluginHostProxy::SetBackoffPolicyForTesting(const BackoffPolicy& policy) {
    std::lock_guard<std::mutex> guard(g_policy_lock);
    g_policy = policy;
}

std::pair<uint32_t, uint32_t> ExePluginHostProxy::NextBackoff(uint32_t current_ms, uint64_t run_ms) {
    const BackoffPolicy policy = CurrentPolicy();
    if (run_ms >= policy.reset_ms) return {0, 0};
    uint32_t after = current_ms;
    if (run_ms < policy.rapid_exit_ms)
        after = current_ms == 0 ? policy.first_ms : static_cast<uint32_t>(std::min<uint64_t>(uint64_t{current_ms} * 2, policy.max_ms));
    return {current_ms, after};
}

void ExePluginHostProxy::OnProcessExited(uintptr_t host_id) {
    ASSERT_ON_WORKER2();
    if (!process_host_ || process_host_->getObjID() != host_id) return;
    const std::string how = process_host_->ExitDescription();
    const uint64_t run_ms = Tools::os_gettime_ms() - started_at_ms_;
    const bool refused = std::exchange(refused_, false);
    TearDown(false);
    status_->SetState(PluginState::kStopped, "ended (" + how + ")");
    Notify(kAppPluginEnded);
    if (std::exchange(restart_requested_, false) && !shutting_down_) {
        if (ILog* log = Log())
            log->Write(kLogInfo, "plugin process '%s' ended (%s); starting it again on request", name_.c_str(),
                       how.c_str());
        StartProcess();
        return;
    }
    if (refused) {
        // Restarting would only be refused again, over and over.
        if (ILog* log = Log())
            log->Write(kLogInfo, "plugin process '%s' ended after its connection was refused (%s)", name_.c_str(),
                       how.c_str());
        status_->SetState(PluginState::kStopped,
                          "its connection was refused (the host's limit of plugin processes); it starts again with "
                          "the next call");
        return;
    }
    if (!ensure_process_) {
        if (ILog* log = Log())
            log->Write(kLogError, "plugin process '%s' ended (%s); it starts again with the next call", name_.c_str(),
                       how.c_str());
        status_->SetState(PluginState::kStopped, "ended (" + how + "); it starts again with the next call");
        // Calls made while it was ending are that next call.
        if (!calls_for_next_run_.empty()) StartProcess();
        return;
    }
    auto [delay, next] = NextBackoff(backoff_ms_, run_ms);
    backoff_ms_ = next;
    if (ILog* log = Log())
        log->Write(kLogError, "plugin process '%s' ended (%s) after %llu ms; next start in %u ms", name_.c_str(),
                   how.c_str(), static_cast<unsigned long long>(run_ms), delay);
    if (delay == 0) {
        StartProcess();
    } else if (IThreadTaskMgr* tasks = Tasks()) {
        status_->ProcessRestarting(static_cast<int64_t>(Tools::os_gettime_ms()) + delay,
                                   "ended (" + how + "); next start in " + std::to_string(delay) + " ms");
        tasks->PostWorker2DelayTask(
            [this, life = life_id_, generation = start_generation_] {
                if (Tools::ObjKeeper::IsAlive(life) && generation == start_generation_) StartProcess();
            },
            delay, false);
    }
}

void ExePluginHostProxy::RestartNow() {
    ASSERT_ON_WORKER2();
    if (shutting_down_) return;
    // A start waiting for its back-off is this one now.
    ++start_generation_;
    if (process_host_) {
        // Ending or never started: its end, which comes soon, starts the next.
        restart_requested_ = true;
        if (process_host_->started() && !process_host_->ending()) process_host_->End("is restarted on request", kLogInfo);
        return;
    }
    StartProcess();
}

}  // namespace Application::ExePlugin
