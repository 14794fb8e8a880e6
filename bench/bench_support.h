#pragma once

// Pieces the two-process benchmarks share: starting this program again as
// the child, percentiles, and the bare loopback TCP framing used as the
// baseline (a u32 length, then the bytes; one write per frame).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string SelfPath() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return std::string(path, n > 0 ? static_cast<size_t>(n) : 0);
}

pid_t Spawn(std::vector<std::string> args) {
    const std::string self = SelfPath();
    args.insert(args.begin(), self);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

void Reap(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
}

struct Percentiles {
    double p50_us;
    double p99_us;
};

Percentiles Summarise(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

// ---- bare TCP ----

bool SendAllBlocking(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvExact(int fd, char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = recv(fd, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvFrame(int fd, std::vector<char>& payload) {
    char prefix[4];
    if (!RecvExact(fd, prefix, 4)) return false;
    uint32_t length;
    std::memcpy(&length, prefix, 4);
    payload.resize(length);
    return RecvExact(fd, payload.data(), length);
}

// Prefix and payload in one buffer, so each frame is one write.
std::vector<char> MakeWireFrame(size_t size) {
    std::vector<char> frame(4 + size, 'p');
    const uint32_t length = static_cast<uint32_t>(size);
    std::memcpy(frame.data(), &length, 4);
    return frame;
}

void NoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Reads through a 64 KB buffer, so streaming costs it few receives.
int BareChild(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
    NoDelay(fd);
    std::vector<char> buffer(1 << 20);
    size_t fill = 0;
    long streamed = 0;
    while (true) {
        // A frame longer than the buffer: grow it (doubling) to hold the frame whole.
        if (fill >= 4) {
            uint32_t announced;
            std::memcpy(&announced, buffer.data(), 4);
            while (buffer.size() < size_t{announced} + 4) buffer.resize(buffer.size() * 2);
        }
        const ssize_t n = recv(fd, buffer.data() + fill, buffer.size() - fill, 0);
        if (n <= 0) break;
        fill += static_cast<size_t>(n);
        size_t pos = 0;
        bool failed = false;
        while (fill - pos >= 4) {
            uint32_t length;
            std::memcpy(&length, buffer.data() + pos, 4);
            if (fill - pos - 4 < length) break;
            const char* payload = buffer.data() + pos + 4;
            if (length > 0 && payload[0] == 's') {
                // Streaming: count, answer once at the end.
                if (++streamed == std::atol(payload + 1)) {
                    const auto done = MakeWireFrame(1);
                    failed = !SendAllBlocking(fd, done.data(), done.size());
                    streamed = 0;
                }
            } else {
                // The frame as it arrived, prefix included: one write.
                failed = !SendAllBlocking(fd, buffer.data() + pos, 4 + length);
            }
            pos += 4 + length;
            if (failed) break;
        }
        if (failed) break;
        std::memmove(buffer.data(), buffer.data() + pos, fill - pos);
        fill -= pos;
    }
    close(fd);
    return 0;
}

// Starts this program again as the bare echo child ("-role=bare -port=N")
// and returns the connected socket.
int StartBareChild(pid_t& child) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    child = Spawn({"-role=bare", "-port=" + std::to_string(ntohs(address.sin_port))});
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    NoDelay(fd);
    return fd;
}

}  // namespace
