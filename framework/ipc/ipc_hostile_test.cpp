// Any local process can reach the listening port; these peers misbehave on
// purpose. In each case the legitimate child must go on being served and the
// host's memory must stay bounded.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "framework/ipc/foreign_user_process.h"
#include "framework/ipc/ipc_mgr.h"
#include "framework/ipc/ipc_test_process.h"
#include "framework/ipc/ipc_test_support.h"

namespace Application {
namespace {

using namespace ipc::testing;

uint32_t IpcidOf(IIPCHost* host) { return static_cast<IPCHostImpl*>(host)->Ipcid(); }

std::string Frame(const std::string& payload) { return Le32(static_cast<uint32_t>(payload.size())) + payload; }

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

class HostileClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(manager.Init());
        legit = manager.CreateHost();
        ASSERT_NE(legit, nullptr);
        legit_recorder.Attach(legit);
        char cmdline[256];
        legit->GetCmdLine(cmdline, sizeof cmdline);
        child = std::make_unique<ChildProcess>(std::vector<std::string>{cmdline, "-tag=legit"});
        ASSERT_TRUE(legit_recorder.WaitFrames(1));
        port = manager.PortForTesting();
    }
    void TearDown() override {
        if (legit->IsConnected()) {
            legit->Send("Cexit", 5);
            EXPECT_EQ(child->Wait(), 0);
        }
        for (IIPCHost* host : others) manager.DestroyHost(host);
        manager.DestroyHost(legit);
        manager.Free();
    }

    // One round trip with the legitimate child.
    void ExpectChildServed() {
        const std::string ping = "ping" + std::to_string(++pings);
        legit_recorder.ClearFrames();
        ASSERT_TRUE(legit->Send(ping.data(), static_cast<int>(ping.size())));
        ASSERT_TRUE(legit_recorder.WaitFrames(1));
        EXPECT_EQ(legit_recorder.Frames()[0], ping);
    }

    // A second endpoint whose "child" is a raw socket that knows its id.
    IIPCHost* BindRawClient(RawClient* raw, HostRecorder* recorder) {
        IIPCHost* host = manager.CreateHost();
        others.push_back(host);
        recorder->Attach(host);
        EXPECT_TRUE(raw->Connect(port));
        EXPECT_TRUE(raw->Send(Le32(IpcidOf(host))));
        EXPECT_TRUE(recorder->WaitConnects(1));
        return host;
    }

    // Owned here, so callbacks that arrive after a test body ended still find them.
    HostRecorder& NewRecorder() { return recorders.emplace_back(); }

    std::list<HostRecorder> recorders;
    IPCMgrImpl manager;
    IIPCHost* legit = nullptr;
    HostRecorder& legit_recorder = NewRecorder();
    std::unique_ptr<ChildProcess> child;
    std::vector<IIPCHost*> others;
    int port = 0;
    int pings = 0;
};

TEST_F(HostileClientTest, SilentConnectionIsDroppedWhileOthersAreServed) {
    RawClient silent;
    ASSERT_TRUE(silent.Connect(port));
    for (int i = 0; i < 5; ++i) ExpectChildServed();
    EXPECT_TRUE(silent.WaitClosedByPeer());
    ExpectChildServed();
}

TEST_F(HostileClientTest, UnknownIpcidIsRefused) {
    RawClient stranger;
    ASSERT_TRUE(stranger.Connect(port));
    ASSERT_TRUE(stranger.Send(Le32(IpcidOf(legit) ^ 0x5A5A5A5Au) + Frame("evil")));
    EXPECT_TRUE(stranger.WaitClosedByPeer());
    ExpectChildServed();
    EXPECT_EQ(legit_recorder.Connects(), std::vector<bool>{true});
}

TEST_F(HostileClientTest, ReplayedIpcidOfABoundEndpointIsRefused) {
    RawClient replay;
    ASSERT_TRUE(replay.Connect(port));
    ASSERT_TRUE(replay.Send(Le32(IpcidOf(legit)) + Frame("evil")));
    EXPECT_TRUE(replay.WaitClosedByPeer());
    ExpectChildServed();
    for (const auto& frame : legit_recorder.Frames()) EXPECT_NE(frame, "evil");
    EXPECT_EQ(legit_recorder.Connects(), std::vector<bool>{true});
    EXPECT_TRUE(legit->IsConnected());
}

TEST_F(HostileClientTest, IpcidOfAnEndpointWhoseChildLeftIsRefused) {
    HostRecorder& recorder = NewRecorder();
    RawClient first;
    IIPCHost* host = BindRawClient(&first, &recorder);
    const uint32_t ipcid = IpcidOf(host);
    first.Send(Le32(UINT32_MAX));  // a negative length ends it
    ASSERT_TRUE(recorder.WaitConnects(2));
    RawClient second;
    ASSERT_TRUE(second.Connect(port));
    ASSERT_TRUE(second.Send(Le32(ipcid)));
    EXPECT_TRUE(second.WaitClosedByPeer());
    EXPECT_EQ(recorder.Connects(), (std::vector<bool>{true, false}));
    ExpectChildServed();
}

struct BadLengthCase {
    const char* name;
    uint32_t length;
};

class HostileLengthTest : public HostileClientTest, public ::testing::WithParamInterface<BadLengthCase> {};

TEST_P(HostileLengthTest, ClosesOnlyThatConnection) {
    HostRecorder& recorder = NewRecorder();
    RawClient raw;
    IIPCHost* host = BindRawClient(&raw, &recorder);
    ASSERT_TRUE(raw.Send(Frame("fine") + Le32(GetParam().length) + "tail"));
    EXPECT_TRUE(raw.WaitClosedByPeer());
    ASSERT_TRUE(recorder.WaitConnects(2));
    EXPECT_EQ(recorder.Frames(), std::vector<std::string>{"fine"});
    EXPECT_FALSE(host->IsConnected());
    ExpectChildServed();
}

INSTANTIATE_TEST_SUITE_P(Lengths, HostileLengthTest,
                         ::testing::Values(BadLengthCase{"MinusOne", 0xFFFFFFFFu},
                                           BadLengthCase{"MostNegative", 0x80000000u},
                                           BadLengthCase{"AboveLimit", ipc::FrameReader::kMaxFrameLength + 1u},
                                           BadLengthCase{"Largest", 0x7FFFFFFFu}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileClientTest, HugeAnnouncedFrameCostsOnlyWhatArrives) {
    HostRecorder& recorder = NewRecorder();
    RawClient raw;
    BindRawClient(&raw, &recorder);
    const size_t before = ResidentBytes();
    ASSERT_TRUE(raw.Send(Le32(ipc::FrameReader::kMaxFrameLength) + std::string(1024 * 1024, 'x')));
    ExpectChildServed();
    ExpectChildServed();
    EXPECT_TRUE(raw.StillOpen());
    EXPECT_LT(ResidentBytes() - std::min(before, ResidentBytes()), size_t{24} * 1024 * 1024);
    EXPECT_TRUE(recorder.Frames().empty());
}

TEST_F(HostileClientTest, FrameSentByteByByteArrivesWholeAndOthersAreServed) {
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = manager.CreateHost();
    others.push_back(host);
    recorder.Attach(host);
    RawClient raw;
    ASSERT_TRUE(raw.Connect(port));
    const std::string payload = MakeSizedFrame(9000);
    const std::string stream = Le32(IpcidOf(host)) + Frame(payload);
    for (size_t i = 0; i < stream.size(); ++i) {
        ASSERT_TRUE(raw.Send(stream.substr(i, 1)));
        if (i % 3000 == 1) ExpectChildServed();
    }
    ASSERT_TRUE(recorder.WaitFrames(1));
    EXPECT_TRUE(recorder.Frames()[0] == payload);
    EXPECT_EQ(recorder.Connects(), std::vector<bool>{true});
}

TEST_F(HostileClientTest, ThousandsOfConnectionsNeitherStopServiceNorGrowMemory) {
    constexpr int kFlood = 2000;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t wanted = 3 * kFlood + 256;
    if (limit.rlim_cur < wanted) {
        if (limit.rlim_max < wanted) GTEST_SKIP() << "descriptor limit too low";
        limit.rlim_cur = wanted;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    const size_t before = ResidentBytes();
    std::vector<RawClient> flood(kFlood);
    for (auto& raw : flood) ASSERT_TRUE(raw.Connect(port, false));
    ExpectChildServed();
    // Unidentified connections are capped: most of the flood is already gone.
    EXPECT_TRUE(WaitUntil([&] {
        return manager.ConnectionCountForTesting() <=
               ipc::CSocketServerFd::kMaxPendingHandshakes + static_cast<size_t>(manager.ConnectionLimit());
    }));
    ExpectChildServed();
    EXPECT_LT(ResidentBytes() - std::min(before, ResidentBytes()), size_t{32} * 1024 * 1024);
    flood.clear();

    // A child started after the flood still gets through.
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = manager.CreateHost();
    others.push_back(host);
    recorder.Attach(host);
    char cmdline[256];
    host->GetCmdLine(cmdline, sizeof cmdline);
    ChildProcess late({cmdline, "-tag=late"});
    ASSERT_TRUE(recorder.WaitFrames(1));
    EXPECT_EQ(recorder.Frames()[0], "Hlate");
    ASSERT_TRUE(host->Send("Cexit", 5));
    EXPECT_EQ(late.Wait(), 0);
    ExpectChildServed();
}

// Another local user can read the endpoint id from the child's command line
// and connect before the child does; the host must not even read it.
TEST_F(HostileClientTest, AnotherUserWithTheRightIdIsClosedBeforeItBinds) {
    if (const std::string why = ForeignUserUnavailable(); !why.empty()) GTEST_SKIP() << why;
    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = manager.CreateHost();
    others.push_back(host);
    recorder.Attach(host);
    ForeignUserProcess foreign;
    ASSERT_TRUE(foreign.Start({"present", std::to_string(port), std::to_string(IpcidOf(host)),
                               Hex(Frame("evil") + Frame("Cexit"))}));
    EXPECT_EQ(foreign.Report(), 'X') << "the host kept another user's connection";
    EXPECT_EQ(foreign.Wait(), 0);
    EXPECT_GE(manager.ForeignRefusedForTesting(), 1u);
    EXPECT_TRUE(recorder.Connects().empty()) << "another user's connection was bound";
    EXPECT_FALSE(host->IsConnected());

    // The real child, of this user, then gets the endpoint.
    char cmdline[256];
    host->GetCmdLine(cmdline, sizeof cmdline);
    ChildProcess real({cmdline, "-tag=real"});
    ASSERT_TRUE(recorder.WaitFrames(1));
    EXPECT_EQ(recorder.Frames()[0], "Hreal");
    recorder.ClearFrames();
    ASSERT_TRUE(host->Send("echo me", 7));
    ASSERT_TRUE(recorder.WaitFrames(1));
    EXPECT_EQ(recorder.Frames()[0], "echo me");
    EXPECT_EQ(recorder.Connects(), std::vector<bool>{true});
    ASSERT_TRUE(host->Send("Cexit", 5));
    EXPECT_EQ(real.Wait(), 0);
    ExpectChildServed();
}

// Another user's flood of idle connections takes no place in the table or
// among the pending handshakes: a child started meanwhile is served at once.
TEST_F(HostileClientTest, AnotherUsersFloodNeitherCrowdsOutAChildNorCostsDescriptors) {
    if (const std::string why = ForeignUserUnavailable(); !why.empty()) GTEST_SKIP() << why;
    constexpr int kFlood = 1000;
    const size_t descriptors_before = OpenDescriptors();
    const size_t refused_before = manager.ForeignRefusedForTesting();
    // Held open until told; the peer's exit closes them all.
    auto foreign = std::make_unique<ForeignUserProcess>();
    ASSERT_TRUE(foreign->Start({"flood", std::to_string(port), std::to_string(kFlood)}));
    ASSERT_EQ(foreign->Report(), 'F') << "the flood could not open its connections";

    HostRecorder& recorder = NewRecorder();
    IIPCHost* host = manager.CreateHost();
    others.push_back(host);
    recorder.Attach(host);
    char cmdline[256];
    host->GetCmdLine(cmdline, sizeof cmdline);
    ChildProcess late({cmdline, "-tag=late"});
    EXPECT_TRUE(WaitUntil([&] { return !recorder.Frames().empty(); }, 5s)) << "the child was not served within 5 s";
    ASSERT_TRUE(recorder.WaitFrames(1));
    EXPECT_EQ(recorder.Frames()[0], "Hlate");
    ExpectChildServed();
    EXPECT_TRUE(WaitUntil([&] { return manager.ForeignRefusedForTesting() - refused_before >= kFlood; }));
    EXPECT_EQ(manager.ConnectionCountForTesting(), 2u) << "only the two children hold places";

    foreign->Tell('q');
    EXPECT_EQ(foreign->Wait(), 0);
    foreign.reset();  // its two pipes
    ASSERT_TRUE(host->Send("Cexit", 5));
    EXPECT_EQ(late.Wait(), 0);
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() <= descriptors_before; }))
        << OpenDescriptors() << " descriptors open, " << descriptors_before << " before the flood";
    ExpectChildServed();
}

}  // namespace
}  // namespace Application
