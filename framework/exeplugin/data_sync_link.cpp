#include "framework/exeplugin/data_sync_link.h"

#include "framework/data/data_sync.h"

namespace Application::ExePlugin {

std::string FullStateSnapshot() { return DataSync::DataSyncMgr::Instance()->SaveState(); }

void ApplyStateSnapshot(const std::string& snapshot) { DataSync::DataSyncMgr::Instance()->LoadState(snapshot); }

uintptr_t AddStateListener(std::function<void(const std::string&)> listener) {
    return DataSync::DataSyncMgr::Instance()->AddSink(std::move(listener));
}

void RemoveStateListener(uintptr_t handle) { DataSync::DataSyncMgr::Instance()->RemoveSink(handle); }

}  // namespace Application::ExePlugin
