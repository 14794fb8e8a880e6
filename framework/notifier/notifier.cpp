#include "framework/notifier/notifier.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

namespace Application {

namespace {

// Handle lists are short; up to this many are snapshotted without the heap.
constexpr size_t kInlineSnapshot = 16;

struct SnapshotEntry {
    unsigned handle;
    const NotifyCallback* callback;
};

}  // namespace

Notifier::Notifier() = default;

Notifier::~Notifier() { Free(); }

void Notifier::Retire(std::unique_ptr<NotifyCallback>& callback) {
    if (delivering_ > 0) retired_.push_back(std::move(callback));
}

void Notifier::EndDelivery() {
    if (--delivering_ > 0) return;
    // A callback's destructor may use the notifier again; it finds no
    // delivery running and a consistent list.
    std::vector<std::unique_ptr<NotifyCallback>> retired = std::move(retired_);
    retired_.clear();
}

void Notifier::Free() {
    Table table;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    table.swap(table_);
    live_handles_.clear();
    ++generation_;
    if (delivering_ > 0) {
        for (auto& [module, ids] : table)
            for (auto& [id, list] : ids)
                for (Subscription& subscription : list) Retire(subscription.callback);
    }
    // Otherwise the callbacks go with `table` when the lock is already released.
}

unsigned Notifier::NextHandle() {
    for (;;) {
        const unsigned handle = next_handle_++;
        if (handle != 0 && !live_handles_.count(handle)) return handle;
    }
}

uintptr_t Notifier::Subscribe(const char* module, int msg_id, NotifyCallback callback) {
    if (!module) return 0;
    auto owned = std::make_unique<NotifyCallback>(std::move(callback));
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto module_entry = table_.find(std::string_view(module));
    if (module_entry == table_.end()) module_entry = table_.emplace(module, std::map<int, Subscriptions>{}).first;
    const unsigned handle = NextHandle();
    module_entry->second[msg_id].push_back({handle, std::move(owned)});
    live_handles_.insert(handle);
    return handle;
}

void Notifier::Unsubscribe(const char* module, int msg_id, uintptr_t handle) {
    if (!module || handle == 0 || handle > std::numeric_limits<unsigned>::max()) return;
    std::unique_ptr<NotifyCallback> removed;
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
    Retire(removed);
    // When no delivery runs, `removed` is destroyed after the lock is released.
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

    SnapshotEntry inline_entries[kInlineSnapshot];
    std::vector<SnapshotEntry> heap_entries;
    SnapshotEntry* snapshot = inline_entries;
    const size_t count = live.size();
    if (count > kInlineSnapshot) {
        heap_entries.resize(count);
        snapshot = heap_entries.data();
    }
    for (size_t i = 0; i < count; ++i) snapshot[i] = {live[i].handle, live[i].callback.get()};

    struct DeliveryScope {
        Notifier* notifier;
        explicit DeliveryScope(Notifier* n) : notifier(n) { ++notifier->delivering_; }
        ~DeliveryScope() { notifier->EndDelivery(); }
    } scope(this);

    const uint64_t generation = generation_;
    for (size_t i = 0; i < count; ++i) {
        if (generation != generation_) return;
        const SnapshotEntry& entry = snapshot[i];
        // Retired callbacks keep their addresses until the delivery ends, so
        // handle and address together identify the subscription exactly.
        const bool still_live = std::any_of(live.begin(), live.end(), [&entry](const Subscription& s) {
            return s.handle == entry.handle && s.callback.get() == entry.callback;
        });
        if (still_live) (*entry.callback)(entry.handle, data, length);
    }
}

}  // namespace Application
