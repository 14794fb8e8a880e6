#pragma once

#include "Application/Application.h"

namespace Application::ExePlugin {

// Runs task on worker thread 2: at once when already there, else posted.
void OnWorker2(Task task);

}  // namespace Application::ExePlugin
