#include "framework/data/data_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Application::data_platform {
namespace {

// Linux exposes shm_open objects as files here; listing it is the only way
// to find the blocks of a host that was killed.
constexpr const char* kShmDir = "/dev/shm";

// Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on
// "literal" + std::string temporaries.
std::string SharedMemoryPrefix() {
    std::string prefix = "velmora-";
    prefix += std::to_string(geteuid());
    prefix += '-';
    return prefix;
}

std::string SystemName(const std::string& name) {
    std::string system_name = "/";
    system_name += SharedMemoryPrefix();
    system_name += name;
    return system_name;
}

int RetryOpen(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Refuses objects owned by another user or readable by others: someone
// could have planted them to read or block our data.
bool OwnedPrivately(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    return st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

bool PrivateDirectory(const std::string& path, bool create) {
    if (create && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

bool LockRequest(int fd, short type, bool wait) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;
    int rc;
    do {
        rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
    if (this != &other) {
        Reset();
        address_ = std::exchange(other.address_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void MappedRegion::Reset() {
    if (address_) munmap(address_, size_);
    address_ = nullptr;
    size_ = 0;
}

NamedFile NamedFile::OpenSharedMemory(const std::string& name, bool create) {
    const std::string system_name = SystemName(name);
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    int fd;
    do {
        fd = shm_open(system_name.c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return NamedFile();
    NamedFile file(fd);
    if (!OwnedPrivately(fd)) return NamedFile();
    return file;
}

NamedFile NamedFile::OpenRuntimeFile(const std::string& name) {
    const std::string dir = RuntimeDir();
    if (dir.empty()) return NamedFile();
    const std::string path = dir + "/" + name;
    int fd = RetryOpen(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return NamedFile();
    NamedFile file(fd);
    if (!OwnedPrivately(fd)) return NamedFile();
    return file;
}

NamedFile::NamedFile(NamedFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

NamedFile& NamedFile::operator=(NamedFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void NamedFile::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

int64_t NamedFile::Size() const {
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

bool NamedFile::EnsureSize(uint64_t size) {
    const int64_t current = Size();
    if (current < 0) return false;
    if (static_cast<uint64_t>(current) >= size) return true;
    int rc;
    do {
        rc = ftruncate(fd_, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

MappedRegion NamedFile::Map(size_t size) const {
    if (fd_ < 0 || size == 0) return MappedRegion();
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (address == MAP_FAILED) return MappedRegion();
    return MappedRegion(address, size);
}

bool NamedFile::LockExclusive() { return fd_ >= 0 && LockRequest(fd_, F_WRLCK, true); }
bool NamedFile::TryLockExclusive() { return fd_ >= 0 && LockRequest(fd_, F_WRLCK, false); }
void NamedFile::Unlock() {
    if (fd_ >= 0) LockRequest(fd_, F_UNLCK, false);
}

std::string RuntimeDir(bool create) {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/') {
        struct stat st {};
        // The session's runtime directory must itself be ours.
        if (stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
            std::string path = std::string(xdg) + "/velmora";
            if (PrivateDirectory(path, create)) return path;
            struct stat existing {};
            // Missing and not to be created: there is nothing of ours yet.
            if (lstat(path.c_str(), &existing) != 0) return std::string();
        }
    }
    std::string fallback = "/tmp/velmora-";
    fallback += std::to_string(geteuid());
    if (PrivateDirectory(fallback, create)) return fallback;
    return std::string();
}

bool RemoveSharedMemory(const std::string& name) { return shm_unlink(SystemName(name).c_str()) == 0; }

bool RemoveRuntimeFile(const std::string& name) {
    const std::string dir = RuntimeDir(false);
    if (dir.empty()) return false;
    return unlink((dir + "/" + name).c_str()) == 0;
}

namespace {

std::vector<std::string> ListDirectory(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* stream = opendir(dir.c_str());
    if (!stream) return names;
    while (dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        names.push_back(name.substr(prefix.size()));
    }
    closedir(stream);
    return names;
}

}  // namespace

std::vector<std::string> ListSharedMemory() { return ListDirectory(kShmDir, SharedMemoryPrefix()); }

std::vector<std::string> ListRuntimeFiles() {
    const std::string dir = RuntimeDir(false);
    if (dir.empty()) return {};
    return ListDirectory(dir, "");
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

bool ProcessAlive(uint32_t pid) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool ReadWholeFile(const char* path, std::string* bytes) {
    if (!path) return false;
    int fd = RetryOpen(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    std::string result;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        result.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (ok) *bytes = std::move(result);
    return ok;
}

bool WriteWholeFile(const char* path, const char* bytes, size_t length) {
    if (!path || !path[0]) return false;
    const std::string temporary = std::string(path) + ".tmp" + std::to_string(getpid());
    int fd = RetryOpen(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    size_t written = 0;
    while (ok && written < length) {
        ssize_t n = write(fd, bytes + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else written += static_cast<size_t>(n);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(temporary.c_str(), path) != 0) ok = false;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int dir_fd = RetryOpen(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return true;
}

}  // namespace Application::data_platform
