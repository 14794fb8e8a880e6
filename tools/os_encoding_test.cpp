#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/memory.h"
#include "Tools/os.h"

namespace {

using namespace Tools;

// Switches LC_CTYPE for one test and puts the old one back.
class ScopedCtype {
public:
    explicit ScopedCtype(const char* name) {
        old_ = std::setlocale(LC_CTYPE, nullptr);
        ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~ScopedCtype() { std::setlocale(LC_CTYPE, old_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::string old_;
    bool ok_ = false;
};

struct DecodeCase {
    const char* name;
    std::string utf8;
    std::wstring wide;
};

class Utf8DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8DecodeTest, DecodesOrReplacesEachIllFormedSubpart) {
    const DecodeCase& c = GetParam();
    std::vector<wchar_t> out(c.utf8.size() + 2, L'#');
    const size_t needed = os_utf8_to_wcs(c.utf8.data(), c.utf8.size(), nullptr, 0);
    EXPECT_EQ(needed, c.wide.size());
    const size_t written = os_utf8_to_wcs(c.utf8.data(), c.utf8.size(), out.data(), out.size());
    EXPECT_EQ(std::wstring(out.data(), written), c.wide);
    EXPECT_EQ(out[written], L'\0');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8DecodeTest,
    ::testing::Values(DecodeCase{"ascii", "abc", L"abc"}, DecodeCase{"two_byte", "h\xC3\xA9", L"h\u00E9"},
                      DecodeCase{"four_byte", "\xF0\x9F\x98\x80", L"\U0001F600"},
                      DecodeCase{"marker_skipped", "\xEF\xBB\xBFok", L"ok"},
                      DecodeCase{"marker_alone_kept", "\xEF\xBB\xBF", L"\uFEFF"},
                      DecodeCase{"lone_continuation", "\x80x", L"\uFFFDx"},
                      DecodeCase{"truncated_at_end", "a\xC3", L"a\uFFFD"},
                      DecodeCase{"truncated_three_byte", "\xE2\x82x", L"\uFFFDx"},
                      DecodeCase{"overlong_slash", "\xC0\xAF", L"\uFFFD\uFFFD"},
                      DecodeCase{"overlong_three_byte", "\xE0\x80\x80", L"\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"above_unicode", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"invalid_lead", "\xFF\xFEz", L"\uFFFD\uFFFDz"},
                      DecodeCase{"embedded_zero_kept", std::string("a\0b", 3), std::wstring(L"a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

struct SizeCase {
    size_t size;
    size_t result;
    std::wstring text;
};

// "h\u00E9llo" is five characters: it fits only with room for the terminator.
class Utf8SizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(Utf8SizeTest, WholeTextOrNothing) {
    const SizeCase& c = GetParam();
    wchar_t out[8];
    std::fill(std::begin(out), std::end(out), L'#');
    EXPECT_EQ(os_utf8_to_wcs("h\xC3\xA9llo", 0, out, c.size), c.result);
    if (c.size > 0) {
        EXPECT_EQ(std::wstring(out), c.text);
        for (size_t i = c.size; i < 8; ++i) EXPECT_EQ(out[i], L'#') << "written past the size at " << i;
    } else {
        EXPECT_EQ(out[0], L'#');
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Utf8SizeTest,
                         ::testing::Values(SizeCase{0, 0, L""}, SizeCase{1, 0, L""}, SizeCase{5, 0, L""},
                                           SizeCase{6, 5, L"h\u00E9llo"}, SizeCase{7, 5, L"h\u00E9llo"}));

TEST(WcsToUtf8Test, ExactSizeAndReplacement) {
    const wchar_t text[] = L"\u00E9\u20AC\U0001F600";  // 2 + 3 + 4 bytes
    char out[12];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(os_wcs_to_utf8(text, 0, nullptr, 0), 9u);
    EXPECT_EQ(os_wcs_to_utf8(text, 0, out, 9), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(out[9], '#');
    EXPECT_EQ(os_wcs_to_utf8(text, 0, out, 10), 9u);
    EXPECT_STREQ(out, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

    const wchar_t invalid[] = {0xD800, static_cast<wchar_t>(0x110000), L'a', 0};
    EXPECT_EQ(os_wcs_to_utf8(invalid, 0, out, sizeof(out)), 7u);
    EXPECT_STREQ(out, "\xEF\xBF\xBD\xEF\xBF\xBD"
                      "a");
}

TEST(EncodingTest, AbsentSourceAndExplicitLength) {
    wchar_t wide[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(os_utf8_to_wcs(nullptr, 0, wide, 4), 0u);
    EXPECT_EQ(wide[0], L'\0');
    EXPECT_EQ(os_utf8_to_wcs("abcdef", 2, wide, 4), 2u);
    EXPECT_EQ(std::wstring(wide), L"ab");
    char* out = reinterpret_cast<char*>(1);
    EXPECT_EQ(os_wcs_to_utf8_ptr(nullptr, 0, &out), 0u);
    EXPECT_EQ(out, nullptr);
}

TEST(EncodingTest, PointerFormsAllocateExactly) {
    wchar_t* wide = nullptr;
    ASSERT_EQ(os_utf8_to_wcs_ptr("\xE4\xB8\xAD\xE6\x96\x87", 0, &wide), 2u);
    EXPECT_EQ(std::wstring(wide), L"\u4E2D\u6587");
    char* back = nullptr;
    ASSERT_EQ(os_wcs_to_utf8_ptr(wide, 0, &back), 6u);
    EXPECT_STREQ(back, "\xE4\xB8\xAD\xE6\x96\x87");
    Free(wide);
    Free(back);

    char* empty = nullptr;
    EXPECT_EQ(os_wcs_to_utf8_ptr(L"", 0, &empty), 0u);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    Free(empty);
}

TEST(EncodingTest, EveryScalarValueRoundTrips) {
    std::wstring all;
    for (wchar_t c = 1; c < 0x110000; c += (c < 0x800 ? 1 : 97))
        if (c < 0xD800 || c > 0xDFFF) all += c;
    char* utf8 = nullptr;
    const size_t bytes = os_wcs_to_utf8_ptr(all.data(), all.size(), &utf8);
    ASSERT_GT(bytes, all.size());
    wchar_t* wide = nullptr;
    ASSERT_EQ(os_utf8_to_wcs_ptr(utf8, bytes, &wide), all.size());
    EXPECT_EQ(std::wstring(wide), all);
    Free(utf8);
    Free(wide);
}

// The locale conversions stop when full and never split a character.
TEST(LocaleEncodingTest, StopsAtDestinationSize) {
    ScopedCtype utf8_locale("C.UTF-8");
    if (!utf8_locale.ok()) GTEST_SKIP() << "the C.UTF-8 locale is not installed";
    char out[8];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(os_wcs_to_mbs(L"\u00E9\u20AC", 0, out, 5), 2u);  // 2 + 3 bytes do not fit in 4
    EXPECT_STREQ(out, "\xC3\xA9");
    EXPECT_EQ(out[5], '#');
    EXPECT_EQ(os_wcs_to_mbs(L"\u00E9\u20AC", 0, nullptr, 0), 5u);

    wchar_t wide[4];
    EXPECT_EQ(os_mbs_to_wcs("abcdef", 0, wide, 4), 3u);
    EXPECT_EQ(std::wstring(wide), L"abc");
    EXPECT_EQ(os_mbs_to_wcs("x\xFFy", 0, wide, 4), 3u);
    EXPECT_EQ(std::wstring(wide), L"x?y");

    char* utf8 = nullptr;
    EXPECT_EQ(os_mbs_to_utf8_ptr("\xE2\x82\xAC", 0, &utf8), 3u);
    EXPECT_STREQ(utf8, "\xE2\x82\xAC");
    Free(utf8);
    char* mbs = nullptr;
    EXPECT_EQ(os_utf8_to_mbs_ptr("\xE2\x82\xAC!", 0, &mbs), 4u);
    EXPECT_STREQ(mbs, "\xE2\x82\xAC!");
    Free(mbs);
}

TEST(LocaleEncodingTest, CLocaleKeepsAsciiAndMarksTheRest) {
    ScopedCtype c_locale("C");
    ASSERT_TRUE(c_locale.ok());
    char out[8];
    EXPECT_EQ(os_utf8_to_mbs("ab", 0, out, sizeof(out)), 2u);
    EXPECT_STREQ(out, "ab");
    // Outside ASCII the C locale has no characters; whatever it does, the
    // result stays terminated and inside the buffer.
    std::memset(out, '#', sizeof(out));
    const size_t written = os_utf8_to_mbs("\xE2\x82\xAC\xE2\x82\xAC", 0, out, 4);
    EXPECT_LE(written, 3u);
    EXPECT_EQ(out[written], '\0');
    EXPECT_EQ(out[4], '#');
}

}  // namespace
