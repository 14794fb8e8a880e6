// Counting semaphores shared between processes of one user.
//
// A named semaphore is a small shared-memory object whose name carries the
// user id and whose mode is 0600; an object of that name owned by someone
// else or readable by others is refused. The count is a futex word, so a
// waiter sleeps in the kernel and the maximum is kept exactly. Each handle
// records its process in the object: the last handle to close removes the
// name, and an object whose holders have all died is started afresh, as the
// kernel does for a semaphore whose handles are all gone.

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "Tools/os.h"
#include "tools/monotonic_clock.h"
#include "tools/os_semaphore_p.h"
#include "tools/posix_fd.h"

namespace Tools {
namespace {

using detail::MonotonicMs;
using detail::RetryEintr;
using detail::UniqueFd;

constexpr uint32_t kMagic = 0x56534D31;  // "VSM1"
constexpr int kMaxHolders = 64;

struct SharedSemaphore {
    std::atomic<uint32_t> magic;
    std::atomic<int32_t> count;
    int32_t maximum;
    int32_t holder_count;  // guarded by flock on the object
    int32_t holders[kMaxHolders];
};
static_assert(std::atomic<int32_t>::is_always_lock_free, "the count is shared between processes");

int Futex(std::atomic<int32_t>* word, int operation, int32_t value, const timespec* timeout) {
    return static_cast<int>(
        ::syscall(SYS_futex, reinterpret_cast<int32_t*>(word), operation, value, timeout, nullptr, 0));
}

bool Alive(int32_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd) { locked_ = RetryEintr([&] { return ::flock(fd_, LOCK_EX); }) == 0; }
    ~FileLock() {
        if (locked_) ::flock(fd_, LOCK_UN);
    }
    bool locked() const { return locked_; }

private:
    int fd_;
    bool locked_ = false;
};

void Initialise(SharedSemaphore* shared, int initial, int maximum) {
    shared->count.store(initial);
    shared->maximum = maximum;
    shared->holder_count = 0;
    shared->magic.store(kMagic);
}

}  // namespace

struct os_sem {
    SharedSemaphore* shared = nullptr;
    UniqueFd fd;  // absent for a semaphore without a name
    std::string object_name;

    ~os_sem() {
        if (shared) ::munmap(shared, sizeof(SharedSemaphore));
    }
};

namespace detail {

std::string SemaphoreObjectName(const char* name) {
    std::string object = "/velmora-" + std::to_string(::geteuid()) + "-sem-";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        const unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
            c == '.') {
            object += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof(escaped), "%%%02X", c);
            object += escaped;
        }
    }
    return object;
}

}  // namespace detail

namespace {

os_sem_t OpenNamed(const char* name, bool create, int initial, int maximum) {
    const std::string object = detail::SemaphoreObjectName(name);
    if (object.size() > NAME_MAX) return nullptr;
    for (int attempt = 0; attempt < 8; ++attempt) {
        UniqueFd fd(::shm_open(object.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600));
        if (!fd) return nullptr;
        FileLock lock(fd.get());
        struct stat info{};
        if (!lock.locked() || ::fstat(fd.get(), &info) != 0) return nullptr;
        if (info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) return nullptr;
        if (info.st_nlink == 0) continue;  // removed by its last holder while we opened it
        if (static_cast<size_t>(info.st_size) < sizeof(SharedSemaphore)) {
            if (!create || ::ftruncate(fd.get(), sizeof(SharedSemaphore)) != 0) return nullptr;
        }
        void* mapping = ::mmap(nullptr, sizeof(SharedSemaphore), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (mapping == MAP_FAILED) return nullptr;
        auto* handle = new (std::nothrow) os_sem;
        if (!handle) {
            ::munmap(mapping, sizeof(SharedSemaphore));
            return nullptr;
        }
        handle->shared = static_cast<SharedSemaphore*>(mapping);
        SharedSemaphore* shared = handle->shared;

        bool ready = shared->magic.load() == kMagic;
        if (ready) {
            int32_t live = 0;
            for (int32_t i = 0; i < shared->holder_count && i < kMaxHolders; ++i)
                if (Alive(shared->holders[i])) shared->holders[live++] = shared->holders[i];
            shared->holder_count = live;
            ready = live > 0;  // every holder died: what is left is stale
        }
        if (!ready) {
            if (!create) {
                ::shm_unlink(object.c_str());
                delete handle;
                return nullptr;
            }
            Initialise(shared, initial, maximum);
        }
        if (shared->holder_count >= kMaxHolders) {
            delete handle;
            return nullptr;
        }
        shared->holders[shared->holder_count++] = static_cast<int32_t>(::getpid());
        handle->fd = std::move(fd);
        handle->object_name = object;
        return handle;
    }
    return nullptr;
}

}  // namespace

os_sem_t SemCreate(int initial_count, int maximum_count, const char* name) {
    if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) return nullptr;
    if (name && *name) return OpenNamed(name, true, initial_count, maximum_count);
    void* mapping =
        ::mmap(nullptr, sizeof(SharedSemaphore), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    auto* handle = new (std::nothrow) os_sem;
    if (!handle) {
        ::munmap(mapping, sizeof(SharedSemaphore));
        return nullptr;
    }
    handle->shared = static_cast<SharedSemaphore*>(mapping);
    Initialise(handle->shared, initial_count, maximum_count);
    return handle;
}

os_sem_t SemOpen(const char* name) {
    if (!name || !*name) return nullptr;
    return OpenNamed(name, false, 0, 0);
}

bool SemWait(os_sem_t semaphore, int milliseconds) {
    if (!semaphore) return false;
    std::atomic<int32_t>& count = semaphore->shared->count;
    const bool forever = milliseconds < 0;
    const int64_t deadline = forever ? 0 : MonotonicMs() + milliseconds;
    for (;;) {
        int32_t current = count.load();
        while (current > 0)
            if (count.compare_exchange_weak(current, current - 1)) return true;
        timespec timeout{};
        if (!forever) {
            const int64_t remaining = deadline - MonotonicMs();
            if (remaining <= 0) return false;
            timeout.tv_sec = static_cast<time_t>(remaining / 1000);
            timeout.tv_nsec = static_cast<long>(remaining % 1000) * 1000000;
        }
        // Sleeps only while the count is still the value seen above.
        Futex(&count, FUTEX_WAIT, current, forever ? nullptr : &timeout);
    }
}

void SemRelease(os_sem_t semaphore, int count) {
    if (!semaphore || count <= 0) return;
    SharedSemaphore* shared = semaphore->shared;
    int32_t current = shared->count.load();
    do {
        // Like the system call it stands for: beyond the maximum nothing is released.
        if (current > shared->maximum - count) return;
    } while (!shared->count.compare_exchange_weak(current, current + count));
    Futex(&shared->count, FUTEX_WAKE, count, nullptr);
}

void SemClose(os_sem_t semaphore, const char* /*name*/) {
    if (!semaphore) return;
    if (semaphore->fd) {
        FileLock lock(semaphore->fd.get());
        SharedSemaphore* shared = semaphore->shared;
        const int32_t self = static_cast<int32_t>(::getpid());
        for (int32_t i = 0; i < shared->holder_count && i < kMaxHolders; ++i) {
            if (shared->holders[i] == self) {
                shared->holders[i] = shared->holders[--shared->holder_count];
                break;
            }
        }
        struct stat info{};
        if (lock.locked() && shared->holder_count == 0 && ::fstat(semaphore->fd.get(), &info) == 0 &&
            info.st_nlink > 0)
            ::shm_unlink(semaphore->object_name.c_str());
    }
    delete semaphore;
}

}  // namespace Tools
