#pragma once

#include <Application/InterfaceBase.h>

namespace Application {

// key=value translation table; later loads override earlier ones.
class ITranslate : public InterfaceBase {
public:
    virtual void LoadFile(const char* path) = 0;
    virtual void LoadText(const char* text) = 0;
    // The stored value, or null when the key is absent.
    virtual const char* Lookup(const char* key) = 0;
};

}  // namespace Application
