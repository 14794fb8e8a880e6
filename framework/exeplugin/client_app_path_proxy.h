#pragma once

#include <string>

#include "framework/core/app_path.h"

namespace Application::ExePlugin {

// Paths as in the host, except that the application directory is the one
// above the "plugins" folder the executable lives in.
class ExePluginClientAppPathProxy final : public AppPath {
public:
    const char* GetAppDir() override;
    static std::string AppDirFromExeDir(const std::string& exe_dir);

private:
    std::string app_dir_;
};

}  // namespace Application::ExePlugin
