// Child processes and the reaper that keeps them from becoming zombies.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <dirent.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "Tools/os.h"
#include "tools/monotonic_clock.h"
#include "tools/os_process_p.h"
#include "tools/posix_fd.h"

extern char** environ;

namespace Tools {

// A handle: the process id and, where the kernel has them, a pidfd that
// becomes readable when the process ends and stays tied to this process even
// after its id is reused.
struct os_process {
    pid_t pid;
    detail::UniqueFd pidfd;
    // Started as the leader of a process group of its own.
    bool own_group = false;
};

namespace {

using detail::RetryEintr;
using detail::UniqueFd;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

int PidfdOpen(pid_t pid) {
    // A pidfd is always close-on-exec.
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Every child we start is watched here from its start to its end and
// reaped by this thread, so neither a forgotten handle nor an early close
// leaves a zombie. The thread lives as long as the process once started;
// the object is never destroyed, so a late exit of a child cannot reach
// freed state.
class Reaper {
public:
    static Reaper& Instance() {
        static Reaper* reaper = [] {
            static Reaper* created = new Reaper;
            // A forked child has no reaper thread and none of these children.
            ::pthread_atfork([] { created->mutex_.lock(); }, [] { created->mutex_.unlock(); },
                             [] {
                                 created->children_.clear();
                                 created->wake_.reset();
                                 created->started_ = false;
                                 created->mutex_.unlock();
                             });
            return created;
        }();
        return *reaper;
    }

    // Takes ownership of pidfd (may be -1 on kernels without pidfds).
    void Watch(pid_t pid, UniqueFd pidfd, bool own_group) {
        std::lock_guard<std::mutex> lock(mutex_);
        children_.push_back(Child{pid, std::move(pidfd), own_group});
        if (!started_) {
            wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
            try {
                std::thread([this] { Run(); }).detach();
                started_ = true;
            } catch (...) {
                // Without a thread the children are reaped on the next Watch.
                ReapFinishedLocked(true);
                return;
            }
        }
        if (wake_) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t ignored = ::write(wake_.get(), &one, sizeof(one));
        }
    }

private:
    struct Child {
        pid_t pid;
        UniqueFd pidfd;
        bool own_group;
    };

public:
    // Signals the group of a child started in its own group, while the
    // child is not reaped (so the group id is still its own).
    bool SignalGroup(pid_t pid, int signal) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Child& child : children_)
            if (child.pid == pid && child.own_group) return ::kill(-pid, signal) == 0;
        return false;
    }

    // Whether pid is a child started here and not yet reaped.
    bool Watches(pid_t pid) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Child& child : children_)
            if (child.pid == pid) return true;
        return false;
    }

    // How a reaped child ended, while its id has not been reused by a new child.
    bool StatusOf(pid_t pid, int* exit_code, int* signal_number) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Ended& ended : ended_) {
            if (ended.pid != pid) continue;
            if (exit_code) *exit_code = ended.exit_code;
            if (signal_number) *signal_number = ended.signal_number;
            return true;
        }
        return false;
    }

private:
    struct Ended {
        pid_t pid;
        int exit_code;
        int signal_number;
    };
    static constexpr size_t kRememberedEnds = 256;

    void RememberLocked(pid_t pid, int exit_code, int signal_number) {
        std::erase_if(ended_, [pid](const Ended& e) { return e.pid == pid; });
        ended_.push_back(Ended{pid, exit_code, signal_number});
        if (ended_.size() > kRememberedEnds) ended_.erase(ended_.begin());
    }

    // What is left of an ended leader's group is killed while the leader is
    // still unreaped: after that its id could name a stranger's group.
    static void EndGroupOfEndedLeader(const Child& child) {
        siginfo_t info{};
        const int result = RetryEintr(
            [&] { return ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT); });
        if (result == 0 && info.si_pid == child.pid) ::kill(-child.pid, SIGKILL);
    }

    // Reaps the child if it has ended; true when it no longer needs watching.
    bool TryReap(const Child& child) {
        if (child.own_group) EndGroupOfEndedLeader(child);
        if (child.pidfd) {
            siginfo_t info{};
            const int result = RetryEintr([&] {
                return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child.pidfd.get()), &info,
                                WEXITED | WNOHANG);
            });
            if (result == 0) {
                if (info.si_pid == 0) return false;
                const bool exited = info.si_code == CLD_EXITED;
                RememberLocked(child.pid, exited ? info.si_status : 0, exited ? 0 : info.si_status);
                return true;
            }
            if (errno == ECHILD) return true;  // someone else reaped it
            if (errno != EINVAL) return false;
            // A kernel without waitid on pidfds: wait by id below.
        }
        int status = 0;
        const pid_t reaped = RetryEintr([&] { return ::waitpid(child.pid, &status, WNOHANG); });
        if (reaped == child.pid)
            RememberLocked(child.pid, WIFEXITED(status) ? WEXITSTATUS(status) : 0,
                           WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        return reaped == child.pid || (reaped == -1 && errno == ECHILD);
    }

    void ReapFinishedLocked(bool all) {
        for (size_t i = 0; i < children_.size();) {
            if ((all || !children_[i].pidfd) && TryReap(children_[i])) {
                children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }

    void Run() {
        std::vector<pollfd> fds;
        std::vector<pid_t> pids;
        for (;;) {
            bool without_fd = false;
            fds.assign(1, pollfd{wake_.get(), POLLIN, 0});
            pids.assign(1, 0);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const Child& child : children_) {
                    if (child.pidfd) {
                        fds.push_back(pollfd{child.pidfd.get(), POLLIN, 0});
                        pids.push_back(child.pid);
                    } else {
                        without_fd = true;
                    }
                }
            }
            // Children without a pidfd can only be polled for.
            const int ready = ::poll(fds.data(), fds.size(), without_fd || !wake_ ? 100 : -1);
            if (ready < 0 && errno != EINTR) continue;
            if (fds[0].revents & POLLIN) {
                uint64_t count;
                [[maybe_unused]] ssize_t ignored = ::read(wake_.get(), &count, sizeof(count));
            }
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                for (size_t c = 0; c < children_.size(); ++c) {
                    if (children_[c].pid == pids[i] && children_[c].pidfd.get() == fds[i].fd) {
                        if (TryReap(children_[c]))
                            children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(c));
                        break;
                    }
                }
            }
            if (without_fd) ReapFinishedLocked(false);
        }
    }

    std::mutex mutex_;
    std::vector<Child> children_;
    std::vector<Ended> ended_;
    UniqueFd wake_;
    bool started_ = false;
};

std::string Slashed(const char* text) {
    std::string result(text);
    for (char& c : result)
        if (c == '\\') c = '/';
    return result;
}

bool EndsWith(const std::string& text, const char* tail) {
    const std::string suffix(tail);
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void WriteError(char* error_text, int error) {
    if (error_text) std::snprintf(error_text, 64, "%d", error);
}

// Frees spawn attributes and file actions on every path out.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool ok = false;
    SpawnSetup() {
        if (posix_spawn_file_actions_init(&actions) != 0) return;
        if (posix_spawnattr_init(&attributes) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        ok = true;
    }
    ~SpawnSetup() {
        if (!ok) return;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

}  // namespace

namespace detail {

std::vector<std::string> SplitCommandLine(const char* command_line) {
    std::vector<std::string> arguments;
    if (!command_line) return arguments;
    std::string current;
    bool in_argument = false, quoted = false;
    for (const char* p = command_line; *p; ++p) {
        const char c = *p;
        if (c == '\\' && p[1] == '"') {
            current += '"';
            in_argument = true;
            ++p;
        } else if (c == '"') {
            quoted = !quoted;
            in_argument = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (in_argument) arguments.push_back(current);
            current.clear();
            in_argument = false;
        } else {
            current += c;
            in_argument = true;
        }
    }
    if (in_argument) arguments.push_back(current);
    return arguments;
}

bool SignalProcess(os_process* process, int signal) {
    if (!process) return false;
    if (process->pidfd) {
        const int result = RetryEintr([&] {
            return static_cast<int>(::syscall(SYS_pidfd_send_signal, process->pidfd.get(), signal, nullptr, 0));
        });
        if (result == 0) return true;
        if (errno != ENOSYS) return false;
    }
    // A kernel without pidfds: the id is all there is.
    return ::kill(process->pid, signal) == 0;
}

std::string ProgramPath(const char* program) {
    std::string path = Slashed(program);
    // One configuration serves both platforms: "tool.exe" runs "tool" here.
    if (EndsWith(path, ".exe") && ::access(path.c_str(), F_OK) != 0) path.resize(path.size() - 4);
    return path;
}

}  // namespace detail

namespace {

os_process_t CreateProcess(const char* program, const char* command_line, char* error_text, bool own_group) {
    if (!program || !*program) {
        WriteError(error_text, EINVAL);
        return nullptr;
    }
    const std::string path = detail::ProgramPath(program);
    std::vector<std::string> arguments = detail::SplitCommandLine(command_line);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    if (!setup.ok) {
        WriteError(error_text, ENOMEM);
        return nullptr;
    }
    // Only stdin, stdout and stderr reach the child, whatever the rest of
    // the process opened without close-on-exec; signals start out default.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&setup.attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&setup.attributes, &signals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(&setup.attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&setup.attributes, flags);

    auto* process = new (std::nothrow) os_process{0, UniqueFd()};
    if (!process) {
        WriteError(error_text, ENOMEM);
        return nullptr;
    }
    pid_t pid = 0;
    const int error = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    if (error != 0) {
        delete process;
        WriteError(error_text, error);
        return nullptr;
    }
    process->pid = pid;
    process->own_group = own_group;
    process->pidfd.reset(PidfdOpen(pid));
    UniqueFd watched;
    if (process->pidfd) watched.reset(::fcntl(process->pidfd.get(), F_DUPFD_CLOEXEC, 0));
    Reaper::Instance().Watch(pid, std::move(watched), own_group);
    return process;
}

int PidfdSignal(int pidfd, int signal) {
    return RetryEintr([&] { return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0)); });
}

struct ProcStat {
    pid_t pid;
    pid_t parent;
    pid_t group;
    char state;
};

bool ReadProcStat(pid_t pid, ProcStat* out) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    UniqueFd fd(RetryEintr([&] { return ::open(path, O_RDONLY | O_CLOEXEC); }));
    if (!fd) return false;
    char text[1024];
    const ssize_t got = RetryEintr([&] { return ::read(fd.get(), text, sizeof text - 1); });
    if (got <= 0) return false;
    text[got] = '\0';
    // The command name may hold anything, ")" too: the fields follow the last one.
    const char* close = nullptr;
    for (const char* p = text; *p; ++p)
        if (*p == ')') close = p;
    if (!close || close[1] != ' ' || !close[2]) return false;
    int parent = 0, group = 0;
    char state = 0;
    if (std::sscanf(close + 2, "%c %d %d", &state, &parent, &group) != 3) return false;
    *out = ProcStat{pid, static_cast<pid_t>(parent), static_cast<pid_t>(group), state};
    return true;
}

std::vector<ProcStat> ListProcesses() {
    std::vector<ProcStat> processes;
    DIR* proc = ::opendir("/proc");
    if (!proc) return processes;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || !end || *end) continue;
        ProcStat stat{};
        if (ReadProcStat(static_cast<pid_t>(pid), &stat)) processes.push_back(stat);
    }
    ::closedir(proc);
    return processes;
}

// Pidfds of the processes that match, each checked again once its pidfd
// pins it, so a process id taken over meanwhile is left alone.
template <typename Match>
std::vector<UniqueFd> OpenMatching(Match match) {
    std::vector<UniqueFd> found;
    for (const ProcStat& candidate : ListProcesses()) {
        if (!match(candidate)) continue;
        UniqueFd pidfd(PidfdOpen(candidate.pid));
        ProcStat again{};
        if (!pidfd || !ReadProcStat(candidate.pid, &again) || !match(again)) continue;
        found.push_back(std::move(pidfd));
    }
    return found;
}

// Waits until every pidfd is readable (its process ended) or the deadline.
bool WaitEnded(const std::vector<UniqueFd>& pidfds, int64_t deadline_ms) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        for (const UniqueFd& pidfd : pidfds) {
            pollfd entry{pidfd.get(), POLLIN, 0};
            if (::poll(&entry, 1, 0) == 0) fds.push_back(entry);
        }
        if (fds.empty()) return true;
        const int64_t left = deadline_ms - detail::MonotonicMs();
        if (left <= 0) return false;
        if (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
}

constexpr int64_t kKillWaitMs = 1000;

// SIGTERM, and SIGKILL to those still there after grace_ms.
void EndThrough(const std::vector<UniqueFd>& pidfds, int grace_ms) {
    for (const UniqueFd& pidfd : pidfds) PidfdSignal(pidfd.get(), SIGTERM);
    if (WaitEnded(pidfds, detail::MonotonicMs() + grace_ms)) return;
    for (const UniqueFd& pidfd : pidfds) PidfdSignal(pidfd.get(), SIGKILL);
    WaitEnded(pidfds, detail::MonotonicMs() + kKillWaitMs);
}

// Ending processes may hand over their own children; a few rounds catch those.
constexpr int kEndRounds = 3;

}  // namespace

os_process_t os_create_process(const char* program, const char* command_line, char* error_text) {
    return CreateProcess(program, command_line, error_text, false);
}

namespace detail {

os_process* CreateProcessInOwnGroup(const char* program, const char* command_line, char* error_text) {
    return CreateProcess(program, command_line, error_text, true);
}

bool SignalProcessGroup(os_process* process, int signal) {
    if (!process) return false;
    const bool leader = SignalProcess(process, signal);
    const bool group = process->own_group && Reaper::Instance().SignalGroup(process->pid, signal);
    return leader || group;
}

bool BecomeChildSubreaper() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0; }

int EndAdoptedChildren(int grace_ms) {
    const pid_t self = ::getpid();
    int ended = 0;
    for (int round = 0; round < kEndRounds; ++round) {
        std::vector<UniqueFd> adopted = OpenMatching(
            [self](const ProcStat& p) { return p.parent == self && !Reaper::Instance().Watches(p.pid); });
        if (adopted.empty()) break;
        EndThrough(adopted, grace_ms);
        for (const UniqueFd& pidfd : adopted) {
            siginfo_t info{};
            RetryEintr([&] {
                return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd.get()), &info,
                                WEXITED | WNOHANG);
            });
        }
        ended += static_cast<int>(adopted.size());
    }
    return ended;
}

int EndOwnGroupAndChildren(int grace_ms) {
    const pid_t self = ::getpid();
    if (::getpgrp() != self) return 0;
    int ended = 0;
    for (int round = 0; round < kEndRounds; ++round) {
        // Zombie children have ended already; they go with this process.
        std::vector<UniqueFd> members = OpenMatching([self](const ProcStat& p) {
            return p.pid != self && p.state != 'Z' && (p.group == self || p.parent == self);
        });
        if (members.empty()) break;
        EndThrough(members, grace_ms);
        ended += static_cast<int>(members.size());
    }
    return ended;
}

uint64_t DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

uint64_t RaiseDescriptorLimit(uint64_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur != RLIM_INFINITY && static_cast<uint64_t>(limit.rlim_cur) < wanted) {
        rlim_t target = static_cast<rlim_t>(wanted);
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < target) target = limit.rlim_max;
        if (target > limit.rlim_cur) {
            limit.rlim_cur = target;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    return DescriptorLimit();
}

}  // namespace detail

int os_copy_process(const char* from, const char* to) {
    if (!from || !to) return -1;
    std::string source = Slashed(from), target = Slashed(to);
    const std::string resolved = detail::ProgramPath(source.c_str());
    if (resolved != source && EndsWith(target, ".exe")) target.resize(target.size() - 4);
    return os_copyfile(resolved.c_str(), target.c_str());
}

os_process_t os_open_process(uint32_t process_id) {
    if (process_id == 0 || process_id > INT32_MAX) return nullptr;
    const pid_t pid = static_cast<pid_t>(process_id);
    UniqueFd pidfd(PidfdOpen(pid));
    if (!pidfd && !(errno == ENOSYS && ::kill(pid, 0) == 0)) return nullptr;
    return new (std::nothrow) os_process{pid, std::move(pidfd)};
}

bool os_process_exists(os_process_t process) {
    if (!process) return false;
    if (process->pidfd) {
        pollfd entry{process->pidfd.get(), POLLIN, 0};
        const int ready = RetryEintr([&] { return ::poll(&entry, 1, 0); });
        return ready == 0;
    }
    return ::kill(process->pid, 0) == 0 || errno == EPERM;
}

void os_close_process(os_process_t process) { delete process; }

uint32_t os_process_id(os_process_t process) { return process ? static_cast<uint32_t>(process->pid) : 0; }

int os_process_wait_fd(os_process_t process) { return process && process->pidfd ? process->pidfd.get() : -1; }

bool os_process_exit_status(os_process_t process, int* exit_code, int* signal_number) {
    if (!process) return false;
    if (process->pidfd) {
        // Not yet reaped: read the status without taking it from the reaper.
        siginfo_t info{};
        const int result = RetryEintr([&] {
            return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process->pidfd.get()), &info,
                            WEXITED | WNOHANG | WNOWAIT);
        });
        if (result == 0 && info.si_pid == 0) return false;  // still running
        if (result == 0) {
            const bool exited = info.si_code == CLD_EXITED;
            if (exit_code) *exit_code = exited ? info.si_status : 0;
            if (signal_number) *signal_number = exited ? 0 : info.si_status;
            return true;
        }
    }
    return Reaper::Instance().StatusOf(process->pid, exit_code, signal_number);
}

}  // namespace Tools
