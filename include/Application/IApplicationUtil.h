#pragma once

#include <Application/InterfaceBase.h>

namespace Application {

class IApplicationUtil : public InterfaceBase {
public:
    // Asks the program to quit (in a plugin process: the host program).
    virtual void QuitApplication() = 0;
};

}  // namespace Application
