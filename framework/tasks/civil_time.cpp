#include "framework/tasks/civil_time.h"

namespace Application {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

}  // namespace

std::tm BreakDownUtc(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t second_of_day = seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        --days;
    }

    const int64_t shifted = days + 719468;
    const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const int64_t day_of_era = shifted - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_index = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
    const int month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
    const int64_t year = year_of_era + era * 400 + (month <= 2);

    std::tm out{};
    out.tm_year = static_cast<int>(year - 1900);
    out.tm_mon = month - 1;
    out.tm_mday = day;
    out.tm_hour = static_cast<int>(second_of_day / 3600);
    out.tm_min = static_cast<int>(second_of_day / 60 % 60);
    out.tm_sec = static_cast<int>(second_of_day % 60);
    // 1970-01-01 was a Thursday.
    out.tm_wday = static_cast<int>(((days % 7) + 11) % 7);
    out.tm_yday = static_cast<int>(days - DaysFromCivil(year, 1, 1));
    out.tm_isdst = 0;
    out.tm_gmtoff = 0;
    out.tm_zone = "GMT";
    return out;
}

}  // namespace Application
