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

}  // namespace
}  // namespace Application
