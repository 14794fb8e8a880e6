#pragma once

#include <cstdint>

#include "Application/IPlugin.h"

namespace Application {

// The process-wide table from plugin type to the factory that makes plugins of
// that type. Filled by static initialisation while the library loads (before
// any other thread exists) and only read afterwards, so it has no lock.
//
// Registers factory (allocated with Malloc; the table takes ownership) for
// type, destroying the factory that held the type before. A null factory
// only removes and destroys the old one.
void RegisterPluginFactory(int32_t type, IPluginFactory* factory);

// The factory for type, or null.
IPluginFactory* FindPluginFactory(int32_t type);

// Registers a factory from a static initialiser of the area that builds it:
//   const PluginFactoryRegistrar registrar(kPluginExe, LibraryNew<ExePluginFactory>());
struct PluginFactoryRegistrar {
    PluginFactoryRegistrar(int32_t type, IPluginFactory* factory) { RegisterPluginFactory(type, factory); }
};

}  // namespace Application
