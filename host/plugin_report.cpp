#include "host/plugin_report.h"

#include <string.h>

#include <cinttypes>
#include <cstdio>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include "Application/IPlugin.h"

namespace {

constexpr int kReportFormat = 1;
constexpr const char* kNone = "-";

// Text columns separated by two blanks; the last column is not padded.
// Widths count characters, not bytes, so names in UTF-8 line up too.
size_t DisplayWidth(const std::string& text) {
    size_t width = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++width;
    return width;
}

std::string AlignColumns(const std::vector<std::vector<std::string>>& lines) {
    std::vector<size_t> widths;
    for (const auto& line : lines) {
        if (widths.size() < line.size()) widths.resize(line.size(), 0);
        for (size_t column = 0; column < line.size(); ++column)
            widths[column] = std::max(widths[column], DisplayWidth(line[column]));
    }
    std::string out;
    for (const auto& line : lines) {
        std::string text;
        for (size_t column = 0; column < line.size(); ++column) {
            text += line[column];
            if (column + 1 < line.size()) text.append(widths[column] - DisplayWidth(line[column]) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    }
    return out;
}

std::string Printf(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string SignalName(int signal_number) {
    const char* abbreviation = sigabbrev_np(signal_number);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal_number);
}

std::string LastEnd(const Application::PluginStatus& status, int64_t now_ms) {
    if (!status.has_last_end) return kNone;
    std::string how = status.last_signal > 0    ? SignalName(status.last_signal)
                      : status.last_exit_code >= 0 ? "exit " + std::to_string(status.last_exit_code)
                                                   : std::string("ended");
    if (status.last_end_unix_ms > 0) how += ", " + FormatDuration(now_ms - status.last_end_unix_ms) + " ago";
    return how;
}

std::string RoundTrip(int64_t microseconds) {
    if (microseconds < 0) return kNone;
    if (microseconds < 1000) return std::to_string(microseconds) + " us";
    return Printf("%.2f ms", static_cast<double>(microseconds) / 1000.0);
}

bool IsProcess(const Application::PluginStatus& status) { return status.type == Application::kPluginExe; }

QJsonValue Number(int64_t value) { return QJsonValue(static_cast<double>(value)); }

int64_t Int64(const QJsonObject& object, const char* key, int64_t fallback) {
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? static_cast<int64_t>(value.toDouble()) : fallback;
}

std::string Text(const QJsonObject& object, const char* key) {
    return object.value(QLatin1String(key)).toString().toStdString();
}

}  // namespace

std::string PluginKindName(int32_t type) {
    switch (type) {
        case Application::kPluginInner:
            return "built-in";
        case Application::kPluginDll:
            return "library";
        case Application::kPluginExe:
            return "process";
        default:
            return "type " + std::to_string(type);
    }
}

std::string FormatDuration(int64_t milliseconds) {
    const int64_t seconds = milliseconds > 0 ? milliseconds / 1000 : 0;
    char buffer[48];
    if (seconds < 60)
        std::snprintf(buffer, sizeof buffer, "%" PRId64 "s", seconds);
    else if (seconds < 3600)
        std::snprintf(buffer, sizeof buffer, "%" PRId64 "m%02" PRId64 "s", seconds / 60, seconds % 60);
    else if (seconds < 86400)
        std::snprintf(buffer, sizeof buffer, "%" PRId64 "h%02" PRId64 "m", seconds / 3600, seconds % 3600 / 60);
    else
        std::snprintf(buffer, sizeof buffer, "%" PRId64 "d%02" PRId64 "h", seconds / 86400, seconds % 86400 / 3600);
    return buffer;
}

std::string FormatBytes(uint64_t bytes) {
    const double value = static_cast<double>(bytes);
    if (bytes < (1u << 20)) return std::to_string((bytes + 1023) / 1024) + " KiB";
    if (bytes < (1ull << 30)) return Printf("%.1f MiB", value / (1 << 20));
    return Printf("%.2f GiB", value / (1ull << 30));
}

QByteArray EncodeStatusReport(const StatusReport& report) {
    QJsonArray plugins;
    for (const StatusReport::Row& row : report.rows) {
        const Application::PluginStatus& s = row.status;
        QJsonObject entry;
        entry.insert(QStringLiteral("name"), QString::fromStdString(s.name));
        entry.insert(QStringLiteral("type"), s.type);
        entry.insert(QStringLiteral("file"), QString::fromStdString(s.file));
        entry.insert(QStringLiteral("state"), static_cast<int>(s.state));
        entry.insert(QStringLiteral("state_name"), QString::fromStdString(row.state_name));
        entry.insert(QStringLiteral("reason"), QString::fromStdString(s.reason));
        entry.insert(QStringLiteral("pid"), s.pid);
        entry.insert(QStringLiteral("starts"), Number(s.starts));
        entry.insert(QStringLiteral("started_unix_ms"), Number(s.started_unix_ms));
        entry.insert(QStringLiteral("restart_at_unix_ms"), Number(s.restart_at_unix_ms));
        entry.insert(QStringLiteral("has_last_end"), s.has_last_end);
        entry.insert(QStringLiteral("last_exit_code"), s.last_exit_code);
        entry.insert(QStringLiteral("last_signal"), s.last_signal);
        entry.insert(QStringLiteral("last_end_unix_ms"), Number(s.last_end_unix_ms));
        entry.insert(QStringLiteral("rss_bytes"), static_cast<double>(s.rss_bytes));
        entry.insert(QStringLiteral("cpu_percent"), s.cpu_percent);
        entry.insert(QStringLiteral("last_call_rtt_us"), Number(s.last_call_rtt_us));
        plugins.append(entry);
    }
    QJsonObject root;
    root.insert(QStringLiteral("format"), kReportFormat);
    root.insert(QStringLiteral("host_pid"), Number(report.host_pid));
    root.insert(QStringLiteral("host_version"), QString::fromStdString(report.host_version));
    root.insert(QStringLiteral("now_unix_ms"), Number(report.now_unix_ms));
    root.insert(QStringLiteral("safe_mode"), report.safe_mode);
    root.insert(QStringLiteral("plugins"), plugins);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool DecodeStatusReport(const QByteArray& bytes, StatusReport* report, std::string* error) {
    QJsonParseError parse_error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse_error);
    if (!document.isObject()) {
        *error = parse_error.error != QJsonParseError::NoError ? "not JSON: " + parse_error.errorString().toStdString()
                                                                : std::string("not a JSON object");
        return false;
    }
    const QJsonObject root = document.object();
    const int64_t format = Int64(root, "format", 0);
    if (format != kReportFormat) {
        *error = "unknown reply format " + std::to_string(format);
        return false;
    }
    *report = StatusReport();
    report->host_pid = Int64(root, "host_pid", 0);
    report->host_version = Text(root, "host_version");
    report->now_unix_ms = Int64(root, "now_unix_ms", 0);
    report->safe_mode = root.value(QStringLiteral("safe_mode")).toBool();
    for (const QJsonValue& value : root.value(QStringLiteral("plugins")).toArray()) {
        const QJsonObject entry = value.toObject();
        StatusReport::Row row;
        Application::PluginStatus& s = row.status;
        s.name = Text(entry, "name");
        s.type = static_cast<int32_t>(Int64(entry, "type", 0));
        s.file = Text(entry, "file");
        s.state = static_cast<Application::PluginState>(Int64(entry, "state", 0));
        row.state_name = Text(entry, "state_name");
        if (row.state_name.empty()) row.state_name = "state " + std::to_string(static_cast<int>(s.state));
        s.reason = Text(entry, "reason");
        s.pid = static_cast<int32_t>(Int64(entry, "pid", 0));
        s.starts = static_cast<uint32_t>(Int64(entry, "starts", 0));
        s.started_unix_ms = Int64(entry, "started_unix_ms", 0);
        s.restart_at_unix_ms = Int64(entry, "restart_at_unix_ms", 0);
        s.has_last_end = entry.value(QStringLiteral("has_last_end")).toBool();
        s.last_exit_code = static_cast<int32_t>(Int64(entry, "last_exit_code", -1));
        s.last_signal = static_cast<int32_t>(Int64(entry, "last_signal", 0));
        s.last_end_unix_ms = Int64(entry, "last_end_unix_ms", 0);
        const int64_t rss = Int64(entry, "rss_bytes", 0);
        s.rss_bytes = rss > 0 ? static_cast<uint64_t>(rss) : 0;
        s.cpu_percent = entry.value(QStringLiteral("cpu_percent")).toDouble(-1);
        s.last_call_rtt_us = Int64(entry, "last_call_rtt_us", -1);
        report->rows.push_back(std::move(row));
    }
    return true;
}

std::string FormatStatusReport(const StatusReport& report) {
    std::string out = "Velmora " + (report.host_version.empty() ? std::string("?") : report.host_version) +
                      ", pid " + std::to_string(report.host_pid) + ", " + std::to_string(report.rows.size()) +
                      (report.rows.size() == 1 ? " plugin" : " plugins") +
                      (report.safe_mode ? ", safe mode (built-in plugins only)" : "") + "\n";
    if (report.rows.empty()) return out;
    std::vector<std::vector<std::string>> lines = {
        {"NAME", "KIND", "STATE", "PID", "STARTS", "UP", "LAST END", "MEMORY", "CPU", "LAST CALL"}};
    std::string notes;
    for (const StatusReport::Row& row : report.rows) {
        const Application::PluginStatus& s = row.status;
        const bool process = IsProcess(s);
        const bool running = process && s.pid > 0;
        lines.push_back({
            s.name.empty() ? kNone : s.name,
            PluginKindName(s.type),
            row.state_name,
            running ? std::to_string(s.pid) : kNone,
            process ? std::to_string(s.starts) : kNone,
            running && s.started_unix_ms > 0 ? FormatDuration(report.now_unix_ms - s.started_unix_ms) : kNone,
            process ? LastEnd(s, report.now_unix_ms) : kNone,
            running && s.rss_bytes > 0 ? FormatBytes(s.rss_bytes) : kNone,
            running && s.cpu_percent >= 0 ? Printf("%.1f%%", s.cpu_percent) : kNone,
            RoundTrip(s.last_call_rtt_us),
        });
        std::string note = s.reason;
        if (s.state == Application::PluginState::kRestarting && s.restart_at_unix_ms > 0) {
            const std::string when = "next start in " + FormatDuration(s.restart_at_unix_ms - report.now_unix_ms);
            note = note.empty() ? when : note + "; " + when;
        }
        if (!note.empty()) notes += "  " + (s.name.empty() ? std::string(kNone) : s.name) + ": " + note + "\n";
    }
    out += AlignColumns(lines);
    if (!notes.empty()) out += "\n" + notes;
    return out;
}

std::string FormatPluginList(const std::string& config_path, const std::vector<Application::ConfiguredPlugin>& rows,
                             const std::vector<std::string>& errors) {
    std::string out = "Plugin configuration: " + config_path + "\n";
    if (rows.empty()) {
        out += "No plugins are configured.\n";
    } else {
        std::vector<std::vector<std::string>> lines = {{"NAME", "KIND", "FILE", "USABLE"}};
        for (const Application::ConfiguredPlugin& row : rows)
            lines.push_back({row.name.empty() ? kNone : row.name, PluginKindName(row.type),
                             row.file.empty() ? kNone : row.file, row.file_usable && row.problem.empty() ? "yes" : "no"});
        out += AlignColumns(lines);
    }
    std::string problems;
    for (const Application::ConfiguredPlugin& row : rows) {
        if (row.problem.empty()) continue;
        problems += "  plugins[" + std::to_string(row.index) + "]" +
                    (row.name.empty() ? std::string() : " (" + row.name + ")") + ": " + row.problem + "\n";
    }
    for (const std::string& error : errors) problems += "  " + error + "\n";
    if (!problems.empty()) out += "\nProblems:\n" + problems;
    return out;
}
