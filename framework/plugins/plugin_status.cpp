// The exported face of the plugin table, the start options and the
// configuration listing.

#include "Application/PluginStatus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "Application/IPlugin.h"
#include "framework/plugins/plugin_config.h"
#include "framework/plugins/plugin_crash_record.h"
#include "framework/plugins/plugin_factory_registry.h"
#include "framework/plugins/plugin_files.h"
#include "framework/plugins/plugin_mgr.h"
#include "framework/plugins/plugin_status_table.h"
#include "tools/monotonic_clock.h"

namespace Application {
namespace {

std::mutex g_options_lock;
PluginStartOptions g_options;

// Why the file at path cannot serve as the entry's file; empty when it can.
std::string FileProblem(const std::string& path, int32_t type) {
    if (path.empty()) return "the executable's folder cannot be determined";
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "file not found: " + path;
    if (!S_ISREG(info.st_mode)) return "not a regular file: " + path;
    if (type == kPluginDll && ::access(path.c_str(), R_OK) != 0) return "not readable: " + path;
    if (type == kPluginExe && ::access(path.c_str(), X_OK) != 0) return "not executable: " + path;
    return {};
}

}  // namespace

const char* PluginStateName(PluginState state) {
    switch (state) {
        case PluginState::kCreated: return "created";
        case PluginState::kStarted: return "started";
        case PluginState::kFailed: return "failed";
        case PluginState::kSkipped: return "skipped";
        case PluginState::kStarting: return "starting";
        case PluginState::kConnected: return "connected";
        case PluginState::kRestarting: return "restarting";
        case PluginState::kNotResponding: return "not responding";
        case PluginState::kStopped: return "stopped";
    }
    return "unknown";
}

std::vector<PluginStatus> GetPluginStatus() {
    std::vector<PluginStatus> table;
    const std::vector<PluginStatusRowPtr> rows = PublishedPluginStatusRows();
    table.reserve(rows.size());
    const int64_t now = Tools::detail::MonotonicMs();
    for (const PluginStatusRowPtr& row : rows) table.push_back(row->Snapshot(now));
    return table;
}

bool RestartProcessPlugin(const char* name, std::string* error) {
    const auto fail = [error](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    if (!name || !*name) return fail("no plugin name given");
    std::function<void()> restart;
    bool found = false;
    for (const PluginStatusRowPtr& row : PublishedPluginStatusRows()) {
        if (row->name() != name) continue;
        found = true;
        if (row->type() != kPluginExe) continue;
        restart = row->restart_hook();
        if (restart) break;
    }
    if (!restart)
        return fail(found ? std::string("plugin '") + name + "' is not a running process plugin"
                          : std::string("no plugin named '") + name + "'");
    restart();
    return true;
}

void SetPluginStartOptions(const PluginStartOptions& options) {
    std::lock_guard<std::mutex> guard(g_options_lock);
    g_options = options;
}

PluginStartOptions CurrentPluginStartOptions() {
    std::lock_guard<std::mutex> guard(g_options_lock);
    return g_options;
}

bool ClearPluginCrashRecord(std::string* error) {
    return PluginCrashRecord::ClearHeld(PluginCrashRecord::DefaultPath(), error);
}

bool ListConfiguredPlugins(const char* path, std::vector<ConfiguredPlugin>* rows, std::vector<std::string>* errors) {
    if (rows) rows->clear();
    if (errors) errors->clear();
    const std::string config_path = path && *path ? std::string(path) : PluginMgr::ConfigPath();
    std::vector<ConfiguredPlugin> found;
    std::map<std::string, size_t> by_name;
    std::string error;
    const bool parsed = ParsePluginConfig(
        config_path.c_str(),
        [&](const PluginConfigEntry& item) {
            const PluginConfig& config = item.config;
            ConfiguredPlugin row;
            row.index = item.index;
            row.name = config.name;
            row.type = config.type;
            if (!item.is_object) {
                row.problem = "the entry is not an object";
                found.push_back(std::move(row));
                return;
            }
            row.file = ResolvePluginFile(config);
            if (config.type == kPluginInner) {
                // Whether the host registers the type is known only once it runs.
                row.file_usable = true;
            } else if (config.type == kPluginDll || config.type == kPluginExe) {
                const std::string problem = FileProblem(row.file, config.type);
                row.file_usable = problem.empty();
                if (config.type == kPluginDll && config.file.empty())
                    row.problem = "no \"file\"";
                else if (config.type == kPluginExe && config.plugin_process.empty())
                    row.problem = "no \"plugin_process\"";
                else
                    row.problem = problem;
            }
            if (!FindPluginFactory(config.type)) {
                row.problem = "unknown plugin type " + std::to_string(config.type);
                row.file_usable = false;
            } else if (config.name.empty()) {
                row.problem = "no \"name\"";
            } else {
                auto [slot, inserted] = by_name.try_emplace(config.name, found.size());
                if (!inserted) {
                    // The manager keeps the later of two entries of one name.
                    ConfiguredPlugin& earlier = found[slot->second];
                    if (earlier.problem.empty())
                        earlier.problem = "plugins[" + std::to_string(item.index) +
                                          "] has the same name; that entry is used instead";
                    slot->second = found.size();
                }
            }
            found.push_back(std::move(row));
        },
        error);
    if (!error.empty() && errors) errors->push_back(config_path + ": " + error);
    if (rows) *rows = std::move(found);
    return parsed;
}

}  // namespace Application
