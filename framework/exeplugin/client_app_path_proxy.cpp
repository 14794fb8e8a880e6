#include "framework/exeplugin/client_app_path_proxy.h"

namespace Application::ExePlugin {

std::string ExePluginClientAppPathProxy::AppDirFromExeDir(const std::string& exe_dir) {
    const size_t at = exe_dir.rfind("plugins");
    if (at == std::string::npos || at == 0) return exe_dir;
    return exe_dir.substr(0, at - 1);
}

const char* ExePluginClientAppPathProxy::GetAppDir() {
    if (app_dir_.empty()) app_dir_ = AppDirFromExeDir(GetExeDir());
    return app_dir_.c_str();
}

}  // namespace Application::ExePlugin
