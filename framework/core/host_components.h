#pragma once

// The two instantiations of the application object: the host's, and the
// plugin process's, in which notifier, paths, utility and plugin manager
// forward to the host. One alias per slot, so each component is wired on a
// line of its own.

#include "framework/core/application_impl.h"

#include "framework/core/app_path.h"

#include "framework/core/application_util.h"

#include "framework/exeplugin/client_app_path_proxy.h"
#include "framework/exeplugin/client_app_util_proxy.h"
#include "framework/exeplugin/client_notify_proxy.h"
#include "framework/exeplugin/client_plugin_mgr_proxy.h"

#include "framework/data/data_tree.h"

#include "framework/ipc/ipc_mgr.h"
#include "framework/plugins/plugin_mgr.h"

#include "framework/log/log.h"

#include "framework/notifier/notifier.h"

#include "framework/tasks/thread_task_mgr.h"

#include "framework/tasks/time_mgr.h"

#include "framework/ui/translate_impl.h"

#include "framework/ui/ui_skin_impl.h"

namespace Application {

using HostNotifier = Notifier;

using ClientNotifier = ExePlugin::ExePluginClientNotifyProxy;

using HostAppPath = AppPath;

using ClientAppPath = ExePlugin::ExePluginClientAppPathProxy;

using TaskManager = ThreadTaskMgr;

using TimeManager = TimeMgr;

using LogComponent = Log;

using IPCManager = IPCMgrImpl;

using SkinComponent = UISkinImpl;

using TranslateComponent = TranslateImpl;

using DataComponent = CData;

using HostAppUtil = ApplicationUtilImpl;

using ClientAppUtil = ExePlugin::ExePluginClientAppUtilProxy;

using HostPluginMgr = PluginMgr;

using ClientPluginMgr = ExePlugin::ExePluginClientPluginMgrProxy;

using HostApplication =
    ApplicationImpl<1, HostNotifier, HostAppPath, TaskManager, TimeManager, LogComponent, IPCManager, SkinComponent,
                    TranslateComponent, DataComponent, HostAppUtil, HostPluginMgr>;

using PluginProcessApplication =
    ApplicationImpl<0, ClientNotifier, ClientAppPath, TaskManager, TimeManager, LogComponent, IPCManager,
                    SkinComponent, TranslateComponent, DataComponent, ClientAppUtil, ClientPluginMgr>;

}  // namespace Application
