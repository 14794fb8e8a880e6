// A plugin library for the host's end-to-end tests: once the host's event
// loop runs, it calls the plugin "EchoPlugin" from a worker thread through the
// plugin manager, logs the answer and quits the application. The host stops
// its log before it frees the plugins, so Free leaves its mark in the file
// named by VELMORA_PLUGIN_DRIVER_RECORD instead.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <Application/Application.h>
#include <Application/IPlugin.h>
#include <Application/IPluginMgr.h>
#include <Application/IThreadTaskMgr.h>

namespace {

constexpr const char* kTarget = "EchoPlugin";
constexpr const char* kMessage = "hello from the plugin driver";
constexpr int32_t kEchoCommand = 1;

void Log(int level, const std::string& text) {
    if (Application::IApplication* app = Application::App())
        if (Application::ILog* log = app->GetLog()) log->Write(level, "%s", text.c_str());
}

void Quit() {
    if (Application::IApplication* app = Application::App()) app->Quit(false);
}

// Runs on worker 1. The answer may come on any thread; the quit reaches the
// host's main thread either way.
void CallTarget() {
    Application::IApplication* app = Application::App();
    Application::IPluginMgr* plugins = app ? app->GetPluginMgr() : nullptr;
    Application::IPlugin* target = plugins ? plugins->GetPlugin(kTarget) : nullptr;
    if (!target) {
        Log(Application::kLogError, std::string("PluginDriver: no plugin ") + kTarget);
        Quit();
        return;
    }
    const std::string message = kMessage;
    target->Invoke(kEchoCommand, message.data(), static_cast<int32_t>(message.size()),
                   [](const char* data, int32_t length) {
                       Log(Application::kLogInfo, std::string("PluginDriver: ") + kTarget + " answered \"" +
                                                      std::string(data, length > 0 ? length : 0) + "\"");
                       Quit();
                   });
}

class PluginDriver final : public Application::IPlugin {
public:
    bool Init() override {
        Log(Application::kLogInfo, "PluginDriver::Init");
        // Plugins are published only after every Init returned, so the call
        // waits for the first pump of the main-thread queue.
        Application::IThreadTaskMgr* tasks = Application::App()->GetThreadTaskMgr();
        tasks->PostMainThreadTask([] {
            if (Application::IApplication* app = Application::App())
                app->GetThreadTaskMgr()->PostWorker1Task(CallTarget);
        });
        return true;
    }
    void Free() override {
        Log(Application::kLogInfo, "PluginDriver::Free");
        if (const char* record = std::getenv("VELMORA_PLUGIN_DRIVER_RECORD"))
            if (FILE* file = std::fopen(record, "a")) {
                std::fputs("PluginDriver::Free\n", file);
                std::fclose(file);
            }
    }
    const char* GetName() override { return "PluginDriver"; }
    void Invoke(int32_t, const char*, int32_t, Application::InvokeCallback) override {}
};

}  // namespace

extern "C" __attribute__((visibility("default"))) Application::IPlugin* CreateObject() { return new PluginDriver(); }

extern "C" __attribute__((visibility("default"))) void DestroyObject(Application::IPlugin* plugin) { delete plugin; }
