#include <QApplication>
#include <QFont>

#include "Application/Application.h"
#include "Tools/singleton.h"
#include "host/host_callbacks.h"
#include "host/quit_signals.h"
#include "host/skin_loader.h"
#include "host/timer_loop.h"
#include "host/trevalo/trevalo.h"

namespace {

constexpr const char* kVersion = "2.21.0.113";

}  // namespace

int main(int argc, char** argv) {
    QApplication qt_app(argc, argv);

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
        InstallQuitSignalHandlers([] { Application::App()->Quit(false); });
        qt_app.setStyleSheet(ApplicationStyleSheet());

        exit_code = qt_app.exec();

        Application::StopLog();
        Application::DestroyApplication();
    }
    return exit_code;
}
