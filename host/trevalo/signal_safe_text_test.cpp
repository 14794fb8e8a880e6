#include "host/trevalo/signal_safe_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

using trevalo::CivilTime;
using trevalo::CivilTimeFromUnixSeconds;
using trevalo::FixedText;

struct CivilCase {
    int64_t seconds;
    CivilTime expected;
};

TEST(CivilTimeTest, ConvertsAcrossLeapYearsAndEpoch) {
    const CivilCase cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},
        {-1, {1969, 12, 31, 23, 59, 59}},
        {951782400, {2000, 2, 29, 0, 0, 0}},      // 2000 is a leap year
        {4107542400, {2100, 3, 1, 0, 0, 0}},      // 2100 is not
        {1709251199, {2024, 2, 29, 23, 59, 59}},
        {1798761600, {2027, 1, 1, 0, 0, 0}},
        {-62135596800, {1, 1, 1, 0, 0, 0}},
    };
    for (const CivilCase& c : cases) {
        const CivilTime t = CivilTimeFromUnixSeconds(c.seconds);
        EXPECT_EQ(t.year, c.expected.year) << c.seconds;
        EXPECT_EQ(t.month, c.expected.month) << c.seconds;
        EXPECT_EQ(t.day, c.expected.day) << c.seconds;
        EXPECT_EQ(t.hour, c.expected.hour) << c.seconds;
        EXPECT_EQ(t.minute, c.expected.minute) << c.seconds;
        EXPECT_EQ(t.second, c.expected.second) << c.seconds;
    }
}

TEST(FixedTextTest, FormatsNumbers) {
    char buffer[128];
    FixedText text(buffer, sizeof buffer);
    text.AppendDecimal(0).Append(" ").AppendDecimal(-42).Append(" ").AppendDecimal(INT64_MIN);
    text.Append(" ").AppendHex(0).Append(" ").AppendHex(0xdeadbeefULL).Append(" ").AppendHex(UINT64_MAX);
    text.Append(" ").AppendPadded(7, 3).Append(" ").AppendPadded(12345, 2);
    EXPECT_STREQ(buffer, "0 -42 -9223372036854775808 0x0 0xdeadbeef 0xffffffffffffffff 007 12345");
    EXPECT_FALSE(text.truncated());
}

TEST(FixedTextTest, CutsAtCapacityAndStaysTerminated) {
    char buffer[8];
    buffer[7] = 'X';
    FixedText text(buffer, 7);
    text.Append("abcdef").AppendDecimal(123456);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(text.size(), 6u);
    EXPECT_TRUE(text.truncated());
    EXPECT_EQ(buffer[7], 'X') << "nothing written past the capacity";
    text.Clear();
    text.Append("ok");
    EXPECT_STREQ(buffer, "ok");
    EXPECT_FALSE(text.truncated());
}

TEST(WriteAllTest, WritesEverythingAndReportsFailure) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const std::string data(10000, 'z');
    EXPECT_TRUE(trevalo::WriteAll(fds[1], data.data(), data.size()));
    std::string read_back(data.size(), '\0');
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = read(fds[0], read_back.data() + got, data.size() - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(read_back, data);
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(trevalo::WriteAll(fds[1], "x", 1)) << "a closed descriptor is an error";
}

}  // namespace
