#include "framework/plugins/plugin_mgr.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "Application/Application.h"
#include "Tools/os.h"
#include "framework/plugins/inner_plugin.h"
#include "framework/plugins/plugin_config.h"
#include "framework/plugins/plugin_factory_registry.h"

namespace Application {
namespace {

constexpr int kPathSize = 1024;

[[gnu::format(printf, 2, 3)]] void WriteLog(int level, const char* format, ...) {
    IApplication* app = App();
    ILog* log = app ? app->GetLog() : nullptr;
    if (!log) return;
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log->Write(level, "%s", line);
}

// Why a factory made nothing, in the terms of the entry's type.
std::string NothingCreatedReason(const PluginConfig& config) {
    if (config.type == kPluginInner) {
        if (!IsInnerPluginTypeRegistered(config.name.c_str())) return "no built-in plugin type of that name is registered";
        return "the built-in type's creator made no object";
    }
    return "the factory of type " + std::to_string(config.type) + " made no plugin";
}

}  // namespace

PluginMgr::~PluginMgr() {
    // Free normally ran; this only catches an owner that forgot it.
    Release(plugins_);
}

std::string PluginMgr::ConfigPath() {
    char buffer[kPathSize] = {};
    IApplication* app = App();
    ICmdLineMgr* cmdline = app ? app->GetCmdLineMgr() : nullptr;
    if (cmdline && cmdline->Has("plugin_config")) {
        cmdline->GetValue("plugin_config", buffer, kPathSize);
        return buffer;
    }
    if (Tools::os_get_executable_path(buffer, kPathSize, "plugins/config.json") <= 0) return {};
    return buffer;
}

bool PluginMgr::Init() {
    WriteLog(kLogInfo, "PluginMgr::Init");
    {
        // A second Init starts from a clean table rather than leaking the first.
        Table previous;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            previous.swap(plugins_);
        }
        Release(previous);
    }

    Table created;
    CreateFromConfig(ConfigPath(), created);

    // Started before they are published: while any Init runs, GetPlugin finds
    // none of them.
    for (auto& [name, entry] : created) entry.plugin->Init();

    std::lock_guard<std::recursive_mutex> guard(lock_);
    plugins_.swap(created);
    return true;
}

void PluginMgr::CreateFromConfig(const std::string& path, Table& table) {
    std::string error;
    const bool parsed = ParsePluginConfig(
        path.c_str(),
        [&](const PluginConfigEntry& item) {
            const PluginConfig& config = item.config;
            if (!item.is_object) {
                WriteLog(kLogError, "PluginMgr: %s: plugins[%zu]: entry is not an object, skipped", path.c_str(),
                         item.index);
                return;
            }
            IPluginFactory* factory = FindPluginFactory(config.type);
            if (!factory) {
                WriteLog(kLogError, "PluginMgr: %s: plugins[%zu] \"%s\": unknown plugin type %d, skipped",
                         path.c_str(), item.index, config.name.c_str(), config.type);
                return;
            }
            IPlugin* plugin = factory->Create(config);
            if (!plugin) {
                WriteLog(kLogError, "PluginMgr: %s: plugins[%zu] \"%s\": not created: %s", path.c_str(), item.index,
                         config.name.c_str(), NothingCreatedReason(config).c_str());
                return;
            }
            const char* reported = plugin->GetName();
            std::string name = reported ? reported : "";
            Entry entry{config.type, plugin, item.index, config.name};
            auto [slot, inserted] = table.try_emplace(name, entry);
            if (inserted) return;
            // The later entry wins; the earlier object was never started, and
            // Free is harmless on it, so stop and destroy it through its own factory.
            Entry earlier = std::exchange(slot->second, entry);
            WriteLog(kLogWarning,
                     "PluginMgr: %s: plugins[%zu] \"%s\" and plugins[%zu] \"%s\" both report the name \"%s\"; "
                     "keeping plugins[%zu]",
                     path.c_str(), earlier.index, earlier.config_name.c_str(), item.index, config.name.c_str(),
                     name.c_str(), item.index);
            earlier.plugin->Free();
            if (IPluginFactory* own = FindPluginFactory(earlier.type)) own->Destroy(earlier.plugin);
        },
        error);
    (void)parsed;
    if (!error.empty()) WriteLog(kLogError, "PluginMgr: %s: %s", path.c_str(), error.c_str());
}

void PluginMgr::Free() {
    Table taken;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        taken.swap(plugins_);
    }
    Release(taken);
    WriteLog(kLogInfo, "PluginMgr::Free");
}

void PluginMgr::Release(Table& table) {
    for (auto& [name, entry] : table) {
        entry.plugin->Free();
        if (IPluginFactory* factory = FindPluginFactory(entry.type)) factory->Destroy(entry.plugin);
    }
    table.clear();
}

IPlugin* PluginMgr::GetPlugin(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto found = plugins_.find(name);
    return found == plugins_.end() ? nullptr : found->second.plugin;
}

}  // namespace Application
