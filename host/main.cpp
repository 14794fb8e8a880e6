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

    Tools::CSingleton<Trevalo>::GetInstance()->SetupAppCenter();
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
        InstallQuitSignalHandlers([] { Application::App()->Quit(false); });
        qt_app.setStyleSheet(ApplicationStyleSheet());

        exit_code = qt_app.exec();

        Application::StopLog();
        ReporterBridge::Instance().BackupLocalLog(true);
        Application::DestroyApplication();
    }
    return exit_code;
}
