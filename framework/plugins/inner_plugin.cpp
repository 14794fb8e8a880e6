#include "framework/plugins/inner_plugin.h"

#include <map>
#include <string>

#include "framework/core/application_impl.h"

namespace Application {
namespace {

// Lives until the process ends (never destroyed, so creators registered from
// static initialisers of the host stay valid whatever the exit order). No
// lock: registration happens during start-up, before the plugin manager
// reads it on the main thread.
std::map<std::string, InnerPluginTypeCreator*, std::less<>>& InnerTypes() {
    static auto* types = new std::map<std::string, InnerPluginTypeCreator*, std::less<>>;
    return *types;
}

InnerPluginTypeCreator* FindCreator(const std::string& name) {
    auto& types = InnerTypes();
    auto found = types.find(name);
    return found == types.end() ? nullptr : found->second;
}

}  // namespace

int RegisterInnerPluginType(InnerPluginTypeCreator* creator, const char* name) {
    if (!creator || !name) return 0;
    auto& types = InnerTypes();
    auto found = types.find(std::string_view(name));
    if (found != types.end()) {
        // A creator registering itself again stays as it is.
        if (found->second == creator) return 0;
        LibraryDelete(found->second);
        found->second = creator;
        return 0;
    }
    types.emplace(name, creator);
    return 0;
}

bool IsInnerPluginTypeRegistered(const char* name) { return name && FindCreator(name) != nullptr; }

IPlugin* InnerPluginFactory::Create(const PluginConfig& config) {
    InnerPluginTypeCreator* creator = FindCreator(config.name);
    return creator ? creator->Create() : nullptr;
}

void InnerPluginFactory::Destroy(IPlugin* plugin) { LibraryDelete(plugin); }

}  // namespace Application
