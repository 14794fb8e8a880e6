#pragma once

#include <functional>

#include <Application/IAppPath.h>
#include <Application/IApplicationUtil.h>
#include <Application/ICmdLineMgr.h>
#include <Application/IData.h>
#include <Application/IIPCMgr.h>
#include <Application/ILog.h>
#include <Application/INotifier.h>
#include <Application/IPluginMgr.h>
#include <Application/IThreadTaskMgr.h>
#include <Application/ITimeMgr.h>
#include <Application/ITranslate.h>
#include <Application/IUISkin.h>
#include <Application/InterfaceBase.h>

namespace Application {

using QuitHandler = std::function<void(bool)>;

// The root object. Accessors never fail, never create anything and never
// transfer ownership; their results stay valid until DestroyApplication.
// The operation order is fixed: separately built plugins call it through the
// virtual table.
class IApplication : public InterfaceBase {
public:
    // "app": the module of the framework's own notifications.
    virtual const char* GetName() = 0;
    virtual bool IsHost() = 0;
    virtual INotifier* GetNotifier() = 0;
    virtual IThreadTaskMgr* GetThreadTaskMgr() = 0;
    virtual IPluginMgr* GetPluginMgr() = 0;
    virtual IAppPath* GetAppPath() = 0;
    virtual ITimeMgr* GetTimeMgr() = 0;
    virtual ILog* GetLog() = 0;
    virtual ICmdLineMgr* GetCmdLineMgr() = 0;
    virtual IIPCMgr* GetIPCMgr() = 0;
    virtual IUISkin* GetUISkin() = 0;
    // From any thread; the quit callback always runs on the main thread.
    virtual void Quit(bool flag) = 0;
    virtual void SetQuitHandler(QuitHandler handler) = 0;
    virtual ITranslate* GetTranslate() = 0;
    virtual IData* GetData() = 0;
    virtual IApplicationUtil* GetApplicationUtil() = 0;
};

// Messages of module "app".
enum AppMessage : int {
    kAppStarted = 1,
    kAppShuttingDown = 2,
    kAppSkinChanged = 3,
    kAppSkinChangedAfter = 4,
    kAppPluginConnected = 5,
    kAppPluginEnded = 6,
};

}  // namespace Application
