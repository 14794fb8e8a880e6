#pragma once

// What `Velmora --status` and `Velmora --list-plugins` print, and the reply
// that carries the plugin table from the running instance to --status. No
// framework calls here: the callers fetch the data, so the formats can be
// tested on their own.

#include <cstdint>
#include <string>
#include <vector>

#include <QByteArray>

#include "Application/PluginStatus.h"

// The running instance's answer to a status query.
struct StatusReport {
    struct Row {
        Application::PluginStatus status;
        std::string state_name;  // as the instance names the state, so a newer one still prints
    };
    int64_t host_pid = 0;
    std::string host_version;
    int64_t now_unix_ms = 0;  // the instance's clock when it answered
    bool safe_mode = false;
    std::vector<Row> rows;
};

// The name of the status query on the single-instance channel.
inline constexpr const char* kStatusQuery = "status";

// A JSON document; the format number lets a later instance change it.
QByteArray EncodeStatusReport(const StatusReport& report);
// False with error set when the bytes are not a status reply of this format.
// Fields of the wrong kind read as their defaults.
bool DecodeStatusReport(const QByteArray& bytes, StatusReport* report, std::string* error);

// Aligned columns name, kind, state, pid, starts, up, last end, memory, CPU,
// last call; then a line per plugin that has a reason to show. Durations are
// taken against report.now_unix_ms.
std::string FormatStatusReport(const StatusReport& report);

// For a configuration that was read and parsed: aligned columns name, kind,
// file, usable; then the entries' problems and the configuration's errors.
std::string FormatPluginList(const std::string& config_path, const std::vector<Application::ConfiguredPlugin>& rows,
                             const std::vector<std::string>& errors);

// "built-in", "library", "process", or "type N".
std::string PluginKindName(int32_t type);
// "4s", "3m05s", "2h10m", "3d04h"; negative durations read as 0.
std::string FormatDuration(int64_t milliseconds);
// "812 KiB", "12.3 MiB", "1.20 GiB".
std::string FormatBytes(uint64_t bytes);
