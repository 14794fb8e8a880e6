#include "framework/exeplugin/process_host.h"

#include <algorithm>

#include "framework/exeplugin/process_control.h"
#include "framework/exeplugin/worker2.h"

namespace Application::ExePlugin {

namespace {

constexpr uint32_t kCheckPeriodMs = 1000;
// After a lost connection the process is usually gone within milliseconds;
// look again quickly before falling back to the once-a-second watch.
constexpr uint32_t kQuickCheckMs = 5;
constexpr uint32_t kExitGraceMs = 3000;
constexpr uint32_t kTerminateGraceMs = 1000;

ILog* Log() { return App() ? App()->GetLog() : nullptr; }
IThreadTaskMgr* Tasks() { return App() ? App()->GetThreadTaskMgr() : nullptr; }

}  // namespace

ExePluginProcessHost::~ExePluginProcessHost() { Stop(false); }

void ExePluginProcessHost::Start(const std::string& executable, const std::string& arguments,
                                 MessageHandler on_message) {
    on_message_ = on_message;
    const uintptr_t self = getObjID();
    ipc_.Create(on_message, [this, self, on_message](bool connected) {
        if (connected && on_message) on_message(kConnected, std::string());
        if (ILog* log = Log())
            log->Write(kLogInfo, "ipc.Create callback ipc:%p _exe_handle:%p connected:%d",
                       static_cast<void*>(&ipc_), static_cast<void*>(process_), connected ? 1 : 0);
        // A lost connection usually means the process ended: look now.
        if (!connected)
            OnWorker2([this, self] {
                if (Tools::ObjKeeper::IsAlive(self)) ScheduleCheck(kQuickCheckMs, true);
            });
    });
    const std::string command_line = ipc_.GetCmdLine() + " " + arguments;
    char error[4096] = {};
    process_ = Tools::os_create_process(executable.c_str(), command_line.c_str(), error);
    if (ILog* log = Log()) {
        if (!process_)
            log->Write(kLogError, "os_create_process: error:%s file:%s cmd:%s", error, executable.c_str(),
                       command_line.c_str());
        else
            log->Write(kLogInfo, "os_create_process: file:%s _exe_handle:%p cmd:%s", executable.c_str(),
                       static_cast<void*>(process_), command_line.c_str());
    }
    // A process that could not be started has ended already: report it now.
    ScheduleCheck(process_ ? kCheckPeriodMs : kQuickCheckMs, false);
}

void ExePluginProcessHost::ScheduleCheck(uint32_t delay_ms, bool priority) {
    IThreadTaskMgr* tasks = Tasks();
    if (!tasks) return;
    const uintptr_t self = getObjID();
    tasks->PostWorker2DelayTask(
        [this, self, delay_ms] {
            if (Tools::ObjKeeper::IsAlive(self)) Check(delay_ms);
        },
        delay_ms, priority);
}

void ExePluginProcessHost::Check(uint32_t last_delay_ms) {
    if (exit_reported_) return;
    if (!Tools::os_process_exists(process_)) {
        exit_reported_ = true;
        // The handler destroys this object: nothing may touch it afterwards.
        if (on_message_) on_message_(kProcessExited, std::string());
        return;
    }
    // Quick checks back off towards the once-a-second watch.
    if (last_delay_ms < kCheckPeriodMs) ScheduleCheck(std::min(last_delay_ms * 2, kCheckPeriodMs), true);
    else ScheduleCheck(kCheckPeriodMs, true);
}

std::string ExePluginProcessHost::ExitDescription() const {
    return process_ ? DescribeExit(process_) : std::string("could not be started");
}

void ExePluginProcessHost::Stop(bool wait_for_exit) {
    ipc_.Close();
    if (!process_) return;
    if (wait_for_exit && Tools::os_process_exists(process_) && !WaitForProcessExit(process_, kExitGraceMs)) {
        SignalProcess(process_, false);
        if (!WaitForProcessExit(process_, kTerminateGraceMs)) {
            SignalProcess(process_, true);
            WaitForProcessExit(process_, kTerminateGraceMs);
        }
    }
    Tools::os_close_process(process_);
    process_ = nullptr;
}

}  // namespace Application::ExePlugin
