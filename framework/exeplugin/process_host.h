#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Tools/obj_keeper.h"
#include "Tools/os.h"
#include "framework/exeplugin/exe_plugin_ipc_host.h"
#include "framework/exeplugin/pending_calls.h"

namespace Application::ExePlugin {

// One run of a plugin process: its handle, its IPC endpoint, the calls sent
// to it that wait for answers, and the watch on its life (once a second: that
// it still runs, and that it still pings). Everything an answer or a
// request of this run touches is tied to this object, so a late message of
// a replaced run reaches nothing of its successor.
//
// Created, used and destroyed on worker thread 2 (or while that thread is not
// running, at shut-down); the IPC thread only posts to it, and posted work
// checks by id that it still exists.
class ExePluginProcessHost final : public Tools::ObjKeeper {
public:
    // A connected process that has sent no Ping for this long is hung.
    static constexpr int64_t kPingSilenceLimitMs = 10'000;
    // Forwarded log lines per second; more are counted and summarised.
    static constexpr uint32_t kMaxLogLinesPerSecond = 1000;
    // Received messages waiting for worker thread 2; a peer whose message
    // comes while this much waits sends faster than we handle and is cut off.
    static constexpr int64_t kMaxUnhandledIncomingBytes = int64_t{32} << 20;

    struct Events {
        // Each message from the wire (never a host-internal event).
        std::function<void(int32_t id, Payload payload)> on_message;
        std::function<void()> on_connected;
        // The host's IPC server refused its connection: it serves no more
        // plugin processes. The process quits by itself; on_ended follows.
        std::function<void()> on_refused;
        // The process has ended (or could not be started); the handler
        // destroys this object.
        std::function<void()> on_ended;
    };

    explicit ExePluginProcessHost(std::string name);
    ~ExePluginProcessHost() override;
    ExePluginProcessHost(const ExePluginProcessHost&) = delete;
    ExePluginProcessHost& operator=(const ExePluginProcessHost&) = delete;

    // Starts the process with the connection switch in front of arguments.
    void Start(const std::string& executable, const std::string& arguments, Events events);
    void Send(int32_t id, std::string payload) { ipc_.Send(id, std::move(payload)); }
    void SendFrame(std::string frame) { ipc_.SendFrame(std::move(frame)); }
    // Sends Exit and enlists the process in the shut-down wait.
    void SendExit();
    // With wait_for_exit the process gets its grace after Exit (shared with
    // every other plugin process shutting down at the same time), then is
    // terminated, then killed: none is left behind. Then the endpoint is
    // handed back.
    void Stop(bool wait_for_exit);

    // Cuts the process off: one level-100 line (reason follows "plugin
    // process 'NAME' (pid N) "), the endpoint closed, SIGKILL through its
    // pidfd; its end is then reported as for any other end.
    void End(const std::string& reason, int level = kLogError);
    // Messages of a run being ended are no longer served.
    bool ending() const { return ending_; }

    void RecordPing();
    // False (and counted for the summary line) past the per-second limit.
    bool AdmitLogLine();

    PendingCalls& pending_calls() { return pending_calls_; }
    // Answers the host's plugins still owe this process (CallPlugin).
    size_t OwedAnswers() const { return owed_answers_->load(); }
    std::shared_ptr<std::atomic<size_t>> owed_answer_counter() const { return owed_answers_; }

    const std::string& name() const { return name_; }
    uint32_t pid() const { return process_ ? Tools::os_process_id(process_) : 0; }
    bool started() const { return process_ != nullptr; }
    // Exit code or signal of the ended process, as text for the log.
    std::string ExitDescription() const;
    // The same as numbers; false while it runs or when it never started.
    bool ExitStatus(int* exit_code, int* signal_number) const;

private:
    struct Backlog;

    void RestartCheckChain(uint32_t delay_ms);
    void Check(uint64_t generation, uint32_t last_delay_ms);
    void OnConnection(bool connected);
    void WriteLogSummary();

    const std::string name_;
    Tools::os_process_t process_ = nullptr;
    ExePluginIPC_Host ipc_;
    Events events_;
    PendingCalls pending_calls_;
    std::shared_ptr<std::atomic<size_t>> owed_answers_ = std::make_shared<std::atomic<size_t>>(0);
    std::shared_ptr<Backlog> backlog_;
    bool end_reported_ = false;
    bool ending_ = false;
    // One chain of checks: a task of an older generation ends its chain.
    uint64_t check_generation_ = 0;
    bool connected_ = false;
    int64_t connected_at_ms_ = 0;
    int64_t last_ping_ms_ = 0;
    int64_t lost_at_ms_ = 0;
    int64_t log_window_start_ms_ = 0;
    uint32_t log_lines_in_window_ = 0;
    uint64_t log_lines_dropped_ = 0;
    bool log_summary_scheduled_ = false;
};

}  // namespace Application::ExePlugin
