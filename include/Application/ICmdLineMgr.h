#pragma once

#include <Application/InterfaceBase.h>

namespace Application {

// The process's "-name=value" switches, parsed once before any component
// starts; read-only afterwards and safe to read from any thread.
class ICmdLineMgr : public InterfaceBase {
public:
    virtual bool Has(const char* name) = 0;
    // buffer null: returns the value's length. Otherwise copies the value
    // (truncated, always terminated when size >= 1) and returns 0. Unknown or
    // empty names return 0 and write nothing.
    virtual int GetValue(const char* name, char* buffer, int size) = 0;
};

}  // namespace Application
