#include "framework/data/data_sync.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Application::DataSync {
namespace {

std::string Length(uint32_t value) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

std::string Body(const std::string& name, const std::string& state) {
    return Length(static_cast<uint32_t>(name.size())) + name + Length(static_cast<uint32_t>(state.size())) + state;
}

std::string Entry(const std::string& body) { return Length(static_cast<uint32_t>(body.size())) + body; }

TEST(SnapshotTest, EncodesTheDesignedBytes) {
    const std::string snapshot = EncodeSnapshot({{"TimeMgr", "abc"}, {"UISkin", ""}});
    EXPECT_EQ(snapshot, Length(2) + Entry(Body("TimeMgr", "abc")) + Entry(Body("UISkin", "")));
    std::vector<SnapshotEntry> entries;
    ASSERT_TRUE(ParseSnapshot(snapshot, &entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "TimeMgr");
    EXPECT_EQ(entries[0].state, "abc");
    EXPECT_EQ(entries[1].state, "");
}

struct MalformedCase {
    const char* name;
    std::string snapshot;
    bool accepted;
    std::vector<std::string> names;  // entries that survive
};

class MalformedSnapshotTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedSnapshotTest, ParsesWithinBounds) {
    const MalformedCase& c = GetParam();
    std::vector<SnapshotEntry> entries;
    EXPECT_EQ(ParseSnapshot(c.snapshot, &entries), c.accepted);
    std::vector<std::string> names;
    for (const auto& entry : entries) names.emplace_back(entry.name);
    EXPECT_EQ(names, c.names);
}

const std::string kGood = Entry(Body("A", "1"));

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedSnapshotTest,
    ::testing::Values(
        MalformedCase{"Empty", "", false, {}}, MalformedCase{"ThreeBytes", std::string(3, '\0'), false, {}},
        MalformedCase{"CountZero", Length(0), true, {}},
        MalformedCase{"CountZeroTrailingBytes", Length(0) + "xyz", true, {}},
        MalformedCase{"SecondEntryTooLong", Length(2) + kGood + Length(100) + "short", false, {}},
        MalformedCase{"SecondEntryLengthCut", Length(2) + kGood + "ab", false, {}},
        MalformedCase{"CountLargerThanEntries", Length(3) + kGood + kGood, false, {}},
        MalformedCase{"HugeCount", Length(0xffffffffu) + kGood, false, {}},
        MalformedCase{"NameRunsPastBody", Length(2) + Entry(Length(50) + "A") + kGood, true, {"A"}},
        MalformedCase{"StateRunsPastBody", Length(2) + Entry(Length(1) + "B" + Length(9) + "x") + kGood, true,
                      {"A"}},
        MalformedCase{"BodyWithoutState", Length(1) + Entry(Length(1) + "B"), true, {}},
        MalformedCase{"BodyLongerThanItsParts", Length(1) + Entry(Body("C", "3") + "pad"), true, {"C"}}),
    [](const auto& info) { return std::string(info.param.name); });

class RecordingSyncer final : public IDataSyncer {
public:
    explicit RecordingSyncer(std::string state) : state_(std::move(state)) {}
    std::string SaveState() override { return state_; }
    void LoadState(const std::string& state) override {
        std::lock_guard<std::mutex> guard(lock_);
        loaded_.push_back(state);
        load_thread_ = std::this_thread::get_id();
    }
    std::vector<std::string> Loaded() {
        std::lock_guard<std::mutex> guard(lock_);
        return loaded_;
    }
    std::thread::id LoadThread() {
        std::lock_guard<std::mutex> guard(lock_);
        return load_thread_;
    }

private:
    std::string state_;
    std::mutex lock_;
    std::vector<std::string> loaded_;
    std::thread::id load_thread_;
};

// A task manager whose worker 1 is a real thread; the rest is unused here.
class Worker1 final : public IThreadTaskMgr {
public:
    Worker1() : thread_([this] { Run(); }) {}
    ~Worker1() override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    bool Init() override { return true; }
    void Free() override {}
    bool IsWorker1Thread() override { return std::this_thread::get_id() == thread_.get_id(); }
    void PostWorker1Task(Task task, bool) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            queue_.push_back(std::move(task));
        }
        wake_.notify_all();
    }
    void PostWorker1DelayTask(Task task, uint32_t, bool priority) override { PostWorker1Task(task, priority); }
    bool IsWorker2Thread() override { return false; }
    void PostWorker2Task(Task, bool) override {}
    void PostWorker2DelayTask(Task, uint32_t, bool) override {}
    void PostMainThreadTask(Task, bool) override {}
    bool IsMainThread() override { return false; }
    void PostMainThreadDelayTask(Task, uint32_t, bool) override {}

    // Blocks worker 1 until Release, to show that callers do not wait for it.
    void Hold() {
        PostWorker1Task([this] {
            std::unique_lock<std::mutex> guard(lock_);
            wake_.wait(guard, [this] { return released_; });
        }, false);
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            released_ = true;
        }
        wake_.notify_all();
    }
    // Waits until everything posted so far has run.
    void Drain() {
        std::mutex done_lock;
        std::condition_variable done;
        bool finished = false;
        PostWorker1Task([&] {
            std::lock_guard<std::mutex> guard(done_lock);
            finished = true;
            done.notify_all();
        }, false);
        std::unique_lock<std::mutex> guard(done_lock);
        ASSERT_TRUE(done.wait_for(guard, std::chrono::seconds(30), [&] { return finished; }));
    }
    std::thread::id id() const { return thread_.get_id(); }

private:
    void Run() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Task task = std::move(queue_.front());
            queue_.pop_front();
            guard.unlock();
            task();
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Task> queue_;
    bool stop_ = false;
    bool released_ = false;
    std::thread thread_;
};

TEST(DataSyncMgrTest, SaveStateListsItemsInNameOrder) {
    DataSyncMgr mgr(nullptr);
    RecordingSyncer skin("skin-state"), time("time-state"), replaced("old");
    mgr.Register("UISkin", &replaced);
    mgr.Register("UISkin", &skin);
    mgr.Register("TimeMgr", &time);
    EXPECT_EQ(mgr.SaveState(), EncodeSnapshot({{"TimeMgr", "time-state"}, {"UISkin", "skin-state"}}));
}

TEST(DataSyncMgrTest, WithoutApplicationEverythingRunsInline) {
    DataSyncMgr mgr(nullptr);
    RecordingSyncer time("t");
    mgr.Register("TimeMgr", &time);
    std::vector<std::string> received;
    const uintptr_t handle = mgr.AddSink([&](const std::string& snapshot) { received.push_back(snapshot); });
    mgr.Broadcast("TimeMgr");
    mgr.Broadcast("Unknown");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], EncodeSnapshot({{"TimeMgr", "t"}}));
    EXPECT_EQ(received[1], Length(0)) << "an unknown name sends the empty snapshot";
    mgr.RemoveSink(handle);
    mgr.RemoveSink(handle);
    mgr.Broadcast("TimeMgr");
    EXPECT_EQ(received.size(), 2u);
    mgr.LoadState(EncodeSnapshot({{"TimeMgr", "new"}, {"Other", "x"}}));
    EXPECT_EQ(time.Loaded(), std::vector<std::string>{"new"});
}

TEST(DataSyncMgrTest, MalformedSnapshotAppliesNothing) {
    DataSyncMgr mgr(nullptr);
    RecordingSyncer a("a");
    mgr.Register("A", &a);
    mgr.LoadState(Length(2) + kGood + Length(100) + "short");
    EXPECT_TRUE(a.Loaded().empty());
}

TEST(DataSyncMgrTest, LoadStateFromAnotherThreadRunsLaterOnWorker1) {
    Worker1 worker;
    DataSyncMgr mgr(&worker);
    RecordingSyncer time("t");
    mgr.Register("TimeMgr", &time);
    worker.Hold();
    mgr.LoadState(EncodeSnapshot({{"TimeMgr", "later"}}));
    EXPECT_TRUE(time.Loaded().empty()) << "returned before the item was touched";
    worker.Release();
    worker.Drain();
    EXPECT_EQ(time.Loaded(), std::vector<std::string>{"later"});
    EXPECT_EQ(time.LoadThread(), worker.id());
}

TEST(DataSyncMgrTest, SinksRunOnWorker1InOrderAndMayRemoveThemselves) {
    Worker1 worker;
    DataSyncMgr mgr(&worker);
    RecordingSyncer skin("s");
    mgr.Register("UISkin", &skin);
    std::mutex lock;
    std::vector<std::string> calls;
    uintptr_t first = 0;
    first = mgr.AddSink([&](const std::string&) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(std::this_thread::get_id() == worker.id() ? "first@w1" : "first@other");
        mgr.RemoveSink(first);
    });
    mgr.AddSink([&](const std::string&) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back("second");
    });
    EXPECT_NE(first, 0u);
    mgr.Broadcast("UISkin");
    mgr.Broadcast("UISkin");
    worker.Drain();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(calls, (std::vector<std::string>{"first@w1", "second", "second"}));
}

TEST(DataSyncMgrTest, InstanceIsOnePerProcess) { EXPECT_EQ(DataSyncMgr::Instance(), DataSyncMgr::Instance()); }

}  // namespace
}  // namespace Application::DataSync
