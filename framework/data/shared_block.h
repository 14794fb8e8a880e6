#pragma once

// The shared side of synchronised data-tree nodes: one named block per node
// and the tree's push journal. Used only under the tree lock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/data/data_platform.h"

namespace Application {

// "data" + kind word ("obj" or "arr") + "_fm_" + host pid + "_" + node id.
std::string BlockName(const char* kind_word, uint32_t host_pid, uint32_t node_id);

class OpenBlockCache;

// How many blocks of one tree keep their file and mapping open between
// visits. A block's content lives in shared memory whether or not it is
// mapped, so closing one costs only the reopening when it is next used.
constexpr size_t kMaxOpenBlocks = 64;

// A named block: [payload length L, 4 bytes][payload, L bytes], never
// shrunk, zero-filled when grown. Backed by a file of that name in the
// user's private runtime directory instead of a file in the temporary
// directory: another user can neither see nor pre-create it, and on the
// usual tmpfs nothing of it reaches the disk.
//
// A block of a tree node keeps its file and mapping open from one visit to
// the next (Prepare), within the bound of its OpenBlockCache. A block made
// for one look (tests, journal repair) uses Open and Close.
class SharedBlock {
public:
    explicit SharedBlock(std::string name, OpenBlockCache* cache = nullptr)
        : name_(std::move(name)), cache_(cache) {}
    ~SharedBlock();
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;

    const std::string& name() const { return name_; }
    // Opens the named file (creating it when create is set) without mapping
    // it. False when it does not exist or cannot be opened; error, when
    // given, then says why.
    bool OpenBacking(bool create, std::string* error = nullptr);
    // Drops the file and its mapping: the next use looks the name up afresh
    // (after the runtime directory was replaced, say).
    void ForgetBacking();
    // Size of the whole backing file, -1 when not open.
    int64_t BackingSize() const { return file_.Size(); }
    // Under the tree lock: leaves the view covering the whole current file,
    // at least min_size bytes (the file is grown to that with zero bytes).
    // The file is looked up by name again when it was removed or replaced
    // since the last use, and mapped afresh when another process grew it;
    // otherwise the mapping of the last use serves as it is. create: make
    // the file when there is none. False when there is no file (error left
    // empty) or it cannot be opened, grown or mapped (error says why).
    bool Prepare(bool create, uint64_t min_size, std::string* error = nullptr);
    // Maps size bytes (8192 when size <= 0), growing the file to that size.
    // True at once when already mapped.
    bool Open(int64_t size);
    void Close() { view_.Reset(); }
    bool IsOpen() const { return view_.valid(); }
    size_t mapped_size() const { return view_.size(); }
    char* view() const { return view_.data(); }
    // Bounded copies; false when the range is outside the view. A null source
    // writes zero bytes.
    bool Read(void* destination, size_t length, size_t offset) const;
    bool Write(const void* source, size_t length, size_t offset);

private:
    friend class OpenBlockCache;

    std::string name_;
    data_platform::NamedFile file_;
    data_platform::MappedRegion view_;
    OpenBlockCache* cache_;
    // Place in the cache's list, most recently used first.
    SharedBlock* newer_ = nullptr;
    SharedBlock* older_ = nullptr;
    bool listed_ = false;
};

// The blocks of one tree that hold an open file, most recently used first.
// Trim closes the least recently used beyond the limit; it runs only where
// no view is in use (after a pull, after a publication), so a publication
// writing more blocks than the limit still has all of them mapped at once.
// Used under the tree's lock only.
class OpenBlockCache {
public:
    explicit OpenBlockCache(size_t limit = kMaxOpenBlocks) : limit_(limit) {}
    ~OpenBlockCache();
    OpenBlockCache(const OpenBlockCache&) = delete;
    OpenBlockCache& operator=(const OpenBlockCache&) = delete;

    void Used(SharedBlock* block);
    void Left(SharedBlock* block);
    void Trim();
    size_t size() const { return count_; }
    size_t limit() const { return limit_; }
    // True once, the first time Trim had to close a block.
    bool TakeLimitNotice();

private:
    size_t limit_;
    size_t count_ = 0;
    SharedBlock* newest_ = nullptr;
    SharedBlock* oldest_ = nullptr;
    bool limit_hit_ = false;
    bool limit_noticed_ = false;
};

// An undo journal kept in the tree's lock file, covering every block that
// one publication overwrites. Before the first block is touched, the
// current content of all of them goes into the journal and a sequence word
// is raised; after the last one it is lowered. A holder killed in between
// leaves the word raised, and the next holder copies every saved content
// back, so readers see either all blocks of the last complete publication or
// all of the one before, never a mix and never a torn block.
class TreeJournal {
public:
    // A block about to be overwritten: its name and its current content
    // (length word and payload).
    struct Entry {
        const std::string* name;
        const char* current;
        size_t length;
    };

    // file is the lock file; the journal lives beside the lock in its bytes.
    explicit TreeJournal(data_platform::NamedFile* file) : file_(file) {}

    // Under the lock, before reading anything: undoes an unfinished
    // publication. file_size is the lock file's size when the caller has
    // just read it (-1: look it up). False when the journal cannot be read;
    // the tree must then not be used.
    bool RecoverAfterLock(int64_t file_size = -1);
    // Saves the current content of every entry and raises the word. False
    // when the journal cannot hold them all; nothing may be written then.
    bool Begin(const std::vector<Entry>& entries);
    void Commit();
    // Whether a publication was left unfinished (for tests).
    bool PendingForTesting();

private:
    bool MapAtLeast(size_t size);

    data_platform::NamedFile* file_;
    data_platform::MappedRegion map_;
    bool begun_ = false;
};

// Called by a publication at each of its steps, so that tests can kill a
// process there: point 0 once the journal holds the old content, then for
// block k (in publication order) 1 + 2k after its length word and 2 + 2k
// half-way through its payload, and 1 + 2n after all n blocks, just before
// the journal is lowered.
using PushInterruptHook = void (*)(int point);
// The point half-way through the middle block of a publication of n blocks.
constexpr int MiddleOfPublication(int blocks) { return 2 + 2 * ((blocks - 1) / 2); }
void SetPushInterruptForTesting(PushInterruptHook hook);
PushInterruptHook PushInterruptForTesting();

}  // namespace Application
