#pragma once

// The data-tree component: synchronised nodes, the visitor that owns them,
// and CData, which runs visits under the lock shared by the host and its
// plugin processes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Application/IData.h"
#include "framework/data/data_node.h"
#include "framework/data/data_platform.h"
#include "framework/data/shared_block.h"

namespace Application {

// What the synchronised nodes of one tree share: the host pid for block
// names, the journal protecting pushes and the bound on the blocks kept
// open. journal is set only while a visit holds the cross-process lock;
// outside a visit nodes neither pull nor push.
struct TreeContext {
    uint32_t host_pid = 0;
    TreeJournal* journal = nullptr;
    OpenBlockCache* open_blocks = nullptr;
};

// A node whose content lives in a shared block as well.
template <class Node>
class SyncedNode : public Node {
public:
    ~SyncedNode() override { block_.Close(); }
    const std::string& BlockNameForTesting() const { return block_.name(); }
    SharedBlock& block() { return block_; }

protected:
    SyncedNode(uint32_t id, const TreeContext* context, const std::string& block_name)
        : Node(id), context_(context), block_(block_name, context->open_blocks) {}
    const TreeContext* context_;
    SharedBlock block_;
};

class CDataObjectSync final : public SyncedNode<CDataObject> {
public:
    CDataObjectSync(uint32_t id, const TreeContext* context);
    // Loads the block when it holds exactly one record of this layout.
    void Pull() override;
    void Push() override;
};

class CDataArraySync final : public SyncedNode<CDataArray> {
public:
    CDataArraySync(uint32_t id, const TreeContext* context);
    // Loads the block when it holds a well-formed array form of this layout.
    void Pull() override;
    void Push() override;
};

class CDataVisitor final : public IDataVisitor {
public:
    explicit CDataVisitor(const TreeContext* context) : context_(context) {}
    IDataObject* GetObject(uint32_t id) override;
    IDataArray* GetArray(uint32_t id) override;
    void Remove(uint32_t id) override { nodes_.erase(id); }
    void Clear() override { nodes_.clear(); }
    // Publishes every changed node, in ascending id order, under one journal
    // entry: another process sees all of them or none. Empty on success;
    // otherwise why nothing was written, and the changed nodes are dropped
    // (the next visit reads them afresh), so stale changes are never pushed
    // over what other processes wrote later.
    std::string PublishChanged(TreeJournal& journal);
    // Every node looks its block up again at its next pull or push.
    void ForgetBackings();

private:
    const TreeContext* context_;
    // Raised by every node that turns dirty: a visit that changed nothing
    // publishes without looking at the nodes.
    DirtyHint dirty_hint_;
    std::map<uint32_t, std::unique_ptr<IDataBase>> nodes_;
};

// Any thread may call Visit. Visits of one process are serialised by a
// mutex, those of different processes by a lock on the file "data_sem_<host
// pid>" in the user's private runtime directory, which the kernel releases
// when its holder dies. When that lock or its journal cannot be had, the
// callback is not run at all and nothing is read or written; the failure is
// reported once (to the log at level 100) and the next visit tries again.
// A visit nested in another on the same thread runs inside the outer one;
// its changes are published when the outer visit ends. A callback that
// throws ends the visit as if it had returned: what it changed so far is
// published, the lock is released and the exception goes no further.
class CData final : public IData {
public:
    // Host pid from the "pid" switch, else this process (then the host).
    CData();
    // The host of host_pid's tree when that is this process.
    explicit CData(uint32_t host_pid);
    // is_host: this process owns the tree: it removes what an earlier host
    // of that pid left behind, and the whole tree when it ends.
    CData(uint32_t host_pid, bool is_host);
    ~CData() override;
    CData(const CData&) = delete;
    CData& operator=(const CData&) = delete;

    bool Init() override { return true; }
    void Free() override {}
    void Visit(DataVisitCallback callback) override;

    const std::string& LockName() const { return lock_name_; }
    uint32_t HostPid() const { return context_.host_pid; }
    bool IsHost() const { return is_host_; }
    // Whether the cross-process lock can be had now (it is taken and
    // released at once).
    bool IsShared();

    // Receives the reports of failing and working again (level, text); by
    // default they go to the application's log when there is one.
    using Reporter = std::function<void(int level, const std::string& text)>;
    void SetReporterForTesting(Reporter reporter);

private:
    // Takes the cross-process lock and undoes what a dead holder left
    // unfinished. Empty on success, else why not (the lock is then not held).
    std::string LockTree();
    std::string OpenLockFile();
    void RunCallback(const DataVisitCallback& callback);
    void RemoveOwnObjects();

    std::string lock_name_;
    bool is_host_;
    TreeContext context_;
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    data_platform::NamedFile lock_file_;
    std::string lock_path_;
    // Whether the last visit failed; reports are made when this changes.
    bool failing_ = false;
    Reporter reporter_;
    std::unique_ptr<TreeJournal> journal_;
    // Outlives the nodes, whose blocks it lists.
    OpenBlockCache open_blocks_;
    std::unique_ptr<CDataVisitor> visitor_;
};

// Removes the blocks and lock files of hosts that are no longer running, and
// when own_host_pid is given, those carrying it (left by an earlier host that
// had the same pid). Returns how many objects were removed.
int RemoveLeftovers(uint32_t own_host_pid);

// Parses "dataobj_fm_<pid>_<id>" / "dataarr_fm_<pid>_<id>" and
// "data_sem_<pid>"; false for any other name.
bool ParseBlockName(const std::string& name, uint32_t* host_pid);
bool ParseLockName(const std::string& name, uint32_t* host_pid);

}  // namespace Application
