#pragma once

// Test-only helpers around real processes and raw sockets for the IPC tests.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Application/IIPCMgr.h"

extern char** environ;

namespace Application::ipc::testing {

using namespace std::chrono_literals;

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

inline std::string TestBinaryDir() {
    char path[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe(path, length > 0 ? static_cast<size_t>(length) : 0);
    return exe.substr(0, exe.rfind('/'));
}

// A started child; killed and reaped if the test did not wait for it.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> args) {
        const std::string program = TestBinaryDir() + "/ipc_test_child";
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ <= 0 || reaped_) return;
        ::kill(pid_, SIGKILL);
        Wait();
    }

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    bool Signal(int signal) { return pid_ > 0 && !reaped_ && ::kill(pid_, signal) == 0; }
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
};

// Records what a host endpoint hands to its callbacks.
class HostRecorder {
public:
    void Attach(IIPCHost* host) {
        host->SetRecvCallback([this](const char* data, int length) {
            std::lock_guard<std::mutex> guard(mutex_);
            if (on_frame) {
                on_frame(data, length);
            } else {
                frames_.emplace_back(data, static_cast<size_t>(length));
            }
            changed_.notify_all();
        });
        host->SetConnectCallback([this](bool connected) {
            std::lock_guard<std::mutex> guard(mutex_);
            connects_.push_back(connected);
            changed_.notify_all();
        });
    }
    bool WaitFrames(size_t count) { return WaitFor([&] { return frames_.size() >= count; }); }
    bool WaitConnects(size_t count) { return WaitFor([&] { return connects_.size() >= count; }); }
    bool WaitFor(const std::function<bool()>& condition) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 30s, condition);
    }
    std::vector<std::string> Frames() {
        std::lock_guard<std::mutex> guard(mutex_);
        return frames_;
    }
    std::vector<bool> Connects() {
        std::lock_guard<std::mutex> guard(mutex_);
        return connects_;
    }
    void ClearFrames() {
        std::lock_guard<std::mutex> guard(mutex_);
        frames_.clear();
    }

    // When set, frames go here (under the recorder's lock) instead of the list.
    std::function<void(const char*, int)> on_frame;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> frames_;
    std::vector<bool> connects_;
};

// A hostile or clumsy peer: a plain blocking socket under the test's control.
class RawClient {
public:
    RawClient() = default;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    RawClient(RawClient&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }

    // blocking = false leaves the connect in progress (for floods).
    bool Connect(int port, bool blocking = true) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
        if (fd_ < 0) return false;
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return result == 0 || (!blocking && errno == EINPROGRESS);
    }
    bool Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // True once the server has closed the connection (end of stream or reset).
    bool WaitClosedByPeer(int limit_ms = 30000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            char buffer[256];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
        }
        return false;
    }
    // True when the server has not closed it (nothing to read, no end of stream).
    bool StillOpen() {
        pollfd entry{fd_, POLLIN, 0};
        return ::poll(&entry, 1, 0) == 0;
    }

private:
    int fd_ = -1;
};

inline std::string Le32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    return bytes;
}

inline size_t ResidentBytes() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace Application::ipc::testing
