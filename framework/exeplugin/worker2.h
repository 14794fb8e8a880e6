#pragma once

#include <cassert>

#include "Application/Application.h"

namespace Application::ExePlugin {

// Worker thread 2 carries all protocol work of the plugin link on both
// sides; these helpers move work there.

// Runs task on worker thread 2: at once when already there, else posted.
void OnWorker2(Task task);
// Runs task on worker thread 2 and waits until it has run. Runs it on the
// calling thread instead when that is worker thread 2, or when worker thread
// 2 is not running (before the start, after the stop): then nothing else
// touches worker-2 state. The task must not wait for the calling thread.
void RunOnWorker2AndWait(Task task);
// True on worker thread 2, and on any thread while it is not running.
bool OnWorker2OrStopped();

}  // namespace Application::ExePlugin

// The thread contract of worker-2 state, checked in debug builds.
#define ASSERT_ON_WORKER2() assert(::Application::ExePlugin::OnWorker2OrStopped())
