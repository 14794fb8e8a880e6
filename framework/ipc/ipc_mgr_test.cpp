#include "framework/ipc/ipc_mgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/cmdline_mgr.h"
#include "framework/ipc/ipc_test_process.h"
#include "framework/ipc/ipc_test_support.h"

namespace Application {
namespace {

using namespace ipc::testing;

std::string CmdLine(IIPCHost* host) {
    char buffer[256] = {};
    host->GetCmdLine(buffer, sizeof buffer);
    return buffer;
}

class IpcMgrTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(manager.Init()); }
    void TearDown() override {
        for (IIPCHost* host : hosts) manager.DestroyHost(host);
        manager.Free();
    }

    IIPCHost* NewHost(HostRecorder* recorder) {
        IIPCHost* host = manager.CreateHost();
        if (host) {
            hosts.push_back(host);
            if (recorder) recorder->Attach(host);
        }
        return host;
    }

    // A child in echo mode that greets with "H" + tag once connected.
    std::unique_ptr<ChildProcess> StartChild(IIPCHost* host, const std::string& tag) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{CmdLine(host), "-tag=" + tag});
    }

    // Owned here, so callbacks that arrive after a test body ended still find them.
    HostRecorder& NewRecorder() { return recorders.emplace_back(); }

    std::list<HostRecorder> recorders;
    IPCMgrImpl manager;
    std::vector<IIPCHost*> hosts;
};

TEST_F(IpcMgrTest, CmdLineHasTheDesignedFormAndLength) {
    IPCHostImpl host(&manager, 305419896u, 4321);
    const std::string expected = "-ipc_cmd_info=ipcid=305419896&ip=127.0.0.1&port=4321";
    char buffer[128];
    EXPECT_EQ(host.GetCmdLine(buffer, sizeof buffer), static_cast<int>(expected.size()));
    EXPECT_EQ(buffer, expected);
    // Truncated like snprintf, still returning the whole length.
    char small[10];
    EXPECT_EQ(host.GetCmdLine(small, sizeof small), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(small), expected.substr(0, 9));
    EXPECT_EQ(host.GetCmdLine(nullptr, 0), static_cast<int>(expected.size()));
}

TEST_F(IpcMgrTest, HostsCarryTheListeningPortAndDistinctNonZeroIds) {
    std::set<uint32_t> ids;
    for (int i = 0; i < 200; ++i) {
        auto* host = static_cast<IPCHostImpl*>(NewHost(nullptr));
        ASSERT_NE(host, nullptr);
        EXPECT_NE(host->Ipcid(), 0u);
        ids.insert(host->Ipcid());
        unsigned long ipcid = 0;
        int port = 0;
        ASSERT_EQ(std::sscanf(CmdLine(host).c_str(), "-ipc_cmd_info=ipcid=%lu&ip=127.0.0.1&port=%d", &ipcid, &port), 2);
        EXPECT_EQ(ipcid, host->Ipcid());
        EXPECT_EQ(port, manager.PortForTesting());
        EXPECT_FALSE(host->IsConnected());
        EXPECT_FALSE(host->Send("x", 1));
    }
    EXPECT_GT(manager.PortForTesting(), 0);
    EXPECT_EQ(ids.size(), 200u);
}

TEST_F(IpcMgrTest, TwoChildrenStartedAtOnceBindToTheirOwnEndpoints) {
    HostRecorder& first_recorder = NewRecorder();
    HostRecorder& second_recorder = NewRecorder();
    IIPCHost* first = NewHost(&first_recorder);
    IIPCHost* second = NewHost(&second_recorder);
    auto first_child = StartChild(first, "first");
    auto second_child = StartChild(second, "second");
    ASSERT_TRUE(first_recorder.WaitFrames(1));
    ASSERT_TRUE(second_recorder.WaitFrames(1));
    EXPECT_EQ(first_recorder.Frames()[0], "Hfirst");
    EXPECT_EQ(second_recorder.Frames()[0], "Hsecond");
    EXPECT_EQ(first_recorder.Connects(), std::vector<bool>{true});
    EXPECT_EQ(second_recorder.Connects(), std::vector<bool>{true});
    EXPECT_TRUE(first->IsConnected());
    EXPECT_TRUE(second->IsConnected());
    ASSERT_TRUE(first->Send("Cexit", 5));
    ASSERT_TRUE(second->Send("Cexit", 5));
    EXPECT_EQ(first_child->Wait(), 0);
    EXPECT_EQ(second_child->Wait(), 0);
}

TEST_F(IpcMgrTest, ChildThatExitsLeavesItsEndpointDisconnected) {
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = NewHost(&recorder);
    auto child = StartChild(host, "c");
    ASSERT_TRUE(recorder.WaitFrames(1));
    ASSERT_TRUE(host->Send("Cexit", 5));
    ASSERT_TRUE(recorder.WaitConnects(2));
    EXPECT_EQ(recorder.Connects(), (std::vector<bool>{true, false}));
    EXPECT_FALSE(host->IsConnected());
    EXPECT_FALSE(host->Send("late", 4));
    EXPECT_EQ(child->Wait(), 0);
}

TEST_F(IpcMgrTest, KilledChildLeavesItsEndpointDisconnected) {
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = NewHost(&recorder);
    auto child = StartChild(host, "k");
    ASSERT_TRUE(recorder.WaitFrames(1));
    child.reset();  // SIGKILL
    ASSERT_TRUE(recorder.WaitConnects(2));
    EXPECT_FALSE(host->IsConnected());
}

TEST_F(IpcMgrTest, FramesOfEverySizeArriveWholeInBothDirections) {
    const std::vector<size_t> sizes = {0, 1, 8187, 8188, 20000, 100000};
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = NewHost(&recorder);
    auto child = StartChild(host, "s");
    ASSERT_TRUE(recorder.WaitFrames(1));
    recorder.ClearFrames();

    // Host to child and back: the child echoes each frame as it arrived.
    for (size_t size : sizes) ASSERT_TRUE(host->Send(MakeSizedFrame(size).data(), static_cast<int>(size)));
    ASSERT_TRUE(recorder.WaitFrames(sizes.size()));
    auto frames = recorder.Frames();
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(frames[i].size(), sizes[i]);
        EXPECT_TRUE(frames[i] == MakeSizedFrame(sizes[i])) << "echo of " << sizes[i];
    }

    // Child to host, built there.
    recorder.ClearFrames();
    std::string command = "Csizes:";
    for (size_t i = 0; i < sizes.size(); ++i) command += (i ? "," : "") + std::to_string(sizes[i]);
    ASSERT_TRUE(host->Send(command.data(), static_cast<int>(command.size())));
    ASSERT_TRUE(recorder.WaitFrames(sizes.size()));
    frames = recorder.Frames();
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_TRUE(frames[i] == MakeSizedFrame(sizes[i])) << "from child, size " << sizes[i];
    }
    ASSERT_TRUE(host->Send("Cexit", 5));
    EXPECT_EQ(child->Wait(), 0);
}

TEST_F(IpcMgrTest, SixteenSendersOnEachSideNeverInterleave) {
    constexpr int kThreads = 16;
    constexpr int kFrames = 100;
    HostRecorder& recorder = NewRecorder();
    std::vector<uint32_t> next(kThreads, 0);
    std::atomic<int> good{0};
    std::atomic<int> bad{0};
    std::string report;
    recorder.on_frame = [&](const char* data, int length) {
        unsigned thread = 0;
        uint32_t sequence = 0;
        if (length > 0 && data[0] == 'R') {
            report.assign(data, static_cast<size_t>(length));
        } else if (CheckDataFrame(data, static_cast<size_t>(length), &thread, &sequence) && thread < kThreads &&
                   next[thread] == sequence) {
            ++next[thread];
            ++good;
        } else if (length > 0 && data[0] != 'H') {
            ++bad;
        }
    };
    IIPCHost* host = NewHost(&recorder);
    auto child = StartChild(host, "burst");
    ASSERT_TRUE(recorder.WaitConnects(1));
    ASSERT_TRUE(host->Send("Cburst:16:100", 13));

    std::vector<std::thread> senders;
    std::atomic<int> failed_sends{0};
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (uint32_t s = 0; s < kFrames; ++s) {
                const std::string frame = MakeDataFrame(static_cast<unsigned>(t), s, BurstFrameSize(s));
                if (!host->Send(frame.data(), static_cast<int>(frame.size()))) ++failed_sends;
            }
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(failed_sends.load(), 0);
    ASSERT_TRUE(recorder.WaitFor([&] { return good + bad >= kThreads * kFrames; }));
    EXPECT_EQ(good.load(), kThreads * kFrames);
    EXPECT_EQ(bad.load(), 0);

    ASSERT_TRUE(host->Send("Creport", 7));
    ASSERT_TRUE(recorder.WaitFor([&] { return !report.empty(); }));
    EXPECT_EQ(report, "R1600 0");
    ASSERT_TRUE(host->Send("Cexit", 5));
    EXPECT_EQ(child->Wait(), 0);
}

TEST_F(IpcMgrTest, ChildWithoutTheSwitchNeverConnects) {
    ChildProcess child({"-mode=noswitch"});
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(), 0) << "connect callbacks seen by the child";
}

TEST_F(IpcMgrTest, ChildWhoseAttemptsFailIsToldOnce) {
    int free_port;
    {
        ipc::CSocketServerFd probe;
        free_port = probe.Listen(0, 20);
        ASSERT_GT(free_port, 0);
    }
    ChildProcess child(
        {"-ipc_cmd_info=ipcid=7&ip=127.0.0.1&port=" + std::to_string(free_port), "-mode=expectfail"});
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(IpcMgrTest, FreeDisconnectsEveryChild) {
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = NewHost(&recorder);
    auto child = StartChild(host, "f");
    ASSERT_TRUE(recorder.WaitFrames(1));
    manager.Free();
    EXPECT_EQ(recorder.Connects(), (std::vector<bool>{true, false}));
    EXPECT_FALSE(host->IsConnected());
    EXPECT_EQ(child->Wait(), 0);
    EXPECT_EQ(manager.CreateHost(), nullptr);
}

TEST_F(IpcMgrTest, DestroyedHostDropsLaterFramesQuietly) {
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = NewHost(&recorder);
    auto child = StartChild(host, "d");
    ASSERT_TRUE(recorder.WaitFrames(1));
    ASSERT_TRUE(host->Send("Csizes:5,6", 10));
    hosts.clear();
    manager.DestroyHost(host);
    // A new endpoint keeps working while the old connection lingers.
    HostRecorder& other_recorder = NewRecorder();
    IIPCHost* other = NewHost(&other_recorder);
    auto other_child = StartChild(other, "o");
    ASSERT_TRUE(other_recorder.WaitFrames(1));
    EXPECT_EQ(other_recorder.Frames()[0], "Ho");
    ASSERT_TRUE(other->Send("Cexit", 5));
    EXPECT_EQ(other_child->Wait(), 0);
}

// In one process both ends are visible to the thread checker.
TEST_F(IpcMgrTest, InProcessClientExchangesFramesFromManyThreads) {
    HostRecorder& recorder = NewRecorder();
    std::atomic<int> good{0};
    recorder.on_frame = [&](const char* data, int length) {
        unsigned thread = 0;
        uint32_t sequence = 0;
        if (CheckDataFrame(data, static_cast<size_t>(length), &thread, &sequence)) ++good;
    };
    IIPCHost* host = NewHost(&recorder);
    ProcessCmdLineMgr()->ParseArgument(CmdLine(host));

    std::atomic<int> received{0};
    std::atomic<int> connects{0};
    IIPCClient* client = manager.CreateClient();
    client->SetRecvCallback([&](const char*, int) { ++received; });
    client->SetConnectCallback([&](bool) { ++connects; });
    ASSERT_TRUE(client->Init());
    ASSERT_TRUE(recorder.WaitConnects(1));
    ASSERT_TRUE(WaitUntil([&] { return client->IsConnected(); }));

    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t) {
        senders.emplace_back([&, t] {
            for (uint32_t s = 0; s < 50; ++s) {
                const std::string frame = MakeDataFrame(static_cast<unsigned>(t), s, BurstFrameSize(s));
                client->Send(frame.data(), static_cast<int>(frame.size()));
                host->Send(frame.data(), static_cast<int>(frame.size()));
            }
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_TRUE(WaitUntil([&] { return good.load() == 400 && received.load() == 400; }));
    manager.DestroyClient(client);
    EXPECT_EQ(connects.load(), 2);
    ASSERT_TRUE(recorder.WaitConnects(2));
    EXPECT_FALSE(host->IsConnected());
}

// Children started while connections are open must not inherit them.
TEST_F(IpcMgrTest, EverySocketAndWakeDescriptorIsCloseOnExec) {
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = NewHost(&recorder);
    ProcessCmdLineMgr()->ParseArgument(CmdLine(host));
    IIPCClient* client = manager.CreateClient();
    ASSERT_TRUE(client->Init());
    ASSERT_TRUE(recorder.WaitConnects(1));

    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (error || (target.rfind("socket:", 0) != 0 && target.find("eventfd") == std::string::npos)) continue;
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = fcntl(fd, F_GETFD);
        if (flags < 0) continue;  // the directory's own descriptor, closed by now
        EXPECT_TRUE(flags & FD_CLOEXEC) << target;
        ++checked;
    }
    // Listener, both ends of the connection, and the wake events.
    EXPECT_GE(checked, 5);
    manager.DestroyClient(client);
}

}  // namespace
}  // namespace Application
