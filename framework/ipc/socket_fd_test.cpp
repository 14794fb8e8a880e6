#include "framework/ipc/socket_fd.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/ipc/foreign_user_process.h"

namespace Application::ipc {
namespace {

using namespace std::chrono_literals;

// Waits for a condition with a generous deadline; never asserts a time.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class RecordingHandler : public CSocketFd::ISocketEvent {
public:
    int OnAccept(CSocketFd*) override {
        ++accepts;
        return 0;
    }
    int OnClose(CSocketFd* connection) override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            close_reasons.push_back(connection->GetCloseReason());
        }
        ++closes;
        return 0;
    }
    int OnRecv(CSocketFd* connection, const char* data, int length) override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            frames.emplace_back(data, static_cast<size_t>(length));
        }
        if (on_frame) on_frame(connection, std::string(data, static_cast<size_t>(length)));
        return 0;
    }
    std::vector<std::string> Frames() {
        std::lock_guard<std::mutex> guard(mutex);
        return frames;
    }
    std::vector<CloseReason> CloseReasons() {
        std::lock_guard<std::mutex> guard(mutex);
        return close_reasons;
    }

    std::atomic<int> accepts{0};
    std::atomic<int> closes{0};
    std::function<void(CSocketFd*, const std::string&)> on_frame;
    std::mutex mutex;
    std::vector<std::string> frames;
    std::vector<CloseReason> close_reasons;
};

// A server running its loop on a thread of its own for the test's duration.
class RunningServer {
public:
    explicit RunningServer(int max_clients = 20) {
        port = server.Listen(0, max_clients);
        thread = std::thread([this] { server.ServerRun(&handler); });
    }
    ~RunningServer() { Finish(); }
    void Finish() {
        server.Stop();
        if (thread.joinable()) thread.join();
    }

    CSocketServerFd server;
    RecordingHandler handler;
    int port = 0;
    std::thread thread;
};

TEST(SocketFdTest, ListenChoosesAPortAndRefusesATakenOne) {
    CSocketServerFd first;
    const int port = first.Listen(0, 20);
    ASSERT_GT(port, 0);
    CSocketServerFd second;
    EXPECT_EQ(second.Listen(port, 20), -1);
}

TEST(SocketFdTest, CheckConnectWithoutSocketIsZero) {
    CSocketFd socket;
    EXPECT_EQ(socket.CheckConnect(0), 0);
    socket.Close();
    EXPECT_EQ(socket.CheckConnect(0), 0);
}

TEST(SocketFdTest, ConnectToAClosedPortFails) {
    int free_port;
    {
        CSocketServerFd probe;
        free_port = probe.Listen(0, 20);
        ASSERT_GT(free_port, 0);
    }
    CSocketFd socket;
    EXPECT_LT(socket.Connect("127.0.0.1", free_port, 3000), 0);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.Descriptor(), -1);
}

TEST(SocketFdTest, FramesTravelBothWaysAndRecvAllReadsExactly) {
    RunningServer running;
    ASSERT_GT(running.port, 0);
    running.handler.on_frame = [](CSocketFd* connection, const std::string& frame) {
        if (frame == "raw") {
            connection->SendAll("abcdef", 6);
        } else {
            connection->SendFrame(frame.data(), static_cast<int>(frame.size()));
        }
    };
    CSocketFd client;
    ASSERT_EQ(client.Connect("127.0.0.1", running.port, 3000), 1);
    EXPECT_EQ(client.CheckConnect(0), 1);

    ASSERT_TRUE(client.SendFrame("raw", 3));
    char bytes[6];
    ASSERT_EQ(client.RecvAll(bytes, 6), 6);
    EXPECT_EQ(std::string(bytes, 6), "abcdef");

    const std::string big(20000, 'b');
    ASSERT_TRUE(client.SendFrame(big.data(), static_cast<int>(big.size())));
    ASSERT_TRUE(client.SendFrame("", 0));
    RecordingHandler mine;
    ASSERT_TRUE(WaitUntil([&] {
        client.Run(&mine, false);
        return mine.Frames().size() >= 2;
    }));
    EXPECT_EQ(mine.Frames(), (std::vector<std::string>{big, ""}));
    EXPECT_EQ(running.handler.Frames(), (std::vector<std::string>{"raw", big, ""}));
}

// Several frames handed over as one block leave as they are; a block far
// larger than the kernel's buffers waits in the queue (taken, not copied)
// and reaches the peer whole, behind the frames queued before it.
TEST(SocketFdTest, HandedOverBytesArriveAsTheFramesTheyHold) {
    RunningServer running;
    ASSERT_GT(running.port, 0);
    CSocketFd client;
    ASSERT_EQ(client.Connect("127.0.0.1", running.port, 3000), 1);
    auto frame = [](const std::string& payload) {
        std::string bytes(4, '\0');
        StoreLe32(bytes.data(), static_cast<uint32_t>(payload.size()));
        return bytes + payload;
    };
    std::string gathered = frame("one") + frame("") + frame("three");
    const size_t capacity = gathered.capacity();
    ASSERT_TRUE(client.SendBytes(gathered));
    EXPECT_TRUE(gathered.empty());
    // The kernel took it all: the storage comes back for the next block.
    EXPECT_EQ(gathered.capacity(), capacity);

    const std::string large(24 * 1024 * 1024 + 3, 'L');
    std::string block = frame(large) + frame("after");
    ASSERT_TRUE(client.SendBytes(block));
    EXPECT_TRUE(block.empty());
    ASSERT_TRUE(client.SendFrame("last", 4));
    RecordingHandler mine;
    ASSERT_TRUE(WaitUntil([&] {
        client.Run(&mine, false);
        return running.handler.Frames().size() >= 6;
    }));
    const std::vector<std::string> expected{"one", "", "three", large, "after", "last"};
    EXPECT_TRUE(running.handler.Frames() == expected);
    EXPECT_EQ(client.QueuedBytes(), 0u);
    std::string nothing;
    EXPECT_TRUE(client.SendBytes(nothing));
    client.Close();
    std::string refused = frame("x");
    EXPECT_FALSE(client.SendBytes(refused));
    EXPECT_EQ(refused, frame("x")) << "bytes refused without a connection are left to the caller";
}

TEST(SocketFdTest, ClientsBeyondTheTableAreClosedAtOnce) {
    RunningServer running(20);
    ASSERT_GT(running.port, 0);
    std::vector<std::unique_ptr<CSocketFd>> clients;
    for (int i = 0; i < 18; ++i) {
        clients.push_back(std::make_unique<CSocketFd>());
        ASSERT_EQ(clients.back()->Connect("127.0.0.1", running.port, 3000), 1);
        ASSERT_TRUE(WaitUntil([&] { return running.handler.accepts.load() == i + 1; }));
    }
    CSocketFd extra;
    ASSERT_EQ(extra.Connect("127.0.0.1", running.port, 3000), 1);
    char byte;
    EXPECT_LE(extra.RecvAll(&byte, 1), 0);
    EXPECT_EQ(running.handler.accepts.load(), 18);
    // The table still works for those inside it.
    ASSERT_TRUE(clients[17]->SendFrame("still", 5));
    EXPECT_TRUE(WaitUntil([&] { return running.handler.Frames().size() == 1; }));
}

TEST(SocketFdTest, PeerCloseEndsTheConnectionOnBothSides) {
    RunningServer running;
    auto client = std::make_unique<CSocketFd>();
    ASSERT_EQ(client->Connect("127.0.0.1", running.port, 3000), 1);
    ASSERT_TRUE(WaitUntil([&] { return running.handler.accepts.load() == 1; }));
    client.reset();
    EXPECT_TRUE(WaitUntil([&] { return running.handler.closes.load() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return running.server.ConnectionCountForTesting() == 0; }));
}

TEST(SocketFdTest, InterruptEndsARunningClientLoop) {
    RunningServer running;
    CSocketFd client;
    ASSERT_EQ(client.Connect("127.0.0.1", running.port, 3000), 1);
    RecordingHandler mine;
    std::thread loop([&] { client.Run(&mine, true); });
    client.Interrupt();
    loop.join();
    EXPECT_EQ(mine.closes.load(), 1);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.SendFrame("x", 1));
}

// Sets the process-wide stall time for one test.
class StallTimeForTesting {
public:
    explicit StallTimeForTesting(int ms) { CSocketFd::SetSendStallMsForTesting(ms); }
    ~StallTimeForTesting() { CSocketFd::SetSendStallMsForTesting(0); }
};

// A client connected to a listener that never accepts or reads, its loop on
// a thread of its own.
class ClientOfASilentPeer {
public:
    ClientOfASilentPeer() {
        port = silent.Listen(0, 20);
        connected = port > 0 && client.Connect("127.0.0.1", port, 3000) == 1;
        if (connected) loop = std::thread([this] { client.Run(&handler, true); });
    }
    ~ClientOfASilentPeer() {
        client.Interrupt();
        if (loop.joinable()) loop.join();
    }

    CSocketServerFd silent;
    CSocketFd client;
    RecordingHandler handler;
    int port = 0;
    bool connected = false;
    std::thread loop;
};

// A peer that never reads must not hold a sender at all: the frame is
// queued, and the loop cuts the peer once it has taken nothing for the stall
// time (a half-sent frame would corrupt the stream, so it cannot stay).
TEST(SocketFdTest, AStalledPeerNeverHoldsTheSenderAndIsCutByTheLoop) {
    StallTimeForTesting stall(300);
    ClientOfASilentPeer peer;
    ASSERT_TRUE(peer.connected);
    const std::string huge(32 * 1024 * 1024, 'h');
    EXPECT_TRUE(peer.client.SendFrame(huge.data(), static_cast<int>(huge.size())));
    EXPECT_TRUE(peer.client.SendFrame("x", 1));
    EXPECT_GT(peer.client.QueuedBytes(), 0u) << "the kernel cannot have taken 32 MiB";
    ASSERT_TRUE(WaitUntil([&] { return peer.handler.closes.load() == 1; }));
    EXPECT_EQ(peer.client.GetCloseReason(), CloseReason::kSendStalled);
    EXPECT_FALSE(peer.client.IsConnected());
    EXPECT_FALSE(peer.client.SendFrame("x", 1));
    EXPECT_EQ(peer.client.QueuedBytes(), 0u) << "a closed connection keeps no bytes";
}

TEST(SocketFdTest, AQueueHoldingItsLimitCutsTheConnection) {
    ClientOfASilentPeer peer;
    ASSERT_TRUE(peer.connected);
    const std::string chunk(1024 * 1024, 'q');
    size_t accepted = 0;
    while (accepted <= 2 * CSocketFd::kMaxQueuedSendBytes &&
           peer.client.SendFrame(chunk.data(), static_cast<int>(chunk.size()))) {
        accepted += chunk.size() + 4;
        // The limit and the one frame that came while less waited.
        ASSERT_LE(peer.client.QueuedBytes(), CSocketFd::kMaxQueuedSendBytes + chunk.size() + 4);
    }
    EXPECT_GE(accepted, CSocketFd::kMaxQueuedSendBytes - chunk.size());
    EXPECT_LT(accepted, 2 * CSocketFd::kMaxQueuedSendBytes) << "the queue has no limit";
    EXPECT_FALSE(peer.client.IsConnected()) << "refused frame, cut at once";
    ASSERT_TRUE(WaitUntil([&] { return peer.handler.closes.load() == 1; }));
    EXPECT_EQ(peer.client.GetCloseReason(), CloseReason::kSendQueueFull);
    EXPECT_FALSE(peer.client.SendFrame("x", 1));
}

// The largest frame the peer accepts is taken also behind small frames
// still waiting: the limit is measured on what waits ahead.
TEST(SocketFdTest, AFrameOfTheLargestSizeIsTakenBehindWaitingFrames) {
    ClientOfASilentPeer peer;
    ASSERT_TRUE(peer.connected);
    const std::string filler(8 * 1024 * 1024, 'f');
    ASSERT_TRUE(peer.client.SendFrame(filler.data(), static_cast<int>(filler.size())));
    ASSERT_GT(peer.client.QueuedBytes(), 0u) << "the kernel cannot have taken 8 MiB";
    const std::string largest(static_cast<size_t>(FrameReader::kMaxFrameLength), 'l');
    EXPECT_TRUE(peer.client.SendFrame(largest.data(), static_cast<int>(largest.size())));
    EXPECT_TRUE(peer.client.IsConnected());
    EXPECT_FALSE(peer.client.SendFrame("x", 1)) << "more than the limit waits now";
    ASSERT_TRUE(WaitUntil([&] { return peer.handler.closes.load() == 1; }));
    EXPECT_EQ(peer.client.GetCloseReason(), CloseReason::kSendQueueFull);
}

// The peer would drop a connection that announces such a frame; refusing it
// here keeps the connection.
TEST(SocketFdTest, AFrameLongerThanThePeerAcceptsIsRefusedAndTheConnectionStays) {
    RunningServer running;
    CSocketFd client;
    ASSERT_EQ(client.Connect("127.0.0.1", running.port, 3000), 1);
    const std::string too_long(static_cast<size_t>(FrameReader::kMaxFrameLength) + 1, 'l');
    EXPECT_FALSE(client.SendFrame(too_long.data(), static_cast<int>(too_long.size())));
    EXPECT_TRUE(client.IsConnected());
    ASSERT_TRUE(client.SendFrame("after", 5));
    EXPECT_TRUE(WaitUntil([&] { return running.handler.Frames() == std::vector<std::string>{"after"}; }));
    EXPECT_EQ(client.GetCloseReason(), CloseReason::kNone);
}

// A local close on one side is the peer's close on the other.
TEST(SocketFdTest, EachEndKeepsWhyItsConnectionEnded) {
    {
        RunningServer running;
        CSocketFd client;
        ASSERT_EQ(client.Connect("127.0.0.1", running.port, 3000), 1);
        ASSERT_TRUE(client.SendFrame("hi", 2));
        ASSERT_TRUE(WaitUntil([&] { return running.handler.Frames().size() == 1; }));
        RecordingHandler mine;
        std::thread loop([&] { client.Run(&mine, true); });
        client.Interrupt();
        loop.join();
        EXPECT_EQ(client.GetCloseReason(), CloseReason::kClosedLocally);
        ASSERT_TRUE(WaitUntil([&] { return running.handler.closes.load() == 1; }));
        EXPECT_EQ(running.handler.CloseReasons(), std::vector<CloseReason>{CloseReason::kPeerClosed});
    }
    {
        RunningServer running;
        CSocketFd client;
        ASSERT_EQ(client.Connect("127.0.0.1", running.port, 3000), 1);
        const char minus_one[4] = {'\xFF', '\xFF', '\xFF', '\xFF'};
        ASSERT_EQ(client.SendAll(minus_one, 4), 4);
        ASSERT_TRUE(WaitUntil([&] { return running.handler.closes.load() == 1; }));
        EXPECT_EQ(running.handler.CloseReasons(), std::vector<CloseReason>{CloseReason::kProtocolError});
    }
    {
        RunningServer running;
        CSocketFd client;
        ASSERT_EQ(client.Connect("127.0.0.1", running.port, 3000), 1);
        ASSERT_TRUE(client.SendFrame("hi", 2));
        ASSERT_TRUE(WaitUntil([&] { return running.handler.Frames().size() == 1; }));
        running.Finish();
        EXPECT_EQ(running.handler.CloseReasons(), std::vector<CloseReason>{CloseReason::kClosedLocally});
        RecordingHandler mine;
        client.Run(&mine, true);
        EXPECT_EQ(client.GetCloseReason(), CloseReason::kPeerClosed);
    }
    EXPECT_STREQ(CloseReasonText(CloseReason::kSendQueueFull), "send queue full");
}

// The owner check runs at accept; a socket of this same user passes it.
TEST(SocketFdTest, ASameUserPeerPassesTheOwnerCheck) {
    CSocketServerFd server;
    const int port = server.Listen(0, 20);
    ASSERT_GT(port, 0);
    server.AcceptOnlySameUser();
    RecordingHandler handler;
    std::thread thread([&] { server.ServerRun(&handler); });
    CSocketFd client;
    ASSERT_EQ(client.Connect("127.0.0.1", port, 3000), 1);
    ASSERT_TRUE(client.SendFrame("mine", 4));
    EXPECT_TRUE(WaitUntil([&] { return handler.Frames() == std::vector<std::string>{"mine"}; }));
    EXPECT_EQ(server.ForeignRefusedForTesting(), 0u);
    server.Stop();
    thread.join();
}

// A listening socket and the server's end of one connection made to it.
class AcceptedPair {
public:
    AcceptedPair() {
        listener.reset(sys::TcpSocket());
        if (!listener.valid() || sys::BindAndListen(listener.get(), "127.0.0.1", 0) != 0) return;
        port = sys::LocalPort(listener.get());
    }
    // Waits for the next connection and keeps the server's end.
    bool AcceptOne() {
        sys::PollEntry entry{listener.get(), sys::kPollIn, 0};
        if (sys::Poll(&entry, 1, 20000) <= 0) return false;
        accepted.reset(sys::Accept(listener.get()));
        return accepted.valid();
    }

    UniqueFd listener;
    UniqueFd accepted;
    int port = -1;
};

struct OwnerLookup {
    const char* name;
    bool from_text_table;
};

class PeerOwnerTest : public ::testing::TestWithParam<OwnerLookup> {};

TEST_P(PeerOwnerTest, NamesTheUserOfTheOtherEnd) {
    AcceptedPair pair;
    ASSERT_GT(pair.port, 0);
    CSocketFd client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port, 3000), 1);
    ASSERT_TRUE(pair.AcceptOne());
    uint32_t uid = 12345;
    ASSERT_EQ(sys::PeerOwnerForTesting(pair.accepted.get(), GetParam().from_text_table, &uid), 0);
    EXPECT_EQ(uid, static_cast<uint32_t>(::geteuid()));
    // Seen from the client, the other end is the server's accepted socket.
    uid = 12345;
    ASSERT_EQ(sys::PeerOwnerForTesting(client.Descriptor(), GetParam().from_text_table, &uid), 0);
    EXPECT_EQ(uid, static_cast<uint32_t>(::geteuid()));
    EXPECT_EQ(sys::PeerIsSameUser(pair.accepted.get()), 1);
}

TEST_P(PeerOwnerTest, NamesAnotherUser) {
    if (const std::string why = testing::ForeignUserUnavailable(); !why.empty()) GTEST_SKIP() << why;
    AcceptedPair pair;
    ASSERT_GT(pair.port, 0);
    testing::ForeignUserProcess foreign;
    ASSERT_TRUE(foreign.Start({"hold", std::to_string(pair.port)}));
    ASSERT_EQ(foreign.Report(), 'C');
    ASSERT_TRUE(pair.AcceptOne());
    uint32_t uid = 0;
    ASSERT_EQ(sys::PeerOwnerForTesting(pair.accepted.get(), GetParam().from_text_table, &uid), 0);
    EXPECT_EQ(uid, testing::kForeignUid);
    EXPECT_EQ(sys::PeerIsSameUser(pair.accepted.get()), 0);
    foreign.Tell('q');
    EXPECT_EQ(foreign.Wait(), 0);
}

// A socket its process has already closed has no owner to name; such a
// peer is refused rather than guessed at.
TEST_P(PeerOwnerTest, APeerThatIsAlreadyGoneHasNoOwner) {
    AcceptedPair pair;
    ASSERT_GT(pair.port, 0);
    {
        CSocketFd client;
        ASSERT_EQ(client.Connect("127.0.0.1", pair.port, 3000), 1);
        ASSERT_TRUE(client.SendAll("\x04\x03\x02\x01", 4));
        client.Close();
    }
    ASSERT_TRUE(pair.AcceptOne());
    uint32_t uid = 0;
    EXPECT_LT(sys::PeerOwnerForTesting(pair.accepted.get(), GetParam().from_text_table, &uid), 0);
    EXPECT_LT(sys::PeerIsSameUser(pair.accepted.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Lookups, PeerOwnerTest,
                         ::testing::Values(OwnerLookup{"SocketDiagnostics", false}, OwnerLookup{"TextTable", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Application::ipc
