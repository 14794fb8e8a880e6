#pragma once

#include <cstdint>
#include <string>

#include "Tools/obj_keeper.h"
#include "Tools/os.h"
#include "framework/exeplugin/exe_plugin_ipc_host.h"

namespace Application::ExePlugin {

// One running plugin process: its handle, its IPC endpoint and the watch on
// its life. Lives on worker thread 2; posted checks test that it still exists.
class ExePluginProcessHost final : public Tools::ObjKeeper {
public:
    ExePluginProcessHost() = default;
    ~ExePluginProcessHost() override;

    // Starts the process with the connection switch in front of arguments.
    // on_message receives the plugin's messages and the host-internal
    // kConnected / kProcessExited events.
    void Start(const std::string& executable, const std::string& arguments, MessageHandler on_message);
    void Send(int32_t id, std::string payload) { ipc_.Send(id, std::move(payload)); }
    // Hands the endpoint back. With wait_for_exit the process gets 3 s to end
    // after Exit, then is terminated, then killed: none is left behind.
    void Stop(bool wait_for_exit);

    bool started() const { return process_ != nullptr; }
    // Exit code or signal of the ended process, as text for the log.
    std::string ExitDescription() const;

private:
    void ScheduleCheck(uint32_t delay_ms, bool priority);
    void Check(uint32_t last_delay_ms);

    Tools::os_process_t process_ = nullptr;
    ExePluginIPC_Host ipc_;
    MessageHandler on_message_;
    bool exit_reported_ = false;
};

}  // namespace Application::ExePlugin
