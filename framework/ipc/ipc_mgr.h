#pragma once

// The IPC component: framed loopback connections between a parent process
// and the children it starts. In the parent, every child has a host endpoint;
// all of them share one listening socket and one server thread, started by
// the first CreateHost. A child's client endpoint reads the "ipc_cmd_info"
// switch, connects, sends the endpoint's 4-byte id and from then on both
// sides exchange frames (4-byte little-endian length, then the payload).
//
// The server closes a connection whose socket belongs to another user as it
// accepts it, before its id is read (see CSocketServerFd::AcceptOnlySameUser).
//
// Sending never blocks. Send queues the whole frame on the endpoint's
// connection and returns; the thread that serves the connection (the server
// thread in the parent, the endpoint's connection thread in the child)
// writes it as the socket becomes writable. A peer that takes none of its
// bytes for CSocketFd::kSendStallMs, or whose queue holds
// CSocketFd::kMaxQueuedSendBytes, is disconnected through the normal path
// (connect callback with false); LastCloseReason then tells why.
//
// Threads:
// - Host endpoint: Send, IsConnected, GetCmdLine and the setters on any
//   thread; its callbacks on the server thread, under the manager's lock.
// - Client endpoint: Send and IsConnected on any thread; its callbacks on
//   its connection thread; Init, Free and DestroyClient not from its callbacks.
// - LastCloseReason and CloseReasonText: any thread.
//
// Capacity: the server serves at most ConnectionLimit() children at once,
// fixed when it starts: kMaxConnections, or fewer when the descriptor limit
// leaves no room for that many. A child that identifies itself beyond it is
// refused: its host endpoint gets the connect callback with false and
// LastCloseReason kRefused, and the child sees its connection closed before
// any frame came, which its endpoint reports as kRefused too.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Application/IIPCMgr.h"
#include "framework/ipc/socket_fd.h"
#include "framework/tasks/thread_event.h"

namespace Application {

// The switch that carries a child's connection details.
inline constexpr char kIpcSwitchName[] = "ipc_cmd_info";

using ipc::CloseReason;
using ipc::CloseReasonText;

// Why the endpoint's connection ended (a host endpoint from CreateHost or a
// client endpoint from CreateClient of this library; kNone for anything
// else). Set before the connect callback is called with false and kept
// after it; kNone while connected or before the first connection.
CloseReason LastCloseReason(IIPCClient* endpoint);

class IPCMgrImpl;

// What this library's own endpoints offer its plugin link beyond IIPCClient:
// frames handed over in both directions instead of copied. Reached with
// dynamic_cast from an endpoint of this library.
class IFramedEndpoint {
public:
    using OwnedRecvCallback = std::function<void(ipc::FrameBytes&& frame)>;

    // Replaces the receive callback: every frame, short or long, arrives as
    // owned bytes (short ones copied out of the receive buffer, long ones
    // handed over whole). Called where the receive callback would be.
    virtual void SetOwnedRecvCallback(OwnedRecvCallback callback) = 0;
    // Queues bytes that hold one or more whole frames, prefixes included,
    // taking them (see ipc::CSocketFd::SendBytes). False, bytes dropped,
    // without a connection.
    virtual bool SendFramedBytes(std::string& bytes) = 0;

protected:
    ~IFramedEndpoint() = default;
};

// The parent's end of one child's connection. Send and IsConnected may be
// called from any thread; callbacks run on the manager's server thread while
// the manager's lock is held (they may call Send or DestroyHost, but must not
// wait for a thread that needs that lock).
class IPCHostImpl final : public IIPCHost, public IFramedEndpoint {
public:
    IPCHostImpl(IPCMgrImpl* manager, uint32_t ipcid, int port);

    bool Init() override { return true; }
    void Free() override {}
    bool Send(const char* data, int length) override;
    void SetRecvCallback(IPCRecvCallback callback) override;
    void SetConnectCallback(IPCConnectCallback callback) override;
    bool IsConnected() override;
    int GetCmdLine(char* buffer, int size) override;
    void SetOwnedRecvCallback(OwnedRecvCallback callback) override;
    bool SendFramedBytes(std::string& bytes) override;

    uint32_t Ipcid() const { return ipcid_; }
    CloseReason LastCloseReason() const { return close_reason_.load(); }

private:
    friend class IPCMgrImpl;

    // On the server thread, under the manager's lock.
    void SetConnection(ipc::CSocketFd* connection, CloseReason ended = CloseReason::kNone);
    void DeliverFrame(const char* data, int length);
    void DeliverOwnedFrame(ipc::FrameBytes&& frame);
    void DeliverConnect(bool connected);

    IPCMgrImpl* const manager_;
    // Guarded by the manager's lock, under which they are also called.
    std::shared_ptr<const IPCRecvCallback> recv_callback_;
    std::shared_ptr<const OwnedRecvCallback> owned_recv_callback_;
    std::shared_ptr<const IPCConnectCallback> connect_callback_;
    // Guards connection_ and serialises senders.
    std::recursive_mutex lock_;
    ipc::CSocketFd* connection_ = nullptr;
    std::atomic<CloseReason> close_reason_{CloseReason::kNone};
    const uint32_t ipcid_;
    const int port_;
};

// The child's end. Its connection thread runs the callbacks and writes what
// Send queued; install the callbacks before Init. Send may be called from any
// thread (frames never interleave) and returns false at once while there is
// no connection; Free and DestroyClient must not be called from the
// endpoint's callbacks.
class IPCClientImpl final : public IIPCClient, public IFramedEndpoint, private ipc::CSocketFd::ISocketEvent {
public:
    IPCClientImpl() = default;
    ~IPCClientImpl() override;

    bool Init() override;
    void Free() override;
    bool Send(const char* data, int length) override;
    void SetRecvCallback(IPCRecvCallback callback) override;
    void SetConnectCallback(IPCConnectCallback callback) override;
    bool IsConnected() override;
    void SetOwnedRecvCallback(OwnedRecvCallback callback) override;
    bool SendFramedBytes(std::string& bytes) override;

    CloseReason LastCloseReason() const { return close_reason_.load(); }

private:
    void ConnectionThread();
    void NotifyConnect(bool connected);

    int OnAccept(ipc::CSocketFd*) override { return 0; }
    int OnClose(ipc::CSocketFd*) override { return 0; }
    int OnRecv(ipc::CSocketFd* connection, const char* data, int length) override;
    int OnRecvOwned(ipc::CSocketFd* connection, ipc::FrameBytes&& frame) override;
    struct RecvCallbacks {
        std::shared_ptr<const IPCRecvCallback> plain;
        std::shared_ptr<const OwnedRecvCallback> owned;
    };
    // Notes that a frame came and copies the callbacks out of their lock.
    RecvCallbacks TakeRecvCallbacks();

    ipc::CSocketFd socket_;
    std::thread thread_;
    std::atomic<bool> running_{true};
    std::atomic<bool> connected_{false};
    std::atomic<CloseReason> close_reason_{CloseReason::kNone};
    // Whether a frame came on the current connection.
    std::atomic<bool> received_frame_{false};
    std::mutex callback_mutex_;
    std::shared_ptr<const IPCRecvCallback> recv_callback_;
    std::shared_ptr<const OwnedRecvCallback> owned_recv_callback_;
    std::shared_ptr<const IPCConnectCallback> connect_callback_;
};

class IPCMgrImpl final : public IIPCMgr, private ipc::CSocketFd::ISocketEvent {
public:
    // Children served at once, at most.
    static constexpr int kMaxConnections = 1000;
    // What one child costs its parent in descriptors: the connection and the
    // two pidfds of its process handle.
    static constexpr int kDescriptorsPerConnection = 3;
    // Descriptors left for the rest of the process.
    static constexpr int kReservedDescriptors = 128;
    // The connections the descriptor limit allows now, at most kMaxConnections.
    static int ConnectionLimitFromDescriptors();
    // Replaces the limit of servers started from now on; 0 restores it.
    static void SetConnectionLimitForTesting(int limit);

    IPCMgrImpl();
    ~IPCMgrImpl() override;

    bool Init() override;
    void Free() override;
    IIPCHost* CreateHost() override;
    IIPCClient* CreateClient() override;
    void DestroyHost(IIPCHost* host) override;
    void DestroyClient(IIPCClient* client) override;

    int PortForTesting() const { return port_.load(); }
    // The limit of the running server (0 before it started).
    int ConnectionLimit() const { return connection_limit_.load(); }
    size_t ConnectionCountForTesting();
    // Connections closed at accept because another user owned them.
    size_t ForeignRefusedForTesting();

private:
    friend class IPCHostImpl;

    struct HostEntry {
        IPCHostImpl* host;
        ipc::CSocketFd* connection;
    };

    void ServerThread();
    uint32_t NewIpcid();
    HostEntry* FindByConnection(ipc::CSocketFd* connection);

    int OnAccept(ipc::CSocketFd* connection) override;
    int OnClose(ipc::CSocketFd* connection) override;
    int OnRecv(ipc::CSocketFd* connection, const char* data, int length) override;
    int OnRecvOwned(ipc::CSocketFd* connection, ipc::FrameBytes&& frame) override;
    bool OnHandshake(ipc::CSocketFd* connection, uint32_t id) override;
    void OnRefusedAtCapacity(ipc::CSocketFd* connection, uint32_t id) override;

    std::thread server_thread_;
    std::unique_ptr<ipc::CSocketServerFd> server_;
    std::vector<HostEntry> hosts_;
    // Every endpoint not yet destroyed, bound or not: ids stay unique among them.
    std::vector<IPCHostImpl*> live_hosts_;
    std::recursive_mutex lock_;
    // Serialises the start of the server thread and Free.
    std::mutex start_mutex_;
    bool freed_ = false;
    ThreadEvent ready_{true};
    std::atomic<int> port_{0};
    std::atomic<int> connection_limit_{0};
};

}  // namespace Application
