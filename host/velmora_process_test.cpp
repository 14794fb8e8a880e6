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

// ---- one instance per user ----

class SingleInstanceTest : public VelmoraProcessTest {
protected:
    // The listening socket of the running instance, in the private runtime directory.
    std::string SocketPath() const {
        const fs::path dir = temp_.path() + "/run/velmora";
        if (!fs::exists(dir)) return {};
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("singleinstance-Velmor-", 0) == 0 && name.find("-lockfile") == std::string::npos)
                return entry.path().string();
        }
        return {};
    }

    // A second start, with the same environment; returns its exit status.
    int RunSecond() {
        ChildProcess second;
        EXPECT_TRUE(second.Start(VELMORA_PROGRAM, {}, Environment(), temp_.path()));
        second_pid_ = second.pid();
        int status = -1;
        EXPECT_TRUE(second.WaitForExit(kDeadline, &status)) << "the second instance did not leave";
        return status;
    }

    pid_t second_pid_ = 0;
};

TEST_F(SingleInstanceTest, SecondStartHandsOverAndLeaves) {
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    const std::string socket = SocketPath();
    ASSERT_FALSE(socket.empty());
    struct stat info = {};
    ASSERT_EQ(stat((temp_.path() + "/run/velmora").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);  // nobody else may reach the socket

    const int status = RunSecond();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
    // The second process never created the framework: no log file of its own.
    const fs::path logs = DataHome() + "/VelmoraData/logs";
    if (fs::exists(logs)) {
        for (const auto& entry : fs::directory_iterator(logs)) {
            EXPECT_EQ(entry.path().filename().string().find("_" + std::to_string(second_pid_) + ".log"),
                      std::string::npos);
        }
    }
    EXPECT_TRUE(child_.Running());
}

TEST_F(SingleInstanceTest, KilledInstanceDoesNotBlockTheNextStart) {
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    ASSERT_FALSE(SocketPath().empty());
    ASSERT_EQ(kill(child_.pid(), SIGKILL), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status));
    ASSERT_FALSE(SocketPath().empty());  // the stale socket is still there

    Start();
    ASSERT_TRUE(WaitUntilRunning()) << "the lock or the stale socket blocked the start";
    const int second = RunSecond();
    EXPECT_TRUE(WIFEXITED(second) && WEXITSTATUS(second) == 0) << DescribeStatus(second);
    ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

TEST_F(SingleInstanceTest, SilentClientCannotFreezeTheRunningInstance) {
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    const std::string socket = SocketPath();
    ASSERT_FALSE(socket.empty());
    const int hostile = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(hostile, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    ASSERT_EQ(connect(hostile, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    // While the silent client hangs on, hand-overs and quitting still work.
    const int second = RunSecond();
    EXPECT_TRUE(WIFEXITED(second) && WEXITSTATUS(second) == 0) << DescribeStatus(second);
    ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
    close(hostile);
}
