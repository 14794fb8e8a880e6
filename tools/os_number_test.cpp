#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "tools/os_test_util.h"

namespace {

using namespace Tools;

struct DtostrCase {
    double value;
    const char* text;
};

class DtostrTest : public ::testing::TestWithParam<DtostrCase> {};

TEST_P(DtostrTest, ShortestStableText) {
    char out[64];
    const int length = os_dtostr(GetParam().value, out, sizeof(out));
    EXPECT_STREQ(out, GetParam().text);
    EXPECT_EQ(length, static_cast<int>(std::strlen(GetParam().text)));
}

INSTANTIATE_TEST_SUITE_P(Values, DtostrTest,
                         ::testing::Values(DtostrCase{2.0, "2.0"}, DtostrCase{0.1, "0.10000000000000001"},
                                           DtostrCase{1e20, "1e20"}, DtostrCase{-3.0, "-3.0"},
                                           DtostrCase{0.0, "0.0"}, DtostrCase{1e-5, "1.0000000000000001e-5"},
                                           DtostrCase{-2.5e-300, "-2.5e-300"},
                                           DtostrCase{std::numeric_limits<double>::infinity(), "inf"}));

TEST(DtostrSizeTest, FailsCleanlyWhenTooSmall) {
    char out[8];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(os_dtostr(2.0, out, 3), -1);  // "2" fits, "2.0" does not
    EXPECT_STREQ(out, "");
    EXPECT_EQ(out[3], '#');
    EXPECT_EQ(os_dtostr(2.0, out, 4), 3);
    EXPECT_STREQ(out, "2.0");
    EXPECT_EQ(os_dtostr(0.1, out, sizeof(out)), -1);
    EXPECT_EQ(os_dtostr(1.0, out, 0), -1);
    EXPECT_EQ(os_dtostr(1.0, nullptr, 8), -1);
}

TEST(StrtodTest, ReadsPointTextAndCutsLongText) {
    EXPECT_EQ(os_strtod("1.5"), 1.5);
    EXPECT_EQ(os_strtod("-2.25e3"), -2250.0);
    EXPECT_EQ(os_strtod(nullptr), 0.0);
    // Only the first 63 bytes count.
    std::string long_text = "1." + std::string(61, '0') + "99";
    EXPECT_EQ(os_strtod(long_text.c_str()), 1.0);
}

// A locale whose decimal point is ",": an installed one, else one compiled
// into a temporary directory when localedef is available.
class CommaLocaleTest : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = std::setlocale(LC_NUMERIC, nullptr);
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"})
            if (Use(name)) return;
        // A locale with nothing but a comma point compiles in a fraction of a second.
        if (!temp_.path().empty() && std::system("command -v localedef >/dev/null 2>&1") == 0) {
            Tools::testing::WriteText(temp_ / "comma.src",
                                      "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\n"
                                      "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \"\"\ngrouping -1\n"
                                      "END LC_NUMERIC\n");
            const std::string command = "localedef -c -i '" + (temp_ / "comma.src") + "' -f ANSI_X3.4-1968 '" +
                                        (temp_ / "xx_COMMA") + "' >/dev/null 2>&1";
            std::system(command.c_str());  // warns (non-zero) about the categories it leaves out
            locpath_.emplace("LOCPATH", temp_.path());
            if (Use("xx_COMMA")) return;
        }
        GTEST_SKIP() << "no locale with a comma decimal point is installed and none could be generated";
    }
    void TearDown() override { std::setlocale(LC_NUMERIC, old_.c_str()); }

    bool Use(const char* name) {
        if (!std::setlocale(LC_NUMERIC, name)) return false;
        if (std::strcmp(std::localeconv()->decimal_point, ",") == 0) return true;
        std::setlocale(LC_NUMERIC, old_.c_str());
        return false;
    }

    std::string old_;
    Tools::testing::TempDir temp_;
    std::optional<Tools::testing::ScopedEnv> locpath_;
};

TEST_F(CommaLocaleTest, TextUsesPointBothWays) {
    char out[64];
    EXPECT_EQ(os_dtostr(1.5, out, sizeof(out)), 3);
    EXPECT_STREQ(out, "1.5");
    EXPECT_EQ(os_dtostr(2.0, out, sizeof(out)), 3);
    EXPECT_STREQ(out, "2.0");
    EXPECT_EQ(os_strtod("1.5"), 1.5);
    EXPECT_EQ(os_strtod("-0.25e2"), -25.0);
    EXPECT_EQ(os_strtod(out), 2.0);
}

}  // namespace
