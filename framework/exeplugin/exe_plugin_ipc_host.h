#pragma once

#include <string>

#include "framework/exeplugin/endpoint_wrapper.h"

namespace Application::ExePlugin {

class ExePluginIPC_Host final : public EndpointWrapper<IIPCHost, false> {
public:
    // The switch that tells the plugin process where to connect.
    std::string GetCmdLine();
};

}  // namespace Application::ExePlugin
