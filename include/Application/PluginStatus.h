#pragma once

// What each configured plugin is doing now, for diagnostics: the demo window,
// `Velmora --status`, a support script. Kept by the plugin manager and the
// process hosts; readable from any thread of the host. In a plugin process the
// table is empty (the host keeps it).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <Application/Export.h>

namespace Application {

enum class PluginState : int32_t {
    kCreated = 0,        // made by its factory, not started yet
    kStarted = 1,        // Start succeeded (built-in, library) / the process host is up
    kFailed = 2,         // could not be created or started; reason says why (also logged)
    kSkipped = 3,        // not created on purpose; reason says why (safe mode, crash check, stamp)
    kStarting = 4,       // process plugin: spawned, not connected yet
    kConnected = 5,      // process plugin: its process is connected and answering
    kRestarting = 6,     // process plugin: ended, waits for its next start at restart_at_unix_ms
    kNotResponding = 7,  // process plugin: connected but stopped answering pings
    kStopped = 8,        // freed, or its process ended for good
};

// A stable English word for the state ("created", "started", "not responding", ...).
APP_API const char* PluginStateName(PluginState state);

struct PluginStatus {
    std::string name;
    int32_t type = 0;           // kPluginInner / kPluginDll / kPluginExe
    std::string file;           // as resolved (absolute where the manager resolved it)
    PluginState state = PluginState::kCreated;
    std::string reason;         // why failed / skipped / restarting; empty otherwise

    // Process plugins only; 0 / -1 where there is nothing to report.
    int32_t pid = 0;                    // current process, 0 when none runs
    uint32_t starts = 0;                // processes started so far for this plugin
    int64_t started_unix_ms = 0;        // when the current (or last) process started
    int64_t restart_at_unix_ms = 0;     // kRestarting: when the next start is due
    bool has_last_end = false;          // a process of this plugin has ended
    int32_t last_exit_code = -1;        // >= 0 when it exited
    int32_t last_signal = 0;            // > 0 when a signal ended it
    int64_t last_end_unix_ms = 0;
    uint64_t rss_bytes = 0;             // resident memory of the current process
    // Of one core, since the previous look at the table (at least half a
    // second back; the average since the process started on the first
    // look); -1 unknown.
    double cpu_percent = -1;
    int64_t last_call_rtt_us = -1;      // round trip of the most recent completed call; -1 none
};

// A snapshot of the table, in configuration order. Any thread; empty when no
// application object exists or in a plugin process.
APP_API std::vector<PluginStatus> GetPluginStatus();

// Ends the process of the process plugin named name (if one runs) and starts
// a new one at once, outside the restart back-off. False with error set when
// there is no such process plugin. Any thread; does not wait for the start.
APP_API bool RestartProcessPlugin(const char* name, std::string* error);

// How the host starts its plugins; call before MakeNomalApplication.
struct PluginStartOptions {
    bool safe_mode = false;      // built-in plugins only: libraries and processes are skipped
    bool retry_crashed = false;  // try plugins the crash check would skip
};
APP_API void SetPluginStartOptions(const PluginStartOptions& options);

// Forgets the plugins the crash check holds back, so the next start tries
// them again. False with error set when the record cannot be changed.
APP_API bool ClearPluginCrashRecord(std::string* error);

// One entry of a plugin configuration, read without loading anything.
struct ConfiguredPlugin {
    size_t index = 0;          // position in "plugins", from 0
    std::string name;
    int32_t type = 0;
    std::string file;          // resolved as the plugin manager would
    bool file_usable = false;  // a library readable, an executable executable, built-in: true
    std::string problem;       // why the entry cannot be used; empty when it can
};

// Reads the configuration at path (null: the default beside the executable)
// without starting the framework. False when the file cannot be read or
// parsed; errors then says why. Entry problems go into the rows. Any thread.
APP_API bool ListConfiguredPlugins(const char* path, std::vector<ConfiguredPlugin>* rows,
                                   std::vector<std::string>* errors);

}  // namespace Application
