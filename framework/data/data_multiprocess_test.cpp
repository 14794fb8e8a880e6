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
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/data/data_platform.h"
#include "framework/data/data_test_layout.h"
#include "framework/data/data_tree.h"
#include "framework/data/shared_block.h"
#include "tools/posix_fd.h"

extern char** environ;

namespace Application {
namespace {

using Clock = std::chrono::steady_clock;
using Tools::detail::UniqueFd;
constexpr auto kDeadline = std::chrono::seconds(60);
// A dead holder's lock is free again as soon as the kernel has reaped it;
// this only catches a lock that is never given back.
constexpr auto kLockRecoveryBound = std::chrono::seconds(5);

// The soak below runs a smaller count in CI.
int KillRounds() { return std::getenv("CI") ? 60 : 300; }

// One started data_test_child; killed and reaped when still running at the end.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        out_.reset(fds[0]);
        UniqueFd write_end(fds[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
        std::vector<std::string> all = {DATA_TEST_CHILD};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, DATA_TEST_CHILD, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Waits for the child's 'H' (it is inside its visit).
    bool WaitForSignal() {
        pollfd p{out_.get(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) != 1) return false;
        char byte = 0;
        return read(out_.get(), &byte, 1) == 1 && byte == 'H';
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
    UniqueFd out_;
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

    // The three nodes as one reader sees them; -1 when they were mixed.
    int64_t Triple() {
        int64_t value = -1;
        bool consistent = true;
        host_->Visit([&](IDataVisitor* visitor) { consistent = data_test::ReadTriple(visitor, &value); });
        EXPECT_TRUE(consistent) << "the three nodes differ at " << value;
        return consistent ? value : -1;
    }

    // Whether a killed holder left a publication unfinished (looked at
    // before anyone repairs it).
    // Stops pid while it holds no lock of the tree: taken here first, so that
    // pid cannot be inside it when the stop lands.
    bool StopOutsideLock(pid_t pid) {
        data_platform::NamedFile lock = data_platform::NamedFile::OpenRuntimeFile(host_->LockName(), false);
        if (!lock.valid() || !lock.LockExclusive()) return false;
        bool stopped = kill(pid, SIGSTOP) == 0;
        for (int i = 0; stopped && i < 5000 && ProcessState(pid) != 'T'; ++i) {
            const timespec pause = {0, 1'000'000};
            nanosleep(&pause, nullptr);
        }
        stopped = stopped && ProcessState(pid) == 'T';
        lock.Unlock();
        return stopped;
    }

    static char ProcessState(pid_t pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t end = text.rfind(')');
        return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : '?';
    }

    // SIGKILLs the running child after delay_us microseconds, wherever it is.
    static void KillAfter(Child& child, int delay_us) {
        const timespec pause = {0, delay_us * 1000L};
        nanosleep(&pause, nullptr);
        ASSERT_EQ(kill(child.pid(), SIGKILL), 0);
    }

    bool PublicationLeftUnfinished() {
        data_platform::NamedFile lock = data_platform::NamedFile::OpenRuntimeFile(host_->LockName(), false);
        if (!lock.valid() || !lock.LockExclusive()) return false;
        TreeJournal journal(&lock);
        const bool pending = journal.PendingForTesting();
        lock.Unlock();
        return pending;
    }

    int64_t Counter() {
        int64_t value = -1;
        bool consistent = true;
        host_->Visit([&](IDataVisitor* visitor) { consistent = data_test::ReadCounter(visitor, &value); });
        EXPECT_TRUE(consistent) << "torn counter " << value;
        return value;
    }

    // The growing array as the host sees it; -1 when it was torn.
    int64_t Growing() {
        uint32_t count = 0;
        bool consistent = true;
        host_->Visit([&](IDataVisitor* visitor) { consistent = data_test::ReadGrowing(visitor, &count); });
        EXPECT_TRUE(consistent) << "a wrong element in " << count;
        return consistent ? int64_t{count} : -1;
    }

    std::string BlockPath(const char* kind, uint32_t node) const {
        return runtime_ + "/velmora/" + BlockName(kind, pid_, node);
    }

    // Whether this process has the file mapped (also after it was removed).
    static bool Mapped(const std::string& path) {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            const size_t at = line.find(path);
            if (at != std::string::npos && (at + path.size() == line.size() || line[at + path.size()] == ' '))
                return true;
        }
        return false;
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
    EXPECT_LT(resumed_at - killed_at, kLockRecoveryBound);
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

TEST_F(MultiProcessTest, PublicationOfThreeNodesCutShortBySigkillIsRolledBackWhole) {
    for (int i = 0; i < 3; ++i) host_->Visit([](IDataVisitor* visitor) { data_test::IncrementTriple(visitor); });
    Child tearer({"tear3", PidSwitch()});
    ASSERT_TRUE(tearer.started());
    EXPECT_TRUE(KilledBySigkill(tearer.Wait()));
    EXPECT_TRUE(PublicationLeftUnfinished()) << "the child died after the first block was written";
    EXPECT_EQ(Triple(), 3) << "all three as before, not the first one new";
}

// A writer changing three nodes in every visit is killed at random points
// while another process keeps reading them: nobody ever sees a mix. Every
// other writer is killed from outside after a random delay, wherever it is;
// the rest kill themselves at a random step of a publication, so that every
// step is certainly hit.
TEST_F(MultiProcessTest, WriterKilledAtRandomPointsNeverLeavesAMix) {
    Child watcher({"watch", PidSwitch()});
    ASSERT_TRUE(watcher.WaitForSignal());
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, 2000);
    std::uniform_int_distribution<int> visit(2, 4);
    std::uniform_int_distribution<int> point(0, 7);  // the steps of a publication of three blocks
    const int rounds = KillRounds();
    int unfinished = 0, unfinished_from_outside = 0;
    int64_t last = 0;
    for (int round = 0; round < rounds; ++round) {
        const bool from_outside = round % 2 == 0;
        std::vector<std::string> args = {"triple", PidSwitch()};
        if (!from_outside) args.push_back(std::to_string(visit(random)) + ":" + std::to_string(point(random)));
        // A reader waiting for the lock would repair the cut publication as
        // soon as the writer dies, before this process can look at it: while
        // a writer kills itself, the reader waits stopped.
        if (!from_outside) {
            ASSERT_TRUE(StopOutsideLock(watcher.pid())) << "round " << round;
        }
        Child writer(args);
        ASSERT_TRUE(writer.WaitForSignal()) << "round " << round;
        if (from_outside) {
            ASSERT_NO_FATAL_FAILURE(KillAfter(writer, delay_us(random)));
        }
        const int status = writer.Wait();
        ASSERT_TRUE(KilledBySigkill(status)) << "round " << round << ": the writer saw a mix or stopped, status "
                                             << status;
        if (PublicationLeftUnfinished()) {
            ++unfinished;
            if (from_outside) ++unfinished_from_outside;
        }
        if (!from_outside) {
            ASSERT_EQ(kill(watcher.pid(), SIGCONT), 0);
        }
        const int64_t value = Triple();
        ASSERT_GE(value, last) << "round " << round;
        last = value;
    }
    std::printf("%d of %d kills left a publication unfinished (%d of the %d from outside); %lld visits completed\n",
                unfinished, rounds, unfinished_from_outside, (rounds + 1) / 2, static_cast<long long>(last));
    // Every writer that killed itself did so inside a publication, and with
    // the reader stopped nobody repaired it before we looked.
    EXPECT_EQ(unfinished - unfinished_from_outside, rounds / 2)
        << "a kill at a publication step did not leave the publication unfinished";
    ASSERT_EQ(kill(watcher.pid(), SIGTERM), 0);
    const int status = watcher.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "the reader saw a mix, status " << status;
}

// The host keeps its mapping of the array's block between visits while other
// processes grow and shrink it: every pull shows the whole new content.
TEST_F(MultiProcessTest, KeptMappingFollowsABlockThatAnotherProcessGrows) {
    const std::string block = BlockPath("arr", data_test::kGrowingNode);
    for (uint32_t count : {2u, 900u, 3u, 1000u}) {
        Child resizer({"resize", PidSwitch(), std::to_string(count)});
        ASSERT_TRUE(ExitedCleanly(resizer.Wait())) << "the child saw a wrong element before resizing to " << count;
        EXPECT_EQ(Growing(), count);
        EXPECT_TRUE(Mapped(block)) << "the host no longer keeps its mapping: the test would try nothing";
    }
    // What the host pushes into the grown block reaches the others whole.
    host_->Visit([](IDataVisitor* visitor) { data_test::ResizeGrowing(visitor, 1024); });
    Child resizer({"resize", PidSwitch(), "5"});
    EXPECT_TRUE(ExitedCleanly(resizer.Wait())) << "the child saw a wrong element of the host's push";
    EXPECT_EQ(Growing(), 5);
}

// Ways in which the file behind a block the host keeps mapped stops being the
// one its name leads to. The host has counted to 5 before.
struct ReplacedBlockCase {
    const char* name;
    void (*replace)(const std::string& path);
    bool other_writes_first;  // a child increments through the name before the host looks
    int64_t seen;             // what the host's next read gives
};

void PrintTo(const ReplacedBlockCase& c, std::ostream* out) { *out << c.name; }

void RemoveBlock(const std::string& path) { ASSERT_EQ(unlink(path.c_str()), 0); }

// A new file of another size, holding a complete counter record of 7, put
// in place with a rename.
void RenameOtherOver(const std::string& path) {
    CDataObject record(data_test::kCounterNode);
    record.SetLayout(data_test::kCounterLayout);
    record.SetInt64(0, 7);
    record.SetInt64(2, ~int64_t{7});
    std::string content(4 + record.RecordSize() + 20000, '\0');
    const uint32_t length = record.RecordSize();
    std::memcpy(content.data(), &length, sizeof length);
    record.StoreRecord(content.data() + 4);
    const std::string aside = path + ".new";
    const int fd = open(aside.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    ASSERT_EQ(rename(aside.c_str(), path.c_str()), 0);
}

class ReplacedBlockTest : public MultiProcessTest, public ::testing::WithParamInterface<ReplacedBlockCase> {};

TEST_P(ReplacedBlockTest, HostThatKeptTheOldMappingFollowsTheName) {
    const ReplacedBlockCase& c = GetParam();
    for (int i = 0; i < 5; ++i) host_->Visit([](IDataVisitor* visitor) { data_test::Increment(visitor); });
    const std::string block = BlockPath("obj", data_test::kCounterNode);
    ASSERT_TRUE(Mapped(block)) << "the host no longer keeps its mapping: the test would try nothing";
    c.replace(block);
    if (c.other_writes_first) {
        Child other({"increment", PidSwitch(), "1"});
        EXPECT_TRUE(ExitedCleanly(other.Wait()));
    }
    EXPECT_EQ(Counter(), c.seen) << "what the name leads to, not the file that is gone";
    // The host's change lands where the others look.
    host_->Visit([](IDataVisitor* visitor) { data_test::Increment(visitor); });
    Child other({"increment", PidSwitch(), "1"});
    EXPECT_TRUE(ExitedCleanly(other.Wait()));
    EXPECT_EQ(Counter(), c.seen + 2) << "the host wrote into the file that is gone";
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ReplacedBlockTest,
    ::testing::Values(
        // Nothing to read: the host keeps what it had, and its change makes the block anew.
        ReplacedBlockCase{"Removed", RemoveBlock, false, 5},
        // The child starts from an empty block.
        ReplacedBlockCase{"RemovedAndMadeAgainByAnother", RemoveBlock, true, 1},
        ReplacedBlockCase{"RenamedOverWithAnotherSize", RenameOtherOver, false, 7}),
    [](const auto& info) { return std::string(info.param.name); });

// A writer growing an array by a block's worth in every visit is killed at
// random points while the host keeps its mapping of that block: the host
// always sees a whole publication, and after a kill inside the writer's
// publication exactly the one before it. The block grows and its payload
// shrinks again on the way, so the host remaps now and then.
TEST_F(MultiProcessTest, WriterKilledAtRandomPointsWhileTheHostKeepsItsMapping) {
    const std::string block = BlockPath("arr", data_test::kGrowingNode);
    {
        Child resizer({"resize", PidSwitch(), "1"});
        ASSERT_TRUE(ExitedCleanly(resizer.Wait()));
    }
    int64_t count = Growing();
    ASSERT_EQ(count, 1);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, 3000);
    std::uniform_int_distribution<int> visit(2, 4);
    std::uniform_int_distribution<int> point(0, 3);  // the steps of a publication of one block
    const int rounds = KillRounds() / 3;
    for (int round = 0; round < rounds; ++round) {
        ASSERT_TRUE(Mapped(block)) << "round " << round << ": the host no longer keeps its mapping";
        const bool from_outside = round % 2 == 0;
        const int kill_visit = visit(random);
        std::vector<std::string> args = {"grow", PidSwitch()};
        if (!from_outside) args.push_back(std::to_string(kill_visit) + ":" + std::to_string(point(random)));
        Child writer(args);
        ASSERT_TRUE(writer.WaitForSignal()) << "round " << round;
        if (from_outside) {
            ASSERT_NO_FATAL_FAILURE(KillAfter(writer, delay_us(random)));
        }
        ASSERT_TRUE(KilledBySigkill(writer.Wait())) << "round " << round << ": the writer saw a wrong element";
        const int64_t seen = Growing();
        ASSERT_GE(seen, 0) << "round " << round;
        if (!from_outside) {
            // Every step of the visit the writer died in comes before its
            // publication is complete: nothing of it shows, nothing before it is lost.
            int64_t expected = count;
            for (int v = 1; v < kill_visit; ++v) expected = data_test::NextGrowingCount(static_cast<uint32_t>(expected));
            EXPECT_EQ(seen, expected) << "round " << round;
        }
        count = seen;
    }
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
