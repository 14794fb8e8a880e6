#pragma once

// A small non-blocking TCP socket with its own event loops: an outgoing
// connection with a timeout, a listening server that serves many
// connections from one thread, whole-buffer sends and the framed receive path
// of frame_reader.h. Used only by the IPC manager and its endpoints.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/ipc/frame_reader.h"
#include "framework/ipc/socket_platform.h"

namespace Application::ipc {

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
        // On servers that require it: the 4-byte word a client sends first.
        // False closes the connection.
        virtual bool OnHandshake(CSocketFd* connection, uint32_t id) {
            (void)connection;
            (void)id;
            return true;
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

    // How long a sender waits for a peer that accepts no bytes at all before
    // it gives up; the connection is cut then, since a half-sent frame would
    // corrupt the stream.
    static constexpr int kDefaultSendStallMs = 10000;

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
    // Any thread: ends Connect waits, Run loops and blocked senders soon;
    // the owner closes the socket afterwards.
    void Interrupt();

    // Sends all of data: length on success, negative on failure. Serialised
    // with other senders on this socket.
    int SendAll(const char* data, int length);
    // One frame, its length prefix and payload in one write. True when all
    // of it went out.
    bool SendFrame(const char* data, int length);
    // Receives exactly length bytes: length, 0 when the peer closed first,
    // negative on error. For sockets not served by a loop.
    int RecvAll(char* buffer, int length);

    // Serves this (outgoing) connection: one poll of 100 ms when loop is
    // false, else until the connection ends or Interrupt. Returns the last
    // poll result (> 0 while the connection is up, 0 or negative once it ended).
    int Run(ISocketEvent* handler, bool loop);

    bool IsConnected() const { return connected_.load(std::memory_order_acquire); }
    bool IsRunning() const { return running_.load(std::memory_order_acquire); }
    int Port() const { return port_; }
    int Descriptor() const { return fd_.Get(); }
    void SetSendStallMsForTesting(int ms) { send_stall_ms_ = ms; }

protected:
    friend class CSocketServerFd;
    struct AcceptedTag {};
    // An accepted connection of a server: no wake event of its own (the
    // server's loop is woken by the server).
    CSocketFd(AcceptedTag, int fd, bool expect_handshake);

    // One receive into the frame reader and delivery of what it completes.
    // > 0 bytes received, 0 peer closed, negative error (would-block included).
    long ReceiveAndFrame(ISocketEvent* handler, bool* protocol_error);
    // Waits for a pending connect; see Connect.
    int WaitConnected(int timeout_ms);
    bool SendBuffers(sys::ConstBuffer* buffers, size_t count);

    std::atomic<bool> running_{true};
    UniqueFd fd_;
    int port_ = -1;
    std::atomic<bool> connected_{false};
    std::unique_ptr<FrameReader> reader_;
    std::unique_ptr<WakeEvent> wake_;
    // Guards the descriptor's life against Interrupt on other threads.
    std::mutex state_mutex_;
    // Serialises senders; Close waits on it, so a sender never sees a
    // descriptor number that was closed and reused.
    std::mutex send_mutex_;
    int send_stall_ms_ = kDefaultSendStallMs;
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
    // Serves every connection on the calling thread until Stop; then closes
    // them all (OnClose for each) and the listening socket. Returns 0.
    int ServerRun(ISocketEvent* handler);
    // Any thread; the loop ends promptly.
    void Stop();

    // Client connections currently open (any thread; a snapshot).
    size_t ConnectionCountForTesting() const { return connection_count_.load(); }

private:
    struct Client {
        std::unique_ptr<CSocketFd> socket;
        int64_t handshake_deadline_ms;  // 0 once identified, or when not required
        bool identified;
        bool closing;
    };
    class ClientSink;

    void AcceptPass(ISocketEvent* handler, int64_t now);
    void CloseClient(Client& client);
    void CloseAll(ISocketEvent* handler);

    int max_clients_ = 64;
    bool require_handshake_ = false;
    int handshake_timeout_ms_ = kDefaultHandshakeTimeoutMs;
    size_t identified_ = 0;
    int64_t accept_paused_until_ms_ = 0;
    std::vector<Client> clients_;
    std::atomic<size_t> connection_count_{0};
};

}  // namespace Application::ipc
