#include "framework/ipc/socket_platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <vector>

namespace Application::ipc {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace sys {

namespace {

int Failed() { return errno > 0 ? -errno : -1; }

bool MakeAddress(const char* ipv4, int port, sockaddr_in* address) {
    if (!ipv4 || port < 0 || port > 65535) return false;
    *address = {};
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    return ::inet_pton(AF_INET, ipv4, &address->sin_addr) == 1;
}

}  // namespace

int TcpSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd >= 0 ? fd : Failed();
}

int Connect(int fd, const char* ipv4, int port) {
    sockaddr_in address;
    if (!MakeAddress(ipv4, port, &address)) return -EINVAL;
    // A connect interrupted by a signal goes on in the background, like one in progress.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno == EINTR) return -EINPROGRESS;
    return Failed();
}

int BindAndListen(int fd, const char* ipv4, int port) {
    sockaddr_in address;
    if (!MakeAddress(ipv4, port, &address)) return -EINVAL;
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return Failed();
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Failed();
    if (::listen(fd, SOMAXCONN) != 0) return Failed();
    return 0;
}

int LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return Failed();
    return ntohs(address.sin_port);
}

int PeerConnected(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0 : Failed();
}

int PendingError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Failed();
    return -error;
}

int Accept(int listen_fd) {
    while (true) {
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) return Failed();
    }
}

int SetNoDelay(int fd) {
    const int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : Failed();
}

long Recv(int fd, void* buffer, size_t size) {
    while (true) {
        const ssize_t received = ::recv(fd, buffer, size, 0);
        if (received >= 0) return static_cast<long>(received);
        if (errno != EINTR) return Failed();
    }
}

long SendV(int fd, const ConstBuffer* buffers, size_t count) {
    iovec vectors[4];
    if (count > sizeof vectors / sizeof vectors[0]) return -EINVAL;
    for (size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void*>(buffers[i].data);
        vectors[i].iov_len = buffers[i].size;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    while (true) {
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<long>(sent);
        if (errno != EINTR) return Failed();
    }
}

void Shutdown(int fd) { ::shutdown(fd, SHUT_RDWR); }

int Poll(PollEntry* entries, size_t count, int timeout_ms) {
    // Small sets stay on the stack; the server's set grows with its connections.
    pollfd local[8];
    std::vector<pollfd> heap;
    pollfd* fds = local;
    if (count > sizeof local / sizeof local[0]) {
        heap.resize(count);
        fds = heap.data();
    }
    for (size_t i = 0; i < count; ++i) {
        fds[i].fd = entries[i].fd;
        fds[i].events = static_cast<short>(((entries[i].want & kPollIn) ? POLLIN : 0) |
                                           ((entries[i].want & kPollOut) ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    int result;
    do {
        result = ::poll(fds, count, timeout_ms);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return Failed();
    for (size_t i = 0; i < count; ++i) {
        const short got = fds[i].revents;
        entries[i].got = ((got & POLLIN) ? kPollIn : 0u) | ((got & POLLOUT) ? kPollOut : 0u) |
                         ((got & (POLLERR | POLLHUP | POLLNVAL)) ? kPollFailed : 0u);
    }
    return result;
}

bool IsWouldBlock(int code) { return code == -EAGAIN || code == -EWOULDBLOCK; }

bool IsInProgress(int code) { return code == -EINPROGRESS || code == -EALREADY; }

bool IsResourceShortage(int code) {
    return code == -EMFILE || code == -ENFILE || code == -ENOBUFS || code == -ENOMEM;
}

bool RandomBytes(void* buffer, size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::getrandom(out, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

int64_t MonotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace sys

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void WakeEvent::Signal() {
    if (!fd_.Valid()) return;
    const uint64_t one = 1;
    while (::write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeEvent::Drain() {
    if (!fd_.Valid()) return;
    uint64_t value;
    while (::read(fd_.Get(), &value, sizeof value) < 0 && errno == EINTR) {
    }
}

}  // namespace Application::ipc
