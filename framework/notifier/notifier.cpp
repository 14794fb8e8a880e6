#include "framework/notifier/notifier.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

namespace Application {

Notifier::Notifier() = default;

Notifier::~Notifier() { Free(); }

void Notifier::Free() {
    std::map<std::string, std::map<int, Subscriptions>, std::less<>> table;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    table.swap(table_);
    live_handles_.clear();
    ++generation_;
    // The callbacks go after the lock is released; running deliveries hold
    // references of their own.
}

unsigned Notifier::NextHandle() {
    for (;;) {
        const unsigned handle = next_handle_++;
        if (handle != 0 && !live_handles_.count(handle)) return handle;
    }
}

uintptr_t Notifier::Subscribe(const char* module, int msg_id, NotifyCallback callback) {
    if (!module) return 0;
    auto shared = std::make_shared<NotifyCallback>(std::move(callback));
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto module_entry = table_.find(std::string_view(module));
    if (module_entry == table_.end()) module_entry = table_.emplace(module, std::map<int, Subscriptions>{}).first;
    const unsigned handle = NextHandle();
    module_entry->second[msg_id].push_back({handle, std::move(shared)});
    live_handles_.insert(handle);
    return handle;
}

void Notifier::Unsubscribe(const char* module, int msg_id, uintptr_t handle) {
    if (!module || handle == 0 || handle > std::numeric_limits<unsigned>::max()) return;
    std::shared_ptr<NotifyCallback> removed;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto module_entry = table_.find(std::string_view(module));
    if (module_entry == table_.end()) return;
    auto id_entry = module_entry->second.find(msg_id);
    if (id_entry == module_entry->second.end()) return;
    Subscriptions& list = id_entry->second;
    auto it = std::find_if(list.begin(), list.end(),
                           [handle](const Subscription& s) { return s.handle == handle; });
    if (it == list.end()) return;
    removed = std::move(it->callback);
    list.erase(it);
    live_handles_.erase(static_cast<unsigned>(handle));
}

void Notifier::Notify(const char* module, int msg_id, const char* data, int length) {
    if (!module) return;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto module_entry = table_.find(std::string_view(module));
    if (module_entry == table_.end()) return;
    auto id_entry = module_entry->second.find(msg_id);
    if (id_entry == module_entry->second.end() || id_entry->second.empty()) return;
    // Map nodes stay put until Free, so the live list can be held by reference
    // while generation_ is unchanged.
    const Subscriptions& live = id_entry->second;
    const Subscriptions snapshot = live;
    const uint64_t generation = generation_;
    for (const Subscription& subscription : snapshot) {
        if (generation != generation_) return;
        const bool still_live = std::any_of(live.begin(), live.end(), [&subscription](const Subscription& s) {
            return s.handle == subscription.handle && s.callback == subscription.callback;
        });
        if (still_live) (*subscription.callback)(subscription.handle, data, length);
    }
}

}  // namespace Application
