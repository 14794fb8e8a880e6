#pragma once

#include <string>

#include "Application/Application.h"
#include "framework/exeplugin/client_proxy.h"

namespace Application::ExePlugin {

class ExePluginClientPluginMgrProxy;

// Stands for a plugin filed in the host; calls go over the connection.
class ExePluginClientPluginProxy final : public IPlugin {
public:
    ExePluginClientPluginProxy(std::string name, ExePluginClientPluginMgrProxy* manager)
        : name_(std::move(name)), manager_(manager) {}
    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return name_.c_str(); }
    void Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) override {
        ExePluginClientProxy::Instance().CallPlugin(name_.c_str(), command, data, length, std::move(callback));
    }

private:
    std::string name_;
    [[maybe_unused]] ExePluginClientPluginMgrProxy* manager_;
};

}  // namespace Application::ExePlugin
