// Sending never blocks the caller: frames wait in the connection's queue and
// the loop that serves the connection writes them. A peer that stops taking
// its bytes is cut off, and the endpoint says why.

#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/cmdline_mgr.h"
#include "framework/ipc/ipc_mgr.h"
#include "framework/ipc/ipc_test_process.h"
#include "framework/ipc/ipc_test_support.h"

namespace Application {
namespace {

using namespace ipc::testing;

constexpr size_t kMiB = 1024 * 1024;

class StallTimeForTesting {
public:
    explicit StallTimeForTesting(int ms) { ipc::CSocketFd::SetSendStallMsForTesting(ms); }
    ~StallTimeForTesting() { ipc::CSocketFd::SetSendStallMsForTesting(0); }
};

class SendQueueTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(manager.Init()); }
    void TearDown() override {
        for (IIPCClient* client : clients) manager.DestroyClient(client);
        children.clear();
        for (IIPCHost* host : hosts) manager.DestroyHost(host);
        manager.Free();
    }

    // A host endpoint with an echo child that has greeted.
    IIPCHost* ConnectedChild(HostRecorder& recorder, const std::string& tag, ChildProcess** child) {
        IIPCHost* host = manager.CreateHost();
        if (!host) return nullptr;
        hosts.push_back(host);
        recorder.Attach(host);
        char cmdline[256];
        host->GetCmdLine(cmdline, sizeof cmdline);
        children.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{cmdline, "-tag=" + tag}));
        *child = children.back().get();
        if (!recorder.WaitFrames(1)) return nullptr;
        recorder.ClearFrames();
        return host;
    }

    // One round trip with a child that still reads.
    static void ExpectServed(IIPCHost* host, HostRecorder& recorder, const std::string& text) {
        recorder.ClearFrames();
        ASSERT_TRUE(host->Send(text.data(), static_cast<int>(text.size())));
        ASSERT_TRUE(recorder.WaitFrames(1));
        EXPECT_EQ(recorder.Frames()[0], text);
    }

    HostRecorder& NewRecorder() { return recorders.emplace_back(); }

    std::list<HostRecorder> recorders;
    IPCMgrImpl manager;
    std::vector<IIPCHost*> hosts;
    std::vector<IIPCClient*> clients;
    std::vector<std::unique_ptr<ChildProcess>> children;
};

// More than the kernel's buffers hold, well below the queue limit. Sends
// stop early only when the stall time has already cut the connection, as
// it may on a slow (sanitized) build.
template <class Endpoint>
int SendUntilCut(Endpoint* endpoint) {
    const std::string chunk = MakeSizedFrame(kMiB);
    int accepted = 0;
    while (accepted < 48 && endpoint->Send(chunk.data(), static_cast<int>(chunk.size()))) ++accepted;
    return accepted;
}

// With the default stall time of 10 s a blocking sender would be cut for
// stalling long before the queue fills; here the queue limit cuts it.
TEST_F(SendQueueTest, AStoppedChildIsCutWhenItsQueueWouldPassTheLimit) {
    HostRecorder& stopped_recorder = NewRecorder();
    HostRecorder& other_recorder = NewRecorder();
    ChildProcess* stopped = nullptr;
    ChildProcess* other_child = nullptr;
    IIPCHost* host = ConnectedChild(stopped_recorder, "stopped", &stopped);
    IIPCHost* other = ConnectedChild(other_recorder, "other", &other_child);
    ASSERT_NE(host, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(stopped->Signal(SIGSTOP));

    const std::string chunk = MakeSizedFrame(kMiB);
    size_t accepted = 0;
    int frames = 0;
    while (accepted <= 2 * ipc::CSocketFd::kMaxQueuedSendBytes &&
           host->Send(chunk.data(), static_cast<int>(chunk.size()))) {
        accepted += chunk.size();
        if (++frames % 16 == 0) ExpectServed(other, other_recorder, "meanwhile " + std::to_string(frames));
    }
    EXPECT_GE(accepted, ipc::CSocketFd::kMaxQueuedSendBytes - kMiB);
    EXPECT_LT(accepted, 2 * ipc::CSocketFd::kMaxQueuedSendBytes) << "the queue has no limit";
    EXPECT_FALSE(host->IsConnected());
    EXPECT_FALSE(host->Send("x", 1)) << "a refused frame, then no connection";
    ASSERT_TRUE(stopped_recorder.WaitConnects(2));
    EXPECT_EQ(stopped_recorder.Connects(), (std::vector<bool>{true, false}));
    EXPECT_EQ(LastCloseReason(host), CloseReason::kSendQueueFull);
    ExpectServed(other, other_recorder, "after the cut");
    EXPECT_EQ(LastCloseReason(other), CloseReason::kNone);
    stopped->Signal(SIGCONT);
    ASSERT_TRUE(other->Send("Cexit", 5));
    EXPECT_EQ(other_child->Wait(), 0);
}

TEST_F(SendQueueTest, AStoppedChildIsCutAfterTheStallTimeWhileOthersAreServed) {
    StallTimeForTesting stall(300);
    HostRecorder& stopped_recorder = NewRecorder();
    HostRecorder& other_recorder = NewRecorder();
    ChildProcess* stopped = nullptr;
    ChildProcess* other_child = nullptr;
    IIPCHost* host = ConnectedChild(stopped_recorder, "stopped", &stopped);
    IIPCHost* other = ConnectedChild(other_recorder, "other", &other_child);
    ASSERT_NE(host, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(stopped->Signal(SIGSTOP));

    EXPECT_GT(SendUntilCut(host), 0);
    int round_trips = 0;
    while (stopped_recorder.Connects().size() < 2 && round_trips < 2000) {
        ExpectServed(other, other_recorder, "meanwhile " + std::to_string(++round_trips));
    }
    ASSERT_TRUE(stopped_recorder.WaitConnects(2));
    EXPECT_EQ(LastCloseReason(host), CloseReason::kSendStalled);
    EXPECT_STREQ(CloseReasonText(LastCloseReason(host)), "peer stopped taking its bytes");
    EXPECT_FALSE(host->Send("x", 1));
    ExpectServed(other, other_recorder, "after the cut");
    stopped->Signal(SIGCONT);
    ASSERT_TRUE(other->Send("Cexit", 5));
    EXPECT_EQ(other_child->Wait(), 0);
}

// Two senders queue 20 MB frames and small ones at once: each frame arrives
// whole and in its sender's order, and the child's large frames arrive too.
TEST_F(SendQueueTest, LargeFramesFromTwoThreadsArriveWholeAndInOrder) {
    constexpr size_t kLarge = 20 * 1000 * 1000;
    constexpr uint32_t kSmallFrames = 200;
    HostRecorder& recorder = NewRecorder();
    ChildProcess* child = nullptr;
    IIPCHost* host = ConnectedChild(recorder, "large", &child);
    ASSERT_NE(host, nullptr);

    std::atomic<int> failed{0};
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < 2; ++t) {
        senders.emplace_back([&, t] {
            for (uint32_t s = 0; s <= kSmallFrames; ++s) {
                const std::string frame = MakeDataFrame(t, s, s == kSmallFrames / 2 ? kLarge : BurstFrameSize(s));
                if (!host->Send(frame.data(), static_cast<int>(frame.size()))) ++failed;
            }
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(failed.load(), 0);
    ASSERT_TRUE(host->Send("Creport", 7));
    ASSERT_TRUE(recorder.WaitFrames(1));
    EXPECT_EQ(recorder.Frames()[0], "R" + std::to_string(2 * (kSmallFrames + 1)) + " 0");

    recorder.ClearFrames();
    const std::string command = "Csizes:" + std::to_string(kLarge) + ",3";
    ASSERT_TRUE(host->Send(command.data(), static_cast<int>(command.size())));
    ASSERT_TRUE(recorder.WaitFrames(2));
    const auto frames = recorder.Frames();
    EXPECT_TRUE(frames[0] == MakeSizedFrame(kLarge));
    EXPECT_TRUE(frames[1] == MakeSizedFrame(3));
    ASSERT_TRUE(host->Send("Cexit", 5));
    EXPECT_EQ(child->Wait(), 0);
}

// The client endpoint's own queue: its host stops reading (the server thread
// is held in a callback), the client's sends still return at once, and the
// client is cut after the stall time with the reason kept on the endpoint.
TEST_F(SendQueueTest, AClientWhoseHostStopsReadingIsCutAndSaysWhy) {
    StallTimeForTesting stall(300);
    // Shared with the callbacks, which may outlive an early return.
    struct Hold {
        std::mutex mutex;
        std::condition_variable changed;
        bool holding = false;
        bool release = false;
        void Release() {
            std::lock_guard<std::mutex> guard(mutex);
            release = true;
            changed.notify_all();
        }
    };
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<bool> connects;
        CloseReason reason_in_callback = CloseReason::kNone;
    };
    auto hold = std::make_shared<Hold>();
    auto seen = std::make_shared<Seen>();
    struct ReleaseAtExit {
        std::shared_ptr<Hold> hold;
        ~ReleaseAtExit() { hold->Release(); }
    } release_at_exit{hold};

    HostRecorder& recorder = NewRecorder();
    recorder.on_frame = [hold](const char* data, int length) {
        if (std::string(data, static_cast<size_t>(length)) != "hold") return;
        std::unique_lock<std::mutex> lock(hold->mutex);
        hold->holding = true;
        hold->changed.notify_all();
        hold->changed.wait(lock, [&] { return hold->release; });
    };
    IIPCHost* host = manager.CreateHost();
    ASSERT_NE(host, nullptr);
    hosts.push_back(host);
    recorder.Attach(host);
    char cmdline[256];
    host->GetCmdLine(cmdline, sizeof cmdline);
    ProcessCmdLineMgr()->ParseArgument(cmdline);

    IIPCClient* client = manager.CreateClient();
    clients.push_back(client);
    client->SetConnectCallback([seen, client](bool connected) {
        std::lock_guard<std::mutex> guard(seen->mutex);
        seen->connects.push_back(connected);
        if (!connected) seen->reason_in_callback = LastCloseReason(client);
        seen->changed.notify_all();
    });
    ASSERT_TRUE(client->Init());
    ASSERT_TRUE(recorder.WaitConnects(1));
    ASSERT_TRUE(WaitUntil([&] { return client->IsConnected(); }));
    EXPECT_EQ(LastCloseReason(client), CloseReason::kNone);

    ASSERT_TRUE(client->Send("hold", 4));
    {
        std::unique_lock<std::mutex> lock(hold->mutex);
        ASSERT_TRUE(hold->changed.wait_for(lock, 30s, [&] { return hold->holding; }));
    }
    EXPECT_GT(SendUntilCut(client), 0);
    {
        std::unique_lock<std::mutex> lock(seen->mutex);
        ASSERT_TRUE(seen->changed.wait_for(lock, 30s, [&] { return seen->connects.size() == 2; }));
        EXPECT_EQ(seen->connects, (std::vector<bool>{true, false}));
        EXPECT_EQ(seen->reason_in_callback, CloseReason::kSendStalled);
    }
    EXPECT_EQ(LastCloseReason(client), CloseReason::kSendStalled);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_FALSE(client->Send("x", 1));
    hold->Release();
    ASSERT_TRUE(recorder.WaitConnects(2));
    EXPECT_NE(LastCloseReason(host), CloseReason::kNone);
}

}  // namespace
}  // namespace Application
