#include "framework/core/application_impl.h"
#include "framework/core/test_components.h"

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace Application {
namespace {

// Everything the components and callbacks do lands here, in order.
std::vector<std::string>& Events() {
    static std::vector<std::string> events;
    return events;
}
void Record(const std::string& event) { Events().push_back(event); }

// Which component's Init fails, by name; empty for none.
std::string& FailingInit() {
    static std::string name;
    return name;
}

// Init/Free/destructor bookkeeping shared by every test component.
template <class Interface>
class Recorded : public Interface {
public:
    explicit Recorded(const char* name) : name_(name) {}
    ~Recorded() override { Record(std::string("~") + name_); }
    bool Init() override {
        Record(std::string("Init ") + name_);
        return FailingInit() != name_;
    }
    void Free() override { Record(std::string("Free ") + name_); }

private:
    const char* name_;
};

class TestNotifier final : public Recorded<INotifier> {
public:
    TestNotifier() : Recorded("Notifier") {}
    uintptr_t Subscribe(const char* module, int id, NotifyCallback callback) override {
        subscribers_.push_back({module, id, std::move(callback)});
        return subscribers_.size();
    }
    void Unsubscribe(const char*, int, uintptr_t) override {}
    void Notify(const char* module, int id, const char* data, int length) override {
        Record(std::string("Notify ") + module + " " + std::to_string(id));
        for (size_t i = 0; i < subscribers_.size(); ++i) {
            if (subscribers_[i].module == module && subscribers_[i].id == id)
                subscribers_[i].callback(static_cast<unsigned>(i + 1), data, length);
        }
    }

private:
    struct Subscriber {
        std::string module;
        int id;
        NotifyCallback callback;
    };
    std::vector<Subscriber> subscribers_;
};

class TestAppPath final : public test_components::EmptyAppPath<Recorded<IAppPath>> {
public:
    TestAppPath() : EmptyAppPath("AppPath") {}
};

// Records the thread that ran Init as the main thread and keeps a plain
// main-thread queue, which is all the application object relies on.
class TestTasks final : public test_components::MainQueueTasks<Recorded<IThreadTaskMgr>> {
public:
    TestTasks() : MainQueueTasks("ThreadTaskMgr") {}
};

class TestTimeMgr final : public Recorded<ITimeMgr> {
public:
    TestTimeMgr() : Recorded("TimeMgr") {}
    ITime* GetProcessTime() override { return nullptr; }
    ITime* GetSharedTime() override { return nullptr; }
    ITime* GetTimeById(int) override { return nullptr; }
};

class TestLog final : public Recorded<ILog> {
public:
    TestLog() : Recorded("Log") {}
    void Write(int level, const char* format, ...) override {
        char buffer[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        Record("Log " + std::to_string(level) + " " + buffer);
    }
    void SetGeneralCallback(LogCallback) { Record("SetGeneralCallback"); }
    void SetLevelCallback(int level, LevelLogCallback) { Record("SetLevelCallback " + std::to_string(level)); }
};

class TestIPCMgr final : public Recorded<IIPCMgr> {
public:
    TestIPCMgr() : Recorded("IPCMgr") {}
    IIPCHost* CreateHost() override { return nullptr; }
    IIPCClient* CreateClient() override { return nullptr; }
    void DestroyHost(IIPCHost*) override {}
    void DestroyClient(IIPCClient*) override {}
};

class TestUISkin final : public Recorded<IUISkin> {
public:
    TestUISkin() : Recorded("UISkin") {}
    void SetSkinIndex(int) override {}
    int GetSkinIndex() override { return 0; }
    const char* GetSkinPath(int) override { return ""; }
    const char* GetBaseSkinPath() override { return ""; }
};

class TestTranslate final : public Recorded<ITranslate> {
public:
    TestTranslate() : Recorded("Translate") {}
    void LoadFile(const char*) override {}
    void LoadText(const char*) override {}
    const char* Lookup(const char*) override { return nullptr; }
};

class TestData final : public Recorded<IData> {
public:
    TestData() : Recorded("Data") {}
    void Visit(DataVisitCallback) override {}
};

class TestAppUtil final : public Recorded<IApplicationUtil> {
public:
    TestAppUtil() : Recorded("ApplicationUtil") {}
    void QuitApplication() override {}
};

// Reads a switch in its Init, to show parsing happens before start-up.
class TestPluginMgr final : public Recorded<IPluginMgr> {
public:
    TestPluginMgr() : Recorded("PluginMgr") {}
    bool Init() override {
        char value[32] = {};
        App()->GetCmdLineMgr()->GetValue("probe", value, sizeof value);
        Record(std::string("PluginMgr sees probe=") + value);
        return Recorded::Init();
    }
    IPlugin* GetPlugin(const char*) override { return nullptr; }
};

template <int kHost>
using TestApp = ApplicationImpl<kHost, TestNotifier, TestAppPath, TestTasks, TestTimeMgr, TestLog, TestIPCMgr,
                                TestUISkin, TestTranslate, TestData, TestAppUtil, TestPluginMgr>;

const std::vector<std::string> kOrder = {"Notifier", "AppPath", "ThreadTaskMgr", "TimeMgr",
                                         "Log",      "IPCMgr",  "UISkin",        "Translate",
                                         "Data",     "ApplicationUtil", "PluginMgr"};

class ApplicationLifeCycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        Events().clear();
        FailingInit().clear();
    }
    void TearDown() override {
        DestroyApplicationObject();
        EXPECT_EQ(App(), nullptr);
    }

    bool Make(ComponentCallback on_component = nullptr, QuitHandler on_quit = nullptr, int host = 1) {
        std::string probe = "-probe=42";
        char* argv[] = {const_cast<char*>("prog"), probe.data()};
        if (!on_component) on_component = [](InterfaceBase*) { return true; };
        if (!on_quit) on_quit = [](bool flag) { Record(std::string("quit ") + (flag ? "true" : "false")); };
        if (host)
            return MakeApplication<TestApp<1>>(2, argv, std::move(on_component), std::move(on_quit),
                                               "MakeNomalApplication");
        return MakeApplication<TestApp<0>>(2, argv, std::move(on_component), std::move(on_quit),
                                           "MakeProxyApplication");
    }

    static std::vector<InterfaceBase*> Accessors() {
        IApplication* app = App();
        return {app->GetNotifier(),  app->GetAppPath(), app->GetThreadTaskMgr(), app->GetTimeMgr(),
                app->GetLog(),       app->GetIPCMgr(),  app->GetUISkin(),        app->GetTranslate(),
                app->GetData(),      app->GetApplicationUtil(), app->GetPluginMgr()};
    }

    static std::vector<std::string> EventsStartingWith(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& e : Events())
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        return out;
    }
};

TEST_F(ApplicationLifeCycleTest, StartsInOrderAndCallsBackWithTheAccessorPointers) {
    EXPECT_EQ(App(), nullptr);
    std::vector<InterfaceBase*> seen;
    ASSERT_TRUE(Make([&](InterfaceBase* component) {
        EXPECT_NE(App(), nullptr);  // already the singleton while components start
        seen.push_back(component);
        Record("callback");
        return true;
    }));
    EXPECT_EQ(seen, Accessors());

    std::vector<std::string> expected;
    for (const auto& name : kOrder) {
        if (name == "PluginMgr") expected.push_back("PluginMgr sees probe=42");
        expected.push_back("Init " + name);
        expected.push_back("callback");
    }
    expected.push_back("Notify app 1");
    expected.push_back("Log 300 MakeNomalApplication");
    EXPECT_EQ(Events(), expected);
}

TEST_F(ApplicationLifeCycleTest, CallbackFalseAtThirdComponentStopsStartUp) {
    int calls = 0;
    EXPECT_FALSE(Make([&](InterfaceBase*) { return ++calls < 3; }));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(EventsStartingWith("Init "),
              (std::vector<std::string>{"Init Notifier", "Init AppPath", "Init ThreadTaskMgr"}));
    EXPECT_TRUE(EventsStartingWith("Notify").empty());
    // The creation line is still written, and every accessor is non-null.
    EXPECT_EQ(Events().back(), "Log 300 MakeNomalApplication");
    for (InterfaceBase* component : Accessors()) EXPECT_NE(component, nullptr);

    Events().clear();
    DestroyApplicationObject();
    std::vector<std::string> frees = EventsStartingWith("Free ");
    // The thread manager is stopped first, then everything in reverse order.
    std::vector<std::string> expected = {"Free ThreadTaskMgr"};
    for (auto it = kOrder.rbegin(); it != kOrder.rend(); ++it) expected.push_back("Free " + *it);
    EXPECT_EQ(frees, expected);
    EXPECT_EQ(EventsStartingWith("~").size(), kOrder.size());
}

TEST_F(ApplicationLifeCycleTest, FailingComponentInitStopsStartUp) {
    FailingInit() = "TimeMgr";
    int calls = 0;
    EXPECT_FALSE(Make([&](InterfaceBase*) { return ++calls > 0; }));
    EXPECT_EQ(calls, 3);  // no callback for the component that failed
    EXPECT_EQ(EventsStartingWith("Init ").size(), 4u);
}

TEST_F(ApplicationLifeCycleTest, SecondCreationChangesNothing) {
    ASSERT_TRUE(Make());
    IApplication* first = App();
    Events().clear();
    bool second_callback_ran = false;
    EXPECT_FALSE(Make([&](InterfaceBase*) { return second_callback_ran = true; }));
    EXPECT_FALSE(second_callback_ran);
    EXPECT_TRUE(Events().empty());  // no log line, no component touched
    EXPECT_EQ(App(), first);
}

TEST_F(ApplicationLifeCycleTest, StartAndShutDownNotificationsComeAtTheRightMoment) {
    ASSERT_TRUE(Make([](InterfaceBase* component) {
        if (component == App()->GetNotifier()) {
            App()->GetNotifier()->Subscribe("app", 1, [](unsigned, const char*, int) { Record("got 1"); });
            App()->GetNotifier()->Subscribe("app", 2, [](unsigned, const char* data, int length) {
                EXPECT_EQ(data, nullptr);
                EXPECT_EQ(length, 0);
                Record("got 2");
            });
        }
        Record("callback");
        return true;
    }));
    // Message 1 follows the last component callback.
    auto it = std::find(Events().begin(), Events().end(), "got 1");
    ASSERT_NE(it, Events().end());
    EXPECT_EQ(*(it - 2), "callback");
    EXPECT_EQ(*(it - 1), "Notify app 1");

    Events().clear();
    DestroyApplicationObject();
    ASSERT_GE(Events().size(), 4u);
    EXPECT_EQ(Events()[0], "Log 300 DestroyApplicaiton");
    EXPECT_EQ(Events()[1], "Notify app 2");
    EXPECT_EQ(Events()[2], "got 2");
    EXPECT_EQ(Events()[3], "Free ThreadTaskMgr");
}

TEST_F(ApplicationLifeCycleTest, NameHostFlagAndStableAccessors) {
    ASSERT_TRUE(Make());
    EXPECT_STREQ(App()->GetName(), "app");
    EXPECT_TRUE(App()->IsHost());
    EXPECT_EQ(App()->GetCmdLineMgr(), App()->GetCmdLineMgr());
    EXPECT_EQ(Accessors(), Accessors());
    DestroyApplicationObject();

    ASSERT_TRUE(Make(nullptr, nullptr, 0));
    EXPECT_STREQ(App()->GetName(), "app");
    EXPECT_FALSE(App()->IsHost());
    EXPECT_EQ(Events().back(), "Log 300 MakeProxyApplication");
}

TEST_F(ApplicationLifeCycleTest, QuitFromMainThreadIsSynchronous) {
    ASSERT_TRUE(Make());
    Events().clear();
    App()->Quit(false);
    EXPECT_EQ(Events(), std::vector<std::string>{"quit false"});

    App()->SetQuitHandler([](bool flag) { Record(std::string("new handler ") + (flag ? "true" : "false")); });
    App()->Quit(true);
    EXPECT_EQ(Events().back(), "new handler true");
}

TEST_F(ApplicationLifeCycleTest, QuitFromWorkerRunsAtNextPump) {
    ASSERT_TRUE(Make());
    Events().clear();
    std::thread worker([] { App()->Quit(true); });
    worker.join();
    EXPECT_TRUE(Events().empty());  // not called on the worker
    detail::AppHooksSingleton()->RunMainQueuePass();
    EXPECT_EQ(Events(), std::vector<std::string>{"quit true"});
}

TEST_F(ApplicationLifeCycleTest, SetQuitHandlerFromWorkerTakesEffectOnMainThread) {
    ASSERT_TRUE(Make());
    Events().clear();
    std::thread worker([] { App()->SetQuitHandler([](bool) { Record("replaced"); }); });
    worker.join();
    App()->Quit(false);
    EXPECT_EQ(Events().back(), "quit false");  // not replaced yet
    detail::AppHooksSingleton()->RunMainQueuePass();
    App()->Quit(false);
    EXPECT_EQ(Events().back(), "replaced");
}

TEST_F(ApplicationLifeCycleTest, EmptyQuitCallbackThrowsOnMainThread) {
    std::string probe = "-probe=1";
    char* argv[] = {probe.data()};
    ASSERT_TRUE(MakeApplication<TestApp<1>>(1, argv, [](InterfaceBase*) { return true; }, QuitHandler(),
                                            "MakeNomalApplication"));
    EXPECT_THROW(App()->Quit(false), std::bad_function_call);
}

TEST_F(ApplicationLifeCycleTest, LogHooksReachTheLogComponent) {
    ASSERT_TRUE(Make());
    Events().clear();
    detail::AppHooksSingleton()->SetGeneralLogCallback([](const char*) {});
    detail::AppHooksSingleton()->SetLevelLogCallback(200, [](const char*, const char*) {});
    detail::AppHooksSingleton()->StopLog();
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"SetGeneralCallback", "SetLevelCallback 200", "Free Log"}));
}

}  // namespace
}  // namespace Application
