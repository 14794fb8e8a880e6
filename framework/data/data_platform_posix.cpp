#include "framework/data/data_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "tools/monotonic_clock.h"
#include "tools/os_runtime_dir_p.h"

namespace Application::data_platform {
namespace {

using Tools::detail::RetryEintr;
using Tools::detail::UniqueFd;

UniqueFd Open(const std::string& path, int flags, mode_t mode) {
    return UniqueFd(RetryEintr([&] { return ::open(path.c_str(), flags, mode); }));
}

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// Refuses files owned by another user or open to others: someone could
// have planted them to read or block our data.
bool OwnedPrivately(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

bool LockRequest(int fd, short type, bool wait) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;
    return RetryEintr([&] { return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request); }) == 0;
}

using DirStream = std::unique_ptr<DIR, int (*)(DIR*)>;

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

NamedFile NamedFile::OpenPath(const std::string& path, bool create, std::string* error) {
    UniqueFd fd = Open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
    if (!fd) {
        SetError(error, "cannot open " + path + ": " + std::strerror(errno));
        return NamedFile();
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !OwnedPrivately(st)) {
        SetError(error, path + " is not a private file of ours");
        return NamedFile();
    }
    return NamedFile(std::move(fd));
}

NamedFile NamedFile::OpenRuntimeFile(const std::string& name, bool create, std::string* error) {
    std::string problem;
    const std::string dir = RuntimeDir(create, &problem);
    if (dir.empty()) {
        SetError(error, problem.empty() ? "no private runtime directory yet" : problem);
        return NamedFile();
    }
    return OpenPath(dir + "/" + name, create, error);
}

int64_t NamedFile::Size() const {
    struct stat st {};
    if (!fd_ || fstat(fd_.get(), &st) != 0) return -1;
    return st.st_size;
}

NamedFile::Status NamedFile::GetStatus() const {
    struct stat st {};
    if (!fd_ || fstat(fd_.get(), &st) != 0) return {};
    return {st.st_size, st.st_nlink > 0};
}

bool NamedFile::EnsureSize(uint64_t size) {
    const int64_t current = Size();
    if (current < 0) return false;
    if (static_cast<uint64_t>(current) >= size) return true;
    return RetryEintr([&] { return ftruncate(fd_.get(), static_cast<off_t>(size)); }) == 0;
}

MappedRegion NamedFile::Map(size_t size) const {
    if (!fd_ || size == 0) return MappedRegion();
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
    if (address == MAP_FAILED) return MappedRegion();
    return MappedRegion(address, size);
}

bool NamedFile::LockExclusive() { return fd_ && LockRequest(fd_.get(), F_WRLCK, true); }
bool NamedFile::TryLockExclusive() { return fd_ && LockRequest(fd_.get(), F_WRLCK, false); }
void NamedFile::Unlock() {
    if (fd_) LockRequest(fd_.get(), F_UNLCK, false);
}

std::string RuntimeDir(bool create, std::string* problem) {
    Tools::detail::RuntimeDirResult found = Tools::detail::FindRuntimeDir(create);
    if (problem) *problem = std::move(found.problem);
    return found.path;
}

bool RemoveRuntimeFile(const std::string& name) {
    const std::string dir = RuntimeDir(false);
    if (dir.empty()) return false;
    return unlink((dir + "/" + name).c_str()) == 0;
}

std::vector<std::string> ListRuntimeFiles() {
    std::vector<std::string> names;
    const std::string dir = RuntimeDir(false);
    if (dir.empty()) return names;
    DirStream stream(opendir(dir.c_str()), &closedir);
    if (!stream) return names;
    while (dirent* entry = readdir(stream.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    return names;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

bool ProcessAlive(uint32_t pid) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool ReadWholeFile(const char* path, std::string* bytes) {
    if (!path) return false;
    UniqueFd fd = Open(path, O_RDONLY | O_CLOEXEC, 0);
    if (!fd) return false;
    std::string result;
    char buffer[65536];
    for (;;) {
        const ssize_t n = RetryEintr([&] { return read(fd.get(), buffer, sizeof buffer); });
        if (n < 0) return false;
        if (n == 0) break;
        result.append(buffer, static_cast<size_t>(n));
    }
    *bytes = std::move(result);
    return true;
}

bool WriteWholeFile(const char* path, const char* bytes, size_t length) {
    if (!path || !path[0]) return false;
    // A name of our own, made exclusively: two writers never share a
    // temporary file, and a link planted under the name is not followed.
    static std::atomic<uint32_t> counter{0};
    std::string temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        temporary = std::string(path) + ".tmp" + std::to_string(getpid()) + "-" +
                    std::to_string(counter.fetch_add(1)) + "-" + std::to_string(Tools::detail::MonotonicUs() % 1000000);
        fd = Open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (!fd && errno != EEXIST) return false;
    }
    if (!fd) return false;
    bool ok = true;
    size_t written = 0;
    while (ok && written < length) {
        const ssize_t n = RetryEintr([&] { return write(fd.get(), bytes + written, length - written); });
        if (n <= 0) ok = false;
        else written += static_cast<size_t>(n);
    }
    if (ok && fsync(fd.get()) != 0) ok = false;
    if (fd.close() != 0) ok = false;
    if (ok && rename(temporary.c_str(), path) != 0) ok = false;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    if (UniqueFd dir_fd = Open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0)) fsync(dir_fd.get());
    return true;
}

}  // namespace Application::data_platform
