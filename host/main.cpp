#include <signal.h>

#include <QFont>

#include "Application/Application.h"
#include "Tools/singleton.h"
#include "host/host_callbacks.h"
#include "host/quit_signals.h"
#include "host/reporter_bridge.h"
#include "host/single_instance_app.h"
#include "host/skin_loader.h"
#include "host/timer_loop.h"
#include "host/trevalo/trevalo.h"

namespace {

constexpr const char* kVersion = "2.21.0.113";
constexpr int kHandOverTimeoutMs = 5000;

void ReportLogRecord(const char* message, const char* level_name) {
    ReporterBridge::Instance().ReportLog(message, level_name);
}

}  // namespace

int main(int argc, char** argv) {
    SingleInstanceApp qt_app(QStringLiteral("Velmora"), argc, argv);
    if (qt_app.isRunning()) {
        // Another instance runs: ask it to come forward and leave quietly.
        qt_app.sendMessage(QLatin1String(SingleInstanceApp::kRaiseMessage), kHandOverTimeoutMs);
        return 0;
    }

    QFont font = QApplication::font();
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setFamily(QStringLiteral("Microsoft YaHei"));
    QApplication::setFont(font);
    QApplication::setQuitOnLastWindowClosed(false);

    // Before the framework starts its plugins, which may take a while: a stop
    // signal meanwhile waits and then ends the host the normal way.
    InstallQuitSignalHandlers([](int signal_number) {
        NoteQuitReason(signal_number == SIGTERM ? "SIGTERM" : signal_number == SIGINT ? "SIGINT" : "signal");
        Application::App()->Quit(false);
    });

    Trevalo* crash_reporter = Tools::CSingleton<Trevalo>::GetInstance();
    crash_reporter->SetupAppCenter();
    crash_reporter->SetLogFlushHook([](int budget_ms) { Application::FlushLogForCrash(budget_ms); });
    Application::MakeNomalApplication(argc, argv, OnComponentStarted, OnQuitRequested);
    Application::App()->GetLog()->Write(Application::kLogInfo, "Application inited %s", kVersion);

    int exit_code = 0;
    {
        TimerLoop pump(Application::ProcessMainThreadTask);
        Application::SetLogCallback([](const char* text) { qDebug("%s", text); });
        ReporterBridge::Instance().Start();
        for (int level : {Application::kLogInfo, Application::kLogError, Application::kLogWarning,
                          Application::kLogDebug})
            Application::SetLogCallback(level, ReportLogRecord);
        qt_app.setStyleSheet(ApplicationStyleSheet());

        exit_code = qt_app.exec();

        // A reader of the log can tell a clean end from a crash.
        Application::App()->GetLog()->Write(Application::kLogInfo, "Velmora quitting (%s)",
                                            QuitReason(exit_code).c_str());
        Application::StopLog();
        ReporterBridge::Instance().BackupLocalLog(true);
        Application::DestroyApplication();
    }
    return exit_code;
}
