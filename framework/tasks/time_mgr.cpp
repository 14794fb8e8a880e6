#include "framework/tasks/time_mgr.h"

#include <cstddef>

#include "Application/Application.h"
#include "tools/payload.h"

namespace Application {

using Tools::detail::PayloadReader;
using Tools::detail::PayloadWriter;

TimeMgr::TimeMgr() : process_clock_([this] { OnClockSet(); }), shared_clock_([this] { OnClockSet(); }) {
    DataSync::DataSyncMgr::Instance()->Register(kSyncName, this);
}

// The registry has no removal: leave a null entry rather than a dangling one.
TimeMgr::~TimeMgr() {
    DataSync::DataSyncMgr::Instance()->Register(kSyncName, nullptr);
    Free();
}

void TimeMgr::Free() {
    std::map<int, std::unique_ptr<TimeImpl>> clocks;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        clocks.swap(clocks_by_id_);
    }
}

ITime* TimeMgr::GetTimeById(int id) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::unique_ptr<TimeImpl>& clock = clocks_by_id_[id];
    if (!clock) clock = std::make_unique<TimeImpl>([this] { OnClockSet(); });
    return clock.get();
}

// The shared clock (u64), then the count (u32) and each clock by id
// (u32 id, u64 milliseconds).
std::string TimeMgr::SaveState() {
    PayloadWriter state;
    state.U64(shared_clock_.GetTimeMs());
    std::lock_guard<std::recursive_mutex> guard(lock_);
    state.U32(static_cast<uint32_t>(clocks_by_id_.size()));
    for (const auto& [id, clock] : clocks_by_id_) state.I32(id).U64(clock->GetTimeMs());
    return state.Take();
}

void TimeMgr::LoadState(const std::string& state) {
    PayloadReader reader(state);
    // Anything shorter cannot hold the shared clock; taking it as 0 would
    // throw the clock back to 1970.
    uint64_t shared_ms = 0;
    if (!reader.U64(shared_ms)) return;
    shared_clock_.SetTimeMsQuietly(shared_ms);
    uint32_t count = 0;
    if (!reader.U32(count)) return;
    int32_t id = 0;
    uint64_t time_ms = 0;
    for (uint32_t i = 0; i < count && reader.I32(id) && reader.U64(time_ms); ++i)
        static_cast<TimeImpl*>(GetTimeById(id))->SetTimeMsQuietly(time_ms);
}

// Only the host sends its clocks out, so state taken over in a plugin
// process never echoes back.
void TimeMgr::OnClockSet() {
    IApplication* app = App();
    if (!app || !app->IsHost()) return;
    DataSync::DataSyncMgr::Instance()->Broadcast(kSyncName);
}

}  // namespace Application
