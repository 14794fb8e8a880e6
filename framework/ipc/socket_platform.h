#pragma once

// The few socket calls the IPC transport needs, behind one small interface so
// another platform can sit beside socket_posix.cpp. Every call retries on
// interruption and reports failure as a negative error code; results that
// callers must tell apart have predicates below.

#include <cstddef>
#include <cstdint>

#include "tools/posix_fd.h"

namespace Application::ipc {

// The one descriptor owner of the library.
using Tools::detail::UniqueFd;

namespace sys {

inline constexpr size_t kMaxSendBuffers = 16;

struct ConstBuffer {
    const void* data;
    size_t size;
};

enum PollFlags : unsigned {
    kPollIn = 1u,
    kPollOut = 2u,
    // Error or hang-up: the connection is over (reported whether asked or not).
    kPollFailed = 4u,
};

struct PollEntry {
    int fd;
    unsigned want;
    unsigned got;
};

// A non-blocking, close-on-exec IPv4 stream socket, or a negative code.
int TcpSocket();
// 0 connected, a result for which IsInProgress holds, or another negative code.
int Connect(int fd, const char* ipv4, int port);
// Binds to ipv4:port (port 0: the system chooses) with address reuse and listens.
int BindAndListen(int fd, const char* ipv4, int port);
// The bound local port, or a negative code.
int LocalPort(int fd);
// 0 when the socket has a peer, else a negative code.
int PeerConnected(int fd);
// The pending error of a socket (0 when none).
int PendingError(int fd);
// An accepted non-blocking, close-on-exec connection, or a negative code.
int Accept(int listen_fd);
int SetNoDelay(int fd);
// Bytes received (0: orderly close by the peer) or a negative code.
long Recv(int fd, void* buffer, size_t size);
// Bytes sent or a negative code; never raises SIGPIPE. At most kMaxSendBuffers.
long SendV(int fd, const ConstBuffer* buffers, size_t count);
void Shutdown(int fd);
// Number of entries with results, 0 on timeout, or a negative code.
// timeout_ms < 0 waits without limit.
int Poll(PollEntry* entries, size_t count, int timeout_ms);

bool IsWouldBlock(int code);
bool IsInProgress(int code);
// Running out of descriptors or memory: accepting again at once cannot help.
bool IsResourceShortage(int code);

// Fills buffer from the system's random source; false when it cannot.
bool RandomBytes(void* buffer, size_t size);

// Whether the other end of the loopback TCP connection fd belongs to this
// process's effective user: 1 it does, 0 it belongs to another user, a
// negative code when the kernel cannot tell (the other end is already gone,
// or neither of the kernel's socket tables could be read).
int PeerIsSameUser(int fd);
// The owner behind PeerIsSameUser, from the kernel's socket diagnostics or
// from its text table: 0 and *uid, or a negative code.
int PeerOwnerForTesting(int fd, bool from_text_table, uint32_t* uid);

}  // namespace sys

// A signal another thread can raise to wake a Poll: its descriptor becomes
// readable after Signal until Drain.
class WakeEvent {
public:
    WakeEvent();
    bool Valid() const { return fd_.valid(); }
    int Fd() const { return fd_.get(); }
    void Signal();
    void Drain();

private:
    UniqueFd fd_;
};

}  // namespace Application::ipc
