#include "framework/ipc/socket_fd.h"

#include <algorithm>
#include <climits>

namespace Application::ipc {

namespace {

// Receives taken from one ready connection before going back to poll: enough
// to drain a burst, few enough that one busy peer cannot starve the others.
constexpr int kReceivesPerWakeup = 4;

class HandlerSink final : public FrameSink {
public:
    HandlerSink(CSocketFd::ISocketEvent* handler, CSocketFd* connection)
        : handler_(handler), connection_(connection) {}
    bool OnHandshake(uint32_t id) override { return handler_->OnHandshake(connection_, id); }
    bool OnFrame(const char* data, int length) override {
        handler_->OnRecv(connection_, data, length);
        return true;
    }

private:
    CSocketFd::ISocketEvent* handler_;
    CSocketFd* connection_;
};

}  // namespace

CSocketFd::CSocketEventDef* CSocketFd::CSocketEventDef::Instance() {
    static CSocketEventDef instance;
    return &instance;
}

CSocketFd::CSocketFd() : wake_(std::make_unique<WakeEvent>()) {}

CSocketFd::CSocketFd(AcceptedTag, int fd, bool expect_handshake)
    : fd_(fd), reader_(std::make_unique<FrameReader>(expect_handshake)) {
    connected_.store(true, std::memory_order_release);
}

CSocketFd::~CSocketFd() = default;

int CSocketFd::Create() {
    if (fd_.Valid()) return fd_.Get();
    const int fd = sys::TcpSocket();
    if (fd < 0) return -1;
    std::lock_guard<std::mutex> guard(state_mutex_);
    fd_.Reset(fd);
    return fd;
}

int CSocketFd::Connect(const char* ip, int port, int timeout_ms) {
    if (!IsRunning()) return 0;
    if (Create() < 0) return -1;
    if (reader_) {
        reader_->Reset(false);
    } else {
        reader_ = std::make_unique<FrameReader>(false);
    }
    port_ = port;
    const int result = sys::Connect(fd_.Get(), ip, port);
    if (result == 0) {
        sys::SetNoDelay(fd_.Get());
        connected_.store(true, std::memory_order_release);
        return 1;
    }
    if (!sys::IsInProgress(result)) {
        Close();
        return result;
    }
    if (timeout_ms < 2) return 0;
    return WaitConnected(timeout_ms);
}

int CSocketFd::CheckConnect(int timeout_ms) {
    if (!fd_.Valid()) return 0;
    if (IsConnected()) return 1;
    return WaitConnected(timeout_ms);
}

int CSocketFd::WaitConnected(int timeout_ms) {
    const int64_t deadline = sys::MonotonicMs() + std::max(timeout_ms, 0);
    while (true) {
        sys::PollEntry entries[2] = {{fd_.Get(), sys::kPollOut, 0}, {wake_ ? wake_->Fd() : -1, sys::kPollIn, 0}};
        const int64_t left = std::max<int64_t>(deadline - sys::MonotonicMs(), 0);
        const int polled = sys::Poll(entries, 2, static_cast<int>(left));
        if (polled < 0) {
            Close();
            return polled;
        }
        if (!IsRunning()) return 0;
        if (entries[0].got == 0) {
            if (left == 0) return 0;
            continue;
        }
        const int error = sys::PendingError(fd_.Get());
        if (error != 0) {
            Close();
            return error;
        }
        if (sys::PeerConnected(fd_.Get()) != 0) return 0;
        sys::SetNoDelay(fd_.Get());
        connected_.store(true, std::memory_order_release);
        return 1;
    }
}

int CSocketFd::Close() {
    {
        std::lock_guard<std::mutex> guard(state_mutex_);
        connected_.store(false, std::memory_order_release);
        // Wakes a sender blocked on this socket, so the lock below is released soon.
        if (fd_.Valid()) sys::Shutdown(fd_.Get());
    }
    std::lock_guard<std::mutex> send_guard(send_mutex_);
    std::lock_guard<std::mutex> guard(state_mutex_);
    fd_.Reset();
    port_ = -1;
    return -1;
}

void CSocketFd::Interrupt() {
    std::lock_guard<std::mutex> guard(state_mutex_);
    running_.store(false, std::memory_order_release);
    if (fd_.Valid()) sys::Shutdown(fd_.Get());
    if (wake_) wake_->Signal();
}

bool CSocketFd::SendBuffers(sys::ConstBuffer* buffers, size_t count) {
    if (!IsConnected()) return false;
    const int fd = fd_.Get();
    bool partly_sent = false;
    while (count > 0) {
        const long sent = sys::SendV(fd, buffers, count);
        if (sent > 0) {
            partly_sent = true;
            size_t left = static_cast<size_t>(sent);
            while (count > 0 && left >= buffers->size) {
                left -= buffers->size;
                ++buffers;
                --count;
            }
            if (count > 0) {
                buffers->data = static_cast<const char*>(buffers->data) + left;
                buffers->size -= left;
            }
            continue;
        }
        if (sent == 0 || !sys::IsWouldBlock(static_cast<int>(sent))) return false;
        // The socket is full: wait until the peer takes bytes again.
        sys::PollEntry entry{fd, sys::kPollOut, 0};
        const int polled = sys::Poll(&entry, 1, send_stall_ms_);
        if (polled < 0) return false;
        if (polled == 0) {
            // A half-written frame would desynchronise the stream: end the connection.
            if (partly_sent) sys::Shutdown(fd);
            return false;
        }
    }
    return true;
}

int CSocketFd::SendAll(const char* data, int length) {
    if (length < 0 || (!data && length > 0)) return -1;
    if (length == 0) return 0;
    sys::ConstBuffer buffer{data, static_cast<size_t>(length)};
    std::lock_guard<std::mutex> guard(send_mutex_);
    return SendBuffers(&buffer, 1) ? length : -1;
}

bool CSocketFd::SendFrame(const char* data, int length) {
    if (length < 0 || (!data && length > 0)) return false;
    char prefix[FrameReader::kLengthSize];
    StoreLe32(prefix, static_cast<uint32_t>(length));
    sys::ConstBuffer buffers[2] = {{prefix, sizeof prefix}, {data, static_cast<size_t>(length)}};
    std::lock_guard<std::mutex> guard(send_mutex_);
    return SendBuffers(buffers, length > 0 ? 2 : 1);
}

int CSocketFd::RecvAll(char* buffer, int length) {
    if (length < 0 || (!buffer && length > 0)) return -1;
    int have = 0;
    while (have < length) {
        const long got = sys::Recv(fd_.Get(), buffer + have, static_cast<size_t>(length - have));
        if (got > 0) {
            have += static_cast<int>(got);
            continue;
        }
        if (got == 0) return 0;
        if (!sys::IsWouldBlock(static_cast<int>(got))) return static_cast<int>(got);
        sys::PollEntry entries[2] = {{fd_.Get(), sys::kPollIn, 0}, {wake_ ? wake_->Fd() : -1, sys::kPollIn, 0}};
        const int polled = sys::Poll(entries, 2, -1);
        if (polled < 0) return polled;
        if (!IsRunning()) return -1;
    }
    return length;
}

long CSocketFd::ReceiveAndFrame(ISocketEvent* handler, bool* protocol_error) {
    HandlerSink sink(handler, this);
    size_t room = 0;
    char* space = reader_->WriteSpace(&room);
    if (!space) {
        *protocol_error = true;
        return -1;
    }
    const long got = sys::Recv(fd_.Get(), space, room);
    if (got <= 0) return got;
    if (reader_->Commit(static_cast<size_t>(got), sink) != FrameReader::Result::kOk) *protocol_error = true;
    return got;
}

int CSocketFd::Run(ISocketEvent* handler, bool loop) {
    if (!handler) handler = CSocketEventDef::Instance();
    if (!fd_.Valid() || !reader_) return 0;
    int ended = 1;
    do {
        sys::PollEntry entries[2] = {{fd_.Get(), sys::kPollIn, 0}, {wake_ ? wake_->Fd() : -1, sys::kPollIn, 0}};
        const int polled = sys::Poll(entries, 2, loop ? -1 : 100);
        if (polled < 0) {
            ended = polled;
            break;
        }
        if (!IsRunning()) {
            ended = 0;
            break;
        }
        if (entries[0].got == 0) continue;
        for (int i = 0; i < kReceivesPerWakeup && ended > 0; ++i) {
            bool protocol_error = false;
            const long got = ReceiveAndFrame(handler, &protocol_error);
            if (protocol_error) {
                ended = -1;
            } else if (got == 0) {
                ended = 0;
            } else if (got < 0) {
                if (sys::IsWouldBlock(static_cast<int>(got))) break;
                ended = static_cast<int>(got);
            }
        }
    } while (loop && ended > 0);
    if (ended > 0) return 1;
    Close();
    handler->OnClose(this);
    return ended;
}

class CSocketServerFd::ClientSink final : public FrameSink {
public:
    ClientSink(CSocketServerFd* server, Client* client, ISocketEvent* handler)
        : server_(server), client_(client), handler_(handler) {}

    bool OnHandshake(uint32_t id) override {
        if (server_->identified_ + 2 >= static_cast<size_t>(std::max(server_->max_clients_, 2))) return false;
        if (!handler_->OnHandshake(client_->socket.get(), id)) return false;
        client_->identified = true;
        client_->handshake_deadline_ms = 0;
        ++server_->identified_;
        return true;
    }

    bool OnFrame(const char* data, int length) override {
        handler_->OnRecv(client_->socket.get(), data, length);
        return true;
    }

private:
    CSocketServerFd* server_;
    Client* client_;
    ISocketEvent* handler_;
};

CSocketServerFd::CSocketServerFd() = default;

CSocketServerFd::~CSocketServerFd() {
    // Only after the loop has ended; closing what is left needs no events.
    clients_.clear();
}

int CSocketServerFd::Listen(int port, int max_clients) {
    if (fd_.Valid()) return -1;
    if (port != 0) {
        // Someone answering there means the port is taken.
        CSocketFd probe;
        const int probed = probe.Connect("127.0.0.1", port, 3000);
        probe.Close();
        if (probed == 1) return -1;
    }
    if (Create() < 0) {
        Close();
        return -1;
    }
    // Loopback only: the transport serves processes of this machine, never the network.
    const int listened = sys::BindAndListen(fd_.Get(), "127.0.0.1", port);
    if (listened < 0) {
        Close();
        return listened;
    }
    const int bound = sys::LocalPort(fd_.Get());
    if (bound <= 0) {
        Close();
        return bound < 0 ? bound : 0;
    }
    max_clients_ = max_clients;
    port_ = bound;
    return bound;
}

void CSocketServerFd::RequireHandshake(int timeout_ms) {
    require_handshake_ = true;
    handshake_timeout_ms_ = timeout_ms;
}

void CSocketServerFd::Stop() {
    running_.store(false, std::memory_order_release);
    if (wake_) wake_->Signal();
}

void CSocketServerFd::AcceptPass(ISocketEvent* handler, int64_t now) {
    // Bounded, so a flood of connections cannot hold up the read pass.
    for (int i = 0; i < 64 && IsRunning(); ++i) {
        const int fd = sys::Accept(fd_.Get());
        if (fd < 0) {
            if (sys::IsWouldBlock(fd)) return;
            if (sys::IsResourceShortage(fd)) {
                // The pending connection stays readable; retrying at once would spin.
                accept_paused_until_ms_ = now + kAcceptBackoffMs;
                return;
            }
            continue;
        }
        UniqueFd accepted(fd);
        size_t open = 0;
        size_t waiting = 0;
        Client* oldest_waiting = nullptr;
        for (Client& client : clients_) {
            if (client.closing) continue;
            ++open;
            if (client.handshake_deadline_ms == 0) continue;
            ++waiting;
            if (!oldest_waiting || client.handshake_deadline_ms < oldest_waiting->handshake_deadline_ms) {
                oldest_waiting = &client;
            }
        }
        if (!require_handshake_ && open + 2 >= static_cast<size_t>(std::max(max_clients_, 2))) continue;
        // Unidentified connections are capped; the oldest makes room, so a
        // flood cannot keep a real client from being heard.
        if (require_handshake_ && waiting >= kMaxPendingHandshakes && oldest_waiting) oldest_waiting->closing = true;
        sys::SetNoDelay(fd);
        clients_.push_back(Client{std::unique_ptr<CSocketFd>(new CSocketFd(AcceptedTag{}, accepted.Release(),
                                                                             require_handshake_)),
                                  require_handshake_ ? now + handshake_timeout_ms_ : 0, false, false});
        connection_count_.fetch_add(1);
        handler->OnAccept(clients_.back().socket.get());
    }
}

void CSocketServerFd::CloseClient(Client& client) {
    if (client.identified) --identified_;
    client.socket->Close();
    connection_count_.fetch_sub(1);
}

int CSocketServerFd::ServerRun(ISocketEvent* handler) {
    if (!handler) handler = CSocketEventDef::Instance();
    if (!fd_.Valid()) return 0;
    std::vector<sys::PollEntry> entries;
    while (IsRunning()) {
        int64_t now = sys::MonotonicMs();
        const bool accepting = now >= accept_paused_until_ms_;
        int64_t wait_until = accepting ? INT64_MAX : accept_paused_until_ms_;
        entries.clear();
        entries.push_back({wake_->Fd(), sys::kPollIn, 0});
        entries.push_back({accepting ? fd_.Get() : -1, sys::kPollIn, 0});
        for (const Client& client : clients_) {
            entries.push_back({client.socket->Descriptor(), sys::kPollIn, 0});
            if (client.handshake_deadline_ms != 0) wait_until = std::min(wait_until, client.handshake_deadline_ms);
        }
        const int timeout =
            wait_until == INT64_MAX ? -1 : static_cast<int>(std::clamp<int64_t>(wait_until - now, 0, INT_MAX));
        if (sys::Poll(entries.data(), entries.size(), timeout) < 0) break;
        if (!IsRunning()) break;
        now = sys::MonotonicMs();

        // Only the clients polled above; the accept pass appends new ones.
        const size_t polled = clients_.size();
        for (size_t i = 0; i < polled; ++i) {
            Client& client = clients_[i];
            if (client.closing || entries[i + 2].got == 0) continue;
            for (int step = 0; step < kReceivesPerWakeup; ++step) {
                ClientSink sink(this, &client, handler);
                size_t room = 0;
                char* space = client.socket->reader_->WriteSpace(&room);
                if (!space) {
                    client.closing = true;
                    break;
                }
                const long got = sys::Recv(client.socket->Descriptor(), space, room);
                if (got < 0 && sys::IsWouldBlock(static_cast<int>(got))) break;
                if (got <= 0 ||
                    client.socket->reader_->Commit(static_cast<size_t>(got), sink) != FrameReader::Result::kOk) {
                    client.closing = true;
                    break;
                }
                if (static_cast<size_t>(got) < room) break;
            }
        }
        if (entries[1].got != 0) AcceptPass(handler, now);
        if (entries[0].got != 0) wake_->Drain();

        for (Client& client : clients_) {
            if (client.handshake_deadline_ms != 0 && now >= client.handshake_deadline_ms) client.closing = true;
        }
        for (Client& client : clients_) {
            if (!client.closing) continue;
            // Wakes any sender still blocked on it before its owner is told.
            sys::Shutdown(client.socket->Descriptor());
            handler->OnClose(client.socket.get());
        }
        for (Client& client : clients_) {
            if (client.closing) CloseClient(client);
        }
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(), [](const Client& c) { return c.closing; }),
                       clients_.end());
    }
    running_.store(false, std::memory_order_release);
    CloseAll(handler);
    return 0;
}

void CSocketServerFd::CloseAll(ISocketEvent* handler) {
    for (Client& client : clients_) {
        sys::Shutdown(client.socket->Descriptor());
        handler->OnClose(client.socket.get());
    }
    for (Client& client : clients_) CloseClient(client);
    clients_.clear();
    Close();
}

}  // namespace Application::ipc
