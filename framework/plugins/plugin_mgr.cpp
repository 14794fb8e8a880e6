#include "framework/plugins/plugin_mgr.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "Application/Application.h"
#include "Tools/os.h"
#include "framework/plugins/inner_plugin.h"
#include "framework/plugins/plugin_config.h"
#include "framework/plugins/plugin_crash_record.h"
#include "framework/plugins/plugin_factory_registry.h"
#include "framework/plugins/plugin_files.h"

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

// Library and built-in plugins run in the host: the crash check watches them.
bool RunsInTheHost(int32_t type) { return type == kPluginInner || type == kPluginDll; }

// The proxies of these types keep their own rows up to date.
bool KeepsItsOwnRow(int32_t type) { return type == kPluginDll || type == kPluginExe; }

}  // namespace

PluginMgr::~PluginMgr() {
    // Free normally ran; this only catches an owner that forgot it.
    Release(plugins_);
    UnpublishPluginStatusRows(rows_);
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

    const PluginStartOptions options = CurrentPluginStartOptions();
    PluginCrashRecord record(PluginCrashRecord::DefaultPath());
    const std::string crashed = record.Load();
    if (!crashed.empty())
        WriteLog(kLogWarning, "PluginMgr: the host ended while starting plugin '%s' last time", crashed.c_str());
    if (options.retry_crashed) {
        if (const size_t released = record.ReleaseAll())
            WriteLog(kLogInfo, "PluginMgr: retrying %zu plugin(s) held back by the crash check", released);
    }

    Table created;
    std::vector<PluginStatusRowPtr> rows;
    CreateFromConfig(ConfigPath(), options, record, created, rows);
    rows_ = rows;
    PublishPluginStatusRows(std::move(rows));

    // Started before they are published: while any Init runs, GetPlugin finds
    // none of them.
    for (auto& [name, entry] : created) {
        if (RunsInTheHost(entry.type)) record.Begin(entry.config_name, entry.file);
        if (!entry.plugin->Init()) {
            WriteLog(kLogWarning, "PluginMgr: plugin '%s': Init failed", name.c_str());
            entry.row->SetState(PluginState::kFailed, "Init failed");
        } else if (!KeepsItsOwnRow(entry.type)) {
            entry.row->SetState(PluginState::kStarted);
        }
    }
    record.Finish();

    std::lock_guard<std::recursive_mutex> guard(lock_);
    plugins_.swap(created);
    return true;
}

void PluginMgr::CreateFromConfig(const std::string& path, const PluginStartOptions& options,
                                 PluginCrashRecord& record, Table& table, std::vector<PluginStatusRowPtr>& rows) {
    std::string error;
    size_t skipped_for_safe_mode = 0;
    const bool parsed = ParsePluginConfig(
        path.c_str(),
        [&](const PluginConfigEntry& item) {
            const PluginConfig& config = item.config;
            const std::string file = item.is_object ? ResolvePluginFile(config) : std::string();
            auto row = std::make_shared<PluginStatusRow>(config.name, config.type, file);
            rows.push_back(row);
            if (!item.is_object) {
                row->SetState(PluginState::kFailed, "the entry is not an object");
                WriteLog(kLogError, "PluginMgr: %s: plugins[%zu]: entry is not an object, skipped", path.c_str(),
                         item.index);
                return;
            }
            IPluginFactory* factory = FindPluginFactory(config.type);
            if (!factory) {
                row->SetState(PluginState::kFailed, "unknown plugin type " + std::to_string(config.type));
                WriteLog(kLogError, "PluginMgr: %s: plugins[%zu] \"%s\": unknown plugin type %d, skipped",
                         path.c_str(), item.index, config.name.c_str(), config.type);
                return;
            }
            if (options.safe_mode && (config.type == kPluginDll || config.type == kPluginExe)) {
                row->SetState(PluginState::kSkipped, "safe mode");
                ++skipped_for_safe_mode;
                return;
            }
            const bool watched = RunsInTheHost(config.type);
            if (watched) {
                if (const PluginCrashRecord::Entry* held = record.Held(config.name)) {
                    // A built-in plugin has no file to replace: it waits for a retry.
                    if (!held->file.empty() && !file.empty() && PluginCrashRecord::StampOf(file) != held->stamp) {
                        WriteLog(kLogInfo, "PluginMgr: plugin '%s': its file changed since the host crashed while "
                                 "starting it; trying it again", config.name.c_str());
                        record.Release(config.name);
                    } else {
                        row->SetState(PluginState::kSkipped, "the host crashed while starting it last time");
                        WriteLog(kLogError,
                                 "plugin '%s' skipped: the host crashed while starting it last time; start with "
                                 "--retry-plugins or replace its file to try again",
                                 config.name.c_str());
                        return;
                    }
                }
                record.Begin(config.name, file);
            }
            IPlugin* plugin = nullptr;
            {
                ScopedRowForCreation creation(row);
                plugin = factory->Create(config);
            }
            if (!plugin) {
                const std::string reason = NothingCreatedReason(config);
                row->SetState(PluginState::kFailed, "not created: " + reason);
                WriteLog(kLogError, "PluginMgr: %s: plugins[%zu] \"%s\": not created: %s", path.c_str(), item.index,
                         config.name.c_str(), reason.c_str());
                return;
            }
            if (!KeepsItsOwnRow(config.type)) row->SetState(PluginState::kCreated);
            const char* reported = plugin->GetName();
            std::string name = reported ? reported : "";
            Entry entry{config.type, plugin, item.index, config.name, row, file};
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
            earlier.row->SetState(PluginState::kSkipped, "plugins[" + std::to_string(item.index) +
                                                             "] reports the same name; that entry is used");
        },
        error);
    (void)parsed;
    if (!error.empty()) WriteLog(kLogError, "PluginMgr: %s: %s", path.c_str(), error.c_str());
    if (options.safe_mode)
        WriteLog(kLogWarning, "PluginMgr: safe mode: %zu library and process plugin(s) skipped, built-in plugins only",
                 skipped_for_safe_mode);
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
        entry.row->SetState(PluginState::kStopped);
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
