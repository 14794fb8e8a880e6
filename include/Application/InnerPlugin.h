#pragma once

#include <new>

#include <Application/Export.h>
#include <Application/IPlugin.h>
#include <Tools/memory.h>

namespace Application {

// Creates plugin objects of a class compiled into the program.
class InnerPluginTypeCreator {
public:
    // A new object allocated with Malloc (the factory releases it with Free).
    virtual IPlugin* Create() = 0;
    virtual ~InnerPluginTypeCreator() = default;
};

template <typename T>
class InnerPluginCreator : public InnerPluginTypeCreator {
public:
    IPlugin* Create() override {
        void* memory = Malloc(sizeof(T));
        if (!memory) return nullptr;
        return new (memory) T();
    }
};

// Registers creator (allocated with Malloc; the registry takes ownership)
// under name, replacing and destroying an earlier creator of that name.
// A null name or creator changes nothing. Always returns 0.
APP_API int RegisterInnerPluginType(InnerPluginTypeCreator* creator, const char* name);

// Allocates a T with the library's allocator, as the framework expects of
// objects it will destroy.
template <typename T, typename... Args>
T* MakeWithLibraryAllocator(Args&&... args) {
    void* memory = Malloc(sizeof(T));
    if (!memory) return nullptr;
    return new (memory) T(static_cast<Args&&>(args)...);
}

}  // namespace Application
