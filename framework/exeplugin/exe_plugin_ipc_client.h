#pragma once

#include "framework/exeplugin/endpoint_wrapper.h"

namespace Application::ExePlugin {

// The plugin process's end of the link.
class ExePluginIPC_Client final : public EndpointWrapper<IIPCClient, true> {};

}  // namespace Application::ExePlugin
