#include "framework/tasks/task_queue.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Application {
namespace {

// A wall clock the test moves by hand.
std::atomic<uint64_t> g_now{1'000'000};
uint64_t FakeClock() { return g_now.load(); }

class TaskQueueTest : public ::testing::Test {
protected:
    void SetUp() override { g_now = 1'000'000; }

    Task Record(std::string name) {
        return [this, name] { order_.push_back(name); };
    }
    std::string Order() {
        std::string out;
        for (const std::string& name : order_) out += (out.empty() ? "" : " ") + name;
        order_.clear();
        return out;
    }

    TaskQueue queue_{FakeClock};
    std::vector<std::string> order_;
};

// What a task posts to its own queue when it runs, recursively.
struct Script {
    std::string name;
    bool priority = false;
    std::vector<Script> posts;
};

struct PassOrderCase {
    const char* title;
    std::vector<Script> initial;
    const char* first_pass;
    const char* second_pass;
};

class PassOrderTest : public TaskQueueTest, public ::testing::WithParamInterface<PassOrderCase> {
protected:
    Task Scripted(const Script& script) {
        return [this, script] {
            order_.push_back(script.name);
            for (const Script& post : script.posts) queue_.Post(Scripted(post), post.priority);
        };
    }
};

TEST_P(PassOrderTest, RunsInDesignedOrder) {
    for (const Script& script : GetParam().initial) queue_.Post(Scripted(script), script.priority);
    EXPECT_EQ(queue_.RunPass("test"), TaskQueue::kNoDueTime);
    EXPECT_EQ(Order(), GetParam().first_pass);
    queue_.RunPass("test");
    EXPECT_EQ(Order(), GetParam().second_pass);
    queue_.RunPass("test");
    EXPECT_EQ(Order(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PassOrderTest,
    ::testing::Values(
        PassOrderCase{"Empty", {}, "", ""},
        PassOrderCase{"PriorityOnly", {{"P", true, {}}}, "P", ""},
        PassOrderCase{"PriorityBeforeEarlierNormal", {{"A", false, {}}, {"P", true, {}}}, "P A", ""},
        PassOrderCase{"PriorityFromNormalRunsBeforeNextNormal",
                      {{"A", false, {{"P", true, {}}}}, {"B", false, {}}}, "A P B", ""},
        PassOrderCase{"PriorityFromLastNormalWaitsForNextPass", {{"A", false, {{"P", true, {}}}}}, "A", "P"},
        PassOrderCase{"NormalFromNormalWaitsForNextPass", {{"A", false, {{"C", false, {}}}}, {"B", false, {}}},
                      "A B", "C"},
        PassOrderCase{"PriorityFromPriorityRunsBeforeFirstNormal",
                      {{"P", true, {{"Q", true, {}}}}, {"A", false, {}}}, "P Q A", ""},
        PassOrderCase{"PriorityFromPriorityWithoutNormalWaits", {{"P", true, {{"Q", true, {}}}}}, "P", "Q"},
        PassOrderCase{"PostingOrderKeptInEachList",
                      {{"A", false, {}}, {"P", true, {}}, {"B", false, {}}, {"Q", true, {}}}, "P Q A B", ""}),
    [](const ::testing::TestParamInfo<PassOrderCase>& info) { return std::string(info.param.title); });

struct DueCase {
    const char* title;
    uint64_t post_time;
    uint32_t delay_ms;
    uint64_t now;
    bool due;
};

class DueTest : public TaskQueueTest, public ::testing::WithParamInterface<DueCase> {};

TEST_P(DueTest, FollowsUnsignedElapsedTime) {
    g_now = GetParam().post_time;
    queue_.PostDelay(Record("D"), GetParam().delay_ms, false);
    g_now = GetParam().now;
    const uint64_t earliest_due = queue_.RunPass("test");
    EXPECT_EQ(Order(), GetParam().due ? "D" : "");
    if (GetParam().due) {
        EXPECT_EQ(earliest_due, TaskQueue::kNoDueTime);
    } else {
        // A long delay may wake the thread up to its slack late (checked below).
        const uint64_t slack = GetParam().delay_ms < TaskQueue::kSlackFromMs ? 0 : TaskQueue::kMaxSlackMs;
        EXPECT_EQ(earliest_due, GetParam().post_time + GetParam().delay_ms + slack);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DueTest,
    ::testing::Values(DueCase{"NoDelay", 5000, 0, 5000, true},
                      DueCase{"OneBeforeDue", 5000, 500, 5499, false},
                      DueCase{"ExactlyDue", 5000, 500, 5500, true},
                      DueCase{"LongPastDue", 5000, 500, 900'000, true},
                      DueCase{"ClockSetBackIsDueAtOnce", 5000, 500, 4999, true},
                      DueCase{"LargestDelayNotYetDue", 5000, 0xFFFFFFFFu, 5000 + 0xFFFFFFFEull, false},
                      DueCase{"LargestDelayDue", 5000, 0xFFFFFFFFu, 5000 + 0xFFFFFFFFull, true}),
    [](const ::testing::TestParamInfo<DueCase>& info) { return std::string(info.param.title); });

TEST_F(TaskQueueTest, DelayedTaskIsRequeuedBehindPostsUntilDue) {
    queue_.Post([this] {
        order_.push_back("A");
        queue_.Post(Record("B"), false);
    }, false);
    queue_.PostDelay(Record("D"), 500, false);
    queue_.PostDelay(Record("E"), 500, false);

    EXPECT_EQ(queue_.RunPass("test"), g_now + 500);
    EXPECT_EQ(Order(), "A");
    g_now += 499;
    queue_.Post(Record("C"), false);
    queue_.RunPass("test");
    EXPECT_EQ(Order(), "B C");
    g_now += 1;
    queue_.Post(Record("F"), false);
    // Each pass put D and E back behind what had been posted meanwhile, in
    // their own order.
    EXPECT_EQ(queue_.RunPass("test"), TaskQueue::kNoDueTime);
    EXPECT_EQ(Order(), "D E F");
}

TEST_F(TaskQueueTest, EarliestDueCoversBothLists) {
    queue_.PostDelay(Record("N"), 300, false);
    queue_.PostDelay(Record("P"), 200, true);
    queue_.PostDelay(Record("M"), 250, false);
    EXPECT_EQ(queue_.RunPass("test"), g_now + 200);
    g_now += 200;
    EXPECT_EQ(queue_.RunPass("test"), g_now + 50);
    EXPECT_EQ(Order(), "P");
}

// Long delays may wake the thread a little late, so that timers falling due
// close together share a wake-up; none runs early, short delays run on time.
TEST_F(TaskQueueTest, LongDelaysShareWakeUpsButNeverRunEarly) {
    struct SlackCase {
        uint32_t delay_ms;
        uint64_t slack_ms;
    };
    for (const SlackCase& slack : {SlackCase{999, 0}, SlackCase{1000, 50}, SlackCase{3000, 100}, SlackCase{60'000, 100}}) {
        queue_.PostDelay(Record("L"), slack.delay_ms, false);
        EXPECT_EQ(queue_.RunPass("test"), g_now + slack.delay_ms + slack.slack_ms) << slack.delay_ms;
        g_now += slack.delay_ms - 1;
        EXPECT_EQ(queue_.RunPass("test"), g_now + 1 + slack.slack_ms) << slack.delay_ms;
        EXPECT_EQ(Order(), "") << "ran early";
        g_now += 1;
        EXPECT_EQ(queue_.RunPass("test"), TaskQueue::kNoDueTime);
        EXPECT_EQ(Order(), "L");
        order_.clear();
    }
    // Two timers a few milliseconds apart: the wake-up for the first comes
    // late enough for both.
    queue_.PostDelay(Record("A"), 1000, false);
    g_now += 20;
    queue_.PostDelay(Record("B"), 1000, false);
    const uint64_t wake = queue_.RunPass("test");
    g_now = wake;
    queue_.RunPass("test");
    EXPECT_EQ(Order(), "A B");
}

TEST_F(TaskQueueTest, ExceptionInTaskIsReportedAndPassGoesOn) {
    queue_.Post(Record("A"), false);
    queue_.Post([] { throw std::runtime_error("boom"); }, false);
    queue_.Post(Task(), false);
    queue_.Post([] { throw 42; }, true);
    queue_.Post(Record("B"), false);

    ::testing::internal::CaptureStderr();
    queue_.RunPass("main");
    const std::string errors = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(Order(), "A B");
    EXPECT_NE(errors.find("thread main: boom"), std::string::npos) << errors;
    EXPECT_NE(errors.find("bad_function_call"), std::string::npos) << errors;
    EXPECT_NE(errors.find("thread main: unknown exception"), std::string::npos) << errors;
}

TEST_F(TaskQueueTest, ClosedQueueDropsPostsAndClearDestroysUnrun) {
    auto token = std::make_shared<int>(0);
    queue_.Post([this, token] { order_.push_back("kept"); }, false);
    queue_.PostDelay([this, token] { order_.push_back("kept"); }, 10, true);
    EXPECT_EQ(token.use_count(), 3);

    queue_.Close();
    EXPECT_FALSE(queue_.Post([token] {}, false));
    EXPECT_FALSE(queue_.PostDelay([token] {}, 5, true));
    EXPECT_EQ(token.use_count(), 3) << "a dropped task must be destroyed at once";

    queue_.Clear();
    EXPECT_EQ(token.use_count(), 1);
    queue_.Open();
    queue_.RunPass("test");
    EXPECT_EQ(Order(), "");
    EXPECT_TRUE(queue_.Post(Record("again"), false));
    queue_.RunPass("test");
    EXPECT_EQ(Order(), "again");
}

}  // namespace
}  // namespace Application
