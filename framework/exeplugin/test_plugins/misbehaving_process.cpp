// "MisbehavingProcess": a plugin executable for the tests of the host's
// defences. Besides answering like a well-behaved plugin it sends frames a
// plugin process of this framework never sends (the host's own event ids,
// Log floods) and floods the host with subscriptions. Its main loop is its
// own: it sleeps on the main queue's wake-up descriptor, as a program with an
// event loop of its own would.
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "Application/Application.h"
#include "Application/ExePluginClient.h"
#include "Tools/memory.h"
#include "framework/exeplugin/client_proxy.h"
#include "framework/exeplugin/messages.h"

namespace {

using namespace Application;
using ExePlugin::ExePluginClientProxy;

std::atomic<bool> g_quit{false};
std::atomic<bool> g_quit_requested{false};

class MisbehavingPlugin final : public IPlugin {
public:
    enum Command : int32_t {
        kEcho = 1,             // answers "echo: " + data
        kPid = 4,              // answers this process's id
        kSendRaw = 20,         // data "id|payload": sends that frame as it is, then answers "sent"
        kSubscribeMany = 21,   // data N: N subscriptions on the host, then answers "subscribed"
        kFloodLog = 22,        // data N: N Log frames, then answers "logged"
        kQuitRequested = 23,   // answers "quit" when the application was asked to quit, else "running"
        kAnswerLater = 24,     // data: milliseconds; answers "late" after that long, from another thread
        kNeverAnswer = 25,     // keeps the callback and never answers
        kAnswerBytes = 26,     // data N: answers N bytes
    };

    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return "MisbehavingProcess"; }

    void Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) override {
        const std::string input(data ? data : "", data && length > 0 ? static_cast<size_t>(length) : 0);
        auto answer = [&callback](const std::string& text) {
            if (callback) callback(text.data(), static_cast<int32_t>(text.size()));
        };
        switch (command) {
            case kEcho:
                answer("echo: " + input);
                break;
            case kPid:
                answer(std::to_string(getpid()));
                break;
            case kSendRaw: {
                const size_t bar = input.find('|');
                const int32_t id = std::atoi(input.substr(0, bar).c_str());
                ExePluginClientProxy::Instance().SendForTesting(
                    id, bar == std::string::npos ? std::string() : input.substr(bar + 1));
                answer("sent");
                break;
            }
            case kSubscribeMany: {
                const int count = std::atoi(input.c_str());
                for (int i = 0; i < count; ++i) App()->GetNotifier()->Subscribe("flood", i, [](unsigned, const char*, int) {});
                answer("subscribed");
                break;
            }
            case kFloodLog: {
                const int count = std::atoi(input.c_str());
                for (int i = 0; i < count; ++i)
                    ExePluginClientProxy::Instance().SendForTesting(
                        ExePlugin::kLog, ExePlugin::PayloadWriter().U32(kLogInfo).Text("flood line " + std::to_string(i)).Take());
                answer("logged");
                break;
            }
            case kQuitRequested:
                // From the main queue: a quit requested before this call was
                // handled has reached the quit callback by then.
                App()->GetThreadTaskMgr()->PostMainThreadTask([callback] {
                    const std::string text = g_quit_requested ? "quit" : "running";
                    if (callback) callback(text.data(), static_cast<int32_t>(text.size()));
                });
                break;
            case kAnswerLater: {
                const int delay_ms = std::atoi(input.c_str());
                std::thread([callback, delay_ms] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
                    if (callback) callback("late", 4);
                }).detach();
                break;
            }
            case kNeverAnswer:
                break;
            case kAnswerBytes:
                answer(std::string(static_cast<size_t>(std::atoll(input.c_str())), 'a'));
                break;
            default:
                answer("unknown command " + std::to_string(command));
                break;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    void* memory = Malloc(sizeof(MisbehavingPlugin));
    ExePluginClientProxyRegister(new (memory) MisbehavingPlugin);
    MakeProxyApplication(
        argc, argv, [](InterfaceBase*) { return true; },
        [](bool) {
            g_quit_requested = true;
            g_quit = true;
        });
    while (!g_quit) {
        ProcessMainThreadTask();
        int wait = PrepareMainThreadSleep();
        if (g_quit) break;
        const int descriptor = GetMainThreadWakeFd();
        // Without a descriptor a post cannot end the sleep: look again soon.
        if (descriptor < 0) wait = wait < 0 ? 10 : std::min(wait, 10);
        pollfd entry{descriptor, POLLIN, 0};
        ::poll(&entry, 1, wait);
    }
    // One more pass: an answer posted just behind the quit still goes out.
    ProcessMainThreadTask();
    DestroyApplication();
    return 0;
}
