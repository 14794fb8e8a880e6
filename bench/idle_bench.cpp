// What an idle desktop costs: the real Velmora program with 1 and then 20
// process plugins of the sample executable, left alone. Counts the context
// switches of every thread of the host and of its plugin processes (each
// sleep that ends is one) and their CPU time over a quiet window.
//   idle_bench [-seconds=N] [-threads]   (-threads: a line per busy thread)
// Runs under Xvfb when there is no DISPLAY and Xvfb is installed, else on
// Qt's offscreen platform.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/summary.h"
#include "tools/xvfb_test_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kStartDeadline = std::chrono::seconds(60);
// Start-up traffic (connects, first pings, log lines) dies down before the window opens.
constexpr auto kSettle = std::chrono::seconds(3);

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The configuration names plugin executables relative to the program's folder.
std::string RelativeToProgram(const std::string& program, const std::string& absolute) {
    std::string up;
    for (char c : program.substr(0, program.find_last_of('/')))
        if (c == '/') up += "../";
    return up + absolute.substr(1);
}

struct ThreadSample {
    std::string name;
    unsigned long long switches = 0;
};

struct Sample {
    std::map<std::string, ThreadSample> threads;  // "pid/tid"
    unsigned long long cpu_ticks = 0;
};

std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> result;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::istringstream in(ReadAll(task.path().string() + "/children"));
        for (pid_t child; in >> child;) result.push_back(child);
    }
    return result;
}

std::vector<pid_t> ProcessTree(pid_t root) {
    std::vector<pid_t> tree{root};
    for (size_t i = 0; i < tree.size(); ++i)
        for (pid_t child : ChildrenOf(tree[i])) tree.push_back(child);
    return tree;
}

unsigned long long CpuTicks(pid_t pid) {
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3, utime 14, stime 15.
    for (int index = 3; index <= 15 && in >> field; ++index) {
        if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return utime + stime;
}

Sample Take(pid_t root) {
    Sample sample;
    for (pid_t pid : ProcessTree(root)) {
        sample.cpu_ticks += CpuTicks(pid);
        std::error_code error;
        const std::string process = ReadAll("/proc/" + std::to_string(pid) + "/comm");
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
            ThreadSample thread;
            std::string comm = ReadAll(task.path().string() + "/comm");
            // Unnamed threads carry the process's name; the main thread is the one whose id is the pid.
            const bool main_thread = task.path().filename().string() == std::to_string(pid);
            thread.name = process.substr(0, process.find('\n')) + ":" +
                          (main_thread ? std::string("main") : comm.substr(0, comm.find('\n')));
            std::istringstream status(ReadAll(task.path().string() + "/status"));
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                    thread.switches += std::strtoull(line.substr(line.find(':') + 1).c_str(), nullptr, 10);
            }
            sample.threads[std::to_string(pid) + "/" + task.path().filename().string()] = thread;
        }
    }
    return sample;
}

class Host {
public:
    ~Host() { Stop(); }

    bool Start(const std::string& program, const std::string& plugin, int plugins, const std::string& display) {
        char pattern[] = "/tmp/velmora-idle-XXXXXX";
        if (!mkdtemp(pattern)) return false;
        dir_ = pattern;
        for (const char* sub : {"/run", "/home", "/data", "/config", "/cache"}) fs::create_directories(dir_ + sub);
        fs::permissions(dir_ + "/run", fs::perms::owner_all);
        std::string config = "{\"plugins\": [";
        for (int i = 0; i < plugins; ++i)
            config += std::string(i ? ",\n" : "\n") + R"(  {"type": 3, "name": "P)" + std::to_string(i) +
                      R"(", "file": "P)" + std::to_string(i) + R"(", "plugin_process": ")" +
                      RelativeToProgram(program, plugin) + R"(", "ensure_process": true})";
        config += "\n]}\n";
        std::ofstream(dir_ + "/plugins.json") << config;

        std::map<std::string, std::string> changes = {
            {"XDG_DATA_HOME", dir_ + "/data"},     {"XDG_RUNTIME_DIR", dir_ + "/run"},
            {"XDG_CONFIG_HOME", dir_ + "/config"}, {"XDG_CACHE_HOME", dir_ + "/cache"},
            {"HOME", dir_ + "/home"},              {"WAYLAND_DISPLAY", ""},
        };
        if (display.empty()) {
            changes["QT_QPA_PLATFORM"] = "offscreen";
            changes["DISPLAY"] = "";
        } else {
            changes["DISPLAY"] = display;
            changes["QT_QPA_PLATFORM"] = "xcb";
        }
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (!changes.count(text.substr(0, text.find('=')))) environment.push_back(text);
        }
        for (const auto& [name, value] : changes)
            if (!value.empty()) environment.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string config_switch = "-plugin_config=" + dir_ + "/plugins.json";
        std::string program_copy = program;
        char* argv[] = {program_copy.data(), config_switch.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Qt's chatter stays out of the summary lines.
        posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT, 0600);
        const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            return false;
        }
        return WaitConnected(plugins);
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            const auto deadline = Clock::now() + std::chrono::seconds(20);
            int status = 0;
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            pid_ = -1;
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
            dir_.clear();
        }
    }

    pid_t pid() const { return pid_; }

private:
    std::string Log() const {
        const std::string suffix = "_" + std::to_string(pid_) + ".log";
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir_ + "/data/VelmoraData/logs", error)) {
            const std::string name = entry.path().filename().string();
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                return ReadAll(entry.path().string());
        }
        return {};
    }

    bool WaitConnected(int plugins) {
        const auto deadline = Clock::now() + kStartDeadline;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                std::fprintf(stderr, "Velmora ended early\n");
                return false;
            }
            const std::string log = Log();
            size_t connected = 0;
            for (size_t at = log.find("connected:1"); at != std::string::npos; at = log.find("connected:1", at + 1))
                ++connected;
            if (connected >= static_cast<size_t>(plugins)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::fprintf(stderr, "the plugin processes did not all connect:\n%s\n", Log().c_str());
        return false;
    }

    std::string dir_;
    pid_t pid_ = -1;
};

struct IdleCost {
    double wakeups_per_second = -1;
    double cpu_percent = -1;
};

IdleCost Measure(const std::string& display, int plugins, int seconds, bool per_thread) {
    Host host;
    if (!host.Start(VELMORA_PROGRAM, SAMPLE_PROCESS_PATH, plugins, display)) return {};
    std::this_thread::sleep_for(kSettle);
    const Sample before = Take(host.pid());
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Sample after = Take(host.pid());
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    unsigned long long switches = 0;
    std::map<std::string, double> by_name;
    std::map<std::string, int> threads_by_name;
    for (const auto& [key, thread] : after.threads) {
        const auto earlier = before.threads.find(key);
        const unsigned long long delta =
            thread.switches - (earlier != before.threads.end() ? earlier->second.switches : 0);
        switches += delta;
        by_name[thread.name] += delta / elapsed;
        threads_by_name[thread.name] += 1;
    }
    if (per_thread) {
        std::vector<std::pair<double, std::string>> busiest;
        for (const auto& [name, rate] : by_name) busiest.emplace_back(rate, name);
        std::sort(busiest.rbegin(), busiest.rend());
        // A thread started by another inherits its name (the IPC threads are
        // started from worker2 and show as worker2).
        std::printf("  %d plugin process(es), wake-ups/s by thread name (summed over processes and threads):\n",
                    plugins);
        for (const auto& [rate, name] : busiest)
            if (rate > 0) std::printf("    %-40s %8.2f  (%d threads)\n", name.c_str(), rate, threads_by_name[name]);
    }
    IdleCost cost;
    cost.wakeups_per_second = switches / elapsed;
    cost.cpu_percent = 100.0 * static_cast<double>(after.cpu_ticks - before.cpu_ticks) /
                       static_cast<double>(sysconf(_SC_CLK_TCK)) / elapsed;
    std::printf("host + %d plugin process(es), %zu threads, idle %.1f s: %.1f wake-ups/s, %.2f %% of one core\n",
                plugins, after.threads.size(), elapsed, cost.wakeups_per_second, cost.cpu_percent);
    return cost;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 10;
    bool per_thread = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-seconds=", 9) == 0) seconds = std::max(1, std::atoi(argv[i] + 9));
        if (std::strcmp(argv[i], "-threads") == 0) per_thread = true;
    }
    Tools::testing::Xvfb xvfb;
    std::string display;
    const char* current = std::getenv("DISPLAY");
    if (current && current[0]) {
        display = current;
    } else {
        std::string why;
        if (xvfb.Start(&why)) {
            display = xvfb.display();
        } else {
            std::printf("no display (%s): Qt's offscreen platform instead\n", why.c_str());
        }
    }
    const IdleCost one = Measure(display, 1, seconds, per_thread);
    const IdleCost twenty = Measure(display, 20, seconds, per_thread);
    if (one.wakeups_per_second < 0 || twenty.wakeups_per_second < 0) {
        std::fprintf(stderr, "idle_bench: the host did not come up\n");
        return 1;
    }
    PrintSummary("idle_wakeups_1", one.wakeups_per_second, "wakeups/s", 0);
    PrintSummary("idle_wakeups_20", twenty.wakeups_per_second, "wakeups/s", 0);
    PrintSummary("idle_cpu_20", twenty.cpu_percent, "%core", 0);
    return 0;
}
