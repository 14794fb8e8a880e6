#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Application/IPlugin.h"
#include "framework/plugins/plugin_status_table.h"

namespace Application {

// Owns one loaded plugin library. The library stays loaded until the process
// ends, also after its object is destroyed: notifier subscriptions, tasks and
// threads the plugin left behind may still point into its code. Main thread.
class DllPluginCreator {
public:
    // Loads the library at path and returns what its CreateObject makes
    // (null when it makes nothing). Logs the loader's reason and returns null
    // when the library cannot be loaded or does not export CreateObject.
    // A library stamped with another plugin interface version than the
    // host's is refused (logged, *refused set), one without a stamp loads
    // with a warning. name names the plugin in those lines; failure receives
    // the reason of a null result.
    IPlugin* CreatePlugin(const char* path, const char* name = nullptr, std::string* failure = nullptr,
                          bool* refused = nullptr);
    // Hands plugin to the library's DestroyObject; nothing happens without a
    // loaded library or without that export.
    void DestroyPlugin(IPlugin* plugin);

private:
    void* module_ = nullptr;
};

// What the plugin manager files for a type 2 entry. It loads the library at
// construction, on the first Invoke or when the configured start-up
// notification arrives, always on the main thread, and forwards Invoke.
// Init, Free and destruction run on the main thread; Invoke on any thread.
class DllPluginProxy final : public IPlugin {
public:
    explicit DllPluginProxy(const PluginConfig& config);
    ~DllPluginProxy() override;

    bool Init() override;
    void Free() override;
    const char* GetName() override;
    void Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) override;

    bool IsLoadedForTesting() const { return plugin_.load() != nullptr; }

private:
    void Load();
    void EnsureLoaded();
    void OnTrigger(unsigned handle, const char* data, int length);
    void DisarmTrigger();

    std::string file_;
    std::string name_;
    PluginStatusRowPtr status_;
    // A library of another interface version is not tried again.
    bool refused_ = false;
    // The crash check watches the first load after start-up only: a library
    // that fails to load is tried on every call.
    bool late_start_watched_ = false;
    // Written on the main thread only, read by callers of Invoke on any thread.
    std::atomic<IPlugin*> plugin_{nullptr};
    DllPluginCreator* creator_ = nullptr;

    std::string msg_mod_;
    int32_t msg_id_ = 0;
    uintptr_t trigger_handle_ = 0;
    std::atomic<bool> trigger_spent_{false};
    // After Free nothing loads again: an object made then would never be destroyed.
    bool freed_ = false;
    // Tasks posted to the main thread hold a weak reference; the proxy is
    // destroyed on the main thread too, so a live reference means a live proxy.
    std::shared_ptr<DllPluginProxy*> self_;
};

class DllPluginFactory final : public IPluginFactory {
public:
    // Never null: a library that fails to load still gets its proxy, which
    // tries again on each Invoke.
    IPlugin* Create(const PluginConfig& config) override;
    void Destroy(IPlugin* plugin) override;
};

}  // namespace Application
