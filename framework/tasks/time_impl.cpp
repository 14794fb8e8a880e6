#include "framework/tasks/time_impl.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "Tools/os.h"
#include "framework/tasks/civil_time.h"

namespace Application {

namespace {

constexpr uint64_t kUtcPlus8Ms = 8ull * 3600 * 1000;
constexpr int kFormatTimeBufferSize = 32;

// snprintf into size - 1 bytes, so the text is cut to size - 2 characters
// as callers of this format expect; a buffer of one byte gets an empty text.
int WriteTimeText(char* buffer, int size, const std::tm& broken_down, unsigned milliseconds) {
    const int year = broken_down.tm_year + 1900;
    const int month = broken_down.tm_mon + 1;
    if (!buffer || size <= 0)
        return std::snprintf(nullptr, 0, "%02d-%02d-%02d %02d:%02d:%02d.%03u", year, month, broken_down.tm_mday,
                             broken_down.tm_hour, broken_down.tm_min, broken_down.tm_sec, milliseconds);
    if (size == 1) buffer[0] = '\0';
    return std::snprintf(buffer, static_cast<size_t>(size - 1), "%02d-%02d-%02d %02d:%02d:%02d.%03u", year, month,
                         broken_down.tm_mday, broken_down.tm_hour, broken_down.tm_min, broken_down.tm_sec,
                         milliseconds);
}

}  // namespace

TimeImpl::TimeImpl(std::function<void()> on_set, Clock clock)
    : clock_(clock ? clock : Tools::os_gettime_ms), on_set_(std::move(on_set)) {}

uint64_t TimeImpl::GetTimeMs() {
    return clock_() + static_cast<uint64_t>(offset_ms_.load(std::memory_order_acquire));
}

uint64_t TimeImpl::GetTimeSec() { return GetTimeMs() / 1000; }

void TimeImpl::SetTimeMsQuietly(uint64_t time_ms) {
    // Unsigned difference, kept as the signed offset it stands for.
    offset_ms_.store(static_cast<int64_t>(time_ms - clock_()), std::memory_order_release);
}

void TimeImpl::SetTimeMs(uint64_t time_ms) {
    SetTimeMsQuietly(time_ms);
    if (on_set_) on_set_();
}

int TimeImpl::GetTimeString(char* buffer, int size) {
    const uint64_t shifted = GetTimeMs() + kUtcPlus8Ms;
    return WriteTimeText(buffer, size, BreakDownUtc(static_cast<int64_t>(shifted / 1000)),
                         static_cast<unsigned>(shifted % 1000));
}

int TimeImpl::GetLocalTimeString(char* buffer, int size) {
    const uint64_t now = GetTimeMs();
    const std::time_t seconds = static_cast<std::time_t>(now / 1000);
    std::tm broken_down{};
    if (!localtime_r(&seconds, &broken_down)) broken_down = BreakDownUtc(static_cast<int64_t>(seconds));
    return WriteTimeText(buffer, size, broken_down, static_cast<unsigned>(now % 1000));
}

int TimeImpl::FormatTime(char* buffer, const char* format, int hours) {
    if (!buffer) return 0;
    buffer[0] = '\0';
    if (!format) return 0;
    const int64_t seconds = static_cast<int64_t>(GetTimeMs() / 1000) + static_cast<int64_t>(hours) * 3600;
    const std::tm broken_down = BreakDownUtc(seconds);
    const size_t written = std::strftime(buffer, kFormatTimeBufferSize, format, &broken_down);
    // strftime leaves the buffer unspecified when the text does not fit.
    if (written == 0) buffer[0] = '\0';
    return static_cast<int>(written);
}

}  // namespace Application
