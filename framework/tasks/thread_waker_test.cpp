// The cheap hand-off must never lose a wake-up: posts racing with the
// owner's decision to sleep, many producers and consumers, delayed tasks
// falling due while posts arrive, stops while the owner sleeps. A lost
// wake-up shows as an owner that sleeps on with work waiting, caught by a
// generous deadline. Smaller counts when CI is set.

#include "framework/tasks/thread_waker.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "framework/core/test_wait.h"
#include "framework/tasks/task_thread.h"

namespace Application {
namespace {

using test_wait::WaitFor;

int Scaled(int full) { return std::getenv("CI") ? full / 5 : full; }

struct WakerCase {
    const char* title;
    bool descriptor;
    int64_t spin_us;
};

// One owner consuming what producers hand over under a lock, as TaskQueue does.
class Mailbox {
public:
    explicit Mailbox(const WakerCase& mode) : mode_(mode), waker_(mode.descriptor) {}

    void Put() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ++waiting_;
        }
        waker_.Wake();
    }

    void Stop() {
        stop_.store(true);
        waker_.Wake();
    }

    // The owner's loop: every pass takes all that waits, then sleeps without limit.
    void Run() {
        for (;;) {
            waker_.BeginPass();
            {
                std::lock_guard<std::mutex> guard(mutex_);
                taken_.fetch_add(waiting_);
                waiting_ = 0;
            }
            if (stop_.load()) return;
            waker_.Sleep(-1, mode_.spin_us);
            wakes_.fetch_add(1);
        }
    }

    long Taken() const { return taken_.load(); }
    long Wakes() const { return wakes_.load(); }

private:
    const WakerCase mode_;
    ThreadWaker waker_;
    std::mutex mutex_;
    long waiting_ = 0;
    std::atomic<long> taken_{0};
    std::atomic<long> wakes_{0};
    std::atomic<bool> stop_{false};
};

class ThreadWakerStressTest : public ::testing::TestWithParam<WakerCase> {};

// One item at a time, the next only once the last was taken: every item
// meets an owner on its way to sleep or asleep.
TEST_P(ThreadWakerStressTest, PingPongNeverLosesAWakeUp) {
    Mailbox box(GetParam());
    std::thread owner([&] { box.Run(); });
    const int rounds = Scaled(20000);
    bool lost = false;
    for (int i = 1; i <= rounds && !lost; ++i) {
        box.Put();
        // Spins at first so that the post often lands just as the owner decides to sleep.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (int spin = 0; box.Taken() < i; ++spin) {
            if (spin > 1000) std::this_thread::yield();
            if (std::chrono::steady_clock::now() > deadline) lost = true;
            if (lost) break;
        }
    }
    box.Stop();
    owner.join();
    EXPECT_FALSE(lost) << "an item waited 20 s for its owner: a wake-up was lost";
    EXPECT_EQ(box.Taken(), lost ? box.Taken() : rounds);
}

TEST_P(ThreadWakerStressTest, ManyProducersNeverLoseAWakeUp) {
    Mailbox box(GetParam());
    std::thread owner([&] { box.Run(); });
    constexpr int kProducers = 4;
    const int per_producer = Scaled(20000);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            std::minstd_rand random(static_cast<unsigned>(p + 1));
            for (int i = 0; i < per_producer; ++i) {
                box.Put();
                // Bursts and pauses: sometimes the owner is busy, sometimes asleep.
                if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
            }
        });
    }
    for (std::thread& producer : producers) producer.join();
    EXPECT_TRUE(WaitFor([&] { return box.Taken() == long{kProducers} * per_producer; }))
        << "taken " << box.Taken() << " of " << kProducers * per_producer << ": a wake-up was lost";
    box.Stop();
    owner.join();
    // Several items per wake-up: the owner woke fewer times than items came.
    EXPECT_LE(box.Wakes(), long{kProducers} * per_producer);
}

// A stop that comes while the owner sleeps without limit ends it at once.
TEST_P(ThreadWakerStressTest, StopWhileAsleepEndsTheOwner) {
    for (int i = 0; i < Scaled(500); ++i) {
        Mailbox box(GetParam());
        std::thread owner([&] { box.Run(); });
        if (i % 2 == 0) box.Put();
        if (i % 3 == 0) std::this_thread::yield();
        box.Stop();
        auto joined = std::async(std::launch::async, [&] { owner.join(); });
        ASSERT_EQ(joined.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "round " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ThreadWakerStressTest,
                         ::testing::Values(WakerCase{"Condition", false, 0}, WakerCase{"ConditionSpinning", false, 50},
                                           WakerCase{"Descriptor", true, 0}),
                         [](const ::testing::TestParamInfo<WakerCase>& info) { return std::string(info.param.title); });

// The descriptor turns readable only for a wake that meets a sleeping owner,
// and a pass clears it again.
TEST(ThreadWakerTest, DescriptorSignalsOnlyASleepingOwner) {
    ThreadWaker waker(true);
    ASSERT_GE(waker.Descriptor(), 0);
    auto readable = [&] {
        pollfd entry{waker.Descriptor(), POLLIN, 0};
        return ::poll(&entry, 1, 0) == 1;
    };
    waker.BeginPass();
    waker.Wake();
    EXPECT_FALSE(readable()) << "a running owner needs no system call";
    EXPECT_FALSE(waker.PrepareToSleep()) << "a wake was pending: pass again first";
    EXPECT_TRUE(waker.BeginPass());
    ASSERT_TRUE(waker.PrepareToSleep());
    EXPECT_FALSE(readable());
    waker.Wake();
    waker.Wake();
    EXPECT_TRUE(readable());
    EXPECT_TRUE(waker.BeginPass());
    EXPECT_FALSE(readable());
    EXPECT_FALSE(waker.BeginPass());
}

// Several worker threads hand tasks on to each other while outside threads
// post immediate and delayed tasks: every task runs once, none before its delay.
TEST(TaskThreadStressTest, HopsAndDelayedTasksAllRunNoneEarly) {
    constexpr int kThreads = 3;
    constexpr int kPosters = 3;
    constexpr int kHops = 4;
    const int per_poster = Scaled(3000);
    std::vector<std::unique_ptr<TaskThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(std::make_unique<TaskThread>("stress"));
        ASSERT_TRUE(threads.back()->Start());
    }
    std::atomic<long> finished{0};
    std::atomic<long> early{0};
    std::function<void(int, int)> hop = [&](int at, int left) {
        if (left == 0) {
            finished.fetch_add(1);
            return;
        }
        threads[static_cast<size_t>(at % kThreads)]->Post([&, at, left] { hop(at + 1, left - 1); }, at % 2 == 0);
    };
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            std::minstd_rand random(static_cast<unsigned>(p + 7));
            for (int i = 0; i < per_poster; ++i) {
                const int target = static_cast<int>(random() % kThreads);
                if (i % 3 == 0) {
                    const uint32_t delay = static_cast<uint32_t>(random() % 4);
                    const uint64_t posted = Tools::os_gettime_ms();
                    threads[static_cast<size_t>(target)]->PostDelay(
                        [&, posted, delay, target] {
                            if (Tools::os_gettime_ms() < posted + delay) early.fetch_add(1);
                            hop(target + 1, kHops);
                        },
                        delay, false);
                } else {
                    hop(target, kHops);
                }
            }
        });
    }
    for (std::thread& poster : posters) poster.join();
    EXPECT_TRUE(WaitFor([&] { return finished.load() == long{kPosters} * per_poster; }))
        << "finished " << finished.load() << " of " << kPosters * per_poster << ": a wake-up was lost";
    for (auto& thread : threads) thread->Stop();
    EXPECT_EQ(early.load(), 0) << "delayed tasks ran before their delay";
}

// A delayed task far away does not keep a stop waiting, nor runs.
TEST(TaskThreadStressTest, StopWhileSleepingTowardsADelayedTaskIsImmediate) {
    for (int i = 0; i < Scaled(200); ++i) {
        TaskThread thread("stress");
        ASSERT_TRUE(thread.Start());
        std::atomic<bool> far_ran{false};
        std::atomic<bool> near_ran{false};
        thread.PostDelay([&] { far_ran = true; }, 60'000, false);
        thread.Post([&] { near_ran = true; }, false);
        ASSERT_TRUE(WaitFor([&] { return near_ran.load(); }));
        auto stopped = std::async(std::launch::async, [&] { thread.Stop(); });
        ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "round " << i;
        EXPECT_FALSE(far_ran.load());
    }
}

}  // namespace
}  // namespace Application
