// The host's long options and the crash check, with the real Velmora: a
// plugin library that crashes the host in its Init, --status against a
// running instance whose plugin process is killed, --list-plugins, the
// commands that must not disturb a running instance, and --safe-mode.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/velmora_fixture.h"

namespace {

namespace fs = std::filesystem;
using test_support::DescribeStatus;
using test_support::kVelmoraDeadline;
using test_support::Occurrences;
using test_support::RelativeToProgram;

constexpr const char* kSkipLine =
    "plugin 'CrashPlugin' skipped: the host crashed while starting it last time; start with --retry-plugins or "
    "replace its file to try again";
constexpr const char* kStatusColumns[] = {"NAME", "KIND",     "STATE",  "PID", "STARTS",
                                          "UP",   "LAST END", "MEMORY", "CPU", "LAST CALL"};

bool ExitedWith(int status, int code) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string ConfigText(const std::vector<std::string>& entries) {
    std::string text = "{\"plugins\": [";
    for (size_t i = 0; i < entries.size(); ++i) text += (i ? ",\n  " : "\n  ") + entries[i];
    return text + "\n]}\n";
}

const std::string kEcho = R"({"type": 2, "file": ")" ECHO_PLUGIN_PATH R"(", "name": "EchoPlugin"})";
const std::string kInner = R"({"type": 1, "name": "InnerPluginTest"})";
const std::string kProcess = R"({"type": 3, "name": "SampleProcess", "file": "SampleProcess", "plugin_process": ")" +
                             RelativeToProgram(SAMPLE_PROCESS_PATH) + R"(", "ensure_process": true})";

// One row of the --status table: column heading to value.
using StatusRow = std::map<std::string, std::string>;

// The rows of a --status print, by plugin name; values are cut at the
// positions of their headings.
std::map<std::string, StatusRow> StatusRows(const std::string& text) {
    std::map<std::string, StatusRow> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line) && line.rfind("NAME ", 0) != 0) {
    }
    if (line.rfind("NAME ", 0) != 0) return rows;
    std::vector<size_t> starts;
    for (const char* column : kStatusColumns) starts.push_back(line.find(column));
    while (std::getline(in, line) && !line.empty()) {
        StatusRow row;
        for (size_t i = 0; i < starts.size(); ++i) {
            if (starts[i] == std::string::npos || starts[i] >= line.size()) continue;
            std::string value = line.substr(starts[i], i + 1 < starts.size() ? starts[i + 1] - starts[i] : std::string::npos);
            while (!value.empty() && value.back() == ' ') value.pop_back();
            row[kStatusColumns[i]] = value;
        }
        rows[row["NAME"]] = row;
    }
    return rows;
}

std::string Describe(const StatusRow& row) {
    std::string text;
    for (const auto& [column, value] : row) text += column + "=" + value + " ";
    return text;
}

std::string Exe(pid_t pid) {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

// Processes the host started that still run, across all of its threads.
std::set<pid_t> Children(pid_t pid) {
    std::set<pid_t> children;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream in(task.path() / "children");
        for (pid_t child; in >> child;) children.insert(child);
    }
    return children;
}

class VelmoraOptionsTest : public test_support::VelmoraProcessTest {
protected:
    std::string WriteConfig(const std::vector<std::string>& entries, const std::string& name = "plugins.json") {
        const std::string path = temp_.path() + "/" + name;
        std::ofstream(path) << ConfigText(entries);
        return path;
    }

    // Stops the running instance the normal way.
    void Stop() {
        ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
        int status = 0;
        ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << "Velmora did not quit";
        EXPECT_TRUE(ExitedWith(status, 0)) << DescribeStatus(status);
    }

    // --status until its row for name satisfies ready; that row, or an empty
    // one after the deadline.
    StatusRow WaitForStatus(const std::string& name, const std::function<bool(const StatusRow&)>& ready,
                            std::string* last_print) {
        const auto deadline = std::chrono::steady_clock::now() + kVelmoraDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            const Finished status = RunToEnd({"--status"});
            *last_print = status.out + status.err;
            if (ExitedWith(status.status, 0)) {
                const std::map<std::string, StatusRow> rows = StatusRows(status.out);
                auto found = rows.find(name);
                if (found != rows.end() && ready(found->second)) return found->second;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

    std::string Record() const { return temp_.path() + "/crash_plugin_record"; }
    std::string Trigger() const { return temp_.path() + "/crash_plugin_trigger"; }
    size_t InitsRecorded() const { return Occurrences(ReadText(Record()), "CrashPlugin::Init"); }
};

// The crash check across seven starts of the host.
TEST_F(VelmoraOptionsTest, APluginThatCrashedTheHostIsSkippedUntilItsFileChangesOrARetry) {
    // A copy of its own, whose modification time the test may change.
    const std::string plugin = temp_.path() + "/crash_plugin.so";
    fs::copy_file(CRASH_PLUGIN_PATH, plugin);
    const std::string config =
        WriteConfig({R"({"type": 2, "file": ")" + plugin + R"(", "name": "CrashPlugin"})", kEcho});
    const std::map<std::string, std::string> env = {{"VELMORA_CRASH_PLUGIN_RECORD", Record()},
                                                    {"VELMORA_CRASH_PLUGIN_TRIGGER", Trigger()}};
    std::ofstream(Trigger()) << "crash\n";

    auto crashing_start = [&](const std::vector<std::string>& extra, size_t inits, const char* step) {
        std::vector<std::string> args = {"-plugin_config=" + config};
        args.insert(args.end(), extra.begin(), extra.end());
        Start(args, env);
        int status = 0;
        ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << step << ": the host did not crash";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << step << ": " << DescribeStatus(status);
        EXPECT_EQ(InitsRecorded(), inits) << step;
    };
    // Up and running; the log of this start.
    auto running_start = [&](const std::vector<std::string>& extra, size_t inits, const char* step) {
        std::vector<std::string> args = {"-plugin_config=" + config};
        args.insert(args.end(), extra.begin(), extra.end());
        Start(args, env);
        const pid_t pid = child_.pid();
        EXPECT_TRUE(WaitUntilRunning()) << step;
        std::string log = LogText(pid);
        // Plugins are started before the host's start-up line.
        EXPECT_NE(log.find("EchoPlugin::Init"), std::string::npos) << step << ": the other plugin did not load:\n" << log;
        EXPECT_EQ(InitsRecorded(), inits) << step << "\n" << log;
        Stop();
        return log;
    };

    // 1: the host dies inside the plugin's Init.
    crashing_start({}, 1, "first start");
    // 2, 3: skipped with its line, every time, and the others still load.
    for (const char* step : {"second start", "third start"}) {
        const std::string log = running_start({}, 1, step);
        EXPECT_NE(log.find(std::string("[error]") + kSkipLine), std::string::npos) << step << ":\n" << log;
    }
    // 4: a new file (here: a new modification time) is tried again; it no
    // longer crashes, so it runs.
    fs::remove(Trigger());
    fs::last_write_time(plugin, fs::last_write_time(plugin) + std::chrono::hours(1));
    {
        const std::string log = running_start({}, 2, "start after the file changed");
        EXPECT_EQ(log.find("skipped"), std::string::npos) << log;
        EXPECT_NE(log.find("CrashPlugin started without crashing"), std::string::npos) << log;
    }
    // 5: it crashes again, and is held back again.
    std::ofstream(Trigger()) << "crash\n";
    crashing_start({}, 3, "crash after the file changed");
    // 6: --retry-plugins tries it at once.
    fs::remove(Trigger());
    {
        const std::string log = running_start({"--retry-plugins"}, 4, "start with --retry-plugins");
        EXPECT_EQ(log.find(kSkipLine), std::string::npos) << log;
        EXPECT_NE(log.find("--retry-plugins"), std::string::npos) << "the log does not say how it started:\n" << log;
    }
    // 7: a start that went well leaves nothing held back.
    running_start({}, 5, "start after the retry");
}

TEST_F(VelmoraOptionsTest, StatusShowsTheRealPidAndTheRestartAfterASigkill) {
    Start({"-plugin_config=" + WriteConfig({kInner, kProcess})});
    ASSERT_TRUE(WaitUntilRunning());
    const pid_t host = child_.pid();
    std::string print;
    const StatusRow first = WaitForStatus(
        "SampleProcess", [](const StatusRow& row) { return row.at("STATE") == "connected" && row.at("PID") != "-"; },
        &print);
    ASSERT_FALSE(first.empty()) << "SampleProcess never showed as connected:\n" << print;
    EXPECT_NE(print.find("Velmora 2.21.0.113, pid " + std::to_string(host) + ", 2 plugins"), std::string::npos)
        << print;
    const pid_t pid = std::stoi(first.at("PID"));
    EXPECT_EQ(Exe(pid), fs::canonical(SAMPLE_PROCESS_PATH).string()) << "pid " << pid << " is not the plugin process";
    EXPECT_TRUE(Children(host).count(pid)) << "pid " << pid << " is not a child of the host";
    const int starts = std::stoi(first.at("STARTS"));
    EXPECT_GE(starts, 1);
    EXPECT_EQ(StatusRows(print)["InnerPluginTest"]["STATE"], "started") << print;

    ASSERT_EQ(kill(pid, SIGKILL), 0);
    const StatusRow second = WaitForStatus(
        "SampleProcess",
        [&](const StatusRow& row) {
            return row.at("STATE") == "connected" && row.at("PID") != "-" && row.at("PID") != first.at("PID");
        },
        &print);
    ASSERT_FALSE(second.empty()) << "no new process after the SIGKILL:\n" << print;
    const pid_t new_pid = std::stoi(second.at("PID"));
    EXPECT_EQ(Exe(new_pid), fs::canonical(SAMPLE_PROCESS_PATH).string());
    EXPECT_EQ(std::stoi(second.at("STARTS")), starts + 1) << Describe(second);
    EXPECT_EQ(second.at("LAST END").rfind("SIGKILL, ", 0), 0u) << Describe(second);
    EXPECT_NE(second.at("MEMORY"), "-") << Describe(second);
    Stop();

    // Gone with the host: nobody to ask.
    const Finished after = RunToEnd({"--status"});
    EXPECT_TRUE(ExitedWith(after.status, 1)) << DescribeStatus(after.status);
    EXPECT_EQ(after.err, "Velmora is not running\n");
    EXPECT_EQ(after.out, "");
}

struct ListCase {
    const char* name;
    std::string config_text;  // empty: the shipped demo configuration; "-": no file at all
    int exit_code;
    std::vector<std::vector<std::string>> rows;  // expected table rows, as words
    std::vector<std::string> out_parts;  // each found in standard output
    std::vector<std::string> err_parts;  // each found in standard error
};

void PrintTo(const ListCase& test_case, std::ostream* out) { *out << test_case.name; }

class VelmoraListPluginsTest : public VelmoraOptionsTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(VelmoraListPluginsTest, PrintsTheConfigurationWithoutLoadingIt) {
    const ListCase& test_case = GetParam();
    std::string config = DEMO_CONFIG;
    if (!test_case.config_text.empty()) {
        config = temp_.path() + "/list.json";
        if (test_case.config_text != "-") std::ofstream(config) << test_case.config_text;
    }
    const Finished listed = RunToEnd({"--list-plugins", "-plugin_config=" + config});
    EXPECT_TRUE(ExitedWith(listed.status, test_case.exit_code)) << DescribeStatus(listed.status) << "\n"
                                                                 << listed.out << listed.err;
    for (const std::string& part : test_case.out_parts)
        EXPECT_NE(listed.out.find(part), std::string::npos) << "'" << part << "' in:\n" << listed.out;
    for (const std::string& part : test_case.err_parts)
        EXPECT_NE(listed.err.find(part), std::string::npos) << "'" << part << "' in:\n" << listed.err;
    if (test_case.exit_code == 0) {
        EXPECT_EQ(listed.out.rfind("Plugin configuration: " + config + "\n", 0), 0u);
        std::vector<std::vector<std::string>> rows;
        std::istringstream in(listed.out);
        std::string line;
        std::getline(in, line);
        std::getline(in, line);
        EXPECT_EQ(line.substr(0, 5), "NAME ") << listed.out;
        while (std::getline(in, line) && !line.empty()) {
            std::istringstream words(line);
            rows.emplace_back();
            for (std::string word; words >> word;) rows.back().push_back(word);
        }
        EXPECT_EQ(rows, test_case.rows) << listed.out;
    }
    // Nothing started: no log, no data root, no single-instance lock.
    EXPECT_FALSE(fs::exists(DataHome())) << "the framework started";
    EXPECT_TRUE(fs::is_empty(temp_.path() + "/run")) << "the runtime directory was touched";
}

const std::string kBin = std::string(VELMORA_PROGRAM).substr(0, std::string(VELMORA_PROGRAM).find_last_of('/'));

INSTANTIATE_TEST_SUITE_P(
    Configurations, VelmoraListPluginsTest,
    ::testing::Values(
        ListCase{"Demo",
                 "",
                 0,
                 {{"DemoWindow", "library", kBin + "/plugins/libDemoWindow.so", "yes"},
                  {"EchoPlugin", "library", kBin + "/plugins/echo_plugin.so", "yes"},
                  {"InnerPluginTest", "built-in", "-", "yes"},
                  {"SampleProcess", "process", kBin + "/plugins/SampleProcess", "yes"}},
                 {},
                 {}},
        ListCase{"MissingFiles",
                 ConfigText({R"({"type": 2, "file": "plugins/no_such_plugin", "name": "Gone"})", kEcho,
                             R"({"type": 3, "name": "P", "file": "P", "plugin_process": "no/such/program"})"}),
                 0,
                 {{"Gone", "library", kBin + "/plugins/no_such_plugin.so", "no"},
                  {"EchoPlugin", "library", ECHO_PLUGIN_PATH, "yes"},
                  {"P", "process", kBin + "/no/such/program", "no"}},
                 {"\nProblems:\n", "  plugins[0] (Gone): ", "  plugins[2] (P): "},
                 {}},
        ListCase{"NotJson", "{\"plugins\": [", 1, {}, {}, {"cannot use the plugin configuration "}},
        ListCase{"NoFile", "-", 1, {}, {}, {"cannot use the plugin configuration "}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

// --help, --version and a wrong option print and leave, touching nothing:
// not the single-instance guard, not the framework, not the log; the
// running instance goes on undisturbed.
TEST_F(VelmoraOptionsTest, HelpAndVersionLeaveTheRunningInstanceAlone) {
    auto check_commands = [&](const char* when) {
        const Finished version = RunToEnd({"--version"});
        EXPECT_TRUE(ExitedWith(version.status, 0)) << when << ": " << DescribeStatus(version.status) << version.err;
        EXPECT_EQ(version.out.rfind("Velmora 2.21.0.113\nlibApplication 2.21.0, plugin interface ", 0), 0u)
            << when << ": " << version.out;
        EXPECT_EQ(version.err, "") << when;
        const Finished help = RunToEnd({"--help", "-plugin_config=x.json"});
        EXPECT_TRUE(ExitedWith(help.status, 0)) << when << ": " << DescribeStatus(help.status) << help.err;
        for (const char* part : {"Usage: Velmora", "--status", "--list-plugins", "--safe-mode", "-plugin_config=FILE"})
            EXPECT_NE(help.out.find(part), std::string::npos) << when << ": " << part;
        const Finished wrong = RunToEnd({"--statsu"});
        EXPECT_TRUE(ExitedWith(wrong.status, 2)) << when << ": " << DescribeStatus(wrong.status);
        EXPECT_EQ(wrong.err, "Velmora: unrecognized option '--statsu'\nTry 'Velmora --help' for more information.\n")
            << when;
        EXPECT_EQ(wrong.out, "") << when;
    };

    check_commands("with no instance");
    EXPECT_FALSE(fs::exists(DataHome())) << "a command started the framework";
    EXPECT_TRUE(fs::is_empty(temp_.path() + "/run")) << "a command touched the runtime directory";

    Start({"-plugin_config=" + WriteConfig({kInner})});
    ASSERT_TRUE(WaitUntilRunning());
    const pid_t host = child_.pid();
    auto log_files = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(LogDir())) names.insert(entry.path().filename().string());
        return names;
    };
    const std::set<std::string> logs_before = log_files();
    check_commands("while an instance runs");
    EXPECT_EQ(log_files(), logs_before) << "a command wrote a log";

    // Start options cannot change a running instance: the start says so.
    const Finished safe = RunToEnd({"--safe-mode"});
    EXPECT_TRUE(ExitedWith(safe.status, 0)) << DescribeStatus(safe.status) << safe.err;
    EXPECT_NE(safe.err.find("Velmora is already running"), std::string::npos) << safe.err;

    // Undisturbed: only the hand-over reached it, and it still answers.
    EXPECT_TRUE(child_.Running());
    const auto deadline = std::chrono::steady_clock::now() + kVelmoraDeadline;
    while (LogText(host).find("message received") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Occurrences(LogText(host), "SingleInstanceApp: message received"), 1u) << LogText(host);
    const Finished status = RunToEnd({"--status"});
    EXPECT_TRUE(ExitedWith(status.status, 0)) << DescribeStatus(status.status) << status.err;
    EXPECT_EQ(StatusRows(status.out)["InnerPluginTest"]["STATE"], "started") << status.out;
    Stop();
}

TEST_F(VelmoraOptionsTest, SafeModeStartsNoLibraryAndNoProcessPlugin) {
    Start({"--safe-mode", "-plugin_config=" + WriteConfig({kEcho, kInner, kProcess})});
    ASSERT_TRUE(WaitUntilRunning());
    const pid_t host = child_.pid();
    std::string print;
    // The table is complete once start-up is over; the process plugin never
    // gets to "starting".
    const StatusRow process = WaitForStatus("SampleProcess", [](const StatusRow&) { return true; }, &print);
    ASSERT_FALSE(process.empty()) << print;
    const std::map<std::string, StatusRow> rows = StatusRows(print);
    EXPECT_NE(print.find(", safe mode"), std::string::npos) << print;
    EXPECT_EQ(rows.at("SampleProcess").at("STATE"), "skipped") << print;
    EXPECT_EQ(rows.at("SampleProcess").at("PID"), "-") << print;
    EXPECT_EQ(rows.at("EchoPlugin").at("STATE"), "skipped") << print;
    EXPECT_EQ(rows.at("InnerPluginTest").at("STATE"), "started") << print;
    EXPECT_TRUE(Children(host).empty()) << "the host started a process in safe mode";

    const std::string log = LogText(host);
    EXPECT_NE(log.find("[warning]Velmora starts in safe mode (--safe-mode): built-in plugins only"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("EchoPlugin::Init"), std::string::npos) << "a library was loaded:\n" << log;
    // Said before the plugin manager went to work.
    EXPECT_LT(log.find("safe mode"), log.find("PluginMgr::Init")) << log;
    Stop();
}

}  // namespace
