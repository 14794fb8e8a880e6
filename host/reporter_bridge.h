#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include <QJsonObject>
#include <QString>

// Forwards the host's log records, a crash event and the log-backup request
// to the plugin "ExePluginReporter" through the plugin manager. Records
// produced before that plugin has connected are kept (the latest 1 000) and
// delivered in order right after OssInit. Any thread may call.
class ReporterBridge {
public:
    static constexpr const char* kPluginName = "ExePluginReporter";
    static constexpr size_t kMaxEarlyRecords = 1000;
    enum Command : int32_t { kOssInit = 1, kLogRecord = 3, kEvent = 4, kBackupLocalLog = 9 };

    static ReporterBridge& Instance();

    // Subscribes to "app" 5 (a plugin process connected). Main thread, once.
    void Start();
    void ReportLog(const char* message, const char* level_name);
    void ReportCrash(const std::optional<QString>& description = std::nullopt);
    void ReportEvent(const char* event_id, const QJsonObject& body, uint32_t value);
    void BackupLocalLog(bool flag);

    // Called for "app" 5 with the connected plugin's name.
    void OnPluginConnected(const char* data, int length);

    static std::string LogRecord(uint64_t time_sec, const std::string& message, const std::string& level_name);
    static std::string EventRecord(uint64_t time_ms, const std::string& event_id, const std::string& body_json,
                                   uint32_t value);

private:
    ReporterBridge() = default;
    bool Send(int32_t command, const std::string& data);
    void SendOssInit();

    std::mutex lock_;  // keeps early records and live records in one order
    bool ready_ = false;
    std::deque<std::string> early_records_;
    uintptr_t subscription_ = 0;
};
