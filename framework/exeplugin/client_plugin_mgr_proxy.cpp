#include "framework/exeplugin/client_plugin_mgr_proxy.h"

#include "framework/core/application_impl.h"

namespace Application::ExePlugin {

ExePluginClientPluginMgrProxy::~ExePluginClientPluginMgrProxy() { Free(); }

bool ExePluginClientPluginMgrProxy::Init() {
    ExePluginClientProxy::Instance().Start();
    return true;
}

void ExePluginClientPluginMgrProxy::Free() {
    ExePluginClientProxy::Instance().Stop();
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto& [name, proxy] : plugins_) LibraryDelete(proxy);
    plugins_.clear();
}

IPlugin* ExePluginClientPluginMgrProxy::GetPlugin(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = plugins_.find(std::string_view(name));
    if (it != plugins_.end()) return it->second;
    auto* proxy = LibraryNew<ExePluginClientPluginProxy>(std::string(name), this);
    plugins_.emplace(name, proxy);
    return proxy;
}

}  // namespace Application::ExePlugin
