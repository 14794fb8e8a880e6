// The real host application object with the sample plugin executable, and a
// hostile peer of another local user that poses as the plugin process.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

#include "framework/exeplugin/exe_plugin_test_support.h"
#include "framework/exeplugin/messages.h"
#include "framework/ipc/foreign_user_process.h"

namespace Application {
namespace {

using namespace ExePluginTest;
using namespace std::chrono_literals;
namespace ipct = ipc::testing;

std::string TestBinaryDir() {
    char path[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string exe(path, length > 0 ? static_cast<size_t>(length) : 0);
    return exe.substr(0, exe.rfind('/'));
}

// The configuration names programs relative to the host's own directory.
std::string RelativeToTestBinary(const std::string& absolute) {
    std::string up;
    const std::string dir = TestBinaryDir();
    for (char c : dir)
        if (c == '/') up += "../";
    return up + absolute.substr(1);
}

// One IPC frame carrying a message with an empty payload.
std::string WireFrame(int32_t id) {
    const std::string message = ExePlugin::Frame(id, "");
    ExePlugin::PayloadWriter prefix;
    prefix.U32(static_cast<uint32_t>(message.size()));
    return prefix.Take() + message;
}

// The plugin process is started through a small script named like it that
// waits at a gate before it becomes the real program, so the hostile peer
// can read the id from its command line and connect first.
class ExePluginForeignUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = ipct::ForeignUserUnavailable(); !why.empty()) GTEST_SKIP() << why;
        const fs::path held = tree_.root() / "held";
        fs::create_directories(held);
        gate_ = (tree_.root() / "gate").string();
        ASSERT_EQ(::mkfifo(gate_.c_str(), 0600), 0);
        const fs::path script = held / "SampleProcess";
        std::ofstream(script) << "#!/bin/sh\nread go < '" << gate_ << "'\nexec '" << TestBinaryDir()
                              << "/plugins/SampleProcess' \"$@\"\n";
        fs::permissions(script, fs::perms::owner_all);
        // The foreign user reads /proc/<pid>/cmdline, which needs no access to the tree.
        const std::string entry = R"({"type": 3, "name": "SampleProcess", "file": "SampleProcess", "plugin_process": ")" +
                                  RelativeToTestBinary(script.string()) + R"(", "ensure_process": true})";
        ASSERT_TRUE(StartHost(tree_.WriteConfig("[" + entry + "]"), [this](bool) { ++quit_calls_; }));
        started_ = true;
        announcements_.Subscribe();
        plugin_ = App()->GetPluginMgr()->GetPlugin("SampleProcess");
        ASSERT_NE(plugin_, nullptr);
    }
    void TearDown() override {
        if (!started_) return;
        OpenGate();
        DestroyApplication();
        EXPECT_TRUE(PumpUntil([] { return CountChildren("SampleProcess") == 0; }, 10s));
    }

    // Lets the held process become the plugin process; once.
    bool OpenGate() {
        if (gate_opened_) return true;
        int fd = -1;
        // Only a writer that finds the script waiting can open without blocking.
        PumpUntil([&] {
            fd = ::open(gate_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0;
        }, 10s);
        if (fd < 0) return false;
        const bool written = ::write(fd, "go\n", 3) == 3;
        ::close(fd);
        gate_opened_ = written;
        return written;
    }

    TempTree tree_{"exe_foreign"};
    std::string gate_;
    bool gate_opened_ = false;
    bool started_ = false;
    PluginAnnouncements announcements_{"SampleProcess"};
    IPlugin* plugin_ = nullptr;
    std::atomic<int> quit_calls_{0};
};

TEST_F(ExePluginForeignUserTest, AnotherUserPosingAsThePluginProcessIsNeverHeard) {
    ASSERT_TRUE(PumpUntil([] { return CountChildren("SampleProcess") == 1; }));
    const pid_t held = Children().front().pid;
    int port = 0;
    {
        std::ifstream cmdline("/proc/" + std::to_string(held) + "/cmdline");
        const std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        const size_t at = text.find("&port=");
        ASSERT_NE(at, std::string::npos) << "no connection switch in the plugin process's command line";
        port = std::stoi(text.substr(at + 6));
    }
    const std::string frames =
        WireFrame(ExePlugin::kQuitApp) + WireFrame(ExePlugin::kProcessExited) + WireFrame(ExePlugin::kConnected);

    // The peer reads the endpoint id from the held process's command line itself.
    ipct::ForeignUserProcess foreign;
    ASSERT_TRUE(foreign.Start({"present", std::to_string(port), "pid:" + std::to_string(held), ipct::Hex(frames)}));
    EXPECT_EQ(foreign.Report(), 'X') << "the host kept another user's connection";
    EXPECT_EQ(foreign.Wait(), 0) << "2: no id in the command line, 3: no connection, 100: could not drop to 65534";
    EXPECT_EQ(announcements_.connected(), 0) << "another user's connection was taken for the plugin process";

    ASSERT_TRUE(OpenGate());
    const std::optional<std::string> pid = Call(plugin_, 4, "");
    ASSERT_TRUE(pid.has_value()) << "the real plugin process did not answer";
    EXPECT_EQ(std::stoi(*pid), held) << "a second plugin process answered";
    EXPECT_EQ(Call(plugin_, 1, "hello").value_or(""), "echo: hello");
    EXPECT_EQ(quit_calls_.load(), 0) << "the forged QuitApp quit the host";
    EXPECT_EQ(announcements_.connected(), 1);
    EXPECT_EQ(announcements_.ended(), 0) << "the forged ProcessExited was announced";
    EXPECT_EQ(announcements_.foreign(), 0);
    EXPECT_EQ(CountChildren("SampleProcess"), 1) << "a second plugin process was started";
}

// Another user's idle connections take no place at the host: a plugin
// process killed and restarted during the flood connects and answers at once.
TEST(ExePluginForeignFloodTest, ARestartedPluginProcessAnswersWithinFiveSecondsDuringTheFlood) {
    if (const std::string why = ipct::ForeignUserUnavailable(); !why.empty()) GTEST_SKIP() << why;
    constexpr int kFlood = 1000;
    TempTree tree("exe_flood");
    ASSERT_TRUE(StartHost(tree.WriteConfig("[" + SampleProcessEntry() + "]")));
    PluginAnnouncements announcements("SampleProcess");
    announcements.Subscribe();
    IPlugin* plugin = App()->GetPluginMgr()->GetPlugin("SampleProcess");
    ASSERT_NE(plugin, nullptr);
    const std::optional<std::string> first = Call(plugin, 4, "");
    ASSERT_TRUE(first.has_value());
    int port = 0;
    {
        std::ifstream cmdline("/proc/" + *first + "/cmdline");
        const std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        const size_t at = text.find("&port=");
        ASSERT_NE(at, std::string::npos);
        port = std::stoi(text.substr(at + 6));
    }
    const int descriptors_before = OpenDescriptors();

    auto foreign = std::make_unique<ipct::ForeignUserProcess>();
    ASSERT_TRUE(foreign->Start({"flood", std::to_string(port), std::to_string(kFlood)}));
    ASSERT_EQ(foreign->Report(), 'F');
    ASSERT_EQ(::kill(std::stoi(*first), SIGKILL), 0);
    // A call made before the end is noticed would go down with the old process.
    ASSERT_TRUE(PumpUntil([&] { return announcements.connected() >= 2; }, 5s))
        << "the restarted plugin process did not connect within 5 s";
    const std::optional<std::string> second = Call(plugin, 4, "", 5s);
    ASSERT_TRUE(second.has_value()) << "the restarted plugin process did not answer within 5 s";
    EXPECT_NE(*second, *first);
    EXPECT_EQ(announcements.connected(), 2);
    EXPECT_EQ(announcements.ended(), 1);

    foreign->Tell('q');
    EXPECT_EQ(foreign->Wait(), 0);
    foreign.reset();
    EXPECT_TRUE(PumpUntil([&] { return OpenDescriptors() <= descriptors_before; }, 10s))
        << OpenDescriptors() << " descriptors open, " << descriptors_before << " before the flood";
    DestroyApplication();
    EXPECT_TRUE(PumpUntil([] { return CountChildren("SampleProcess") == 0; }, 10s));
}

}  // namespace
}  // namespace Application
