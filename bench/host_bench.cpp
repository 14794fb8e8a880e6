// Host start: the real Velmora beside this program, started with the shipped
// demo configuration several times; the median time from spawn until it
// runs (quit signals routed and the framework's start-up line in its log).
// The baseline is spawn to exit of `Velmora --version`, the cost of loading
// the program and its libraries alone; a build without that switch has no
// baseline (0). Without a display the runs go to a private Xvfb.
//   host_bench [-runs=N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/summary.h"
#include "tools/monotonic_clock.h"
#include "tools/xvfb_test_server.h"

extern char** environ;

namespace {

using Tools::detail::MonotonicUs;

constexpr int kDefaultRuns = 7;
constexpr int64_t kStartDeadlineUs = 60 * 1000 * 1000;  // a start slower than this is a failure
constexpr int64_t kStopDeadlineUs = 20 * 1000 * 1000;   // then SIGKILL
constexpr int64_t kVersionDeadlineUs = 10 * 1000 * 1000;
constexpr long kPollNs = 2 * 1000 * 1000;  // resolution of the start time

void Pause() {
    const timespec pause = {0, kPollNs};
    nanosleep(&pause, nullptr);
}

std::string Directory(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

std::string SelfPath() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return std::string(path, n > 0 ? static_cast<size_t>(n) : 0);
}

// A private home, data, configuration and runtime directory per run, so that
// the single-instance guard and earlier logs never interfere.
class Sandbox {
public:
    Sandbox() {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/velmora-host-bench-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
        for (const char* sub : {"/run", "/home", "/data", "/config", "/cache"})
            std::filesystem::create_directories(path_ + sub);
        std::filesystem::permissions(path_ + "/run", std::filesystem::perms::owner_all);
    }
    ~Sandbox() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string LogDir() const { return path_ + "/data/VelmoraData/logs"; }

private:
    std::string path_;
};

// This program's environment with the changes applied (an empty value removes a variable).
std::vector<std::string> Environment(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value.empty()) {
            variables.erase(name);
        } else {
            variables[name] = value;
        }
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : variables) out.push_back(name + "=" + value);
    return out;
}

// Starts program with args and env; stdout and stderr to out_fd (or /dev/null when -1).
pid_t Start(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
            int out_fd) {
    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = env;
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
        posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status once the child ended within the deadline.
std::optional<int> WaitExit(pid_t pid, int64_t deadline_us) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (MonotonicUs() >= deadline_us) return std::nullopt;
        Pause();
    }
}

// Ends a child: SIGTERM, and SIGKILL when it does not end in time.
void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    if (!WaitExit(pid, MonotonicUs() + kStopDeadlineUs)) {
        kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool CatchesQuitSignals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const uint64_t mask = std::stoull(line.substr(7), nullptr, 16);
            return ((mask >> (SIGTERM - 1)) & 1) && ((mask >> (SIGINT - 1)) & 1);
        }
    }
    return false;
}

bool LogShowsStarted(const std::string& log_dir, pid_t pid) {
    const std::string suffix = "_" + std::to_string(pid) + ".log";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(log_dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            return text.str().find("[info]Application inited ") != std::string::npos;
        }
    }
    return false;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Setup {
    std::string program;
    std::string config;
    std::map<std::string, std::string> display;  // DISPLAY / QT_QPA_PLATFORM for the children
};

// One start: ms from spawn until running, or nothing when it failed.
std::optional<double> StartOnce(const Setup& setup) {
    Sandbox sandbox;
    if (!sandbox.ok()) return std::nullopt;
    std::map<std::string, std::string> changes = setup.display;
    changes["XDG_DATA_HOME"] = sandbox.path() + "/data";
    changes["XDG_RUNTIME_DIR"] = sandbox.path() + "/run";
    changes["XDG_CONFIG_HOME"] = sandbox.path() + "/config";
    changes["XDG_CACHE_HOME"] = sandbox.path() + "/cache";
    changes["HOME"] = sandbox.path() + "/home";
    const std::vector<std::string> env = Environment(changes);
    const int64_t begin = MonotonicUs();
    const pid_t pid = Start(setup.program, {"-plugin_config=" + setup.config}, env, -1);
    if (pid < 0) {
        std::printf("host_bench: cannot start %s\n", setup.program.c_str());
        return std::nullopt;
    }
    std::optional<double> result;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            std::printf("host_bench: Velmora ended before it ran (status %d)\n", status);
            return std::nullopt;
        }
        if (CatchesQuitSignals(pid) && LogShowsStarted(sandbox.LogDir(), pid)) {
            result = static_cast<double>(MonotonicUs() - begin) / 1000.0;
            break;
        }
        if (MonotonicUs() - begin > kStartDeadlineUs) {
            std::printf("host_bench: Velmora did not come up within %lld s\n",
                        static_cast<long long>(kStartDeadlineUs / 1000000));
            break;
        }
        Pause();
    }
    Stop(pid);
    return result;
}

// ms from spawn to exit of `Velmora --version`, when the program knows the
// switch: it exits at once with status 0 and prints a line. Otherwise
// nothing (a program without it would start in full instead).
std::optional<double> VersionOnce(const Setup& setup, bool report) {
    Sandbox sandbox;
    if (!sandbox.ok()) return std::nullopt;
    std::map<std::string, std::string> changes = setup.display;
    changes["XDG_DATA_HOME"] = sandbox.path() + "/data";
    changes["XDG_RUNTIME_DIR"] = sandbox.path() + "/run";
    changes["HOME"] = sandbox.path() + "/home";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    const int64_t begin = MonotonicUs();
    const pid_t pid = Start(setup.program, {"--version"}, Environment(changes), fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return std::nullopt;
    }
    const std::optional<int> status = WaitExit(pid, begin + kVersionDeadlineUs);
    const double ms = static_cast<double>(MonotonicUs() - begin) / 1000.0;
    if (!status) Stop(pid);
    std::string output;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    const bool ok = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0 && !output.empty();
    if (report) {
        if (ok) {
            std::printf("Velmora --version: %s", output.c_str());
            if (output.back() != '\n') std::printf("\n");
        } else {
            std::printf("Velmora has no --version switch: no baseline (0)\n");
        }
    }
    if (!ok) return std::nullopt;
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = kDefaultRuns;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-runs=", 6) == 0) runs = std::max(1, std::atoi(argv[i] + 6));
    }
    const std::string bin = Directory(SelfPath());
    Setup setup{bin + "/Velmora", bin + "/demo/config.json", {}};
    if (access(setup.program.c_str(), X_OK) != 0 || access(setup.config.c_str(), R_OK) != 0) {
        std::printf("host_bench: %s or %s is missing (build the host)\n", setup.program.c_str(), setup.config.c_str());
        return 1;
    }

    Tools::testing::Xvfb xvfb;
    const char* display = std::getenv("DISPLAY");
    if (!display || !display[0]) {
        std::string why;
        if (xvfb.Start(&why)) {
            setup.display = {{"DISPLAY", xvfb.display()}, {"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", ""}};
            std::printf("no display: the host runs on a private Xvfb %s\n", xvfb.display().c_str());
        } else {
            setup.display = {{"QT_QPA_PLATFORM", "offscreen"}, {"WAYLAND_DISPLAY", ""}};
            std::printf("no display and %s: the host runs on Qt's offscreen platform\n", why.c_str());
        }
    }

    std::vector<double> starts;
    for (int i = 0; i < runs; ++i) {
        const std::optional<double> ms = StartOnce(setup);
        if (!ms) return 1;
        std::printf("start %d: %.1f ms\n", i + 1, *ms);
        starts.push_back(*ms);
    }
    std::vector<double> versions;
    for (int i = 0; i < runs; ++i) {
        const std::optional<double> ms = VersionOnce(setup, i == 0);
        if (!ms) break;
        versions.push_back(*ms);
    }
    const double start_ms = Median(starts);
    const double version_ms = versions.empty() ? 0.0 : Median(versions);
    std::printf("host start with the demo configuration, median of %d: %.1f ms (spawn to exit of --version: %.1f ms)\n",
                runs, start_ms, version_ms);
    PrintSummary("host_start_demo", start_ms, "ms", version_ms);
    return 0;
}
