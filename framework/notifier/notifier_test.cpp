#include "framework/notifier/notifier.h"

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace Application {
namespace {

class NotifierTest : public ::testing::Test {
protected:
    // A subscriber that logs "name(handle)" and then runs an optional action.
    uintptr_t Add(const char* module, int id, std::string name, std::function<void()> action = {}) {
        return notifier_.Subscribe(module, id, [this, name, action](unsigned handle, const char*, int) {
            calls_.push_back(name);
            handles_.push_back(handle);
            if (action) action();
        });
    }
    std::string Calls() {
        std::string out;
        for (const std::string& call : calls_) out += (out.empty() ? "" : " ") + call;
        calls_.clear();
        return out;
    }

    Notifier notifier_;
    std::vector<std::string> calls_;
    std::vector<uintptr_t> handles_;
};

TEST_F(NotifierTest, NotifyWithoutSubscribersDoesNothing) {
    notifier_.Notify("app", 1, nullptr, 0);
    Add("app", 2, "other id");
    Add("App", 1, "other module");
    notifier_.Notify("app", 1, nullptr, 0);
    EXPECT_EQ(Calls(), "");
}

TEST_F(NotifierTest, DeliversInSubscriptionOrderWithOwnHandleAndPayload) {
    const uintptr_t a = Add("app", 2, "A");
    const uintptr_t b = Add("app", 2, "B");
    std::string seen;
    const uintptr_t c = notifier_.Subscribe("app", 2, [&seen](unsigned, const char* data, int length) {
        seen.assign(data, static_cast<size_t>(length));
    });
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_NE(c, 0u);
    EXPECT_NE(a, b);

    const char payload[] = "with\0nul";
    notifier_.Notify("app", 2, payload, 8);
    EXPECT_EQ(Calls(), "A B");
    EXPECT_EQ(handles_, (std::vector<uintptr_t>{a, b}));
    EXPECT_EQ(seen, std::string(payload, 8));
}

TEST_F(NotifierTest, SameCallbackSubscribedTwiceGetsTwoHandles) {
    int calls = 0;
    NotifyCallback callback = [&calls](unsigned, const char*, int) { ++calls; };
    const uintptr_t first = notifier_.Subscribe("mod", 7, callback);
    const uintptr_t second = notifier_.Subscribe("mod", 7, callback);
    EXPECT_NE(first, second);
    notifier_.Notify("mod", 7, nullptr, 0);
    EXPECT_EQ(calls, 2);
    notifier_.Unsubscribe("mod", 7, first);
    notifier_.Notify("mod", 7, nullptr, 0);
    EXPECT_EQ(calls, 3);
}

TEST_F(NotifierTest, NullModuleAndForeignHandlesChangeNothing) {
    EXPECT_EQ(notifier_.Subscribe(nullptr, 1, [](unsigned, const char*, int) {}), 0u);
    const uintptr_t a = Add("app", 1, "A");
    const uintptr_t other = Add("app", 3, "other");
    notifier_.Unsubscribe(nullptr, 1, a);
    notifier_.Unsubscribe("app", 1, other);  // handle from another pair
    notifier_.Unsubscribe("app", 3, a);
    notifier_.Unsubscribe("nobody", 1, a);
    notifier_.Unsubscribe("app", 1, 0);
    notifier_.Unsubscribe("app", 1, a + (uintptr_t{1} << 32));  // must not be truncated onto a
    notifier_.Notify("app", 1, nullptr, 0);
    notifier_.Notify("app", 3, nullptr, 0);
    EXPECT_EQ(Calls(), "A other");
}

TEST_F(NotifierTest, FreeDropsEverySubscription) {
    Add("app", 1, "A");
    Add("log", 9, "B");
    notifier_.Free();
    notifier_.Notify("app", 1, nullptr, 0);
    notifier_.Notify("log", 9, nullptr, 0);
    EXPECT_EQ(Calls(), "");
    Add("app", 1, "C");
    notifier_.Notify("app", 1, nullptr, 0);
    EXPECT_EQ(Calls(), "C");
}

// Re-entrance: what a callback does to the table during a delivery.
struct ReentranceCase {
    const char* title;
    const char* first_delivery;
    const char* second_delivery;
};

class ReentranceTest : public NotifierTest, public ::testing::WithParamInterface<ReentranceCase> {
protected:
    void SetUp() override {
        const std::string title = GetParam().title;
        std::function<void()> action;
        if (title == "UnsubscribeSelf") {
            action = [this] { notifier_.Unsubscribe("app", 5, b_); };
        } else if (title == "UnsubscribeNext") {
            action = [this] { notifier_.Unsubscribe("app", 5, c_); };
        } else if (title == "UnsubscribeEarlier") {
            action = [this] { notifier_.Unsubscribe("app", 5, a_); };
        } else if (title == "SubscribeDuringDelivery") {
            action = [this] {
                if (!added_) added_ = Add("app", 5, "D");
            };
        } else if (title == "NotifyAgain") {
            action = [this] {
                if (depth_++ == 0) notifier_.Notify("app", 5, nullptr, 0);
            };
        } else if (title == "NotifyOtherPair") {
            action = [this] { notifier_.Notify("app", 6, nullptr, 0); };
        } else if (title == "FreeDuringDelivery") {
            action = [this] { notifier_.Free(); };
        }
        a_ = Add("app", 5, "A");
        b_ = Add("app", 5, "B", action);
        c_ = Add("app", 5, "C");
        Add("app", 6, "X");
    }

    uintptr_t a_ = 0, b_ = 0, c_ = 0, added_ = 0;
    int depth_ = 0;
};

TEST_P(ReentranceTest, FollowsSnapshotAndLivenessRule) {
    notifier_.Notify("app", 5, nullptr, 0);
    EXPECT_EQ(Calls(), GetParam().first_delivery);
    notifier_.Notify("app", 5, nullptr, 0);
    EXPECT_EQ(Calls(), GetParam().second_delivery);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReentranceTest,
    ::testing::Values(ReentranceCase{"UnsubscribeSelf", "A B C", "A C"},
                      ReentranceCase{"UnsubscribeNext", "A B", "A B"},
                      ReentranceCase{"UnsubscribeEarlier", "A B C", "B C"},
                      ReentranceCase{"SubscribeDuringDelivery", "A B C", "A B C D"},
                      ReentranceCase{"NotifyAgain", "A B A B C C", "A B C"},
                      ReentranceCase{"NotifyOtherPair", "A B X C", "A B X C"},
                      ReentranceCase{"FreeDuringDelivery", "A B", ""}),
    [](const ::testing::TestParamInfo<ReentranceCase>& info) { return std::string(info.param.title); });

TEST_F(NotifierTest, CallbackThatUnsubscribesItselfSurvivesItsOwnCall) {
    // The callback's captures must stay valid after Unsubscribe destroyed the
    // subscription (ASan catches a premature destruction).
    uintptr_t self = 0;
    std::string after;
    auto token = std::make_shared<int>(0);
    self = notifier_.Subscribe("app", 1,
                               [this, &self, &after, token, text = std::string(64, 'x')](unsigned, const char*, int) {
                                   notifier_.Unsubscribe("app", 1, self);
                                   after = text;
                               });
    notifier_.Notify("app", 1, nullptr, 0);
    EXPECT_EQ(after, std::string(64, 'x'));
    EXPECT_EQ(token.use_count(), 1) << "released once the delivery ended";
}

// Unsubscribes another subscription from its destructor.
struct UnsubscribeOnDestruction {
    UnsubscribeOnDestruction(Notifier* n, uintptr_t o) : notifier(n), other(o) {}
    Notifier* notifier;
    uintptr_t other;
    ~UnsubscribeOnDestruction() { notifier->Unsubscribe("app", 1, other); }
};

TEST_F(NotifierTest, CallbackDestructorMayUseNotifier) {
    const uintptr_t other = Add("app", 1, "other");
    auto guard = std::make_shared<UnsubscribeOnDestruction>(&notifier_, other);
    uintptr_t self = 0;
    self = notifier_.Subscribe("app", 1, [this, &self, guard](unsigned, const char*, int) {
        notifier_.Unsubscribe("app", 1, self);
    });
    guard.reset();
    notifier_.Notify("app", 1, nullptr, 0);  // "other" runs, then self goes
    EXPECT_EQ(Calls(), "other");
    notifier_.Notify("app", 1, nullptr, 0);
    EXPECT_EQ(Calls(), "") << "the destructor removed the other subscriber";

    const uintptr_t third = Add("app", 1, "third");
    auto guard2 = std::make_shared<UnsubscribeOnDestruction>(&notifier_, third);
    notifier_.Subscribe("app", 1, [guard2](unsigned, const char*, int) {});
    guard2.reset();
    notifier_.Free();
    notifier_.Notify("app", 1, nullptr, 0);
    EXPECT_EQ(Calls(), "");
}

TEST_F(NotifierTest, EmptyCallbackThrowsAfterEarlierSubscribersAndReleasesLock) {
    Add("app", 1, "A");
    notifier_.Subscribe("app", 1, NotifyCallback());
    Add("app", 1, "C");
    EXPECT_THROW(notifier_.Notify("app", 1, nullptr, 0), std::bad_function_call);
    EXPECT_EQ(Calls(), "A");
    // The lock was released: another thread can still use the notifier.
    std::thread([this] { Add("app", 2, "other thread"); }).join();
}

TEST_F(NotifierTest, HandlesAreUniqueNonZeroAndFitThirtyTwoBits) {
    std::set<uintptr_t> live;
    for (int i = 0; i < 1000; ++i) {
        const uintptr_t handle = Add(i % 2 ? "a" : "b", i % 5, "x");
        EXPECT_NE(handle, 0u);
        EXPECT_LE(handle, std::numeric_limits<unsigned>::max());
        EXPECT_TRUE(live.insert(handle).second) << "duplicate live handle " << handle;
        if (i % 3 == 0) {
            notifier_.Unsubscribe(i % 2 ? "a" : "b", i % 5, handle);
            live.erase(handle);
        }
    }
}

TEST_F(NotifierTest, ConcurrentSubscribeNotifyUnsubscribe) {
    std::atomic<int> delivered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t, &delivered] {
            const std::string module = "m" + std::to_string(t % 2);
            for (int i = 0; i < 300; ++i) {
                const uintptr_t handle =
                    notifier_.Subscribe(module.c_str(), i % 3, [&delivered](unsigned, const char*, int) { ++delivered; });
                notifier_.Notify(module.c_str(), i % 3, "x", 1);
                notifier_.Unsubscribe(module.c_str(), i % 3, handle);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    // Each Notify reaches at least the subscriber its own thread just added.
    EXPECT_GE(delivered, 4 * 300);
}

}  // namespace
}  // namespace Application
