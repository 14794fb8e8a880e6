#pragma once

#include <Application/Export.h>
#include <Application/IPlugin.h>

namespace Application {

// Called by a plugin executable before MakeProxyApplication: hands over its
// plugin object (allocated with Malloc). A previously registered object is
// destroyed without Free. Always returns 0.
APP_API unsigned int ExePluginClientProxyRegister(IPlugin* plugin);

}  // namespace Application
