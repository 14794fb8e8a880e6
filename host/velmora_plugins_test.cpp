// The real Velmora program with plugin configurations of the test's own: a
// driver plugin calls the sample EchoPlugin inside the running host and quits
// it; the log file tells what happened up to the end of the event loop (the
// host stops its log before the plugins are freed, so the driver records its
// Free in a file of its own).

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/velmora_fixture.h"
#include "tools/process_test_util.h"

namespace {

using test_support::DescribeStatus;
using test_support::kVelmoraDeadline;
using test_support::Occurrences;
using test_support::RelativeToProgram;

const std::string kDriver = R"({"type": 2, "file": ")" PLUGIN_DRIVER_PATH R"(", "name": "PluginDriver"})";
// Loaded on the driver's first call, which comes from a worker thread.
const std::string kEcho = R"({"type": 2, "file": ")" ECHO_PLUGIN_PATH R"(", "name": "EchoPlugin", "load_delay": true})";
const std::string kMissing = R"({"type": 2, "file": "plugins/no_such_plugin", "name": "MissingPlugin"})";

const char* const kAnswer = R"(PluginDriver: EchoPlugin answered "hello from the plugin driver")";
const char* const kMissingError = "DllPluginCreator::CreatePlugin Error: ";

struct PluginCase {
    const char* name;
    std::vector<std::string> entries;
    bool with_driver;  // which quits the host; otherwise the test stops it with SIGTERM
    // Each found after the one before it in the log file.
    std::vector<std::string> lines_in_order;
};

void PrintTo(const PluginCase& test_case, std::ostream* out) { *out << test_case.name; }

std::string ConfigText(const std::vector<std::string>& entries) {
    std::string text = "{\"plugins\": [";
    for (size_t i = 0; i < entries.size(); ++i) text += (i ? ",\n  " : "\n  ") + entries[i];
    return text + "\n]}\n";
}

class VelmoraPluginTest : public test_support::VelmoraProcessTest,
                          public ::testing::WithParamInterface<PluginCase> {};

TEST_P(VelmoraPluginTest, RunsTheConfiguredPluginsAndExitsCleanly) {
    const PluginCase& test_case = GetParam();
    const std::string config = temp_.path() + "/plugins.json";
    std::ofstream(config) << ConfigText(test_case.entries);

    const std::string record = temp_.path() + "/driver_record.txt";
    Start({"-plugin_config=" + config}, {{"VELMORA_PLUGIN_DRIVER_RECORD", record}});
    const pid_t pid = child_.pid();
    if (!test_case.with_driver) {
        ASSERT_TRUE(WaitUntilRunning());
        ASSERT_EQ(kill(pid, SIGTERM), 0);
    }
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << "Velmora did not quit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
    EXPECT_FALSE(child_.Running());

    const std::string log = LogText(pid);
    ASSERT_FALSE(log.empty()) << "no log file of process " << pid << " under " << LogDir();
    size_t from = 0;
    for (const std::string& line : test_case.lines_in_order) {
        const size_t at = log.find(line, from);
        ASSERT_NE(at, std::string::npos) << "\"" << line << "\" missing after offset " << from << " in:\n" << log;
        from = at + line.size();
    }
    if (test_case.with_driver) {
        std::ifstream in(record);
        std::string freed;
        std::getline(in, freed);
        EXPECT_EQ(freed, "PluginDriver::Free") << "the plugins were not freed at shut-down";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, VelmoraPluginTest,
    ::testing::Values(
        PluginCase{"DriverCallsEchoPlugin",
                   {kDriver, kEcho},
                   true,
                   {"PluginMgr::Init", "PluginDriver::Init", "MakeNomalApplication", "Application inited 2.21.0.113",
                    "EchoPlugin::Init", kAnswer}},
        // The missing library is reported with the loader's reason; the
        // other plugins still load and work.
        PluginCase{"MissingLibraryBesideWorkingPlugins",
                   {kMissing, kDriver, kEcho},
                   true,
                   {"PluginMgr::Init", std::string(kMissingError), "plugins/no_such_plugin lasterr=",
                    "no_such_plugin.so", "MakeNomalApplication", kAnswer}},
        PluginCase{"OnlyAMissingLibrary",
                   {kMissing},
                   false,
                   {"PluginMgr::Init", std::string(kMissingError), "plugins/no_such_plugin lasterr=",
                    "MakeNomalApplication", "Application inited 2.21.0.113"}}),
    [](const ::testing::TestParamInfo<PluginCase>& info) { return std::string(info.param.name); });

// Velmora with `count` process plugins P0, P1, ... that all run one shell
// script of the test's; true once each has connected and `ready` holds.
class VelmoraProcessPluginsTest : public test_support::VelmoraProcessTest {
protected:
    ::testing::AssertionResult StartProcessPlugins(int count, const std::string& script,
                                                   const std::function<bool()>& ready = [] { return true; }) {
        const std::string program = temp_.path() + "/PluginProgram";
        std::ofstream(program) << script;
        std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        std::vector<std::string> entries;
        for (int i = 0; i < count; ++i)
            entries.push_back(R"({"type": 3, "name": "P)" + std::to_string(i) + R"(", "file": "P)" + std::to_string(i) +
                              R"(", "plugin_process": ")" + RelativeToProgram(program) + R"(", "ensure_process": true})");
        const std::string config = temp_.path() + "/plugins.json";
        std::ofstream(config) << ConfigText(entries);
        Start({"-plugin_config=" + config});
        if (::testing::AssertionResult running = WaitUntilRunning(); !running) return running;
        const auto deadline = std::chrono::steady_clock::now() + kVelmoraDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Occurrences(LogText(child_.pid()), "connected:1") >= static_cast<size_t>(count) && ready())
                return ::testing::AssertionSuccess();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ::testing::AssertionFailure() << "the plugin processes did not all connect:\n" << LogText(child_.pid());
    }
};

// Six plugin processes and a SIGTERM to the host: every one is told to Exit
// and ends by itself with exit code 0, side by side, and the host is gone
// well within one grace period. The host's log stops before the plugins are
// freed, so a wrapper records each plugin process's exit code.
class VelmoraShutDownTest : public VelmoraProcessPluginsTest {};

TEST_F(VelmoraShutDownTest, StopSignalEndsEveryPluginProcessThroughExit) {
    constexpr int kProcesses = 6;
    const std::string exits = temp_.path() + "/exits";
    std::filesystem::create_directories(exits);
    ASSERT_TRUE(StartProcessPlugins(
        kProcesses, "#!/bin/sh\n'" SAMPLE_PROCESS_PATH "' \"$@\"\necho $? > '" + exits + "/'$$\n"));
    const pid_t pid = child_.pid();

    const auto stopped_at = std::chrono::steady_clock::now();
    const auto deadline = stopped_at + kVelmoraDeadline;
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << "Velmora did not quit";
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopped_at).count();
    std::printf("host with %d plugin processes ended %.1f ms after SIGTERM\n", kProcesses, ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
    // The grace after Exit is 3 s: a host that waited for it did not get its
    // processes to end by themselves.
    EXPECT_LT(ms, 2500);

    std::map<std::string, std::string> codes;
    while (codes.size() < kProcesses && std::chrono::steady_clock::now() < deadline) {
        codes.clear();
        for (const auto& entry : std::filesystem::directory_iterator(exits)) {
            std::ifstream in(entry.path());
            std::string code;
            if (std::getline(in, code)) codes[entry.path().filename().string()] = code;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(codes.size(), static_cast<size_t>(kProcesses)) << "not every plugin process ended";
    for (const auto& [wrapper_pid, code] : codes) EXPECT_EQ(code, "0") << "plugin process under " << wrapper_pid;
    // And each ended because it was told to.
    size_t told = 0;
    for (const auto& entry : std::filesystem::directory_iterator(LogDir())) {
        if (entry.path().filename().string().rfind("SampleProcess_", 0) != 0) continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        told += Occurrences(text.str(), "Exit from the host");
    }
    EXPECT_EQ(told, static_cast<size_t>(kProcesses));
}

// Plugin executables that start two helpers before they become the plugin:
// one stays in the plugin process's group, one leaves it for a session of
// its own. Whether the host is stopped or killed, no helper is left: the
// group ends with its plugin process; the one that left comes back to the
// host as an orphan and is ended at shut-down, or is ended by the plugin
// process that finds its host gone.
class VelmoraProcessTreeTest : public VelmoraProcessPluginsTest, public ::testing::WithParamInterface<int> {};

TEST_P(VelmoraProcessTreeTest, NoHelperOfAPluginProcessOutlivesTheHost) {
    constexpr int kProcesses = 2;
    const std::string helpers = temp_.path() + "/helpers";
    ASSERT_TRUE(StartProcessPlugins(kProcesses,
                                    "#!/bin/sh\nsleep 600 &\necho $! >> '" + helpers + "'\nsetsid sleep 600 &\necho $! >> '" +
                                        helpers + "'\nexec '" SAMPLE_PROCESS_PATH "' \"$@\"\n",
                                    [&] { return Tools::testing::ReadPids(helpers).size() >= 2 * kProcesses; }));
    const pid_t pid = child_.pid();
    const std::vector<pid_t> started = Tools::testing::ReadPids(helpers);
    ASSERT_EQ(started.size(), static_cast<size_t>(2 * kProcesses));
    for (pid_t helper : started) ASSERT_TRUE(Tools::testing::ProcessAlive(helper)) << "helper " << helper;

    ASSERT_EQ(kill(pid, GetParam()), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << "Velmora did not end";
    const auto ended_at = std::chrono::steady_clock::now();
    for (pid_t helper : started) {
        while (Tools::testing::ProcessAlive(helper) && std::chrono::steady_clock::now() - ended_at < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(Tools::testing::ProcessAlive(helper)) << "helper " << helper << " outlived the host";
        if (Tools::testing::ProcessAlive(helper)) kill(helper, SIGKILL);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, VelmoraProcessTreeTest, ::testing::Values(SIGTERM, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string("SIG") + sigabbrev_np(info.param);
                         });

}  // namespace
