#include "framework/data/data_sync.h"

#include <cstring>

#include "Application/Application.h"

namespace Application::DataSync {
namespace {

void AppendLength(std::string* out, size_t length) {
    const uint32_t value = static_cast<uint32_t>(length);
    char bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    out->append(bytes, sizeof bytes);
}

// A cursor that checks every length against what remains.
class Reader {
public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}
    bool ReadLength(uint32_t* value) {
        if (rest_.size() < 4) return false;
        std::memcpy(value, rest_.data(), 4);
        rest_.remove_prefix(4);
        return true;
    }
    bool ReadBytes(uint32_t length, std::string_view* out) {
        if (rest_.size() < length) return false;
        *out = rest_.substr(0, length);
        rest_.remove_prefix(length);
        return true;
    }
    bool ReadPrefixed(std::string_view* out) {
        uint32_t length;
        return ReadLength(&length) && ReadBytes(length, out);
    }

private:
    std::string_view rest_;
};

}  // namespace

void AppendEntry(std::string* snapshot_body, std::string_view name, std::string_view state) {
    AppendLength(snapshot_body, 8 + name.size() + state.size());
    AppendLength(snapshot_body, name.size());
    snapshot_body->append(name);
    AppendLength(snapshot_body, state.size());
    snapshot_body->append(state);
}

std::string EncodeSnapshot(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string snapshot;
    AppendLength(&snapshot, entries.size());
    for (const auto& [name, state] : entries) AppendEntry(&snapshot, name, state);
    return snapshot;
}

bool ParseSnapshot(std::string_view snapshot, std::vector<SnapshotEntry>* entries) {
    entries->clear();
    Reader reader(snapshot);
    uint32_t count;
    if (!reader.ReadLength(&count)) return false;
    // Every body is read before any is applied, so a bad length anywhere
    // applies nothing. count comes from outside: no reservation from it.
    std::vector<std::string_view> bodies;
    for (uint32_t i = 0; i < count; ++i) {
        std::string_view body;
        if (!reader.ReadPrefixed(&body)) return false;
        bodies.push_back(body);
    }
    for (std::string_view body : bodies) {
        Reader inner(body);
        SnapshotEntry entry;
        if (!inner.ReadPrefixed(&entry.name) || !inner.ReadPrefixed(&entry.state)) continue;
        entries->push_back(entry);
    }
    return true;
}

DataSyncMgr* DataSyncMgr::Instance() {
    // Never destroyed: components may still broadcast while the process exits.
    static DataSyncMgr* instance = new DataSyncMgr;
    return instance;
}

void DataSyncMgr::OnWorker1(Task task) {
    IThreadTaskMgr* tasks = tasks_;
    if (!tasks) {
        IApplication* app = App();
        tasks = app ? app->GetThreadTaskMgr() : nullptr;
    }
    if (!tasks || tasks->IsWorker1Thread()) {
        task();
        return;
    }
    tasks->PostWorker1Task(std::move(task));
}

void DataSyncMgr::Register(const std::string& name, IDataSyncer* syncer) {
    std::lock_guard<std::mutex> guard(items_lock_);
    items_[name] = syncer;
}

IDataSyncer* DataSyncMgr::Find(std::string_view name) {
    std::lock_guard<std::mutex> guard(items_lock_);
    auto it = items_.find(name);
    return it == items_.end() ? nullptr : it->second;
}

std::string DataSyncMgr::SaveState() {
    std::vector<std::pair<std::string, IDataSyncer*>> items;
    {
        std::lock_guard<std::mutex> guard(items_lock_);
        items.assign(items_.begin(), items_.end());
    }
    std::string snapshot;
    AppendLength(&snapshot, items.size());
    for (const auto& [name, syncer] : items) AppendEntry(&snapshot, name, syncer ? syncer->SaveState() : "");
    return snapshot;
}

void DataSyncMgr::LoadState(const std::string& snapshot) {
    OnWorker1([this, snapshot] {
        std::vector<SnapshotEntry> entries;
        if (!ParseSnapshot(snapshot, &entries)) return;
        for (const SnapshotEntry& entry : entries) {
            if (IDataSyncer* syncer = Find(entry.name)) syncer->LoadState(std::string(entry.state));
        }
    });
}

void DataSyncMgr::Broadcast(const std::string& name) {
    OnWorker1([this, name] {
        std::string snapshot;
        if (IDataSyncer* syncer = Find(name)) {
            AppendLength(&snapshot, 1);
            AppendEntry(&snapshot, name, syncer->SaveState());
        } else {
            AppendLength(&snapshot, 0);
        }
        // Indexed, and removals deferred: a sink may add or remove sinks
        // (itself included) while it runs.
        ++broadcasting_;
        for (size_t i = 0; i < sinks_.size(); ++i) {
            SnapshotSink* sink = sinks_[i].get();
            if (sink && *sink) (*sink)(snapshot);
        }
        if (--broadcasting_ == 0 && !removed_.empty()) {
            std::erase(sinks_, nullptr);
            removed_.clear();
        }
    });
}

uintptr_t DataSyncMgr::AddSink(SnapshotSink sink) {
    // Shared so that a post the task manager drops still frees the callable.
    auto carrier = std::make_shared<std::unique_ptr<SnapshotSink>>(std::make_unique<SnapshotSink>(std::move(sink)));
    const uintptr_t handle = reinterpret_cast<uintptr_t>(carrier->get());
    OnWorker1([this, carrier] {
        if (*carrier) sinks_.push_back(std::move(*carrier));
    });
    return handle;
}

void DataSyncMgr::RemoveSink(uintptr_t handle) {
    OnWorker1([this, handle] {
        for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
            if (!*it || reinterpret_cast<uintptr_t>(it->get()) != handle) continue;
            if (broadcasting_) removed_.push_back(std::move(*it));
            else sinks_.erase(it);
            return;
        }
    });
}

}  // namespace Application::DataSync
