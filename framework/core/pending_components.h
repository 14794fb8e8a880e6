#pragma once

// Inert stand-ins for the plugin process's notifier and plugin manager until
// their forwarding components are wired in; the host uses the real ones.

#include "Application/IApplication.h"

namespace Application::pending {

class Notifier final : public INotifier {
public:
    bool Init() override { return true; }
    void Free() override {}
    uintptr_t Subscribe(const char*, int, NotifyCallback) override { return 0; }
    void Unsubscribe(const char*, int, uintptr_t) override {}
    void Notify(const char*, int, const char*, int) override {}
};

class PluginMgr final : public IPluginMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    IPlugin* GetPlugin(const char*) override { return nullptr; }
};

}  // namespace Application::pending
