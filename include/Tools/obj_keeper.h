#pragma once

#include <cstdint>

#include <Application/Export.h>

namespace Tools {

// Base class whose live objects are listed process-wide, so that a task
// posted to another thread can ask whether its object still exists before
// using it. Each object gets an id from a 64-bit counter that is never
// reused within a process run: a successor built at the address of a
// destroyed object is never taken for it. A true result does not keep the
// object alive afterwards; the caller must make sure the object is not
// destroyed on another thread while it is used.
class APP_API ObjKeeper {
public:
    ObjKeeper();
    // Copies are not registered: a copy reports not alive.
    ObjKeeper(const ObjKeeper&);
    ObjKeeper& operator=(const ObjKeeper&);
    virtual ~ObjKeeper();

    // Never 0 for a registered object; 0 for a copy.
    uintptr_t getObjID() const;
    bool isAlive() const;
    // The test by id, for code that holds only the id of an object that may
    // already be gone: no member of the object is read. Tasks posted across
    // threads capture the id and ask this, never the object itself.
    static bool IsAlive(uintptr_t object_id);

private:
    uint64_t id_ = 0;
};

}  // namespace Tools
