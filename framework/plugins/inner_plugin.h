#pragma once

#include "Application/InnerPlugin.h"

namespace Application {

// Type 1: objects of classes compiled into the program, registered by name
// with RegisterInnerPluginType. There is no proxy: the creator's object is
// what the plugin manager files.
class InnerPluginFactory final : public IPluginFactory {
public:
    // The object of the creator registered under config.name, or null.
    IPlugin* Create(const PluginConfig& config) override;
    void Destroy(IPlugin* plugin) override;
};

// Whether a creator is registered under name (for the plugin manager's
// diagnostics).
bool IsInnerPluginTypeRegistered(const char* name);

}  // namespace Application
