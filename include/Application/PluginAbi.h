#pragma once

// The interface version a plugin library was built against. The project
// raises kPluginAbiVersion whenever a public interface changes incompatibly
// (a virtual operation, a shared struct's layout). The plugin manager refuses
// a library whose stamp differs from its own, and loads one without a stamp
// with a warning.
//
// Use in one source file of a plugin library, at namespace scope:
//     VELMORA_PLUGIN_ABI_STAMP();
// The symbol is weak, so a stamp that the build adds as well does no harm.

#include <cstdint>

namespace Application {
inline constexpr int32_t kPluginAbiVersion = 2;
}  // namespace Application

// The symbol the plugin manager looks up with dlsym.
#define VELMORA_PLUGIN_ABI_SYMBOL "velmora_plugin_abi_version"

#define VELMORA_PLUGIN_ABI_STAMP()                                                               \
    extern "C" __attribute__((visibility("default"), weak)) const int32_t velmora_plugin_abi_version = \
        ::Application::kPluginAbiVersion
