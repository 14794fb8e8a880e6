// A sample plugin library: answers command 1 with the bytes it was given and
// logs the start-up notification it receives as command 0.

#include <cstdint>
#include <string>

#include <Application/Application.h>
#include <Application/IPlugin.h>
#include <Application/PluginAbi.h>

namespace {

enum Command : int32_t {
    kStartupTrigger = 0,  // 4-byte message id, 4-byte payload length, payload
    kEcho = 1,
};

uint32_t ReadLittleEndian32(const char* bytes) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// App() is null when a program loads the library without the framework
// running (the install check does).
void Log(int level, const std::string& text) {
    if (Application::IApplication* app = Application::App())
        if (Application::ILog* log = app->GetLog()) log->Write(level, "%s", text.c_str());
}

class EchoPlugin final : public Application::IPlugin {
public:
    bool Init() override {
        Log(Application::kLogInfo, "EchoPlugin::Init");
        return true;
    }
    void Free() override { Log(Application::kLogInfo, "EchoPlugin::Free"); }
    // The framework files the plugin under its configured name instead.
    const char* GetName() override { return "EchoPlugin"; }

    // Called from any thread; keeps no state, so needs no lock.
    void Invoke(int32_t command, const char* data, int32_t length, Application::InvokeCallback callback) override {
        if (!data || length < 0) length = 0;
        switch (command) {
            case kStartupTrigger:
                if (length >= 8) {
                    Log(Application::kLogInfo, "EchoPlugin started by message " +
                                                   std::to_string(ReadLittleEndian32(data)) + " with " +
                                                   std::to_string(ReadLittleEndian32(data + 4)) + " payload bytes");
                }
                return;
            case kEcho:
                if (callback) callback(length ? data : "", length);
                return;
            default:
                Log(Application::kLogWarning, "EchoPlugin: unknown command " + std::to_string(command));
        }
    }
};

}  // namespace

// The plugin interface version this library was built against.
VELMORA_PLUGIN_ABI_STAMP();

extern "C" __attribute__((visibility("default"))) Application::IPlugin* CreateObject() { return new EchoPlugin(); }

extern "C" __attribute__((visibility("default"))) void DestroyObject(Application::IPlugin* plugin) { delete plugin; }
