#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "Application/Application.h"
#include "framework/exeplugin/client_plugin_proxy.h"

namespace Application::ExePlugin {

// The plugin process's plugin manager: every name leads to the host's plugin of
// that name; starting and stopping it runs the link to the host.
class ExePluginClientPluginMgrProxy final : public IPluginMgr {
public:
    ~ExePluginClientPluginMgrProxy() override;
    bool Init() override;
    void Free() override;
    // Never null for a name: whether the host has it shows only in answers.
    IPlugin* GetPlugin(const char* name) override;

private:
    std::recursive_mutex lock_;
    std::map<std::string, ExePluginClientPluginProxy*, std::less<>> plugins_;
};

}  // namespace Application::ExePlugin
