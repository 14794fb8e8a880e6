#include "framework/data/data_tree.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "Application/Application.h"
#include "framework/core/cmdline_mgr.h"
#include "tools/monotonic_clock.h"

namespace Application {
namespace {

constexpr uint64_t kMaxPayload = INT32_MAX - 4;

// How long a host that ends waits for a plugin process to finish its visit
// before it removes the tree anyway.
constexpr int64_t kHostEndLockWaitMs = 2000;
constexpr auto kHostEndLockPoll = std::chrono::milliseconds(5);

// One block that a publication writes.
struct PendingBlock {
    uint32_t id;
    SharedBlock* block;
    uint64_t payload_size;
    CDataObject* object;  // exactly one of object and array
    CDataArray* array;

    // Fills the payload and clears the node's dirty flags.
    void Store(char* payload) const {
        if (object) object->StoreRecord(payload);
        else array->StoreRecords(payload);
    }
};

// Writes [length][payload] over every pending block, with the old content of
// all of them journaled first. Every block is mapped and the journal written
// before the first byte of any block changes, so on failure nothing was
// written and the nodes keep their dirty flags. The mappings stay open for
// the next visit, as many as open_blocks allows. Empty on success.
std::string PublishBlocks(std::vector<PendingBlock>& pending, TreeJournal& journal, OpenBlockCache* open_blocks) {
    if (pending.empty()) return {};
    struct TrimAfter {
        OpenBlockCache* cache;
        ~TrimAfter() {
            if (cache) cache->Trim();
        }
    } trim{open_blocks};
    std::vector<TreeJournal::Entry> entries;
    entries.reserve(pending.size());
    for (PendingBlock& p : pending) {
        SharedBlock& block = *p.block;
        if (p.payload_size > kMaxPayload)
            return "node " + std::to_string(p.id) + " needs " + std::to_string(p.payload_size) +
                   " bytes, more than the " + std::to_string(kMaxPayload) + " a block holds";
        std::string error;
        if (!block.Prepare(true, p.payload_size + 4, &error)) return error;
        uint32_t old_length;
        std::memcpy(&old_length, block.view(), sizeof old_length);
        const uint64_t old_extent = std::min<uint64_t>(uint64_t{old_length} + 4, block.mapped_size());
        entries.push_back({&block.name(), block.view(), static_cast<size_t>(old_extent)});
    }
    if (!journal.Begin(entries)) return "the journal cannot hold the old content of the blocks";

    PushInterruptHook hook = PushInterruptForTesting();
    if (hook) hook(0);
    for (size_t k = 0; k < pending.size(); ++k) {
        const PendingBlock& p = pending[k];
        char* view = p.block->view();
        const uint32_t length = static_cast<uint32_t>(p.payload_size);
        std::memcpy(view, &length, sizeof length);
        if (hook) {
            const int point = 1 + 2 * static_cast<int>(k);
            hook(point);
            std::vector<char> staged(static_cast<size_t>(p.payload_size));
            p.Store(staged.data());
            const size_t half = staged.size() / 2;
            std::memcpy(view + 4, staged.data(), half);
            hook(point + 1);
            std::memcpy(view + 4 + half, staged.data() + half, staged.size() - half);
        } else {
            p.Store(view + 4);
        }
    }
    if (hook) hook(1 + 2 * static_cast<int>(pending.size()));
    journal.Commit();
    return {};
}

void LogReport(int level, const std::string& text) {
    if (IApplication* app = App()) {
        if (ILog* log = app->GetLog()) log->Write(level, "%s", text.c_str());
    }
}

// Loads the payload only when its stored length is accepted for the node
// and lies wholly inside the block.
template <typename Accept, typename Load>
void PullPayload(SharedBlock& block, OpenBlockCache* open_blocks, Accept accept, Load load) {
    // False as well for a block never written by anyone.
    const bool prepared = block.Prepare(false, 0);
    if (prepared && block.mapped_size() >= 4) {
        const char* view = block.view();
        uint32_t length;
        std::memcpy(&length, view, sizeof length);
        if (length != 0 && uint64_t{length} + 4 <= block.mapped_size() && accept(view + 4, length)) load(view + 4);
    }
    if (open_blocks) open_blocks->Trim();
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

// " (plugin <name>)" in a plugin process, else nothing.
std::string PluginNameNote() {
    char name[256] = {};
    ProcessCmdLineMgr()->GetValue("plugin_name", name, sizeof name);
    return name[0] ? std::string(" (plugin ") + name + ")" : std::string();
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
    for (const std::string& name : data_platform::ListRuntimeFiles()) {
        uint32_t pid;
        if ((ParseBlockName(name, &pid) || ParseLockName(name, &pid)) && stale(pid) &&
            data_platform::RemoveRuntimeFile(name))
            ++removed;
    }
    return removed;
}

// ---- synchronised nodes ----

CDataObjectSync::CDataObjectSync(uint32_t id, const TreeContext* context)
    : SyncedNode(id, context, BlockName("obj", context->host_pid, id)) {}

void CDataObjectSync::Pull() {
    if (!context_->journal || !HasLayout()) return;
    PullPayload(
        block_, context_->open_blocks, [this](const char*, uint32_t length) { return length == RecordSize(); },
        [this](const char* payload) { LoadRecord(payload); });
}

void CDataObjectSync::Push() {
    if (!context_->journal || !HasLayout()) return;
    std::vector<PendingBlock> one = {{GetId(), &block(), RecordSize(), this, nullptr}};
    PublishBlocks(one, *context_->journal, context_->open_blocks);
}

CDataArraySync::CDataArraySync(uint32_t id, const TreeContext* context)
    : SyncedNode(id, context, BlockName("arr", context->host_pid, id)) {}

void CDataArraySync::Pull() {
    if (!context_->journal) return;
    PullPayload(
        block_, context_->open_blocks,
        [this](const char* payload, uint32_t length) { return AcceptsArrayForm(payload, length); },
        [this](const char* payload) { LoadRecords(payload); });
}

void CDataArraySync::Push() {
    if (!context_->journal) return;
    std::vector<PendingBlock> one = {{GetId(), &block(), ArrayFormSize(), nullptr, this}};
    PublishBlocks(one, *context_->journal, context_->open_blocks);
}

// ---- visitor ----

IDataObject* CDataVisitor::GetObject(uint32_t id) {
    auto& slot = nodes_[id];
    if (!slot || slot->KindId() != kObjectKindId) {
        auto node = std::make_unique<CDataObjectSync>(id, context_);
        node->SetDirtyHint(&dirty_hint_);
        slot = std::move(node);
    }
    return static_cast<CDataObjectSync*>(slot.get());
}

IDataArray* CDataVisitor::GetArray(uint32_t id) {
    auto& slot = nodes_[id];
    if (!slot || slot->KindId() != kArrayKindId) {
        auto node = std::make_unique<CDataArraySync>(id, context_);
        node->SetDirtyHint(&dirty_hint_);
        slot = std::move(node);
    }
    return static_cast<CDataArraySync*>(slot.get());
}

std::string CDataVisitor::PublishChanged(TreeJournal& journal) {
    if (!dirty_hint_.raised) return {};
    std::vector<PendingBlock> pending;
    // A node that is dirty but cannot be published yet keeps the hint up.
    bool left_dirty = false;
    for (auto& [id, node] : nodes_) {
        if (node->KindId() == kArrayKindId) {
            auto* array = static_cast<CDataArraySync*>(node.get());
            if (!array->IsDirty() && !array->AnyElementDirty()) continue;
            array->SetDirty(true);
            pending.push_back({id, &array->block(), array->ArrayFormSize(), nullptr, array});
        } else {
            auto* object = static_cast<CDataObjectSync*>(node.get());
            if (!object->IsDirty()) continue;
            if (object->HasLayout()) pending.push_back({id, &object->block(), object->RecordSize(), object, nullptr});
            else left_dirty = true;
        }
    }
    std::string failure = PublishBlocks(pending, journal, context_->open_blocks);
    if (!failure.empty()) {
        for (const PendingBlock& p : pending) nodes_.erase(p.id);
    }
    // Published, or dropped to be read afresh: nothing else is dirty.
    dirty_hint_.raised = left_dirty;
    return failure;
}

void CDataVisitor::ForgetBackings() {
    for (auto& [id, node] : nodes_) {
        if (node->KindId() == kArrayKindId) static_cast<CDataArraySync*>(node.get())->block().ForgetBacking();
        else static_cast<CDataObjectSync*>(node.get())->block().ForgetBacking();
    }
}

// ---- CData ----

CData::CData() : CData(HostPidFromCommandLine()) {}

CData::CData(uint32_t host_pid) : CData(host_pid, host_pid == data_platform::CurrentProcessId()) {}

CData::CData(uint32_t host_pid, bool is_host) : is_host_(is_host), reporter_(LogReport) {
    context_.host_pid = host_pid;
    context_.open_blocks = &open_blocks_;
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
        const int64_t give_up = Tools::detail::MonotonicMs() + kHostEndLockWaitMs;
        while (!(locked = lock_file_.TryLockExclusive()) && Tools::detail::MonotonicMs() < give_up) {
            std::this_thread::sleep_for(kHostEndLockPoll);
        }
    }
    RemoveOwnObjects();
    if (locked) lock_file_.Unlock();
}

void CData::RemoveOwnObjects() {
    for (const std::string& name : data_platform::ListRuntimeFiles()) {
        uint32_t pid;
        if (ParseBlockName(name, &pid) && pid == context_.host_pid) data_platform::RemoveRuntimeFile(name);
    }
    data_platform::RemoveRuntimeFile(lock_name_);
}

void CData::SetReporterForTesting(Reporter reporter) {
    std::lock_guard<std::mutex> guard(mutex_);
    reporter_ = std::move(reporter);
}

std::string CData::OpenLockFile() {
    std::string problem;
    const std::string dir = data_platform::RuntimeDir(true, &problem);
    if (dir.empty()) return "no private runtime directory: " + problem;
    // Blocks found through an earlier lock file may be gone with it.
    journal_.reset();
    visitor_->ForgetBackings();
    lock_path_ = dir + "/" + lock_name_;
    std::string error;
    lock_file_ = data_platform::NamedFile::OpenPath(lock_path_, true, &error);
    if (!lock_file_.valid()) return error;
    journal_ = std::make_unique<TreeJournal>(&lock_file_);
    return {};
}

std::string CData::LockTree() {
    // The lock file may have been removed or replaced since the last visit
    // (the host that ended removed it, the directory was remade): a lock on
    // a file nobody else finds any more would exclude nobody. So the name
    // is checked once the lock is held; the place is looked up afresh only
    // when it no longer leads to our file.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!lock_file_.valid()) {
            if (std::string failure = OpenLockFile(); !failure.empty()) return failure;
        }
        if (!lock_file_.LockExclusive()) return "cannot lock " + lock_path_ + ": " + std::strerror(errno);
        // A file removed or replaced under its name has no link left; one
        // fstat tells that and the size the journal needs, where looking the
        // path up would cost as much as the lock itself.
        const data_platform::NamedFile::Status status = lock_file_.GetStatus();
        if (!status.linked) {
            lock_file_.Unlock();
            lock_file_.Close();
            continue;
        }
        if (!journal_->RecoverAfterLock(status.size)) {
            lock_file_.Unlock();
            return "cannot read the journal in " + lock_path_;
        }
        return {};
    }
    return "the lock file " + lock_path_ + " keeps being replaced";
}

bool CData::IsShared() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (owner_.load() == std::this_thread::get_id()) return true;
    if (!visitor_ || !LockTree().empty()) return false;
    lock_file_.Unlock();
    return true;
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
    Reporter reporter;
    int level = 0;
    std::string report, notice;
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!visitor_) return;
        std::string failure = LockTree();
        if (!failure.empty()) {
            failure = "visit not run: " + failure;
        } else {
            VisitScope scope(owner_, &lock_file_, context_);
            context_.journal = journal_.get();
            RunCallback(callback);
            failure = visitor_->PublishChanged(*journal_);
            if (!failure.empty()) failure = "changes of a visit discarded: " + failure;
        }
        if (open_blocks_.TakeLimitNotice()) {
            notice = "data tree " + lock_name_ + PluginNameNote() + ": more than " +
                     std::to_string(open_blocks_.limit()) +
                     " blocks in use; the least recently used are closed and opened again when needed";
        }
        // Once per spell of failures, and once when it works again.
        if (!failure.empty() && !failing_) {
            level = kLogError;
            report = "data tree " + lock_name_ + ": " + failure + "; tried again at every visit";
        } else if (failure.empty() && failing_) {
            level = kLogInfo;
            report = "data tree " + lock_name_ + ": shared again";
        }
        failing_ = !failure.empty();
        if (level || !notice.empty()) reporter = reporter_;
    } catch (...) {
        // Allocation failures while publishing; the lock is released above.
    }
    if (reporter && !notice.empty()) reporter(kLogInfo, notice);
    if (reporter && level) reporter(level, report);
}

}  // namespace Application
