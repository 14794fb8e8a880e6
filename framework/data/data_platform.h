#pragma once

// What the data tree needs of the operating system: named shared memory and
// files private to the user, a cross-process lock that the kernel releases
// when its holder dies, and a few process and file helpers. The POSIX
// implementation lives in data_platform_posix.cpp.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A named object that can be grown, mapped and locked: either shared memory
// or a file in the user's private runtime directory. Another user can
// neither open nor pre-create it (objects owned by someone else are refused).
class NamedFile {
public:
    // Shared memory named "velmora-<uid>-" + name. create=false opens only an
    // existing object.
    static NamedFile OpenSharedMemory(const std::string& name, bool create);
    // RuntimeDir() + "/" + name, mode 0600.
    static NamedFile OpenRuntimeFile(const std::string& name);

    NamedFile() = default;
    NamedFile(NamedFile&& other) noexcept;
    NamedFile& operator=(NamedFile&& other) noexcept;
    NamedFile(const NamedFile&) = delete;
    NamedFile& operator=(const NamedFile&) = delete;
    ~NamedFile() { Close(); }

    bool valid() const { return fd_ >= 0; }
    void Close();
    // Current size in bytes, -1 on failure.
    int64_t Size() const;
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
    explicit NamedFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// $XDG_RUNTIME_DIR/velmora (created 0700), or when that is unusable a
// directory /tmp/velmora-<uid> owned by the user with no access for others.
// Empty when neither can be had (for instance /tmp/velmora-<uid> belongs to
// someone else). create=false only looks for an existing directory.
std::string RuntimeDir(bool create = true);

bool RemoveSharedMemory(const std::string& name);
bool RemoveRuntimeFile(const std::string& name);
// Names (without the per-user prefix) of this user's shared-memory objects.
std::vector<std::string> ListSharedMemory();
// Names of the entries of an existing RuntimeDir().
std::vector<std::string> ListRuntimeFiles();

uint32_t CurrentProcessId();
bool ProcessAlive(uint32_t pid);

bool ReadWholeFile(const char* path, std::string* bytes);
// Writes a temporary file beside path and renames it over path, so a crash
// leaves either the old or the new file complete.
bool WriteWholeFile(const char* path, const char* bytes, size_t length);

}  // namespace Application::data_platform
