#pragma once

#include "Application/IPlugin.h"

namespace Plugins {

// The host's own built-in plugin type "InnerPluginTest": exercises the
// built-in plugin path and does nothing else.
class InnerPluginTestImpl final : public Application::IPlugin {
public:
    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return "InnerPluginTest"; }
    // No command has an effect; the callback is never called.
    void Invoke(int32_t, const char*, int32_t, Application::InvokeCallback) override {}
};

}  // namespace Plugins
