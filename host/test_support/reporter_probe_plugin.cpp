// "ReporterProbe": a plugin library for the reporter tests only (never
// installed, loaded only by a configuration that names it). It lets a test
// act inside a running host: it follows the file given by the host switch
// "-probe_control=<path>" and runs each complete line appended to it:
//   log <level> <text>       writes text to the host log at that level
//   notify <module> <msg id> sends that notification without data
//   quit                     App()->Quit(false)
//   crash                    raises SIGSEGV on the main thread
//   burst <count> <prefix>   logs "<prefix> 1" .. "<prefix> <count>" at level 300
// Once the host's main loop runs it logs "ReporterProbe ready". With the
// switch "-probe_hold_for_reporter=1" its Init waits (at most 30 s) until the
// reporter plugin process has connected, so that the reporter connects while
// the host is still starting. With "-probe_hold_start_up=<path>" its Init
// logs "ReporterProbe holding start-up" and waits (at most 60 s) until a file
// exists at path, so that a test can act while plugins are starting.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <Application/Application.h>
#include <Application/IPlugin.h>

namespace {

using Application::App;

constexpr const char* kReporterName = "ExePluginReporter";

std::string SwitchValue(const char* name) {
    char buffer[1024] = {};
    Application::ICmdLineMgr* cmdline = App()->GetCmdLineMgr();
    if (!cmdline || !cmdline->Has(name)) return {};
    cmdline->GetValue(name, buffer, sizeof buffer);
    return buffer;
}

class ReporterProbe final : public Application::IPlugin {
public:
    bool Init() override {
        control_path_ = SwitchValue("probe_control");
        Application::INotifier* notifier = App()->GetNotifier();
        connected_handle_ = notifier->Subscribe(App()->GetName(), Application::kAppPluginConnected,
                                                [this](unsigned, const char* data, int length) {
                                                    if (length >= 4 && std::string(data + 4, length - 4) == kReporterName) {
                                                        std::lock_guard<std::mutex> guard(lock_);
                                                        reporter_connected_ = true;
                                                        changed_.notify_all();
                                                    }
                                                });
        if (App()->GetCmdLineMgr()->Has("probe_hold_for_reporter")) {
            std::unique_lock<std::mutex> wait(lock_);
            const bool connected =
                changed_.wait_for(wait, std::chrono::seconds(30), [this] { return reporter_connected_; });
            App()->GetLog()->Write(Application::kLogInfo, "ReporterProbe held start-up: reporter connected=%d",
                                   connected ? 1 : 0);
        }
        if (const std::string release = SwitchValue("probe_hold_start_up"); !release.empty()) {
            App()->GetLog()->Write(Application::kLogInfo, "%s", "ReporterProbe holding start-up");
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            std::unique_lock<std::mutex> wait(lock_);
            while (access(release.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline)
                changed_.wait_for(wait, std::chrono::milliseconds(20));
        }
        // Main-thread tasks run only once the host's event loop pumps them,
        // that is after the host installed its log callbacks.
        App()->GetThreadTaskMgr()->PostMainThreadTask([this] {
            App()->GetLog()->Write(Application::kLogInfo, "%s", "ReporterProbe ready");
            std::lock_guard<std::mutex> guard(lock_);
            running_ = true;
            changed_.notify_all();
        });
        if (!control_path_.empty()) follower_ = std::thread([this] { FollowControlFile(); });
        return true;
    }

    void Free() override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
            changed_.notify_all();
        }
        if (follower_.joinable()) follower_.join();
        if (connected_handle_) {
            App()->GetNotifier()->Unsubscribe(App()->GetName(), Application::kAppPluginConnected, connected_handle_);
            connected_handle_ = 0;
        }
    }

    const char* GetName() override { return "ReporterProbe"; }
    void Invoke(int32_t, const char*, int32_t, Application::InvokeCallback) override {}

private:
    void FollowControlFile() {
        {
            std::unique_lock<std::mutex> wait(lock_);
            changed_.wait(wait, [this] { return running_ || stopping_; });
        }
        std::streamoff done = 0;
        std::string pending;
        for (;;) {
            {
                std::unique_lock<std::mutex> wait(lock_);
                if (changed_.wait_for(wait, std::chrono::milliseconds(20), [this] { return stopping_; })) return;
            }
            std::ifstream control(control_path_, std::ios::binary);
            if (!control) continue;
            control.seekg(done);
            std::string chunk((std::istreambuf_iterator<char>(control)), std::istreambuf_iterator<char>());
            done += static_cast<std::streamoff>(chunk.size());
            pending += chunk;
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                Run(line);
            }
        }
    }

    void Run(const std::string& line) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "log") {
            int level = 0;
            words >> level;
            std::string text;
            std::getline(words >> std::ws, text);
            App()->GetLog()->Write(level, "%s", text.c_str());
        } else if (verb == "burst") {
            int count = 0;
            std::string prefix;
            words >> count >> prefix;
            for (int i = 1; i <= count; ++i) App()->GetLog()->Write(Application::kLogInfo, "%s %d", prefix.c_str(), i);
        } else if (verb == "notify") {
            std::string module;
            int msg_id = 0;
            words >> module >> msg_id;
            App()->GetNotifier()->Notify(module.c_str(), msg_id, "", 0);
        } else if (verb == "quit") {
            App()->Quit(false);
        } else if (verb == "crash") {
            App()->GetThreadTaskMgr()->PostMainThreadTask([] { raise(SIGSEGV); });
        }
    }

    std::string control_path_;
    uintptr_t connected_handle_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    bool reporter_connected_ = false;
    bool running_ = false;
    bool stopping_ = false;
    std::thread follower_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) Application::IPlugin* CreateObject() { return new ReporterProbe(); }

extern "C" __attribute__((visibility("default"))) void DestroyObject(Application::IPlugin* plugin) { delete plugin; }
