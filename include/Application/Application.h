#pragma once

// The framework's exported entry points. Everything a program or a plugin
// needs starts here: create the application object once on the thread that
// will pump the main-thread queue (RunMainThreadLoop, or ProcessMainThreadTask
// from a loop of the program's own), reach every service through App(), and
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
// The main loop of a program without one of its own (a plugin executable):
// runs main-thread tasks on the calling (main) thread as they are posted or
// fall due, sleeping in between, and returns once the application's Quit
// has called the quit callback (at once when it already has), after one last
// pass for what was posted behind the quit. 0; -1 without an application.
APP_API int RunMainThreadLoop();
// For a program whose own event loop pumps the main-thread queue: a
// descriptor that turns readable when a task is posted while the loop
// sleeps (-1 without one: then pass at least every few milliseconds).
// Each round: ProcessMainThreadTask, then PrepareMainThreadSleep, which says
// how long the loop may sleep on the descriptor: milliseconds until the next
// delayed task falls due, -1 until the descriptor turns readable, 0 not at
// all (a task came meanwhile). Main thread only; the descriptor stays owned
// by the application and closes with it.
APP_API int GetMainThreadWakeFd();
APP_API int PrepareMainThreadSleep();
APP_API void SetLogCallback(LogCallback callback);
APP_API void SetLogCallback(int level, LevelLogCallback callback);
// Closes the log file; later log calls are dropped, queued lines still land.
APP_API void StopLog();
// For a crash reporter while the process dies: writes the log lines still
// queued to the file within timeout_ms, without their callbacks. Any thread
// but the log's writer; true when nothing queued was left behind.
APP_API bool FlushLogForCrash(int timeout_ms);

}  // namespace Application
