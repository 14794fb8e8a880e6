#include "host/inner_plugin_test.h"

#include "Application/InnerPlugin.h"

namespace {

// Registered before main runs; the framework library is already loaded.
[[maybe_unused]] const int kRegistered = Application::RegisterInnerPluginType(
    Application::MakeWithLibraryAllocator<Application::InnerPluginCreator<Plugins::InnerPluginTestImpl>>(),
    "InnerPluginTest");

}  // namespace
