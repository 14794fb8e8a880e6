// The task manager inside the real host application object.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/core/test_wait.h"
#include <unistd.h>

#include "Application/Application.h"
#include "Tools/os.h"

namespace Application {
namespace {

using test_wait::WaitFor;

class HostAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-tasks-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        data_home_ = pattern;
        setenv("XDG_DATA_HOME", data_home_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", data_home_.c_str(), 1);
        char program[] = "tasks_app_test";
        char* argv[] = {program, nullptr};
        ASSERT_TRUE(MakeNomalApplication(1, argv, [](InterfaceBase*) { return true; }, [this](bool flag) {
            quit_flags_.push_back(flag);
            quit_on_main_.push_back(App()->GetThreadTaskMgr()->IsMainThread());
        }));
    }
    void TearDown() override {
        DestroyApplication();
        EXPECT_EQ(App(), nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(data_home_, ignored);
    }

    std::string data_home_;
    // Touched only by the quit callback, which runs on this (main) thread.
    std::vector<bool> quit_flags_;
    std::vector<bool> quit_on_main_;
    std::atomic<int> runs_{0};
    std::function<void()> again_;
};

TEST_F(HostAppTest, QuitFromWorkerReachesMainThreadAtNextPump) {
    IThreadTaskMgr* tasks = App()->GetThreadTaskMgr();
    ASSERT_TRUE(tasks->IsMainThread());
    std::atomic<bool> posted{false};
    tasks->PostWorker1Task([&] {
        App()->Quit(true);
        posted = true;
    });
    ASSERT_TRUE(WaitFor([&] { return posted.load(); }));
    EXPECT_TRUE(quit_flags_.empty()) << "the quit callback must wait for the main thread";

    ProcessMainThreadTask();
    ASSERT_EQ(quit_flags_.size(), 1u);
    EXPECT_TRUE(quit_flags_[0]);
    EXPECT_TRUE(quit_on_main_[0]);
}

TEST_F(HostAppTest, QuitOnMainThreadIsImmediate) {
    App()->Quit(false);
    ASSERT_EQ(quit_flags_.size(), 1u);
    EXPECT_FALSE(quit_flags_[0]);
}

TEST_F(HostAppTest, NotifierAndClocksAreLive) {
    int calls = 0;
    const uintptr_t handle =
        App()->GetNotifier()->Subscribe("app", 2, [&calls](unsigned, const char*, int) { ++calls; });
    EXPECT_NE(handle, 0u);
    App()->GetNotifier()->Notify("app", 2, nullptr, 0);
    EXPECT_EQ(calls, 1);
    App()->GetNotifier()->Unsubscribe("app", 2, handle);

    ITime* shared = App()->GetTimeMgr()->GetSharedTime();
    ASSERT_NE(shared, nullptr);
    shared->SetTimeMs(1'000'000);
    EXPECT_GE(shared->GetTimeMs(), 1'000'000u);
    EXPECT_LT(shared->GetTimeMs(), 1'000'000u + 60'000u);
}

TEST_F(HostAppTest, SelfRepostingWorkerTaskEndsWithTheApplication) {
    // TearDown destroys the application while this keeps re-posting itself;
    // the workers must be stopped before any component goes.
    again_ = [this] {
        ++runs_;
        App()->GetThreadTaskMgr()->PostWorker2Task(again_);
        App()->GetTimeMgr()->GetTimeById(3)->GetTimeMs();
    };
    App()->GetThreadTaskMgr()->PostWorker2Task(again_);
    ASSERT_TRUE(WaitFor([&] { return runs_ > 10; }));
}

// A plugin executable's main loop: it runs main tasks, delayed ones in due
// order and none early, and returns once Quit (here from a worker, while the
// loop sleeps towards a delayed task) has called the quit callback on it.
TEST_F(HostAppTest, RunMainThreadLoopRunsTasksAndReturnsAfterTheQuitCallback) {
    IThreadTaskMgr* tasks = App()->GetThreadTaskMgr();
    std::vector<int> order;
    const uint64_t posted = Tools::os_gettime_ms();
    uint64_t last_ran = 0;
    for (int delay : {40, 0, 20}) {
        tasks->PostMainThreadDelayTask([&, delay] {
            order.push_back(delay);
            last_ran = Tools::os_gettime_ms();
            if (order.size() == 3)
                tasks->PostWorker1DelayTask([] { App()->Quit(true); }, 10);
        }, static_cast<uint32_t>(delay));
    }
    tasks->PostMainThreadDelayTask([&] { order.push_back(-1); }, 60'000);
    EXPECT_EQ(RunMainThreadLoop(), 0);
    EXPECT_EQ(order, (std::vector<int>{0, 20, 40}));
    EXPECT_GE(last_ran, posted + 40);
    ASSERT_EQ(quit_flags_.size(), 1u);
    EXPECT_TRUE(quit_flags_[0]);
    EXPECT_TRUE(quit_on_main_[0]);
}

// A loop of the program's own that just calls ProcessMainThreadTask now and
// then (and never asks how long to sleep) still gets every task, delayed
// ones included.
TEST_F(HostAppTest, OwnLoopCallingProcessMainThreadTaskKeepsWorking) {
    IThreadTaskMgr* tasks = App()->GetThreadTaskMgr();
    std::atomic<int> ran{0};
    tasks->PostMainThreadDelayTask([&] { ++ran; }, 20);
    tasks->PostWorker2Task([&] { tasks->PostMainThreadTask([&] { ++ran; }); });
    EXPECT_TRUE(WaitFor([&] {
        ProcessMainThreadTask();
        return ran == 2;
    }));
    EXPECT_GE(GetMainThreadWakeFd(), 0);
}

}  // namespace
}  // namespace Application
