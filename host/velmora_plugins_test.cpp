// The real Velmora program with plugin configurations of the test's own: a
// driver plugin calls the sample EchoPlugin inside the running host and quits
// it; the log file tells what happened up to the end of the event loop (the
// host stops its log before the plugins are freed, so the driver records its
// Free in a file of its own).

#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/velmora_fixture.h"

namespace {

using test_support::DescribeStatus;
using test_support::kVelmoraDeadline;

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

}  // namespace
