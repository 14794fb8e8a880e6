#pragma once

#include "Application/Application.h"
#include "framework/exeplugin/client_proxy.h"

namespace Application::ExePlugin {

// Quitting the application in a plugin process quits the host program.
class ExePluginClientAppUtilProxy final : public IApplicationUtil {
public:
    bool Init() override { return true; }
    void Free() override {}
    void QuitApplication() override { ExePluginClientProxy::Instance().QuitApp(); }
};

}  // namespace Application::ExePlugin
