// The plugin link under faults: duplicate entries, restarts, shut-down,
// hung plugin processes, plugin processes that send what they must not.
#include <signal.h>

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "framework/exeplugin/exe_plugin_test_support.h"
#include "framework/exeplugin/host_proxy.h"
#include "framework/exeplugin/messages.h"
#include "framework/tasks/thread_task_mgr.h"

namespace Application {
namespace {

using namespace ExePluginTest;
using namespace std::chrono_literals;

std::string Entry(const std::string& name, const std::string& program = "SampleProcess",
                  const std::string& extra = R"("ensure_process": true)") {
    return R"({"type": 3, "name": ")" + name + R"(", "file": ")" + name + R"(", "plugin_process": "plugins/)" + program +
           R"(", )" + extra + "}";
}

size_t Worker2Pending() {
    return dynamic_cast<ThreadTaskMgr*>(App()->GetThreadTaskMgr())->Worker2PendingCountForTesting();
}

class ExePluginFaultsTest : public ::testing::Test {
protected:
    void TearDown() override {
        DestroyApplication();
        ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting({});
        EXPECT_TRUE(PumpUntil([] { return Children().empty(); }, 10s)) << "a plugin process outlived the host";
    }
    IPlugin* Plugin(const char* name) { return App()->GetPluginMgr()->GetPlugin(name); }
    pid_t Pid(IPlugin* plugin) { return std::stoi(Call(plugin, 4, "").value_or("0")); }

    TempTree tree_{"exe_faults"};
};

// A copy-paste slip: two entries of one name. The earlier proxy is dropped
// while worker thread 2 may be starting its process.
TEST_F(ExePluginFaultsTest, TwoEntriesOfOneNameStartOneProcessAndEndCleanly) {
    const std::string config = tree_.WriteConfig("[" + Entry("SampleProcess") + ", " + Entry("SampleProcess") + "]");
    for (int start = 0; start < 20; ++start) {
        ASSERT_TRUE(StartHost(config));
        IPlugin* plugin = Plugin("SampleProcess");
        ASSERT_NE(plugin, nullptr);
        EXPECT_EQ(Call(plugin, 1, "x"), "echo: x") << "start " << start;
        EXPECT_TRUE(PumpUntil([] { return CountChildren("SampleProcess") == 1; }, 10s)) << "start " << start;
        DestroyApplication();
        ASSERT_TRUE(PumpUntil([] { return Children().empty(); }, 10s)) << "start " << start;
    }
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[]")));
}

// Immediate restarts must not pile up checks: the pending worker-2 work
// after fifty returns to what it is after one.
TEST_F(ExePluginFaultsTest, FiftyRestartsLeaveNoMoreWorkQueuedThanOne) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 1;
    policy.max_ms = 1;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("SampleProcess") + "]")));
    PluginAnnouncements announcements("SampleProcess");
    announcements.Subscribe();
    IPlugin* plugin = Plugin("SampleProcess");
    auto restart = [&] {
        const pid_t pid = Pid(plugin);
        ASSERT_GT(pid, 0);
        const int connected = announcements.connected();
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_TRUE(PumpUntil([&] { return announcements.connected() > connected; }));
        ASSERT_TRUE(Call(plugin, 1, "up").has_value());
    };
    restart();
    // Stale checks of the ended run expire within a second; take the lowest count.
    size_t after_one = Worker2Pending();
    PumpUntil([&] {
        after_one = std::min(after_one, Worker2Pending());
        return false;
    }, 1500ms);
    for (int i = 0; i < 50; ++i) restart();
    // Under AddressSanitizer some work of ended runs lingers for about ten
    // seconds before it runs and finds its run gone; the deadline covers it.
    EXPECT_TRUE(PumpUntil([&] { return Worker2Pending() <= after_one; }, 15s))
        << Worker2Pending() << " tasks pending after 50 restarts, " << after_one << " after one";
}

// Six plugin processes, the host shuts down: each gets Exit and ends by
// itself with exit code 0, all within the one grace period.
TEST_F(ExePluginFaultsTest, AtShutDownEveryProcessGetsExitAndEndsByItself) {
    std::string entries;
    for (int i = 0; i < 6; ++i) entries += (i ? ", " : "") + Entry("P" + std::to_string(i));
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + entries + "]")));
    for (int i = 0; i < 6; ++i) ASSERT_GT(Pid(Plugin(("P" + std::to_string(i)).c_str())), 0);
    LogLines info(kLogInfo);
    const auto begin = std::chrono::steady_clock::now();
    DestroyApplication();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    std::printf("shut-down with six plugin processes: %.1f ms\n", ms);
    EXPECT_LT(ms, 2500) << "the processes did not end on Exit (the grace is 3 s)";
    EXPECT_EQ(info.Count("plugin process 'P[0-5]' \\(pid [0-9]+\\) ended at shut-down \\(exit code 0\\)"), 6);
    int got_exit = 0;
    for (const auto& file : fs::directory_iterator(tree_.root() / "VelmoraData" / "logs")) {
        std::ifstream in(file.path());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("ExePluginClientProxy: Exit from the host") != std::string::npos) ++got_exit;
    }
    EXPECT_EQ(got_exit, 6) << "every plugin process logs the Exit it received";
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[]")));
}

// One plugin process stopped (as in a debugger): the other keeps being
// served, and the stopped one is found hung, ended and restarted.
TEST_F(ExePluginFaultsTest, AStoppedProcessIsFoundHungWhileTheOtherIsServed) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 1;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Busy") + ", " + Entry("Stopped") + "]")));
    LogLines errors(kLogError);
    IPlugin* busy = Plugin("Busy");
    IPlugin* stopped = Plugin("Stopped");
    ASSERT_GT(Pid(busy), 0);
    const pid_t first = Pid(stopped);
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGSTOP), 0);
    const auto stopped_at = std::chrono::steady_clock::now();
    const std::string hung_line = "^plugin process 'Stopped' \\(pid " + std::to_string(first) +
                                  "\\) is not responding; restarting$";
    std::vector<double> latencies;
    double found_after_s = -1;
    while (std::chrono::steady_clock::now() - stopped_at < 12s) {
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(Call(busy, 1, "tick"), "echo: tick") << "a call to the other plugin went unanswered";
        latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
        if (found_after_s < 0 && errors.Count(hung_line) == 1)
            found_after_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped_at).count();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(PumpUntil([&] { return errors.Count(hung_line) == 1; }, 5s)) << "not found hung";
    if (found_after_s < 0) found_after_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped_at).count();
    std::sort(latencies.begin(), latencies.end());
    std::printf("%zu calls during the stop, p99 %.2f ms, max %.2f ms; hung process found after %.1f s\n",
                latencies.size(), latencies[latencies.size() * 99 / 100], latencies.back(), found_after_s);
    // Silence is counted from the last ping (every 3 s), so 7 to 10 s after the stop.
    EXPECT_GE(found_after_s, 6.5) << "judged before 10 s of silence";
    EXPECT_LE(found_after_s, 14.0);
    const pid_t second = Pid(stopped);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
}

// A plugin process that takes none of its bytes (stopped, not yet silent
// long enough to be judged hung) while calls pile up for it: cut off at the
// queue limit, named in the log, and restarted.
TEST_F(ExePluginFaultsTest, AProcessThatTakesNoBytesIsCutOffAtTheQueueLimit) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 1;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("Stopped") + "]")));
    LogLines errors(kLogError);
    IPlugin* plugin = Plugin("Stopped");
    const pid_t first = Pid(plugin);
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGSTOP), 0);
    const std::string big(8 << 20, 'x');
    // More than the limit and whatever the kernel's socket buffers take.
    for (int i = 0; i < 12; ++i) plugin->Invoke(1, big.data(), static_cast<int32_t>(big.size()), nullptr);
    const std::string cut_line = "^plugin process 'Stopped' \\(pid " + std::to_string(first) +
                                 "\\) did not take its messages: more than 64 MiB queued for it";
    ASSERT_TRUE(PumpUntil([&] { return errors.Count(cut_line) == 1; }, 20s)) << "not cut off at the queue limit";
    // Made while the cut-off process is still being ended: goes to the next run.
    EXPECT_EQ(Call(plugin, 1, "again"), "echo: again") << "the restarted process does not answer";
    EXPECT_NE(Pid(plugin), first);
    EXPECT_EQ(errors.Count(cut_line), 1) << "the limit is logged once";
}

// A plugin process of our own user that sends the host's own event ids, and
// a host frame with the plugin side's own id 0: ignored on both sides.
TEST_F(ExePluginFaultsTest, OwnEventIdsFromTheWireAreIgnored) {
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("MisbehavingProcess", "MisbehavingProcess") + "]")));
    PluginAnnouncements announcements("MisbehavingProcess");
    announcements.Subscribe();
    IPlugin* plugin = Plugin("MisbehavingProcess");
    const pid_t pid = Pid(plugin);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(PumpUntil([&] { return announcements.connected() == 1; }));
    EXPECT_EQ(Call(plugin, 20, std::to_string(ExePlugin::kProcessExited) + "|"), "sent");
    EXPECT_EQ(Call(plugin, 20, std::to_string(ExePlugin::kConnected) + "|"), "sent");
    // Frames keep their order: an answer behind them means they were handled.
    EXPECT_EQ(Call(plugin, 1, "after"), "echo: after");
    EXPECT_EQ(announcements.ended(), 0) << "a forged ProcessExited was acted on";
    EXPECT_EQ(announcements.connected(), 1) << "a forged Connected was announced";
    // The kernel keeps 15 bytes of a process name.
    EXPECT_EQ(CountChildren("MisbehavingProc"), 1) << "a second process was started";

    dynamic_cast<ExePlugin::ExePluginHostProxy*>(plugin)->SendForTesting(ExePlugin::kDisconnected, "");
    EXPECT_EQ(Call(plugin, 23, ""), "running") << "a frame with id 0 made the plugin process quit";
    EXPECT_EQ(Pid(plugin), pid);
}

// A call whose process is killed before it answers: the call ids of the
// next run start again, and the late answers of the new run reach only the
// new run's calls, never the call the killed run left open.
TEST_F(ExePluginFaultsTest, AnAnswerReachesOnlyTheCallOfItsOwnProcessRun) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 1;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + Entry("MisbehavingProcess", "MisbehavingProcess") + "]")));
    PluginAnnouncements announcements("MisbehavingProcess");
    announcements.Subscribe();
    IPlugin* plugin = Plugin("MisbehavingProcess");
    const pid_t first = Pid(plugin);
    ASSERT_GT(first, 0);
    auto old_call = Send(plugin, 24, "300");
    ASSERT_EQ(Call(plugin, 1, "queued behind"), "echo: queued behind");
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(PumpUntil([&] { return announcements.connected() == 2; }));
    auto new_call = Send(plugin, 24, "300");
    auto newer_call = Send(plugin, 24, "100");
    EXPECT_TRUE(PumpUntil([&] { return new_call->arrived() && newer_call->arrived(); }));
    EXPECT_EQ(new_call->get(), "late");
    EXPECT_FALSE(old_call->arrived()) << "the killed run's call received an answer of its successor";
}

// A plugin process that subscribes without end is cut off at the limit and
// restarted; another plugin keeps being served.
TEST_F(ExePluginFaultsTest, EndlessSubscriptionsAreCutOffAtTheLimit) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 1;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    ASSERT_TRUE(StartHost(
        tree_.WriteConfig("[" + Entry("MisbehavingProcess", "MisbehavingProcess") + ", " + Entry("Other") + "]")));
    LogLines errors(kLogError);
    PluginAnnouncements announcements("MisbehavingProcess");
    announcements.Subscribe();
    IPlugin* plugin = Plugin("MisbehavingProcess");
    const pid_t pid = Pid(plugin);
    ASSERT_GT(pid, 0);
    plugin->Invoke(21, "20000", 5, nullptr);
    const std::string limit_line = "^plugin process 'MisbehavingProcess' \\(pid " + std::to_string(pid) +
                                   "\\) exceeded the limit of 10000 subscriptions";
    EXPECT_TRUE(PumpUntil([&] { return errors.Count(limit_line) == 1; })) << "not cut off";
    EXPECT_TRUE(PumpUntil([&] { return announcements.ended() == 1 && announcements.connected() >= 2; })) << "no restart";
    EXPECT_EQ(Call(Plugin("Other"), 1, "still"), "echo: still");
    const pid_t second = Pid(plugin);
    EXPECT_NE(second, pid);
    EXPECT_EQ(errors.Count(limit_line), 1) << "the limit is logged once";
}

// A Log flood: at most the per-second limit reaches the host log, the rest
// is counted in summary lines naming the plugin; the others keep being served.
TEST_F(ExePluginFaultsTest, ALogFloodIsCountedNotWritten) {
    ASSERT_TRUE(StartHost(
        tree_.WriteConfig("[" + Entry("MisbehavingProcess", "MisbehavingProcess") + ", " + Entry("Other") + "]")));
    LogLines info(kLogInfo);
    LogLines warnings(kLogWarning);
    IPlugin* plugin = Plugin("MisbehavingProcess");
    ASSERT_GT(Pid(plugin), 0);
    const long resident_before = ResidentKb();
    const auto flood_began = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(plugin, 22, "50000"), "logged");
    EXPECT_EQ(Call(Plugin("Other"), 1, "still"), "echo: still");
    const std::string summary = "^plugin process 'MisbehavingProcess' \\(pid [0-9]+\\): [0-9]+ log lines dropped \\(limit 1000 per second\\)$";
    EXPECT_TRUE(PumpUntil([&] { return warnings.Count(summary) >= 1; }, 10s)) << "no summary line";
    const int written = info.Count("^flood line ");
    // A slow build spreads the flood over more one-second windows, each with its share.
    const auto windows =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - flood_began).count() + 2;
    EXPECT_GE(written, 1000);
    EXPECT_LE(written, 1000 * windows) << "the per-second limit was not applied";
    std::printf("log flood: 50000 sent, %d written, %d summary lines, resident %ld -> %ld kB\n", written,
                warnings.Count(summary), resident_before, ResidentKb());
    EXPECT_EQ(Call(plugin, 1, "alive"), "echo: alive") << "a soft limit does not cut the plugin off";
}

}  // namespace
}  // namespace Application
