#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include <Application/Application.h>
#include <Application/ExePluginClient.h>

// The whole life of a plugin executable: register the plugin object, create
// the framework in proxy mode, pump the main-thread queue until asked to
// quit, tear down. Returns the process exit code.
inline int RunPluginProcess(int argc, char** argv, Application::IPlugin* plugin) {
    static std::atomic<bool> quit{false};
    Application::ExePluginClientProxyRegister(plugin);
    Application::MakeProxyApplication(
        argc, argv, [](Application::InterfaceBase*) { return true; }, [](bool) { quit = true; });
    while (!quit) {
        Application::ProcessMainThreadTask();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Application::DestroyApplication();
    return 0;
}
