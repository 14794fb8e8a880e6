#include "Application/Application.h"

#include "framework/core/application_impl.h"
#include "framework/core/application_util.h"
#include "framework/core/host_components.h"

namespace Application {

namespace detail {

IApplication*& AppSingleton() {
    static IApplication* app = nullptr;
    return app;
}

AppHooks*& AppHooksSingleton() {
    static AppHooks* hooks = nullptr;
    return hooks;
}

}  // namespace detail

void ApplicationUtilImpl::QuitApplication() {
    if (IApplication* app = App()) app->Quit(false);
}

void DestroyApplicationObject() {
    IApplication*& singleton = detail::AppSingleton();
    IApplication* app = singleton;
    if (!app) return;
    if (ILog* log = app->GetLog()) log->Write(kLogInfo, "DestroyApplicaiton");
    app->Free();
    // A crash reporter's log flush must not reach an object being deleted.
    detail::AppHooksSingleton() = nullptr;
    LibraryDelete(app);
    singleton = nullptr;
}

bool MakeNomalApplication(int argc, char** argv, ComponentCallback component_callback, QuitHandler quit_callback) {
    return MakeApplication<HostApplication>(argc, argv, std::move(component_callback), std::move(quit_callback),
                                            "MakeNomalApplication");
}

bool MakeProxyApplication(int argc, char** argv, ComponentCallback component_callback, QuitHandler quit_callback) {
    return MakeApplication<PluginProcessApplication>(argc, argv, std::move(component_callback),
                                                     std::move(quit_callback), "MakeProxyApplication");
}

IApplication* App() { return detail::AppSingleton(); }

void DestroyApplication() { DestroyApplicationObject(); }

void ProcessMainThreadTask() {
    if (detail::AppHooks* hooks = detail::AppHooksSingleton()) hooks->RunMainQueuePass();
}

int RunMainThreadLoop() {
    detail::AppHooks* hooks = detail::AppHooksSingleton();
    return hooks ? hooks->RunMainLoop() : -1;
}

int GetMainThreadWakeFd() {
    detail::AppHooks* hooks = detail::AppHooksSingleton();
    return hooks ? hooks->MainWakeDescriptor() : -1;
}

int PrepareMainThreadSleep() {
    detail::AppHooks* hooks = detail::AppHooksSingleton();
    return hooks ? hooks->PrepareMainSleep() : -1;
}

void SetLogCallback(LogCallback callback) {
    if (detail::AppHooks* hooks = detail::AppHooksSingleton()) hooks->SetGeneralLogCallback(std::move(callback));
}

void SetLogCallback(int level, LevelLogCallback callback) {
    if (detail::AppHooks* hooks = detail::AppHooksSingleton()) hooks->SetLevelLogCallback(level, std::move(callback));
}

void StopLog() {
    if (detail::AppHooks* hooks = detail::AppHooksSingleton()) hooks->StopLog();
}

bool FlushLogForCrash(int timeout_ms) {
    detail::AppHooks* hooks = detail::AppHooksSingleton();
    return hooks ? hooks->FlushLogForCrash(timeout_ms) : true;
}

}  // namespace Application
