#pragma once

// What the data tree needs of the operating system: files private to the
// user that are mapped as shared memory, a cross-process lock that the
// kernel releases when its holder dies, and a few process and file helpers.
// The POSIX implementation lives in data_platform_posix.cpp.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/posix_fd.h"

namespace Application::data_platform {

// A read-write shared view; unmapped when destroyed.
class MappedRegion {
public:
    MappedRegion() = default;
    MappedRegion(void* address, size_t size) : address_(address), size_(size) {}
    MappedRegion(MappedRegion&& other) noexcept;
    MappedRegion& operator=(MappedRegion&& other) noexcept;
    MappedRegion(const MappedRegion&) = delete;
    MappedRegion& operator=(const MappedRegion&) = delete;
    ~MappedRegion() { Reset(); }

    char* data() const { return static_cast<char*>(address_); }
    size_t size() const { return size_; }
    bool valid() const { return address_ != nullptr; }
    void Reset();

private:
    void* address_ = nullptr;
    size_t size_ = 0;
};

// A file in the user's private runtime directory that can be grown, mapped
// and locked. Another user can neither open nor pre-create it: the directory
// is closed to everyone else, and a file owned by someone else or open to
// others is refused all the same.
class NamedFile {
public:
    // RuntimeDir() + "/" + name, mode 0600. create=false opens only an
    // existing file. error, when given, receives why it failed.
    static NamedFile OpenRuntimeFile(const std::string& name, bool create = true, std::string* error = nullptr);
    // The same for a full path inside the runtime directory.
    static NamedFile OpenPath(const std::string& path, bool create, std::string* error = nullptr);

    NamedFile() = default;
    NamedFile(NamedFile&&) noexcept = default;
    NamedFile& operator=(NamedFile&&) noexcept = default;
    NamedFile(const NamedFile&) = delete;
    NamedFile& operator=(const NamedFile&) = delete;

    bool valid() const { return fd_.valid(); }
    void Close() { fd_.reset(); }
    // Current size in bytes, -1 on failure.
    int64_t Size() const;
    // Size (-1 on failure) and whether any name still leads to the file: a
    // file that was removed, or replaced by another under its name, has
    // none left. One system call, cheap enough for every visit.
    struct Status {
        int64_t size = -1;
        bool linked = false;
    };
    Status GetStatus() const;
    // Grows with zero bytes to at least size; never shrinks.
    bool EnsureSize(uint64_t size);
    // Maps the first size bytes read-write and shared; invalid on failure.
    MappedRegion Map(size_t size) const;
    // Exclusive lock on the open file description: it blocks other
    // descriptions (in this or any process) and the kernel drops it when the
    // holder's last descriptor goes away, a SIGKILL included.
    bool LockExclusive();
    bool TryLockExclusive();
    void Unlock();

private:
    explicit NamedFile(Tools::detail::UniqueFd fd) : fd_(std::move(fd)) {}
    Tools::detail::UniqueFd fd_;
};

// The user's private runtime directory (one rule for the whole program, see
// tools/os_runtime_dir_p.h): $XDG_RUNTIME_DIR/velmora, else
// $TMPDIR/velmora-<uid>. Empty when neither can be had; problem, when given,
// then says why, naming the place. create=false only looks for an existing
// directory.
std::string RuntimeDir(bool create = true, std::string* problem = nullptr);

bool RemoveRuntimeFile(const std::string& name);
// Names of the entries of an existing RuntimeDir().
std::vector<std::string> ListRuntimeFiles();

uint32_t CurrentProcessId();
bool ProcessAlive(uint32_t pid);

bool ReadWholeFile(const char* path, std::string* bytes);
// Writes a temporary file beside path and renames it over path, so a crash
// leaves either the old or the new file complete.
bool WriteWholeFile(const char* path, const char* bytes, size_t length);

}  // namespace Application::data_platform
