#include "host/host_callbacks.h"

#include <QCoreApplication>
#include <QString>

#include "Application/Application.h"
#include "Tools/singleton.h"
#include "host/host_commands.h"
#include "host/reporter_bridge.h"
#include "host/skin_loader.h"
#include "host/temp_dir.h"
#include "host/trevalo/trevalo.h"

using Application::App;

bool OnComponentStarted(Application::InterfaceBase* component) {
    Application::IApplication* app = App();
    if (component == app->GetUISkin()) {
        Application::ConfigFile* config = app->GetAppPath()->GetConfig(1);
        LoadSkin(config ? static_cast<int>(config->GetInt("SKIN", "Index", 1)) : 1);
    } else if (component == app->GetTranslate()) {
        SetupTranslation();
    } else if (component == app->GetAppPath()) {
        ClearDirectory(QString::fromUtf8(app->GetAppPath()->GetTempDir()), false);
        Tools::CSingleton<Trevalo>::GetInstance()->InitDumpHandler("Velmora", OnCrashDumpWritten, nullptr);
    } else if (component == app->GetLog()) {
        // Ahead of the plugin manager's lines about what it skipped.
        LogStartOptions();
    } else if (component == app->GetNotifier()) {
        // Before any plugin exists, so that a reporter connecting during
        // start-up is not missed.
        ReporterBridge::Instance().Subscribe();
    }
    return true;
}

void OnCrashDumpWritten(const wchar_t* dump_path, void*) {
    Application::IApplication* app = App();
    if (Application::ILog* log = app ? app->GetLog() : nullptr; log && dump_path)
        log->Write(Application::kLogError, "crash dump written: %s", QString::fromWCharArray(dump_path).toUtf8().constData());
    ReporterBridge::Instance().ReportCrash();
}

namespace {

std::string& NotedQuitReason() {
    static std::string reason;
    return reason;
}

}  // namespace

void NoteQuitReason(const char* reason) {
    if (NotedQuitReason().empty() && reason) NotedQuitReason() = reason;
}

std::string QuitReason(int exit_code) {
    if (!NotedQuitReason().empty()) return NotedQuitReason();
    return "event loop ended with code " + std::to_string(exit_code);
}

void OnQuitRequested(bool) {
    NoteQuitReason("quit requested");
    QCoreApplication::quit();
}
