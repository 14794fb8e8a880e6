#pragma once

// A small non-blocking TCP socket with its own event loops: an outgoing
// connection with a timeout, a listening server that serves many
// connections from one thread, queued sends and the framed receive path of
// frame_reader.h. Used only by the IPC manager and its endpoints.
//
// Sending never blocks: every connection has an outgoing queue. A sender
// appends whole frames (written at once when the queue is empty and the
// kernel takes them) and returns; the thread that runs the connection's loop
// writes the rest as the socket becomes writable. A peer that takes no bytes
// for the stall time, or whose queue holds kMaxQueuedSendBytes, is cut
// off by that loop through the normal close path (OnClose), and the
// connection keeps the reason (GetCloseReason, set before OnClose runs).
//
// Threads: a server's loop, its accepts, reads, writes and every handler
// call run on the thread that called ServerRun; a client socket's Connect,
// Run and Close on the thread that owns it. SendFrame, SendAll, IsConnected,
// GetCloseReason, Interrupt and Stop may be called from any thread, also
// from the handler's own calls; senders never wait for the peer.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/ipc/frame_reader.h"
#include "framework/ipc/socket_platform.h"

namespace Application::ipc {

// Why a connection ended; the first cause noticed is kept.
enum class CloseReason : uint8_t {
    kNone,           // still open, or never connected
    kPeerClosed,     // the peer closed its end
    kError,          // a socket error, or the connection could not be made
    kSendStalled,    // the peer took no bytes for the stall time
    kSendQueueFull,  // more came while kMaxQueuedSendBytes waited
    kProtocolError,  // a bad frame length or a refused handshake
    kClosedLocally,  // this side closed it (stop, interrupt, shut-down)
    kRefused,        // the server was full (server side); the peer closed before any frame (client side)
};

// A short English text for logs ("send queue full", ...).
const char* CloseReasonText(CloseReason reason);

class CSocketFd {
public:
    // Events of the loops, called on the thread that runs the loop.
    class ISocketEvent {
    public:
        // A server accepted a new connection.
        virtual int OnAccept(CSocketFd* connection) = 0;
        // A connection ended (server: per client; client: the own socket).
        virtual int OnClose(CSocketFd* connection) = 0;
        // One whole frame; data is valid only during the call.
        virtual int OnRecv(CSocketFd* connection, const char* data, int length) = 0;
        // A long frame whose storage is handed over; by default it is seen
        // like any other frame.
        virtual int OnRecvOwned(CSocketFd* connection, FrameBytes&& frame) {
            return OnRecv(connection, frame.data(), static_cast<int>(frame.size()));
        }
        // On servers that require it: the 4-byte word a client sends first.
        // False closes the connection.
        virtual bool OnHandshake(CSocketFd* connection, uint32_t id) {
            (void)connection;
            (void)id;
            return true;
        }
        // On servers that require a handshake: a client that identified
        // itself as id is refused because the table is full; its connection
        // is closed after this (with OnClose).
        virtual void OnRefusedAtCapacity(CSocketFd* connection, uint32_t id) {
            (void)connection;
            (void)id;
        }

    protected:
        ~ISocketEvent() = default;
    };

    class CSocketEventDef final : public ISocketEvent {
    public:
        int OnAccept(CSocketFd*) override { return 0; }
        int OnClose(CSocketFd*) override { return 0; }
        int OnRecv(CSocketFd*, const char*, int) override { return 0; }
        static CSocketEventDef* Instance();
    };

    // A peer that takes none of its queued bytes for this long is cut off.
    static constexpr int kSendStallMs = 10000;
    // Bytes a connection may hold for its peer beyond what the kernel took;
    // a frame that comes while this much waits cuts the connection (so a
    // frame of the largest size is taken behind a few small ones).
    static constexpr size_t kMaxQueuedSendBytes = size_t{64} * 1024 * 1024;

    CSocketFd();
    virtual ~CSocketFd();
    CSocketFd(const CSocketFd&) = delete;
    CSocketFd& operator=(const CSocketFd&) = delete;

    // Creates the (IPv4, TCP, non-blocking, close-on-exec) socket if there is
    // none; returns the descriptor or -1.
    int Create();
    // 1 connected, 0 not (yet) connected or timed out, negative on error
    // (the socket is then closed). Runs on the thread that owns the socket.
    int Connect(const char* ip, int port, int timeout_ms);
    // 0 without a socket, 1 when connected, else waits up to timeout_ms for
    // a pending connect to finish, with the results of Connect.
    int CheckConnect(int timeout_ms);
    // Closes the socket; on the thread that owns it. Returns -1.
    int Close();
    // Any thread: ends Connect waits and Run loops soon; the owner closes
    // the socket afterwards.
    void Interrupt();

    // Any thread, never blocks. Queues all of data behind what is queued
    // already: length when accepted, -1 without a connection or when the
    // queue limit cut the connection.
    int SendAll(const char* data, int length);
    // Any thread, never blocks. Queues one frame (length prefix and payload,
    // never interleaved with another sender's). True when accepted; false
    // without a connection, for a frame longer than the peer may accept
    // (the connection stays), or when the queue limit cut the connection.
    bool SendFrame(const char* data, int length);
    // Any thread, never blocks. Queues bytes that hold whole frames already
    // (prefixes included), taking them: what the kernel does not take at
    // once waits in the queue without being copied. On return bytes is
    // empty; its storage is left for reuse when the kernel took it all.
    // Results as for SendFrame.
    bool SendBytes(std::string& bytes);
    // Receives exactly length bytes: length, 0 when the peer closed first,
    // negative on error. For sockets not served by a loop.
    int RecvAll(char* buffer, int length);

    // Serves this (outgoing) connection: receives, writes what is queued and
    // watches for a stalled peer. One poll of at most 100 ms when loop is
    // false, else until the connection ends or Interrupt. Returns the last
    // poll result (> 0 while the connection is up, 0 or negative once it ended).
    int Run(ISocketEvent* handler, bool loop);

    // False once a cut has been asked for, though the loop may not have closed yet.
    bool IsConnected() const {
        return connected_.load(std::memory_order_acquire) && !close_requested_.load(std::memory_order_acquire);
    }
    bool IsRunning() const { return running_.load(std::memory_order_acquire); }
    int Port() const { return port_; }
    int Descriptor() const { return fd_.get(); }
    // Any thread; kNone until the connection ended.
    CloseReason GetCloseReason() const { return close_reason_.load(std::memory_order_acquire); }
    // Bytes queued and not yet taken by the kernel (any thread).
    size_t QueuedBytes();

    // Process-wide; 0 restores kSendStallMs.
    static void SetSendStallMsForTesting(int ms);

protected:
    friend class CSocketServerFd;
    struct AcceptedTag {};
    // An accepted connection of a server: no wake event of its own; senders
    // wake the server's loop (loop_wake), which outlives the connection.
    CSocketFd(AcceptedTag, int fd, bool expect_handshake, WakeEvent* loop_wake);

    // One receive into the frame reader and delivery of what it completes.
    // > 0 bytes received, 0 peer closed, negative error (would-block included).
    long ReceiveAndFrame(ISocketEvent* handler, bool* protocol_error);
    // Waits for a pending connect; see Connect.
    int WaitConnected(int timeout_ms);
    // Appends buffers (all of them or none) under send_mutex_, writing at once
    // what the kernel takes when nothing is queued before them.
    bool Queue(sys::ConstBuffer* buffers, size_t count);
    // Queue for bytes the caller hands over; see SendBytes.
    bool QueueOwned(std::string& bytes);
    // Asks the loop that serves the socket to cut it for that reason (not under send_mutex_).
    void RequestCut(CloseReason cut);
    // Outside the send lock: cuts the connection or wakes its loop, as the
    // queueing step decided; false when cut.
    bool AfterQueueing(CloseReason cut, bool wake_loop);

    // On the loop thread.
    // Whether queued bytes wait for the socket to become writable.
    bool WantsWrite() const { return has_queued_.load(std::memory_order_acquire); }
    // Writes what the kernel takes now; false on a socket error.
    bool FlushQueued(int64_t now_ms);
    // When the peer counts as stalled (INT64_MAX with nothing queued).
    int64_t StallDeadline();
    // Whether a sender asked for the connection to be cut.
    bool CloseRequested() const { return close_requested_.load(std::memory_order_acquire); }
    // Keeps the first reason only.
    void NoteCloseReason(CloseReason reason);

    std::atomic<bool> running_{true};
    UniqueFd fd_;
    int port_ = -1;
    std::atomic<bool> connected_{false};
    std::unique_ptr<FrameReader> reader_;
    std::unique_ptr<WakeEvent> wake_;
    // The wake event of the loop that serves this socket.
    WakeEvent* loop_wake_ = nullptr;
    // Guards the descriptor's life against Interrupt on other threads.
    std::mutex state_mutex_;
    // Guards the queue and serialises writers; Close waits on it, so a writer
    // never sees a descriptor number that was closed and reused.
    std::mutex send_mutex_;
    // Whole frames (or SendAll blocks) in order; the front may be partly written.
    std::deque<std::string> queued_;
    size_t front_written_ = 0;
    size_t queued_bytes_ = 0;
    // The last time the peer took bytes, or the queue became non-empty.
    int64_t last_progress_ms_ = 0;
    std::atomic<bool> has_queued_{false};
    std::atomic<bool> close_requested_{false};
    std::atomic<CloseReason> close_reason_{CloseReason::kNone};
};

class CSocketServerFd final : public CSocketFd {
public:
    // Silent connections are dropped after this; at most this many wait at once.
    static constexpr int kDefaultHandshakeTimeoutMs = 2000;
    static constexpr size_t kMaxPendingHandshakes = 64;
    // How long accepting pauses when the process is out of descriptors.
    static constexpr int kAcceptBackoffMs = 100;

    CSocketServerFd();
    ~CSocketServerFd() override;

    // Listens on 127.0.0.1:port (0: chosen by the system) for up to
    // max_clients - 2 clients at once. Returns the bound port, 0 or negative
    // on failure. Once per object.
    int Listen(int port, int max_clients);
    // Before ServerRun: every client must first send a 4-byte word, within
    // timeout_ms, which goes to OnHandshake; frames only flow after that.
    void RequireHandshake(int timeout_ms = kDefaultHandshakeTimeoutMs);
    // Before ServerRun: a connection whose other end belongs to another user
    // (or to nobody the kernel can name) is closed as it is accepted, before
    // anything is read from it, with no event; it takes no place in the
    // table and none among the pending handshakes.
    void AcceptOnlySameUser() { same_user_only_ = true; }
    // Serves every connection on the calling thread until Stop; then closes
    // them all (OnClose for each) and the listening socket. Returns 0.
    // Receives, writes queued bytes as sockets become writable and cuts
    // stalled peers; sleeps in poll while there is nothing to do.
    int ServerRun(ISocketEvent* handler);
    // Any thread; the loop ends promptly.
    void Stop();

    // Client connections currently open (any thread; a snapshot).
    size_t ConnectionCountForTesting() const { return connection_count_.load(); }
    // Connections closed at accept because of their owner (any thread).
    size_t ForeignRefusedForTesting() const { return foreign_refused_.load(); }

private:
    struct Client {
        std::unique_ptr<CSocketFd> socket;
        int64_t handshake_deadline_ms;  // 0 once identified, or when not required
        bool identified;
        bool closing;
    };
    class ClientSink;

    void AcceptPass(ISocketEvent* handler, int64_t now);
    // Receives and writes for one client the poll found ready; marks it closing when it ended.
    void ServeClient(Client& client, unsigned ready, ISocketEvent* handler, int64_t now);
    void CloseClient(Client& client);
    void CloseAll(ISocketEvent* handler);

    int max_clients_ = 64;
    bool require_handshake_ = false;
    bool same_user_only_ = false;
    int handshake_timeout_ms_ = kDefaultHandshakeTimeoutMs;
    size_t identified_ = 0;
    int64_t accept_paused_until_ms_ = 0;
    std::vector<Client> clients_;
    std::atomic<size_t> connection_count_{0};
    std::atomic<size_t> foreign_refused_{0};
};

}  // namespace Application::ipc
