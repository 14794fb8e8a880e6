#include "framework/tasks/time_impl.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "framework/tasks/civil_time.h"

namespace Application {
namespace {

std::atomic<uint64_t> g_now{0};
uint64_t FakeClock() { return g_now.load(); }

TEST(CivilTimeTest, MatchesGmtimeOverWideRange) {
    std::mt19937_64 random(12345);
    std::uniform_int_distribution<int64_t> seconds(-62'135'596'800LL, 253'402'300'799LL);  // years 1..9999
    std::vector<int64_t> samples = {0, -1, 86399, 86400, 951'782'400, 951'868'799, 4'107'542'400, -2'203'891'200};
    for (int i = 0; i < 20000; ++i) samples.push_back(seconds(random));
    for (int64_t value : samples) {
        const std::time_t t = static_cast<std::time_t>(value);
        std::tm expected{};
        ASSERT_NE(gmtime_r(&t, &expected), nullptr);
        const std::tm got = BreakDownUtc(value);
        ASSERT_EQ(got.tm_year, expected.tm_year) << value;
        ASSERT_EQ(got.tm_mon, expected.tm_mon) << value;
        ASSERT_EQ(got.tm_mday, expected.tm_mday) << value;
        ASSERT_EQ(got.tm_hour, expected.tm_hour) << value;
        ASSERT_EQ(got.tm_min, expected.tm_min) << value;
        ASSERT_EQ(got.tm_sec, expected.tm_sec) << value;
        ASSERT_EQ(got.tm_wday, expected.tm_wday) << value;
        ASSERT_EQ(got.tm_yday, expected.tm_yday) << value;
    }
}

struct TextCase {
    uint64_t time_ms;
    const char* utc_plus_8;
};

class TimeStringTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TimeStringTest, IsUtcPlusEight) {
    g_now = GetParam().time_ms;
    TimeImpl clock({}, FakeClock);
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(clock.GetTimeString(buffer, sizeof buffer), 23);
    EXPECT_STREQ(buffer, GetParam().utc_plus_8);
}

INSTANTIATE_TEST_SUITE_P(Cases, TimeStringTest,
                         ::testing::Values(TextCase{1'670'814'115'123, "2022-12-12 11:01:55.123"},
                                           TextCase{0, "1970-01-01 08:00:00.000"},
                                           TextCase{1'709'251'199'999, "2024-03-01 07:59:59.999"},
                                           TextCase{1'704'038'400'000, "2024-01-01 00:00:00.000"},
                                           TextCase{951'782'400'000, "2000-02-29 08:00:00.000"}));

struct BufferCase {
    int size;
    const char* text;  // what the buffer holds afterwards; null: untouched
};

class TimeStringBufferTest : public ::testing::TestWithParam<BufferCase> {};

TEST_P(TimeStringBufferTest, CutsNeverOverflows) {
    g_now = 1'670'814'115'123;
    TimeImpl clock({}, FakeClock);
    for (bool local : {false, true}) {
        char buffer[40];
        std::memset(buffer, '#', sizeof buffer);
        const int size = GetParam().size;
        const int result = local ? clock.GetLocalTimeString(size > 0 ? buffer : nullptr, size)
                                 : clock.GetTimeString(size > 0 ? buffer : nullptr, size);
        EXPECT_EQ(result, 23) << "the full length, as snprintf reports it";
        if (GetParam().text) {
            if (!local) {
                EXPECT_STREQ(buffer, GetParam().text);
            }
            EXPECT_EQ(std::strlen(buffer), std::strlen(GetParam().text));
        }
        for (int i = size > 0 ? size : 0; i < static_cast<int>(sizeof buffer); ++i)
            ASSERT_EQ(buffer[i], '#') << "byte " << i << " written past size " << size;
    }
}

// The text is cut to size - 2 characters.
INSTANTIATE_TEST_SUITE_P(Cases, TimeStringBufferTest,
                         ::testing::Values(BufferCase{25, "2022-12-12 11:01:55.123"},
                                           BufferCase{24, "2022-12-12 11:01:55.12"},
                                           BufferCase{12, "2022-12-12"}, BufferCase{2, ""}, BufferCase{1, ""},
                                           BufferCase{0, nullptr}, BufferCase{-5, nullptr}));

class TimeZoneTest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        had_tz_ = old != nullptr;
        if (old) old_tz_ = old;
        setenv("TZ", GetParam().first, 1);
        tzset();
    }
    void TearDown() override {
        if (had_tz_) {
            setenv("TZ", old_tz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_P(TimeZoneTest, UtcPlusEightIgnoresZoneLocalFollowsIt) {
    g_now = 1'670'814'115'123;  // 2022-12-12 03:01:55.123 UTC
    TimeImpl clock({}, FakeClock);
    char fixed[32];
    char local[32];
    clock.GetTimeString(fixed, sizeof fixed);
    clock.GetLocalTimeString(local, sizeof local);
    EXPECT_STREQ(fixed, "2022-12-12 11:01:55.123");
    EXPECT_STREQ(local, GetParam().second);
}

// POSIX zone strings need no time-zone database; the sign is west-positive.
INSTANTIATE_TEST_SUITE_P(Cases, TimeZoneTest,
                         ::testing::Values(std::make_pair("UTC0", "2022-12-12 03:01:55.123"),
                                           std::make_pair("EST5", "2022-12-11 22:01:55.123"),
                                           std::make_pair("XYZ-3", "2022-12-12 06:01:55.123"),
                                           std::make_pair("CST-8", "2022-12-12 11:01:55.123")));

struct FormatCase {
    const char* format;
    int hours;
    const char* expected;
};

class FormatTimeTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTimeTest, FormatsShiftedUtc) {
    g_now = 1'670'814'115'123;
    TimeImpl clock({}, FakeClock);
    char buffer[32 + 8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(clock.FormatTime(buffer, GetParam().format, GetParam().hours),
              static_cast<int>(std::strlen(GetParam().expected)));
    EXPECT_STREQ(buffer, GetParam().expected);
    for (size_t i = 32; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatTimeTest,
    ::testing::Values(FormatCase{"%H:%M", 8, "11:01"}, FormatCase{"%H:%M", 0, "03:01"},
                      FormatCase{"%Y-%m-%d %H", -4, "2022-12-11 23"}, FormatCase{"%a %j", 24, "Tue 347"},
                      FormatCase{"0123456789012345678901234567890", 0, "0123456789012345678901234567890"},
                      FormatCase{"01234567890123456789012345678901", 0, ""}, FormatCase{"", 0, ""}));

TEST(TimeImplTest, FreshClockReadsWallClock) {
    TimeImpl clock;
    const uint64_t before = Tools::os_gettime_ms();
    const uint64_t read = clock.GetTimeMs();
    const uint64_t sec = clock.GetTimeSec();
    const uint64_t after = Tools::os_gettime_ms();
    EXPECT_GE(read, before);
    EXPECT_LE(read, after);
    EXPECT_GE(sec, before / 1000);
    EXPECT_LE(sec, after / 1000);
}

TEST(TimeImplTest, SetTimeMsShiftsByOffsetAndRunsHook) {
    int sets = 0;
    TimeImpl clock([&sets] { ++sets; });
    for (uint64_t target : {uint64_t{0}, uint64_t{1'000}, uint64_t{4'102'444'800'000}, Tools::os_gettime_ms()}) {
        const uint64_t before = Tools::os_gettime_ms();
        clock.SetTimeMs(target);
        const uint64_t read = clock.GetTimeMs();
        const uint64_t after = Tools::os_gettime_ms();
        EXPECT_GE(read, target);
        EXPECT_LE(read, target + (after - before));
    }
    EXPECT_EQ(sets, 4);
    clock.SetTimeMsQuietly(5);
    EXPECT_EQ(sets, 4);
}

TEST(TimeImplTest, OffsetFollowsWallClock) {
    g_now = 10'000;
    TimeImpl clock({}, FakeClock);
    clock.SetTimeMs(2'000);
    g_now = 10'750;
    EXPECT_EQ(clock.GetTimeMs(), 2'750u);
    EXPECT_EQ(clock.GetTimeSec(), 2u);
    clock.SetTimeMs(90'000);
    g_now = 5'000;  // the wall clock went back
    EXPECT_EQ(clock.GetTimeMs(), 90'000u - 5'750u);
}

}  // namespace
}  // namespace Application
