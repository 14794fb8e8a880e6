#pragma once

namespace Application {

// Base of every framework interface and every plugin object. Owners call
// Init in a fixed order and Free in reverse; Free must be harmless on an
// object whose Init never ran.
class InterfaceBase {
public:
    virtual ~InterfaceBase() = default;
    virtual bool Init() = 0;
    virtual void Free() = 0;
};

}  // namespace Application
