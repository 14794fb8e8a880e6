#pragma once

// Test-only: starts ipc_foreign_peer, a hostile local peer that drops to
// uid/gid 65534 before it opens a socket (see ipc_foreign_peer.cpp for its
// modes). It is spawned rather than forked: the test process has threads,
// and a forked copy of it would inherit their locks.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tools/posix_fd.h"

extern char** environ;

namespace Application::ipc::testing {

inline constexpr unsigned kForeignUid = 65534;

// Why a test that needs another user cannot run here; empty when it can.
inline std::string ForeignUserUnavailable() {
    if (::geteuid() != 0) return "needs root to start a peer that drops to uid/gid 65534 (tests run as root in CI)";
    return std::string();
}

// Frames as hex text for the "present" mode.
inline std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0xF];
    }
    return hex;
}

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

    // Starts the peer (next to the test binary) with args.
    bool Start(std::vector<std::string> args) {
        int up[2];
        int down[2];
        if (::pipe2(up, O_CLOEXEC) != 0) return false;
        if (::pipe2(down, O_CLOEXEC) != 0) {
            ::close(up[0]);
            ::close(up[1]);
            return false;
        }
        Tools::detail::UniqueFd child_out(up[1]);
        Tools::detail::UniqueFd child_in(down[0]);
        reports_.reset(up[0]);
        commands_.reset(down[1]);
        args.insert(args.begin(), BinaryDir() + "/ipc_foreign_peer");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, child_in.get(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, child_out.get(), STDOUT_FILENO);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) pid_ = -1;
        return pid_ > 0;
    }

    // The next byte the peer reported; 0 when none came within limit_ms or it ended.
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

    // Lets a holding peer end.
    void Tell(char byte) {
        while (::write(commands_.get(), &byte, 1) < 0 && errno == EINTR) {
        }
    }

    // The exit code, or -1 when it did not exit normally.
    int Wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    static std::string BinaryDir() {
        char path[4096] = {};
        const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
        const std::string exe(path, length > 0 ? static_cast<size_t>(length) : 0);
        return exe.substr(0, exe.rfind('/'));
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    Tools::detail::UniqueFd reports_;
    Tools::detail::UniqueFd commands_;
};

}  // namespace Application::ipc::testing
