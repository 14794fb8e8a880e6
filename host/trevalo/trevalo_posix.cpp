#include "host/trevalo/trevalo.h"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/trevalo/signal_safe_text.h"
#include "tools/monotonic_clock.h"
#include "tools/posix_fd.h"

namespace {

using Tools::detail::MonotonicMs;
using Tools::detail::RetryEintr;
using Tools::detail::UniqueFd;
using trevalo::FixedText;
using trevalo::WriteAll;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kFatalSignalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];

// How long the faulting thread waits for the callback.
constexpr int kCallbackWaitMs = 3000;
// The watcher kills the process when the dump is not written within this time
// (a handler stuck on a lock the fault left held).
constexpr int kDumpBudgetMs = 10000;
// A thread that faults while another one is handling waits at most this long.
constexpr int kParkLimitMs = kDumpBudgetMs + kCallbackWaitMs + 2000;

constexpr size_t kMaxPath = 4096;
constexpr size_t kMaxAppName = 64;
constexpr size_t kAltStackSize = 256 * 1024;
constexpr int kMaxBacktraceFrames = 128;

// Bytes on the wake pipe, from the handler (or the destructor) to the watcher.
constexpr char kCrashStarted = 'S';
constexpr char kDumpReady = 'D';
constexpr char kQuit = 'Q';
// Byte on the done pipe, from the watcher to the handler.
constexpr char kCallbackDone = 'C';

// What the handler needs to name and write a dump. Immutable once published;
// never freed while the handlers are installed.
struct DumpSettings {
    char app_name[kMaxAppName + 1] = {};
    char prefix[kMaxPath] = {};  // "<crash directory>/<app name>-"; empty: no dump file
    Trevalo::DumpCallback callback = nullptr;
    void* context = nullptr;
};

static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                  std::atomic<const DumpSettings*>::is_always_lock_free,
              "the signal handler relies on lock-free atomics");

// State shared with the signal handler: lock-free atomics, and one buffer
// written by the handler before it wakes the watcher through the pipe.
std::atomic<bool> g_armed{false};
std::atomic<const DumpSettings*> g_settings{nullptr};
std::atomic<int> g_wake_fd{-1};
std::atomic<int> g_done_fd{-1};
std::atomic<int> g_done_write_fd{-1};
std::atomic<pid_t> g_owner_pid{0};
std::atomic<pid_t> g_watcher_tid{0};
std::atomic<pid_t> g_handling_tid{0};
std::atomic<int> g_crash_signal{0};
std::atomic<Trevalo::LogFlushHook> g_log_flush_hook{nullptr};
char g_dump_path[kMaxPath];

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool WriteByte(int fd, char byte) { return fd >= 0 && WriteAll(fd, &byte, 1); }

// One byte from fd within timeout_ms (negative: no limit); false on time-out,
// end of file or error. Signal-safe.
bool ReadByteWithin(int fd, char* byte, int timeout_ms) {
    const int64_t deadline = timeout_ms < 0 ? 0 : MonotonicMs() + timeout_ms;
    for (;;) {
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const int64_t left = deadline - MonotonicMs();
            wait_ms = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd entry = {fd, POLLIN, 0};
        const int ready = poll(&entry, 1, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready == 0) return false;
        const ssize_t got = read(fd, byte, 1);
        if (got == 1) return true;
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return false;
    }
}

// Restores the default action and re-raises, so the process ends the way it
// would have without us (exit status, core dump).
[[noreturn]] void DieBySignal(int signal_number) {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);
    // Inside the handler the signal is blocked: it is delivered right here.
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    _exit(128 + signal_number);
}

// Waits for the handling thread to finish and end the process; dies by its
// own signal when that takes too long.
[[noreturn]] void ParkThenDie(int signal_number) {
    const int64_t deadline = MonotonicMs() + kParkLimitMs;
    while (MonotonicMs() < deadline) {
        timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    DieBySignal(signal_number);
}

void AppendThreadName(FixedText& line) {
    // UniqueFd only closes, which is async-signal-safe.
    const UniqueFd fd(RetryEintr([] { return open("/proc/thread-self/comm", O_RDONLY | O_CLOEXEC); }));
    if (!fd) return;
    char name[32];
    const ssize_t got = RetryEintr([&] { return read(fd.get(), name, sizeof name - 1); });
    if (got <= 0) return;
    size_t length = static_cast<size_t>(got);
    while (length > 0 && (name[length - 1] == '\n' || name[length - 1] == '\0')) --length;
    line.Append(" ").Append(name, length);
}

void CopyFile(const char* source, int destination) {
    const UniqueFd fd(RetryEintr([&] { return open(source, O_RDONLY | O_CLOEXEC); }));
    if (!fd) return;
    char chunk[4096];
    for (;;) {
        const ssize_t got = RetryEintr([&] { return read(fd.get(), chunk, sizeof chunk); });
        if (got <= 0) break;
        if (!WriteAll(destination, chunk, static_cast<size_t>(got))) break;
    }
}

// Creates a new dump file named prefix + UTC time + pid; the path lands in path.
UniqueFd CreateDumpFile(const DumpSettings& settings, FixedText& path) {
    if (settings.prefix[0] == '\0') return UniqueFd();
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    const trevalo::CivilTime time = trevalo::CivilTimeFromUnixSeconds(now.tv_sec);
    for (int attempt = 1; attempt <= 50; ++attempt) {
        path.Clear();
        path.Append(settings.prefix)
            .AppendPadded(static_cast<uint64_t>(time.year), 4)
            .AppendPadded(static_cast<uint64_t>(time.month), 2)
            .AppendPadded(static_cast<uint64_t>(time.day), 2)
            .Append("-")
            .AppendPadded(static_cast<uint64_t>(time.hour), 2)
            .AppendPadded(static_cast<uint64_t>(time.minute), 2)
            .AppendPadded(static_cast<uint64_t>(time.second), 2)
            .Append("-")
            .AppendDecimal(getpid());
        if (attempt > 1) path.Append("-").AppendDecimal(attempt);
        path.Append(".dmp");
        if (path.truncated()) return UniqueFd();
        UniqueFd fd(RetryEintr(
            [&] { return open(path.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600); }));
        if (fd || errno != EEXIST) return fd;
    }
    return UniqueFd();
}

// Writes the dump; returns true and leaves its path in g_dump_path on success.
bool WriteDump(const DumpSettings& settings, int signal_number, const siginfo_t* info, pid_t thread_id) {
    FixedText path(g_dump_path, sizeof g_dump_path);
    const UniqueFd dump = CreateDumpFile(settings, path);
    const int fd = dump.get();
    if (!dump) {
        g_dump_path[0] = '\0';
        return false;
    }

    char buffer[1024];
    FixedText line(buffer, sizeof buffer);
    line.Append(settings.app_name).Append(" crash dump\n");
    line.Append("signal: ").AppendDecimal(signal_number).Append(" ").Append(trevalo::FatalSignalName(signal_number));
    line.Append("\ncode: ").AppendDecimal(info ? info->si_code : 0);
    if (const char* code_name = info ? trevalo::SignalCodeName(signal_number, info->si_code) : nullptr) {
        line.Append(" ").Append(code_name);
    }
    // Only signals raised by the kernel for a fault carry an address; the
    // others carry the sender instead.
    if (info && info->si_code > 0) {
        line.Append("\nfault address: ").AppendHex(reinterpret_cast<uintptr_t>(info->si_addr));
    } else {
        line.Append("\nfault address: none");
        if (info) line.Append("\nsent by process: ").AppendDecimal(info->si_pid);
    }
    line.Append("\nthread: ").AppendDecimal(thread_id);
    AppendThreadName(line);
    line.Append("\nprocess: ").AppendDecimal(getpid());
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    const trevalo::CivilTime time = trevalo::CivilTimeFromUnixSeconds(now.tv_sec);
    line.Append("\ntime: ")
        .AppendDecimal(time.year)
        .Append("-")
        .AppendPadded(static_cast<uint64_t>(time.month), 2)
        .Append("-")
        .AppendPadded(static_cast<uint64_t>(time.day), 2)
        .Append(" ")
        .AppendPadded(static_cast<uint64_t>(time.hour), 2)
        .Append(":")
        .AppendPadded(static_cast<uint64_t>(time.minute), 2)
        .Append(":")
        .AppendPadded(static_cast<uint64_t>(time.second), 2)
        .Append(" UTC\nbacktrace:\n");
    WriteAll(fd, line.data(), line.size());

    // backtrace was called once at set-up, so the unwinder is loaded and this
    // does not allocate.
    void* frames[kMaxBacktraceFrames];
    const int frame_count = backtrace(frames, kMaxBacktraceFrames);
    backtrace_symbols_fd(frames, frame_count, fd);

    static const char kModules[] = "modules:\n";
    WriteAll(fd, kModules, sizeof kModules - 1);
    CopyFile("/proc/self/maps", fd);
    static const char kEnd[] = "end of dump\n";
    WriteAll(fd, kEnd, sizeof kEnd - 1);
    return true;
}

void AnnounceOnStderr(const DumpSettings& settings, int signal_number, bool written) {
    char buffer[kMaxPath + 256];
    FixedText line(buffer, sizeof buffer);
    line.Append(settings.app_name)
        .Append(": fatal signal ")
        .AppendDecimal(signal_number)
        .Append(" (")
        .Append(trevalo::FatalSignalName(signal_number))
        .Append(")");
    if (written) {
        line.Append("; crash dump: ").Append(g_dump_path);
    } else {
        line.Append("; no crash dump could be written");
    }
    line.Append("\n");
    WriteAll(STDERR_FILENO, line.data(), line.size());
}

void OnFatalSignal(int signal_number, siginfo_t* info, void*) {
    const pid_t thread_id = CurrentThreadId();
    const DumpSettings* settings = g_settings.load(std::memory_order_acquire);
    if (!g_armed.load(std::memory_order_acquire) || !settings) DieBySignal(signal_number);

    pid_t handling = 0;
    if (!g_handling_tid.compare_exchange_strong(handling, thread_id)) {
        // A fault inside the handler itself cannot be handled again.
        if (handling == thread_id) DieBySignal(signal_number);
        // The callback faulted: release the handler, which ends the process
        // by the original signal.
        if (thread_id == g_watcher_tid.load()) WriteByte(g_done_write_fd.load(), kCallbackDone);
        // Only the first fault is reported; the process ends with it.
        ParkThenDie(signal_number);
    }
    g_crash_signal.store(signal_number);

    // After a fork the pipes still lead to the parent's watcher: no callback.
    const bool use_watcher = getpid() == g_owner_pid.load() && g_wake_fd.load() >= 0 &&
                             thread_id != g_watcher_tid.load();
    if (use_watcher) WriteByte(g_wake_fd.load(), kCrashStarted);

    const bool written = WriteDump(*settings, signal_number, info, thread_id);
    AnnounceOnStderr(*settings, signal_number, written);

    if (use_watcher && WriteByte(g_wake_fd.load(), kDumpReady)) {
        char byte;
        ReadByteWithin(g_done_fd.load(), &byte, kCallbackWaitMs);
    }
    DieBySignal(signal_number);
}

std::wstring Utf8ToWide(const char* text) {
    std::wstring wide;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (bytes[i] != 0) {
        const unsigned char lead = bytes[i];
        int extra;
        char32_t code;
        if (lead < 0x80) {
            extra = 0;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            wide.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        int taken = 0;
        while (taken < extra && (bytes[i + 1 + taken] & 0xC0) == 0x80) {
            code = (code << 6) | (bytes[i + 1 + taken] & 0x3F);
            ++taken;
        }
        static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (taken < extra || code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            wide.push_back(L'\uFFFD');
            i += 1 + static_cast<size_t>(taken);
            continue;
        }
        wide.push_back(static_cast<wchar_t>(code));
        i += 1 + static_cast<size_t>(extra);
    }
    return wide;
}

// Runs the callbacks, which may lock and allocate, outside the handler.
void WatcherMain(int wake_fd, int done_fd) {
    g_watcher_tid.store(CurrentThreadId());
    for (;;) {
        char byte;
        if (!ReadByteWithin(wake_fd, &byte, -1) || byte == kQuit) return;
        if (byte == kCrashStarted) {
            // The dump is being written meanwhile; the log gets its share of
            // the budget first, while the rest of the process still runs.
            const int64_t started = MonotonicMs();
            if (Trevalo::LogFlushHook hook = g_log_flush_hook.load()) hook(Trevalo::kLogFlushBudgetMs);
            const int64_t left = kDumpBudgetMs - (MonotonicMs() - started);
            if (!ReadByteWithin(wake_fd, &byte, left > 0 ? static_cast<int>(left) : 0))
                DieBySignal(g_crash_signal.load());
        }
        if (byte != kDumpReady) continue;
        const DumpSettings* settings = g_settings.load(std::memory_order_acquire);
        if (settings && settings->callback && g_dump_path[0] != '\0') {
            const std::wstring path = Utf8ToWide(g_dump_path);
            settings->callback(path.c_str(), settings->context);
        }
        WriteByte(done_fd, kCallbackDone);
    }
}

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    std::vector<char> buffer(16384);
    passwd entry = {};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return std::string();
}

std::string CrashDirectory() {
    std::string root;
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home && data_home[0] == '/') {
        root = data_home;
    } else {
        const std::string home = HomeDirectory();
        if (home.empty()) return std::string();
        root = home + "/.local/share";
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root + "/VelmoraData/crashes";
}

// mkdir -p; the last level is private to the user, since dumps show the
// process's memory layout. One of ours that an older version left wider is
// narrowed; one that belongs to someone else is not used.
bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const bool last = slash == std::string::npos;
        const std::string part = last ? path : path.substr(0, slash);
        if (mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST) return false;
        if (last) break;
    }
    struct stat info = {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return false;
    return (info.st_mode & 077) == 0 || chmod(path.c_str(), 0700) == 0;
}

std::string ExecutableName() {
    char buffer[kMaxPath];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return std::string();
    const std::string path(buffer, static_cast<size_t>(length));
    return path.substr(path.rfind('/') + 1);
}

// Keeps a name safe as part of a file name.
std::string FileNamePart(const char* name) {
    std::string part;
    for (const char* c = name ? name : ""; *c != '\0' && part.size() < kMaxAppName; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                           *c == '.' || *c == '_' || *c == '-';
        part.push_back(plain ? *c : '_');
    }
    if (part.empty() || part[0] == '.') part.insert(part.begin(), 'x');
    if (part.size() > kMaxAppName) part.resize(kMaxAppName);
    return part;
}

// The alternate signal stack of the thread that installed it, with a guard
// page below so that an overflow inside the handler faults instead of
// corrupting memory.
class AltStack {
public:
    AltStack() = default;
    AltStack(const AltStack&) = delete;
    AltStack& operator=(const AltStack&) = delete;

    ~AltStack() {
        if (!mapping_) return;
        // Another thread's stack cannot be taken back: it may still run on it.
        if (CurrentThreadId() != thread_) return;
        stack_t current = {};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack_base()) {
            if (previous_.ss_flags & SS_DISABLE) {
                stack_t disable = {};
                disable.ss_flags = SS_DISABLE;
                sigaltstack(&disable, nullptr);
            } else {
                previous_.ss_flags = 0;
                sigaltstack(&previous_, nullptr);
            }
        }
        munmap(mapping_, mapping_size_);
    }

    bool Install() {
        const long page_size = sysconf(_SC_PAGESIZE);
        const size_t page = page_size > 0 ? static_cast<size_t>(page_size) : 4096;
        size_t stack_size = kAltStackSize;
        const long minimum = sysconf(_SC_MINSIGSTKSZ);
        if (minimum > 0 && static_cast<size_t>(minimum) * 4 > stack_size) stack_size = static_cast<size_t>(minimum) * 4;
        stack_size = (stack_size + page - 1) / page * page;
        void* mapping = mmap(nullptr, stack_size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) return false;
        mprotect(mapping, page, PROT_NONE);
        mapping_ = mapping;
        mapping_size_ = stack_size + page;
        guard_size_ = page;
        stack_t stack = {};
        stack.ss_sp = stack_base();
        stack.ss_size = stack_size;
        if (sigaltstack(&stack, &previous_) != 0) {
            munmap(mapping_, mapping_size_);
            mapping_ = nullptr;
            return false;
        }
        thread_ = CurrentThreadId();
        return true;
    }

private:
    void* stack_base() const { return static_cast<char*>(mapping_) + guard_size_; }

    void* mapping_ = nullptr;
    size_t mapping_size_ = 0;
    size_t guard_size_ = 0;
    pid_t thread_ = 0;
    stack_t previous_ = {};
};

}  // namespace

class Trevalo::Impl {
public:
    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    ~Impl() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!set_up_) return;
        g_armed.store(false);
        for (int i = 0; i < kFatalSignalCount; ++i) sigaction(kFatalSignals[i], &previous_[i], nullptr);
        if (watcher_.joinable()) {
            WriteByte(wake_write_.get(), kQuit);
            watcher_.join();
        }
        g_wake_fd.store(-1);
        g_done_fd.store(-1);
        g_done_write_fd.store(-1);
        g_settings.store(nullptr);
    }

    void Setup() {
        std::lock_guard<std::mutex> lock(mutex_);
        SetupLocked();
    }

    void Register(const char* app_name, DumpCallback callback, void* context) {
        std::lock_guard<std::mutex> lock(mutex_);
        SetupLocked();
        Publish(app_name, callback, context);
    }

private:
    void SetupLocked() {
        if (set_up_) return;
        set_up_ = true;
        directory_ = CrashDirectory();
        if (!directory_.empty() && !MakeDirectories(directory_)) directory_.clear();
        Publish(ExecutableName().c_str(), nullptr, nullptr);
        StartWatcher();

        // The first backtrace loads the unwinder (and allocates): do it here,
        // not in the handler.
        void* frames[4];
        backtrace(frames, 4);

        alt_stack_.Install();
        g_owner_pid.store(getpid());
        g_armed.store(true, std::memory_order_release);

        struct sigaction action = {};
        action.sa_sigaction = OnFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int signal_number : kFatalSignals) sigaddset(&action.sa_mask, signal_number);
        for (int i = 0; i < kFatalSignalCount; ++i) sigaction(kFatalSignals[i], &action, &previous_[i]);
    }

    void Publish(const char* app_name, DumpCallback callback, void* context) {
        auto settings = std::make_unique<DumpSettings>();
        const std::string name = FileNamePart(app_name);
        name.copy(settings->app_name, kMaxAppName);
        if (!directory_.empty()) {
            const std::string prefix = directory_ + "/" + name + "-";
            // Room for the time, the pid and a counter.
            if (prefix.size() + 64 < kMaxPath) prefix.copy(settings->prefix, prefix.size());
        }
        settings->callback = callback;
        settings->context = context;
        g_settings.store(settings.get(), std::memory_order_release);
        // Earlier settings stay alive: a handler may be reading them.
        settings_.push_back(std::move(settings));
    }

    void StartWatcher() {
        int wake[2];
        int done[2];
        if (pipe2(wake, O_CLOEXEC) != 0) return;
        wake_read_.reset(wake[0]);
        wake_write_.reset(wake[1]);
        if (pipe2(done, O_CLOEXEC) != 0) return;
        done_read_.reset(done[0]);
        done_write_.reset(done[1]);

        // The watcher takes no asynchronous signals; faults still reach it.
        sigset_t blocked;
        sigset_t previous;
        sigfillset(&blocked);
        for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigdelset(&blocked, signal_number);
        pthread_sigmask(SIG_SETMASK, &blocked, &previous);
        try {
            watcher_ = std::thread(WatcherMain, wake_read_.get(), done_write_.get());
        } catch (const std::system_error&) {
            // Without the thread dumps are still written; only the callback is lost.
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!watcher_.joinable()) return;
        g_wake_fd.store(wake_write_.get());
        g_done_fd.store(done_read_.get());
        g_done_write_fd.store(done_write_.get());
    }

    std::mutex mutex_;
    bool set_up_ = false;
    std::string directory_;
    std::vector<std::unique_ptr<DumpSettings>> settings_;
    UniqueFd wake_read_;
    UniqueFd wake_write_;
    UniqueFd done_read_;
    UniqueFd done_write_;
    std::thread watcher_;
    AltStack alt_stack_;
    struct sigaction previous_[kFatalSignalCount] = {};
};

Trevalo::Trevalo() : impl_(std::make_unique<Impl>()) {}

Trevalo::~Trevalo() = default;

void Trevalo::SetupAppCenter() { impl_->Setup(); }

void Trevalo::InitDumpHandler(const char* app_name, DumpCallback callback, void* context) {
    impl_->Register(app_name, callback, context);
}

void Trevalo::SetLogFlushHook(LogFlushHook hook) { g_log_flush_hook.store(hook); }
