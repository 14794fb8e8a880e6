#include "Tools/dstr.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace Tools;

namespace {

// Owns a dstr for one test and checks the empty-state invariant on the way out.
struct Str {
    dstr s;
    Str() { dstr_init(&s); }
    explicit Str(const char* text) {
        dstr_init(&s);
        dstr_copy(&s, text);
    }
    ~Str() { dstr_free(&s); }
    std::string str() const { return s.text ? std::string(s.text, s.length) : std::string(); }
    dstr* operator&() { return &s; }
    dstr* operator->() { return &s; }
};

void ExpectEmpty(const dstr& s) {
    EXPECT_EQ(s.text, nullptr);
    EXPECT_EQ(s.length, 0u);
    EXPECT_EQ(s.capacity, 0u);
}

void ExpectConsistent(const dstr& s) {
    if (!s.text) {
        ExpectEmpty(s);
        return;
    }
    EXPECT_GT(s.length, 0u) << "a non-empty buffer must hold text";
    EXPECT_LT(s.length, s.capacity);
    EXPECT_EQ(s.text[s.length], 0);
}

TEST(DstrTest, CopyEmptyTextFreesTheBuffer) {
    for (const char* empty : {static_cast<const char*>(nullptr), ""}) {
        Str s("something");
        ASSERT_NE(s->text, nullptr);
        dstr_copy(&s, empty);
        ExpectEmpty(s.s);
    }
}

TEST(DstrTest, GrowthDoublesOrTakesWhatIsNeeded) {
    Str s;
    dstr_cat(&s, "ab");
    EXPECT_EQ(s->capacity, 3u);
    dstr_cat(&s, "cd");
    EXPECT_EQ(s->capacity, 6u);
    dstr_cat(&s, "0123456789");  // twice 6 is below 15
    EXPECT_EQ(s->capacity, 15u);
    dstr_cat_ch(&s, 'x');
    EXPECT_EQ(s->capacity, 30u);
    EXPECT_EQ(s.str(), "abcd0123456789x");
}

TEST(DstrTest, EveryEmptyingOperationReturnsToTheEmptyState) {
    struct Case {
        const char* name;
        void (*run)(dstr*);
    };
    const Case cases[] = {
        {"printf of nothing", [](dstr* d) { dstr_printf(d, "%s", ""); }},
        {"remove all", [](dstr* d) { dstr_remove(d, 0, d->length); }},
        {"depad to nothing", [](dstr* d) { dstr_copy(d, " \t\r\n "), dstr_depad(d); }},
        {"ncopy 0", [](dstr* d) { dstr_ncopy(d, "abc", 0); }},
        {"mid count 0", [](dstr* d) { dstr_mid(d, d, 1, 0); }},
        {"right at end", [](dstr* d) { dstr_right(d, d, d->length); }},
        {"left 0", [](dstr* d) { dstr_left(d, d, 0); }},
        {"replace all by nothing", [](dstr* d) { dstr_copy(d, "aaaa"), dstr_replace(d, "a", nullptr); }},
        {"copy strref of length 0", [](dstr* d) {
             strref r{"abc", 0};
             dstr_copy_strref(d, &r);
         }},
        {"safe printf of empty", [](dstr* d) { dstr_safe_printf(d, "$1", "", nullptr, nullptr, nullptr); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Str s("hello");
        c.run(&s);
        ExpectEmpty(s.s);
    }
}

TEST(DstrTest, CopyAndCatForms) {
    Str src("source");
    struct Case {
        const char* name;
        const char* start;
        void (*run)(dstr*, dstr*);
        const char* expected;
    };
    const Case cases[] = {
        {"ncopy", "x", [](dstr* d, dstr*) { dstr_ncopy(d, "abcdef", 3); }, "abc"},
        {"ncopy_dstr shorter", "x", [](dstr* d, dstr* s) { dstr_ncopy_dstr(d, s, 2); }, "so"},
        {"ncopy_dstr longer", "x", [](dstr* d, dstr* s) { dstr_ncopy_dstr(d, s, 100); }, "source"},
        {"copy_dstr", "x", [](dstr* d, dstr* s) { dstr_copy_dstr(d, s); }, "source"},
        {"copy_strref", "x", [](dstr* d, dstr*) {
             strref r{"slice-rest", 5};
             dstr_copy_strref(d, &r);
         }, "slice"},
        {"ncat", "ab", [](dstr* d, dstr*) { dstr_ncat(d, "cdef", 2); }, "abcd"},
        {"ncat empty text", "ab", [](dstr* d, dstr*) { dstr_ncat(d, "", 5); }, "ab"},
        {"ncat absent", "ab", [](dstr* d, dstr*) { dstr_ncat(d, nullptr, 5); }, "ab"},
        {"ncat 0", "ab", [](dstr* d, dstr*) { dstr_ncat(d, "cd", 0); }, "ab"},
        {"ncat_dstr", "ab", [](dstr* d, dstr* s) { dstr_ncat_dstr(d, s, 3); }, "absou"},
        {"ncat_dstr longer", "ab", [](dstr* d, dstr* s) { dstr_ncat_dstr(d, s, 99); }, "absource"},
        {"cat_dstr", "", [](dstr* d, dstr* s) { dstr_cat_dstr(d, s); }, "source"},
        {"cat_strref", "a", [](dstr* d, dstr*) {
             strref r{"bcd", 2};
             dstr_cat_strref(d, &r);
         }, "abc"},
        {"cat_strref empty", "a", [](dstr* d, dstr*) {
             strref r{"", 3};
             dstr_cat_strref(d, &r);
         }, "a"},
        {"cat own text", "ab", [](dstr* d, dstr*) { dstr_cat(d, d->text); }, "abab"},
        {"cat_dstr self", "xyz", [](dstr* d, dstr*) { dstr_cat_dstr(d, d); }, "xyzxyz"},
        {"copy own tail", "abcdef", [](dstr* d, dstr*) { dstr_copy(d, d->text + 2); }, "cdef"},
        {"ncopy own tail", "abcdef", [](dstr* d, dstr*) { dstr_ncopy(d, d->text + 1, 3); }, "bcd"},
        {"printf", "old", [](dstr* d, dstr*) { dstr_printf(d, "%d-%s", 42, "x"); }, "42-x"},
        {"printf own text", "ab", [](dstr* d, dstr*) { dstr_printf(d, "[%s]", d->text); }, "[ab]"},
        {"catf", "n=", [](dstr* d, dstr*) { dstr_catf(d, "%03d", 7); }, "n=007"},
        {"catf own text", "ab", [](dstr* d, dstr*) { dstr_catf(d, "%s%s", d->text, d->text); }, "ababab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Str d(c.start);
        c.run(&d, &src);
        EXPECT_EQ(d.str(), c.expected);
        ExpectConsistent(d.s);
    }
    EXPECT_EQ(src.str(), "source");
}

TEST(DstrTest, InitCopyStrrefIgnoresWhatTheDestinationHeld) {
    dstr d;
    d.text = reinterpret_cast<char*>(0x1);  // garbage that must not be freed
    d.length = 99;
    d.capacity = 7;
    strref r{"hello world", 5};
    dstr_init_copy_strref(&d, &r);
    EXPECT_EQ(std::string(d.text, d.length), "hello");
    dstr_free(&d);
}

TEST(DstrTest, LongPrintfIsMeasuredFirst) {
    std::string big(10000, 'q');
    Str d;
    dstr_printf(&d, "<%s>", big.c_str());
    EXPECT_EQ(d.str(), "<" + big + ">");
    dstr_catf(&d, "%s", big.c_str());
    EXPECT_EQ(d->length, 2 + 2 * big.size());
}

TEST(DstrTest, SafePrintf) {
    struct Case {
        const char* format;
        const char* a1;
        const char* a2;
        const char* a3;
        const char* a4;
        const char* expected;
    };
    const Case cases[] = {
        {"$1-$2", "x$2", "y", nullptr, nullptr, "xy-y"},
        {"$1 $2 $3 $4", "a", "b", "c", "d", "a b c d"},
        {"$1 and $1", "x", nullptr, nullptr, nullptr, "x and x"},
        {"$1 $2", nullptr, "b", nullptr, nullptr, "$1 b"},
        {"100%s %d $1", "ok", nullptr, nullptr, nullptr, "100%s %d ok"},
        {"$4$3", "1", "2", "$4", "4", "44"},
        {"plain", "a", "b", "c", "d", "plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        Str d;
        dstr_safe_printf(&d, c.format, c.a1, c.a2, c.a3, c.a4);
        EXPECT_EQ(d.str(), c.expected);
    }
}

TEST(DstrTest, InsertAndRemove) {
    struct Case {
        const char* name;
        const char* start;
        void (*run)(dstr*);
        const char* expected;
    };
    const Case cases[] = {
        {"insert front", "cd", [](dstr* d) { dstr_insert(d, 0, "ab"); }, "abcd"},
        {"insert middle", "ad", [](dstr* d) { dstr_insert(d, 1, "bc"); }, "abcd"},
        {"insert at length appends", "ab", [](dstr* d) { dstr_insert(d, 2, "cd"); }, "abcd"},
        {"insert into empty", "", [](dstr* d) { dstr_insert(d, 0, "x"); }, "x"},
        {"insert empty", "ab", [](dstr* d) { dstr_insert(d, 1, ""); }, "ab"},
        {"insert absent", "ab", [](dstr* d) { dstr_insert(d, 1, nullptr); }, "ab"},
        {"insert own text", "abc", [](dstr* d) { dstr_insert(d, 1, d->text); }, "aabcbc"},
        {"insert_dstr self", "xy", [](dstr* d) { dstr_insert_dstr(d, 2, d); }, "xyxy"},
        {"insert_ch", "ac", [](dstr* d) { dstr_insert_ch(d, 1, 'b'); }, "abc"},
        {"insert_ch empty", "", [](dstr* d) { dstr_insert_ch(d, 0, 'z'); }, "z"},
        {"remove middle", "abcdef", [](dstr* d) { dstr_remove(d, 1, 3); }, "aef"},
        {"remove tail", "abcdef", [](dstr* d) { dstr_remove(d, 4, 2); }, "abcd"},
        {"remove 0", "abc", [](dstr* d) { dstr_remove(d, 1, 0); }, "abc"},
        {"remove past end is clamped", "abc", [](dstr* d) { dstr_remove(d, 1, 50); }, "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Str d(c.start);
        c.run(&d);
        EXPECT_EQ(d.str(), c.expected);
        ExpectConsistent(d.s);
    }
}

TEST(DstrTest, Replace) {
    struct Case {
        const char* text;
        const char* find;
        const char* replacement;
        const char* expected;
    };
    const Case cases[] = {
        {"aXa", "a", "aa", "aaXaa"},  // longer, and the replacement holds find
        {"aaa", "aa", "b", "ba"},     // non-overlapping, left to right
        {"aaaa", "aa", "xyz", "xyzxyz"},
        {"hello world", "o", "0", "hell0 w0rld"},  // same length
        {"a--b--c", "--", "-", "a-b-c"},           // shorter
        {"a--b--c", "--", nullptr, "abc"},         // absent means ""
        {"abc", "x", "yyyy", "abc"},               // no occurrence
        {"abcabc", "abc", "abcabc", "abcabcabcabc"},
        {"$1$1", "$1", "$1$1", "$1$1$1$1"},
        {"xx", "xx", "", ""},
        {"tail=", "=", "==", "tail=="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.find);
        Str d(c.text);
        dstr_replace(&d, c.find, c.replacement);
        EXPECT_EQ(d.str(), c.expected);
        ExpectConsistent(d.s);
    }
    Str empty;
    dstr_replace(&empty, "a", "b");
    ExpectEmpty(empty.s);
    Str unchanged("abc");
    dstr_replace(&unchanged, "", "b");
    EXPECT_EQ(unchanged.str(), "abc");
}

TEST(DstrTest, ReplaceWithManyHitsGrowsOnce) {
    Str d;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        dstr_cat(&d, "ab");
        expected += "[ab]";
    }
    const size_t before = d->capacity;
    const size_t needed = expected.size() + 1;
    dstr_replace(&d, "ab", "[ab]");
    EXPECT_EQ(d.str(), expected);
    EXPECT_EQ(d->capacity, 2 * before >= needed ? 2 * before : needed);
}

TEST(DstrTest, LeftMidRight) {
    Str src("abcdef");
    struct Case {
        const char* name;
        void (*run)(dstr*, dstr*);
        const char* expected;
    };
    const Case cases[] = {
        {"left", [](dstr* d, dstr* s) { dstr_left(d, s, 3); }, "abc"},
        {"left all", [](dstr* d, dstr* s) { dstr_left(d, s, 6); }, "abcdef"},
        {"mid", [](dstr* d, dstr* s) { dstr_mid(d, s, 2, 3); }, "cde"},
        {"mid 0", [](dstr* d, dstr* s) { dstr_mid(d, s, 2, 0); }, ""},
        {"right", [](dstr* d, dstr* s) { dstr_right(d, s, 4); }, "ef"},
        {"right at length", [](dstr* d, dstr* s) { dstr_right(d, s, 6); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Str other("previous");
        c.run(&other, &src);
        EXPECT_EQ(other.str(), c.expected);
        ExpectConsistent(other.s);
        Str self("abcdef");
        c.run(&self, &self);
        EXPECT_EQ(self.str(), c.expected) << "destination is the source";
        ExpectConsistent(self.s);
    }
}

TEST(DstrTest, Depad) {
    Str d("  ab \r\n");
    dstr_depad(&d);
    EXPECT_EQ(d.str(), "ab");
    EXPECT_EQ(d->length, 2u);
}

TEST(StringCompareTest, NarrowComparisons) {
    struct Case {
        const char* name;
        int (*compare)(const char*, const char*);
        const char* a;
        const char* b;
        int expected;
    };
    auto cmpi = [](const char* a, const char* b) { return astrcmpi(a, b); };
    auto cmp3 = [](const char* a, const char* b) { return astrcmp_n(a, b, 3); };
    auto cmpi3 = [](const char* a, const char* b) { return astrcmpi_n(a, b, 3); };
    auto cmp0 = [](const char* a, const char* b) { return astrcmp_n(a, b, 0); };
    const Case cases[] = {
        {"cmpi less", cmpi, "abc", "ABD", -1},
        {"cmpi equal", cmpi, "Hello", "hELLO", 0},
        {"cmpi absent vs empty", cmpi, nullptr, "", 0},
        {"cmpi absent vs text", cmpi, nullptr, "a", -1},
        {"cmpi longer", cmpi, "abc", "ab", 1},
        {"cmpi high byte before ascii", cmpi, "\xC3\xA9", "a", -1},
        {"cmpi only ascii folds", cmpi, "\xC3\xA9", "\xC3\x89", 1},
        {"cmp_n within n", cmp3, "abcX", "abcY", 0},
        {"cmp_n differs", cmp3, "abX", "abY", -1},
        {"cmp_n stops at zero", cmp3, "a", "a", 0},
        {"cmp_n case matters", cmp3, "a", "A", 1},
        {"cmp_n signed bytes", cmp3, "\x80", "\x7F", -1},
        {"cmp_n 0", cmp0, "a", "b", 0},
        {"cmpi_n", cmpi3, "ABcX", "abCY", 0},
        {"cmpi_n shorter", cmpi3, "ab", "abc", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.compare(c.a, c.b), c.expected);
        EXPECT_EQ(c.compare(c.b, c.a), -c.expected) << "reversed";
    }
}

TEST(StringCompareTest, Search) {
    const char* text = "Hello World";
    EXPECT_EQ(astrstri(text, "WORLD"), text + 6);
    EXPECT_EQ(astrstri(text, "lo w"), text + 3);
    EXPECT_EQ(astrstri(text, ""), text);
    EXPECT_EQ(astrstri(text, "worlds"), nullptr);
    EXPECT_EQ(astrstri(nullptr, "a"), nullptr);
    EXPECT_EQ(astrstri(text, nullptr), nullptr);
    EXPECT_EQ(astrstri("", "a"), nullptr);

    const wchar_t* wide = L"Grüße aus KÖLN";
    EXPECT_EQ(wstrstri(wide, L"kÖln"), wide + 10);
    EXPECT_EQ(wstrstri(wide, L""), wide);
    EXPECT_EQ(wstrstri(wide, L"xyz"), nullptr);
    EXPECT_EQ(wstrstri(nullptr, L"a"), nullptr);
}

TEST(StringCompareTest, WideComparisons) {
    EXPECT_EQ(wstrcmpi(L"abc", L"ABD"), -1);
    EXPECT_EQ(wstrcmpi(nullptr, L""), 0);
    EXPECT_EQ(wstrcmpi(L"b", nullptr), 1);
    EXPECT_EQ(wstrcmp_n(L"abcX", L"abcY", 3), 0);
    EXPECT_EQ(wstrcmp_n(L"a", L"A", 1), 1);
    EXPECT_EQ(wstrcmp_n(L"a", L"b", 0), 0);
    EXPECT_EQ(wstrcmpi_n(L"ABx", L"aby", 2), 0);
    // Units compare unsigned: a code point above the ASCII range orders after it.
    EXPECT_EQ(wstrcmp_n(L"\u00e9", L"z", 1), 1);
}

TEST(StringCompareTest, Slices) {
    struct Case {
        const char* name;
        strref ref;
        const char* text;
        int cmp;
        int cmpi;
    };
    const Case cases[] = {
        {"shorter slice", {"abc", 2}, "abc", -1, -1},
        {"equal", {"abc", 2}, "ab", 0, 0},
        {"longer slice", {"abc", 3}, "ab", 1, 1},
        {"case", {"AB", 2}, "ab", -1, 0},
        {"empty vs empty", {nullptr, 0}, "", 0, 0},
        {"empty vs absent", {"x", 0}, nullptr, 0, 0},
        {"empty vs text", {"", 4}, "a", -1, -1},
        {"empty vs high byte", {nullptr, 0}, "\x80", -1, -1},
        {"zero inside slice", {"a\0b", 3}, "a", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(strref_cmp(&c.ref, c.text), c.cmp);
        EXPECT_EQ(strref_cmpi(&c.ref, c.text), c.cmpi);
    }
}

TEST(StringCompareTest, SliceAgainstSlice) {
    struct Case {
        const char* name;
        strref a;
        strref b;
        int cmp;
        int cmpi;
    };
    const Case cases[] = {
        {"equal prefixes of longer buffers", {"abX", 2}, {"abY", 2}, 0, 0},
        {"shorter first", {"ab", 2}, {"abc", 3}, -1, -1},
        {"case", {"ab", 2}, {"AB", 2}, 1, 0},
        {"both empty", {nullptr, 0}, {"", 1}, 0, 0},
        {"empty first", {nullptr, 0}, {"\x80", 1}, -1, -1},
        {"empty second", {"\x80", 1}, {"z", 0}, 1, 1},
        {"signed bytes", {"\x80", 1}, {"a", 1}, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(strref_cmp_strref(&c.a, &c.b), c.cmp);
        EXPECT_EQ(strref_cmp_strref(&c.b, &c.a), -c.cmp);
        EXPECT_EQ(strref_cmpi_strref(&c.a, &c.b), c.cmpi);
    }
}

TEST(StringTrimTest, Depad) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"  ab \r\n", "ab"}, {"ab", "ab"}, {"\t\r\n ", ""}, {"", ""}, {" a b ", "a b"}, {"\n\nx", "x"},
    };
    for (const auto& c : cases) {
        std::vector<char> buffer(c.text, c.text + std::strlen(c.text) + 1);
        EXPECT_EQ(strdepad(buffer.data()), buffer.data());
        EXPECT_STREQ(buffer.data(), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(strdepad(nullptr), nullptr);

    wchar_t wide[] = L" \t wide \t";
    EXPECT_STREQ(wcsdepad(wide), L"wide");
    wchar_t keeps_newline[] = L"\n x\n";
    EXPECT_STREQ(wcsdepad(keeps_newline), L"\n x\n");
    EXPECT_EQ(wcsdepad(nullptr), nullptr);
}

std::vector<std::string> Split(const char* text, char delimiter, bool include_empty) {
    std::vector<std::string> pieces;
    char** list = strlist_split(text, delimiter, include_empty);
    if (!list) return {"<absent>"};
    for (char** p = list; *p; ++p) pieces.emplace_back(*p);
    strlist_free(list);
    return pieces;
}

TEST(StringListTest, Split) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Split(",a,,b,", ',', false), (V{"a", "b"}));
    EXPECT_EQ(Split(",a,,b,", ',', true), (V{"", "a", "", "b", ""}));
    EXPECT_EQ(Split("abc", ',', true), (V{"abc"}));
    EXPECT_EQ(Split("", ',', false), V{});
    EXPECT_EQ(Split("", ',', true), V{""});
    EXPECT_EQ(Split(",,,", ',', false), V{});
    EXPECT_EQ(Split("a b  c", ' ', false), (V{"a", "b", "c"}));
    EXPECT_EQ(Split(nullptr, ',', true), V{"<absent>"});
}

TEST(StringCheckTest, ValidIntStr) {
    struct Case {
        const char* text;
        size_t n;
        bool expected;
    };
    const Case cases[] = {
        {"-", 0, false}, {"+12", 0, true},   {"12a", 0, false}, {"12a", 2, true},  {"", 0, false},
        {nullptr, 0, false}, {"0", 0, true}, {"-007", 0, true}, {"+-1", 0, false}, {" 1", 0, false},
        {"1 ", 0, false},    {"-1x", 1, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(valid_int_str(c.text, c.n), c.expected) << (c.text ? c.text : "(null)") << " n=" << c.n;
    }
}

TEST(StringCheckTest, ValidFloatStr) {
    struct Case {
        const char* text;
        size_t n;
        bool expected;
    };
    const Case cases[] = {
        {"1.5", 0, true},    {"1.", 0, true},    {"1e5", 0, true},    {"-2.5e10", 0, true}, {"1e5-3", 0, true},
        {"1e+5", 0, false},  {".5", 0, false},   {"1E5", 0, false},   {"1..2", 0, false},   {"", 0, false},
        {nullptr, 0, false}, {"-", 0, false},    {"1e", 0, false},    {"1e5.0", 0, false},  {"1e5e5", 0, false},
        {"+3", 0, true},     {"1.5x", 3, true},  {"1.5x", 0, false},  {"1-2", 0, false},    {"12", 1, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(valid_float_str(c.text, c.n), c.expected) << (c.text ? c.text : "(null)") << " n=" << c.n;
    }
}

}  // namespace

namespace {

TEST(DstrEncodingTest, CaseMapping) {
    struct Case {
        const char* text;
        const char* lower;
        const char* upper;
    };
    const Case cases[] = {
        {"Hello World 42", "hello world 42", "HELLO WORLD 42"},
        {"\xE4\xB8\xAD\xE6\x96\x87 Mixed", "\xE4\xB8\xAD\xE6\x96\x87 mixed", "\xE4\xB8\xAD\xE6\x96\x87 MIXED"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        Str lower(c.text), upper(c.text);
        dstr_to_lower(&lower);
        dstr_to_upper(&upper);
        EXPECT_EQ(lower.str(), c.lower);
        EXPECT_EQ(upper.str(), c.upper);
        ExpectConsistent(lower.s);
        ExpectConsistent(upper.s);
    }
}

TEST(DstrEncodingTest, WideRoundTrip) {
    const wchar_t* wide = L"Gr\u00fc\u00dfe \u4e2d\u6587 \U0001F600";
    Str d;
    dstr_from_wcs(&d, wide);
    EXPECT_EQ(d.str(), "Gr\xC3\xBC\xC3\x9F" "e \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
    ExpectConsistent(d.s);
    wchar_t* back = dstr_to_wcs(&d);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, wide);
    Free(back);

    dstr_from_wcs(&d, L"");
    ExpectEmpty(d.s);
    dstr_copy(&d, "x");
    dstr_from_wcs(&d, nullptr);
    ExpectEmpty(d.s);
    EXPECT_EQ(dstr_to_wcs(&d), nullptr);
}

TEST(DstrEncodingTest, MultiByteRoundTripInTheCurrentLocale) {
    Str d;
    dstr_from_mbs(&d, "plain ascii");
    EXPECT_EQ(d.str(), "plain ascii");
    char* mbs = dstr_to_mbs(&d);
    ASSERT_NE(mbs, nullptr);
    EXPECT_STREQ(mbs, "plain ascii");
    Free(mbs);
    dstr_from_mbs(&d, "");
    ExpectEmpty(d.s);
    EXPECT_EQ(dstr_to_mbs(&d), nullptr);
}

}  // namespace
