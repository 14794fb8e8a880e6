// Texts for wall-clock times in the fixed zone UTC+8. Pure arithmetic, so no
// time-zone database or summer time can change them.

#include <cstdint>
#include <cstdio>

#include "Tools/os.h"

namespace Tools {
namespace {

constexpr uint64_t kPekingOffsetSeconds = 8 * 3600;

struct CivilTime {
    long long year;
    int month, day, hour, minute, second;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's method).
CivilTime ToCivil(uint64_t seconds) {
    const uint64_t days = seconds / 86400;
    const uint64_t rest = seconds % 86400;
    const long long z = static_cast<long long>(days) + 719468;
    const long long era = z / 146097;
    const long long day_of_era = z - era * 146097;
    const long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long mp = (5 * day_of_year + 2) / 153;
    CivilTime civil{};
    civil.day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    civil.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    civil.year = year_of_era + era * 400 + (civil.month <= 2 ? 1 : 0);
    civil.hour = static_cast<int>(rest / 3600);
    civil.minute = static_cast<int>(rest / 60 % 60);
    civil.second = static_cast<int>(rest % 60);
    return civil;
}

}  // namespace

void UTCToPekingString(uint64_t milliseconds, char* destination, size_t size) {
    if (!destination || size == 0) return;
    const uint64_t seconds = milliseconds / 1000;
    const CivilTime t = ToCivil(seconds + kPekingOffsetSeconds);
    std::snprintf(destination, size, "%02lld-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, static_cast<int>(milliseconds % 1000));
}

void GenerateTimeDateFilename(char* destination, size_t size, uint64_t seconds, const char* prefix,
                              const char* suffix) {
    if (!destination || size == 0) return;
    const uint64_t shifted = seconds > UINT64_MAX - kPekingOffsetSeconds ? UINT64_MAX : seconds + kPekingOffsetSeconds;
    const CivilTime t = ToCivil(shifted);
    std::snprintf(destination, size, "%s%lld%02d%02d_%02d%02d%02d%s", prefix ? prefix : "", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, suffix ? suffix : "");
}

}  // namespace Tools
