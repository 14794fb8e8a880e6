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
    // handlers take lock_.
    if (!app || !app->GetNotifier() || connected_subscription_) return;
    connected_subscription_ = app->GetNotifier()->Subscribe(
        app->GetName(), Application::kAppPluginConnected,
        [this](unsigned, const char* data, int length) { OnPluginConnected(data, length); });
    ended_subscription_ = app->GetNotifier()->Subscribe(
        app->GetName(), Application::kAppPluginEnded,
        [this](unsigned, const char* data, int length) { OnPluginEnded(data, length); });
}

void ReporterBridge::Start() {
    Subscribe();
    bool send_oss_init = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        started_ = true;
        if (!FindReporter()) {
            // Plugins are created only at start-up: no reporter will ever take them.
            reporter_absent_ = true;
            early_records_.clear();
            return;
        }
        send_oss_init = connect_pending_ || !early_records_.empty();
    }
    // A reporter that connected while start-up ran, or records that waited
    // for it, get their OssInit now; on worker thread 2, like every command.
    if (send_oss_init) Send(kOssInit, std::string());
}

void ReporterBridge::ResetForTesting() {
    std::lock_guard<std::mutex> guard(lock_);
    started_ = connect_pending_ = ready_ = reporter_absent_ = false;
    early_records_.clear();
    connected_subscription_ = ended_subscription_ = 0;
}

bool ReporterBridge::NamesReporter(const char* data, int length) {
    if (!data || length < 4) return false;
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    if (size > static_cast<uint32_t>(length - 4)) return false;
    return std::string(data + 4, size) == kPluginName;
}

void ReporterBridge::OnPluginConnected(const char* data, int length) {
    if (!NamesReporter(data, length)) return;
    std::lock_guard<std::mutex> guard(lock_);
    Application::IPlugin* reporter = FindReporter();
    if (!reporter) {
        // The plugin manager publishes its plugins only after starting them
        // all; Start sends OssInit then.
        if (!started_) connect_pending_ = true;
        return;
    }
    // Already sent to this run when a command started it.
    if (!ready_) SendOssInitLocked(reporter);
}

void ReporterBridge::OnPluginEnded(const char* data, int length) {
    if (!NamesReporter(data, length)) return;
    std::lock_guard<std::mutex> guard(lock_);
    ready_ = false;
}

Application::IPlugin* ReporterBridge::FindReporter() {
    Application::IApplication* app = App();
    Application::IPluginMgr* plugins = app ? app->GetPluginMgr() : nullptr;
    return plugins ? plugins->GetPlugin(kPluginName) : nullptr;
}

void ReporterBridge::Send(int32_t command, std::string data) {
    Application::IApplication* app = App();
    Application::IThreadTaskMgr* tasks = app ? app->GetThreadTaskMgr() : nullptr;
    if (!tasks || tasks->IsWorker2Thread()) {
        SendOnWorker2(command, data);
        return;
    }
    tasks->PostWorker2Task([this, command, data = std::move(data)] { SendOnWorker2(command, data); });
}

// The reporter's host side acts on a call at once on this thread, so the
// check of ready_ and the call are one step against its "app" 6.
void ReporterBridge::SendOnWorker2(int32_t command, const std::string& data) {
    std::lock_guard<std::mutex> guard(lock_);
    Application::IPlugin* reporter = FindReporter();
    if (!reporter) {
        if (command == kLogRecord && !reporter_absent_) {
            early_records_.push_back(data);
            if (early_records_.size() > kMaxEarlyRecords) early_records_.pop_front();
        }
        return;  // nothing else is kept for later
    }
    if (!ready_) SendOssInitLocked(reporter);
    if (command != kOssInit) reporter->Invoke(command, data.data(), static_cast<int32_t>(data.size()), nullptr);
}

// The log's Write only queues its line, so holding the lock here cannot stall
// the log writer for long.
void ReporterBridge::SendOssInitLocked(Application::IPlugin* reporter) {
    connect_pending_ = false;
    if (Application::ILog* log = App()->GetLog()) log->Write(Application::kLogInfo, "%s", "ExePluginReporter::OssInit()");
    reporter->Invoke(kOssInit, nullptr, 0, nullptr);
    ready_ = true;
    while (!early_records_.empty()) {
        const std::string& record = early_records_.front();
        reporter->Invoke(kLogRecord, record.data(), static_cast<int32_t>(record.size()), nullptr);
        early_records_.pop_front();
    }
}

void ReporterBridge::ReportLog(const char* message, const char* level_name) {
    Application::ITime* clock = SharedClock();
    const uint64_t now = clock ? clock->GetTimeSec() : 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (reporter_absent_) return;
    }
    Send(kLogRecord, LogRecord(now, message ? message : "", level_name ? level_name : ""));
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
    if (!FindReporter()) return;
    Send(kEvent, EventRecord(clock ? clock->GetTimeMs() : 0, event_id ? event_id : "", json, value));
}

void ReporterBridge::BackupLocalLog(bool flag) {
    if (!FindReporter()) return;
    App()->GetLog()->Write(Application::kLogInfo, "%s::BackupLocalLog(%d)", kPluginName, flag ? 1 : 0);
    Send(kBackupLocalLog, std::string(1, flag ? '\1' : '\0'));
}
