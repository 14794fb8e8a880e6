// A plugin process with ensure_process killed over and over while calls are
// in flight. The host must stay responsive, announce every end and start,
// leave no zombie, keep descriptors and memory flat, and back off when the
// process dies quickly. VELMORA_CHAOS_KILLS sets the count (default 20).
#include <signal.h>

#include <cstdio>
#include <regex>

#include <gtest/gtest.h>

#include "framework/exeplugin/exe_plugin_test_support.h"
#include "framework/exeplugin/host_proxy.h"

namespace Application {
namespace {

using namespace ExePluginTest;
using namespace std::chrono_literals;

// Sanitizers keep freed memory in quarantine, so resident size says nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif
#else
constexpr bool kResidentSizeMeaningful = true;
#endif

int KillCount() {
    const char* text = getenv("VELMORA_CHAOS_KILLS");
    const int count = text ? atoi(text) : 0;
    return count > 0 ? count : 20;
}

// Worker thread 2 carries all plugin protocol work: it must keep running tasks.
bool Worker2Answers() {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    App()->GetThreadTaskMgr()->PostWorker2Task([ran] { *ran = true; });
    return PumpUntil([&] { return ran->load(); }, 10s);
}

TEST(PluginChaosTest, KilledOverAndOverWhileCallsAreInFlight) {
    // Short delays so that many rapid deaths fit in seconds; the shape of
    // the back-off stays the same.
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 2;
    policy.max_ms = 32;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);

    std::mutex log_lock;
    std::vector<unsigned> delays;
    TempTree tree("chaos");
    ASSERT_TRUE(StartHost(tree.WriteConfig("[" + SampleProcessEntry() + "]")));
    SetLogCallback(kLogError, [&](const char* message, const char*) {
        static const std::regex next_start("plugin process 'SampleProcess' ended .* next start in ([0-9]+) ms");
        std::cmatch match;
        if (std::regex_search(message, match, next_start)) {
            std::lock_guard<std::mutex> guard(log_lock);
            delays.push_back(static_cast<unsigned>(std::stoul(match[1].str())));
        }
    });
    PluginAnnouncements announcements("SampleProcess");
    announcements.Subscribe();
    IPlugin* plugin = App()->GetPluginMgr()->GetPlugin("SampleProcess");
    ASSERT_NE(plugin, nullptr);

    const int kills = KillCount();
    const int warm_up = 3;
    int descriptors_before = 0;
    long resident_before = 0;
    // Counted, not kept: holding every answer would itself grow memory.
    auto answered_in_flight = std::make_shared<std::atomic<int>>(0);
    int sent_in_flight = 0;
    double reconnect_ms_total = 0;
    for (int round = 0; round < kills + warm_up; ++round) {
        if (round == warm_up) {
            descriptors_before = OpenDescriptors();
            resident_before = ResidentKb();
        }
        const std::optional<std::string> pid_text = Call(plugin, 4, "");
        ASSERT_TRUE(pid_text.has_value()) << "no answer in round " << round;
        const pid_t pid = std::stoi(*pid_text);
        for (int i = 0; i < 20; ++i, ++sent_in_flight) {
            const std::string data = "in flight " + std::to_string(i);
            plugin->Invoke(1, data.data(), static_cast<int32_t>(data.size()),
                           [answered_in_flight](const char*, int32_t) { ++*answered_in_flight; });
        }
        const int ended_before = announcements.ended();
        const int connected_before = announcements.connected();
        const auto killed_at = std::chrono::steady_clock::now();
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_TRUE(PumpUntil([&] { return announcements.ended() == ended_before + 1; })) << "round " << round;
        ASSERT_TRUE(PumpUntil([&] { return announcements.connected() == connected_before + 1; })) << "round " << round;
        reconnect_ms_total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - killed_at).count();
        ASSERT_TRUE(Worker2Answers()) << "the host stopped running plugin work in round " << round;
    }

    EXPECT_EQ(announcements.ended(), kills + warm_up);
    EXPECT_EQ(announcements.connected(), kills + warm_up + 1);
    EXPECT_EQ(announcements.foreign(), 0);
    // Let the reaper catch up with the last death before counting zombies.
    EXPECT_TRUE(PumpUntil([] { return CountChildren("SampleProcess", true) == 0; }, 10s)) << "zombies left";
    EXPECT_EQ(CountChildren("SampleProcess"), 1);
    const int descriptors_after = OpenDescriptors();
    const long resident_after = ResidentKb();
    EXPECT_LE(descriptors_after, descriptors_before + 2) << "descriptors grow with restarts";
    if (kResidentSizeMeaningful) {
        EXPECT_LE(resident_after, resident_before + 4 * 1024) << "memory grows with restarts";
    }
    // The log is written on its own thread; wait for the last lines.
    EXPECT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> guard(log_lock);
        return delays.size() >= static_cast<size_t>(kills + warm_up);
    })) << "every end is logged with its next start";
    {
        std::lock_guard<std::mutex> guard(log_lock);
        ASSERT_EQ(delays.size(), static_cast<size_t>(kills + warm_up));
        EXPECT_EQ(delays.front(), 0u) << "the first restart is immediate";
        EXPECT_EQ(delays.back(), policy.max_ms) << "rapid deaths back off up to the limit";
        for (size_t i = 1; i < delays.size(); ++i) EXPECT_GE(delays[i], delays[i - 1]);
    }
    std::printf("chaos: %d kills, mean kill->reconnected %.1f ms, in-flight calls answered %d of %d, "
                "descriptors %d -> %d, resident %ld -> %ld kB\n",
                kills, reconnect_ms_total / (kills + warm_up), answered_in_flight->load(), sent_in_flight, descriptors_before,
                descriptors_after, resident_before, resident_after);
    SetLogCallback(kLogError, nullptr);
    DestroyApplication();
    EXPECT_TRUE(PumpUntil([] { return CountChildren("SampleProcess") == 0; }, 10s));
}

}  // namespace
}  // namespace Application
