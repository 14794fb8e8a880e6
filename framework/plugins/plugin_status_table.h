#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Application/PluginStatus.h"

namespace Application {

// One row of the plugin table: what one configured entry is doing. The plugin
// manager makes it; the proxy or process host of the plugin keeps it up to
// date. Every operation takes the row's own lock, so any thread may call.
class PluginStatusRow {
public:
    // A connected process silent this long has missed at least one ping and
    // shows as not responding (it is ended later, at the hang limit).
    static constexpr int64_t kNotRespondingAfterMs = 5000;
    // CPU use is measured between two looks at least this far apart; a look
    // sooner than that repeats the last figure.
    static constexpr int64_t kMinCpuWindowMs = 500;

    PluginStatusRow(std::string name, int32_t type, std::string file);

    void SetName(std::string name);
    void SetFile(std::string file);
    void SetState(PluginState state, std::string reason = {});
    PluginState state() const;
    std::string name() const;
    int32_t type() const;

    // Process plugins, as their runs come and go.
    void ProcessStarted(int32_t pid, int64_t unix_ms);
    void ProcessConnected(int64_t monotonic_ms);
    void ProcessAlive(int64_t monotonic_ms);
    // exit_code >= 0 when it exited, signal > 0 when a signal ended it.
    void ProcessEnded(int32_t exit_code, int32_t signal, int64_t unix_ms);
    // The host holds no process of this plugin any more.
    void ProcessGone();
    void ProcessRestarting(int64_t restart_at_unix_ms, std::string reason);
    void CallCompleted(int64_t round_trip_us);

    // What RestartProcessPlugin calls; an empty hook removes it. The hook
    // is called without any lock of the table held.
    void SetRestartHook(std::function<void()> hook);
    std::function<void()> restart_hook() const;

    // The row as it is now; reads the process's memory and CPU use.
    PluginStatus Snapshot(int64_t now_monotonic_ms);

private:
    mutable std::mutex lock_;
    PluginStatus status_;
    int64_t alive_at_ms_ = 0;
    std::function<void()> restart_hook_;
    // The previous look at the process, for its CPU use since then.
    int32_t sample_pid_ = 0;
    int64_t sample_cpu_us_ = 0;
    int64_t sample_at_us_ = 0;
    double last_cpu_percent_ = -1;
};

using PluginStatusRowPtr = std::shared_ptr<PluginStatusRow>;

// The process-wide table GetPluginStatus reads: the rows of the running
// plugin manager, in configuration order. Any thread.
void PublishPluginStatusRows(std::vector<PluginStatusRowPtr> rows);
// Empties the table when it still shows these rows (a later manager's stay).
void UnpublishPluginStatusRows(const std::vector<PluginStatusRowPtr>& rows);
std::vector<PluginStatusRowPtr> PublishedPluginStatusRows();

// The row of the entry a factory is creating right now, set by the plugin
// manager around the factory call on the main thread. A proxy takes it in
// its constructor; made outside the manager (tests), it gets a row of its
// own that no table shows.
class ScopedRowForCreation {
public:
    explicit ScopedRowForCreation(PluginStatusRowPtr row);
    ~ScopedRowForCreation();
    ScopedRowForCreation(const ScopedRowForCreation&) = delete;
    ScopedRowForCreation& operator=(const ScopedRowForCreation&) = delete;

private:
    PluginStatusRowPtr previous_;
};
PluginStatusRowPtr TakeRowForCreation(const std::string& name, int32_t type, const std::string& file);

}  // namespace Application

namespace Application {

// What SetPluginStartOptions set last; any thread.
PluginStartOptions CurrentPluginStartOptions();

}  // namespace Application
