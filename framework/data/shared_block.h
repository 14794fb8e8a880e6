#pragma once

// The shared side of synchronised data-tree nodes: one named block per node
// and the tree's push journal. Used only under the tree lock.

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/data/data_platform.h"

namespace Application {

// "data" + kind word ("obj" or "arr") + "_fm_" + host pid + "_" + node id.
std::string BlockName(const char* kind_word, uint32_t host_pid, uint32_t node_id);

// A named block: [payload length L, 4 bytes][payload, L bytes], never
// shrunk, zero-filled when grown. Backed by POSIX shared memory under a
// per-user name instead of a file in the temporary directory, so nothing of
// it reaches the disk and other users cannot see it. The object stays open
// from the first Open until destruction; each Open/Close maps and unmaps.
class SharedBlock {
public:
    explicit SharedBlock(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    // Opens the named object (creating it when create is set) without
    // mapping it. False when it does not exist or cannot be opened.
    bool OpenBacking(bool create);
    // Size of the whole backing object, -1 when not open.
    int64_t BackingSize() const { return file_.Size(); }
    // Maps size bytes (8192 when size <= 0), growing the object to that size.
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
    std::string name_;
    data_platform::NamedFile file_;
    data_platform::MappedRegion view_;
};

// An undo journal kept in the tree's lock file. Before a push overwrites a
// block, the block's current content goes into the journal and a sequence
// word is raised; after the push it is lowered. A holder killed in between
// leaves the word raised, and the next holder copies the saved content back,
// so readers see the last complete push and never a torn one.
class TreeJournal {
public:
    // file is the lock file; the journal lives beside the lock in its bytes.
    explicit TreeJournal(data_platform::NamedFile* file) : file_(file) {}

    // Under the lock, before reading anything: undoes an unfinished push.
    // False when the journal cannot be read (the tree then stays local).
    bool RecoverAfterLock();
    // Saves length bytes of the block's current content. False when the
    // journal cannot hold them; the push then goes on unprotected.
    bool Begin(const std::string& block_name, const char* current, size_t length);
    void Commit();
    // Whether a push was left unfinished (for tests).
    bool PendingForTesting();

private:
    bool MapAtLeast(size_t size);

    data_platform::NamedFile* file_;
    data_platform::MappedRegion map_;
    bool begun_ = false;
};

// Called by a push after half of its payload is written; tests use it to
// kill a process in the middle of a push.
using PushInterruptHook = void (*)();
void SetPushInterruptForTesting(PushInterruptHook hook);
PushInterruptHook PushInterruptForTesting();

}  // namespace Application
