#pragma once

// Test-only: a forked child that runs as another user (uid and gid 65534)
// and acts as a hostile local peer. The parent has threads, so the child
// calls only async-signal-safe functions: everything it sends is prepared
// before the fork, and it talks to the parent in single bytes over pipes.

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <string>

#include "tools/posix_fd.h"

namespace Application::ipc::testing {

inline constexpr uid_t kForeignUid = 65534;
inline constexpr gid_t kForeignGid = 65534;

// Why a test that needs another user cannot run here; empty when it can.
inline std::string ForeignUserUnavailable() {
    if (::geteuid() != 0) return "needs root to fork a peer that drops to uid/gid 65534 (tests run as root in CI)";
    return std::string();
}

// ---- async-signal-safe helpers for the child's body ----

// A blocking connection to 127.0.0.1:port made by the calling user, or -1.
inline int RawConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// False once the peer refuses bytes (it closed the connection).
inline bool RawWriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// True once the other end has closed (end of stream or reset) within limit_ms.
// Bytes that arrive before are read and dropped.
inline bool RawWaitClosedByPeer(int fd, int limit_ms) {
    char buffer[512];
    while (true) {
        pollfd entry{fd, POLLIN, 0};
        const int polled = ::poll(&entry, 1, limit_ms);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
}

// Reads the endpoint id out of "-ipc_cmd_info=ipcid=N&..." in the command
// line of process pid, as any local user can.
inline bool RawReadIpcidFromCmdline(pid_t pid, uint32_t* ipcid) {
    char path[64] = "/proc/";
    char digits[16];
    int count = 0;
    for (pid_t rest = pid; rest > 0 && count < 15; rest /= 10) digits[count++] = static_cast<char>('0' + rest % 10);
    size_t at = 6;
    while (count > 0) path[at++] = digits[--count];
    const char tail[] = "/cmdline";
    for (size_t i = 0; i < sizeof tail; ++i) path[at++] = tail[i];
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    static char text[65536];
    size_t have = 0;
    while (have < sizeof text - 1) {
        const ssize_t got = ::read(fd, text + have, sizeof text - 1 - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    ::close(fd);
    const char key[] = "ipc_cmd_info=ipcid=";
    const size_t key_length = sizeof key - 1;
    for (size_t i = 0; i + key_length <= have; ++i) {
        size_t k = 0;
        while (k < key_length && text[i + k] == key[k]) ++k;
        if (k != key_length) continue;
        uint64_t value = 0;
        size_t j = i + key_length;
        if (j >= have || text[j] < '0' || text[j] > '9') return false;
        while (j < have && text[j] >= '0' && text[j] <= '9' && value <= 0xFFFFFFFFu) value = value * 10 + (text[j++] - '0');
        if (value > 0xFFFFFFFFu) return false;
        *ipcid = static_cast<uint32_t>(value);
        return true;
    }
    return false;
}

inline void RawReport(int fd, char byte) {
    while (::write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
}

// Blocks until the parent tells something (or goes away).
inline char RawAwaitWord(int fd) {
    char byte = 0;
    while (::read(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    return byte;
}

// ---- the parent's side ----

class ForeignUserProcess {
public:
    ForeignUserProcess() = default;
    ForeignUserProcess(const ForeignUserProcess&) = delete;
    ForeignUserProcess& operator=(const ForeignUserProcess&) = delete;
    ~ForeignUserProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }

    // Forks; the child drops to the foreign user and returns body(report_fd,
    // command_fd) as its exit code. 100 and up: the drop itself failed.
    template <class Body>
    bool Start(Body body) {
        int up[2];
        int down[2];
        if (::pipe2(up, O_CLOEXEC) != 0) return false;
        if (::pipe2(down, O_CLOEXEC) != 0) {
            ::close(up[0]);
            ::close(up[1]);
            return false;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            // Room for floods of connections, raised while still allowed.
            rlimit limit{};
            if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4096) {
                limit.rlim_cur = 4096;
                if (limit.rlim_max < 4096) limit.rlim_max = 4096;
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            if (::setgroups(0, nullptr) != 0 || ::setresgid(kForeignGid, kForeignGid, kForeignGid) != 0 ||
                ::setresuid(kForeignUid, kForeignUid, kForeignUid) != 0) {
                ::_exit(100);
            }
            if (::geteuid() != kForeignUid || ::getegid() != kForeignGid) ::_exit(101);
            ::_exit(body(up[1], down[0]));
        }
        ::close(up[1]);
        ::close(down[0]);
        reports_.reset(up[0]);
        commands_.reset(down[1]);
        return pid_ > 0;
    }

    // The next byte the child reported; 0 when none came within limit_ms or it ended.
    char Report(int limit_ms = 30000) {
        pollfd entry{reports_.get(), POLLIN, 0};
        int polled;
        do {
            polled = ::poll(&entry, 1, limit_ms);
        } while (polled < 0 && errno == EINTR);
        if (polled <= 0) return 0;
        char byte = 0;
        return ::read(reports_.get(), &byte, 1) == 1 ? byte : 0;
    }

    void Tell(char byte) { RawReport(commands_.get(), byte); }

    // The exit code, or -1 when it did not exit normally.
    int Wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    Tools::detail::UniqueFd reports_;
    Tools::detail::UniqueFd commands_;
};

}  // namespace Application::ipc::testing
