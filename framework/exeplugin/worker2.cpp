#include "framework/exeplugin/worker2.h"

namespace Application::ExePlugin {

void OnWorker2(Task task) {
    IApplication* app = App();
    IThreadTaskMgr* tasks = app ? app->GetThreadTaskMgr() : nullptr;
    if (!tasks) return;
    if (tasks->IsWorker2Thread())
        task();
    else
        tasks->PostWorker2Task(std::move(task));
}

}  // namespace Application::ExePlugin
