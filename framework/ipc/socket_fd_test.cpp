#include "framework/ipc/socket_fd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    int OnClose(CSocketFd*) override {
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

    std::atomic<int> accepts{0};
    std::atomic<int> closes{0};
    std::function<void(CSocketFd*, const std::string&)> on_frame;
    std::mutex mutex;
    std::vector<std::string> frames;
};

// A server running its loop on a thread of its own for the test's duration.
class RunningServer {
public:
    explicit RunningServer(int max_clients = 20) {
        port = server.Listen(0, max_clients);
        thread = std::thread([this] { server.ServerRun(&handler); });
    }
    ~RunningServer() {
        server.Stop();
        thread.join();
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

// A peer that never reads must not hold a sender forever; the half-sent
// frame makes the connection unusable, so it is cut.
TEST(SocketFdTest, SenderGivesUpOnAStalledPeerAndCutsTheConnection) {
    CSocketServerFd silent;  // listens, but nobody ever reads
    const int port = silent.Listen(0, 20);
    ASSERT_GT(port, 0);
    CSocketFd client;
    ASSERT_EQ(client.Connect("127.0.0.1", port, 3000), 1);
    client.SetSendStallMsForTesting(200);
    const std::string huge(64 * 1024 * 1024, 'h');
    EXPECT_FALSE(client.SendFrame(huge.data(), static_cast<int>(huge.size())));
    EXPECT_FALSE(client.SendFrame("x", 1));
}

}  // namespace
}  // namespace Application::ipc
