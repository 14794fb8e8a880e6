#pragma once

#include <Application/InterfaceBase.h>

namespace Application {

// The skin packages beside the application and the selected index. A change
// is announced as messages 3 and 4 of module "app" on the main thread.
class IUISkin : public InterfaceBase {
public:
    virtual void SetSkinIndex(int index) = 0;
    virtual int GetSkinIndex() = 0;
    // Empty text for an index outside the package list.
    virtual const char* GetSkinPath(int index) = 0;
    virtual const char* GetBaseSkinPath() = 0;
};

}  // namespace Application
