#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "Application/ITimeMgr.h"

namespace Application {

// The wall clock plus a settable offset. Reads and SetTimeMs may run on any
// thread at once: the offset is one atomic value.
class TimeImpl final : public ITime {
public:
    using Clock = uint64_t (*)();

    // on_set runs after every SetTimeMs, on the setting thread. clock gives
    // wall-clock milliseconds; tests substitute their own.
    explicit TimeImpl(std::function<void()> on_set = {}, Clock clock = nullptr);

    bool Init() override { return true; }
    void Free() override {}
    uint64_t GetTimeMs() override;
    uint64_t GetTimeSec() override;
    void SetTimeMs(uint64_t time_ms) override;
    int GetTimeString(char* buffer, int size) override;
    int GetLocalTimeString(char* buffer, int size) override;
    int FormatTime(char* buffer, const char* format, int hours) override;

    // Sets the clock without running on_set (state taken over from the host
    // must not be echoed back).
    void SetTimeMsQuietly(uint64_t time_ms);

private:
    const Clock clock_;
    std::atomic<int64_t> offset_ms_{0};
    const std::function<void()> on_set_;
};

}  // namespace Application
