#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "Application/INotifier.h"

namespace Application {

// Synchronous publish/subscribe by (module, message id). Any thread may call.
// Delivery runs on the notifying thread under the recursive lock, so a
// callback may subscribe, unsubscribe (itself included) or notify again on
// the same thread, but must not wait for another thread's notifier use.
class Notifier final : public INotifier {
public:
    Notifier();
    ~Notifier() override;

    bool Init() override { return true; }
    // Drops every subscription.
    void Free() override;
    // Handles are non-zero, fit the callback's 32-bit argument and are unique
    // among live subscriptions; 0 when module is null.
    uintptr_t Subscribe(const char* module, int msg_id, NotifyCallback callback) override;
    void Unsubscribe(const char* module, int msg_id, uintptr_t handle) override;
    // Calls, in subscription order, every subscriber of the pair that was
    // subscribed when the call began and is still subscribed when its turn
    // comes. An empty callback's std::bad_function_call leaves Notify and the
    // rest of that delivery is skipped.
    void Notify(const char* module, int msg_id, const char* data, int length) override;

private:
    struct Subscription {
        unsigned handle;
        std::unique_ptr<NotifyCallback> callback;
    };
    using Subscriptions = std::vector<Subscription>;
    using Table = std::map<std::string, std::map<int, Subscriptions>, std::less<>>;

    unsigned NextHandle();
    // Keeps a removed callback alive while a delivery may still be inside it
    // or hold its address; destroyed once the outermost delivery ends.
    void Retire(std::unique_ptr<NotifyCallback>& callback);
    void EndDelivery();

    Table table_;
    std::unordered_set<unsigned> live_handles_;
    // Deliveries in progress (nested ones on the lock-holding thread).
    int delivering_ = 0;
    std::vector<std::unique_ptr<NotifyCallback>> retired_;
    unsigned next_handle_ = 1;
    // Counts Free calls: a delivery whose table was emptied under it stops.
    uint64_t generation_ = 0;
    std::recursive_mutex lock_;
};

}  // namespace Application
