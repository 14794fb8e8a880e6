// Starts the real Velmora program and drives it from outside.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"

namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::DescribeStatus;

constexpr std::chrono::seconds kDeadline{60};

// Signals the process has a handler for, from /proc/<pid>/status.
uint64_t CaughtSignals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

bool Catches(uint64_t mask, int signal_number) { return (mask >> (signal_number - 1)) & 1; }

class VelmoraProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        fs::create_directories(temp_.path() + "/run");
        fs::permissions(temp_.path() + "/run", fs::perms::owner_all);
        fs::create_directories(temp_.path() + "/home");
    }

    std::string DataHome() const { return temp_.path() + "/data"; }

    // Sanitizer settings for the child; no effect on a plain build. Full
    // allocation stacks let the suppression see through Qt's frames.
    static std::string WithOption(const char* variable, const std::string& option) {
        const char* current = getenv(variable);
        return current && current[0] ? std::string(current) + ":" + option : option;
    }

    void Start() {
        const std::vector<std::string> environment = test_support::MakeEnvironment({
            {"ASAN_OPTIONS", WithOption("ASAN_OPTIONS", "fast_unwind_on_malloc=0")},
            {"LSAN_OPTIONS", WithOption("LSAN_OPTIONS", "suppressions=" VELMORA_LSAN_SUPPRESSIONS)},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"XDG_DATA_HOME", DataHome()},
            {"XDG_RUNTIME_DIR", temp_.path() + "/run"},
            {"XDG_CONFIG_HOME", temp_.path() + "/config"},
            {"XDG_CACHE_HOME", temp_.path() + "/cache"},
            {"HOME", temp_.path() + "/home"},
            {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""},
        });
        ASSERT_TRUE(child_.Start(VELMORA_PROGRAM, {}, environment, temp_.path()));
    }

    // Running once the quit signals are routed to the event loop, which
    // happens after the framework and the crash reporter were set up.
    ::testing::AssertionResult WaitUntilRunning() {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!child_.Running()) {
                return ::testing::AssertionFailure() << "Velmora ended early: " << DescribeStatus(child_.exit_status());
            }
            const uint64_t caught = CaughtSignals(child_.pid());
            if (Catches(caught, SIGTERM) && Catches(caught, SIGINT)) return ::testing::AssertionSuccess();
            const timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return ::testing::AssertionFailure() << "Velmora did not come up";
    }

    test_support::TempDir temp_;
    ChildProcess child_;
};

class VelmoraQuitSignalTest : public VelmoraProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(VelmoraQuitSignalTest, QuitSignalRunsTheNormalQuitPath) {
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    ASSERT_EQ(kill(child_.pid(), GetParam()), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status)) << "Velmora did not quit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

INSTANTIATE_TEST_SUITE_P(Signals, VelmoraQuitSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string("SIG") + sigabbrev_np(info.param);
                         });

// Files left in the temporary directory by an earlier run are gone once the
// program runs; a subdirectory that still held files is kept, emptied.
TEST_F(VelmoraProcessTest, StartUpClearsTheTemporaryDirectory) {
    const fs::path temp = DataHome() + "/VelmoraData/Temp";
    fs::create_directories(temp / "empty");
    fs::create_directories(temp / "full");
    std::ofstream(temp / "old.txt") << "left over";
    std::ofstream(temp / "full/inner.txt") << "left over";
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    EXPECT_FALSE(fs::exists(temp / "old.txt"));
    EXPECT_FALSE(fs::exists(temp / "empty"));
    EXPECT_TRUE(fs::is_directory(temp / "full"));
    EXPECT_FALSE(fs::exists(temp / "full/inner.txt"));
    ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

TEST_F(VelmoraProcessTest, CrashLeavesADumpAndEndsBySignal) {
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    const uint64_t caught = CaughtSignals(child_.pid());
    for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        EXPECT_TRUE(Catches(caught, signal_number)) << "no crash handler for " << sigabbrev_np(signal_number);
    }
    ASSERT_EQ(kill(child_.pid(), SIGSEGV), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status)) << "Velmora did not end";
    ASSERT_TRUE(WIFSIGNALED(status)) << DescribeStatus(status);
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    std::vector<std::string> dumps;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(DataHome() + "/VelmoraData/crashes", error)) {
        dumps.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].rfind("Velmora-", 0), 0u) << dumps[0];
}

}  // namespace
