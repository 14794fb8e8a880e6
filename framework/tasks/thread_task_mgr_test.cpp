#include "framework/tasks/thread_task_mgr.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/core/test_wait.h"

#include "Tools/os.h"

namespace Application {
namespace {

using test_wait::WaitFor;

// Pumps the main queue on this thread until condition holds.
bool PumpUntil(ThreadTaskMgr& mgr, const std::function<bool()>& condition) {
    return WaitFor([&] {
        mgr.RunMainQueuePass();
        return condition();
    });
}

bool OnOtherThread(const std::function<bool()>& query) {
    bool result = false;
    std::thread([&] { result = query(); }).join();
    return result;
}

struct Where {
    bool main = false;
    bool worker1 = false;
    bool worker2 = false;
};

TEST(ThreadTaskMgrTest, ThreadQueriesFollowInitAndFree) {
    ThreadTaskMgr mgr;
    EXPECT_FALSE(mgr.IsMainThread());
    EXPECT_FALSE(OnOtherThread([&] { return mgr.IsMainThread(); }));
    EXPECT_FALSE(mgr.IsWorker1Thread());
    EXPECT_FALSE(mgr.IsWorker2Thread());

    ASSERT_TRUE(mgr.Init());
    EXPECT_TRUE(mgr.IsMainThread());
    EXPECT_FALSE(OnOtherThread([&] { return mgr.IsMainThread(); }));

    auto where = [&] { return Where{mgr.IsMainThread(), mgr.IsWorker1Thread(), mgr.IsWorker2Thread()}; };
    Where on1, on2, on_main;
    std::atomic<int> done{0};
    mgr.PostWorker1Task([&] {
        on1 = where();
        // Hop to the main queue: it runs on the thread that pumps.
        mgr.PostMainThreadTask([&] {
            on_main = where();
            ++done;
        });
        ++done;
    });
    mgr.PostWorker2Task([&] {
        on2 = where();
        ++done;
    });
    ASSERT_TRUE(PumpUntil(mgr, [&] { return done == 3; }));
    EXPECT_TRUE(!on1.main && on1.worker1 && !on1.worker2);
    EXPECT_TRUE(!on2.main && !on2.worker1 && on2.worker2);
    EXPECT_TRUE(on_main.main && !on_main.worker1 && !on_main.worker2);

    mgr.Free();
    EXPECT_FALSE(OnOtherThread([&] { return mgr.IsWorker1Thread() || mgr.IsWorker2Thread(); }));
}

TEST(ThreadTaskMgrTest, WorkerPostsOutsideInitAndFreeAreDroppedMainPostsStay) {
    auto token = std::make_shared<int>(0);
    std::atomic<int> main_runs{0};
    ThreadTaskMgr mgr;
    mgr.PostWorker1Task([token] {});
    mgr.PostWorker2Task([token] {}, true);
    mgr.PostWorker1DelayTask([token] {}, 1);
    mgr.PostWorker2DelayTask([token] {}, 1, true);
    EXPECT_EQ(token.use_count(), 1);
    mgr.PostMainThreadTask([&main_runs] { ++main_runs; });

    ASSERT_TRUE(mgr.Init());
    mgr.RunMainQueuePass();
    EXPECT_EQ(main_runs, 1);

    mgr.Free();
    mgr.PostWorker1Task([token] {});
    mgr.PostWorker2DelayTask([token] {}, 1);
    EXPECT_EQ(token.use_count(), 1);
    mgr.PostMainThreadTask([&main_runs] { ++main_runs; });
    mgr.RunMainQueuePass();
    EXPECT_EQ(main_runs, 2);
}

TEST(ThreadTaskMgrTest, FreeDiscardsPendingMainTasksAndIsHarmlessTwice) {
    auto token = std::make_shared<int>(0);
    std::atomic<int> runs{0};
    ThreadTaskMgr mgr;
    mgr.Free();  // before Init
    ASSERT_TRUE(mgr.Init());
    mgr.PostMainThreadTask([token, &runs] { ++runs; });
    mgr.PostMainThreadTask([token, &runs] { ++runs; }, true);
    mgr.PostMainThreadDelayTask([token, &runs] { ++runs; }, 3'600'000);
    mgr.PostWorker1DelayTask([token, &runs] { ++runs; }, 3'600'000);
    EXPECT_EQ(token.use_count(), 5);
    mgr.Free();
    EXPECT_EQ(token.use_count(), 1);
    mgr.Free();
    mgr.RunMainQueuePass();
    EXPECT_EQ(runs, 0);
}

TEST(ThreadTaskMgrTest, DestructorWithoutFreeStopsWorkersAndDestroysTasks) {
    auto token = std::make_shared<int>(0);
    {
        ThreadTaskMgr mgr;
        ASSERT_TRUE(mgr.Init());
        mgr.PostMainThreadTask([token] {});
        mgr.PostWorker1DelayTask([token] {}, 3'600'000);
        mgr.PostWorker2DelayTask([token] {}, 3'600'000, true);
    }
    EXPECT_EQ(token.use_count(), 1);
}

// Work handed to worker2 just before the stop (the plugin link's farewells)
// is done before the thread ends; not-yet-due delayed work is dropped.
TEST(ThreadTaskMgrTest, FreeRunsWhatWasPostedToWorker2BeforeIt) {
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    std::atomic<bool> release{false};
    std::atomic<bool> busy{false};
    std::atomic<int> ran{0};
    auto token = std::make_shared<int>(0);
    // The worker is busy when the stop comes, so the tasks behind are still
    // listed. Wait until it is: priority tasks would otherwise go ahead of it.
    mgr.PostWorker2Task([&] {
        busy = true;
        while (!release) std::this_thread::yield();
    });
    while (!busy) std::this_thread::yield();
    for (int i = 0; i < 100; ++i) mgr.PostWorker2Task([&ran] { ++ran; }, i % 2 == 0);
    mgr.PostWorker2DelayTask([token, &ran] { ran += 1000; }, 3'600'000);
    EXPECT_EQ(mgr.Worker2PendingCountForTesting(), 102u) << "the running task and the 101 behind it";
    std::thread releaser([&] {
        while (mgr.IsWorker2Running()) std::this_thread::yield();
        release = true;
    });
    mgr.Free();
    releaser.join();
    EXPECT_EQ(ran, 100);
    EXPECT_EQ(token.use_count(), 1) << "the delayed task is destroyed unrun";
    EXPECT_EQ(mgr.Worker2PendingCountForTesting(), 0u);
    mgr.PostWorker2Task([&ran] { ++ran; });
    EXPECT_EQ(mgr.Worker2PendingCountForTesting(), 0u) << "posts after Free are dropped";
}

TEST(ThreadTaskMgrTest, DelayedTasksRunWhenDueOnEveryTarget) {
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    constexpr uint32_t kDelay = 30;
    std::atomic<uint64_t> ran_at[3] = {0, 0, 0};
    const uint64_t posted = Tools::os_gettime_ms();
    mgr.PostMainThreadDelayTask([&] { ran_at[0] = Tools::os_gettime_ms(); }, kDelay);
    mgr.PostWorker1DelayTask([&] { ran_at[1] = Tools::os_gettime_ms(); }, kDelay);
    mgr.PostWorker2DelayTask([&] { ran_at[2] = Tools::os_gettime_ms(); }, kDelay, true);
    ASSERT_TRUE(PumpUntil(mgr, [&] { return ran_at[0] && ran_at[1] && ran_at[2]; }));
    for (auto& at : ran_at) EXPECT_GE(at.load(), posted + kDelay);
    mgr.Free();
}

TEST(ThreadTaskMgrTest, PostsFromManyThreadsAtOnceAllRun) {
    constexpr int kPosters = 4;
    constexpr int kPerPoster = 1000;
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    std::atomic<int> main_runs{0}, worker1_runs{0}, worker2_runs{0};
    std::atomic<bool> wrong_thread{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kPerPoster; ++i) {
                const bool priority = (i + p) % 3 == 0;
                mgr.PostMainThreadTask([&] {
                    if (!mgr.IsMainThread()) wrong_thread = true;
                    ++main_runs;
                }, priority);
                mgr.PostWorker1Task([&] {
                    if (!mgr.IsWorker1Thread()) wrong_thread = true;
                    ++worker1_runs;
                }, priority);
                if (i % 10 == 0) {
                    mgr.PostWorker2DelayTask([&] {
                        if (!mgr.IsWorker2Thread()) wrong_thread = true;
                        ++worker2_runs;
                    }, 1, priority);
                } else {
                    mgr.PostWorker2Task([&] { ++worker2_runs; }, priority);
                }
            }
        });
    }
    constexpr int kTotal = kPosters * kPerPoster;
    EXPECT_TRUE(PumpUntil(mgr, [&] { return main_runs == kTotal && worker1_runs == kTotal && worker2_runs == kTotal; }));
    for (std::thread& poster : posters) poster.join();
    mgr.Free();
    EXPECT_FALSE(wrong_thread);
}

TEST(ThreadTaskMgrTest, MainTaskExceptionIsReportedAndPassGoesOn) {
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    int later = 0;
    mgr.PostMainThreadTask([] { throw std::logic_error("main boom"); });
    mgr.PostMainThreadTask([&later] { ++later; });
    ::testing::internal::CaptureStderr();
    mgr.RunMainQueuePass();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(later, 1);
    EXPECT_NE(errors.find("thread main: main boom"), std::string::npos) << errors;
    mgr.Free();
}

// Times a thread went off its core, asleep or preempted: every wake-up shows here.
long ContextSwitches(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

// RunMainLoop on a thread of its own, which stands for the main thread.
class MainLoopThread {
public:
    explicit MainLoopThread(ThreadTaskMgr& mgr) : mgr_(mgr) {
        thread_ = std::thread([this] {
            tid_ = gettid();
            started_ = true;
            mgr_.RunMainLoop();
            ended_ = true;
        });
        WaitFor([this] { return started_.load(); });
    }
    ~MainLoopThread() {
        mgr_.QuitMainLoop();
        thread_.join();
    }
    // True once the loop returned, within a generous deadline.
    bool EndsAfterQuit() {
        mgr_.QuitMainLoop();
        return WaitFor([this] { return ended_.load(); });
    }
    pid_t tid() const { return tid_.load(); }

private:
    ThreadTaskMgr& mgr_;
    std::thread thread_;
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> ended_{false};
};

// Over a second with nothing to do, not even with delayed tasks waiting far
// ahead, neither worker nor the main loop wakes to look (the bound is
// generous: a wake every 100 ms would be ten).
TEST(ThreadTaskMgrIdleTest, IdleThreadsSleepUntilWorkComes) {
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    MainLoopThread main_loop(mgr);
    std::atomic<pid_t> worker1{0}, worker2{0};
    mgr.PostWorker1Task([&] { worker1 = gettid(); });
    mgr.PostWorker2Task([&] { worker2 = gettid(); });
    ASSERT_TRUE(WaitFor([&] { return worker1 && worker2; }));
    std::atomic<int> far_runs{0};
    mgr.PostWorker1DelayTask([&] { ++far_runs; }, 60'000);
    mgr.PostWorker2DelayTask([&] { ++far_runs; }, 60'000);
    mgr.PostMainThreadDelayTask([&] { ++far_runs; }, 60'000);
    // Lets the posts above be taken in before counting.
    std::atomic<int> settled{0};
    mgr.PostWorker1Task([&] { ++settled; });
    mgr.PostWorker2Task([&] { ++settled; });
    mgr.PostMainThreadTask([&] { ++settled; });
    ASSERT_TRUE(WaitFor([&] { return settled == 3; }));
    const pid_t tids[] = {worker1.load(), worker2.load(), main_loop.tid()};
    long before[3];
    for (int i = 0; i < 3; ++i) before[i] = ContextSwitches(tids[i]);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const char* names[] = {"worker1", "worker2", "main loop"};
    for (int i = 0; i < 3; ++i)
        EXPECT_LE(ContextSwitches(tids[i]) - before[i], 3) << names[i] << " woke with nothing to do";
    // Still awake to work: a post gets through at once.
    std::atomic<int> after{0};
    mgr.PostWorker1Task([&] { ++after; });
    mgr.PostMainThreadTask([&] { ++after; });
    EXPECT_TRUE(WaitFor([&] { return after == 2; }));
    EXPECT_EQ(far_runs.load(), 0);
    EXPECT_TRUE(main_loop.EndsAfterQuit());
    mgr.Free();
}

// The main loop runs posts at once and delayed tasks in due order, none
// early, also when they come from a worker while it sleeps; a quit from
// another thread ends it while it sleeps towards a delayed task.
TEST(ThreadTaskMgrMainLoopTest, RunsPostsAndDelayedTasksInDueOrderAndEndsOnQuit) {
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    MainLoopThread main_loop(mgr);
    std::mutex mutex;
    std::vector<std::pair<int, uint64_t>> runs;
    auto record = [&](int what) {
        std::lock_guard<std::mutex> guard(mutex);
        runs.emplace_back(what, Tools::os_gettime_ms());
    };
    const uint64_t posted = Tools::os_gettime_ms();
    for (int delay : {90, 30, 60}) mgr.PostMainThreadDelayTask([&, delay] { record(delay); }, delay);
    mgr.PostWorker1Task([&] { mgr.PostMainThreadTask([&] { record(0); }); });
    mgr.PostMainThreadDelayTask([&] { record(-1); }, 60'000);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> guard(mutex);
        return runs.size() == 4;
    }));
    EXPECT_TRUE(main_loop.EndsAfterQuit());
    ASSERT_EQ(runs.size(), 4u) << "the far task ran";
    EXPECT_EQ(runs[0].first, 0);
    EXPECT_EQ(runs[1].first, 30);
    EXPECT_EQ(runs[2].first, 60);
    EXPECT_EQ(runs[3].first, 90);
    for (const auto& [delay, ran_at] : runs) EXPECT_GE(ran_at, posted + static_cast<uint64_t>(std::max(delay, 0)));
    mgr.Free();
}

// A quit that came first ends the loop at once, after one pass that runs
// what was already posted.
TEST(ThreadTaskMgrMainLoopTest, QuitBeforeTheLoopEndsItAfterOnePass) {
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    int ran = 0;
    mgr.PostMainThreadTask([&] { ++ran; });
    mgr.QuitMainLoop();
    auto loop = std::async(std::launch::async, [&] { return mgr.RunMainLoop(); });
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(loop.get(), 0);
    EXPECT_EQ(ran, 1);
    mgr.Free();
}

// For an event loop of its own: PrepareMainSleep tells how long to sleep,
// and the descriptor turns readable when a task is posted meanwhile.
TEST(ThreadTaskMgrMainLoopTest, OwnEventLoopSleepsOnTheDescriptor) {
    ThreadTaskMgr mgr;
    ASSERT_TRUE(mgr.Init());
    ASSERT_GE(mgr.MainWakeDescriptor(), 0);
    mgr.RunMainQueuePass();
    EXPECT_EQ(mgr.PrepareMainSleep(), -1) << "nothing waits: sleep until a post";
    mgr.RunMainQueuePass();
    mgr.PostMainThreadDelayTask([] {}, 50'000);
    EXPECT_EQ(mgr.PrepareMainSleep(), 0) << "posted since the pass: pass again first";
    mgr.RunMainQueuePass();
    const int wait = mgr.PrepareMainSleep();
    EXPECT_GT(wait, 40'000);
    EXPECT_LE(wait, 50'000 + static_cast<int>(TaskQueue::kMaxSlackMs));
    bool ran = false;
    mgr.PostWorker1Task([&] { mgr.PostMainThreadTask([&] { ran = true; }); });
    pollfd entry{mgr.MainWakeDescriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 20'000), 1) << "a post did not wake the sleeping loop";
    mgr.RunMainQueuePass();
    EXPECT_TRUE(ran);
    entry.revents = 0;
    EXPECT_EQ(::poll(&entry, 1, 0), 0) << "the pass leaves the descriptor unreadable";
    mgr.Free();
}

}  // namespace
}  // namespace Application
