#pragma once

#include <cstdio>

#include <Application/Application.h>
#include <Application/ExePluginClient.h>

// The whole life of a plugin executable: register the plugin object, create
// the framework in proxy mode, run the main-thread queue until the host
// tells the process to exit (or is gone), tear down. The main thread sleeps
// whenever no task is due. Returns the process exit code.
inline int RunPluginProcess(int argc, char** argv, Application::IPlugin* plugin) {
    Application::ExePluginClientProxyRegister(plugin);
    const bool started = Application::MakeProxyApplication(
        argc, argv, [](Application::InterfaceBase*) { return true; }, [](bool) {});
    if (!started) {
        std::fprintf(stderr, "%s: the framework did not start (see the log)\n", argc > 0 ? argv[0] : "plugin");
        Application::DestroyApplication();
        return 1;
    }
    Application::RunMainThreadLoop();
    Application::DestroyApplication();
    return 0;
}
