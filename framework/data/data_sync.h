#pragma once

// State that must be equal in the host and all its plugin processes. A
// component implements IDataSyncer and registers under its name ("TimeMgr",
// "UISkin") with the process's DataSyncMgr; after a change it calls
// Broadcast(name). The plugin-process link adds a sink that carries
// snapshots to the other side and hands what arrives to LoadState.
//
// Snapshot: count N (4 bytes), then N times: body length E (4), body of E
// bytes = name length (4), name, state length (4), state. Lengths are
// unsigned 32-bit little-endian.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Application/IThreadTaskMgr.h"

namespace Application::DataSync {

class IDataSyncer {
public:
    virtual ~IDataSyncer() = default;
    // The component's state in a form of its own.
    virtual std::string SaveState() = 0;
    // Takes over state that SaveState of the same-named component produced in
    // another process. Called on worker thread 1.
    virtual void LoadState(const std::string& state) = 0;
};

using SnapshotSink = std::function<void(const std::string& snapshot)>;

struct SnapshotEntry {
    std::string_view name;
    std::string_view state;
};

void AppendEntry(std::string* snapshot_body, std::string_view name, std::string_view state);
std::string EncodeSnapshot(const std::vector<std::pair<std::string, std::string>>& entries);
// False, with nothing in entries, when the outer level is malformed (fewer
// than 4 bytes, or an entry length running past the end). Inner entries
// whose name or state does not fit their body are skipped. The views point
// into snapshot.
bool ParseSnapshot(std::string_view snapshot, std::vector<SnapshotEntry>* entries);

// One per process (Instance), living until exit. Register and SaveState run
// on the caller's thread; LoadState, Broadcast, the sink list and the calls
// into sinks and items' LoadState run on worker thread 1 (they post
// themselves there), or inline when there is no application.
class DataSyncMgr final : public IDataSyncer {
public:
    static DataSyncMgr* Instance();

    // tasks: where worker-thread-1 work goes; null means App()'s task manager
    // (tests give their own).
    explicit DataSyncMgr(IThreadTaskMgr* tasks = nullptr) : tasks_(tasks) {}
    DataSyncMgr(const DataSyncMgr&) = delete;
    DataSyncMgr& operator=(const DataSyncMgr&) = delete;

    // Replaces an earlier syncer of that name; syncer is not owned.
    void Register(const std::string& name, IDataSyncer* syncer);
    // Every registered item, in ascending name order.
    std::string SaveState() override;
    void LoadState(const std::string& snapshot) override;
    // Sends the named item's entry (or an empty snapshot when the name is
    // unknown) to every sink, in the order they were added.
    void Broadcast(const std::string& name);
    // The handle is returned at once; the sink joins the list on worker 1.
    uintptr_t AddSink(SnapshotSink sink);
    // Unknown handles are ignored.
    void RemoveSink(uintptr_t handle);

private:
    // Runs task on worker thread 1: at once when already there or when there
    // is no task manager, else posted.
    void OnWorker1(Task task);
    IDataSyncer* Find(std::string_view name);

    IThreadTaskMgr* tasks_;
    std::mutex items_lock_;
    std::map<std::string, IDataSyncer*, std::less<>> items_;
    // Touched on worker thread 1 only.
    std::vector<std::unique_ptr<SnapshotSink>> sinks_;
    // Sinks removed during a broadcast, destroyed when it ends.
    std::vector<std::unique_ptr<SnapshotSink>> removed_;
    int broadcasting_ = 0;
};

}  // namespace Application::DataSync
