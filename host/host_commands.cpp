#include "host/host_commands.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QString>

#include "Application/Application.h"
#include "Application/PluginAbi.h"
#include "Application/PluginStatus.h"
#include "Application/Version.h"
#include "Tools/os.h"
#include "host/command_line.h"
#include "host/local_peer.h"
#include "host/plugin_report.h"

namespace {

struct StartOptionsSeen {
    bool safe_mode = false;
    bool retry_plugins = false;
};

StartOptionsSeen& Seen() {
    static StartOptionsSeen seen;
    return seen;
}

}  // namespace

int RunHostCommand(const HostOptions& options) {
    const int argc = options.PassOnCount();
    char** argv = const_cast<char**>(options.pass_on.data());
    switch (options.action) {
        case HostOptions::Action::kRun:
            return -1;
        case HostOptions::Action::kHelp:
            std::fputs(HelpText().c_str(), stdout);
            return 0;
        case HostOptions::Action::kVersion:
            std::fputs(VersionText(Application::LibraryVersion(), Application::LibraryPluginAbiVersion(),
                                   Application::kPluginAbiVersion)
                           .c_str(),
                       stdout);
            return 0;
        case HostOptions::Action::kUsageError:
            std::fprintf(stderr, "Velmora: %s\nTry 'Velmora --help' for more information.\n", options.error.c_str());
            return HostOptions::kUsageExitCode;
        case HostOptions::Action::kListPlugins:
            return RunListPlugins(argc, argv);
        case HostOptions::Action::kStatus:
            return RunStatus(argc, argv);
    }
    return -1;
}

int RunListPlugins(int argc, char** argv) {
    std::string path;
    const bool given = FindFrameworkSwitch(argc, argv, "plugin_config", &path);
    std::vector<Application::ConfiguredPlugin> rows;
    std::vector<std::string> errors;
    const bool parsed = Application::ListConfiguredPlugins(given ? path.c_str() : nullptr, &rows, &errors);
    if (!given) {
        char default_path[4096] = {};
        path = Tools::os_get_executable_path(default_path, sizeof default_path, "plugins/config.json") >= 0
                   ? std::string(default_path)
                   : std::string("plugins/config.json beside the program");
    }
    if (!parsed) {
        std::fprintf(stderr, "Velmora: cannot use the plugin configuration %s\n", path.c_str());
        for (const std::string& error : errors) std::fprintf(stderr, "  %s\n", error.c_str());
        if (errors.empty()) std::fprintf(stderr, "  it cannot be read or parsed\n");
        return 1;
    }
    std::fputs(FormatPluginList(path, rows, errors).c_str(), stdout);
    return 0;
}

int RunStatus(int argc, char** argv) {
    // The same runtime directory a start would use, where the instance listens.
    char runtime_dir[4096], notice[4096];
    if (Tools::os_prepare_runtime_dir(runtime_dir, sizeof runtime_dir, notice, sizeof notice) < 0) {
        std::fprintf(stderr, "Velmora: %s\nVelmora is not running\n", notice);
        return 1;
    }
    QCoreApplication app(argc, argv);
    QByteArray answer;
    QString error;
    switch (LocalPeer::Query(QStringLiteral("Velmora"), kStatusQuery, kStatusQueryTimeoutMs, &answer, &error)) {
        case LocalPeer::QueryResult::kNotRunning:
            std::fprintf(stderr, "Velmora is not running\n");
            return 1;
        case LocalPeer::QueryResult::kNoAnswer:
            std::fprintf(stderr, "Velmora: the running instance did not answer: %s\n", error.toLocal8Bit().constData());
            return 1;
        case LocalPeer::QueryResult::kAnswered:
            break;
    }
    StatusReport report;
    std::string why;
    if (!DecodeStatusReport(answer, &report, &why)) {
        std::fprintf(stderr, "Velmora: the running instance's answer cannot be read: %s\n", why.c_str());
        return 1;
    }
    std::fputs(FormatStatusReport(report).c_str(), stdout);
    return 0;
}

QByteArray AnswerHostQuery(const QByteArray& name) {
    if (name != kStatusQuery) return QByteArray();
    StatusReport report;
    report.host_pid = getpid();
    report.host_version = kHostVersion;
    report.now_unix_ms = static_cast<int64_t>(Tools::os_gettime_ms());
    report.safe_mode = Seen().safe_mode;
    for (Application::PluginStatus& status : Application::GetPluginStatus()) {
        StatusReport::Row row;
        row.state_name = Application::PluginStateName(status.state);
        row.status = std::move(status);
        report.rows.push_back(std::move(row));
    }
    return EncodeStatusReport(report);
}

void ApplyStartOptions(const HostOptions& options) {
    Seen().safe_mode = options.safe_mode;
    Seen().retry_plugins = options.retry_plugins;
    Application::PluginStartOptions start;
    start.safe_mode = options.safe_mode;
    start.retry_crashed = options.retry_plugins;
    Application::SetPluginStartOptions(start);
}

void LogStartOptions() {
    Application::IApplication* app = Application::App();
    Application::ILog* log = app ? app->GetLog() : nullptr;
    if (!log) return;
    if (Seen().safe_mode)
        log->Write(Application::kLogWarning,
                   "Velmora starts in safe mode (--safe-mode): built-in plugins only; no plugin library is loaded and "
                   "no plugin process is started");
    if (Seen().retry_plugins)
        log->Write(Application::kLogInfo,
                   "Velmora starts with --retry-plugins: plugins skipped after a crash at start-up are tried again");
}

void ShowSafeModeNotice() {
    if (!Seen().safe_mode) return;
    // Nobody sees a window on these platforms.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return;
    auto* notice = new QMessageBox(QMessageBox::Information, QStringLiteral("Velmora: safe mode"),
                                   QStringLiteral("Velmora started in safe mode: only built-in plugins run. No plugin "
                                                  "library was loaded and no plugin process was started.\n\n"
                                                  "Start Velmora without --safe-mode to use them again."),
                                   QMessageBox::Ok);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setModal(false);
    notice->show();
}

const char* HandOverNotice(const HostOptions& options) {
    if (!options.safe_mode && !options.retry_plugins) return "";
    return "Velmora is already running: the start options apply to a new start only; quit the running instance and "
           "start again to use them";
}
