#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "tools/os_semaphore_p.h"

namespace {

using namespace Tools;

class SemaphoreTest : public ::testing::Test {
protected:
    // Unique per test and run, so parallel runs never meet.
    std::string Name(const char* tag) {
        return std::string("test/") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + tag +
               "-" + std::to_string(::getpid());
    }
    static bool ObjectExists(const std::string& name) {
        return ::access(("/dev/shm" + detail::SemaphoreObjectName(name.c_str())).c_str(), F_OK) == 0;
    }
};

TEST_F(SemaphoreTest, CountsUpToItsMaximum) {
    for (const char* name : {"named", ""}) {
        const std::string full = *name ? Name(name) : "";
        os_sem_t semaphore = SemCreate(1, 2, full.c_str());
        ASSERT_NE(semaphore, nullptr) << name;
        EXPECT_TRUE(SemWait(semaphore, 0));
        EXPECT_FALSE(SemWait(semaphore, 0));
        EXPECT_FALSE(SemWait(semaphore, 30));
        SemRelease(semaphore, 2);
        SemRelease(semaphore, 1);  // beyond the maximum: nothing released
        EXPECT_TRUE(SemWait(semaphore, 0));
        EXPECT_TRUE(SemWait(semaphore, 0));
        EXPECT_FALSE(SemWait(semaphore, 0));
        SemRelease(semaphore, 3);  // more than the maximum at once: nothing either
        EXPECT_FALSE(SemWait(semaphore, 0));
        SemClose(semaphore, full.c_str());
    }
    EXPECT_EQ(SemCreate(2, 1, Name("bad").c_str()), nullptr);
    EXPECT_EQ(SemCreate(0, 0, nullptr), nullptr);
    EXPECT_FALSE(SemWait(nullptr, 0));
    SemRelease(nullptr, 1);
    SemClose(nullptr, nullptr);
}

TEST_F(SemaphoreTest, WaitWithoutLimitWakesOnRelease) {
    os_sem_t semaphore = SemCreate(0, 1, Name("x").c_str());
    ASSERT_NE(semaphore, nullptr);
    std::atomic<bool> obtained{false};
    std::thread waiter([&] { obtained = SemWait(semaphore, -1); });
    SemRelease(semaphore, 1);
    waiter.join();
    EXPECT_TRUE(obtained);
    SemClose(semaphore, nullptr);
}

TEST_F(SemaphoreTest, SharedWithAnotherProcessAndRemovedByLastClose) {
    const std::string name = Name("shared");
    EXPECT_EQ(SemOpen(name.c_str()), nullptr);
    os_sem_t semaphore = SemCreate(0, 1, name.c_str());
    ASSERT_NE(semaphore, nullptr);
    EXPECT_TRUE(ObjectExists(name));
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        os_sem_t opened = SemOpen(name.c_str());
        if (!opened) ::_exit(1);
        SemRelease(opened, 1);
        SemClose(opened, name.c_str());
        ::_exit(0);
    }
    EXPECT_TRUE(SemWait(semaphore, 20000));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(ObjectExists(name));  // the child's close left ours alone
    SemClose(semaphore, name.c_str());
    EXPECT_FALSE(ObjectExists(name));
    EXPECT_EQ(SemOpen(name.c_str()), nullptr);
}

TEST_F(SemaphoreTest, ObjectIsPrivateToTheUser) {
    const std::string name = Name("private");
    os_sem_t semaphore = SemCreate(1, 1, name.c_str());
    ASSERT_NE(semaphore, nullptr);
    struct stat info{};
    ASSERT_EQ(::stat(("/dev/shm" + detail::SemaphoreObjectName(name.c_str())).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    SemClose(semaphore, nullptr);

    // An object others can open, as one planted by another user would be, is refused.
    const std::string planted = Name("planted");
    const std::string object = detail::SemaphoreObjectName(planted.c_str());
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0666);
    ::close(fd);
    EXPECT_EQ(SemCreate(1, 1, planted.c_str()), nullptr);
    EXPECT_EQ(SemOpen(planted.c_str()), nullptr);
    ::shm_unlink(object.c_str());
    EXPECT_NE(detail::SemaphoreObjectName("a/b").find("a%2Fb"), std::string::npos);
}

TEST_F(SemaphoreTest, StartsAfreshWhenEveryHolderDied) {
    const std::string name = Name("stale");
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // Takes the only unit and dies holding it.
        os_sem_t semaphore = SemCreate(1, 1, name.c_str());
        if (!semaphore || !SemWait(semaphore, 0)) ::_exit(1);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_TRUE(ObjectExists(name));
    os_sem_t semaphore = SemCreate(1, 1, name.c_str());
    ASSERT_NE(semaphore, nullptr);
    EXPECT_TRUE(SemWait(semaphore, 0));
    SemClose(semaphore, nullptr);
    EXPECT_FALSE(ObjectExists(name));
}

// Used as a lock by several processes at once: no increment is lost.
TEST_F(SemaphoreTest, ExcludesAcrossProcesses) {
    const std::string name = Name("lock");
    os_sem_t semaphore = SemCreate(1, 1, name.c_str());
    ASSERT_NE(semaphore, nullptr);
    auto* counter = static_cast<volatile long*>(
        ::mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(counter, MAP_FAILED);
    *counter = 0;
    constexpr int kWorkers = 3, kRounds = 2000;
    pid_t workers[kWorkers];
    for (pid_t& worker : workers) {
        worker = ::fork();
        ASSERT_NE(worker, -1);
        if (worker == 0) {
            os_sem_t mine = SemOpen(name.c_str());
            if (!mine) ::_exit(1);
            for (int i = 0; i < kRounds; ++i) {
                if (!SemWait(mine, -1)) ::_exit(2);
                const long seen = *counter;
                if (i % 64 == 0) ::sched_yield();  // widen the window a lost update needs
                *counter = seen + 1;
                SemRelease(mine, 1);
            }
            SemClose(mine, name.c_str());
            ::_exit(0);
        }
    }
    for (pid_t worker : workers) {
        int status = 0;
        ASSERT_EQ(::waitpid(worker, &status, 0), worker);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(*counter, kWorkers * kRounds);
    ::munmap(const_cast<long*>(counter), sizeof(long));
    SemClose(semaphore, name.c_str());
}

}  // namespace
