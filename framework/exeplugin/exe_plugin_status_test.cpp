// The plugin table for process plugins, through the exported functions, with
// real plugin processes killed, stopped and restarted.
#include <signal.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "Application/PluginStatus.h"
#include "framework/exeplugin/exe_plugin_test_support.h"
#include "framework/exeplugin/host_proxy.h"

namespace Application {
namespace {

using namespace ExePluginTest;
using namespace std::chrono_literals;

std::string Entry(const std::string& name, const std::string& extra = R"("ensure_process": true)") {
    return R"({"type": 3, "name": ")" + name + R"(", "file": ")" + name +
           R"(", "plugin_process": "plugins/SampleProcess", )" + extra + "}";
}

PluginStatus Row(const std::string& name) {
    for (const PluginStatus& row : GetPluginStatus())
        if (row.name == name) return row;
    return {};
}

// Pumps until the row of name satisfies done; the last row seen.
PluginStatus WaitForRow(const std::string& name, const std::function<bool(const PluginStatus&)>& done,
                        std::chrono::milliseconds limit = 30s) {
    PluginStatus last;
    PumpUntil([&] {
        last = Row(name);
        return done(last);
    }, limit);
    return last;
}

class ExePluginStatusTest : public ::testing::Test {
protected:
    void TearDown() override {
        DestroyApplication();
        SetPluginStartOptions({});
        ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting({});
        EXPECT_TRUE(PumpUntil([] { return Children().empty(); }, 10s)) << "a plugin process outlived the host";
        EXPECT_TRUE(GetPluginStatus().empty()) << "rows outlived the application";
    }
    IPlugin* Plugin(const char* name) { return App()->GetPluginMgr()->GetPlugin(name); }
    pid_t Pid(IPlugin* plugin) { return std::stoi(Call(plugin, 4, "").value_or("0")); }

    TempTree tree_{"exe_status"};
};

TEST_F(ExePluginStatusTest, ARunningProcessShowsItsPidUseAndLastCall) {
    const int64_t before = static_cast<int64_t>(Tools::os_gettime_ms());
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Worker") + ", " + Entry("Lazy", R"("load_delay": true)") + "]")));
    EXPECT_EQ(Row("Lazy").state, PluginState::kCreated) << "started before its first call";
    EXPECT_EQ(Row("Lazy").starts, 0u);
    const PluginStatus row =
        WaitForRow("Worker", [](const PluginStatus& r) { return r.state == PluginState::kConnected; });
    ASSERT_EQ(row.state, PluginState::kConnected) << PluginStateName(row.state);
    EXPECT_EQ(row.type, kPluginExe);
    EXPECT_TRUE(row.file.ends_with("/plugins/SampleProcess")) << row.file;
    EXPECT_EQ(row.pid, Pid(Plugin("Worker")));
    EXPECT_EQ(row.starts, 1u);
    EXPECT_GE(row.started_unix_ms, before);
    EXPECT_FALSE(row.has_last_end);
    EXPECT_GT(row.rss_bytes, 0u);
    EXPECT_GE(row.cpu_percent, 0);
    // The pid call above was the last call to complete.
    EXPECT_GE(Row("Worker").last_call_rtt_us, 0);
    // A busy process shows it: a flood of calls, then a look over their time.
    Row("Worker");
    const auto busy_until = std::chrono::steady_clock::now() + 800ms;
    while (std::chrono::steady_clock::now() < busy_until) ASSERT_TRUE(Call(Plugin("Worker"), 1, "x").has_value());
    const PluginStatus busy = Row("Worker");
    EXPECT_GT(busy.cpu_percent, 0) << "no CPU use seen over a second of calls";
    EXPECT_LE(busy.cpu_percent, 400);
    EXPECT_EQ(Children().size(), 1u);
}

TEST_F(ExePluginStatusTest, AKilledProcessIsRestartedWithANewPidAndCounted) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 1;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Worker") + "]")));
    // Another thread reads the table all along, as a status request does.
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            for (const PluginStatus& row : GetPluginStatus())
                if (row.pid < 0 || row.name.empty()) ADD_FAILURE() << "a torn row";
            ++reads;
        }
    });
    struct Join {
        std::atomic<bool>& done;
        std::thread& thread;
        ~Join() {
            done = true;
            thread.join();
        }
    } join{done, reader};
    const pid_t first = Pid(Plugin("Worker"));
    ASSERT_GT(first, 0);
    const int64_t killed_at = static_cast<int64_t>(Tools::os_gettime_ms());
    ASSERT_EQ(kill(first, SIGKILL), 0);
    const PluginStatus row = WaitForRow("Worker", [&](const PluginStatus& r) {
        return r.state == PluginState::kConnected && r.pid != first && r.pid != 0;
    });
    ASSERT_EQ(row.state, PluginState::kConnected) << PluginStateName(row.state) << " " << row.reason;
    EXPECT_EQ(row.pid, Pid(Plugin("Worker")));
    EXPECT_EQ(row.starts, 2u);
    ASSERT_TRUE(row.has_last_end);
    EXPECT_EQ(row.last_signal, SIGKILL);
    EXPECT_EQ(row.last_exit_code, -1);
    EXPECT_GE(row.last_end_unix_ms, killed_at);
    EXPECT_GE(row.started_unix_ms, row.last_end_unix_ms);
    EXPECT_TRUE(PumpUntil([&] { return reads > 0; }, 10s));
}

TEST_F(ExePluginStatusTest, ARestartRequestStartsAtOnceAlsoDuringTheBackOff) {
    // A first death waits a minute for its next start.
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 60'000;
    policy.max_ms = 60'000;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Worker") + "]")));
    const pid_t first = Pid(Plugin("Worker"));
    ASSERT_GT(first, 0);

    // Restarted while connected: a new process, the old one ended by us.
    std::string error;
    ASSERT_TRUE(RestartProcessPlugin("Worker", &error)) << error;
    PluginStatus row = WaitForRow("Worker", [&](const PluginStatus& r) {
        return r.state == PluginState::kConnected && r.pid != first && r.pid != 0;
    });
    ASSERT_EQ(row.state, PluginState::kConnected) << PluginStateName(row.state) << " " << row.reason;
    EXPECT_EQ(row.starts, 2u);
    EXPECT_EQ(row.last_signal, SIGKILL);
    const pid_t second = Pid(Plugin("Worker"));
    EXPECT_EQ(row.pid, second);

    // Killed: the first quick death restarts at once, the second waits for
    // its back-off...
    ASSERT_EQ(kill(second, SIGKILL), 0);
    row = WaitForRow("Worker", [&](const PluginStatus& r) {
        return r.state == PluginState::kConnected && r.pid != second && r.pid != 0;
    });
    ASSERT_EQ(row.state, PluginState::kConnected) << PluginStateName(row.state) << " " << row.reason;
    EXPECT_EQ(row.starts, 3u);
    const int64_t killed_at = static_cast<int64_t>(Tools::os_gettime_ms());
    ASSERT_EQ(kill(row.pid, SIGKILL), 0);
    row = WaitForRow("Worker", [](const PluginStatus& r) { return r.state == PluginState::kRestarting; });
    ASSERT_EQ(row.state, PluginState::kRestarting) << PluginStateName(row.state);
    EXPECT_GE(row.restart_at_unix_ms, killed_at + 30'000);
    EXPECT_NE(row.reason.find("signal 9"), std::string::npos) << row.reason;
    EXPECT_EQ(row.pid, 0);
    // ...which a restart request does not.
    ASSERT_TRUE(RestartProcessPlugin("Worker", &error)) << error;
    row = WaitForRow("Worker", [](const PluginStatus& r) { return r.state == PluginState::kConnected; }, 20s);
    ASSERT_EQ(row.state, PluginState::kConnected) << PluginStateName(row.state) << " " << row.reason;
    EXPECT_EQ(row.starts, 4u);
    EXPECT_EQ(row.restart_at_unix_ms, 0);
    EXPECT_EQ(Pid(Plugin("Worker")), row.pid);
    EXPECT_EQ(CountChildren("SampleProcess"), 1) << "the back-off's own start came as well";
}

TEST_F(ExePluginStatusTest, AStoppedProcessShowsAsNotRespondingAndIsReplaced) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 1;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Stopped") + "]")));
    const pid_t first = Pid(Plugin("Stopped"));
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGSTOP), 0);
    PluginStatus row =
        WaitForRow("Stopped", [](const PluginStatus& r) { return r.state == PluginState::kNotResponding; }, 20s);
    ASSERT_EQ(row.state, PluginState::kNotResponding) << PluginStateName(row.state);
    EXPECT_EQ(row.pid, first);
    // The hang limit ends it; its successor answers.
    row = WaitForRow("Stopped", [&](const PluginStatus& r) {
        return r.state == PluginState::kConnected && r.pid != first && r.pid != 0;
    }, 30s);
    ASSERT_EQ(row.state, PluginState::kConnected) << PluginStateName(row.state);
    EXPECT_EQ(row.starts, 2u);
    EXPECT_EQ(row.last_signal, SIGKILL);
}

TEST_F(ExePluginStatusTest, AProcessThatEndsWithoutEnsureStopsAndTellsHowItEnded) {
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Once", R"("ensure_process": false)") + "]")));
    ASSERT_GT(Pid(Plugin("Once")), 0);
    Plugin("Once")->Invoke(5, nullptr, 0, nullptr);
    const PluginStatus row = WaitForRow("Once", [](const PluginStatus& r) { return r.state == PluginState::kStopped; });
    ASSERT_EQ(row.state, PluginState::kStopped) << PluginStateName(row.state);
    EXPECT_EQ(row.last_exit_code, 3);
    EXPECT_EQ(row.last_signal, 0);
    EXPECT_NE(row.reason.find("exit code 3"), std::string::npos) << row.reason;
    EXPECT_EQ(row.pid, 0);
    // A restart request starts it again.
    std::string error;
    ASSERT_TRUE(RestartProcessPlugin("Once", &error)) << error;
    EXPECT_EQ(WaitForRow("Once", [](const PluginStatus& r) { return r.state == PluginState::kConnected; }).starts, 2u);
}

TEST_F(ExePluginStatusTest, SafeModeStartsNoPluginProcess) {
    SetPluginStartOptions({.safe_mode = true});
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Worker") + "]")));
    EXPECT_EQ(Row("Worker").state, PluginState::kSkipped);
    EXPECT_EQ(Plugin("Worker"), nullptr);
    std::string error;
    EXPECT_FALSE(RestartProcessPlugin("Worker", &error));
    // Nothing starts later either.
    EXPECT_FALSE(PumpUntil([] { return !Children().empty(); }, 500ms));
}

}  // namespace
}  // namespace Application
