// Round trips and streaming between two processes through an IPC host and
// client endpoint, beside a bare loopback TCP ping-pong of the same frames
// (one write per frame, TCP_NODELAY, blocking reads) as the baseline.
// The program starts itself as the child: ipc_bench [-rounds=N] [-frames=N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/cmdline_mgr.h"
#include "framework/ipc/ipc_mgr.h"
#include "bench/bench_support.h"
#include "bench/summary.h"

using namespace Application;
using Clock = std::chrono::steady_clock;

namespace {

std::string Switch(const char* name, const char* fallback = "") {
    char value[256] = {};
    ProcessCmdLineMgr()->GetValue(name, value, sizeof value);
    return value[0] ? value : fallback;
}

struct Results {
    Percentiles round_trip[3];
    double frames_per_second;
};

const size_t kSizes[3] = {64, 4096, 100000};
const char* const kSizeNames[3] = {"64 B", "4 KB", "100 KB"};

int RoundsFor(size_t size, int rounds) { return size >= 100000 ? std::max(rounds / 10, 200) : rounds; }

Results RunBare(int rounds, long frames) {
    Results results{};
    pid_t child = -1;
    const int fd = StartBareChild(child);
    std::vector<char> payload;
    for (int s = 0; s < 3; ++s) {
        const auto frame = MakeWireFrame(kSizes[s]);
        const int n = RoundsFor(kSizes[s], rounds);
        std::vector<double> samples;
        for (int i = 0; i < n + n / 10; ++i) {
            const auto start = Clock::now();
            SendAllBlocking(fd, frame.data(), frame.size());
            RecvFrame(fd, payload);
            if (i >= n / 10) samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        results.round_trip[s] = Summarise(samples);
    }
    std::string marker = "s" + std::to_string(frames);
    auto stream_frame = MakeWireFrame(1024);
    std::memcpy(stream_frame.data() + 4, marker.c_str(), marker.size() + 1);
    const auto start = Clock::now();
    for (long i = 0; i < frames; ++i) SendAllBlocking(fd, stream_frame.data(), stream_frame.size());
    RecvFrame(fd, payload);
    results.frames_per_second = frames / std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    Reap(child);
    return results;
}

// ---- through the IPC endpoints ----

int IpcChild() {
    IPCMgrImpl manager;
    manager.Init();
    IIPCClient* client = manager.CreateClient();
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    long streamed = 0;
    client->SetRecvCallback([&](const char* data, int length) {
        if (length > 0 && data[0] == 's') {
            if (++streamed == std::atol(data + 1)) {
                client->Send("d", 1);
                streamed = 0;
            }
            return;
        }
        client->Send(data, length);
    });
    client->SetConnectCallback([&](bool connected) {
        if (connected) return;
        std::lock_guard<std::mutex> guard(mutex);
        done = true;
        changed.notify_all();
    });
    client->Init();
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return done; });
    }
    manager.DestroyClient(client);
    manager.Free();
    return 0;
}

Results RunIpc(int rounds, long frames) {
    Results results{};
    IPCMgrImpl manager;
    manager.Init();
    IIPCHost* host = manager.CreateHost();
    char cmdline[256];
    host->GetCmdLine(cmdline, sizeof cmdline);

    std::mutex mutex;
    std::condition_variable changed;
    bool connected = false;
    bool finished = false;
    std::vector<double> samples;
    std::string payload;
    int round = 0;
    int total_rounds = 0;
    int warmup = 0;
    Clock::time_point sent_at;
    host->SetConnectCallback([&](bool up) {
        std::lock_guard<std::mutex> guard(mutex);
        connected = up;
        changed.notify_all();
    });
    // The next ping leaves from the receive callback, as a protocol reply would.
    host->SetRecvCallback([&](const char* data, int) {
        const auto now = Clock::now();
        if (data && data[0] == 'd') {
            std::lock_guard<std::mutex> guard(mutex);
            finished = true;
            changed.notify_all();
            return;
        }
        if (round++ >= warmup) samples.push_back(std::chrono::duration<double, std::micro>(now - sent_at).count());
        if (round < total_rounds) {
            sent_at = Clock::now();
            host->Send(payload.data(), static_cast<int>(payload.size()));
            return;
        }
        std::lock_guard<std::mutex> guard(mutex);
        finished = true;
        changed.notify_all();
    });
    const pid_t child = Spawn({cmdline, "-role=ipc"});
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return connected; });
    }
    for (int s = 0; s < 3; ++s) {
        const int n = RoundsFor(kSizes[s], rounds);
        {
            // No round is in flight: the callback's last access came before it reported finished.
            std::lock_guard<std::mutex> guard(mutex);
            payload.assign(kSizes[s], 'p');
            samples.clear();
            round = 0;
            warmup = n / 10;
            total_rounds = n + n / 10;
            finished = false;
            sent_at = Clock::now();
            host->Send(payload.data(), static_cast<int>(payload.size()));
        }
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return finished; });
        results.round_trip[s] = Summarise(samples);
    }
    std::string stream_frame(1024, 'p');
    const std::string marker = "s" + std::to_string(frames);
    std::memcpy(stream_frame.data(), marker.c_str(), marker.size() + 1);
    {
        std::lock_guard<std::mutex> guard(mutex);
        finished = false;
    }
    const auto start = Clock::now();
    for (long i = 0; i < frames; ++i) host->Send(stream_frame.data(), static_cast<int>(stream_frame.size()));
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return finished; });
    }
    results.frames_per_second = frames / std::chrono::duration<double>(Clock::now() - start).count();
    manager.DestroyHost(host);
    manager.Free();
    Reap(child);
    return results;
}

}  // namespace

int main(int argc, char** argv) {
    ProcessCmdLineMgr()->Parse(argc, argv);
    const std::string role = Switch("role");
    if (role == "bare") return BareChild(std::atoi(Switch("port", "0").c_str()));
    if (role == "ipc") return IpcChild();

    const int rounds = std::atoi(Switch("rounds", "20000").c_str());
    const long frames = std::atol(Switch("frames", "500000").c_str());
    const Results bare = RunBare(rounds, frames);
    const Results ipc = RunIpc(rounds, frames);
    std::printf("round trip (us)      IPC p50   IPC p99  bare p50  bare p99  p50 ratio\n");
    for (int s = 0; s < 3; ++s) {
        std::printf("%-18s %9.1f %9.1f %9.1f %9.1f %9.2fx\n", kSizeNames[s], ipc.round_trip[s].p50_us,
                    ipc.round_trip[s].p99_us, bare.round_trip[s].p50_us, bare.round_trip[s].p99_us,
                    ipc.round_trip[s].p50_us / bare.round_trip[s].p50_us);
    }
    std::printf("streaming 1 KB frames, host to child: IPC %.0f frames/s, bare %.0f frames/s\n",
                ipc.frames_per_second, bare.frames_per_second);
    PrintSummary("ipc_rtt_64b", ipc.round_trip[0].p50_us, "us", bare.round_trip[0].p50_us);
    return 0;
}
