// The real Velmora program with the sample reporter plugin process: what the
// reporter receives, in which order, around start-up, crash and shut-down.
// The test-only ReporterProbe plugin acts inside the host on lines the test
// appends to its control file.

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"
#include "host/test_support/velmora_fixture.h"

namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::DescribeStatus;

constexpr std::chrono::seconds kDeadline{60};
// A plugin process whose host is gone must notice the dropped connection
// and end by itself within this time.
constexpr std::chrono::seconds kOrphanDeadline{10};

std::vector<std::string> ReadLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  " + line + "\n";
    return text;
}

// Index of the first line that starts with prefix, or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& prefix, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
}

// The number after "name=" in a reporter line, or 0.
uint64_t FieldNumber(const std::string& line, const std::string& name) {
    const size_t at = line.find(" " + name + "=");
    return at == std::string::npos ? 0 : std::stoull(line.substr(at + name.size() + 2));
}

uint64_t WallClockMs() {
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// Processes whose parent is this one: the host, and, since this process is a
// child subreaper, plugin processes that outlived their host.
std::vector<pid_t> ChildrenOf(pid_t self);
std::vector<pid_t> OwnChildren() { return ChildrenOf(getpid()); }

std::vector<pid_t> ChildrenOf(pid_t self) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // pid (comm) state ppid ...: comm may hold blanks, so read after the last ')'.
        const size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == self) children.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return children;
}

std::string CommandName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// How the configuration starts the reporter plugin process, if there is one.
enum class Reporter { kNone, kAtStart, kOnTrigger, kLoadDelay };

class ReporterEndToEndTest : public test_support::VelmoraProcessTest {
protected:

    void SetUp() override {
        VelmoraProcessTest::SetUp();
        // Plugin processes orphaned by a crashed host come to us, so that
        // none escapes the test unnoticed.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        std::ofstream(ControlPath()).flush();
    }

    void TearDown() override {
        if (child_.Running()) {
            kill(child_.pid(), SIGKILL);
            int status = 0;
            child_.WaitForExit(kDeadline, &status);
        }
        ExpectNoPluginProcessLeft();
    }

    std::string ControlPath() const { return temp_.path() + "/probe_control"; }
    std::string OutputPath() const { return temp_.path() + "/reporter_output.txt"; }
    std::string ConfigPath() const { return temp_.path() + "/plugins.json"; }

    void WriteConfig(Reporter reporter) {
        std::ofstream config(ConfigPath());
        config << R"({"plugins": [{"type": 2, "name": "ReporterProbe", "file": ")" << REPORTER_PROBE_PLUGIN << "\"}";
        if (reporter != Reporter::kNone) {
            config << R"(, {"type": 3, "name": "ExePluginReporter", "file": "ExePluginReporter",)"
                   << R"( "plugin_process": "plugins/ExePluginReporter", "ensure_process": true,)"
                   << R"( "cmdline": "-reporter_output=)" << OutputPath() << "\"";
            // Started only when the probe sends ("ReporterProbe", 1).
            if (reporter == Reporter::kOnTrigger)
                config << R"(, "startup_info": {"msg_mod": "ReporterProbe", "msg_id": 1})";
            if (reporter == Reporter::kLoadDelay) config << R"(, "load_delay": true)";
            config << "}";
        }
        config << "]}\n";
    }

    void Start(Reporter reporter, std::vector<std::string> extra_args = {}) {
        WriteConfig(reporter);
        std::vector<std::string> args = {"-plugin_config=" + ConfigPath(), "-probe_control=" + ControlPath()};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        VelmoraProcessTest::Start(args);
    }

    // Appends one line for the probe inside the host.
    void Tell(const std::string& line) {
        std::ofstream control(ControlPath(), std::ios::app);
        control << line << "\n";
    }

    std::vector<std::string> HostLog() const {
        const fs::path logs = DataHome() + "/VelmoraData/logs";
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(logs, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("Velmora_", 0) == 0 && name.find("_" + std::to_string(host_pid_) + ".log") != std::string::npos)
                return ReadLines(entry.path());
        }
        return {};
    }

    std::vector<std::string> Received() const { return ReadLines(OutputPath()); }

    // Waits until done(lines) holds for the lines read by read.
    ::testing::AssertionResult WaitFor(const std::function<std::vector<std::string>()>& read,
                                       const std::function<bool(const std::vector<std::string>&)>& done,
                                       const std::string& what) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        std::vector<std::string> lines;
        for (;;) {
            lines = read();
            if (done(lines)) return ::testing::AssertionSuccess();
            if (std::chrono::steady_clock::now() >= deadline)
                return ::testing::AssertionFailure() << "no " << what << " in:\n" << Joined(lines);
            const timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }

    ::testing::AssertionResult WaitForReceived(const std::string& prefix) {
        return WaitFor([this] { return Received(); },
                       [&](const std::vector<std::string>& lines) { return FindLine(lines, prefix) >= 0; },
                       "reporter line \"" + prefix + "\"");
    }

    // A line of the host's own log file containing text.
    ::testing::AssertionResult WaitForHostLog(const std::string& text) {
        return WaitFor([this] { return HostLog(); },
                       [&](const std::vector<std::string>& lines) {
                           for (const std::string& line : lines)
                               if (line.find(text) != std::string::npos) return true;
                           return false;
                       },
                       "host log line with \"" + text + "\"");
    }

    // Started and in its event loop, with the host's log callbacks in place.
    void StartAndWaitUntilReady(Reporter reporter, std::vector<std::string> extra_args = {}) {
        Start(reporter, std::move(extra_args));
        host_pid_ = child_.pid();
        ASSERT_TRUE(WaitForHostLog("ReporterProbe ready"));
    }

    int WaitForHostExit() {
        int status = -1;
        EXPECT_TRUE(child_.WaitForExit(kDeadline, &status)) << "Velmora did not end";
        return status;
    }

    std::vector<std::string> CrashDumps() const {
        std::vector<std::string> dumps;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(DataHome() + "/VelmoraData/crashes", error))
            dumps.push_back(entry.path().filename().string());
        return dumps;
    }

    // Once the host is gone, every plugin process must end by itself.
    void ExpectNoPluginProcessLeft() {
        const auto deadline = std::chrono::steady_clock::now() + kOrphanDeadline;
        std::vector<pid_t> left;
        for (;;) {
            left.clear();
            for (pid_t pid : OwnChildren()) {
                int status = 0;
                if (waitpid(pid, &status, WNOHANG) != pid) left.push_back(pid);
            }
            if (left.empty() || std::chrono::steady_clock::now() >= deadline) break;
            const timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        for (pid_t pid : left) {
            ADD_FAILURE() << "process " << pid << " (" << CommandName(pid) << ") outlived the host";
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }

    pid_t host_pid_ = 0;
};

TEST_F(ReporterEndToEndTest, OssInitArrivesOnConnectAndIsLogged) {
    StartAndWaitUntilReady(Reporter::kAtStart);
    ASSERT_TRUE(WaitForReceived("command 1 "));
    EXPECT_EQ(Received()[FindLine(Received(), "command 1 ")], "command 1 length=0");
    EXPECT_TRUE(WaitForHostLog("[info]ExePluginReporter::OssInit()"));
    Tell("quit");
    const int status = WaitForHostExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

// Each delivered level reaches the reporter with its name and the time in
// whole seconds; level 400 is never written, so never reported.
TEST_F(ReporterEndToEndTest, LiveRecordsCarryTheLevelNameAndWholeSeconds) {
    StartAndWaitUntilReady(Reporter::kAtStart);
    ASSERT_TRUE(WaitForReceived("command 1 "));
    struct Case {
        int level;
        const char* text;
        const char* expected;  // null: not delivered
    };
    const Case cases[] = {
        {200, "disk nearly full: 95%", "level=WARNING message=disk nearly full: 95%"},
        {100, "cannot open camera", "level=ERROR message=cannot open camera"},
        {300, "user signed in", "level=INFO message=user signed in"},
        {400, "frame 1812 decoded", nullptr},
    };
    const uint64_t before_s = WallClockMs() / 1000;
    for (const Case& c : cases) Tell("log " + std::to_string(c.level) + " " + c.text);
    Tell("log 300 last record");
    ASSERT_TRUE(WaitForReceived("command 3 time="));
    ASSERT_TRUE(WaitFor([this] { return Received(); },
                        [](const std::vector<std::string>& lines) {
                            for (const std::string& line : lines)
                                if (line.find("message=last record") != std::string::npos) return true;
                            return false;
                        },
                        "last record"));
    const uint64_t after_s = WallClockMs() / 1000;
    const std::vector<std::string> lines = Received();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string* found = nullptr;
        for (const std::string& line : lines)
            if (line.find(std::string("message=") + c.text) != std::string::npos) found = &line;
        if (!c.expected) {
            EXPECT_EQ(found, nullptr) << *found;
            continue;
        }
        ASSERT_NE(found, nullptr) << Joined(lines);
        EXPECT_EQ(found->rfind("command 3 time=", 0), 0u) << *found;
        EXPECT_NE(found->find(c.expected), std::string::npos) << *found;
        // Seconds, not milliseconds: within a day of the test's own clock.
        const uint64_t time = FieldNumber(*found, "time");
        EXPECT_GE(time + 86400, before_s) << *found;
        EXPECT_LE(time, after_s + 86400) << *found;
    }
    EXPECT_EQ(FindLine(lines, "command 3 malformed"), -1) << Joined(lines);
}

// A reporter that does not start with the host (a trigger that never comes,
// load_delay) is started by the first record, gets OssInit before it, and
// then every record in order.
class DelayedReporterTest : public ReporterEndToEndTest, public ::testing::WithParamInterface<Reporter> {};

TEST_P(DelayedReporterTest, FirstRecordStartsItAfterOssInit) {
    StartAndWaitUntilReady(GetParam());
    Tell("burst 1100 early");
    ASSERT_TRUE(WaitFor([this] { return Received(); },
                        [](const std::vector<std::string>& lines) {
                            for (const std::string& line : lines)
                                if (line.find("message=early 1100") != std::string::npos) return true;
                            return false;
                        },
                        "the last record"));
    const std::vector<std::string> lines = Received();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "command 1 length=0") << Joined(lines);
    EXPECT_EQ(FindLine(lines, "command 1 ", 1), -1) << "a second OssInit:\n" << Joined(lines);
    std::vector<int> numbers;
    for (const std::string& line : lines) {
        const size_t at = line.find("message=early ");
        if (at != std::string::npos && line.find("level=INFO") != std::string::npos)
            numbers.push_back(std::stoi(line.substr(at + 14)));
    }
    ASSERT_EQ(numbers.size(), 1100u) << "records were lost";
    for (size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], static_cast<int>(i) + 1);
    Tell("quit");
    const int status = WaitForHostExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

INSTANTIATE_TEST_SUITE_P(Starts, DelayedReporterTest, ::testing::Values(Reporter::kOnTrigger, Reporter::kLoadDelay),
                         [](const ::testing::TestParamInfo<Reporter>& info) {
                             return std::string(info.param == Reporter::kOnTrigger ? "Trigger" : "LoadDelay");
                         });

// The reporter killed while records flow: the host restarts it, and the new
// run's first command is its OssInit, never a record.
TEST_F(ReporterEndToEndTest, RestartedReporterSeesOssInitFirst) {
    StartAndWaitUntilReady(Reporter::kAtStart);
    ASSERT_TRUE(WaitForReceived("command 1 "));
    pid_t reporter = 0;
    for (pid_t pid : ChildrenOf(host_pid_))
        if (CommandName(pid).rfind("ExePluginRepor", 0) == 0) reporter = pid;
    ASSERT_GT(reporter, 0) << "no reporter process under the host";
    Tell("burst 200 before");
    ASSERT_TRUE(WaitFor([this] { return Received(); },
                        [](const std::vector<std::string>& lines) {
                            return !lines.empty() && lines.back().find("message=before 200") != std::string::npos;
                        },
                        "the records before the kill"));
    // The killed run's last line is that record: whatever follows it comes
    // from the new run.
    ASSERT_EQ(kill(reporter, SIGKILL), 0);
    // Records go on while the host notices the end and starts a new run;
    // those that met the dead run are gone with it.
    Tell("burst 300 during");
    ASSERT_TRUE(WaitFor([this] { return HostLog(); },
                        [](const std::vector<std::string>& lines) {
                            return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                                       return line.find("ipc.Create callback") != std::string::npos &&
                                              line.find("connected:1") != std::string::npos;
                                   }) >= 2;
                        },
                        "the restarted reporter connecting"));
    Tell("burst 1 after");
    ASSERT_TRUE(WaitFor([this] { return Received(); },
                        [](const std::vector<std::string>& lines) {
                            for (const std::string& line : lines)
                                if (line.find("message=after 1") != std::string::npos) return true;
                            return false;
                        },
                        "records reaching the restarted reporter"));
    const std::vector<std::string> lines = Received();
    const int last_of_killed_run = FindLine(lines, "command 3 ");
    int before = -1;
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find("message=before 200") != std::string::npos) before = static_cast<int>(i);
    ASSERT_GE(last_of_killed_run, 0);
    ASSERT_GE(before, 0);
    ASSERT_LT(before + 1, static_cast<int>(lines.size()));
    EXPECT_EQ(lines[before + 1], "command 1 length=0") << "the restarted run began with:\n" << Joined(lines);
    EXPECT_EQ(FindLine(lines, "command 1 ", before + 2), -1) << "a second OssInit for one run:\n" << Joined(lines);
    Tell("quit");
    const int status = WaitForHostExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

// A reporter that connects while the host is still starting (here: while a
// plugin's Init runs) gets its OssInit once start-up is over.
TEST_F(ReporterEndToEndTest, ReporterConnectingDuringStartUpGetsOssInit) {
    StartAndWaitUntilReady(Reporter::kAtStart, {"-probe_hold_for_reporter=1"});
    ASSERT_TRUE(WaitForHostLog("ReporterProbe held start-up: reporter connected=1"));
    ASSERT_TRUE(WaitForReceived("command 1 "));
    Tell("log 200 after start-up");
    EXPECT_TRUE(WaitFor([this] { return Received(); },
                        [](const std::vector<std::string>& lines) {
                            for (const std::string& line : lines)
                                if (line.find("level=WARNING message=after start-up") != std::string::npos) return true;
                            return false;
                        },
                        "the record logged after start-up"));
    Tell("quit");
    const int status = WaitForHostExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

TEST_F(ReporterEndToEndTest, CrashArrivesAsEventDM1002) {
    StartAndWaitUntilReady(Reporter::kAtStart);
    ASSERT_TRUE(WaitForReceived("command 1 "));
    const uint64_t before_ms = WallClockMs();
    Tell("crash");
    const int status = WaitForHostExit();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << DescribeStatus(status);
    EXPECT_EQ(CrashDumps().size(), 1u);
    ASSERT_TRUE(WaitForReceived("command 4 "));
    const std::vector<std::string> lines = Received();
    const std::string& event = lines[FindLine(lines, "command 4 ")];
    EXPECT_NE(event.find(" id=DM1002 body={} value=1"), std::string::npos) << event;
    EXPECT_EQ(event.find("malformed"), std::string::npos) << event;
    // Milliseconds, not seconds: within a day of the test's own clock.
    const uint64_t time = FieldNumber(event, "time");
    EXPECT_GE(time + 86'400'000, before_ms) << event;
    EXPECT_LE(time, WallClockMs() + 86'400'000) << event;
    // TearDown checks that the reporter ends by itself once its host is gone.
}

// At shut-down the backup request goes out after the log was stopped, so its
// log line never reaches the file.
TEST_F(ReporterEndToEndTest, ShutDownAsksForTheLogBackup) {
    StartAndWaitUntilReady(Reporter::kAtStart);
    ASSERT_TRUE(WaitForReceived("command 1 "));
    Tell("quit");
    const int status = WaitForHostExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
    const std::vector<std::string> host_log = HostLog();
    ASSERT_FALSE(host_log.empty());
    EXPECT_TRUE(host_log.back().ends_with("[info]Velmora quitting (quit requested)")) << Joined(host_log);
    ASSERT_TRUE(WaitForReceived("command 9 "));
    const std::vector<std::string> lines = Received();
    EXPECT_EQ(lines[FindLine(lines, "command 9 ")], "command 9 flag=1");
    EXPECT_EQ(FindLine(lines, "command 9 "), static_cast<int>(lines.size()) - 1) << Joined(lines);
    for (const std::string& line : HostLog()) EXPECT_EQ(line.find("BackupLocalLog"), std::string::npos) << line;
}

// A stop signal while plugins start does not kill the host by the default
// action: once start-up is over the host quits the normal way and says why.
TEST_F(ReporterEndToEndTest, StopSignalDuringStartUpQuitsOnceStarted) {
    const std::string release = temp_.path() + "/release_start_up";
    Start(Reporter::kNone, {"-probe_hold_start_up=" + release});
    host_pid_ = child_.pid();
    ASSERT_TRUE(WaitForHostLog("ReporterProbe holding start-up"));
    ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
    std::ofstream(release).flush();
    const int status = WaitForHostExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
    const std::vector<std::string> lines = HostLog();
    ASSERT_FALSE(lines.empty());
    bool started = false;
    for (const std::string& line : lines) started = started || line.find("[info]MakeNomalApplication") != std::string::npos;
    EXPECT_TRUE(started) << Joined(lines);
    EXPECT_TRUE(lines.back().ends_with("[info]Velmora quitting (SIGTERM)")) << Joined(lines);
}

// ---- without a reporter ----

struct EndCase {
    const char* name;
    const char* command;
    bool crashes;
};

class NoReporterTest : public ReporterEndToEndTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(NoReporterTest, StartUpLoggingAndTheEndProceed) {
    StartAndWaitUntilReady(Reporter::kNone);
    Tell("log 200 nobody listens");
    ASSERT_TRUE(WaitForHostLog("[warning]nobody listens"));
    Tell(GetParam().command);
    const int status = WaitForHostExit();
    if (GetParam().crashes) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << DescribeStatus(status);
        EXPECT_EQ(CrashDumps().size(), 1u);
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
        EXPECT_TRUE(CrashDumps().empty());
    }
    EXPECT_FALSE(fs::exists(OutputPath()));
}

INSTANTIATE_TEST_SUITE_P(Ends, NoReporterTest,
                         ::testing::Values(EndCase{"Quit", "quit", false}, EndCase{"Crash", "crash", true}),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
