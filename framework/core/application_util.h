#pragma once

#include "Application/IApplicationUtil.h"

namespace Application {

class ApplicationUtilImpl final : public IApplicationUtil {
public:
    bool Init() override { return true; }
    void Free() override {}
    void QuitApplication() override;
};

}  // namespace Application
