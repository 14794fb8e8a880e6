// The real Velmora program left alone sleeps: its threads, and those of a
// plugin process it runs, wake only for the designed checks and pings, not
// on a pump timer. Counted from /proc over two idle seconds with a generous
// bound (a 10 ms pump alone would be 200 wake-ups, the sample's old 5 ms
// loop 400). It still does its work: the plugin process is reached from the
// host's main loop and the host quits at once on SIGTERM.

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/velmora_fixture.h"

namespace {

using test_support::kVelmoraDeadline;
using test_support::Occurrences;
using test_support::RelativeToProgram;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<pid_t> WithDescendants(pid_t root) {
    std::vector<pid_t> tree{root};
    for (size_t i = 0; i < tree.size(); ++i) {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(tree[i]) + "/task", error)) {
            std::istringstream children(ReadAll(task.path().string() + "/children"));
            for (pid_t child; children >> child;) tree.push_back(child);
        }
    }
    return tree;
}

// Context switches of every thread of the process tree (a thread that
// sleeps and wakes is switched once per wake-up).
long TreeContextSwitches(pid_t root) {
    long total = 0;
    for (pid_t pid : WithDescendants(root)) {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
            std::istringstream status(ReadAll(task.path().string() + "/status"));
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                    total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

// ThreadSanitizer runs a thread of its own in each process that wakes about
// ten times a second.
#if defined(__SANITIZE_THREAD__)
constexpr long kSanitizerWakesPerProcessPerSecond = 12;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr long kSanitizerWakesPerProcessPerSecond = 12;
#else
constexpr long kSanitizerWakesPerProcessPerSecond = 0;
#endif
#else
constexpr long kSanitizerWakesPerProcessPerSecond = 0;
#endif

class VelmoraIdleTest : public test_support::VelmoraProcessTest {};

TEST_F(VelmoraIdleTest, IdleHostAndPluginProcessSleep) {
    const std::string config = temp_.path() + "/plugins.json";
    std::ofstream(config) << R"({"plugins": [{"type": 3, "name": "SampleProcess", "file": "SampleProcess", "plugin_process": ")" +
                                 RelativeToProgram(SAMPLE_PROCESS_PATH) + R"(", "ensure_process": true}]})";
    Start({"-plugin_config=" + config});
    ASSERT_TRUE(WaitUntilRunning());
    const pid_t pid = child_.pid();
    const auto deadline = std::chrono::steady_clock::now() + kVelmoraDeadline;
    while (Occurrences(LogText(pid), "connected:1") < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(Occurrences(LogText(pid), "connected:1"), 1u) << LogText(pid);
    ASSERT_EQ(WithDescendants(pid).size(), 2u) << "expected the host and one plugin process";
    // Start-up traffic settles first.
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const long before = TreeContextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long woke = TreeContextSwitches(pid) - before;
    // Designed: the plugin's once-a-second host check, its ping every 3 s
    // with the answer, the host's once-a-second process check.
    EXPECT_LE(woke, 60 + 2 * 2 * kSanitizerWakesPerProcessPerSecond)
        << "the idle host and its plugin process woke " << woke << " times in 2 s";

    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status)) << "Velmora did not quit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test_support::DescribeStatus(status);
    std::printf("idle host + 1 plugin process: %ld wake-ups in 2 s; quit %.0f ms after SIGTERM\n", woke,
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopped).count());
}

}  // namespace
