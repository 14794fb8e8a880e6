#include "framework/ipc/ipc_mgr.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "framework/core/application_impl.h"
#include "framework/core/cmdline_mgr.h"
#include "tools/os_process_p.h"

namespace Application {

namespace {

constexpr const char* kSwitchName = kIpcSwitchName;
constexpr char kLoopbackAddress[] = "127.0.0.1";
constexpr int kConnectAttempts = 3;
constexpr int kConnectTimeoutMs = 3000;

std::atomic<int> g_connection_limit_for_testing{0};

template <typename Callback>
std::shared_ptr<const Callback> Share(Callback callback) {
    if (!callback) return nullptr;
    return std::make_shared<const Callback>(std::move(callback));
}

}  // namespace

CloseReason LastCloseReason(IIPCClient* endpoint) {
    if (auto* host = dynamic_cast<IPCHostImpl*>(endpoint)) return host->LastCloseReason();
    if (auto* client = dynamic_cast<IPCClientImpl*>(endpoint)) return client->LastCloseReason();
    return CloseReason::kNone;
}

// ---- host endpoint ----

IPCHostImpl::IPCHostImpl(IPCMgrImpl* manager, uint32_t ipcid, int port)
    : manager_(manager), ipcid_(ipcid), port_(port) {}

bool IPCHostImpl::Send(const char* data, int length) {
    if (length < 0 || (!data && length > 0)) return false;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!connection_ || !connection_->IsConnected()) return false;
    return connection_->SendFrame(data, length);
}

void IPCHostImpl::SetRecvCallback(IPCRecvCallback callback) {
    auto shared = Share(std::move(callback));
    std::shared_ptr<const OwnedRecvCallback> none;
    std::lock_guard<std::recursive_mutex> guard(manager_->lock_);
    recv_callback_.swap(shared);
    owned_recv_callback_.swap(none);
}

void IPCHostImpl::SetOwnedRecvCallback(OwnedRecvCallback callback) {
    auto shared = Share(std::move(callback));
    std::shared_ptr<const IPCRecvCallback> none;
    std::lock_guard<std::recursive_mutex> guard(manager_->lock_);
    owned_recv_callback_.swap(shared);
    recv_callback_.swap(none);
}

bool IPCHostImpl::SendFramedBytes(std::string& bytes) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!connection_) return false;
    return connection_->SendBytes(bytes);
}

void IPCHostImpl::SetConnectCallback(IPCConnectCallback callback) {
    auto shared = Share(std::move(callback));
    std::lock_guard<std::recursive_mutex> guard(manager_->lock_);
    connect_callback_.swap(shared);
}

bool IPCHostImpl::IsConnected() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return connection_ && connection_->IsConnected();
}

int IPCHostImpl::GetCmdLine(char* buffer, int size) {
    const unsigned long ipcid = ipcid_;
    if (!buffer || size <= 0) return std::snprintf(nullptr, 0, "-%s=ipcid=%lu&ip=%s&port=%d", kSwitchName, ipcid,
                                                   kLoopbackAddress, port_);
    return std::snprintf(buffer, static_cast<size_t>(size), "-%s=ipcid=%lu&ip=%s&port=%d", kSwitchName, ipcid,
                         kLoopbackAddress, port_);
}

void IPCHostImpl::SetConnection(ipc::CSocketFd* connection, CloseReason ended) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    connection_ = connection;
    close_reason_.store(ended);
}

// The copies keep a callback alive even if it replaces itself or destroys
// this endpoint while it runs.
void IPCHostImpl::DeliverFrame(const char* data, int length) {
    if (const auto owned = owned_recv_callback_) {
        (*owned)(ipc::FrameBytes::Copy(data, static_cast<size_t>(length)));
        return;
    }
    const auto callback = recv_callback_;
    if (callback) (*callback)(data, length);
}

void IPCHostImpl::DeliverOwnedFrame(ipc::FrameBytes&& frame) {
    if (const auto owned = owned_recv_callback_) {
        (*owned)(std::move(frame));
        return;
    }
    const auto callback = recv_callback_;
    if (callback) (*callback)(frame.data(), static_cast<int>(frame.size()));
}

void IPCHostImpl::DeliverConnect(bool connected) {
    const auto callback = connect_callback_;
    if (callback) (*callback)(connected);
}

// ---- client endpoint ----

IPCClientImpl::~IPCClientImpl() { Free(); }

bool IPCClientImpl::Init() {
    if (thread_.joinable()) return true;
    running_.store(true);
    try {
        thread_ = std::thread(&IPCClientImpl::ConnectionThread, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void IPCClientImpl::Free() {
    running_.store(false);
    socket_.Interrupt();
    if (thread_.joinable()) thread_.join();
}

// Never waits, not even for a connection still being set up: the caller
// learns of the connection from the connect callback.
bool IPCClientImpl::Send(const char* data, int length) {
    if (length < 0 || (!data && length > 0)) return false;
    if (!connected_.load()) return false;
    return socket_.SendFrame(data, length);
}

void IPCClientImpl::SetRecvCallback(IPCRecvCallback callback) {
    auto shared = Share(std::move(callback));
    std::shared_ptr<const OwnedRecvCallback> none;
    std::lock_guard<std::mutex> guard(callback_mutex_);
    recv_callback_.swap(shared);
    owned_recv_callback_.swap(none);
}

void IPCClientImpl::SetOwnedRecvCallback(OwnedRecvCallback callback) {
    auto shared = Share(std::move(callback));
    std::shared_ptr<const IPCRecvCallback> none;
    std::lock_guard<std::mutex> guard(callback_mutex_);
    owned_recv_callback_.swap(shared);
    recv_callback_.swap(none);
}

bool IPCClientImpl::SendFramedBytes(std::string& bytes) {
    if (!connected_.load()) return false;
    return socket_.SendBytes(bytes);
}

void IPCClientImpl::SetConnectCallback(IPCConnectCallback callback) {
    auto shared = Share(std::move(callback));
    std::lock_guard<std::mutex> guard(callback_mutex_);
    connect_callback_.swap(shared);
}

bool IPCClientImpl::IsConnected() { return connected_.load() && socket_.IsConnected(); }

IPCClientImpl::RecvCallbacks IPCClientImpl::TakeRecvCallbacks() {
    received_frame_.store(true);
    std::lock_guard<std::mutex> guard(callback_mutex_);
    return {recv_callback_, owned_recv_callback_};
}

int IPCClientImpl::OnRecv(ipc::CSocketFd*, const char* data, int length) {
    const auto [callback, owned] = TakeRecvCallbacks();
    if (owned)
        (*owned)(ipc::FrameBytes::Copy(data, static_cast<size_t>(length)));
    else if (callback)
        (*callback)(data, length);
    return 0;
}

int IPCClientImpl::OnRecvOwned(ipc::CSocketFd*, ipc::FrameBytes&& frame) {
    const auto [callback, owned] = TakeRecvCallbacks();
    if (owned)
        (*owned)(std::move(frame));
    else if (callback)
        (*callback)(frame.data(), static_cast<int>(frame.size()));
    return 0;
}

void IPCClientImpl::NotifyConnect(bool connected) {
    std::shared_ptr<const IPCConnectCallback> callback;
    {
        std::lock_guard<std::mutex> guard(callback_mutex_);
        callback = connect_callback_;
    }
    if (callback) (*callback)(connected);
}

void IPCClientImpl::ConnectionThread() {
    CmdLineMgrT* command_line = ProcessCmdLineMgr();
    if (!command_line->Has(kSwitchName) || !running_.load() || socket_.Create() < 0) {
        running_.store(false);
        return;
    }
    char value[1024] = {};
    command_line->GetValue(kSwitchName, value, sizeof value);
    unsigned long ipcid = 0;
    char ip[20] = {};
    int port = 0;
    const bool parsed = std::sscanf(value, "ipcid=%lu&ip=%19[0-9.]&port=%d", &ipcid, ip, &port) == 3 &&
                        ipcid <= 0xFFFFFFFFul && port > 0 && port <= 65535;
    bool up = false;
    for (int attempt = 0; parsed && attempt < kConnectAttempts && running_.load(); ++attempt) {
        if (socket_.Connect(ip, port, kConnectTimeoutMs) == 1) {
            up = true;
            break;
        }
    }
    CloseReason ended = running_.load() ? CloseReason::kError : CloseReason::kClosedLocally;
    received_frame_.store(false);
    if (up && socket_.CheckConnect(0) == 1) {
        char handshake[ipc::FrameReader::kLengthSize];
        ipc::StoreLe32(handshake, static_cast<uint32_t>(ipcid));
        // Queued like any frame; the loop below writes it if the kernel did not take it at once.
        if (socket_.SendAll(handshake, sizeof handshake) == static_cast<int>(sizeof handshake)) {
            connected_.store(true);
            NotifyConnect(true);
            socket_.Run(this, true);
        }
        ended = socket_.GetCloseReason();
        if (ended == CloseReason::kNone) ended = CloseReason::kError;
        // The server closes a connection it keeps before anything is sent
        // on it only when it refuses it.
        if (ended == CloseReason::kPeerClosed && !received_frame_.load()) ended = CloseReason::kRefused;
    }
    connected_.store(false);
    close_reason_.store(ended);
    NotifyConnect(false);
    running_.store(false);
    socket_.Close();
}

// ---- manager ----

IPCMgrImpl::IPCMgrImpl() = default;

IPCMgrImpl::~IPCMgrImpl() { Free(); }

bool IPCMgrImpl::Init() {
    std::lock_guard<std::mutex> guard(start_mutex_);
    if (!server_) server_ = std::make_unique<ipc::CSocketServerFd>();
    freed_ = false;
    return true;
}

void IPCMgrImpl::Free() {
    {
        std::lock_guard<std::mutex> guard(start_mutex_);
        freed_ = true;
    }
    if (server_) {
        server_->Stop();
        if (server_thread_.joinable()) server_thread_.join();
        server_.reset();
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    hosts_.clear();
}

int IPCMgrImpl::ConnectionLimitFromDescriptors() {
    if (const int forced = g_connection_limit_for_testing.load(); forced > 0) return forced;
    const uint64_t descriptors = Tools::detail::DescriptorLimit();
    const uint64_t reserved = static_cast<uint64_t>(kReservedDescriptors);
    const uint64_t room = descriptors > reserved ? (descriptors - reserved) / kDescriptorsPerConnection : 0;
    return static_cast<int>(std::clamp<uint64_t>(room, 1, kMaxConnections));
}

void IPCMgrImpl::SetConnectionLimitForTesting(int limit) { g_connection_limit_for_testing.store(limit); }

void IPCMgrImpl::ServerThread() {
    const int limit = ConnectionLimitFromDescriptors();
    connection_limit_.store(limit);
    // The socket layer keeps two places of its table spare.
    const int port = server_->Listen(0, limit + 2);
    server_->RequireHandshake();
    server_->AcceptOnlySameUser();
    port_.store(port);
    ready_.Set();
    if (port > 0) server_->ServerRun(this);
}

IIPCHost* IPCMgrImpl::CreateHost() {
    {
        std::lock_guard<std::mutex> guard(start_mutex_);
        if (freed_ || !server_) return nullptr;
        if (!ready_.IsSet() && !server_thread_.joinable()) {
            try {
                server_thread_ = std::thread(&IPCMgrImpl::ServerThread, this);
            } catch (const std::system_error&) {
                return nullptr;
            }
        }
    }
    ready_.Wait();
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const uint32_t ipcid = NewIpcid();
    if (ipcid == 0) return nullptr;
    IPCHostImpl* host = LibraryNew<IPCHostImpl>(this, ipcid, port_.load());
    if (!host) return nullptr;
    hosts_.push_back(HostEntry{host, nullptr});
    live_hosts_.push_back(host);
    return host;
}

IIPCClient* IPCMgrImpl::CreateClient() { return LibraryNew<IPCClientImpl>(); }

void IPCMgrImpl::DestroyHost(IIPCHost* host) {
    if (!host) return;
    IPCHostImpl* impl = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        auto live = std::find(live_hosts_.begin(), live_hosts_.end(), host);
        if (live == live_hosts_.end()) return;
        impl = *live;
        live_hosts_.erase(live);
        hosts_.erase(std::remove_if(hosts_.begin(), hosts_.end(), [impl](const HostEntry& e) { return e.host == impl; }),
                     hosts_.end());
    }
    impl->Free();
    LibraryDelete(impl);
}

void IPCMgrImpl::DestroyClient(IIPCClient* client) {
    if (!client) return;
    auto* impl = static_cast<IPCClientImpl*>(client);
    impl->Free();
    LibraryDelete(impl);
}

size_t IPCMgrImpl::ConnectionCountForTesting() {
    std::lock_guard<std::mutex> guard(start_mutex_);
    return server_ ? server_->ConnectionCountForTesting() : 0;
}

size_t IPCMgrImpl::ForeignRefusedForTesting() {
    std::lock_guard<std::mutex> guard(start_mutex_);
    return server_ ? server_->ForeignRefusedForTesting() : 0;
}

// Random, so that an id neither reveals an address nor can be guessed by
// another local process; under lock_.
uint32_t IPCMgrImpl::NewIpcid() {
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint32_t id = 0;
        if (!ipc::sys::RandomBytes(&id, sizeof id)) return 0;
        if (id == 0) continue;
        const bool taken =
            std::any_of(live_hosts_.begin(), live_hosts_.end(), [id](const IPCHostImpl* h) { return h->ipcid_ == id; });
        if (!taken) return id;
    }
    return 0;
}

IPCMgrImpl::HostEntry* IPCMgrImpl::FindByConnection(ipc::CSocketFd* connection) {
    for (HostEntry& entry : hosts_) {
        if (entry.connection == connection) return &entry;
    }
    return nullptr;
}

int IPCMgrImpl::OnAccept(ipc::CSocketFd*) {
    // Nothing is known of a connection until its handshake arrives.
    return 0;
}

bool IPCMgrImpl::OnHandshake(ipc::CSocketFd* connection, uint32_t id) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (HostEntry& entry : hosts_) {
        if (entry.host->ipcid_ != id) continue;
        // A second connection for a bound endpoint is a replay: refused.
        if (entry.connection) return false;
        entry.connection = connection;
        IPCHostImpl* host = entry.host;
        host->SetConnection(connection);
        host->DeliverConnect(true);
        return true;
    }
    return false;
}

void IPCMgrImpl::OnRefusedAtCapacity(ipc::CSocketFd*, uint32_t id) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (HostEntry& entry : hosts_) {
        if (entry.host->ipcid_ != id || entry.connection) continue;
        IPCHostImpl* host = entry.host;
        // Nothing can bind it later: its child does not connect again.
        hosts_.erase(hosts_.begin() + (&entry - hosts_.data()));
        host->SetConnection(nullptr, CloseReason::kRefused);
        host->DeliverConnect(false);
        return;
    }
}

int IPCMgrImpl::OnRecv(ipc::CSocketFd* connection, const char* data, int length) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (HostEntry* entry = FindByConnection(connection)) entry->host->DeliverFrame(data, length);
    return 0;
}

int IPCMgrImpl::OnRecvOwned(ipc::CSocketFd* connection, ipc::FrameBytes&& frame) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (HostEntry* entry = FindByConnection(connection)) entry->host->DeliverOwnedFrame(std::move(frame));
    return 0;
}

int IPCMgrImpl::OnClose(ipc::CSocketFd* connection) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HostEntry* entry = FindByConnection(connection);
    if (!entry) return 0;
    IPCHostImpl* host = entry->host;
    hosts_.erase(hosts_.begin() + (entry - hosts_.data()));
    host->SetConnection(nullptr, connection->GetCloseReason());
    host->DeliverConnect(false);
    return 0;
}

}  // namespace Application
