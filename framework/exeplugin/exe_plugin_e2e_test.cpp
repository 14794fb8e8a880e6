// The real host application object with the sample plugin executable.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Application/InnerPlugin.h"
#include "Tools/os.h"
#include "framework/exeplugin/exe_plugin_test_support.h"
#include "framework/exeplugin/host_proxy.h"
#include "framework/exeplugin/messages.h"
#include "framework/ui/ui_skin_impl.h"

namespace Application {
namespace {

using namespace ExePluginTest;
using namespace std::chrono_literals;

// A plugin filed in the host that the plugin process calls through CallPlugin.
class HostEcho final : public IPlugin {
public:
    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return "HostEcho"; }
    void Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) override {
        const std::string answer = "host " + std::to_string(command) + ": " + std::string(data, static_cast<size_t>(length));
        if (callback) callback(answer.data(), static_cast<int32_t>(answer.size()));
    }
};

class ExePluginEndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterInnerPluginType(MakeWithLibraryAllocator<InnerPluginCreator<HostEcho>>(), "HostEcho");
    }
    void TearDown() override {
        DestroyApplication();
        // No plugin process of ours outlives the host's teardown.
        EXPECT_TRUE(PumpUntil([] { return CountChildren("SampleProcess") == 0; }, 10s));
    }

    void Start(const std::string& entries) {
        ASSERT_TRUE(StartHost(tree_.WriteConfig(entries), [this](bool flag) {
            quit_calls_++;
            quit_flag_ = flag;
        }));
        announcements_.Subscribe();
        plugin_ = App()->GetPluginMgr()->GetPlugin("SampleProcess");
        ASSERT_NE(plugin_, nullptr);
    }

    std::string MustCall(int32_t command, const std::string& data = "") {
        std::optional<std::string> answer = Call(plugin_, command, data);
        EXPECT_TRUE(answer.has_value()) << "no answer to command " << command;
        return answer.value_or("");
    }

    TempTree tree_{"exe_e2e"};
    PluginAnnouncements announcements_{"SampleProcess"};
    IPlugin* plugin_ = nullptr;
    std::atomic<int> quit_calls_{0};
    std::atomic<bool> quit_flag_{true};
};

TEST_F(ExePluginEndToEndTest, CallsRoundTripAndExitAtShutDown) {
    Start("[" + SampleProcessEntry() + "]");
    // A call made before the process connected is delivered once it has.
    EXPECT_EQ(MustCall(1, "hello"), "echo: hello");
    EXPECT_EQ(announcements_.connected(), 1);
    EXPECT_EQ(announcements_.foreign(), 0) << "\"app\" 5 must carry the plugin's name";
    // Binary data and an empty payload survive the trip.
    EXPECT_EQ(MustCall(1, std::string("a\0b", 3)), std::string("echo: a\0b", 9));
    EXPECT_EQ(MustCall(1, ""), "echo: ");
    const pid_t pid = std::stoi(MustCall(4));
    EXPECT_EQ(CountChildren("SampleProcess"), 1);
    DestroyApplication();
    // Exit at shut-down: the process ends on its own, with exit code 0.
    EXPECT_TRUE(PumpUntil([&] { return kill(pid, 0) != 0; }, 10s));
}

TEST_F(ExePluginEndToEndTest, AnEndIsAnnouncedAndTheProcessRestarted) {
    Start("[" + SampleProcessEntry() + "]");
    const pid_t first = std::stoi(MustCall(4));
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(PumpUntil([&] { return announcements_.ended() >= 1; })) << "the end was not announced";
    ASSERT_TRUE(PumpUntil([&] { return announcements_.connected() >= 2; })) << "no restart";
    EXPECT_EQ(announcements_.foreign(), 0) << "\"app\" 5 and 6 must carry the plugin's name";
    const pid_t second = std::stoi(MustCall(4));
    EXPECT_NE(second, first);
    // An exit of its own (not a signal) is noticed just as well.
    plugin_->Invoke(5, nullptr, 0, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return announcements_.ended() >= 2 && announcements_.connected() >= 3; }));
    EXPECT_EQ(CountChildren("SampleProcess", true), 0) << "an ended process was left a zombie";
}

TEST_F(ExePluginEndToEndTest, WithoutEnsureProcessTheNextCallStartsItAgain) {
    Start("[" + SampleProcessEntry(R"("ensure_process": false)") + "]");
    const pid_t first = std::stoi(MustCall(4));
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(PumpUntil([&] { return announcements_.ended() == 1; }));
    EXPECT_EQ(announcements_.connected(), 1);
    // The end may be announced (connection closed) just before the reaper collects the child.
    EXPECT_TRUE(PumpUntil([] { return CountChildren("SampleProcess") == 0; }, 10s)) << "no restart without ensure_process";
    const pid_t second = std::stoi(MustCall(4));
    EXPECT_NE(second, first);
    EXPECT_EQ(announcements_.connected(), 2);
}

TEST_F(ExePluginEndToEndTest, LoadDelayStartsAtTheFirstCallAndTheProcessGetsTheHostSkinState) {
    Start("[" + SampleProcessEntry(R"("load_delay": true)") + "]");
    PumpUntil([] { return false; }, 200ms);
    EXPECT_EQ(CountChildren("SampleProcess"), 0) << "load_delay: no process before the first call";
    // Give the host a package list the process cannot derive on its own: only
    // the state snapshot sent at start can bring it there.
    auto* skin = dynamic_cast<UISkinImpl*>(App()->GetUISkin());
    ASSERT_NE(skin, nullptr);
    ExePlugin::PayloadWriter state;
    state.U32(2).Text("/host/skins/Light.rcc").Text("/host/skins/Dark.rcc");
    skin->LoadState(state.Take());
    ASSERT_STREQ(skin->GetSkinPath(0), "/host/skins/Light.rcc");
    const std::string own_base = skin->GetBaseSkinPath();
    EXPECT_TRUE(PumpUntil([&] { return Call(plugin_, 7, "") == "0|/host/skins/Light.rcc|" + own_base; }));
    EXPECT_EQ(announcements_.connected(), 1);
    // A later skin change in the host reaches a subscriber in the process.
    EXPECT_EQ(MustCall(8, "app|3"), "subscribed");
    skin->SetSkinIndex(1);
    EXPECT_TRUE(PumpUntil([&] {
        const std::string deliveries = Call(plugin_, 9, "").value_or("");
        return deliveries.find("/host/skins/Dark.rcc") != std::string::npos;
    }));
}

TEST_F(ExePluginEndToEndTest, ATriggerSentThreeTimesStartsOneProcessThatSeesThreeCommands) {
    Start("[" + SampleProcessEntry(R"("startup_info": {"msg_mod": "", "msg_id": 7})") + "]");
    PumpUntil([] { return false; }, 100ms);
    EXPECT_EQ(CountChildren("SampleProcess"), 0) << "a trigger entry waits for its notification";
    for (int i = 0; i < 3; ++i) App()->GetNotifier()->Notify("", 7, "go", 2);
    EXPECT_TRUE(PumpUntil([&] { return Call(plugin_, 6, "") == "3"; }));
    EXPECT_EQ(announcements_.connected(), 1);
    EXPECT_EQ(CountChildren("SampleProcess"), 1);
}

TEST_F(ExePluginEndToEndTest, ThePluginProcessCallsHostPluginsAndNotifiesBothWays) {
    Start("[" + SampleProcessEntry() + R"(, {"type": 1, "name": "HostEcho"}])");
    EXPECT_EQ(MustCall(2, "HostEcho|ping"), "host 1: ping");

    // The process's notification reaches host subscribers under the plugin's configured name.
    auto seen = std::make_shared<Answer>();
    App()->GetNotifier()->Subscribe("SampleProcess", 100, [seen](unsigned, const char* data, int length) {
        std::lock_guard<std::mutex> guard(seen->lock);
        seen->text = std::string(data, static_cast<size_t>(length));
    });
    EXPECT_EQ(MustCall(3, "news"), "sent");
    EXPECT_TRUE(PumpUntil([&] { return seen->arrived(); }));
    EXPECT_EQ(seen->get(), "news");

    // A subscription made in the process receives host notifications once the answer is back.
    EXPECT_EQ(MustCall(8, "Host|42"), "subscribed");
    App()->GetNotifier()->Notify("Host", 42, "one", 3);
    App()->GetNotifier()->Notify("Host", 41, "other id", 8);
    App()->GetNotifier()->Notify("Host", 42, "two", 3);
    EXPECT_TRUE(PumpUntil([&] { return Call(plugin_, 9, "") == "one;two;"; }));
}

TEST_F(ExePluginEndToEndTest, TheProcessGetsItsNameHostPidAndTheWholeConfiguredCommandLine) {
    const std::string long_value(700, 'v');
    Start("[" + SampleProcessEntry(R"("ensure_process": true, "cmdline": "-first=1 -long=)" + long_value + R"( -last=end")") + "]");
    EXPECT_EQ(MustCall(11, "plugin_name"), "SampleProcess");
    EXPECT_EQ(MustCall(11, "pid"), std::to_string(getpid()));
    EXPECT_EQ(MustCall(11, "first"), "1");
    EXPECT_EQ(MustCall(11, "long"), long_value) << "the command line must not be cut";
    EXPECT_EQ(MustCall(11, "last"), "end");
}

TEST_F(ExePluginEndToEndTest, QuittingFromThePluginProcessQuitsTheHost) {
    Start("[" + SampleProcessEntry() + "]");
    EXPECT_EQ(MustCall(10), "quitting");
    EXPECT_TRUE(PumpUntil([&] { return quit_calls_ == 1; }));
    EXPECT_FALSE(quit_flag_);
}

// An executable that cannot be started follows the same back-off as a crash
// loop, with the designed error line for each attempt.
TEST(ExePluginStartFailureTest, AnExecutableThatCannotStartIsRetriedWithBackOff) {
    ExePlugin::ExePluginHostProxy::BackoffPolicy policy;
    policy.first_ms = 5;
    policy.max_ms = 20;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(policy);
    TempTree tree("exe_missing");
    ASSERT_TRUE(StartHost(tree.WriteConfig(
        R"([{"type": 3, "name": "Missing", "file": "Missing", "plugin_process": "plugins/NoSuchProgram", "ensure_process": true}])")));
    std::mutex lock;
    std::vector<std::string> lines;
    SetLogCallback(kLogError, [&](const char* message, const char*) {
        std::lock_guard<std::mutex> guard(lock);
        lines.emplace_back(message);
    });
    PluginAnnouncements announcements("Missing");
    announcements.Subscribe();
    EXPECT_TRUE(PumpUntil([&] { return announcements.ended() >= 5; })) << "each failed start is an end";
    EXPECT_EQ(announcements.connected(), 0);
    SetLogCallback(kLogError, nullptr);
    DestroyApplication();
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting({});
    std::lock_guard<std::mutex> guard(lock);
    int start_errors = 0;
    std::vector<std::string> next_starts;
    for (const std::string& line : lines) {
        if (line.find("os_create_process: error:") == 0 && line.find("NoSuchProgram") != std::string::npos) ++start_errors;
        const size_t at = line.find("next start in ");
        if (line.find("plugin process 'Missing' ended (could not be started)") == 0 && at != std::string::npos)
            next_starts.push_back(line.substr(at));
    }
    EXPECT_GE(start_errors, 5);
    ASSERT_GE(next_starts.size(), 4u);
    EXPECT_EQ(next_starts[0], "next start in 0 ms");
    EXPECT_EQ(next_starts[1], "next start in 5 ms");
    EXPECT_EQ(next_starts[2], "next start in 10 ms");
    EXPECT_EQ(next_starts[3], "next start in 20 ms");
}

// A host that stops answering pings: the plugin process quits on its own,
// cleanly, while the connection itself stays open.
TEST(ExePluginWatchTest, APluginProcessQuitsWhenTheHostStopsAnsweringPings) {
    TempTree tree("exe_watch");
    ASSERT_TRUE(StartHost(tree.WriteConfig("[]")));
    IIPCHost* endpoint = App()->GetIPCMgr()->CreateHost();
    ASSERT_NE(endpoint, nullptr);
    std::atomic<int> pings{0};
    std::atomic<bool> answering{true};
    std::atomic<bool> connected{false};
    endpoint->SetConnectCallback([&](bool up) { connected = up; });
    endpoint->SetRecvCallback([&](const char* data, int length) {
        int32_t id = 0;
        std::string_view payload;
        if (!ExePlugin::DecodeFrame(data, length, id, payload) || id != ExePlugin::kPing) return;
        ++pings;
        if (answering) {
            const std::string pong = ExePlugin::Frame(ExePlugin::kPong, "");
            endpoint->Send(pong.data(), static_cast<int>(pong.size()));
        }
    });
    endpoint->Init();
    char cmdline[1024] = {};
    endpoint->GetCmdLine(cmdline, sizeof cmdline);
    char executable[1024] = {};
    ASSERT_GT(Tools::os_get_executable_path(executable, sizeof executable, "plugins/SampleProcess"), 0);
    const std::string command =
        std::string(cmdline) + " -plugin_name=SampleProcess -pid=" + std::to_string(getpid());
    char error[4096] = {};
    Tools::os_process_t process = Tools::os_create_process(executable, command.c_str(), error);
    ASSERT_NE(process, nullptr) << error;

    // Answered pings keep it running. (Without the watch it would run on
    // forever: we keep the connection open.)
    ASSERT_TRUE(PumpUntil([&] { return pings >= 2; }, 20s)) << "no pings";
    EXPECT_TRUE(Tools::os_process_exists(process));
    answering = false;
    const int pings_before = pings;
    EXPECT_TRUE(PumpUntil([&] { return !Tools::os_process_exists(process); }, 20s)) << "still running";
    EXPECT_EQ(pings, pings_before + 1) << "it sends no second ping while one is unanswered";
    int code = -1, signal_number = -1;
    ASSERT_TRUE(Tools::os_process_exit_status(process, &code, &signal_number));
    EXPECT_EQ(signal_number, 0);
    EXPECT_EQ(code, 0);
    Tools::os_close_process(process);
    App()->GetIPCMgr()->DestroyHost(endpoint);
    DestroyApplication();
}

// A host killed with SIGKILL: its plugin process notices the lost
// connection and quits. We adopt the orphan to see it end and to reap it.
TEST(ExePluginOrphanTest, AKilledHostLeavesNoPluginProcessBehind) {
    TempTree tree("exe_orphan");
    const std::string config = tree.WriteConfig("[" + SampleProcessEntry() + "]");
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    char host_path[1024] = {};
    ASSERT_GT(Tools::os_get_executable_path(host_path, sizeof host_path, "exeplugin_test_host"), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(host_path, host_path, config.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    ASSERT_FALSE(line.empty()) << "the test host did not report its plugin process";
    const pid_t plugin = std::stoi(line);
    ASSERT_EQ(kill(host, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    // The orphan is ours now; it must end by itself.
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        ended = waitpid(plugin, &status, WNOHANG) == plugin;
        if (!ended) std::this_thread::sleep_for(5ms);
    }
    if (!ended) {
        kill(plugin, SIGKILL);
        waitpid(plugin, &status, 0);
    }
    EXPECT_TRUE(ended) << "the plugin process outlived its killed host";
    if (ended) {
        EXPECT_TRUE(WIFEXITED(status)) << "it should quit, not be killed";
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// Started by hand, without a host: no connection will ever report, so the
// process says why in its log and quits instead of waiting forever.
TEST(ExePluginStandaloneTest, APluginExecutableStartedWithoutAHostQuits) {
    TempTree tree("exe_standalone");
    char executable[1024] = {};
    ASSERT_GT(Tools::os_get_executable_path(executable, sizeof executable, "plugins/SampleProcess"), 0);
    char error[4096] = {};
    Tools::os_process_t process = Tools::os_create_process(executable, "-plugin_name=SampleProcess", error);
    ASSERT_NE(process, nullptr) << error;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (Tools::os_process_exists(process) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    int code = -1, signal_number = -1;
    ASSERT_TRUE(Tools::os_process_exit_status(process, &code, &signal_number)) << "it did not quit";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(signal_number, 0);
    Tools::os_close_process(process);
    std::string log;
    for (const auto& entry : fs::directory_iterator(tree.root() / "VelmoraData" / "logs")) {
        std::ifstream in(entry.path());
        log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(log.find("started without the host's connection switch -ipc_cmd_info"), std::string::npos) << log;
}

}  // namespace
}  // namespace Application
