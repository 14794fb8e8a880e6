// What --status and --list-plugins print, and the status reply between the
// running instance and --status.

#include "host/plugin_report.h"

#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Application/IPlugin.h"

namespace {

using Application::PluginState;
using Application::PluginStatus;

constexpr int64_t kNow = 1'800'000'000'000;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

StatusReport SampleReport() {
    StatusReport report;
    report.host_pid = 4242;
    report.host_version = "2.21.0.113";
    report.now_unix_ms = kNow;

    StatusReport::Row inner;
    inner.status.name = "InnerPluginTest";
    inner.status.type = Application::kPluginInner;
    inner.status.state = PluginState::kStarted;
    inner.state_name = "started";

    StatusReport::Row process;
    PluginStatus& p = process.status;
    p.name = "SampleProcess";
    p.type = Application::kPluginExe;
    p.file = "/opt/velmora/plugins/SampleProcess";
    p.state = PluginState::kConnected;
    p.pid = 31337;
    p.starts = 2;
    p.started_unix_ms = kNow - 65'000;
    p.has_last_end = true;
    p.last_signal = SIGKILL;
    p.last_end_unix_ms = kNow - 66'000;
    p.rss_bytes = 12'900'000;
    p.cpu_percent = 1.25;
    p.last_call_rtt_us = 312;
    process.state_name = "connected";

    StatusReport::Row skipped;
    skipped.status.name = "Crashy";
    skipped.status.type = Application::kPluginDll;
    skipped.status.state = PluginState::kSkipped;
    skipped.status.reason = "the host crashed while starting it last time";
    skipped.state_name = "skipped";

    StatusReport::Row restarting;
    restarting.status.name = "Flaky";
    restarting.status.type = Application::kPluginExe;
    restarting.status.state = PluginState::kRestarting;
    restarting.status.starts = 5;
    restarting.status.restart_at_unix_ms = kNow + 4'000;
    restarting.status.has_last_end = true;
    restarting.status.last_exit_code = 3;
    restarting.status.last_end_unix_ms = kNow - 1'000;
    restarting.status.reason = "exited with code 3";
    restarting.state_name = "restarting";

    report.rows = {inner, process, skipped, restarting};
    return report;
}

TEST(StatusReportTest, SurvivesTheTripThroughTheChannel) {
    const StatusReport sent = SampleReport();
    StatusReport got;
    std::string error;
    ASSERT_TRUE(DecodeStatusReport(EncodeStatusReport(sent), &got, &error)) << error;
    EXPECT_EQ(got.host_pid, sent.host_pid);
    EXPECT_EQ(got.host_version, sent.host_version);
    EXPECT_EQ(got.now_unix_ms, sent.now_unix_ms);
    ASSERT_EQ(got.rows.size(), sent.rows.size());
    for (size_t i = 0; i < sent.rows.size(); ++i) {
        const PluginStatus& a = sent.rows[i].status;
        const PluginStatus& b = got.rows[i].status;
        EXPECT_EQ(got.rows[i].state_name, sent.rows[i].state_name);
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.type, a.type);
        EXPECT_EQ(b.file, a.file);
        EXPECT_EQ(b.state, a.state);
        EXPECT_EQ(b.reason, a.reason);
        EXPECT_EQ(b.pid, a.pid);
        EXPECT_EQ(b.starts, a.starts);
        EXPECT_EQ(b.started_unix_ms, a.started_unix_ms);
        EXPECT_EQ(b.restart_at_unix_ms, a.restart_at_unix_ms);
        EXPECT_EQ(b.has_last_end, a.has_last_end);
        EXPECT_EQ(b.last_exit_code, a.last_exit_code);
        EXPECT_EQ(b.last_signal, a.last_signal);
        EXPECT_EQ(b.last_end_unix_ms, a.last_end_unix_ms);
        EXPECT_EQ(b.rss_bytes, a.rss_bytes);
        EXPECT_DOUBLE_EQ(b.cpu_percent, a.cpu_percent);
        EXPECT_EQ(b.last_call_rtt_us, a.last_call_rtt_us);
    }
}

TEST(StatusReportTest, RefusesWhatIsNotAReplyOfThisFormat) {
    for (const char* bytes : {"", "ack", "[1, 2]", "{\"plugins\": []}", "{\"format\": 2, \"plugins\": []}", "{\"format\": 1"}) {
        StatusReport report;
        std::string error;
        EXPECT_FALSE(DecodeStatusReport(QByteArray(bytes), &report, &error)) << bytes;
        EXPECT_FALSE(error.empty()) << bytes;
    }
    // Fields of the wrong kind read as "nothing to report", not as garbage.
    StatusReport report;
    std::string error;
    ASSERT_TRUE(DecodeStatusReport(
        R"({"format": 1, "plugins": [{"name": 7, "pid": "12", "cpu_percent": "x", "rss_bytes": -5}, 3]})", &report,
        &error))
        << error;
    ASSERT_EQ(report.rows.size(), 2u);
    EXPECT_EQ(report.rows[0].status.name, "");
    EXPECT_EQ(report.rows[0].status.pid, 0);
    EXPECT_EQ(report.rows[0].status.cpu_percent, -1);
    EXPECT_EQ(report.rows[0].status.rss_bytes, 0u);
    EXPECT_EQ(report.rows[0].status.last_call_rtt_us, -1);
    EXPECT_EQ(report.rows[1].state_name, "state 0");
}

TEST(StatusReportTest, PrintsAlignedColumnsAndTheReasons) {
    const std::string text = FormatStatusReport(SampleReport());
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GE(lines.size(), 6u) << text;
    EXPECT_EQ(lines[0], "Velmora 2.21.0.113, pid 4242, 4 plugins");
    const std::string& header = lines[1];
    const std::vector<std::string> columns = {"NAME", "KIND", "STATE", "PID", "STARTS", "UP", "LAST END", "MEMORY",
                                              "CPU", "LAST CALL"};
    size_t previous = 0;
    for (const std::string& column : columns) {
        const size_t at = header.find(column, previous);
        ASSERT_NE(at, std::string::npos) << column << " in " << header;
        previous = at + column.size();
    }
    // Every value starts where its heading does.
    auto value_at = [&](const std::string& line, const std::string& column) {
        const size_t at = header.find(column);
        return line.substr(at, line.find("  ", at) == std::string::npos ? std::string::npos : line.find("  ", at) - at);
    };
    const std::string& process = lines[3];
    EXPECT_EQ(value_at(process, "NAME"), "SampleProcess");
    EXPECT_EQ(value_at(process, "KIND"), "process");
    EXPECT_EQ(value_at(process, "STATE"), "connected");
    EXPECT_EQ(value_at(process, "PID"), "31337");
    EXPECT_EQ(value_at(process, "STARTS"), "2");
    EXPECT_EQ(value_at(process, "UP"), "1m05s");
    EXPECT_EQ(value_at(process, "LAST END"), "SIGKILL, 1m06s ago");
    EXPECT_EQ(value_at(process, "MEMORY"), "12.3 MiB");
    EXPECT_EQ(value_at(process, "CPU"), "1.2%");
    EXPECT_EQ(process.substr(header.find("LAST CALL")), "312 us");
    const std::string& inner = lines[2];
    EXPECT_EQ(value_at(inner, "PID"), "-");
    EXPECT_EQ(value_at(inner, "STARTS"), "-");
    const std::string& restarting = lines[5];
    EXPECT_EQ(value_at(restarting, "PID"), "-") << "no process runs while it waits";
    EXPECT_EQ(value_at(restarting, "LAST END"), "exit 3, 1s ago");
    for (const std::string& line : lines) EXPECT_TRUE(line.empty() || line.back() != ' ') << "'" << line << "'";

    EXPECT_NE(text.find("\n  Crashy: the host crashed while starting it last time\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n  Flaky: exited with code 3; next start in 4s\n"), std::string::npos) << text;
}

TEST(StatusReportTest, SaysSafeModeAndAnEmptyTable) {
    StatusReport report;
    report.host_pid = 9;
    report.host_version = "2.21.0.113";
    report.safe_mode = true;
    EXPECT_EQ(FormatStatusReport(report), "Velmora 2.21.0.113, pid 9, 0 plugins, safe mode (built-in plugins only)\n");
}

TEST(PluginListTest, PrintsEveryEntryThenTheProblems) {
    std::vector<Application::ConfiguredPlugin> rows(3);
    rows[0] = {0, "DemoWindow", Application::kPluginDll, "/opt/v/plugins/libDemoWindow.so", true, ""};
    rows[1] = {1, "Gone", Application::kPluginDll, "/opt/v/plugins/gone.so", false, "no such file"};
    rows[2] = {2, "", 7, "", false, "unknown plugin type 7"};
    const std::string text = FormatPluginList("/opt/v/config.json", rows, {"\"plugin_process\" is not a string"});
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 10u) << text;
    EXPECT_EQ(lines[0], "Plugin configuration: /opt/v/config.json");
    EXPECT_EQ(lines[1], "NAME        KIND     FILE                             USABLE");
    EXPECT_EQ(lines[2], "DemoWindow  library  /opt/v/plugins/libDemoWindow.so  yes");
    EXPECT_EQ(lines[3], "Gone        library  /opt/v/plugins/gone.so           no");
    EXPECT_EQ(lines[4], "-           type 7   -                                no");
    EXPECT_EQ(lines[6], "Problems:");
    EXPECT_EQ(lines[7], "  plugins[1] (Gone): no such file");
    EXPECT_EQ(lines[8], "  plugins[2]: unknown plugin type 7");
    EXPECT_EQ(lines[9], "  \"plugin_process\" is not a string");

    EXPECT_EQ(FormatPluginList("c.json", {}, {}), "Plugin configuration: c.json\nNo plugins are configured.\n");
}

TEST(PluginReportTest, DurationsAndSizesReadEasily) {
    EXPECT_EQ(FormatDuration(-5), "0s");
    EXPECT_EQ(FormatDuration(999), "0s");
    EXPECT_EQ(FormatDuration(59'999), "59s");
    EXPECT_EQ(FormatDuration(60'000), "1m00s");
    EXPECT_EQ(FormatDuration(3'599'000), "59m59s");
    EXPECT_EQ(FormatDuration(3'600'000), "1h00m");
    EXPECT_EQ(FormatDuration(90'061'000), "1d01h");
    EXPECT_EQ(FormatBytes(1), "1 KiB");
    EXPECT_EQ(FormatBytes(1024 * 1023), "1023 KiB");
    EXPECT_EQ(FormatBytes(1 << 20), "1.0 MiB");
    EXPECT_EQ(FormatBytes(3ull << 30), "3.00 GiB");
    EXPECT_EQ(PluginKindName(Application::kPluginInner), "built-in");
    EXPECT_EQ(PluginKindName(0), "type 0");
}

}  // namespace
