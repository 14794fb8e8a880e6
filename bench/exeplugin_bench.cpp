// Plugin calls across processes: the host library in this process, the
// sample plugin executable as the plugin process. Beside them, a bare
// loopback TCP ping-pong of the same request bytes between two processes.
//   exeplugin_bench [-rounds=N] [-pipelined=N] [-large_rounds=N]

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/summary.h"
#include "framework/core/cmdline_mgr.h"
#include "framework/exeplugin/exe_plugin_test_support.h"
#include "framework/exeplugin/host_proxy.h"
#include "framework/exeplugin/messages.h"

using namespace Application;
using namespace Application::ExePluginTest;
using Clock = std::chrono::steady_clock;

namespace {

std::string Switch(const char* name, const char* fallback) {
    char value[256] = {};
    ProcessCmdLineMgr()->GetValue(name, value, sizeof value);
    return value[0] ? value : fallback;
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

const std::string kData(16, 'd');

// The bytes of one Call frame as the plugin connection carries it.
size_t RequestBytes() { return ExePlugin::Frame(ExePlugin::kCall, ExePlugin::PayloadWriter().I32(1).Text(kData).U32(1).Take()).size(); }

Percentiles BareRoundTrip(int rounds) {
    pid_t child = -1;
    const int fd = StartBareChild(child);
    const auto frame = MakeWireFrame(RequestBytes());
    std::vector<char> payload;
    std::vector<double> samples;
    for (int i = 0; i < rounds + rounds / 10; ++i) {
        const auto start = Clock::now();
        SendAllBlocking(fd, frame.data(), frame.size());
        RecvFrame(fd, payload);
        if (i >= rounds / 10) samples.push_back(Us(Clock::now() - start));
    }
    close(fd);
    Reap(child);
    return Summarise(samples);
}

// The large call's bytes (10 MB), echoed whole by both peers.
constexpr size_t kLargeBytes = 10'000'000;

double MegabytesPerSecond(size_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

// A 10 MB frame out and the same bytes back, between two processes: the
// median round trip as MB/s of the payload.
double BareLargeEcho(int rounds) {
    pid_t child = -1;
    const int fd = StartBareChild(child);
    const auto frame = MakeWireFrame(kLargeBytes);
    std::vector<char> payload;
    std::vector<double> samples;
    for (int i = 0; i < rounds + 1; ++i) {
        const auto start = Clock::now();
        SendAllBlocking(fd, frame.data(), frame.size());
        RecvFrame(fd, payload);
        if (i > 0) samples.push_back(Us(Clock::now() - start));
    }
    close(fd);
    Reap(child);
    return MegabytesPerSecond(kLargeBytes, Summarise(samples).p50_us / 1e6);
}

// Answers arrive on worker thread 2; a pipelining caller sleeps while its
// window is full (spinning would take one of two cores from the protocol).
class Waiter {
public:
    void Add(long n = 1) {
        std::lock_guard<std::mutex> guard(lock_);
        count_ += n;
        changed_.notify_all();
    }
    // Waits until count >= target; false after 30 s.
    bool WaitFor(long target) {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ >= target; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    long count_ = 0;
};

// The caller polls for the answer (yielding), so the figure is the protocol's
// path (worker hops and sockets) rather than one more wake-up of the caller.
Percentiles PluginRoundTrip(IPlugin* plugin, int rounds) {
    std::vector<double> samples;
    for (int i = 0; i < rounds + rounds / 10; ++i) {
        std::atomic<bool> done{false};
        const auto start = Clock::now();
        plugin->Invoke(1, kData.data(), static_cast<int32_t>(kData.size()),
                       [&done](const char*, int32_t) { done.store(true, std::memory_order_release); });
        const auto deadline = start + std::chrono::seconds(30);
        while (!done.load(std::memory_order_acquire)) {
            // Yielding leaves the core to the protocol threads on a small machine.
            std::this_thread::yield();
            if (Clock::now() > deadline) {
                std::fprintf(stderr, "no answer\n");
                std::exit(1);
            }
        }
        if (i >= rounds / 10) samples.push_back(Us(Clock::now() - start));
    }
    return Summarise(samples);
}

// A 10 MB Invoke echoed by the sample plugin (it answers "echo: " + data).
double PluginLargeEcho(IPlugin* plugin, int rounds) {
    const std::string data(kLargeBytes, 'L');
    std::vector<double> samples;
    for (int i = 0; i < rounds + 1; ++i) {
        Waiter answered;
        size_t answer_size = 0;
        const auto start = Clock::now();
        plugin->Invoke(1, data.data(), static_cast<int32_t>(data.size()), [&](const char*, int32_t length) {
            answer_size = static_cast<size_t>(length);
            answered.Add();
        });
        if (!answered.WaitFor(1) || answer_size != kLargeBytes + 6) {
            std::fprintf(stderr, "large call not answered whole\n");
            std::exit(1);
        }
        if (i > 0) samples.push_back(Us(Clock::now() - start));
    }
    return MegabytesPerSecond(kLargeBytes, Summarise(samples).p50_us / 1e6);
}

// The same executable started and reaped with nothing to connect to: it
// loads the library, starts the framework, finds no switch and quits.
Percentiles BareSpawnAndExit(const std::string& executable, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        std::string program = executable;
        char* argv[] = {program.data(), nullptr};
        pid_t pid = -1;
        const auto start = Clock::now();
        if (posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ) != 0) return {0, 0};
        Reap(pid);
        samples.push_back(Us(Clock::now() - start) / 1000.0);
    }
    return Summarise(samples);
}

double Pipelined(IPlugin* plugin, long total, long window) {
    Waiter answers;
    const auto start = Clock::now();
    for (long sent = 0; sent < total; ++sent) {
        if (sent >= window && !answers.WaitFor(sent - window + 1)) {
            std::fprintf(stderr, "pipelined calls stalled\n");
            std::exit(1);
        }
        plugin->Invoke(1, kData.data(), static_cast<int32_t>(kData.size()), [&answers](const char*, int32_t) { answers.Add(); });
    }
    answers.WaitFor(total);
    return static_cast<double>(total) / std::chrono::duration<double>(Clock::now() - start).count();
}

// Plugin creation (application start) to "app" 5, several times.
Percentiles SpawnToConnected(const std::string& config, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        PluginAnnouncements* announcements = nullptr;
        const auto start = Clock::now();
        StartHost(config);
        PluginAnnouncements local("SampleProcess");
        announcements = &local;
        announcements->Subscribe();
        // A connection before the subscription would be missed: detect it by a call.
        PumpUntil([&] { return announcements->connected() > 0 || Call(App()->GetPluginMgr()->GetPlugin("SampleProcess"), 1, "", std::chrono::milliseconds(1)).has_value(); });
        samples.push_back(Us(Clock::now() - start) / 1000.0);
        DestroyApplication();
    }
    return Summarise(samples);
}

Percentiles KillToReconnected(IPlugin* plugin, PluginAnnouncements& announcements, int kills) {
    std::vector<double> samples;
    for (int i = 0; i < kills; ++i) {
        const pid_t pid = std::stoi(Call(plugin, 4, "").value_or("0"));
        const int before = announcements.connected();
        const auto start = Clock::now();
        kill(pid, SIGKILL);
        PumpUntil([&] { return announcements.connected() > before; });
        samples.push_back(Us(Clock::now() - start) / 1000.0);
    }
    return Summarise(samples);
}

}  // namespace

int main(int argc, char** argv) {
    ProcessCmdLineMgr()->Parse(argc, argv);
    const std::string role = Switch("role", "");
    if (role == "bare") return BareChild(std::atoi(Switch("port", "0").c_str()));
    const int rounds = std::atoi(Switch("rounds", "5000").c_str());
    const long pipelined = std::atol(Switch("pipelined", "100000").c_str());
    const int large_rounds = std::atoi(Switch("large_rounds", "10").c_str());

    const Percentiles bare = BareRoundTrip(rounds);
    const double bare_large = BareLargeEcho(large_rounds);

    TempTree tree("exeplugin_bench");
    const std::string sample = SelfPath().substr(0, SelfPath().rfind('/')) + "/plugins/SampleProcess";
    const Percentiles bare_spawn = BareSpawnAndExit(sample, 10);
    const std::string config = tree.WriteConfig("[" + SampleProcessEntry() + "]");
    const Percentiles spawn = SpawnToConnected(config, 10);

    // Every death restarts at once: the figure is the restart path, not the back-off.
    ExePlugin::ExePluginHostProxy::BackoffPolicy no_backoff;
    no_backoff.rapid_exit_ms = 0;
    ExePlugin::ExePluginHostProxy::SetBackoffPolicyForTesting(no_backoff);
    StartHost(config);
    PluginAnnouncements announcements("SampleProcess");
    announcements.Subscribe();
    IPlugin* plugin = App()->GetPluginMgr()->GetPlugin("SampleProcess");
    Call(plugin, 1, "warm up");
    const Percentiles trip = PluginRoundTrip(plugin, rounds);
    const double calls_per_second = Pipelined(plugin, pipelined, 1000);
    const double large = PluginLargeEcho(plugin, large_rounds);
    const Percentiles restart = KillToReconnected(plugin, announcements, 20);
    DestroyApplication();

    std::printf("Invoke round trip host -> plugin process -> callback (%zu-byte request), %d rounds\n", RequestBytes(), rounds);
    std::printf("  plugin call   p50 %7.1f us   p99 %7.1f us\n", trip.p50_us, trip.p99_us);
    std::printf("  bare TCP      p50 %7.1f us   p99 %7.1f us   ratio p50 %.2fx\n", bare.p50_us, bare.p99_us,
                trip.p50_us / bare.p50_us);
    std::printf("pipelined calls, 1000 in flight: %.0f calls/s (%ld calls)\n", calls_per_second, pipelined);
    std::printf("10 MB echo round trip: plugin call %.0f MB/s, bare TCP %.0f MB/s\n", large, bare_large);
    std::printf("plugin creation to \"app\" 5: p50 %.1f ms, max of 10 %.1f ms\n", spawn.p50_us, spawn.p99_us);
    std::printf("  the executable started and reaped without a host: p50 %.1f ms\n", bare_spawn.p50_us);
    std::printf("SIGKILL to next \"app\" 5:    p50 %.1f ms, p99 %.1f ms (20 kills)\n", restart.p50_us, restart.p99_us);
    PrintSummary("invoke_rtt_p50", trip.p50_us, "us", bare.p50_us);
    PrintSummary("invoke_rtt_p99", trip.p99_us, "us", bare.p99_us);
    PrintSummary("pipelined_calls", calls_per_second, "calls/s", 0);
    PrintSummary("invoke_10mb", large, "MB/s", bare_large);
    PrintSummary("spawn_to_connected", spawn.p50_us, "ms", bare_spawn.p50_us);
    PrintSummary("kill_to_reconnected", restart.p50_us, "ms", 0);
    return 0;
}
