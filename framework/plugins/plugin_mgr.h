#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Application/IPluginMgr.h"
#include "Application/PluginStatus.h"
#include "framework/plugins/plugin_status_table.h"

namespace Application {

// The host's plugin manager: reads the plugin configuration, creates every
// configured plugin through the factory of its type (in file order), starts
// them in name order and then publishes them to GetPlugin. Init and Free run
// on the main thread; GetPlugin on any thread.
//
// It keeps one status row per configuration entry (GetPluginStatus), skips
// library and process plugins in safe mode, and runs the crash check around
// the creation and start of built-in and library plugins.
class PluginMgr final : public IPluginMgr {
public:
    PluginMgr() = default;
    ~PluginMgr() override;
    PluginMgr(const PluginMgr&) = delete;
    PluginMgr& operator=(const PluginMgr&) = delete;

    // Always true: a configuration that cannot be used only means fewer plugins.
    bool Init() override;
    void Free() override;
    IPlugin* GetPlugin(const char* name) override;

    // The "plugin_config" switch, else plugins/config.json beside the executable.
    static std::string ConfigPath();

private:
    struct Entry {
        int32_t type = 0;
        IPlugin* plugin = nullptr;
        size_t index = 0;       // position in the configuration, for messages
        std::string config_name;
        PluginStatusRowPtr row;
        std::string file;       // resolved, for the crash check
    };
    using Table = std::map<std::string, Entry>;

    void CreateFromConfig(const std::string& path, const PluginStartOptions& options, class PluginCrashRecord& record,
                          Table& table, std::vector<PluginStatusRowPtr>& rows);
    static void Release(Table& table);

    Table plugins_;
    std::vector<PluginStatusRowPtr> rows_;
    std::recursive_mutex lock_;
};

}  // namespace Application
