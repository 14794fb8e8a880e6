#include "Application/Version.h"

#include "Application/PluginAbi.h"

#ifndef VELMORA_LIBRARY_VERSION
#error "the build passes VELMORA_LIBRARY_VERSION"
#endif

namespace Application {

const char* LibraryVersion() { return VELMORA_LIBRARY_VERSION; }

int32_t LibraryPluginAbiVersion() { return kPluginAbiVersion; }

}  // namespace Application
