#include "framework/ipc/socket_platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Application::ipc {

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
    iovec vectors[kMaxSendBuffers];
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

namespace {

// The two ends of a connection as the kernel lists the peer's socket: its
// local address is our peer address and its remote address is ours.
struct LoopbackEnds {
    sockaddr_in peer;
    sockaddr_in ours;
};

bool ReadEnds(int fd, LoopbackEnds* ends) {
    socklen_t length = sizeof ends->peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ends->peer), &length) != 0 || ends->peer.sin_family != AF_INET)
        return false;
    length = sizeof ends->ours;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&ends->ours), &length) == 0 && ends->ours.sin_family == AF_INET;
}

// Asks the kernel's socket diagnostics for exactly the peer's socket (one
// lookup in its connection hash, however many sockets exist): its owner, or
// a negative code. A socket that no process holds any more (closed, waiting
// out its timers) has no inode and no owner to tell.
int PeerOwnerByDiag(const LoopbackEnds& ends, uint32_t* uid) {
    UniqueFd link(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!link.valid()) return Failed();
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = ends.peer.sin_port;
    message.request.id.idiag_dport = ends.ours.sin_port;
    message.request.id.idiag_src[0] = ends.peer.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = ends.ours.sin_addr.s_addr;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = Tools::detail::RetryEintr([&] {
        return ::sendto(link.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    });
    if (sent != static_cast<ssize_t>(sizeof message)) return Failed();
    alignas(nlmsghdr) char reply[1024];
    const ssize_t got = Tools::detail::RetryEintr([&] { return ::recv(link.get(), reply, sizeof reply, 0); });
    if (got < 0) return Failed();
    const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    if (!NLMSG_OK(header, static_cast<size_t>(got))) return -EPROTO;
    if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -EPROTO;
        const int error = static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
        return error < 0 ? error : -EPROTO;
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return -EPROTO;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    if (found->id.idiag_sport != ends.peer.sin_port || found->id.idiag_src[0] != ends.peer.sin_addr.s_addr)
        return -EPROTO;
    if (found->idiag_inode == 0) return -ENOTCONN;
    *uid = found->idiag_uid;
    return 0;
}

// The same from the text table, for kernels without socket diagnostics:
// one row per socket, "sl local remote st queues tr tm retrnsmt uid timeout
// inode ...", addresses as the raw 32-bit word and the port in hexadecimal.
int PeerOwnerByProcTable(const LoopbackEnds& ends, uint32_t* uid) {
    UniqueFd table(Tools::detail::RetryEintr([] { return ::open("/proc/net/tcp", O_RDONLY | O_CLOEXEC); }));
    if (!table.valid()) return Failed();
    FILE* stream = ::fdopen(table.get(), "r");
    if (!stream) return Failed();
    table.release();
    char wanted_local[16];
    char wanted_remote[16];
    std::snprintf(wanted_local, sizeof wanted_local, "%08X:%04X", ends.peer.sin_addr.s_addr, ntohs(ends.peer.sin_port));
    std::snprintf(wanted_remote, sizeof wanted_remote, "%08X:%04X", ends.ours.sin_addr.s_addr, ntohs(ends.ours.sin_port));
    int result = -ENOENT;
    char line[512];
    while (std::fgets(line, sizeof line, stream)) {
        char local[64];
        char remote[64];
        unsigned owner = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, " %*u: %63s %63s %*x %*x:%*x %*x:%*x %*x %u %*d %lu", local, remote, &owner, &inode) != 4)
            continue;
        if (std::strcmp(local, wanted_local) != 0 || std::strcmp(remote, wanted_remote) != 0) continue;
        if (inode == 0) {
            result = -ENOTCONN;
            break;
        }
        *uid = owner;
        result = 0;
        break;
    }
    std::fclose(stream);
    return result;
}

}  // namespace

int PeerOwnerForTesting(int fd, bool from_text_table, uint32_t* uid) {
    LoopbackEnds ends{};
    if (!ReadEnds(fd, &ends)) return Failed();
    return from_text_table ? PeerOwnerByProcTable(ends, uid) : PeerOwnerByDiag(ends, uid);
}

int PeerIsSameUser(int fd) {
    LoopbackEnds ends{};
    if (!ReadEnds(fd, &ends)) return Failed();
    uint32_t uid = 0;
    int found = PeerOwnerByDiag(ends, &uid);
    // A kernel without socket diagnostics still has the text table; a socket
    // without an owner has none in either.
    if (found < 0 && found != -ENOTCONN) found = PeerOwnerByProcTable(ends, &uid);
    if (found < 0) return found;
    return uid == static_cast<uint32_t>(::geteuid()) ? 1 : 0;
}

}  // namespace sys

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void WakeEvent::Signal() {
    if (!fd_.valid()) return;
    const uint64_t one = 1;
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeEvent::Drain() {
    if (!fd_.valid()) return;
    uint64_t value;
    while (::read(fd_.get(), &value, sizeof value) < 0 && errno == EINTR) {
    }
}

}  // namespace Application::ipc
