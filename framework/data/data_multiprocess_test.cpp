// Several real processes sharing one tree through the real shared memory and
// the real lock: the test process is the host, data_test_child processes
// join as plugin processes would.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "framework/data/data_platform.h"
#include "framework/data/data_test_layout.h"
#include "framework/data/data_tree.h"

extern char** environ;

namespace Application {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(60);

// One started data_test_child; killed and reaped when still running at the end.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<std::string> all = {DATA_TEST_CHILD};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, DATA_TEST_CHILD, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Waits for the child's 'H' (it is inside its visit).
    bool WaitForSignal() {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) != 1) return false;
        char byte = 0;
        return read(out_, &byte, 1) == 1 && byte == 'H';
    }
    int Wait() {
        if (reaped_) return status_;
        while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = 0;
    bool reaped_ = false;
};

bool ExitedCleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
bool KilledBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

class MultiProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-data-mp-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runtime_ = pattern;
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        pid_ = static_cast<uint32_t>(getpid());
        host_ = std::make_unique<CData>(pid_, true);
    }
    void TearDown() override {
        host_.reset();
        EXPECT_EQ(data_test::ObjectsOf(pid_), 0) << "the host removes its tree when it ends";
        unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(runtime_);
    }

    std::string PidSwitch() const { return "-pid=" + std::to_string(pid_); }

    int64_t Counter() {
        int64_t value = -1;
        bool consistent = true;
        host_->Visit([&](IDataVisitor* visitor) { consistent = data_test::ReadCounter(visitor, &value); });
        EXPECT_TRUE(consistent) << "torn counter " << value;
        return value;
    }

    std::string runtime_;
    uint32_t pid_ = 0;
    std::unique_ptr<CData> host_;
};

TEST_F(MultiProcessTest, FourProcessesIncrementToTheExactTotal) {
    constexpr int kProcesses = 4, kIterations = 10000;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(std::make_unique<Child>(
            std::vector<std::string>{"increment", PidSwitch(), std::to_string(kIterations)}));
        ASSERT_TRUE(children.back()->started());
    }
    for (auto& child : children) EXPECT_TRUE(ExitedCleanly(child->Wait())) << "a child saw a torn record";
    EXPECT_EQ(Counter(), kProcesses * kIterations);
}

TEST_F(MultiProcessTest, HolderKilledWithTheLockDoesNotStopTheOthers) {
    constexpr int kIterations = 2000;
    Child holder({"hold", PidSwitch()});
    ASSERT_TRUE(holder.WaitForSignal()) << "the holder never got the lock";
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < 3; ++i) {
        children.push_back(
            std::make_unique<Child>(std::vector<std::string>{"increment", PidSwitch(), std::to_string(kIterations)}));
    }
    const auto killed_at = Clock::now();
    ASSERT_EQ(kill(holder.pid(), SIGKILL), 0);
    EXPECT_TRUE(KilledBySigkill(holder.Wait()));
    // Our own visit waits for the lock like the others; it returning at all
    // shows the kernel released the dead holder's lock.
    int64_t first = Counter();
    const auto resumed_at = Clock::now();
    std::printf("lock available again %.1f ms after SIGKILL of its holder\n",
                std::chrono::duration<double, std::milli>(resumed_at - killed_at).count());
    EXPECT_LT(resumed_at - killed_at, kDeadline);
    EXPECT_GE(first, 0);
    for (auto& child : children) EXPECT_TRUE(ExitedCleanly(child->Wait()));
    EXPECT_EQ(Counter(), 3 * kIterations);
}

TEST_F(MultiProcessTest, PushCutShortBySigkillIsRolledBack) {
    // Five complete increments, then one killed half-way through its push.
    for (int i = 0; i < 5; ++i) host_->Visit([](IDataVisitor* visitor) { data_test::Increment(visitor); });
    Child tearer({"tear", PidSwitch()});
    ASSERT_TRUE(tearer.started());
    EXPECT_TRUE(KilledBySigkill(tearer.Wait()));
    EXPECT_EQ(Counter(), 5) << "the last complete push, not the torn one";
    Child incrementer({"increment", PidSwitch(), "100"});
    EXPECT_TRUE(ExitedCleanly(incrementer.Wait()));
    EXPECT_EQ(Counter(), 105);
}

TEST_F(MultiProcessTest, NothingIsLeftAfterChildrenAndHostEnd) {
    {
        Child a({"increment", PidSwitch(), "50"});
        Child b({"increment", PidSwitch(), "50"});
        EXPECT_TRUE(ExitedCleanly(a.Wait()));
        EXPECT_TRUE(ExitedCleanly(b.Wait()));
    }
    EXPECT_EQ(Counter(), 100);
    EXPECT_EQ(data_test::ObjectsOf(pid_), 2) << "the counter block and the lock file";
    // TearDown destroys the host and checks that both are gone.
}

TEST_F(MultiProcessTest, NextHostStartRemovesWhatAKilledHostLeft) {
    uint32_t dead_host = 0;
    {
        Child host({"host"});
        ASSERT_TRUE(host.WaitForSignal());
        dead_host = static_cast<uint32_t>(host.pid());
        EXPECT_EQ(data_test::ObjectsOf(dead_host), 2);
        kill(host.pid(), SIGKILL);
        EXPECT_TRUE(KilledBySigkill(host.Wait()));
    }
    EXPECT_EQ(data_test::ObjectsOf(dead_host), 2) << "a killed host cannot clean up";
    CData next_host(pid_, true);
    EXPECT_EQ(data_test::ObjectsOf(dead_host), 0);
}

}  // namespace
}  // namespace Application
