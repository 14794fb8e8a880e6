#include <cstdio>
#include <signal.h>

#include <QFont>

#include "Application/Application.h"
#include "Tools/os.h"
#include "Tools/singleton.h"
#include "tools/os_process_p.h"
#include "host/command_line.h"
#include "host/host_callbacks.h"
#include "host/host_commands.h"
#include "host/local_peer.h"
#include "host/quit_signals.h"
#include "host/reporter_bridge.h"
#include "host/single_instance_app.h"
#include "host/skin_loader.h"
#include "host/timer_loop.h"
#include "host/trevalo/trevalo.h"

namespace {

constexpr const char* kVersion = kHostVersion;
constexpr int kHandOverTimeoutMs = 5000;
// How long orphans of plugin processes have after SIGTERM at shut-down.
constexpr int kAdoptedGraceMs = 2000;
// Room for the IPC server's 1 000 plugin connections, three descriptors
// each (the connection and two pidfds), and the rest of the program.
constexpr uint64_t kWantedOpenDescriptors = 4096;

void ReportLogRecord(const char* message, const char* level_name) {
    ReporterBridge::Instance().ReportLog(message, level_name);
}

}  // namespace

int main(int argc, char** argv) {
    // Commands that print and exit come first: they never touch the
    // single-instance guard, start the framework or write a log.
    HostOptions options = ParseHostOptions(argc, argv);
    if (const int done = RunHostCommand(options); done >= 0) return done;
    // Qt and the framework see everything but the host's long options.
    argc = options.PassOnCount();
    argv = options.pass_on.data();

    // Before any thread: it may point XDG_RUNTIME_DIR at a private directory.
    char runtime_dir[4096], runtime_notice[4096];
    const int runtime = Tools::os_prepare_runtime_dir(runtime_dir, sizeof runtime_dir, runtime_notice,
                                                      sizeof runtime_notice);
    if (runtime < 0) {
        std::fprintf(stderr, "Velmora: %s; not starting without a private runtime directory\n", runtime_notice);
        return 1;
    }
    if (runtime > 0) std::fprintf(stderr, "Velmora: %s\n", runtime_notice);
    // Helpers that plugin processes leave behind come back to us, to be
    // ended at shut-down instead of running on.
    const bool subreaper = Tools::detail::BecomeChildSubreaper();
    // Every plugin process costs descriptors (its connection, its pidfds).
    const uint64_t descriptors = Tools::detail::RaiseDescriptorLimit(kWantedOpenDescriptors);

    SingleInstanceApp qt_app(QStringLiteral("Velmora"), argc, argv);
    if (qt_app.isRunning()) {
        // Another instance runs: ask it to come forward and leave quietly.
        if (const char* notice = HandOverNotice(options); notice[0]) std::fprintf(stderr, "Velmora: %s\n", notice);
        if (qt_app.sendMessage(QLatin1String(SingleInstanceApp::kRaiseMessage), kHandOverTimeoutMs)) return 0;
        std::fprintf(stderr, "Velmora: another instance holds %s but did not take the hand-over\n",
                     qt_app.lockFilePath().toLocal8Bit().constData());
        return 1;
    }

    qt_app.peer()->setQueryHandler(AnswerHostQuery);

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
    ApplyStartOptions(options);
    Application::MakeNomalApplication(argc, argv, OnComponentStarted, OnQuitRequested);
    Application::App()->GetLog()->Write(Application::kLogInfo, "Application inited %s", kVersion);
    if (runtime > 0) Application::App()->GetLog()->Write(Application::kLogWarning, "%s", runtime_notice);
    if (!subreaper)
        Application::App()->GetLog()->Write(Application::kLogWarning,
                                            "cannot become the child subreaper; helpers of plugin processes may "
                                            "outlive the host");
    if (descriptors < kWantedOpenDescriptors)
        Application::App()->GetLog()->Write(Application::kLogWarning,
                                            "open descriptors limited to %llu (wanted %llu): fewer plugin processes "
                                            "can be connected",
                                            static_cast<unsigned long long>(descriptors),
                                            static_cast<unsigned long long>(kWantedOpenDescriptors));

    ShowSafeModeNotice();

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
    // The plugin processes are gone; what they left behind goes too.
    if (subreaper) {
        const int ended = Tools::detail::EndAdoptedChildren(kAdoptedGraceMs);
        if (ended > 0) std::fprintf(stderr, "Velmora: ended %d processes left behind by plugin processes\n", ended);
    }
    return exit_code;
}
