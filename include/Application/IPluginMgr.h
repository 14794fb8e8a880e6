#pragma once

#include <Application/IPlugin.h>

namespace Application {

class IPluginMgr : public InterfaceBase {
public:
    // The plugin filed under name, or null. Callable from any thread; the
    // manager keeps ownership.
    virtual IPlugin* GetPlugin(const char* name) = 0;
};

}  // namespace Application
