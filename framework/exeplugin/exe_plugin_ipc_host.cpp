#include "framework/exeplugin/exe_plugin_ipc_host.h"

namespace Application::ExePlugin {

std::string ExePluginIPC_Host::GetCmdLine() {
    if (!endpoint_) return std::string();
    char buffer[1024] = {};
    endpoint_->GetCmdLine(buffer, sizeof buffer);
    return buffer;
}

}  // namespace Application::ExePlugin
