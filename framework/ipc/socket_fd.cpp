#include "framework/ipc/socket_fd.h"

#include <algorithm>
#include <climits>

#include "tools/monotonic_clock.h"

namespace Application::ipc {

namespace {

// Receives taken from one ready connection before going back to poll: enough
// to drain a burst, few enough that one busy peer cannot starve the others.
constexpr int kReceivesPerWakeup = 4;

std::atomic<int> g_send_stall_ms_for_testing{0};

int SendStallMs() {
    const int ms = g_send_stall_ms_for_testing.load(std::memory_order_relaxed);
    return ms > 0 ? ms : CSocketFd::kSendStallMs;
}

int64_t NowMs() { return Tools::detail::MonotonicMs(); }

// A poll timeout that ends at deadline (INT64_MAX: none, wait without limit).
int PollTimeoutUntil(int64_t deadline, int64_t now) {
    if (deadline == INT64_MAX) return -1;
    return static_cast<int>(std::clamp<int64_t>(deadline - now, 0, INT_MAX));
}

class HandlerSink final : public FrameSink {
public:
    HandlerSink(CSocketFd::ISocketEvent* handler, CSocketFd* connection)
        : handler_(handler), connection_(connection) {}
    bool OnHandshake(uint32_t id) override { return handler_->OnHandshake(connection_, id); }
    bool OnFrame(const char* data, int length) override {
        handler_->OnRecv(connection_, data, length);
        return true;
    }
    bool OnOwnedFrame(FrameBytes&& frame) override {
        handler_->OnRecvOwned(connection_, std::move(frame));
        return true;
    }

private:
    CSocketFd::ISocketEvent* handler_;
    CSocketFd* connection_;
};

}  // namespace

const char* CloseReasonText(CloseReason reason) {
    switch (reason) {
        case CloseReason::kNone:
            return "open";
        case CloseReason::kPeerClosed:
            return "closed by the peer";
        case CloseReason::kError:
            return "socket error";
        case CloseReason::kSendStalled:
            return "peer stopped taking its bytes";
        case CloseReason::kSendQueueFull:
            return "send queue full";
        case CloseReason::kProtocolError:
            return "protocol error";
        case CloseReason::kClosedLocally:
            return "closed by this side";
        case CloseReason::kRefused:
            return "refused";
    }
    return "unknown";
}

void CSocketFd::SetSendStallMsForTesting(int ms) {
    g_send_stall_ms_for_testing.store(ms, std::memory_order_relaxed);
}

CSocketFd::CSocketEventDef* CSocketFd::CSocketEventDef::Instance() {
    static CSocketEventDef instance;
    return &instance;
}

CSocketFd::CSocketFd() : wake_(std::make_unique<WakeEvent>()), loop_wake_(wake_.get()) {}

CSocketFd::CSocketFd(AcceptedTag, int fd, bool expect_handshake, WakeEvent* loop_wake)
    : fd_(fd), reader_(std::make_unique<FrameReader>(expect_handshake)), loop_wake_(loop_wake) {
    connected_.store(true, std::memory_order_release);
}

CSocketFd::~CSocketFd() = default;

int CSocketFd::Create() {
    if (fd_.valid()) return fd_.get();
    const int fd = sys::TcpSocket();
    if (fd < 0) return -1;
    std::lock_guard<std::mutex> guard(state_mutex_);
    fd_.reset(fd);
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
    // A new connection: what ended the last one no longer applies.
    close_requested_.store(false, std::memory_order_release);
    close_reason_.store(CloseReason::kNone, std::memory_order_release);
    port_ = port;
    const int result = sys::Connect(fd_.get(), ip, port);
    if (result == 0) {
        sys::SetNoDelay(fd_.get());
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
    if (!fd_.valid()) return 0;
    if (IsConnected()) return 1;
    return WaitConnected(timeout_ms);
}

int CSocketFd::WaitConnected(int timeout_ms) {
    const int64_t deadline = NowMs() + std::max(timeout_ms, 0);
    while (true) {
        sys::PollEntry entries[2] = {{fd_.get(), sys::kPollOut, 0}, {wake_ ? wake_->Fd() : -1, sys::kPollIn, 0}};
        const int64_t left = std::max<int64_t>(deadline - NowMs(), 0);
        const int polled = sys::Poll(entries, 2, static_cast<int>(left));
        if (polled < 0) {
            Close();
            return polled;
        }
        if (!IsRunning()) return 0;
        if (entries[1].got != 0) wake_->Drain();
        if (entries[0].got == 0) {
            if (left == 0) return 0;
            continue;
        }
        const int error = sys::PendingError(fd_.get());
        if (error != 0) {
            Close();
            return error;
        }
        if (sys::PeerConnected(fd_.get()) != 0) return 0;
        sys::SetNoDelay(fd_.get());
        connected_.store(true, std::memory_order_release);
        return 1;
    }
}

int CSocketFd::Close() {
    std::lock_guard<std::mutex> send_guard(send_mutex_);
    std::lock_guard<std::mutex> guard(state_mutex_);
    if (connected_.load(std::memory_order_acquire)) NoteCloseReason(CloseReason::kClosedLocally);
    connected_.store(false, std::memory_order_release);
    fd_.reset();
    port_ = -1;
    // Bytes for a peer that is gone are worth nothing.
    queued_.clear();
    front_written_ = 0;
    queued_bytes_ = 0;
    has_queued_.store(false, std::memory_order_release);
    return -1;
}

void CSocketFd::Interrupt() {
    std::lock_guard<std::mutex> guard(state_mutex_);
    running_.store(false, std::memory_order_release);
    if (fd_.valid()) sys::Shutdown(fd_.get());
    if (wake_) wake_->Signal();
}

void CSocketFd::NoteCloseReason(CloseReason reason) {
    CloseReason none = CloseReason::kNone;
    close_reason_.compare_exchange_strong(none, reason, std::memory_order_acq_rel);
}

bool CSocketFd::Queue(sys::ConstBuffer* buffers, size_t count) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += buffers[i].size;
    bool wake_loop = false;
    CloseReason cut = CloseReason::kNone;
    {
        std::lock_guard<std::mutex> guard(send_mutex_);
        if (!IsConnected() || !fd_.valid()) return false;
        size_t written = 0;
        if (queued_.empty()) {
            // Nothing is ahead of these bytes: the kernel may take them
            // straight from the caller's memory.
            const long sent = sys::SendV(fd_.get(), buffers, count);
            if (sent > 0) {
                written = static_cast<size_t>(sent);
            } else if (sent < 0 && !sys::IsWouldBlock(static_cast<int>(sent))) {
                cut = CloseReason::kError;
            }
        }
        if (cut == CloseReason::kNone && written < total) {
            const size_t rest = total - written;
            // What waits ahead is measured, so one frame of the largest size
            // always fits behind a few small ones (at most the limit plus
            // one frame is held).
            if (queued_bytes_ >= kMaxQueuedSendBytes) {
                // Also when part of the frame went out: the stream is torn then anyway.
                cut = CloseReason::kSendQueueFull;
            } else {
                std::string chunk;
                chunk.reserve(rest);
                size_t skip = written;
                for (size_t i = 0; i < count; ++i) {
                    const size_t size = buffers[i].size;
                    if (skip >= size) {
                        skip -= size;
                        continue;
                    }
                    chunk.append(static_cast<const char*>(buffers[i].data) + skip, size - skip);
                    skip = 0;
                }
                if (queued_.empty()) {
                    last_progress_ms_ = NowMs();
                    wake_loop = true;
                }
                queued_.push_back(std::move(chunk));
                queued_bytes_ += rest;
                has_queued_.store(true, std::memory_order_release);
            }
        }
    }
    return AfterQueueing(cut, wake_loop);
}

bool CSocketFd::AfterQueueing(CloseReason cut, bool wake_loop) {
    if (cut != CloseReason::kNone) {
        RequestCut(cut);
        return false;
    }
    if (wake_loop && loop_wake_) loop_wake_->Signal();
    return true;
}

void CSocketFd::RequestCut(CloseReason cut) {
    // The loop that serves the socket closes it and reports the end.
    NoteCloseReason(cut);
    close_requested_.store(true, std::memory_order_release);
    if (loop_wake_) loop_wake_->Signal();
}

bool CSocketFd::QueueOwned(std::string& bytes) {
    if (bytes.empty()) return IsConnected();
    std::string taken;
    bool wake_loop = false;
    CloseReason cut = CloseReason::kNone;
    {
        std::lock_guard<std::mutex> guard(send_mutex_);
        if (!IsConnected() || !fd_.valid()) return false;
        taken.swap(bytes);
        size_t written = 0;
        if (queued_.empty()) {
            const sys::ConstBuffer buffer{taken.data(), taken.size()};
            const long sent = sys::SendV(fd_.get(), &buffer, 1);
            if (sent > 0) {
                written = static_cast<size_t>(sent);
            } else if (sent < 0 && !sys::IsWouldBlock(static_cast<int>(sent))) {
                cut = CloseReason::kError;
            }
        }
        if (cut == CloseReason::kNone && written == taken.size()) {
            // All gone: the storage goes back to the caller for its next bytes.
            taken.clear();
            bytes.swap(taken);
        } else if (cut == CloseReason::kNone) {
            if (queued_bytes_ >= kMaxQueuedSendBytes) {
                cut = CloseReason::kSendQueueFull;
            } else {
                // Only an empty queue lets bytes out at once, so these are its front then.
                if (queued_.empty()) {
                    front_written_ = written;
                    last_progress_ms_ = NowMs();
                    wake_loop = true;
                }
                queued_bytes_ += taken.size() - written;
                queued_.push_back(std::move(taken));
                has_queued_.store(true, std::memory_order_release);
            }
        }
    }
    return AfterQueueing(cut, wake_loop);
}

bool CSocketFd::SendBytes(std::string& bytes) { return QueueOwned(bytes); }

bool CSocketFd::FlushQueued(int64_t now_ms) {
    std::lock_guard<std::mutex> guard(send_mutex_);
    while (!queued_.empty() && fd_.valid()) {
        sys::ConstBuffer buffers[sys::kMaxSendBuffers];
        size_t count = 0;
        for (auto it = queued_.begin(); it != queued_.end() && count < sys::kMaxSendBuffers; ++it, ++count) {
            const size_t offset = count == 0 ? front_written_ : 0;
            buffers[count] = {it->data() + offset, it->size() - offset};
        }
        const long sent = sys::SendV(fd_.get(), buffers, count);
        if (sent < 0) {
            if (sys::IsWouldBlock(static_cast<int>(sent))) break;
            return false;
        }
        if (sent == 0) break;
        last_progress_ms_ = now_ms;
        size_t left = static_cast<size_t>(sent);
        queued_bytes_ -= left;
        while (left > 0) {
            const size_t rest = queued_.front().size() - front_written_;
            if (left < rest) {
                front_written_ += left;
                break;
            }
            left -= rest;
            queued_.pop_front();
            front_written_ = 0;
        }
    }
    has_queued_.store(!queued_.empty(), std::memory_order_release);
    return true;
}

int64_t CSocketFd::StallDeadline() {
    std::lock_guard<std::mutex> guard(send_mutex_);
    if (queued_.empty()) return INT64_MAX;
    return last_progress_ms_ + SendStallMs();
}

size_t CSocketFd::QueuedBytes() {
    std::lock_guard<std::mutex> guard(send_mutex_);
    return queued_bytes_;
}

int CSocketFd::SendAll(const char* data, int length) {
    if (length < 0 || (!data && length > 0)) return -1;
    if (length == 0) return 0;
    sys::ConstBuffer buffer{data, static_cast<size_t>(length)};
    return Queue(&buffer, 1) ? length : -1;
}

bool CSocketFd::SendFrame(const char* data, int length) {
    // The peer would refuse a longer frame and drop the connection.
    if (length < 0 || length > FrameReader::kMaxFrameLength || (!data && length > 0)) return false;
    char prefix[FrameReader::kLengthSize];
    StoreLe32(prefix, static_cast<uint32_t>(length));
    sys::ConstBuffer buffers[2] = {{prefix, sizeof prefix}, {data, static_cast<size_t>(length)}};
    return Queue(buffers, length > 0 ? 2 : 1);
}

int CSocketFd::RecvAll(char* buffer, int length) {
    if (length < 0 || (!buffer && length > 0)) return -1;
    int have = 0;
    while (have < length) {
        const long got = sys::Recv(fd_.get(), buffer + have, static_cast<size_t>(length - have));
        if (got > 0) {
            have += static_cast<int>(got);
            continue;
        }
        if (got == 0) return 0;
        if (!sys::IsWouldBlock(static_cast<int>(got))) return static_cast<int>(got);
        // No loop serves this socket: what is queued goes out while waiting.
        const bool want_write = WantsWrite();
        sys::PollEntry entries[2] = {{fd_.get(), sys::kPollIn | (want_write ? sys::kPollOut : 0u), 0},
                                     {wake_ ? wake_->Fd() : -1, sys::kPollIn, 0}};
        const int polled = sys::Poll(entries, 2, -1);
        if (polled < 0) return polled;
        if (!IsRunning()) return -1;
        if (entries[1].got != 0) wake_->Drain();
        if ((entries[0].got & sys::kPollOut) && !FlushQueued(NowMs())) return -1;
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
    const long got = sys::Recv(fd_.get(), space, room);
    if (got <= 0) return got;
    if (reader_->Commit(static_cast<size_t>(got), sink) != FrameReader::Result::kOk) *protocol_error = true;
    return got;
}

int CSocketFd::Run(ISocketEvent* handler, bool loop) {
    if (!handler) handler = CSocketEventDef::Instance();
    if (!fd_.valid() || !reader_) return 0;
    int ended = 1;
    do {
        // A sender found the queue over its limit (or the socket broken).
        if (CloseRequested()) {
            ended = -1;
            break;
        }
        int64_t now = NowMs();
        const bool want_write = WantsWrite();
        int timeout = PollTimeoutUntil(want_write ? StallDeadline() : INT64_MAX, now);
        if (!loop) timeout = timeout < 0 ? 100 : std::min(timeout, 100);
        sys::PollEntry entries[2] = {{fd_.get(), sys::kPollIn | (want_write ? sys::kPollOut : 0u), 0},
                                     {wake_ ? wake_->Fd() : -1, sys::kPollIn, 0}};
        const int polled = sys::Poll(entries, 2, timeout);
        if (polled < 0) {
            NoteCloseReason(CloseReason::kError);
            ended = polled;
            break;
        }
        if (!IsRunning()) {
            NoteCloseReason(CloseReason::kClosedLocally);
            ended = 0;
            break;
        }
        if (entries[1].got != 0) wake_->Drain();
        now = NowMs();
        if (entries[0].got & (sys::kPollIn | sys::kPollFailed)) {
            for (int i = 0; i < kReceivesPerWakeup && ended > 0; ++i) {
                bool protocol_error = false;
                const long got = ReceiveAndFrame(handler, &protocol_error);
                if (protocol_error) {
                    NoteCloseReason(CloseReason::kProtocolError);
                    ended = -1;
                } else if (got == 0) {
                    NoteCloseReason(CloseReason::kPeerClosed);
                    ended = 0;
                } else if (got < 0) {
                    if (sys::IsWouldBlock(static_cast<int>(got))) break;
                    NoteCloseReason(CloseReason::kError);
                    ended = static_cast<int>(got);
                }
            }
        }
        if (ended > 0 && (entries[0].got & sys::kPollOut) && !FlushQueued(now)) {
            NoteCloseReason(CloseReason::kError);
            ended = -1;
        }
        if (ended > 0 && now >= StallDeadline()) {
            NoteCloseReason(CloseReason::kSendStalled);
            ended = -1;
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
        if (server_->identified_ + 2 >= static_cast<size_t>(std::max(server_->max_clients_, 2))) {
            client_->socket->NoteCloseReason(CloseReason::kRefused);
            handler_->OnRefusedAtCapacity(client_->socket.get(), id);
            return false;
        }
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
    bool OnOwnedFrame(FrameBytes&& frame) override {
        handler_->OnRecvOwned(client_->socket.get(), std::move(frame));
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
    if (fd_.valid()) return -1;
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
    const int listened = sys::BindAndListen(fd_.get(), "127.0.0.1", port);
    if (listened < 0) {
        Close();
        return listened;
    }
    const int bound = sys::LocalPort(fd_.get());
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
        const int fd = sys::Accept(fd_.get());
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
        // The port is open to every local user, and the endpoint id travels
        // in the child's command line, which every local user can read. So
        // a connection from another user's socket is closed before a byte
        // of it is read; it never takes a place among the pending handshakes
        // or in the table, so no flood of them can crowd out the real child.
        // A socket whose owner the kernel cannot name is refused as well
        // (fail closed): the only honest peer is the child this user
        // started, which holds its socket open. A process of this same user
        // that is not the started child is out of scope: it could read the
        // child's memory anyway.
        if (same_user_only_ && sys::PeerIsSameUser(fd) != 1) {
            foreign_refused_.fetch_add(1);
            continue;
        }
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
        if (require_handshake_ && waiting >= kMaxPendingHandshakes && oldest_waiting) {
            oldest_waiting->socket->NoteCloseReason(CloseReason::kProtocolError);
            oldest_waiting->closing = true;
        }
        sys::SetNoDelay(fd);
        clients_.push_back(Client{std::unique_ptr<CSocketFd>(new CSocketFd(AcceptedTag{}, accepted.release(),
                                                                             require_handshake_, wake_.get())),
                                  require_handshake_ ? now + handshake_timeout_ms_ : 0, false, false});
        connection_count_.fetch_add(1);
        handler->OnAccept(clients_.back().socket.get());
    }
}

void CSocketServerFd::ServeClient(Client& client, unsigned ready, ISocketEvent* handler, int64_t now) {
    CSocketFd& socket = *client.socket;
    if (client.closing) return;
    // A sender found the queue over its limit (or the socket broken); the reason is noted.
    if (socket.CloseRequested()) {
        client.closing = true;
        return;
    }
    if (ready & (sys::kPollIn | sys::kPollFailed)) {
        for (int step = 0; step < kReceivesPerWakeup; ++step) {
            ClientSink sink(this, &client, handler);
            size_t room = 0;
            char* space = socket.reader_->WriteSpace(&room);
            if (!space) {
                socket.NoteCloseReason(CloseReason::kProtocolError);
                client.closing = true;
                return;
            }
            const long got = sys::Recv(socket.Descriptor(), space, room);
            if (got < 0 && sys::IsWouldBlock(static_cast<int>(got))) break;
            if (got <= 0) {
                socket.NoteCloseReason(got == 0 ? CloseReason::kPeerClosed : CloseReason::kError);
                client.closing = true;
                return;
            }
            if (socket.reader_->Commit(static_cast<size_t>(got), sink) != FrameReader::Result::kOk) {
                socket.NoteCloseReason(CloseReason::kProtocolError);
                client.closing = true;
                return;
            }
            if (static_cast<size_t>(got) < room) break;
        }
    }
    if ((ready & sys::kPollOut) && !socket.FlushQueued(now)) {
        socket.NoteCloseReason(CloseReason::kError);
        client.closing = true;
    }
}

void CSocketServerFd::CloseClient(Client& client) {
    if (client.identified) --identified_;
    client.socket->Close();
    connection_count_.fetch_sub(1);
}

int CSocketServerFd::ServerRun(ISocketEvent* handler) {
    if (!handler) handler = CSocketEventDef::Instance();
    if (!fd_.valid()) return 0;
    std::vector<sys::PollEntry> entries;
    while (IsRunning()) {
        int64_t now = NowMs();
        const bool accepting = now >= accept_paused_until_ms_;
        int64_t wait_until = accepting ? INT64_MAX : accept_paused_until_ms_;
        entries.clear();
        entries.push_back({wake_->Fd(), sys::kPollIn, 0});
        entries.push_back({accepting ? fd_.get() : -1, sys::kPollIn, 0});
        for (const Client& client : clients_) {
            const bool want_write = client.socket->WantsWrite();
            entries.push_back({client.socket->Descriptor(), sys::kPollIn | (want_write ? sys::kPollOut : 0u), 0});
            if (client.handshake_deadline_ms != 0) wait_until = std::min(wait_until, client.handshake_deadline_ms);
            if (want_write) wait_until = std::min(wait_until, client.socket->StallDeadline());
        }
        if (sys::Poll(entries.data(), entries.size(), PollTimeoutUntil(wait_until, now)) < 0) break;
        if (!IsRunning()) break;
        // Before the queues are looked at again, so no sender's wake-up is lost.
        if (entries[0].got != 0) wake_->Drain();
        now = NowMs();

        // Only the clients polled above; the accept pass appends new ones.
        const size_t polled = clients_.size();
        for (size_t i = 0; i < polled; ++i) ServeClient(clients_[i], entries[i + 2].got, handler, now);
        if (entries[1].got != 0) AcceptPass(handler, now);

        for (Client& client : clients_) {
            if (client.closing) continue;
            CSocketFd& socket = *client.socket;
            if (client.handshake_deadline_ms != 0 && now >= client.handshake_deadline_ms) {
                socket.NoteCloseReason(CloseReason::kProtocolError);
                client.closing = true;
            } else if (socket.CloseRequested()) {
                client.closing = true;
            } else if (socket.WantsWrite() && now >= socket.StallDeadline()) {
                socket.NoteCloseReason(CloseReason::kSendStalled);
                client.closing = true;
            }
        }
        for (Client& client : clients_) {
            if (client.closing) handler->OnClose(client.socket.get());
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
        client.socket->NoteCloseReason(CloseReason::kClosedLocally);
        handler->OnClose(client.socket.get());
    }
    for (Client& client : clients_) CloseClient(client);
    clients_.clear();
    Close();
}

}  // namespace Application::ipc
