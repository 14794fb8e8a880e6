#include "host/reporter_bridge.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Application/Application.h"
#include "Application/InnerPlugin.h"

namespace {

namespace fs = std::filesystem;
using Application::App;

std::string Le32(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

std::string Le64(uint64_t value) { return Le32(static_cast<uint32_t>(value)) + Le32(static_cast<uint32_t>(value >> 32)); }

TEST(ReporterBridgeTest, LogRecordLayout) {
    const std::string record = ReporterBridge::LogRecord(1670814115, "disk full", "WARNING");
    EXPECT_EQ(record, Le64(1670814115) + Le32(9) + "disk full" + Le32(7) + "WARNING" + std::string(1, '\0'));
}

TEST(ReporterBridgeTest, CrashEventLayout) {
    const std::string record = ReporterBridge::EventRecord(1670814115123ull, "DM1002", "{}", 1);
    EXPECT_EQ(record, Le64(1670814115123ull) + Le32(6) + "DM1002" + Le32(2) + "{}" + Le32(1) + std::string(1, '\0'));
}

// What the reporter plugin received, in order.
struct Arrival {
    int32_t command;
    std::string data;
};

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<Arrival> g_arrived;

// Stands for the reporter plugin inside the test process.
class FakeReporter final : public Application::IPlugin {
public:
    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return ReporterBridge::kPluginName; }
    void Invoke(int32_t command, const char* data, int32_t length, Application::InvokeCallback) override {
        std::lock_guard<std::mutex> guard(g_lock);
        g_arrived.push_back({command, data && length > 0 ? std::string(data, static_cast<size_t>(length)) : ""});
        g_changed.notify_all();
    }
};

const int kRegistered = Application::RegisterInnerPluginType(
    Application::MakeWithLibraryAllocator<Application::InnerPluginCreator<FakeReporter>>(), ReporterBridge::kPluginName);

// A record's text part: message and level name, as the reporter reads them.
std::string RecordTail(const std::string& message, const std::string& level) {
    return Le32(static_cast<uint32_t>(message.size())) + message + Le32(static_cast<uint32_t>(level.size())) + level +
           std::string(1, '\0');
}

std::string NamePayload(const std::string& name) { return Le32(static_cast<uint32_t>(name.size())) + name; }

// A real framework whose plugin configuration holds the fake reporter (or
// nothing); the bridge is wired as the host wires it.
class ReporterBridgeAppTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kRegistered, 0); }

    void StartApp(bool with_reporter, const std::function<void()>& during_start_up = nullptr) {
        root_ = fs::temp_directory_path() / ("velmora_bridge_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        setenv("XDG_DATA_HOME", root_.c_str(), 1);
        const fs::path config = root_ / "plugins.json";
        std::ofstream(config) << (with_reporter ? R"({"plugins": [{"type": 1, "name": "ExePluginReporter"}]})"
                                                : R"({"plugins": []})");
        std::string program = "bridge_test";
        std::string config_switch = "-plugin_config=" + config.string();
        char* argv[] = {program.data(), config_switch.data(), nullptr};
        ASSERT_TRUE(Application::MakeNomalApplication(
            2, argv,
            [during_start_up](Application::InterfaceBase* component) {
                if (component == App()->GetNotifier()) ReporterBridge::Instance().Subscribe();
                if (component == App()->GetData() && during_start_up) during_start_up();
                return true;
            },
            [](bool) {}));
        ReporterBridge::Instance().Start();
    }

    void TearDown() override {
        Application::DestroyApplication();
        ReporterBridge::Instance().ResetForTesting();
        std::lock_guard<std::mutex> guard(g_lock);
        g_arrived.clear();
        fs::remove_all(root_);
    }

    // Waits until count commands arrived; returns what arrived.
    static std::vector<Arrival> WaitForArrivals(size_t count) {
        std::unique_lock<std::mutex> wait(g_lock);
        g_changed.wait_for(wait, std::chrono::seconds(30), [count] { return g_arrived.size() >= count; });
        return g_arrived;
    }

    static std::vector<int32_t> Commands(const std::vector<Arrival>& arrivals) {
        std::vector<int32_t> commands;
        for (const Arrival& arrival : arrivals) commands.push_back(arrival.command);
        return commands;
    }

    // Everything the bridge handed to worker thread 2 so far has been done.
    static void WaitForWorker2() {
        std::mutex lock;
        std::condition_variable passed;
        bool done = false;
        App()->GetThreadTaskMgr()->PostWorker2Task([&] {
            std::lock_guard<std::mutex> guard(lock);
            done = true;
            passed.notify_all();
        });
        std::unique_lock<std::mutex> wait(lock);
        ASSERT_TRUE(passed.wait_for(wait, std::chrono::seconds(30), [&] { return done; }));
    }

    static void Notify(int msg_id, const std::string& plugin) {
        const std::string payload = NamePayload(plugin);
        App()->GetNotifier()->Notify(App()->GetName(), msg_id, payload.data(), static_cast<int>(payload.size()));
    }

    fs::path root_;
};

// A reporter not yet running (load_delay, a trigger) is started by the first
// command, and that run gets OssInit before it.
TEST_F(ReporterBridgeAppTest, CommandsReachTheReporterAfterOssInit) {
    StartApp(true);
    ReporterBridge& bridge = ReporterBridge::Instance();
    bridge.ReportLog("first", "INFO");
    bridge.ReportLog("second", "WARNING");
    bridge.ReportCrash();
    bridge.BackupLocalLog(true);
    const std::vector<Arrival> arrived = WaitForArrivals(5);
    ASSERT_EQ(Commands(arrived), (std::vector<int32_t>{1, 3, 3, 4, 9}));
    EXPECT_EQ(arrived[0].data, "");
    EXPECT_TRUE(arrived[1].data.ends_with(RecordTail("first", "INFO")));
    EXPECT_TRUE(arrived[2].data.ends_with(RecordTail("second", "WARNING")));
    EXPECT_TRUE(arrived[3].data.ends_with(Le32(6) + "DM1002" + Le32(2) + "{}" + Le32(1) + std::string(1, '\0')));
    EXPECT_EQ(arrived[4].data, std::string(1, '\1'));
}

// "app" 6 for the reporter: its next run needs OssInit again, before any
// record; its "app" 5 then brings no second one. Other plugins change nothing.
TEST_F(ReporterBridgeAppTest, AnEndedReporterGetsOssInitFirstAgain) {
    StartApp(true);
    ReporterBridge& bridge = ReporterBridge::Instance();
    bridge.ReportLog("a", "INFO");
    ASSERT_EQ(Commands(WaitForArrivals(2)), (std::vector<int32_t>{1, 3}));
    Notify(Application::kAppPluginEnded, ReporterBridge::kPluginName);
    bridge.ReportLog("b", "INFO");
    ASSERT_EQ(Commands(WaitForArrivals(4)), (std::vector<int32_t>{1, 3, 1, 3}));
    Notify(Application::kAppPluginConnected, ReporterBridge::kPluginName);
    Notify(Application::kAppPluginEnded, "SomeOtherPlugin");
    Notify(Application::kAppPluginConnected, "SomeOtherPlugin");
    bridge.ReportLog("c", "INFO");
    const std::vector<Arrival> arrived = WaitForArrivals(5);
    WaitForWorker2();
    EXPECT_EQ(Commands(WaitForArrivals(5)), (std::vector<int32_t>{1, 3, 1, 3, 3}));
    EXPECT_TRUE(arrived[4].data.ends_with(RecordTail("c", "INFO")));
}

// A reporter that connects before any command gets OssInit then, once.
TEST_F(ReporterBridgeAppTest, ConnectBeforeAnyCommandSendsOssInitOnce) {
    StartApp(true);
    Notify(Application::kAppPluginConnected, ReporterBridge::kPluginName);
    ASSERT_EQ(Commands(WaitForArrivals(1)), (std::vector<int32_t>{1}));
    ReporterBridge::Instance().ReportLog("after", "ERROR");
    ASSERT_EQ(Commands(WaitForArrivals(2)), (std::vector<int32_t>{1, 3}));
    Notify(Application::kAppPluginConnected, "");  // too short for the name: ignored
    const char short_payload[] = {9, 0, 0, 0, 'E'};
    ReporterBridge::Instance().OnPluginConnected(short_payload, sizeof short_payload);
    WaitForWorker2();
    EXPECT_EQ(Commands(WaitForArrivals(2)), (std::vector<int32_t>{1, 3}));
}

// Records logged while plugins are still being created wait for the
// reporter and follow its OssInit in order; the oldest beyond the bound go.
TEST_F(ReporterBridgeAppTest, RecordsFromStartUpFollowOssInitInOrder) {
    StartApp(true, [] {
        for (int i = 1; i <= 1100; ++i) ReporterBridge::Instance().ReportLog(("early " + std::to_string(i)).c_str(), "INFO");
    });
    // Those the worker took before the reporter was published wait in the
    // bridge, the others go straight out: either way OssInit comes first.
    std::vector<Arrival> arrived;
    {
        std::unique_lock<std::mutex> wait(g_lock);
        g_changed.wait_for(wait, std::chrono::seconds(30), [] {
            return !g_arrived.empty() && g_arrived.back().data.ends_with(RecordTail("early 1100", "INFO"));
        });
        arrived = g_arrived;
    }
    ASSERT_FALSE(arrived.empty());
    EXPECT_EQ(arrived[0].command, 1);
    ASSERT_GE(arrived.size(), 1u + ReporterBridge::kMaxEarlyRecords);
    EXPECT_LE(arrived.size(), 1u + 1100);
    const size_t first = 1100 - (arrived.size() - 1) + 1;
    for (size_t i = 1; i < arrived.size(); ++i) {
        ASSERT_EQ(arrived[i].command, 3) << i;
        ASSERT_TRUE(arrived[i].data.ends_with(RecordTail("early " + std::to_string(first + i - 1), "INFO"))) << i;
    }
}

// Without a configured reporter nothing is sent and nothing is kept.
TEST_F(ReporterBridgeAppTest, WithoutAReporterNothingIsSent) {
    StartApp(false);
    ReporterBridge& bridge = ReporterBridge::Instance();
    for (int i = 0; i < 1100; ++i) bridge.ReportLog("nobody listens", "INFO");
    bridge.ReportCrash();
    bridge.BackupLocalLog(true);
    Notify(Application::kAppPluginConnected, ReporterBridge::kPluginName);
    WaitForWorker2();
    std::lock_guard<std::mutex> guard(g_lock);
    EXPECT_TRUE(g_arrived.empty()) << g_arrived.size() << " commands arrived";
}

}  // namespace
