#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include <QJsonObject>

#include "Application/IPlugin.h"
#include <QString>

// Forwards the host's log records, a crash event and the log-backup request
// to the plugin "ExePluginReporter" through the plugin manager. Every run of
// the reporter gets OssInit before anything else: sent when it connects, or,
// for a reporter not yet running (load_delay, a trigger, a restart), before
// the first command, which then starts it. Records produced before the plugin
// manager has published the reporter are kept (the latest 1 000) and follow
// that OssInit in order.
//
// Any thread may call. Everything goes out on worker thread 2, where the
// reporter's host side announces its connects ("app" 5) and ends ("app" 6),
// so that no command meant for an ended run can overtake the next OssInit.
class ReporterBridge {
public:
    static constexpr const char* kPluginName = "ExePluginReporter";
    static constexpr size_t kMaxEarlyRecords = 1000;
    static constexpr int kCrashDeliveryWaitMs = 2000;
    enum Command : int32_t { kOssInit = 1, kLogRecord = 3, kEvent = 4, kBackupLocalLog = 9 };

    static ReporterBridge& Instance();

    // Subscribes to "app" 5 and 6 (a plugin process connected, ended); later
    // calls do nothing. The host calls it as soon as the notifier runs, since the
    // reporter may connect while the plugin manager is still starting.
    void Subscribe();
    // Start-up is over (every plugin is published): subscribes when that has
    // not happened yet and sends the OssInit (and the records) that a reporter
    // connected during start-up had to wait for. Without a configured reporter, records are no
    // longer kept, since none can appear later. Main thread.
    void Start();
    void ReportLog(const char* message, const char* level_name);
    // The process is about to die: waits (at most kCrashDeliveryWaitMs) until
    // the event has left for the plugin process.
    void ReportCrash(const std::optional<QString>& description = std::nullopt);
    void ReportEvent(const char* event_id, const QJsonObject& body, uint32_t value);
    void BackupLocalLog(bool flag);

    // Called for "app" 5 with the connected plugin's name.
    void OnPluginConnected(const char* data, int length);
    // Called for "app" 6 with the ended plugin's name: the next run needs
    // OssInit again.
    void OnPluginEnded(const char* data, int length);

    // Back to the state of a new process, for tests that create several
    // applications in one.
    void ResetForTesting();

    static std::string LogRecord(uint64_t time_sec, const std::string& message, const std::string& level_name);
    static std::string EventRecord(uint64_t time_ms, const std::string& event_id, const std::string& body_json,
                                   uint32_t value);

private:
    ReporterBridge() = default;
    // Delivers the command on worker thread 2 (at once without a task manager).
    void Send(int32_t command, std::string data);
    void SendOnWorker2(int32_t command, const std::string& data);
    void SendOssInitLocked(Application::IPlugin* reporter);
    static bool NamesReporter(const char* data, int length);
    static Application::IPlugin* FindReporter();
    static void WaitForPluginProcessTraffic(int timeout_ms);

    std::mutex lock_;  // keeps early records and live records in one order
    bool started_ = false;          // start-up over: a configured reporter can be found
    bool connect_pending_ = false;  // connected before it could be found
    bool ready_ = false;            // OssInit sent to the current run of the reporter
    bool reporter_absent_ = false;  // none configured: nothing to keep records for
    std::deque<std::string> early_records_;
    uintptr_t connected_subscription_ = 0;  // main thread only
    uintptr_t ended_subscription_ = 0;      // main thread only
};
