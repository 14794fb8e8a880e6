#include "framework/plugins/plugin_factory_registry.h"

#include <map>

#include "framework/core/application_impl.h"
#include "framework/plugins/dll_plugin.h"
#include "framework/plugins/inner_plugin.h"

namespace Application {
namespace {

// Never destroyed: factories must outlive every plugin, including plugins
// released by other static destructors at exit.
std::map<int32_t, IPluginFactory*>& Factories() {
    static auto* factories = new std::map<int32_t, IPluginFactory*>;
    return *factories;
}

// Types 1 and 2 live in this folder and are registered here, in the same
// translation unit as the table, so that no link (static archive included)
// can drop them. Type 3 (executable plugins) is built on top of this folder:
// framework/exeplugin registers it with its own PluginFactoryRegistrar.
const bool kBuiltinFactoriesRegistered = [] {
    RegisterPluginFactory(kPluginInner, LibraryNew<InnerPluginFactory>());
    RegisterPluginFactory(kPluginDll, LibraryNew<DllPluginFactory>());
    return true;
}();

}  // namespace

void RegisterPluginFactory(int32_t type, IPluginFactory* factory) {
    auto& factories = Factories();
    auto found = factories.find(type);
    if (found != factories.end()) {
        LibraryDelete(found->second);
        factories.erase(found);
    }
    if (factory) factories.emplace(type, factory);
}

IPluginFactory* FindPluginFactory(int32_t type) {
    (void)kBuiltinFactoriesRegistered;
    auto& factories = Factories();
    auto found = factories.find(type);
    return found == factories.end() ? nullptr : found->second;
}

}  // namespace Application
