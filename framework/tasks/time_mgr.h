#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Application/ITimeMgr.h"
#include "framework/data/data_sync.h"
#include "framework/tasks/time_impl.h"

namespace Application {

// The process clock, the shared clock and the shared clocks by id. The host's
// shared clocks are mirrored into its plugin processes: SaveState gives their
// state, LoadState takes over the host's. Any thread may call.
class TimeMgr final : public ITimeMgr, public DataSync::IDataSyncer {
public:
    static constexpr const char* kSyncName = "TimeMgr";

    TimeMgr();
    ~TimeMgr() override;

    bool Init() override { return true; }
    // Destroys the id clocks; pointers to them obtained earlier dangle.
    void Free() override;
    ITime* GetProcessTime() override { return &process_clock_; }
    ITime* GetSharedTime() override { return &shared_clock_; }
    ITime* GetTimeById(int id) override;

    // Little-endian: shared clock (8 bytes), count n (4), then n times id (4)
    // and time (8), ids ascending. The process clock is not included.
    std::string SaveState() override;
    // Applies as much of a SaveState payload as is complete; one shorter than
    // the shared clock's 8 bytes is ignored.
    void LoadState(const std::string& state) override;

private:
    void OnClockSet();

    TimeImpl process_clock_;
    TimeImpl shared_clock_;
    std::map<int, std::unique_ptr<TimeImpl>> clocks_by_id_;
    std::recursive_mutex lock_;
};

}  // namespace Application
