#pragma once

// Helpers for tests that run the real host library with plugin executables:
// a configuration in a private temporary tree, pumping the main queue until a
// condition holds, calls with answers, and a look at our child processes.

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Application/Application.h"

namespace Application::ExePluginTest {

namespace fs = std::filesystem;

inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        ProcessMainThreadTask();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// A private XDG tree and configuration file; removed again on destruction.
class TempTree {
public:
    explicit TempTree(const std::string& tag) {
        root_ = fs::temp_directory_path() / ("velmora_" + tag + "_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "run");
        fs::permissions(root_ / "run", fs::perms::owner_all);
        setenv("XDG_DATA_HOME", root_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
    }
    ~TempTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string WriteConfig(const std::string& plugins_array) const {
        const std::string path = (root_ / "config.json").string();
        std::ofstream(path) << "{\"plugins\": " << plugins_array << "}";
        return path;
    }
    const fs::path& root() const { return root_; }

private:
    fs::path root_;
};

// The sample plugin executable as a configuration entry.
inline std::string SampleProcessEntry(const std::string& extra = R"("ensure_process": true)") {
    return R"({"type": 3, "name": "SampleProcess", "file": "SampleProcess", "plugin_process": "plugins/SampleProcess", )" +
           extra + "}";
}

// Starts the host application object with the configuration file.
inline bool StartHost(const std::string& config, std::function<void(bool)> on_quit = [](bool) {}) {
    std::string program = "host";
    std::string config_switch = "-plugin_config=" + config;
    char* argv[] = {program.data(), config_switch.data(), nullptr};
    return MakeNomalApplication(2, argv, [](InterfaceBase*) { return true; }, std::move(on_quit));
}

// One call's answer, filled by the callback on whatever thread it runs.
struct Answer {
    std::mutex lock;
    std::optional<std::string> text;
    bool arrived() {
        std::lock_guard<std::mutex> guard(lock);
        return text.has_value();
    }
    std::string get() {
        std::lock_guard<std::mutex> guard(lock);
        return text.value_or("");
    }
};

inline std::shared_ptr<Answer> Send(IPlugin* plugin, int32_t command, const std::string& data) {
    auto answer = std::make_shared<Answer>();
    plugin->Invoke(command, data.data(), static_cast<int32_t>(data.size()), [answer](const char* bytes, int32_t length) {
        std::lock_guard<std::mutex> guard(answer->lock);
        answer->text = std::string(bytes ? bytes : "", bytes && length > 0 ? static_cast<size_t>(length) : 0);
    });
    return answer;
}

// Calls and pumps until the answer arrives; nullopt when none came in time.
inline std::optional<std::string> Call(IPlugin* plugin, int32_t command, const std::string& data,
                                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto answer = Send(plugin, command, data);
    if (!PumpUntil([&] { return answer->arrived(); }, limit)) return std::nullopt;
    return answer->get();
}

struct ChildProcess {
    pid_t pid;
    std::string name;
    char state;
};

// Our direct children, zombies included, from /proc.
inline std::vector<ChildProcess> Children() {
    std::vector<ChildProcess> children;
    DIR* proc = opendir("/proc");
    if (!proc) return children;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 > line.size()) continue;
        const char state = line[close + 2];
        const pid_t parent = static_cast<pid_t>(atoi(line.c_str() + close + 4));
        if (parent == getpid()) children.push_back({pid, line.substr(open + 1, close - open - 1), state});
    }
    closedir(proc);
    return children;
}

inline int CountChildren(const std::string& name, bool zombies_only = false) {
    int count = 0;
    for (const ChildProcess& child : Children())
        if (child.name == name && (!zombies_only || child.state == 'Z')) ++count;
    return count;
}

inline int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

inline long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return 0;
}

// A notification payload "u32 length, name bytes" as text.
inline std::string NameFromPayload(const char* data, int length) {
    if (!data || length < 4) return "<short>";
    uint32_t count = 0;
    for (int i = 0; i < 4; ++i) count |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    if (count > static_cast<uint32_t>(length - 4)) return "<bad length>";
    return std::string(data + 4, count);
}

// Counts "app" 5 and 6 for one plugin name, checking every payload. Its
// subscriptions end with it: a plugin process that ends while the host
// shuts down must not count into a test's finished frame.
class PluginAnnouncements {
public:
    explicit PluginAnnouncements(std::string name) : name_(std::move(name)) {}
    ~PluginAnnouncements() {
        if (!App() || !handles_[0]) return;
        App()->GetNotifier()->Unsubscribe("app", kAppPluginConnected, handles_[0]);
        App()->GetNotifier()->Unsubscribe("app", kAppPluginEnded, handles_[1]);
    }
    PluginAnnouncements(const PluginAnnouncements&) = delete;
    PluginAnnouncements& operator=(const PluginAnnouncements&) = delete;
    void Subscribe() {
        INotifier* notifier = App()->GetNotifier();
        handles_[0] = notifier->Subscribe("app", kAppPluginConnected, [this](unsigned, const char* data, int length) {
            Record(NameFromPayload(data, length), connected_);
        });
        handles_[1] = notifier->Subscribe("app", kAppPluginEnded, [this](unsigned, const char* data, int length) {
            Record(NameFromPayload(data, length), ended_);
        });
    }
    // Every plugin's announcements, whatever the name.
    int all_connected() const { return connected_ + foreign_connected_; }
    int all_ended() const { return ended_ + foreign_ended_; }
    int connected() const { return connected_; }
    int ended() const { return ended_; }
    int foreign() const { return foreign_; }

private:
    void Record(const std::string& name, std::atomic<int>& counter) {
        if (name == name_) {
            ++counter;
            return;
        }
        ++foreign_;
        ++(&counter == &connected_ ? foreign_connected_ : foreign_ended_);
    }
    std::string name_;
    uintptr_t handles_[2] = {0, 0};
    std::atomic<int> foreign_connected_{0};
    std::atomic<int> foreign_ended_{0};
    std::atomic<int> connected_{0};
    std::atomic<int> ended_{0};
    std::atomic<int> foreign_{0};
};

// Log lines of one level, gathered on the log writer's thread.
class LogLines {
public:
    // The log calls a callback it copied out of its lock, so the lines live
    // as long as the last copy, not only as long as this object.
    explicit LogLines(int level) : level_(level), state_(std::make_shared<State>()) {
        SetLogCallback(level_, [state = state_](const char* message, const char*) {
            std::lock_guard<std::mutex> guard(state->lock);
            state->lines.emplace_back(message);
        });
    }
    ~LogLines() { SetLogCallback(level_, nullptr); }
    int Count(const std::string& pattern) {
        const std::regex re(pattern);
        std::lock_guard<std::mutex> guard(state_->lock);
        return static_cast<int>(std::count_if(state_->lines.begin(), state_->lines.end(),
                                              [&](const std::string& line) { return std::regex_search(line, re); }));
    }

    // Every line, for a failure message.
    std::string All() {
        std::lock_guard<std::mutex> guard(state_->lock);
        std::string all;
        for (const std::string& line : state_->lines) all += line + "\n";
        return all;
    }

private:
    struct State {
        std::mutex lock;
        std::vector<std::string> lines;
    };
    const int level_;
    std::shared_ptr<State> state_;
};

}  // namespace Application::ExePluginTest
