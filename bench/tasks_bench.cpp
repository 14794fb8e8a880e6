// Prints, side by side: one task hop main -> worker -> main against a bare
// condition-variable round trip between two threads; task throughput with
// four posting threads; Notify cost for 1 and 10 subscribers; Log::Write cost
// on the caller's thread and the lines per second that reach the file.

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/summary.h"
#include "framework/log/log.h"
#include "framework/notifier/notifier.h"
#include "framework/tasks/thread_event.h"
#include "framework/tasks/thread_task_mgr.h"

namespace {

using Clock = std::chrono::steady_clock;
using Application::Notifier;
using Application::ThreadEvent;
using Application::ThreadTaskMgr;

struct Percentiles {
    double p50_us;
    double p99_us;
};

Percentiles Summarise(std::vector<double>& samples_us) {
    std::sort(samples_us.begin(), samples_us.end());
    auto at = [&](double q) { return samples_us[static_cast<size_t>(q * (samples_us.size() - 1))]; };
    return {at(0.50), at(0.99)};
}

double MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Main posts to worker1; the worker posts the answer to the main queue and
// wakes the main thread, which runs one main-queue pass, as the host's pump
// would, but without the 10 ms timer.
Percentiles TaskHop(int rounds) {
    ThreadTaskMgr mgr;
    mgr.Init();
    ThreadEvent answered;
    std::vector<double> samples;
    samples.reserve(rounds);
    for (int i = 0; i < rounds + 100; ++i) {
        bool back = false;
        const auto start = Clock::now();
        mgr.PostWorker1Task([&] {
            mgr.PostMainThreadTask([&back] { back = true; });
            answered.Set();
        });
        answered.Wait();
        mgr.RunMainQueuePass();
        if (!back) std::abort();
        if (i >= 100) samples.push_back(MicrosecondsSince(start));
    }
    mgr.Free();
    return Summarise(samples);
}

// The same round trip with nothing but a mutex, a condition variable and two flags.
Percentiles BareHandOff(int rounds) {
    std::mutex mutex;
    std::condition_variable to_worker, to_main;
    bool ping = false, pong = false, stop = false;
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            to_worker.wait(lock, [&] { return ping || stop; });
            if (stop) return;
            ping = false;
            pong = true;
            to_main.notify_all();
        }
    });
    std::vector<double> samples;
    samples.reserve(rounds);
    for (int i = 0; i < rounds + 100; ++i) {
        const auto start = Clock::now();
        {
            std::unique_lock<std::mutex> lock(mutex);
            ping = true;
            to_worker.notify_all();
            to_main.wait(lock, [&] { return pong; });
            pong = false;
        }
        if (i >= 100) samples.push_back(MicrosecondsSince(start));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    to_worker.notify_all();
    worker.join();
    return Summarise(samples);
}

// Tasks handing on to each other, worker1 -> worker2 -> worker1 ..., each
// hop a post that wakes (or finds awake) the other worker: us per hop,
// median of batches.
double WorkerHopUs(int hops_per_batch, int batches) {
    ThreadTaskMgr mgr;
    mgr.Init();
    ThreadEvent done;
    std::function<void(int)> hop = [&](int left) {
        if (left == 0) {
            done.Set();
            return;
        }
        if (mgr.IsWorker1Thread()) {
            mgr.PostWorker2Task([&, left] { hop(left - 1); });
        } else {
            mgr.PostWorker1Task([&, left] { hop(left - 1); });
        }
    };
    std::vector<double> per_hop;
    for (int batch = 0; batch < batches + 1; ++batch) {
        const auto start = Clock::now();
        mgr.PostWorker1Task([&] { hop(hops_per_batch); });
        done.Wait();
        if (batch > 0) per_hop.push_back(MicrosecondsSince(start) / hops_per_batch);
    }
    mgr.Free();
    std::sort(per_hop.begin(), per_hop.end());
    return per_hop[per_hop.size() / 2];
}

double Throughput(int posters, int per_poster) {
    ThreadTaskMgr mgr;
    mgr.Init();
    std::atomic<int> ran{0};
    ThreadEvent all_done(true);
    const int total = posters * per_poster;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < posters; ++p) {
        threads.emplace_back([&] {
            for (int i = 0; i < per_poster; ++i) {
                mgr.PostWorker1Task([&] {
                    if (ran.fetch_add(1, std::memory_order_relaxed) + 1 == total) all_done.Set();
                });
            }
        });
    }
    all_done.Wait();
    const double seconds = MicrosecondsSince(start) / 1e6;
    for (std::thread& thread : threads) thread.join();
    mgr.Free();
    return total / seconds;
}

double NotifyNs(int subscribers, int calls) {
    Notifier notifier;
    volatile unsigned sink = 0;
    for (int i = 0; i < subscribers; ++i)
        notifier.Subscribe("app", 7, [&sink](unsigned handle, const char*, int length) { sink = sink + handle + length; });
    const char payload[] = "payload";
    for (int i = 0; i < 1000; ++i) notifier.Notify("app", 7, payload, 7);
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) notifier.Notify("app", 7, payload, 7);
    return MicrosecondsSince(start) * 1000.0 / calls;
}

double ThreadCpuMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

struct LogRun {
    double write_ns;     // per call, on the caller's thread
    double write_cpu_ns; // the same in CPU time: without the time others' threads had the core
    double lines_per_s;  // first Write until the draining stop has put every line in the file
};

size_t CountLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

LogRun WriteLines(const std::string& directory, int lines) {
    Application::Log log;
    log.SetLogDirectoryForTesting(directory);
    if (!log.Init() || log.FilePathForTesting().empty()) {
        std::fprintf(stderr, "cannot open a log file under %s\n", directory.c_str());
        std::exit(1);
    }
    const std::string path = log.FilePathForTesting();
    const auto start = Clock::now();
    const double cpu_start_us = ThreadCpuMicroseconds();
    for (int i = 0; i < lines; ++i)
        log.Write(Application::kLogInfo, "bench line %d of %d: %s", i, lines, "a message of a typical length");
    const double write_cpu_us = ThreadCpuMicroseconds() - cpu_start_us;
    const double write_us = MicrosecondsSince(start);
    log.Free();
    const double drained_us = MicrosecondsSince(start);
    const size_t found = CountLines(path);
    std::filesystem::remove(path);
    if (found != static_cast<size_t>(lines)) {
        std::fprintf(stderr, "lost lines: %zu of %d reached the file\n", found, lines);
        std::exit(1);
    }
    return {write_us * 1000.0 / lines, write_cpu_us * 1000.0 / lines, lines / (drained_us / 1e6)};
}

// Median of five runs in a private temporary directory.
LogRun LogFigures(int lines) {
    const char* base = getenv("TMPDIR");
    std::string directory = std::string(base && base[0] == '/' ? base : "/tmp") + "/velmora-log-bench-XXXXXX";
    if (!mkdtemp(directory.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    WriteLines(directory, lines / 10);  // warm the allocator and the file system
    std::vector<double> write_ns, write_cpu_ns, lines_per_s;
    for (int run = 0; run < 5; ++run) {
        const LogRun figures = WriteLines(directory, lines);
        write_ns.push_back(figures.write_ns);
        write_cpu_ns.push_back(figures.write_cpu_ns);
        lines_per_s.push_back(figures.lines_per_s);
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    for (auto* values : {&write_ns, &write_cpu_ns, &lines_per_s}) std::sort(values->begin(), values->end());
    return {write_ns[2], write_cpu_ns[2], lines_per_s[2]};
}

}  // namespace

int main() {
    constexpr int kRounds = 20000;
    const Percentiles bare = BareHandOff(kRounds);
    const Percentiles hop = TaskHop(kRounds);
    std::printf("round trip main -> worker -> main (%d rounds)\n", kRounds);
    std::printf("  %-34s p50 %8.2f us   p99 %8.2f us\n", "bare condition_variable hand-off", bare.p50_us,
                bare.p99_us);
    std::printf("  %-34s p50 %8.2f us   p99 %8.2f us   (p50 %.2fx, p99 %.2fx of bare)\n", "task hop", hop.p50_us,
                hop.p99_us, hop.p50_us / bare.p50_us, hop.p99_us / bare.p99_us);

    const double worker_hop = WorkerHopUs(2000, 9);
    std::printf("  %-34s %8.2f us per hop   (a bare hand-off is %.2f us, half its round trip)\n",
                "worker1 <-> worker2 hops", worker_hop, bare.p50_us / 2);

    std::printf("throughput, 4 posting threads -> worker1\n");
    std::printf("  %-34s %12.0f tasks/s\n", "PostWorker1Task", Throughput(4, 250000));

    std::printf("Notify (module, id) with payload\n");
    std::printf("  %-34s %8.1f ns/call\n", "1 subscriber", NotifyNs(1, 2000000));
    std::printf("  %-34s %8.1f ns/call\n", "10 subscribers", NotifyNs(10, 500000));

    constexpr int kLogLines = 200000;
    const LogRun log = LogFigures(kLogLines);
    std::printf("Log, %d lines (median of 5 runs)\n", kLogLines);
    std::printf("  %-34s %8.1f ns/call   (CPU time %.1f ns/call)\n", "Write on the caller's thread", log.write_ns,
                log.write_cpu_ns);
    std::printf("  %-34s %12.0f lines/s\n", "lines reaching the file", log.lines_per_s);

    PrintSummary("task_hop", worker_hop, "us", bare.p50_us / 2);
    PrintSummary("log_write", log.write_ns / 1000.0, "us", 0);
    return 0;
}
