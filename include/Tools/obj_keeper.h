#pragma once

#include <cstdint>

#include <Application/Export.h>

namespace Tools {

// Base class whose live objects are listed process-wide by address, so that
// a task posted to another thread can ask isAlive() before using its object.
// The test reads only the address, never the object's members. A true result
// does not keep the object alive afterwards.
class APP_API ObjKeeper {
public:
    ObjKeeper();
    // Copies are not registered: a copy reports not alive.
    ObjKeeper(const ObjKeeper&);
    ObjKeeper& operator=(const ObjKeeper&);
    virtual ~ObjKeeper();

    uintptr_t getObjID() const;
    bool isAlive() const;
    // The same test by identity, for code that holds only the address of an
    // object that may already be gone (no member of it is touched).
    static bool IsAlive(uintptr_t object_id);
};

}  // namespace Tools
