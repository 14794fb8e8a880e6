#include "host/reporter_bridge.h"

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

void ReporterBridge::Start() {
    Application::IApplication* app = App();
    if (!app || !app->GetNotifier() || subscription_) return;
    subscription_ = app->GetNotifier()->Subscribe(
        app->GetName(), Application::kAppPluginConnected,
        [this](unsigned, const char* data, int length) { OnPluginConnected(data, length); });
}

void ReporterBridge::OnPluginConnected(const char* data, int length) {
    if (!data || length < 4) return;
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    if (size > static_cast<uint32_t>(length - 4)) return;
    if (std::string(data + 4, size) != kPluginName) return;
    SendOssInit();
}

bool ReporterBridge::Send(int32_t command, const std::string& data) {
    Application::IApplication* app = App();
    Application::IPluginMgr* plugins = app ? app->GetPluginMgr() : nullptr;
    Application::IPlugin* plugin = plugins ? plugins->GetPlugin(kPluginName) : nullptr;
    if (!plugin) return false;
    plugin->Invoke(command, data.data(), static_cast<int32_t>(data.size()), nullptr);
    return true;
}

void ReporterBridge::SendOssInit() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!App() || !App()->GetPluginMgr() || !App()->GetPluginMgr()->GetPlugin(kPluginName)) return;
    App()->GetLog()->Write(Application::kLogInfo, "%s", "ExePluginReporter::OssInit()");
    Send(kOssInit, std::string());
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
    early_records_.push_back(std::move(record));
    if (early_records_.size() > kMaxEarlyRecords) early_records_.pop_front();
}

void ReporterBridge::ReportCrash(const std::optional<QString>& description) {
    QJsonObject body;
    if (description) body.insert(QStringLiteral("description"), *description);
    ReportEvent("DM1002", body, 1);
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
