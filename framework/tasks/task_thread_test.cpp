#include "framework/tasks/task_thread.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/core/test_wait.h"

#include "Tools/os.h"

namespace Application {
namespace {

using test_wait::WaitFor;

struct WaitCase {
    const char* title;
    uint64_t earliest_due;
    uint64_t now;
    int64_t expected;
};

class WaitBeforeNextPassTest : public ::testing::TestWithParam<WaitCase> {};

// Nothing waiting means a sleep without limit (-1), never a periodic look.
TEST_P(WaitBeforeNextPassTest, SleepsUntilDueOrUntilAPost) {
    EXPECT_EQ(WaitBeforeNextPass(GetParam().earliest_due, GetParam().now), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitBeforeNextPassTest,
    ::testing::Values(WaitCase{"NothingWaiting", TaskQueue::kNoDueTime, 5000, -1},
                      WaitCase{"DueSoon", 5030, 5000, 30}, WaitCase{"DueInOne", 5001, 5000, 1},
                      WaitCase{"DueNow", 5000, 5000, 0}, WaitCase{"Overdue", 4000, 5000, 0},
                      WaitCase{"DueFarAway", 5000 + 3'600'000, 5000, 3'600'000},
                      WaitCase{"BeyondAnyDelay", TaskQueue::kNoDueTime - 1, 0, int64_t{1} << 32}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.title); });

TEST(TaskThreadTest, PostsWhileStoppedAreDroppedAndDestroyed) {
    TaskThread thread("worker1");
    auto token = std::make_shared<int>(0);
    std::atomic<int> runs{0};
    thread.Post([token, &runs] { ++runs; }, false);
    thread.PostDelay([token, &runs] { ++runs; }, 1, true);
    EXPECT_EQ(token.use_count(), 1);

    ASSERT_TRUE(thread.Start());
    thread.Post([&runs] { ++runs; }, false);
    ASSERT_TRUE(WaitFor([&] { return runs == 1; }));
    thread.Stop();

    thread.Post([token, &runs] { ++runs; }, false);
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(runs, 1);
}

TEST(TaskThreadTest, RunsTasksOnItsOwnThreadAndRestarts) {
    TaskThread thread("worker1");
    EXPECT_FALSE(thread.IsCurrent()) << "no thread yet";
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(thread.Start());
        ASSERT_TRUE(thread.Start()) << "a second Start is a no-op";
        std::atomic<bool> on_worker{false};
        std::atomic<bool> done{false};
        std::thread::id worker_id;
        thread.Post([&] {
            on_worker = thread.IsCurrent();
            worker_id = std::this_thread::get_id();
            done = true;
        }, false);
        ASSERT_TRUE(WaitFor([&] { return done.load(); }));
        EXPECT_TRUE(on_worker);
        EXPECT_NE(worker_id, std::this_thread::get_id());
        EXPECT_FALSE(thread.IsCurrent());
        thread.Stop();
        thread.Stop();
        EXPECT_FALSE(thread.IsRunning());
    }
}

TEST(TaskThreadTest, StopRunsDueTasksOfFinalPassAndDestroysTheRest) {
    auto token = std::make_shared<int>(0);
    std::atomic<int> ran{0};
    {
        TaskThread thread("worker1");
        ASSERT_TRUE(thread.Start());
        std::atomic<bool> release{false};
        std::atomic<bool> blocking{false};
        thread.Post([&] {
            blocking = true;
            while (!release) std::this_thread::yield();
        }, false);
        ASSERT_TRUE(WaitFor([&] { return blocking.load(); }));
        thread.Post([&ran, token] { ++ran; }, false);
        thread.PostDelay([token] {}, 3'600'000, false);
        std::thread stopper([&] { thread.Stop(); });
        ASSERT_TRUE(WaitFor([&] { return !thread.IsRunning(); }));
        thread.Post([token] {}, false);
        EXPECT_EQ(token.use_count(), 3) << "posts after Stop are dropped";
        release = true;
        stopper.join();
        EXPECT_EQ(token.use_count(), 1) << "the never-due task is destroyed unrun";
    }
    // Posted after the final pass took its snapshot: destroyed, never run.
    EXPECT_EQ(ran, 0);
}

TEST(TaskThreadTest, StopOnOwnThreadThrowsAndChangesNothing) {
    TaskThread thread("worker1");
    ASSERT_TRUE(thread.Start());
    std::atomic<bool> threw{false};
    std::atomic<bool> later{false};
    thread.Post([&] {
        try {
            thread.Stop();
        } catch (const std::system_error& error) {
            threw = error.code() == std::errc::resource_deadlock_would_occur;
        }
    }, false);
    thread.Post([&] { later = true; }, false);
    ASSERT_TRUE(WaitFor([&] { return later.load(); }));
    EXPECT_TRUE(threw);
    EXPECT_TRUE(thread.IsRunning());
    thread.Stop();
}

TEST(TaskThreadTest, ExceptionInTaskIsReportedAndThreadGoesOn) {
    TaskThread thread("worker2");
    ASSERT_TRUE(thread.Start());
    std::atomic<bool> later{false};
    ::testing::internal::CaptureStderr();
    thread.Post([] { throw std::runtime_error("worker boom"); }, false);
    thread.Post(Task(), true);
    thread.Post([&] { later = true; }, false);
    const bool ran = WaitFor([&] { return later.load(); });
    thread.Stop();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ran);
    EXPECT_NE(errors.find("thread worker2: worker boom"), std::string::npos) << errors;
    EXPECT_NE(errors.find("thread worker2: bad_function_call"), std::string::npos) << errors;
}

TEST(TaskThreadTest, DelayedTasksRunWhenDueInDueOrder) {
    TaskThread thread("worker1");
    ASSERT_TRUE(thread.Start());
    std::mutex mutex;
    std::vector<std::pair<int, uint64_t>> runs;
    const uint64_t posted = Tools::os_gettime_ms();
    for (int delay : {60, 20, 40}) {
        thread.PostDelay([&, delay] {
            std::lock_guard<std::mutex> guard(mutex);
            runs.emplace_back(delay, Tools::os_gettime_ms());
        }, delay, false);
    }
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> guard(mutex);
        return runs.size() == 3;
    }));
    thread.Stop();
    EXPECT_EQ(runs[0].first, 20);
    EXPECT_EQ(runs[1].first, 40);
    EXPECT_EQ(runs[2].first, 60);
    for (const auto& [delay, ran_at] : runs) EXPECT_GE(ran_at, posted + delay) << "ran early";
}

TEST(TaskThreadTest, PostsFromManyThreadsAllRunInPerThreadOrder) {
    constexpr int kPosters = 4;
    constexpr int kPerPoster = 2000;
    TaskThread thread("worker1");
    ASSERT_TRUE(thread.Start());
    std::vector<int> last_seen(kPosters, -1);
    std::atomic<int> total{0};
    std::atomic<bool> in_order{true};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kPerPoster; ++i) {
                // Only the worker touches last_seen. Half the posters use
                // the priority list; each list keeps its posting order.
                thread.Post([&, p, i] {
                    if (last_seen[p] != i - 1) in_order = false;
                    last_seen[p] = i;
                    ++total;
                }, p % 2 == 1);
            }
        });
    }
    for (std::thread& poster : posters) poster.join();
    EXPECT_TRUE(WaitFor([&] { return total == kPosters * kPerPoster; }));
    thread.Stop();
    EXPECT_TRUE(in_order);
}

}  // namespace
}  // namespace Application
