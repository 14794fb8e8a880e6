#include "framework/plugins/dll_plugin.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Application/PluginAbi.h"
#include "Application/PluginStatus.h"

#include "framework/plugins/plugin_test_app.h"
#include "framework/plugins/test_plugins/recording_plugin.h"

namespace Application {
namespace {

using plugin_test::LogLine;
using plugin_test::RecordingLog;

std::vector<std::string> What(const std::vector<recording_plugin::Event>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.what);
    return out;
}

std::vector<LogLine> Errors() {
    auto lines = RecordingLog::Take();
    std::vector<LogLine> out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out), [](const LogLine& l) { return l.level == 100; });
    return out;
}

class DllPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A parameterised test's name holds a '/': one folder, not two.
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(test.begin(), test.end(), '/', '_');
        dir_ = std::filesystem::temp_directory_path() / ("dll_plugin_test_" + std::to_string(getpid()) + "_" + test);
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "config.json").string();
        recording_plugin::Reset();
        RecordingLog::Take();
        main_thread_ = std::this_thread::get_id();
    }
    void TearDown() override {
        DestroyApplicationObject();
        std::filesystem::remove_all(dir_);
    }

    // entries: the members of each type 2 entry after "type".
    void Start(const std::vector<std::string>& entries) {
        std::string document = R"({"plugins":[)";
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i) document += ",";
            document += R"({"type":2,)" + entries[i] + "}";
        }
        document += "]}";
        std::ofstream(path_, std::ios::binary) << document;
        ASSERT_TRUE(plugin_test::StartWithConfig(path_));
    }
    static std::string Recording(const std::string& name, const std::string& more = "") {
        return R"("file":")" RECORDING_PLUGIN_PATH R"(","name":")" + name + "\"" + (more.empty() ? "" : "," + more);
    }
    static IPlugin* Get(const char* name) { return App()->GetPluginMgr()->GetPlugin(name); }
    static void Pump() { plugin_test::Tasks()->RunMainQueuePass(); }

    std::filesystem::path dir_;
    std::string path_;
    std::thread::id main_thread_;
};

TEST_F(DllPluginTest, LoadedAtCreationStartedWithTheOthersDestroyedAtShutDown) {
    Start({Recording("B"), Recording("A")});
    // B's object is made first, A is started first.
    EXPECT_EQ(What(recording_plugin::TakeEvents()),
              (std::vector<std::string>{"create 1", "create 2", "init 2", "init 1"}));
    IPlugin* a = Get("A");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->GetName(), "A");  // the configured name, not the object's own
    std::string answer;
    a->Invoke(recording_plugin::kEcho, "ping", 4, [&](const char* data, int32_t length) { answer.assign(data, length); });
    EXPECT_EQ(answer, "ping");

    // On a loaded plugin, a worker's call runs on the worker.
    std::thread::id worker_id;
    std::thread worker([&] {
        worker_id = std::this_thread::get_id();
        Get("B")->Invoke(7, "w", 1, nullptr);
    });
    worker.join();
    auto events = recording_plugin::TakeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].what, "invoke 1 7 w");
    EXPECT_EQ(events[1].thread, worker_id);
    EXPECT_EQ(plugin_test::Tasks()->Pending(), 0u);

    DestroyApplicationObject();
    EXPECT_EQ(What(recording_plugin::TakeEvents()),
              (std::vector<std::string>{"free 2", "destroy 2", "free 1", "destroy 1"}));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(DllPluginTest, DelayedLoadFromAWorkerRunsOnTheMainThreadLoadFirst) {
    Start({Recording("Late", R"("load_delay":true)")});
    EXPECT_TRUE(recording_plugin::TakeEvents().empty());

    std::atomic<bool> answered{false};
    std::thread::id answered_on;
    std::string answer;
    std::thread worker([&] {
        Get("Late")->Invoke(recording_plugin::kEcho, "from worker", 11, [&](const char* data, int32_t length) {
            answer.assign(data, length);
            answered_on = std::this_thread::get_id();
            answered = true;
        });
    });
    worker.join();  // returned at once: nothing ran on the worker
    EXPECT_TRUE(recording_plugin::TakeEvents().empty());
    EXPECT_FALSE(answered);

    Pump();
    auto events = recording_plugin::TakeEvents();
    EXPECT_EQ(What(events), (std::vector<std::string>{"create 1", "init 1", "invoke 1 1 from worker"}));
    for (const auto& e : events) EXPECT_EQ(e.thread, main_thread_) << e.what;
    ASSERT_TRUE(answered);
    EXPECT_EQ(answer, "from worker");
    EXPECT_EQ(answered_on, main_thread_);

    DestroyApplicationObject();
    EXPECT_EQ(What(recording_plugin::TakeEvents()), (std::vector<std::string>{"free 1", "destroy 1"}));
}

TEST_F(DllPluginTest, DelayedLoadOnTheMainThreadHappensInTheCall) {
    Start({Recording("Late", R"("load_delay":true)")});
    Get("Late")->Invoke(3, nullptr, 5, nullptr);
    EXPECT_EQ(What(recording_plugin::TakeEvents()), (std::vector<std::string>{"create 1", "init 1", "invoke 1 3 "}));
}

TEST_F(DllPluginTest, DelayedAndNeverCalledIsNeverLoaded) {
    Start({Recording("Idle", R"("load_delay":true)")});
    IPlugin* idle = Get("Idle");
    ASSERT_NE(idle, nullptr);
    EXPECT_TRUE(idle->Init());
    DestroyApplicationObject();
    EXPECT_TRUE(recording_plugin::TakeEvents().empty());
    EXPECT_TRUE(Errors().empty());
}

TEST_F(DllPluginTest, TriggerSentTwiceReachesTheObjectOnce) {
    Start({Recording("OnSignal", R"("startup_info":{"msg_mod":"test","msg_id":42})")});
    EXPECT_TRUE(recording_plugin::TakeEvents().empty());
    EXPECT_EQ(plugin_test::Notifier()->SubscriberCount("test", 42), 1u);

    App()->GetNotifier()->Notify("test", 42, "hello", 5);
    App()->GetNotifier()->Notify("test", 42, "again", 5);
    EXPECT_EQ(What(recording_plugin::TakeEvents()),
              (std::vector<std::string>{"create 1", "init 1", "trigger 1 42 5 hello"}));
    EXPECT_EQ(plugin_test::Notifier()->SubscriberCount("test", 42), 0u);
    Pump();
    EXPECT_TRUE(recording_plugin::TakeEvents().empty());
}

TEST_F(DllPluginTest, TriggerFromAWorkerLoadsAndDeliversOnTheMainThread) {
    Start({Recording("OnSignal", R"("startup_info":{"msg_mod":"test","msg_id":-3})")});
    std::thread worker([] {
        App()->GetNotifier()->Notify("test", -3, nullptr, 0);
        App()->GetNotifier()->Notify("test", -3, "x", 1);
    });
    worker.join();
    EXPECT_TRUE(recording_plugin::TakeEvents().empty());
    Pump();
    auto events = recording_plugin::TakeEvents();
    EXPECT_EQ(What(events), (std::vector<std::string>{"create 1", "init 1", "trigger 1 4294967293 0 "}));
    for (const auto& e : events) EXPECT_EQ(e.thread, main_thread_) << e.what;
}

TEST_F(DllPluginTest, TriggerWithoutModuleIsNotArmedAndLoadsAtOnce) {
    Start({Recording("NoModule", R"("startup_info":{"msg_id":42})"),
           Recording("NoId", R"("load_delay":true,"startup_info":{"msg_mod":"test"})")});
    EXPECT_EQ(What(recording_plugin::TakeEvents()), (std::vector<std::string>{"create 1", "init 1"}));
    EXPECT_EQ(plugin_test::Notifier()->SubscriberCount("test", 0), 0u);
}

TEST_F(DllPluginTest, TriggerNotSentIsDisarmedAtShutDown) {
    Start({Recording("OnSignal", R"("startup_info":{"msg_mod":"test","msg_id":9})")});
    EXPECT_EQ(plugin_test::Notifier()->SubscriberCount("test", 9), 1u);
    App()->GetPluginMgr()->Free();
    EXPECT_EQ(plugin_test::Notifier()->SubscriberCount("test", 9), 0u);
    App()->GetNotifier()->Notify("test", 9, nullptr, 0);
    Pump();
    EXPECT_TRUE(recording_plugin::TakeEvents().empty());
}

TEST_F(DllPluginTest, RelativePathWithoutSuffixIsFoundBesideTheExecutable) {
    Start({R"("file":"plugins/test/recording_plugin","name":"Relative")"});
    EXPECT_EQ(What(recording_plugin::TakeEvents()), (std::vector<std::string>{"create 1", "init 1"}));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(DllPluginTest, SameNameTwiceDestroysTheEarlierObjectThroughItsLibrary) {
    Start({Recording("Twin"), Recording("Twin")});
    EXPECT_EQ(What(recording_plugin::TakeEvents()),
              (std::vector<std::string>{"create 1", "create 2", "free 1", "destroy 1", "init 2"}));
    DestroyApplicationObject();
    EXPECT_EQ(What(recording_plugin::TakeEvents()), (std::vector<std::string>{"free 2", "destroy 2"}));
}

struct LoadFailureCase {
    const char* label;
    std::string file;
    std::string reason;  // part of the loader's text
};

void PrintTo(const LoadFailureCase& c, std::ostream* out) { *out << c.label; }

class DllPluginLoadFailureTest : public DllPluginTest, public ::testing::WithParamInterface<LoadFailureCase> {};

TEST_P(DllPluginLoadFailureTest, LogsTheLoaderReasonOnEveryAttemptAndDropsTheCall) {
    const LoadFailureCase& c = GetParam();
    std::string file = c.file == "absent" ? (dir_ / "absent_plugin.so").string() : c.file;
    Start({R"("file":")" + file + R"(","name":"Broken")", Recording("Good")});
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    const std::string prefix = "DllPluginCreator::CreatePlugin Error: ";
    EXPECT_EQ(errors[0].text.rfind(prefix, 0), 0u) << errors[0].text;
    EXPECT_NE(errors[0].text.find(std::filesystem::path(file).filename().string()), std::string::npos)
        << errors[0].text;
    EXPECT_NE(errors[0].text.find(" lasterr="), std::string::npos) << errors[0].text;
    EXPECT_NE(errors[0].text.find(c.reason), std::string::npos) << errors[0].text;

    // The proxy stays filed, the other plugin is unaffected.
    IPlugin* broken = Get("Broken");
    ASSERT_NE(broken, nullptr);
    EXPECT_NE(Get("Good"), nullptr);
    bool called = false;
    broken->Invoke(recording_plugin::kEcho, "x", 1, [&](const char*, int32_t) { called = true; });
    std::thread worker([&] { broken->Invoke(recording_plugin::kEcho, "y", 1, [&](const char*, int32_t) { called = true; }); });
    worker.join();
    Pump();
    EXPECT_FALSE(called);
    EXPECT_EQ(Errors().size(), 2u);
    EXPECT_EQ(What(recording_plugin::TakeEvents()), (std::vector<std::string>{"create 1", "init 1"}));
}

INSTANTIATE_TEST_SUITE_P(Loads, DllPluginLoadFailureTest,
                         ::testing::Values(LoadFailureCase{"MissingLibrary", "absent", "No such file"},
                                           LoadFailureCase{"MissingCreateObject", NOCREATE_PLUGIN_PATH,
                                                           "CreateObject"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(DllPluginTest, AfterFreeNothingLoadsAgain) {
    Start({});
    PluginConfig config;
    config.type = kPluginDll;
    config.file = RECORDING_PLUGIN_PATH;
    config.name = "Direct";
    config.load_delay = true;
    DllPluginProxy proxy(config);
    EXPECT_FALSE(proxy.IsLoadedForTesting());
    proxy.Invoke(1, "a", 1, nullptr);
    EXPECT_TRUE(proxy.IsLoadedForTesting());
    proxy.Free();
    EXPECT_FALSE(proxy.IsLoadedForTesting());
    proxy.Invoke(1, "b", 1, nullptr);
    proxy.Free();
    EXPECT_FALSE(proxy.IsLoadedForTesting());
    EXPECT_EQ(What(recording_plugin::TakeEvents()),
              (std::vector<std::string>{"create 1", "init 1", "invoke 1 1 a", "free 1", "destroy 1"}));
}

// The status row of the entry named name.
PluginStatus Row(const std::string& name) {
    for (const PluginStatus& row : GetPluginStatus())
        if (row.name == name) return row;
    ADD_FAILURE() << "no row " << name;
    return {};
}

TEST_F(DllPluginTest, TheTableFollowsEachLibraryFromCreationToStop) {
    const std::string absent = (dir_ / "absent_plugin.so").string();
    Start({Recording("B"), Recording("Late", R"("load_delay":true)"), R"("file":")" + absent + R"(","name":"Broken")"});
    auto rows = GetPluginStatus();
    ASSERT_EQ(rows.size(), 3u);
    // Configuration order, not name order.
    EXPECT_EQ(rows[0].name, "B");
    EXPECT_EQ(rows[1].name, "Late");
    EXPECT_EQ(rows[2].name, "Broken");
    for (const auto& row : rows) {
        EXPECT_EQ(row.type, kPluginDll) << row.name;
        EXPECT_EQ(row.pid, 0) << row.name;
    }
    EXPECT_EQ(rows[0].state, PluginState::kStarted);
    EXPECT_EQ(rows[0].file, RECORDING_PLUGIN_PATH);
    EXPECT_EQ(rows[1].state, PluginState::kCreated);
    EXPECT_EQ(rows[2].state, PluginState::kFailed);
    EXPECT_NE(rows[2].reason.find("No such file"), std::string::npos) << rows[2].reason;
    // Not found where named, so looked for beside the executable.
    EXPECT_TRUE(rows[2].file.ends_with(absent)) << rows[2].file;

    Get("Late")->Invoke(recording_plugin::kEcho, "x", 1, nullptr);
    EXPECT_EQ(Row("Late").state, PluginState::kStarted);

    App()->GetPluginMgr()->Free();
    for (const auto& row : GetPluginStatus()) EXPECT_EQ(row.state, PluginState::kStopped) << row.name;
    DestroyApplicationObject();
    EXPECT_TRUE(GetPluginStatus().empty()) << "rows outlived the application";
}

struct StampCase {
    const char* label;
    const char* file;
    PluginState state;
    int level;                        // of the one line about the stamp; 0: none
    std::vector<std::string> parts;   // in that line
};

void PrintTo(const StampCase& c, std::ostream* out) { *out << c.label; }

class DllPluginStampTest : public DllPluginTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(DllPluginStampTest, TheStampDecidesWhetherTheLibraryIsUsed) {
    const StampCase& c = GetParam();
    Start({R"("file":")" + std::string(c.file) + R"(","name":"Stamped")", Recording("Good")});
    const auto lines = RecordingLog::Take();
    std::vector<LogLine> about;
    for (const LogLine& line : lines)
        if (line.text.find("plugin interface version") != std::string::npos) about.push_back(line);
    if (c.level == 0) {
        EXPECT_TRUE(about.empty()) << about.front().text;
    } else {
        ASSERT_EQ(about.size(), 1u);
        EXPECT_EQ(about[0].level, c.level) << about[0].text;
        EXPECT_EQ(about[0].text.rfind("plugin 'Stamped': ", 0), 0u) << about[0].text;
        for (const std::string& part : c.parts) EXPECT_NE(about[0].text.find(part), std::string::npos) << about[0].text;
    }
    EXPECT_EQ(Row("Stamped").state, c.state);
    EXPECT_EQ(Row("Good").state, PluginState::kStarted);
    // A refused library's objects are never made, not even on a call.
    bool answered = false;
    Get("Stamped")->Invoke(recording_plugin::kEcho, "x", 1, [&](const char*, int32_t) { answered = true; });
    Pump();
    EXPECT_EQ(answered, c.state == PluginState::kStarted);
    if (c.state == PluginState::kFailed) {
        EXPECT_NE(Row("Stamped").reason.find("built for plugin interface version 9999"), std::string::npos);
        EXPECT_TRUE(RecordingLog::Take().empty()) << "the refusal is logged once";
    }
}

const std::string kHostVersion = "host has version " + std::to_string(kPluginAbiVersion);

INSTANTIATE_TEST_SUITE_P(
    Stamps, DllPluginStampTest,
    ::testing::Values(StampCase{"OwnVersion", RECORDING_PLUGIN_PATH, PluginState::kStarted, 0, {}},
                      StampCase{"OtherVersion", OTHER_ABI_PLUGIN_PATH, PluginState::kFailed, kLogError,
                                {"recording_plugin_otherabi.so", "built for plugin interface version 9999",
                                 kHostVersion, "not loaded"}},
                      StampCase{"NoStamp", NO_STAMP_PLUGIN_PATH, PluginState::kStarted, kLogWarning,
                                {"recording_plugin_nostamp.so", "carries no plugin interface version",
                                 "loading it anyway", kHostVersion}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace Application
