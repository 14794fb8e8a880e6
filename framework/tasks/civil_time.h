#pragma once

#include <cstdint>
#include <ctime>

namespace Application {

// Seconds since 1970-01-01 00:00:00 UTC broken down by calendar arithmetic
// alone (no time-zone database, no leap seconds). tm_gmtoff is 0 and tm_zone
// "GMT", as gmtime gives them.
std::tm BreakDownUtc(int64_t seconds);

}  // namespace Application
