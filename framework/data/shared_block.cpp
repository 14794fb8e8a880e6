#include "framework/data/shared_block.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace Application {
namespace {

// Journal layout inside the lock file.
constexpr size_t kJournalMagicOffset = 0;
constexpr size_t kBeginOffset = 8;
constexpr size_t kEndOffset = 16;
constexpr size_t kSavedLengthOffset = 24;
constexpr size_t kNameLengthOffset = 32;
constexpr size_t kNameOffset = 36;
constexpr size_t kMaxName = 220;
constexpr size_t kJournalHeader = 256;
constexpr uint32_t kJournalMagic = 0x314a4456;  // "VDJ1"

std::atomic<PushInterruptHook> g_push_interrupt{nullptr};

std::atomic_ref<uint64_t> Word(char* base, size_t offset) {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(base + offset));
}

}  // namespace

void SetPushInterruptForTesting(PushInterruptHook hook) { g_push_interrupt.store(hook); }
PushInterruptHook PushInterruptForTesting() { return g_push_interrupt.load(std::memory_order_relaxed); }

std::string BlockName(const char* kind_word, uint32_t host_pid, uint32_t node_id) {
    char name[256];
    std::snprintf(name, sizeof name, "data%s_fm_%d_%u", kind_word, static_cast<int>(host_pid), node_id);
    return name;
}

bool SharedBlock::OpenBacking(bool create) {
    if (file_.valid()) return true;
    file_ = data_platform::NamedFile::OpenSharedMemory(name_, create);
    return file_.valid();
}

bool SharedBlock::Open(int64_t size) {
    if (view_.valid()) return true;
    if (size <= 0) size = 8192;
    if (!OpenBacking(true)) return false;
    if (!file_.EnsureSize(static_cast<uint64_t>(size))) return false;
    view_ = file_.Map(static_cast<size_t>(size));
    return view_.valid();
}

bool SharedBlock::Read(void* destination, size_t length, size_t offset) const {
    if (!view_.valid() || offset > view_.size() || length > view_.size() - offset) return false;
    std::memcpy(destination, view_.data() + offset, length);
    return true;
}

bool SharedBlock::Write(const void* source, size_t length, size_t offset) {
    if (!view_.valid() || offset > view_.size() || length > view_.size() - offset) return false;
    if (source) std::memcpy(view_.data() + offset, source, length);
    else std::memset(view_.data() + offset, 0, length);
    return true;
}

// ---- TreeJournal ----

bool TreeJournal::MapAtLeast(size_t size) {
    if (map_.valid() && map_.size() >= size) return true;
    if (!file_ || !file_->valid()) return false;
    const int64_t current = file_->Size();
    if (current < 0) return false;
    if (static_cast<uint64_t>(current) < size && !file_->EnsureSize(size)) return false;
    const size_t map_size = std::max(size, static_cast<size_t>(current));
    map_.Reset();
    map_ = file_->Map(map_size);
    if (!map_.valid()) return false;
    uint32_t magic;
    std::memcpy(&magic, map_.data() + kJournalMagicOffset, sizeof magic);
    if (magic != kJournalMagic) {
        // A fresh lock file: nothing was ever begun in it.
        std::memset(map_.data(), 0, kJournalHeader);
        std::memcpy(map_.data() + kJournalMagicOffset, &kJournalMagic, sizeof kJournalMagic);
    }
    return true;
}

bool TreeJournal::PendingForTesting() {
    if (!MapAtLeast(kJournalHeader)) return false;
    return Word(map_.data(), kBeginOffset).load() != Word(map_.data(), kEndOffset).load();
}

bool TreeJournal::RecoverAfterLock() {
    // Another process may have grown the journal since we mapped it.
    const int64_t size = file_ && file_->valid() ? file_->Size() : -1;
    if (size < 0) return false;
    const size_t wanted = std::max(kJournalHeader, static_cast<size_t>(size));
    if (!MapAtLeast(wanted)) return false;
    char* base = map_.data();
    const uint64_t begin = Word(base, kBeginOffset).load(std::memory_order_acquire);
    const uint64_t end = Word(base, kEndOffset).load(std::memory_order_acquire);
    if (begin == end) return true;

    uint64_t saved_length;
    uint32_t name_length;
    std::memcpy(&saved_length, base + kSavedLengthOffset, sizeof saved_length);
    std::memcpy(&name_length, base + kNameLengthOffset, sizeof name_length);
    if (name_length <= kMaxName && saved_length <= map_.size() - kJournalHeader) {
        SharedBlock block(std::string(base + kNameOffset, name_length));
        // A block that is gone needs no repair.
        if (block.OpenBacking(false) && block.Open(static_cast<int64_t>(std::max<uint64_t>(saved_length, 4)))) {
            block.Write(base + kJournalHeader, static_cast<size_t>(saved_length), 0);
        }
    }
    Word(base, kEndOffset).store(begin, std::memory_order_release);
    return true;
}

bool TreeJournal::Begin(const std::string& block_name, const char* current, size_t length) {
    begun_ = false;
    if (block_name.size() > kMaxName) return false;
    if (!MapAtLeast(kJournalHeader + length)) return false;
    char* base = map_.data();
    const uint64_t saved_length = length;
    const uint32_t name_length = static_cast<uint32_t>(block_name.size());
    std::memcpy(base + kSavedLengthOffset, &saved_length, sizeof saved_length);
    std::memcpy(base + kNameLengthOffset, &name_length, sizeof name_length);
    std::memcpy(base + kNameOffset, block_name.data(), name_length);
    if (length) std::memcpy(base + kJournalHeader, current, length);
    // Raised only once the saved copy is complete: a holder killed before
    // this leaves the block untouched and the journal idle.
    const uint64_t end = Word(base, kEndOffset).load(std::memory_order_relaxed);
    // Release: the saved copy is complete before the word rises. Acquire:
    // the push's own writes cannot be moved ahead of it.
    Word(base, kBeginOffset).exchange(end + 1, std::memory_order_acq_rel);
    begun_ = true;
    return true;
}

void TreeJournal::Commit() {
    if (!begun_) return;
    begun_ = false;
    char* base = map_.data();
    const uint64_t begin = Word(base, kBeginOffset).load(std::memory_order_relaxed);
    Word(base, kEndOffset).store(begin, std::memory_order_release);
}

}  // namespace Application
