#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "tools/os_process_p.h"
#include "tools/os_test_util.h"
#include "tools/process_test_util.h"

namespace {

using namespace Tools;
using Tools::testing::ReadText;
using Tools::testing::TempDir;
namespace fs = std::filesystem;

// Waits for a condition with a generous deadline.
bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool WaitForEnd(os_process_t process) {
    pollfd entry{os_process_wait_fd(process), POLLIN, 0};
    return entry.fd >= 0 && ::poll(&entry, 1, 20000) == 1;
}

std::string Helper() {
    char path[4096];
    return os_get_executable_path(path, sizeof(path), "tools_os_child_helper") > 0 ? path : "";
}

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// Children of this process that have ended but were not reaped.
int Zombies() {
    int zombies = 0;
    const pid_t self = ::getpid();
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
        const std::string stat = ReadText(entry.path() / "stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == self && state == 'Z')
            ++zombies;
    }
    return zombies;
}

struct SplitCase {
    const char* line;
    std::vector<std::string> arguments;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, BlanksQuotesAndEscapes) {
    EXPECT_EQ(detail::SplitCommandLine(GetParam().line), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitCommandLineTest,
    ::testing::Values(SplitCase{"", {}}, SplitCase{nullptr, {}}, SplitCase{"  a   b\tc ", {"a", "b", "c"}},
                      SplitCase{"-ipc_cmd_info=ipcid=1&ip=127.0.0.1&port=5 -plugin_name=x -pid=9",
                                {"-ipc_cmd_info=ipcid=1&ip=127.0.0.1&port=5", "-plugin_name=x", "-pid=9"}},
                      SplitCase{"\"two words\" one", {"two words", "one"}},
                      SplitCase{"a\"b c\"d", {"ab cd"}}, SplitCase{"\"\" x", {"", "x"}},
                      SplitCase{"say \\\"hi\\\"", {"say", "\"hi\""}},
                      SplitCase{"C:\\dir\\file \"C:\\a b\\\"\"", {"C:\\dir\\file", "C:\\a b\""}},
                      SplitCase{"\"unclosed quote", {"unclosed quote"}}));

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        helper_ = Helper();
        ASSERT_TRUE(fs::exists(helper_)) << helper_;
    }
    std::string helper_;
    TempDir dir_;
};

TEST_F(ProcessTest, ArgumentsArriveSplit) {
    const std::string out = dir_ / "args";
    const std::string line = "args " + out + " plain \"with blank\" say\\\"hi\\\" C:\\dir";
    os_process_t process = os_create_process(helper_.c_str(), line.c_str(), nullptr);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(WaitForEnd(process));
    EXPECT_FALSE(os_process_exists(process));
    os_close_process(process);
    EXPECT_EQ(ReadText(out), "[" + helper_ + "][args][" + out + "][plain][with blank][say\"hi\"][C:\\dir]");
}

TEST_F(ProcessTest, ChildInheritsOnlyStandardDescriptors) {
    // A descriptor opened without close-on-exec, as other code might.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    const std::string out = dir_ / "fds";
    os_process_t process = os_create_process(helper_.c_str(), ("fds " + out).c_str(), nullptr);
    ::close(leaky);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(WaitForEnd(process));
    os_close_process(process);
    std::string listed = ReadText(out);
    std::vector<int> fds;
    for (size_t at = 0; at < listed.size();) {
        fds.push_back(std::atoi(listed.c_str() + at));
        at = listed.find('\n', at) + 1;
        if (at == 0) break;
    }
    std::sort(fds.begin(), fds.end());
    EXPECT_EQ(fds, (std::vector<int>{0, 1, 2}));
}

TEST_F(ProcessTest, ExeSuffixAndBackslashesFallBack) {
    const std::string dir = dir_.path();
    const std::string copy = dir + "\\tool.exe";
    ASSERT_EQ(os_copy_process((helper_ + ".exe").c_str(), copy.c_str()), 0);
    EXPECT_TRUE(fs::exists(dir + "/tool"));
    EXPECT_NE(fs::status(dir + "/tool").permissions() & fs::perms::owner_exec, fs::perms::none);
    const std::string out = dir + "/args";
    os_process_t process = os_create_process(copy.c_str(), ("args " + out).c_str(), nullptr);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(WaitForEnd(process));
    os_close_process(process);
    EXPECT_EQ(ReadText(out), "[" + dir + "/tool][args][" + out + "]");
}

TEST_F(ProcessTest, FailureGivesErrno) {
    char error[64] = "untouched";
    EXPECT_EQ(os_create_process((dir_ / "missing.exe").c_str(), "", error), nullptr);
    EXPECT_STREQ(error, std::to_string(ENOENT).c_str());
    EXPECT_EQ(os_create_process(nullptr, "", error), nullptr);
    EXPECT_STREQ(error, std::to_string(EINVAL).c_str());
    EXPECT_EQ(os_create_process((dir_ / "missing").c_str(), "", nullptr), nullptr);
}

TEST_F(ProcessTest, ExistsUntilKilledAndOpenByIdSeesTheSame) {
    os_process_t process = os_create_process(helper_.c_str(), "sleep", nullptr);
    ASSERT_NE(process, nullptr);
    const uint32_t pid = os_process_id(process);
    EXPECT_GT(pid, 0u);
    EXPECT_TRUE(os_process_exists(process));
    os_process_t opened = os_open_process(pid);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(os_process_exists(opened));
    EXPECT_NE(os_process_wait_fd(opened), -1);

    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(WaitForEnd(process));
    EXPECT_FALSE(os_process_exists(process));
    EXPECT_TRUE(WaitFor([&] { return !os_process_exists(opened); }));
    os_close_process(opened);
    os_close_process(process);
    // Reaped by the library although nobody waited.
    EXPECT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));

    os_process_t self = os_open_process(os_current_pid());
    ASSERT_NE(self, nullptr);
    EXPECT_TRUE(os_process_exists(self));
    os_close_process(self);
    EXPECT_EQ(os_open_process(0), nullptr);
    EXPECT_FALSE(os_process_exists(nullptr));
    EXPECT_EQ(os_process_wait_fd(nullptr), -1);
    os_close_process(nullptr);
}

// Signals go through the pidfd: an ended process is not signalled, so its id,
// once reused, is never hit.
TEST_F(ProcessTest, SignalThroughThePidfdReachesOnlyTheLiveProcess) {
    os_process_t process = os_create_process(helper_.c_str(), "sleep", nullptr);
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(detail::SignalProcess(process, 0));
    EXPECT_TRUE(detail::SignalProcess(process, SIGKILL));
    ASSERT_TRUE(WaitForEnd(process));
    const uint32_t pid = os_process_id(process);
    ASSERT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
    EXPECT_FALSE(detail::SignalProcess(process, SIGKILL)) << "reaped: the pidfd no longer names a process";
    int code = -1, signal_number = -1;
    ASSERT_TRUE(os_process_exit_status(process, &code, &signal_number));
    EXPECT_EQ(signal_number, SIGKILL);
    os_close_process(process);
    EXPECT_FALSE(detail::SignalProcess(nullptr, SIGKILL));
}

// A leader that starts a helper, then ignores SIGTERM and lives on.
os_process_t StartGroupWithHelper(const std::string& pid_file) {
    const std::string line = "-c \"sleep 600 & echo $! > '" + pid_file +
                             "'; trap '' TERM; while :; do sleep 1; done\"";
    return detail::CreateProcessInOwnGroup("/bin/sh", line.c_str(), nullptr);
}

pid_t ReadPid(const std::string& file) {
    pid_t pid = 0;
    WaitFor([&] {
        std::ifstream in(file);
        return static_cast<bool>(in >> pid) && pid > 0;
    });
    return pid;
}

// The group is signalled while its leader lives; what is left of it is
// killed when the leader ends, before the leader is reaped.
TEST_F(ProcessTest, AProcessInItsOwnGroupTakesItsHelpersAlong) {
    const std::string pid_file = dir_ / "helper";
    os_process_t process = StartGroupWithHelper(pid_file);
    ASSERT_NE(process, nullptr);
    const pid_t leader = static_cast<pid_t>(os_process_id(process));
    const pid_t helper = ReadPid(pid_file);
    ASSERT_GT(helper, 0);
    EXPECT_EQ(getpgid(leader), leader);
    EXPECT_EQ(getpgid(helper), leader);
    // Through the pidfd alone only the leader is reached (which ignores it).
    EXPECT_TRUE(detail::SignalProcess(process, SIGTERM));
    EXPECT_TRUE(detail::SignalProcessGroup(process, SIGTERM));
    EXPECT_TRUE(WaitFor([&] { return !Tools::testing::ProcessAlive(helper); })) << "the group was not signalled";
    EXPECT_TRUE(os_process_exists(process)) << "the leader ignores SIGTERM";
    EXPECT_TRUE(detail::SignalProcessGroup(process, SIGKILL));
    ASSERT_TRUE(WaitForEnd(process));
    os_close_process(process);

    // The leader ends on its own: its helper goes with it.
    const std::string second_file = dir_ / "second";
    process = StartGroupWithHelper(second_file);
    ASSERT_NE(process, nullptr);
    const pid_t second = ReadPid(second_file);
    ASSERT_GT(second, 0);
    ASSERT_TRUE(detail::SignalProcess(process, SIGKILL));
    ASSERT_TRUE(WaitForEnd(process));
    EXPECT_TRUE(WaitFor([&] { return !Tools::testing::ProcessAlive(second); })) << "the helper outlived its leader";
    const pid_t second_leader = static_cast<pid_t>(os_process_id(process));
    ASSERT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(second_leader)); }));
    EXPECT_FALSE(detail::SignalProcessGroup(process, SIGKILL)) << "ended and reaped: nothing to signal";
    os_close_process(process);
}

// How a child ended stays readable after the reaper took it.
TEST_F(ProcessTest, ExitStatusIsKeptAfterReaping) {
    int code = -1, signal_number = -1;
    os_process_t exits = os_create_process(helper_.c_str(), "exit 7", nullptr);
    ASSERT_NE(exits, nullptr);
    ASSERT_TRUE(WaitForEnd(exits));
    ASSERT_TRUE(os_process_exit_status(exits, &code, &signal_number));
    EXPECT_EQ(code, 7);
    EXPECT_EQ(signal_number, 0);
    // Once reaped, the status comes from what the reaper remembered.
    const uint32_t pid = os_process_id(exits);
    EXPECT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
    code = signal_number = -1;
    ASSERT_TRUE(os_process_exit_status(exits, &code, &signal_number));
    EXPECT_EQ(code, 7);
    os_close_process(exits);

    os_process_t killed = os_create_process(helper_.c_str(), "sleep", nullptr);
    ASSERT_NE(killed, nullptr);
    EXPECT_FALSE(os_process_exit_status(killed, &code, &signal_number));  // still running
    ASSERT_EQ(::kill(static_cast<pid_t>(os_process_id(killed)), SIGKILL), 0);
    ASSERT_TRUE(WaitForEnd(killed));
    ASSERT_TRUE(os_process_exit_status(killed, &code, &signal_number));
    EXPECT_EQ(signal_number, SIGKILL);
    os_close_process(killed);
    EXPECT_FALSE(os_process_exit_status(nullptr, &code, &signal_number));
}

// Many short children, their handles dropped at every stage of their lives:
// afterwards no zombie is left and no descriptor is leaked.
TEST_F(ProcessTest, ManyChildrenLeaveNoZombieAndNoDescriptor) {
    os_process_t warm_up = os_create_process(helper_.c_str(), "exit 0", nullptr);
    ASSERT_NE(warm_up, nullptr);
    ASSERT_TRUE(WaitForEnd(warm_up));
    os_close_process(warm_up);
    ASSERT_TRUE(WaitFor([] { return Zombies() == 0; }));
    const int descriptors = OpenDescriptors();

    std::mt19937 random(99);
    std::vector<os_process_t> kept;
    for (int i = 0; i < 200; ++i) {
        os_process_t process = os_create_process(helper_.c_str(), i % 2 ? "exit 0" : "exit 7", nullptr);
        ASSERT_NE(process, nullptr) << "child " << i;
        switch (i % 4) {
            case 0:  // dropped at once, likely still running
                os_close_process(process);
                break;
            case 1:  // dropped after it ended
                ASSERT_TRUE(WaitForEnd(process));
                os_close_process(process);
                break;
            default:  // kept and dropped later, in a shuffled order
                kept.push_back(process);
        }
    }
    std::shuffle(kept.begin(), kept.end(), random);
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i % 2) {
            ASSERT_TRUE(WaitForEnd(kept[i]));
        }
        os_close_process(kept[i]);
    }
    EXPECT_TRUE(WaitFor([] { return Zombies() == 0; })) << Zombies() << " zombies left";
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == descriptors; }))
        << OpenDescriptors() << " descriptors open, " << descriptors << " before";
}

// A process forked after children were started still reaps its own.
TEST_F(ProcessTest, ForkedProcessReapsItsOwnChildren) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#elif defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator lock can be inherited locked across fork; the child's new thread "
                    "then waits on it forever";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#elif __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer's allocator lock can be inherited locked across fork; the child's new thread "
                    "then waits on it forever";
#endif
#endif
    os_process_t before = os_create_process(helper_.c_str(), "exit 0", nullptr);
    ASSERT_NE(before, nullptr);
    const pid_t forked = ::fork();
    ASSERT_NE(forked, -1);
    if (forked == 0) {
        os_process_t child = os_create_process(helper_.c_str(), "exit 0", nullptr);
        if (!child || !WaitForEnd(child)) ::_exit(1);
        const uint32_t pid = os_process_id(child);
        os_close_process(child);
        ::_exit(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); }) ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(forked, &status, 0), forked);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    os_close_process(before);
}

}  // namespace
