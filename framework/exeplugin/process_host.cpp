#include "framework/exeplugin/process_host.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "framework/exeplugin/process_control.h"
#include "framework/exeplugin/worker2.h"
#include "framework/ipc/ipc_mgr.h"
#include "tools/os_process_p.h"
#include "tools/monotonic_clock.h"

namespace Application::ExePlugin {

namespace {

constexpr uint32_t kCheckPeriodMs = 1000;
// After a lost connection the process is usually gone within milliseconds;
// look again quickly before falling back to the once-a-second watch.
constexpr uint32_t kQuickCheckMs = 5;
// A process whose connection is gone quits by itself; one that is still
// there after this long is ended.
constexpr int64_t kLostConnectionGraceMs = 2000;
constexpr int64_t kExitGraceMs = 3000;
constexpr int64_t kTerminateGraceMs = 1000;
constexpr int64_t kLogWindowMs = 1000;
// What a waiting message costs beyond its bytes (task, strings).
constexpr int64_t kMessageOverheadBytes = 128;

ILog* Log() { return App() ? App()->GetLog() : nullptr; }
IThreadTaskMgr* Tasks() { return App() ? App()->GetThreadTaskMgr() : nullptr; }
int64_t Now() { return Tools::detail::MonotonicMs(); }

// The plugin processes sent Exit as the application shuts down. Their grace
// periods run side by side: the first Stop waits for all of them at once.
class ShutdownGroup {
public:
    static ShutdownGroup& Instance() {
        static ShutdownGroup* group = new ShutdownGroup;
        return *group;
    }

    void Enlist(const ExePluginProcessHost* host, Tools::os_process_t process) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const Member& member : members_)
            if (member.host == host) return;
        members_.push_back(Member{host, process, host->name(), Tools::os_process_id(process), Now()});
    }

    bool IsEnlisted(const ExePluginProcessHost* host) {
        std::lock_guard<std::mutex> guard(lock_);
        return std::any_of(members_.begin(), members_.end(), [host](const Member& member) { return member.host == host; });
    }

    void Leave(const ExePluginProcessHost* host) {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(members_, [host](const Member& member) { return member.host == host; });
    }

    // Waits for every enlisted process: Exit's grace, then SIGTERM, then
    // SIGKILL, each phase for all at once.
    void StopAll() {
        std::lock_guard<std::mutex> guard(lock_);
        if (members_.empty()) return;
        std::vector<Tools::os_process_t> processes;
        int64_t earliest = members_.front().exit_sent_ms;
        for (const Member& member : members_) {
            processes.push_back(member.process);
            earliest = std::min(earliest, member.exit_sent_ms);
        }
        if (!WaitForProcessesExit(processes, earliest + kExitGraceMs)) {
            Signal(false);
            if (!WaitForProcessesExit(processes, Now() + kTerminateGraceMs)) {
                Signal(true);
                WaitForProcessesExit(processes, Now() + kTerminateGraceMs);
            }
        }
        for (const Member& member : members_)
            if (ILog* log = Log())
                log->Write(kLogInfo, "plugin process '%s' (pid %u) ended at shut-down (%s)", member.name.c_str(),
                           member.pid, DescribeExit(member.process).c_str());
        members_.clear();
    }

private:
    struct Member {
        const ExePluginProcessHost* host;
        Tools::os_process_t process;
        std::string name;
        uint32_t pid;
        int64_t exit_sent_ms;
    };

    void Signal(bool force) {
        for (const Member& member : members_) {
            if (!Tools::os_process_exists(member.process)) continue;
            if (ILog* log = Log())
                log->Write(kLogWarning, "plugin process '%s' (pid %u) did not end after %s; %s", member.name.c_str(),
                           member.pid, force ? "SIGTERM" : "Exit", force ? "killing it" : "terminating it");
            SignalProcess(member.process, force);
        }
    }

    std::mutex lock_;
    std::vector<Member> members_;
};

}  // namespace

// Received messages waiting on worker thread 2, counted on the IPC thread.
struct ExePluginProcessHost::Backlog {
    std::atomic<int64_t> bytes{0};
    std::atomic<bool> cut{false};
};

ExePluginProcessHost::ExePluginProcessHost(std::string name) : name_(std::move(name)) {}

ExePluginProcessHost::~ExePluginProcessHost() {
    Stop(false);
    ShutdownGroup::Instance().Leave(this);
}

void ExePluginProcessHost::Start(const std::string& executable, const std::string& arguments, Events events) {
    ASSERT_ON_WORKER2();
    events_ = std::move(events);
    backlog_ = std::make_shared<Backlog>();
    const uintptr_t self = getObjID();
    auto on_message = [this, self, backlog = backlog_, handler = events_.on_message](int32_t id, Payload payload) {
        // On the IPC thread: only the shared counter is touched here.
        if (backlog->cut.load()) return;
        const int64_t cost = static_cast<int64_t>(payload.size()) + kMessageOverheadBytes;
        // What waits ahead is measured, so one message of the largest size is always taken.
        if (backlog->bytes.fetch_add(cost) >= kMaxUnhandledIncomingBytes) {
            if (!backlog->cut.exchange(true))
                OnWorker2([this, self] {
                    if (Tools::ObjKeeper::IsAlive(self))
                        End("sent more than " + std::to_string(kMaxUnhandledIncomingBytes >> 20) +
                            " MiB of messages faster than they could be handled; cutting it off");
                });
            return;
        }
        OnWorker2([backlog, cost, handler, id, payload = std::move(payload)]() mutable {
            backlog->bytes.fetch_sub(cost);
            if (handler) handler(id, std::move(payload));
        });
    };
    auto on_connected = [this, self](bool connected) {
        OnWorker2([this, self, connected] {
            if (Tools::ObjKeeper::IsAlive(self)) OnConnection(connected);
        });
    };
    ipc_.Create(std::move(on_message), std::move(on_connected), {}, [this] {
        End("had more than " + std::to_string(ExePluginIPC_Host::kMaxQueuedBytes >> 20) +
            " MiB or " + std::to_string(ExePluginIPC_Host::kMaxQueuedFrames) +
            " messages waiting for its connection; cutting it off");
    }, [this](int32_t id, size_t payload_size) {
        if (ILog* log = Log())
            log->Write(kLogError,
                       "plugin process '%s' (pid %u): message %d of %zu bytes is over the frame limit of %d bytes; "
                       "not sent",
                       name_.c_str(), pid(), id, payload_size + 4, ipc::FrameReader::kMaxFrameLength);
    });
    const std::string command_line = ipc_.GetCmdLine() + " " + arguments;
    char error[4096] = {};
    // A group of its own: its helpers end with it (see SignalProcess).
    process_ = Tools::detail::CreateProcessInOwnGroup(executable.c_str(), command_line.c_str(), error);
    if (ILog* log = Log()) {
        if (!process_)
            log->Write(kLogError, "os_create_process: error:%s file:%s cmd:%s", error, executable.c_str(),
                       command_line.c_str());
        else
            log->Write(kLogInfo, "os_create_process: file:%s _exe_handle:%p cmd:%s", executable.c_str(),
                       static_cast<void*>(process_), command_line.c_str());
    }
    // A process that could not be started has ended already: report it now.
    RestartCheckChain(process_ ? kCheckPeriodMs : kQuickCheckMs);
}

void ExePluginProcessHost::OnConnection(bool connected) {
    ASSERT_ON_WORKER2();
    if (ILog* log = Log())
        log->Write(kLogInfo, "ipc.Create callback ipc:%p _exe_handle:%p connected:%d", static_cast<void*>(&ipc_),
                   static_cast<void*>(process_), connected ? 1 : 0);
    if (ending_ || end_reported_) return;
    if (connected) {
        if (connected_) return;
        connected_ = true;
        connected_at_ms_ = Now();
        last_ping_ms_ = 0;
        if (events_.on_connected) events_.on_connected();
        return;
    }
    connected_ = false;
    lost_at_ms_ = Now();
    // The IPC layer cut a peer that would not take its bytes: a hard limit.
    switch (LastCloseReason(ipc_.endpoint())) {
    case CloseReason::kSendQueueFull:
        End("did not take its messages: more than " + std::to_string(ipc::CSocketFd::kMaxQueuedSendBytes >> 20) +
            " MiB queued for it (the limit); cutting it off");
        return;
    case CloseReason::kSendStalled:
        End("took none of its messages for " + std::to_string(ipc::CSocketFd::kSendStallMs / 1000) +
            " s (the limit); cutting it off");
        return;
    case CloseReason::kRefused:
        if (events_.on_refused) events_.on_refused();
        break;
    default:
        break;
    }
    // A lost connection usually means the process ended: look now.
    RestartCheckChain(kQuickCheckMs);
}

void ExePluginProcessHost::RestartCheckChain(uint32_t delay_ms) {
    IThreadTaskMgr* tasks = Tasks();
    if (!tasks) return;
    const uint64_t generation = ++check_generation_;
    const uintptr_t self = getObjID();
    tasks->PostWorker2DelayTask(
        [this, self, generation, delay_ms] {
            if (Tools::ObjKeeper::IsAlive(self)) Check(generation, delay_ms);
        },
        delay_ms, true);
}

void ExePluginProcessHost::Check(uint64_t generation, uint32_t last_delay_ms) {
    ASSERT_ON_WORKER2();
    if (generation != check_generation_ || end_reported_) return;
    if (!Tools::os_process_exists(process_)) {
        end_reported_ = true;
        // The handler destroys this object: nothing may touch it afterwards.
        if (events_.on_ended) events_.on_ended();
        return;
    }
    if (!connected_ && lost_at_ms_ != 0 && !ending_ && Now() - lost_at_ms_ >= kLostConnectionGraceMs) {
        End("lost its connection and did not end; ending it");
        return;
    }
    // The hang watch rides on this check, so it adds no wake-up of its own
    // and leaves nothing queued behind an ended run. A process is judged
    // only once it has been connected for the whole limit.
    if (connected_ && !ending_ && Now() - std::max(connected_at_ms_, last_ping_ms_) >= kPingSilenceLimitMs) {
        End("is not responding; restarting");
        return;
    }
    // Quick checks back off towards the once-a-second watch, in this chain.
    IThreadTaskMgr* tasks = Tasks();
    if (!tasks) return;
    const uint32_t next = last_delay_ms < kCheckPeriodMs ? std::min(last_delay_ms * 2, kCheckPeriodMs) : kCheckPeriodMs;
    const uintptr_t self = getObjID();
    tasks->PostWorker2DelayTask(
        [this, self, generation, next] {
            if (Tools::ObjKeeper::IsAlive(self)) Check(generation, next);
        },
        next, true);
}

void ExePluginProcessHost::RecordPing() {
    ASSERT_ON_WORKER2();
    last_ping_ms_ = Now();
}

void ExePluginProcessHost::End(const std::string& reason, int level) {
    ASSERT_ON_WORKER2();
    if (ending_ || end_reported_) return;
    ending_ = true;
    if (ILog* log = Log()) log->Write(level, "plugin process '%s' (pid %u) %s", name_.c_str(), pid(), reason.c_str());
    connected_ = false;
    ipc_.Close();
    SignalProcess(process_, true);
    RestartCheckChain(kQuickCheckMs);
}

bool ExePluginProcessHost::AdmitLogLine() {
    ASSERT_ON_WORKER2();
    const int64_t now = Now();
    if (now - log_window_start_ms_ >= kLogWindowMs) {
        log_window_start_ms_ = now;
        log_lines_in_window_ = 0;
    }
    if (log_lines_in_window_ < kMaxLogLinesPerSecond) {
        ++log_lines_in_window_;
        return true;
    }
    ++log_lines_dropped_;
    // Written once the second is over; nothing wakes while no line is dropped.
    if (!log_summary_scheduled_) {
        IThreadTaskMgr* tasks = Tasks();
        if (!tasks) return false;
        log_summary_scheduled_ = true;
        const uintptr_t self = getObjID();
        tasks->PostWorker2DelayTask(
            [this, self] {
                if (Tools::ObjKeeper::IsAlive(self)) WriteLogSummary();
            },
            static_cast<uint32_t>(std::max<int64_t>(log_window_start_ms_ + kLogWindowMs - now, 1)), false);
    }
    return false;
}

void ExePluginProcessHost::WriteLogSummary() {
    ASSERT_ON_WORKER2();
    log_summary_scheduled_ = false;
    if (log_lines_dropped_ == 0) return;
    if (ILog* log = Log())
        log->Write(kLogWarning, "plugin process '%s' (pid %u): %llu log lines dropped (limit %u per second)",
                   name_.c_str(), pid(), static_cast<unsigned long long>(log_lines_dropped_), kMaxLogLinesPerSecond);
    log_lines_dropped_ = 0;
}

void ExePluginProcessHost::SendExit() {
    ASSERT_ON_WORKER2();
    Send(kExit, std::string());
    if (process_) ShutdownGroup::Instance().Enlist(this, process_);
}

std::string ExePluginProcessHost::ExitDescription() const {
    return process_ ? DescribeExit(process_) : std::string("could not be started");
}

bool ExePluginProcessHost::ExitStatus(int* exit_code, int* signal_number) const {
    return process_ && Tools::os_process_exit_status(process_, exit_code, signal_number);
}

void ExePluginProcessHost::Stop(bool wait_for_exit) {
    ASSERT_ON_WORKER2();
    ++check_generation_;
    // A process told to Exit may have ended already, before its turn here:
    // it is still reported with the others.
    if (wait_for_exit && process_ &&
        (Tools::os_process_exists(process_) || ShutdownGroup::Instance().IsEnlisted(this))) {
        // Also a process that never got Exit is waited for, and ended.
        ShutdownGroup::Instance().Enlist(this, process_);
        ShutdownGroup::Instance().StopAll();
    }
    ShutdownGroup::Instance().Leave(this);
    // The endpoint goes last: Exit may still be on its way out.
    ipc_.Close();
    if (!process_) return;
    Tools::os_close_process(process_);
    process_ = nullptr;
}

}  // namespace Application::ExePlugin
