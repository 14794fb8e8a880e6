#include "host/reporter_bridge.h"

#include <chrono>
#include <condition_variable>
#include <memory>

#include <QJsonDocument>

#include "Application/Application.h"

using Application::App;

namespace {

void AppendU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendU64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendText(std::string& out, const std::string& text) {
    AppendU32(out, static_cast<uint32_t>(text.size()));
    out += text;
}

Application::ITime* SharedClock() {
    Application::IApplication* app = App();
    Application::ITimeMgr* times = app ? app->GetTimeMgr() : nullptr;
    return times ? times->GetSharedTime() : nullptr;
}

}  // namespace

ReporterBridge& ReporterBridge::Instance() {
    static ReporterBridge bridge;
    return bridge;
}

std::string ReporterBridge::LogRecord(uint64_t time_sec, const std::string& message, const std::string& level_name) {
    std::string data;
    AppendU64(data, time_sec);
    AppendText(data, message);
    AppendText(data, level_name);
    data.push_back('\0');
    return data;
}

std::string ReporterBridge::EventRecord(uint64_t time_ms, const std::string& event_id, const std::string& body_json,
                                        uint32_t value) {
    std::string data;
    AppendU64(data, time_ms);
    AppendText(data, event_id);
    AppendText(data, body_json);
    AppendU32(data, value);
    data.push_back('\0');
    return data;
}

void ReporterBridge::Subscribe() {
    Application::IApplication* app = App();
    // Not under lock_: the notifier delivers under a lock of its own, and the
    // handler takes lock_.
    if (!app || !app->GetNotifier() || subscription_) return;
    subscription_ = app->GetNotifier()->Subscribe(
        app->GetName(), Application::kAppPluginConnected,
        [this](unsigned, const char* data, int length) { OnPluginConnected(data, length); });
}

void ReporterBridge::Start() {
    Subscribe();
    std::lock_guard<std::mutex> guard(lock_);
    started_ = true;
    Application::IPlugin* reporter = FindReporter();
    if (!reporter) {
        // Plugins are created only at start-up: no reporter will ever take them.
        reporter_absent_ = true;
        early_records_.clear();
        return;
    }
    if (connect_pending_) SendOssInitLocked(reporter);
}

void ReporterBridge::OnPluginConnected(const char* data, int length) {
    if (!data || length < 4) return;
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    if (size > static_cast<uint32_t>(length - 4)) return;
    if (std::string(data + 4, size) != kPluginName) return;
    std::lock_guard<std::mutex> guard(lock_);
    Application::IPlugin* reporter = FindReporter();
    if (!reporter) {
        // The plugin manager publishes its plugins only after starting them
        // all; Start sends OssInit then.
        if (!started_) connect_pending_ = true;
        return;
    }
    SendOssInitLocked(reporter);
}

Application::IPlugin* ReporterBridge::FindReporter() {
    Application::IApplication* app = App();
    Application::IPluginMgr* plugins = app ? app->GetPluginMgr() : nullptr;
    return plugins ? plugins->GetPlugin(kPluginName) : nullptr;
}

bool ReporterBridge::Send(int32_t command, const std::string& data) {
    Application::IPlugin* plugin = FindReporter();
    if (!plugin) return false;
    plugin->Invoke(command, data.data(), static_cast<int32_t>(data.size()), nullptr);
    return true;
}

// The log's Write only queues its line, so holding the lock here cannot stall
// the log writer for long.
void ReporterBridge::SendOssInitLocked(Application::IPlugin* reporter) {
    connect_pending_ = false;
    if (Application::ILog* log = App()->GetLog()) log->Write(Application::kLogInfo, "%s", "ExePluginReporter::OssInit()");
    reporter->Invoke(kOssInit, nullptr, 0, nullptr);
    ready_ = true;
    while (!early_records_.empty()) {
        Send(kLogRecord, early_records_.front());
        early_records_.pop_front();
    }
}

void ReporterBridge::ReportLog(const char* message, const char* level_name) {
    Application::ITime* clock = SharedClock();
    const uint64_t now = clock ? clock->GetTimeSec() : 0;
    std::string record = LogRecord(now, message ? message : "", level_name ? level_name : "");
    std::lock_guard<std::mutex> guard(lock_);
    if (ready_ && Send(kLogRecord, record)) return;
    if (reporter_absent_) return;
    early_records_.push_back(std::move(record));
    if (early_records_.size() > kMaxEarlyRecords) early_records_.pop_front();
}

void ReporterBridge::ReportCrash(const std::optional<QString>& description) {
    QJsonObject body;
    if (description) body.insert(QStringLiteral("description"), *description);
    ReportEvent("DM1002", body, 1);
    WaitForPluginProcessTraffic(kCrashDeliveryWaitMs);
}

// Calls to a plugin process leave from worker thread 2 in the order they were
// made, so a marker posted there after the event runs once the event is on
// the socket. The crash reporter ends the process as soon as its callback
// returns; without this wait the event would die with it. When the crash hit
// worker thread 2 itself the marker never runs and the wait just ends.
void ReporterBridge::WaitForPluginProcessTraffic(int timeout_ms) {
    Application::IApplication* app = App();
    Application::IThreadTaskMgr* tasks = app ? app->GetThreadTaskMgr() : nullptr;
    if (!tasks || tasks->IsWorker2Thread() || !FindReporter()) return;
    struct Marker {
        std::mutex lock;
        std::condition_variable passed;
        bool done = false;
    };
    auto marker = std::make_shared<Marker>();
    tasks->PostWorker2Task([marker] {
        std::lock_guard<std::mutex> guard(marker->lock);
        marker->done = true;
        marker->passed.notify_all();
    });
    std::unique_lock<std::mutex> wait(marker->lock);
    marker->passed.wait_for(wait, std::chrono::milliseconds(timeout_ms), [&] { return marker->done; });
}

void ReporterBridge::ReportEvent(const char* event_id, const QJsonObject& body, uint32_t value) {
    Application::ITime* clock = SharedClock();
    const std::string json = QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString();
    Send(kEvent, EventRecord(clock ? clock->GetTimeMs() : 0, event_id ? event_id : "", json, value));
}

void ReporterBridge::BackupLocalLog(bool flag) {
    if (!App() || !App()->GetPluginMgr() || !App()->GetPluginMgr()->GetPlugin(kPluginName)) return;
    App()->GetLog()->Write(Application::kLogInfo, "%s::BackupLocalLog(%d)", kPluginName, flag ? 1 : 0);
    Send(kBackupLocalLog, std::string(1, flag ? '\1' : '\0'));
}
