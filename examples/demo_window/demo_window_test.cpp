// The demo as a newcomer starts it: the real host with the demo
// configuration, the window in screenshot mode. It must call the sample
// process plugin and report its answer, or say plainly why it could not,
// and in both cases save its picture and quit: never hang.

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/velmora_fixture.h"

namespace {

using test_support::DescribeStatus;
using test_support::kVelmoraDeadline;

struct DemoCase {
    const char* name;
    std::string config;  // empty: the shipped demo configuration
    const char* skin;
    std::vector<std::string> expected_lines;  // each in the log, in this order
    std::vector<std::string> extra_args;
};

void PrintTo(const DemoCase& test_case, std::ostream* out) { *out << test_case.name; }

std::string DemoOnlyConfig(const std::string& dir) {
    const std::string path = dir + "/demo_only.json";
    std::ofstream(path) << R"({"plugins": [{"type": 2, "file": "plugins/libDemoWindow", "name": "DemoWindow"}]})";
    return path;
}

class DemoWindowTest : public test_support::VelmoraProcessTest, public ::testing::WithParamInterface<DemoCase> {};

TEST_P(DemoWindowTest, CallsTheProcessPluginSavesItsPictureAndQuits) {
    const DemoCase& test_case = GetParam();
    const std::string config = test_case.config.empty() ? std::string(DEMO_CONFIG) : DemoOnlyConfig(temp_.path());
    const std::string picture = temp_.path() + "/demo.png";
    std::vector<std::string> args = {"-plugin_config=" + config, std::string("-demo_skin=") + test_case.skin,
                                     "-demo_screenshot=" + picture};
    args.insert(args.end(), test_case.extra_args.begin(), test_case.extra_args.end());
    Start(args, {{"LANG", "C.UTF-8"}, {"LANGUAGE", ""}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}});
    const pid_t pid = child_.pid();
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << "the demo did not quit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);

    const std::string log = LogText(pid);
    size_t from = 0;
    for (const std::string& line : test_case.expected_lines) {
        const size_t at = log.find(line, from);
        ASSERT_NE(at, std::string::npos) << "\"" << line << "\" missing after offset " << from << " in:\n" << log;
        from = at + line.size();
    }
    EXPECT_NE(log.find("DemoWindow: screenshot saved to " + picture), std::string::npos) << log;
    EXPECT_EQ(log.find("skin package"), std::string::npos) << "the skins are built beside the program:\n" << log;

    std::ifstream in(picture, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, DemoWindowTest,
    ::testing::Values(
        DemoCase{"ShippedLight", "", "0", {"DemoWindow: SampleProcess answered \"echo: hello from the demo window\" in "}, {}},
        DemoCase{"ShippedDark", "", "1", {"DemoWindow: SampleProcess answered \"echo: hello from the demo window\" in "}, {}},
        DemoCase{"WithoutProcessPlugin", "demo-only", "1",
                 {"DemoWindow: SampleProcess: SampleProcess is not in the plugin configuration."}, {}},
        // The Restart button ends the process and a new one connects: the
        // table shows a new pid and one start more.
        DemoCase{"RestartButton",
                 "",
                 "0",
                 {"DemoWindow: SampleProcess answered ", "DemoWindow: restart of SampleProcess requested",
                  "DemoWindow: SampleProcess restarted: pid ", ", 2 starts"},
                 {"-demo_restart=SampleProcess"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A plugin that crashed the host at its last start: the window lists it as
// skipped, and its "Retry at next start" makes the next start try it again.
class DemoWindowCrashCheckTest : public test_support::VelmoraProcessTest {
protected:
    size_t InitsRecorded() const {
        std::ifstream in(temp_.path() + "/crash_record");
        size_t count = 0;
        for (std::string line; std::getline(in, line);) count += line == "CrashPlugin::Init";
        return count;
    }
    // A screenshot-mode run to its end; its log.
    std::string RunDemo(const std::vector<std::string>& extra, bool expect_crash) {
        std::vector<std::string> args = {"-plugin_config=" + config_, "-demo_screenshot=" + temp_.path() + "/demo.png"};
        args.insert(args.end(), extra.begin(), extra.end());
        Start(args, {{"LANG", "C.UTF-8"},
                     {"LANGUAGE", ""},
                     {"LC_ALL", ""},
                     {"LC_MESSAGES", ""},
                     {"VELMORA_CRASH_PLUGIN_RECORD", temp_.path() + "/crash_record"},
                     {"VELMORA_CRASH_PLUGIN_TRIGGER", temp_.path() + "/crash_trigger"}});
        const pid_t pid = child_.pid();
        int status = 0;
        EXPECT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << "the demo did not end";
        if (expect_crash) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << DescribeStatus(status);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
        }
        return LogText(pid);
    }
    std::string config_;
};

TEST_F(DemoWindowCrashCheckTest, ListsTheSkippedPluginAndRetriesItAtTheNextStart) {
    const std::string plugin = temp_.path() + "/crash_plugin.so";
    std::filesystem::copy_file(CRASH_PLUGIN_PATH, plugin);
    config_ = temp_.path() + "/demo_crash.json";
    std::ofstream(config_) << R"({"plugins": [{"type": 2, "file": "plugins/libDemoWindow", "name": "DemoWindow"},
                                              {"type": 2, "file": ")" + plugin + R"(", "name": "CrashPlugin"}]})";
    std::ofstream(temp_.path() + "/crash_trigger") << "crash\n";

    RunDemo({}, true);
    ASSERT_EQ(InitsRecorded(), 1u);

    std::string log = RunDemo({"-demo_retry_skipped=1"}, false);
    EXPECT_EQ(InitsRecorded(), 1u) << "the crashed plugin was not skipped";
    EXPECT_NE(log.find("DemoWindow: plugin notes: Skipped: CrashPlugin: "), std::string::npos) << log;
    EXPECT_NE(log.find("DemoWindow: skipped plugins will be tried at the next start"), std::string::npos) << log;

    std::filesystem::remove(temp_.path() + "/crash_trigger");
    log = RunDemo({}, false);
    EXPECT_EQ(InitsRecorded(), 2u) << "the retry did not reach the next start:\n" << log;
    EXPECT_NE(log.find("DemoWindow: plugin notes: Every configured plugin was started."), std::string::npos) << log;
}

}  // namespace
