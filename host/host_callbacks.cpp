#include "host/host_callbacks.h"

#include <QCoreApplication>
#include <QString>

#include "Application/Application.h"
#include "host/temp_dir.h"

using Application::App;

bool OnComponentStarted(Application::InterfaceBase* component) {
    Application::IApplication* app = App();
    if (component == app->GetAppPath()) {
        ClearDirectory(QString::fromUtf8(app->GetAppPath()->GetTempDir()), false);
    }
    return true;
}

void OnQuitRequested(bool) { QCoreApplication::quit(); }
