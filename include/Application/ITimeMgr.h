#pragma once

#include <cstdint>

#include <Application/InterfaceBase.h>

namespace Application {

// A clock: the wall clock plus a settable millisecond offset. Reads and sets
// are atomic and may happen on any thread.
class ITime : public InterfaceBase {
public:
    virtual uint64_t GetTimeMs() = 0;
    virtual uint64_t GetTimeSec() = 0;
    // Sets the offset so that the clock reads time_ms now. In the host the
    // shared clocks are then copied to the plugin processes.
    virtual void SetTimeMs(uint64_t time_ms) = 0;
    // "YYYY-MM-DD hh:mm:ss.mmm" in UTC+8; returns snprintf's result.
    virtual int GetTimeString(char* buffer, int size) = 0;
    // The same in the machine's local time zone.
    virtual int GetLocalTimeString(char* buffer, int size) = 0;
    // strftime of the corrected time + hours * 3600 as UTC; buffer holds 32 bytes.
    virtual int FormatTime(char* buffer, const char* format, int hours) = 0;
};

// Owns the clocks; callers never delete them.
class ITimeMgr : public InterfaceBase {
public:
    virtual ITime* GetProcessTime() = 0;
    virtual ITime* GetSharedTime() = 0;
    virtual ITime* GetTimeById(int id) = 0;
};

}  // namespace Application
