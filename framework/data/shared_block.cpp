#include "framework/data/shared_block.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace Application {
namespace {

// Journal layout inside the lock file: a header, then one entry per saved
// block: [name length, 4][reserved, 4][saved length, 8][name][saved bytes],
// each entry padded to 8 bytes.
constexpr size_t kJournalMagicOffset = 0;
constexpr size_t kBeginOffset = 8;
constexpr size_t kEndOffset = 16;
constexpr size_t kEntryCountOffset = 24;
constexpr size_t kEntryBytesOffset = 32;
constexpr size_t kJournalHeader = 64;
constexpr size_t kEntryHeader = 16;
constexpr size_t kMaxName = 220;
constexpr uint32_t kJournalMagic = 0x324a4456;  // "VDJ2"

std::atomic<PushInterruptHook> g_push_interrupt{nullptr};

std::atomic_ref<uint64_t> Word(char* base, size_t offset) {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(base + offset));
}

constexpr uint64_t Padded(uint64_t size) { return (size + 7) & ~uint64_t{7}; }

uint64_t EntrySize(size_t name_length, uint64_t saved_length) {
    return Padded(kEntryHeader + name_length + saved_length);
}

}  // namespace

void SetPushInterruptForTesting(PushInterruptHook hook) { g_push_interrupt.store(hook); }
PushInterruptHook PushInterruptForTesting() { return g_push_interrupt.load(std::memory_order_relaxed); }

std::string BlockName(const char* kind_word, uint32_t host_pid, uint32_t node_id) {
    char name[256];
    std::snprintf(name, sizeof name, "data%s_fm_%d_%u", kind_word, static_cast<int>(host_pid), node_id);
    return name;
}

SharedBlock::~SharedBlock() {
    if (cache_) cache_->Left(this);
}

bool SharedBlock::OpenBacking(bool create, std::string* error) {
    if (file_.valid()) return true;
    file_ = data_platform::NamedFile::OpenRuntimeFile(name_, create, error);
    return file_.valid();
}

void SharedBlock::ForgetBacking() {
    if (cache_) cache_->Left(this);
    view_.Reset();
    file_.Close();
}

bool SharedBlock::Prepare(bool create, uint64_t min_size, std::string* error) {
    data_platform::NamedFile::Status status;
    if (file_.valid()) {
        status = file_.GetStatus();
        // Removed or replaced under its name: what others write now goes to
        // the file that bears the name.
        if (!status.linked) ForgetBacking();
    }
    if (!file_.valid()) {
        if (!OpenBacking(create, error)) return false;
        status = file_.GetStatus();
    }
    if (status.size < 0) {
        if (error) *error = "cannot read the size of the block " + name_ + ": " + std::strerror(errno);
        return false;
    }
    uint64_t size = static_cast<uint64_t>(status.size);
    if (size < min_size) {
        if (!file_.EnsureSize(min_size)) {
            if (error) *error = "cannot grow the block " + name_ + " to " + std::to_string(min_size) + " bytes: " +
                                std::strerror(errno);
            return false;
        }
        size = min_size;
    }
    if (size > SIZE_MAX) {
        if (error) *error = "the block " + name_ + " is too large to map";
        return false;
    }
    // The mapping of the last use still shows the whole file unless another
    // process grew it since.
    if (!view_.valid() || view_.size() != size) {
        view_.Reset();
        if (size > 0) {
            view_ = file_.Map(static_cast<size_t>(size));
            if (!view_.valid()) {
                if (error) *error = "cannot map " + std::to_string(size) + " bytes of the block " + name_ + ": " +
                                    std::strerror(errno);
                if (cache_) cache_->Used(this);
                return false;
            }
        }
    }
    if (cache_) cache_->Used(this);
    return true;
}

bool SharedBlock::Open(int64_t size) {
    if (view_.valid()) return true;
    if (size <= 0) size = 8192;
    if (!OpenBacking(true)) return false;
    if (!file_.EnsureSize(static_cast<uint64_t>(size))) return false;
    view_ = file_.Map(static_cast<size_t>(size));
    return view_.valid();
}

// ---- OpenBlockCache ----

OpenBlockCache::~OpenBlockCache() {
    while (newest_) Left(newest_);
}

void OpenBlockCache::Used(SharedBlock* block) {
    if (block->listed_) {
        if (newest_ == block) return;
        Left(block);
    }
    block->older_ = newest_;
    block->newer_ = nullptr;
    if (newest_) newest_->newer_ = block;
    newest_ = block;
    if (!oldest_) oldest_ = block;
    block->listed_ = true;
    ++count_;
}

void OpenBlockCache::Left(SharedBlock* block) {
    if (!block->listed_) return;
    if (block->newer_) block->newer_->older_ = block->older_;
    else newest_ = block->older_;
    if (block->older_) block->older_->newer_ = block->newer_;
    else oldest_ = block->newer_;
    block->newer_ = block->older_ = nullptr;
    block->listed_ = false;
    --count_;
}

void OpenBlockCache::Trim() {
    while (count_ > limit_ && oldest_) {
        limit_hit_ = true;
        // Leaves the list as well.
        oldest_->ForgetBacking();
    }
}

bool OpenBlockCache::TakeLimitNotice() {
    if (!limit_hit_ || limit_noticed_) return false;
    limit_noticed_ = true;
    return true;
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

bool TreeJournal::RecoverAfterLock(int64_t file_size) {
    // Another process may have grown the journal since we mapped it.
    const int64_t size = file_size >= 0 ? file_size : file_ && file_->valid() ? file_->Size() : -1;
    if (size < 0) return false;
    const size_t wanted = std::max(kJournalHeader, static_cast<size_t>(size));
    if (!MapAtLeast(wanted)) return false;
    char* base = map_.data();
    const uint64_t begin = Word(base, kBeginOffset).load(std::memory_order_acquire);
    const uint64_t end = Word(base, kEndOffset).load(std::memory_order_acquire);
    if (begin == end) return true;

    uint32_t count;
    uint64_t used;
    std::memcpy(&count, base + kEntryCountOffset, sizeof count);
    std::memcpy(&used, base + kEntryBytesOffset, sizeof used);
    // The entries were complete before the word rose; the checks only keep
    // a damaged file from taking us outside the mapping.
    const uint64_t limit = std::min<uint64_t>(used, map_.size() - kJournalHeader);
    uint64_t position = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (limit - position < kEntryHeader) break;
        const char* entry = base + kJournalHeader + position;
        uint32_t name_length;
        uint64_t saved_length;
        std::memcpy(&name_length, entry, sizeof name_length);
        std::memcpy(&saved_length, entry + 8, sizeof saved_length);
        const uint64_t room = limit - position - kEntryHeader;
        if (name_length > kMaxName || name_length > room || saved_length > room - name_length) break;
        SharedBlock block(std::string(entry + kEntryHeader, name_length));
        // A block that is gone needs no repair.
        if (block.OpenBacking(false) && block.Open(static_cast<int64_t>(std::max<uint64_t>(saved_length, 4)))) {
            block.Write(entry + kEntryHeader + name_length, static_cast<size_t>(saved_length), 0);
        }
        position += EntrySize(name_length, saved_length);
    }
    Word(base, kEndOffset).store(begin, std::memory_order_release);
    return true;
}

bool TreeJournal::Begin(const std::vector<Entry>& entries) {
    begun_ = false;
    uint64_t total = 0;
    for (const Entry& entry : entries) {
        if (entry.name->size() > kMaxName) return false;
        total += EntrySize(entry.name->size(), entry.length);
    }
    if (total > SIZE_MAX - kJournalHeader || !MapAtLeast(static_cast<size_t>(kJournalHeader + total))) return false;
    char* base = map_.data();
    uint64_t position = 0;
    for (const Entry& entry : entries) {
        char* out = base + kJournalHeader + position;
        const uint32_t name_length = static_cast<uint32_t>(entry.name->size());
        const uint64_t saved_length = entry.length;
        std::memcpy(out, &name_length, sizeof name_length);
        std::memset(out + 4, 0, 4);
        std::memcpy(out + 8, &saved_length, sizeof saved_length);
        std::memcpy(out + kEntryHeader, entry.name->data(), name_length);
        if (entry.length) std::memcpy(out + kEntryHeader + name_length, entry.current, entry.length);
        position += EntrySize(name_length, saved_length);
    }
    const uint32_t count = static_cast<uint32_t>(entries.size());
    std::memcpy(base + kEntryCountOffset, &count, sizeof count);
    std::memcpy(base + kEntryBytesOffset, &position, sizeof position);
    // Raised only once every saved copy is complete: a holder killed before
    // this leaves the blocks untouched and the journal idle.
    const uint64_t end = Word(base, kEndOffset).load(std::memory_order_relaxed);
    // Release: the saved copies are complete before the word rises. Acquire:
    // the blocks' own writes cannot be moved ahead of it.
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
