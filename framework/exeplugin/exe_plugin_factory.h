#pragma once

#include "Application/Application.h"

namespace Application::ExePlugin {

// Type 3 of the plugin registry: makes the host's proxy for a plugin executable.
class ExePluginFactory final : public IPluginFactory {
public:
    IPlugin* Create(const PluginConfig& config) override;
    void Destroy(IPlugin* plugin) override;
};

}  // namespace Application::ExePlugin
