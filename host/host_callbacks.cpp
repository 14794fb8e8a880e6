#include "host/host_callbacks.h"

#include <QCoreApplication>
#include <QString>

#include "Application/Application.h"
#include "host/skin_loader.h"
#include "host/temp_dir.h"

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
    }
    return true;
}

void OnQuitRequested(bool) { QCoreApplication::quit(); }
