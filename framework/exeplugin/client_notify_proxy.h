#pragma once

#include "Application/Application.h"
#include "framework/exeplugin/client_proxy.h"

namespace Application::ExePlugin {

// The plugin process's notifier: subscriptions and notifications go to the host's.
class ExePluginClientNotifyProxy final : public INotifier {
public:
    bool Init() override { return true; }
    void Free() override {}
    uintptr_t Subscribe(const char* module, int msg_id, NotifyCallback callback) override {
        return ExePluginClientProxy::Instance().Subscribe(module, msg_id, std::move(callback));
    }
    void Unsubscribe(const char* module, int msg_id, uintptr_t handle) override {
        ExePluginClientProxy::Instance().Unsubscribe(module, msg_id, handle);
    }
    void Notify(const char* module, int msg_id, const char* data, int length) override {
        ExePluginClientProxy::Instance().Notify(module, msg_id, data, length);
    }
};

}  // namespace Application::ExePlugin
