#include <ctime>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "Tools/os.h"

namespace {

using namespace Tools;

struct PekingCase {
    uint64_t milliseconds;
    const char* text;
};

class PekingStringTest : public ::testing::TestWithParam<PekingCase> {};

TEST_P(PekingStringTest, FixedUtcPlusEight) {
    char out[64];
    UTCToPekingString(GetParam().milliseconds, out, sizeof(out));
    EXPECT_STREQ(out, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Times, PekingStringTest,
                         ::testing::Values(PekingCase{0, "1970-01-01 08:00:00.000"},
                                           PekingCase{1670814115123, "2022-12-12 11:01:55.123"},
                                           PekingCase{951782400000, "2000-02-29 08:00:00.000"},
                                           PekingCase{1704038399999, "2023-12-31 23:59:59.999"},
                                           PekingCase{1704038400000, "2024-01-01 00:00:00.000"},
                                           PekingCase{253402271999000, "9999-12-31 23:59:59.000"}));

TEST(PekingStringTest, CutToSize) {
    char out[16];
    std::memset(out, '#', sizeof(out));
    UTCToPekingString(0, out, 11);
    EXPECT_STREQ(out, "1970-01-01");
    EXPECT_EQ(out[11], '#');
    UTCToPekingString(0, out, 0);
    EXPECT_EQ(out[0], '1');
}

TEST(PekingStringTest, AgreesWithTheCLibrary) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 2000; ++i) {
        const uint64_t ms = random() % 8000000000000ull;  // up to the year 2223
        const time_t shifted = static_cast<time_t>(ms / 1000 + 8 * 3600);
        tm broken{};
        gmtime_r(&shifted, &broken);
        char expected[64];
        std::snprintf(expected, sizeof(expected), "%04d-%02d-%02d %02d:%02d:%02d.%03d", broken.tm_year + 1900,
                      broken.tm_mon + 1, broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec,
                      static_cast<int>(ms % 1000));
        char out[64];
        UTCToPekingString(ms, out, sizeof(out));
        ASSERT_STREQ(out, expected) << ms;
    }
}

struct FilenameCase {
    uint64_t seconds;
    const char* prefix;
    const char* suffix;
    const char* name;
};

class TimeDateFilenameTest : public ::testing::TestWithParam<FilenameCase> {};

TEST_P(TimeDateFilenameTest, Formats) {
    char out[64];
    GenerateTimeDateFilename(out, sizeof(out), GetParam().seconds, GetParam().prefix, GetParam().suffix);
    EXPECT_STREQ(out, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Names, TimeDateFilenameTest,
                         ::testing::Values(FilenameCase{1670814115, "log_", ".txt", "log_20221212_110155.txt"},
                                           FilenameCase{1670871600, "log_", ".txt", "log_20221213_030000.txt"},
                                           FilenameCase{0, nullptr, nullptr, "19700101_080000"}));

TEST(WallClockTest, MillisecondsSince1970) {
    const time_t before = std::time(nullptr);
    const uint64_t now = os_gettime_ms();
    const time_t after = std::time(nullptr);
    EXPECT_GE(now, static_cast<uint64_t>(before) * 1000);
    EXPECT_LT(now, static_cast<uint64_t>(after + 1) * 1000);
}

}  // namespace
