// One instance per user: starts the real Velmora program and drives it from
// outside, with real local sockets, a real lock and a process of another user.

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"
#include "host/test_support/velmora_fixture.h"
#include "tools/other_user_test_util.h"
#include "tools/posix_fd.h"

namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::DescribeStatus;
using test_support::VelmoraProcessTest;
using Tools::detail::UniqueFd;

constexpr std::chrono::seconds kDeadline = test_support::kVelmoraDeadline;
constexpr const char* kReceivedLine = "SingleInstanceApp: message received: raise_window_noop";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SingleInstanceTest : public VelmoraProcessTest {
protected:
    // The listening socket of the running instance in the runtime directory dir.
    static std::string SocketIn(const std::string& dir) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("singleinstance-Velmor-", 0) == 0 && name.find("-lockfile") == std::string::npos)
                return entry.path().string();
        }
        return {};
    }

    std::string SocketPath() const { return SocketIn(temp_.path() + "/run/velmora"); }

    // Starts a Velmora whose standard error goes to a file, with the same
    // pid as the program itself (the shell execs it).
    static bool StartCapturing(ChildProcess& child, const std::string& stderr_path,
                               const std::vector<std::string>& environment, const std::string& working_dir) {
        return child.Start("/bin/sh", {"-c", "exec \"$0\" 2>\"$1\"", VELMORA_PROGRAM, stderr_path}, environment,
                           working_dir);
    }

    // A second start with this environment; returns its exit status.
    int RunSecond(const std::map<std::string, std::string>& changes = {}) {
        ChildProcess second;
        EXPECT_TRUE(StartCapturing(second, SecondStderrPath(), Environment(changes), temp_.path()));
        second_pid_ = second.pid();
        int status = -1;
        EXPECT_TRUE(second.WaitForExit(kDeadline, &status)) << "the second instance did not leave";
        return status;
    }
    std::string SecondStderrPath() const { return temp_.path() + "/second.stderr"; }

    // Waits until the running instance's log records the message of a later start.
    ::testing::AssertionResult WaitForHandOverInLog() {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (LogText(child_.pid()).find(kReceivedLine) != std::string::npos) return ::testing::AssertionSuccess();
            if (!child_.Running()) return ::testing::AssertionFailure() << "the running instance ended";
            const timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return ::testing::AssertionFailure() << "the message never arrived; log:\n" << LogText(child_.pid());
    }

    void QuitFirst() {
        ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
        int status = 0;
        ASSERT_TRUE(child_.WaitForExit(kDeadline, &status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
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
    EXPECT_TRUE(WaitForHandOverInLog());
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
    EXPECT_TRUE(WaitForHandOverInLog());
    QuitFirst();
}

TEST_F(SingleInstanceTest, SilentClientCannotFreezeTheRunningInstance) {
    Start();
    ASSERT_TRUE(WaitUntilRunning());
    const std::string socket = SocketPath();
    ASSERT_FALSE(socket.empty());
    UniqueFd hostile(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(hostile.valid());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    ASSERT_EQ(connect(hostile.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    // While the silent client hangs on, the real second start's message
    // reaches the running instance, and quitting still works.
    const int second = RunSecond();
    EXPECT_TRUE(WIFEXITED(second) && WEXITSTATUS(second) == 0) << DescribeStatus(second);
    EXPECT_TRUE(WaitForHandOverInLog()) << "the second start left, but its message did not arrive";
    QuitFirst();
}

// ---- the runtime directory ----

// Without XDG_RUNTIME_DIR the fallback is $TMPDIR/velmora-<uid>; here TMPDIR
// is a sticky, world-writable directory of the test, like /tmp.
class RuntimeDirectoryTest : public SingleInstanceTest {
protected:
    void SetUp() override {
        SingleInstanceTest::SetUp();
        tmp_ = temp_.path() + "/tmp";
        fs::create_directory(tmp_);
        fs::permissions(tmp_, fs::perms::all | fs::perms::sticky_bit);
        // Another user must get through the test's own directory to reach tmp_.
        fs::permissions(temp_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fallback_ = tmp_ + "/velmora-" + std::to_string(geteuid());
    }

    std::map<std::string, std::string> Changes() const { return {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", tmp_}}; }
    std::string StderrPath() const { return temp_.path() + "/first.stderr"; }

    std::string tmp_;
    std::string fallback_;
};

TEST_F(RuntimeDirectoryTest, TakenByAnotherUserTheHostMovesToAPrivateDirectoryAndSaysSo) {
    if (!Tools::testing::CanActAsOtherUser()) GTEST_SKIP() << "acting as another user needs root";
    const std::string fallback = fallback_;
    ASSERT_TRUE(Tools::testing::RunAsOtherUser([fallback] {
        return ::mkdir(fallback.c_str(), 0777) == 0 && ::chmod(fallback.c_str(), 0777) == 0;
    }));

    ASSERT_TRUE(StartCapturing(child_, StderrPath(), Environment(Changes()), temp_.path()));
    ASSERT_TRUE(WaitUntilRunning());
    const std::string said = ReadFile(StderrPath());
    EXPECT_NE(said.find("Velmora: " + fallback_ + " belongs to another user (uid 65534)"), std::string::npos)
        << said;
    EXPECT_NE(LogText(child_.pid()).find(fallback_ + " belongs to another user"), std::string::npos)
        << LogText(child_.pid());

    // The guard runs in a private directory of ours beside the taken one.
    std::vector<std::string> private_dirs;
    for (const auto& entry : fs::directory_iterator(tmp_)) {
        const std::string path = entry.path().string();
        if (path.rfind(fallback_ + "-", 0) == 0) private_dirs.push_back(path);
    }
    ASSERT_EQ(private_dirs.size(), 1u);
    struct stat info = {};
    ASSERT_EQ(lstat(private_dirs[0].c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_NE(said.find(private_dirs[0]), std::string::npos) << said;
    EXPECT_FALSE(SocketIn(private_dirs[0] + "/velmora").empty()) << "no single-instance socket in " << private_dirs[0];
    EXPECT_TRUE(fs::is_empty(fallback_)) << "nothing of ours in the taken place";

    // A later start finds the same private directory and hands over.
    const int second = RunSecond(Changes());
    EXPECT_TRUE(WIFEXITED(second) && WEXITSTATUS(second) == 0)
        << DescribeStatus(second) << "\n" << ReadFile(SecondStderrPath());
    EXPECT_TRUE(WaitForHandOverInLog());
    QuitFirst();
}

TEST_F(RuntimeDirectoryTest, NoSafePlaceAtAllRefusesToStartAndSaysWhy) {
    // Neither the fallback nor a private directory can be made under a TMPDIR
    // that does not exist.
    const std::string missing = tmp_ + "/missing";
    std::map<std::string, std::string> changes = {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", missing}};
    ASSERT_TRUE(StartCapturing(child_, StderrPath(), Environment(changes), temp_.path()));
    int status = 0;
    ASSERT_TRUE(child_.WaitForExit(kDeadline, &status)) << "Velmora neither started nor refused";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << DescribeStatus(status);
    const std::string said = ReadFile(StderrPath());
    EXPECT_NE(said.find("cannot create " + missing + "/velmora-" + std::to_string(geteuid())), std::string::npos)
        << said;
    EXPECT_NE(said.find("not starting"), std::string::npos) << said;
}

}  // namespace
