// Starts the real Velmora program and drives it from outside.

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"
#include "host/test_support/velmora_fixture.h"

namespace {

namespace fs = std::filesystem;
using test_support::Catches;
using test_support::CaughtSignals;
using test_support::ChildProcess;
using test_support::DescribeStatus;
using test_support::VelmoraProcessTest;

constexpr std::chrono::seconds kDeadline = test_support::kVelmoraDeadline;

class VelmoraQuitSignalTest : public VelmoraProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(VelmoraQuitSignalTest, QuitSignalRunsTheNormalQuitPath) {
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    const pid_t pid = child_.pid();
    ASSERT_EQ(kill(pid, GetParam()), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status)) << "Velmora did not quit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
    // The log says it ended cleanly, and why.
    const std::string last = LastLogLine(pid);
    EXPECT_TRUE(last.ends_with(std::string("[info]Velmora quitting (SIG") + sigabbrev_np(GetParam()) + ")"))
        << ::testing::PrintToString(last);
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
