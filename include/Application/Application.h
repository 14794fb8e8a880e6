#pragma once

// The framework's exported entry points. Everything a program or a plugin
// needs starts here: create the application object once on the thread that
// will pump ProcessMainThreadTask, reach every service through App(), and
// call DestroyApplication once at the end.

#include <functional>

#include <Application/Export.h>
#include <Application/IApplication.h>

namespace Application {

using ComponentCallback = std::function<bool(InterfaceBase*)>;
using LogCallback = std::function<void(const char*)>;
using LevelLogCallback = std::function<void(const char* message, const char* level_name)>;

// Host mode. Returns Init's result; false without any effect when an
// application object already exists. component_callback runs once per
// started component (returning false aborts start-up); quit_callback runs on
// the main thread when someone calls Quit.
APP_API bool MakeNomalApplication(int argc, char** argv, ComponentCallback component_callback,
                                  QuitHandler quit_callback);
// Plugin-process mode: notifier, paths, utility and plugin manager forward to
// the host that started this process.
APP_API bool MakeProxyApplication(int argc, char** argv, ComponentCallback component_callback,
                                  QuitHandler quit_callback);
// The process's application object, or null while none exists.
APP_API IApplication* App();
APP_API void DestroyApplication();
// Runs one pass over the main-thread queue on the calling (main) thread.
APP_API void ProcessMainThreadTask();
APP_API void SetLogCallback(LogCallback callback);
APP_API void SetLogCallback(int level, LevelLogCallback callback);
// Closes the log file; later log calls are dropped, queued lines still land.
APP_API void StopLog();
// For a crash reporter while the process dies: writes the log lines still
// queued to the file within timeout_ms, without their callbacks. Any thread
// but the log's writer; true when nothing queued was left behind.
APP_API bool FlushLogForCrash(int timeout_ms);

}  // namespace Application
