#include "framework/data/data_tree.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/core/cmdline_mgr.h"

namespace Application {
namespace {

constexpr uint64_t kMaxPayload = INT32_MAX - 4;

// Writes [length][payload] over the block with the old content journaled
// first. store fills the payload (and clears the node's dirty flags); it is
// called only once the block is mapped, so a failed push leaves them set.
template <typename Store>
bool PushPayload(SharedBlock& block, TreeJournal& journal, uint64_t payload_size, Store store) {
    if (payload_size > kMaxPayload) return false;
    if (!block.OpenBacking(true)) return false;
    const int64_t backing = block.BackingSize();
    if (backing < 0) return false;
    const uint64_t map_size = std::max<uint64_t>(payload_size + 4, static_cast<uint64_t>(backing));
    if (!block.Open(static_cast<int64_t>(map_size))) return false;
    char* view = block.view();
    uint32_t old_length;
    std::memcpy(&old_length, view, sizeof old_length);
    const uint64_t old_extent = std::min<uint64_t>(uint64_t{old_length} + 4, map_size);
    journal.Begin(block.name(), view, static_cast<size_t>(old_extent));
    const uint32_t length = static_cast<uint32_t>(payload_size);
    std::memcpy(view, &length, sizeof length);
    if (PushInterruptHook hook = PushInterruptForTesting()) {
        std::vector<char> staged(static_cast<size_t>(payload_size));
        store(staged.data());
        const size_t half = staged.size() / 2;
        std::memcpy(view + 4, staged.data(), half);
        hook();
        std::memcpy(view + 4 + half, staged.data() + half, staged.size() - half);
    } else {
        store(view + 4);
    }
    journal.Commit();
    block.Close();
    return true;
}

// Loads the payload only when its stored length is accepted for the node
// and lies wholly inside the block.
template <typename Accept, typename Load>
void PullPayload(SharedBlock& block, Accept accept, Load load) {
    if (!block.OpenBacking(false)) return;  // never written by anyone
    const int64_t backing = block.BackingSize();
    if (backing < 4) return;
    if (!block.Open(backing)) return;
    const char* view = block.view();
    uint32_t length;
    std::memcpy(&length, view, sizeof length);
    if (length != 0 && uint64_t{length} + 4 <= static_cast<uint64_t>(backing) && accept(view + 4, length)) {
        load(view + 4);
    }
    block.Close();
}

bool ParseDecimal(const std::string& text, size_t* position, uint32_t* value) {
    size_t i = *position;
    uint64_t result = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        result = result * 10 + static_cast<uint64_t>(text[i] - '0');
        if (result > UINT32_MAX) return false;
        ++i;
    }
    if (i == *position) return false;
    *position = i;
    *value = static_cast<uint32_t>(result);
    return true;
}

uint32_t HostPidFromCommandLine() {
    char value[32] = {};
    ProcessCmdLineMgr()->GetValue("pid", value, sizeof value);
    const int pid = value[0] ? std::atoi(value) : 0;
    // A value that is no pid cannot name anyone's tree; keep our own.
    return pid > 0 ? static_cast<uint32_t>(pid) : data_platform::CurrentProcessId();
}

// Ends ownership of the visit on every way out, exceptions included.
class VisitScope {
public:
    VisitScope(std::atomic<std::thread::id>& owner, data_platform::NamedFile* locked, TreeContext& context)
        : owner_(owner), locked_(locked), context_(context) {
        owner_.store(std::this_thread::get_id());
    }
    ~VisitScope() {
        context_.journal = nullptr;
        owner_.store(std::thread::id());
        if (locked_) locked_->Unlock();
    }
    VisitScope(const VisitScope&) = delete;
    VisitScope& operator=(const VisitScope&) = delete;

private:
    std::atomic<std::thread::id>& owner_;
    data_platform::NamedFile* locked_;
    TreeContext& context_;
};

}  // namespace

bool ParseBlockName(const std::string& name, uint32_t* host_pid) {
    if (name.compare(0, 11, "dataobj_fm_") != 0 && name.compare(0, 11, "dataarr_fm_") != 0) return false;
    size_t position = 11;
    uint32_t pid, id;
    if (!ParseDecimal(name, &position, &pid)) return false;
    if (position >= name.size() || name[position] != '_') return false;
    ++position;
    if (!ParseDecimal(name, &position, &id) || position != name.size()) return false;
    *host_pid = pid;
    return true;
}

bool ParseLockName(const std::string& name, uint32_t* host_pid) {
    if (name.compare(0, 9, "data_sem_") != 0) return false;
    size_t position = 9;
    uint32_t pid;
    if (!ParseDecimal(name, &position, &pid) || position != name.size()) return false;
    *host_pid = pid;
    return true;
}

int RemoveLeftovers(uint32_t own_host_pid) {
    int removed = 0;
    auto stale = [own_host_pid](uint32_t pid) {
        return (own_host_pid != 0 && pid == own_host_pid) || !data_platform::ProcessAlive(pid);
    };
    for (const std::string& name : data_platform::ListSharedMemory()) {
        uint32_t pid;
        if (ParseBlockName(name, &pid) && stale(pid) && data_platform::RemoveSharedMemory(name)) ++removed;
    }
    for (const std::string& name : data_platform::ListRuntimeFiles()) {
        uint32_t pid;
        if (ParseLockName(name, &pid) && stale(pid) && data_platform::RemoveRuntimeFile(name)) ++removed;
    }
    return removed;
}

// ---- synchronised nodes ----

CDataObjectSync::CDataObjectSync(uint32_t id, const TreeContext* context)
    : SyncedNode(id, context, BlockName("obj", context->host_pid, id)) {}

void CDataObjectSync::Pull() {
    if (!context_->journal || !HasLayout()) return;
    PullPayload(
        block_, [this](const char*, uint32_t length) { return length == RecordSize(); },
        [this](const char* payload) { LoadRecord(payload); });
}

void CDataObjectSync::Push() {
    if (!context_->journal || !HasLayout()) return;
    PushPayload(block_, *context_->journal, RecordSize(), [this](char* payload) { StoreRecord(payload); });
}

CDataArraySync::CDataArraySync(uint32_t id, const TreeContext* context)
    : SyncedNode(id, context, BlockName("arr", context->host_pid, id)) {}

void CDataArraySync::Pull() {
    if (!context_->journal) return;
    PullPayload(
        block_, [this](const char* payload, uint32_t length) { return AcceptsArrayForm(payload, length); },
        [this](const char* payload) { LoadRecords(payload); });
}

void CDataArraySync::Push() {
    if (!context_->journal) return;
    PushPayload(block_, *context_->journal, ArrayFormSize(), [this](char* payload) { StoreRecords(payload); });
}

// ---- visitor ----

IDataObject* CDataVisitor::GetObject(uint32_t id) {
    auto& slot = nodes_[id];
    if (!slot || slot->KindId() != kObjectKindId) slot = std::make_unique<CDataObjectSync>(id, context_);
    return static_cast<CDataObjectSync*>(slot.get());
}

IDataArray* CDataVisitor::GetArray(uint32_t id) {
    auto& slot = nodes_[id];
    if (!slot || slot->KindId() != kArrayKindId) slot = std::make_unique<CDataArraySync>(id, context_);
    return static_cast<CDataArraySync*>(slot.get());
}

void CDataVisitor::PushChanged() {
    for (auto& [id, node] : nodes_) {
        if (node->KindId() == kArrayKindId) {
            auto* array = static_cast<CDataArraySync*>(node.get());
            if (!array->IsDirty() && !array->AnyElementDirty()) continue;
            array->SetDirty(true);
            array->Push();
        } else {
            auto* object = static_cast<CDataObjectSync*>(node.get());
            if (object->IsDirty()) object->Push();
        }
    }
}

// ---- CData ----

CData::CData() : CData(HostPidFromCommandLine()) {}

CData::CData(uint32_t host_pid) : CData(host_pid, host_pid == data_platform::CurrentProcessId()) {}

CData::CData(uint32_t host_pid, bool is_host) : is_host_(is_host) {
    context_.host_pid = host_pid;
    char name[32];
    std::snprintf(name, sizeof name, "data_sem_%d", static_cast<int>(host_pid));
    lock_name_ = name;
    visitor_ = std::make_unique<CDataVisitor>(&context_);
    if (is_host_) RemoveLeftovers(host_pid);
}

CData::~CData() {
    std::lock_guard<std::mutex> guard(mutex_);
    visitor_.reset();
    if (!is_host_) return;
    // Under the lock, so no plugin process is half-way through a push; but a
    // plugin process that hangs holding it must not keep the host from ending.
    bool locked = false;
    if (lock_file_.valid()) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!(locked = lock_file_.TryLockExclusive()) && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    RemoveOwnObjects();
    if (locked) lock_file_.Unlock();
}

void CData::RemoveOwnObjects() {
    for (const std::string& name : data_platform::ListSharedMemory()) {
        uint32_t pid;
        if (ParseBlockName(name, &pid) && pid == context_.host_pid) data_platform::RemoveSharedMemory(name);
    }
    data_platform::RemoveRuntimeFile(lock_name_);
}

bool CData::EnsureLock() {
    if (!lock_tried_) {
        lock_tried_ = true;
        lock_file_ = data_platform::NamedFile::OpenRuntimeFile(lock_name_);
        if (lock_file_.valid()) journal_ = std::make_unique<TreeJournal>(&lock_file_);
    }
    return lock_file_.valid();
}

bool CData::IsShared() {
    std::lock_guard<std::mutex> guard(mutex_);
    return EnsureLock();
}

void CData::RunCallback(const DataVisitCallback& callback) {
    try {
        callback(visitor_.get());
    } catch (...) {
        // Nothing may cross the library boundary; the visit ends normally.
    }
}

void CData::Visit(DataVisitCallback callback) {
    if (!callback) return;
    if (owner_.load() == std::this_thread::get_id()) {
        RunCallback(callback);
        return;
    }
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!visitor_) return;
        const bool locked = EnsureLock() && lock_file_.LockExclusive();
        VisitScope scope(owner_, locked ? &lock_file_ : nullptr, context_);
        // Without the journal readable the tree stays local for this visit
        // rather than risk reading what a dead holder left half-written.
        if (locked && journal_->RecoverAfterLock()) context_.journal = journal_.get();
        RunCallback(callback);
        visitor_->PushChanged();
    } catch (...) {
        // Allocation failures while publishing; the lock is released above.
    }
}

}  // namespace Application
