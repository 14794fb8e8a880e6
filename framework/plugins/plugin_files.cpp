#include "framework/plugins/plugin_files.h"

#include "Tools/os.h"
#include "tools/os_process_p.h"

namespace Application {
namespace {

constexpr size_t kPathSize = 1024;

std::string BesideExecutable(const std::string& relative) {
    char buffer[kPathSize] = {};
    if (Tools::os_get_executable_path(buffer, sizeof buffer, relative.c_str()) <= 0) return {};
    return buffer;
}

}  // namespace

std::string LibraryPathForLoader(const std::string& file) {
    if (file.empty()) return {};
    return Tools::os_pathfile_exist(file.c_str()) ? file : BesideExecutable(file);
}

std::string ResolveLibraryFile(const std::string& file) {
    std::string path = LibraryPathForLoader(file);
    if (path.empty()) return {};
    for (char& c : path)
        if (c == '\\') c = '/';
    if (path.find(".so") == std::string::npos) path += ".so";
    return path;
}

std::string ResolveProcessFile(const std::string& plugin_process) {
    if (plugin_process.empty()) return {};
    const std::string path = BesideExecutable(plugin_process);
    return path.empty() ? path : Tools::detail::ProgramPath(path.c_str());
}

std::string ResolvePluginFile(const PluginConfig& config) {
    switch (config.type) {
        case kPluginDll:
            return ResolveLibraryFile(config.file);
        case kPluginExe:
            return ResolveProcessFile(config.plugin_process);
        default:
            return {};
    }
}

}  // namespace Application
