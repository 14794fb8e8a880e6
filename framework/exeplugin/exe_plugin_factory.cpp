#include "framework/exeplugin/exe_plugin_factory.h"

#include "framework/core/application_impl.h"
#include "framework/exeplugin/host_proxy.h"
#include "framework/plugins/plugin_factory_registry.h"

namespace Application::ExePlugin {

IPlugin* ExePluginFactory::Create(const PluginConfig& config) { return LibraryNew<ExePluginHostProxy>(config); }

void ExePluginFactory::Destroy(IPlugin* plugin) { LibraryDelete(plugin); }

namespace {

// Type 3 joins the registry when the library loads, beside types 1 and 2.
const PluginFactoryRegistrar kRegistrar(kPluginExe, LibraryNew<ExePluginFactory>());

}  // namespace

}  // namespace Application::ExePlugin
