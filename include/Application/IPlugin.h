#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <Application/InterfaceBase.h>

namespace Application {

// (data, length): a plugin's answer; data is valid only during the call.
using InvokeCallback = std::function<void(const char*, int32_t)>;

// The contract every plugin object (and every proxy in front of one) meets.
// Plugin objects handed to the framework are allocated with Malloc and
// released by running the destructor and then Free.
class IPlugin : public InterfaceBase {
public:
    virtual const char* GetName() = 0;
    // The meaning of command and data is the plugin's own. callback may be
    // empty; otherwise the plugin answers at most once, from any thread.
    // Command 0 carries a start-up trigger notification: 4-byte message id,
    // 4-byte payload length, payload (little-endian).
    virtual void Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) = 0;
};

enum PluginType : int32_t { kPluginInner = 1, kPluginDll = 2, kPluginExe = 3 };

// One entry of plugins/config.json.
struct PluginConfig {
    std::string plugin_process;
    int32_t type = 0;
    std::string file;
    std::string name;
    std::string cmdline;
    bool ensure_process = false;
    bool load_delay = false;
    std::string msg_mod;
    int32_t msg_id = 0;
};

class IPluginFactory {
public:
    virtual IPlugin* Create(const PluginConfig& config) = 0;
    virtual void Destroy(IPlugin* plugin) = 0;
    virtual ~IPluginFactory() = default;
};

}  // namespace Application
