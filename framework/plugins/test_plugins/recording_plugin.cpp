#include "recording_plugin.h"

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "Application/IPlugin.h"
#include "Application/PluginAbi.h"

namespace recording_plugin {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::vector<Event>& Events() {
    static std::vector<Event> events;
    return events;
}

void Record(std::string what) {
    std::lock_guard<std::mutex> guard(Lock());
    Events().push_back({std::move(what), std::this_thread::get_id()});
}

uint32_t ReadLittleEndian32(const char* bytes) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

int& Created() {
    static int created = 0;
    return created;
}

class RecordingPlugin final : public Application::IPlugin {
public:
    RecordingPlugin() : id_(std::to_string(++Created())) { Record("create " + id_); }
    ~RecordingPlugin() override { Record("destroy " + id_); }
    bool Init() override {
        Record("init " + id_);
        // For the crash check's tests: the host dies while starting it.
        if (std::getenv("RECORDING_PLUGIN_KILL_HOST_IN_INIT")) ::kill(::getpid(), SIGKILL);
        return true;
    }
    void Free() override { Record("free " + id_); }
    // The framework reports the configured name, never this one.
    const char* GetName() override { return "recording-object"; }
    void Invoke(int32_t command, const char* data, int32_t length, Application::InvokeCallback callback) override {
        std::string bytes = data && length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
        if (command == kTrigger) {
            if (bytes.size() < 8) {
                Record("trigger " + id_ + " malformed");
                return;
            }
            const uint32_t msg_id = ReadLittleEndian32(bytes.data());
            const uint32_t payload_length = ReadLittleEndian32(bytes.data() + 4);
            Record("trigger " + id_ + " " + std::to_string(msg_id) + " " + std::to_string(payload_length) + " " +
                   bytes.substr(8));
            return;
        }
        Record("invoke " + id_ + " " + std::to_string(command) + " " + bytes);
        if (command == kEcho && callback) callback(bytes.data(), static_cast<int32_t>(bytes.size()));
    }

private:
    std::string id_;
};

}  // namespace

std::vector<Event> TakeEvents() {
    std::lock_guard<std::mutex> guard(Lock());
    return std::exchange(Events(), {});
}

void Reset() {
    std::lock_guard<std::mutex> guard(Lock());
    Events().clear();
    Created() = 0;
}

}  // namespace recording_plugin

// RECORDING_PLUGIN_STAMP: the build's choice of stamp. Unset: the usual one;
// negative: no stamp at all; another number: that version, as if built elsewhere.
#ifndef RECORDING_PLUGIN_STAMP
VELMORA_PLUGIN_ABI_STAMP();
#elif RECORDING_PLUGIN_STAMP >= 0
extern "C" __attribute__((visibility("default"), weak)) const int32_t velmora_plugin_abi_version = RECORDING_PLUGIN_STAMP;
#endif

#ifndef RECORDING_PLUGIN_WITHOUT_CREATE
extern "C" RECORDING_PLUGIN_API Application::IPlugin* CreateObject() {
    return new recording_plugin::RecordingPlugin();
}
#endif

extern "C" RECORDING_PLUGIN_API void DestroyObject(Application::IPlugin* plugin) { delete plugin; }
