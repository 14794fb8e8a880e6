#include "framework/tasks/time_mgr.h"

#include <cstddef>

#include "Application/Application.h"

namespace Application {

namespace {

constexpr size_t kClockBytes = 8;
constexpr size_t kCountBytes = 4;
constexpr size_t kEntryBytes = 12;

void PutLittleEndian(std::string& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetLittleEndian(const char* in, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return value;
}

}  // namespace

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

std::string TimeMgr::SaveState() {
    std::string state;
    PutLittleEndian(state, shared_clock_.GetTimeMs(), kClockBytes);
    std::lock_guard<std::recursive_mutex> guard(lock_);
    state.reserve(kClockBytes + kCountBytes + kEntryBytes * clocks_by_id_.size());
    PutLittleEndian(state, clocks_by_id_.size(), kCountBytes);
    for (const auto& [id, clock] : clocks_by_id_) {
        PutLittleEndian(state, static_cast<uint32_t>(id), 4);
        PutLittleEndian(state, clock->GetTimeMs(), kClockBytes);
    }
    return state;
}

void TimeMgr::LoadState(const std::string& state) {
    // Anything shorter cannot hold the shared clock; taking it as 0 would
    // throw the clock back to 1970.
    if (state.size() < kClockBytes) return;
    const char* cursor = state.data();
    size_t left = state.size();
    shared_clock_.SetTimeMsQuietly(GetLittleEndian(cursor, kClockBytes));
    cursor += kClockBytes;
    left -= kClockBytes;
    if (left < kCountBytes) return;
    const uint64_t count = GetLittleEndian(cursor, kCountBytes);
    cursor += kCountBytes;
    left -= kCountBytes;
    for (uint64_t i = 0; i < count && left >= kEntryBytes; ++i) {
        const int id = static_cast<int>(static_cast<uint32_t>(GetLittleEndian(cursor, 4)));
        const uint64_t time_ms = GetLittleEndian(cursor + 4, kClockBytes);
        static_cast<TimeImpl*>(GetTimeById(id))->SetTimeMsQuietly(time_ms);
        cursor += kEntryBytes;
        left -= kEntryBytes;
    }
}

// Only the host sends its clocks out, so state taken over in a plugin
// process never echoes back.
void TimeMgr::OnClockSet() {
    IApplication* app = App();
    if (!app || !app->IsHost()) return;
    DataSync::DataSyncMgr::Instance()->Broadcast(kSyncName);
}

}  // namespace Application
