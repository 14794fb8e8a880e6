#pragma once

// The two instantiations of the application object: the host's, and the
// plugin process's, in which notifier, paths, utility and plugin manager
// forward to the host.

#include "framework/core/application_impl.h"
#include "framework/core/application_util.h"
#include "framework/core/pending_components.h"
#include "framework/ipc/ipc_mgr.h"

namespace Application {

using HostApplication =
    ApplicationImpl<1, pending::Notifier, pending::AppPath, pending::ThreadTaskMgr, pending::TimeMgr, pending::Log,
                    IPCMgrImpl, pending::UISkin, pending::Translate, pending::Data, ApplicationUtilImpl,
                    pending::PluginMgr>;

using PluginProcessApplication =
    ApplicationImpl<0, pending::Notifier, pending::AppPath, pending::ThreadTaskMgr, pending::TimeMgr, pending::Log,
                    IPCMgrImpl, pending::UISkin, pending::Translate, pending::Data, ApplicationUtilImpl,
                    pending::PluginMgr>;

}  // namespace Application
