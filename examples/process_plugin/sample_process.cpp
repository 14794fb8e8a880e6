// "SampleProcess": a plugin that runs in a process of its own. It answers
// calls from the host, calls plugins filed in the host, and sends
// notifications under its own name.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include <Application/Application.h>
#include <Tools/memory.h>

#include "process_main.h"

namespace {

class SampleProcessPlugin final : public Application::IPlugin {
public:
    enum Command : int32_t {
        kEcho = 1,        // answers "echo: " + data
        kCallHost = 2,    // data "Plugin|payload": calls that host plugin with command 1, answers its answer
        kNotify = 3,      // notifies (own name, 100, data), answers "sent"
        kPid = 4,         // answers this process's id
        kCrash = 5,       // ends the process at once (for restart tests)
        kTriggers = 6,    // answers how many start-up triggers (command 0) arrived
        kSkin = 7,        // answers "index|package path|base package path" as this process sees them
        kSubscribe = 8,   // data "module|id": subscribes on the host; each delivery is answered through command 9
        kDeliveries = 9,  // answers the deliveries seen so far, "data;data;..."
        kQuitHost = 10,   // asks the host program to quit, answers "quitting"
        kSwitch = 11,     // data names a command-line switch; answers its value, or "absent"
        kStartupTrigger = 0,
    };

    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return "SampleProcess"; }

    void Invoke(int32_t command, const char* data, int32_t length, Application::InvokeCallback callback) override {
        const std::string input(data ? data : "", data && length > 0 ? static_cast<size_t>(length) : 0);
        auto answer = [&callback](const std::string& text) {
            if (callback) callback(text.data(), static_cast<int32_t>(text.size()));
        };
        switch (command) {
            case kEcho:
                answer("echo: " + input);
                break;
            case kCallHost: {
                const size_t bar = input.find('|');
                const std::string target = input.substr(0, bar);
                const std::string payload = bar == std::string::npos ? std::string() : input.substr(bar + 1);
                Application::IPlugin* plugin = Application::App()->GetPluginMgr()->GetPlugin(target.c_str());
                plugin->Invoke(1, payload.data(), static_cast<int32_t>(payload.size()), callback);
                break;
            }
            case kNotify:
                Application::App()->GetNotifier()->Notify(GetName(), 100, input.data(), static_cast<int>(input.size()));
                answer("sent");
                break;
            case kPid:
                answer(std::to_string(getpid()));
                break;
            case kCrash:
                std::_Exit(3);
            case kStartupTrigger:
                triggers_ += 1;
                break;
            case kTriggers:
                answer(std::to_string(triggers_.load()));
                break;
            case kSkin: {
                Application::IUISkin* skin = Application::App()->GetUISkin();
                const int index = skin->GetSkinIndex();
                answer(std::to_string(index) + "|" + skin->GetSkinPath(index) + "|" + skin->GetBaseSkinPath());
                break;
            }
            case kSubscribe: {
                const size_t bar = input.find('|');
                const std::string module = input.substr(0, bar);
                const int id = bar == std::string::npos ? 0 : std::atoi(input.c_str() + bar + 1);
                Application::App()->GetNotifier()->Subscribe(module.c_str(), id, [this](unsigned, const char* bytes, int size) {
                    std::lock_guard<std::mutex> guard(lock_);
                    deliveries_ += std::string(bytes ? bytes : "", bytes && size > 0 ? static_cast<size_t>(size) : 0) + ";";
                });
                answer("subscribed");
                break;
            }
            case kQuitHost:
                answer("quitting");
                Application::App()->GetApplicationUtil()->QuitApplication();
                break;
            case kSwitch: {
                Application::ICmdLineMgr* command_line = Application::App()->GetCmdLineMgr();
                if (!command_line->Has(input.c_str())) {
                    answer("absent");
                    break;
                }
                // Asked without a buffer, GetValue tells the length.
                const int length = command_line->GetValue(input.c_str(), nullptr, 0);
                std::string value(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
                command_line->GetValue(input.c_str(), value.data(), static_cast<int>(value.size()));
                value.resize(static_cast<size_t>(std::max(length, 0)));
                answer(value);
                break;
            }
            case kDeliveries: {
                std::lock_guard<std::mutex> guard(lock_);
                answer(deliveries_);
                break;
            }
            default:
                answer("unknown command " + std::to_string(command));
                break;
        }
    }

private:
    std::atomic<int> triggers_{0};
    std::mutex lock_;
    std::string deliveries_;
};

}  // namespace

int main(int argc, char** argv) {
    void* memory = Malloc(sizeof(SampleProcessPlugin));
    return RunPluginProcess(argc, argv, new (memory) SampleProcessPlugin);
}
