#include "tools/json.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "tools/json_p.h"

namespace Tools::json {
void PrintTo(const Json& value, std::ostream* os) { *os << value.serialize().substr(0, 200); }
}  // namespace Tools::json

// Counts allocations of this thread while a test asks for it, to show which
// operations allocate nothing.
namespace {
thread_local bool g_counting = false;
thread_local long g_allocations = 0;

// Released through a pointer the compiler cannot see through, so that it does
// not mistake the replacement pair for a mismatched new and free.
void (*volatile g_release)(void*) = std::free;
}  // namespace

void* operator new(std::size_t size) {
    if (g_counting) ++g_allocations;
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (g_counting) ++g_allocations;
    return std::malloc(size ? size : 1);
}
void operator delete(void* block) noexcept { g_release(block); }
void operator delete(void* block, std::size_t) noexcept { g_release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { g_release(block); }

namespace {

using namespace std::string_literals;
using Tools::json::Json;
using Tools::json::JsonMap;
using Tools::json::ParseMode;

constexpr ParseMode kStrict = ParseMode::strict;
constexpr ParseMode kComments = ParseMode::comments;

std::string nested_arrays(int depth, const std::string& inner = "1") {
    return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
}

Json parse_ok(const std::string& input, ParseMode mode = kStrict) {
    std::string error = "untouched";
    Json value = Json::parse(input, error, mode);
    EXPECT_EQ(error, "untouched") << "input: " << input;
    return value;
}

// ---------------------------------------------------------------- parsing

struct ParseCase {
    const char* name;
    std::string input;
    ParseMode mode;
    std::string serialized;
};
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class JsonParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(JsonParseTest, ParsesAndSerializes) {
    const ParseCase& c = GetParam();
    Json value = parse_ok(c.input, c.mode);
    EXPECT_EQ(value.serialize(), c.serialized);
    // The serialized text is plain JSON and reads back to itself.
    EXPECT_EQ(parse_ok(c.serialized).serialize(), c.serialized);
}

const ParseCase kParseCases[] = {
    {"ListSpacing", "[1, 2]", kStrict, "[1, 2]"},
    {"ListWithoutSpaces", "[1,2]", kStrict, "[1, 2]"},
    {"Blanks", " \t\r\n[ \n]\r\n", kStrict, "[]"},
    {"EmptyObject", "{ }", kStrict, "{}"},
    {"KeysSortedByteWise", R"({"b": 1, "a": 2, "\u00e9": 3, "B": 4})", kStrict, "{\"B\": 4, \"a\": 2, \"b\": 1, \"\xC3\xA9\": 3}"},
    {"LastDuplicateWins", R"({"a": 1, "b": 2, "a": 3, "a": 4})", kStrict, R"({"a": 4, "b": 2})"},
    {"KeysSharingLongPrefixes", R"({"abcdefghZ": 1, "abcdefgh": 2, "abcdefghA": 3, "abcdefg": 4})", kStrict,
     R"({"abcdefg": 4, "abcdefgh": 2, "abcdefghA": 3, "abcdefghZ": 1})"},
    {"KeyWithNulAfterShorterKey", R"({"a\u0000": 1, "a": 2, "": 3, "\u0000": 4})", kStrict,
     R"({"": 3, "\u0000": 4, "a": 2, "a\u0000": 1})"},
    {"EscapedKeyEqualsPlainKey", R"({"ab": 1, "a\u0062": 2, "\u0061b": 3})", kStrict, R"({"ab": 3})"},
    {"EscapedKeysAcrossNesting", R"({"b\n": {"y\t": 1, "x": [{"k\"": 2, "j": 3}]}, "a\\": 4, "a": 5})", kStrict,
     R"({"a": 5, "a\\": 4, "b\n": {"x": [{"j": 3, "k\"": 2}], "y\t": 1}})"},
    {"Words", "[true,false,null]", kStrict, "[true, false, null]"},
    {"Nested", R"({"x":[{"y":{}},[[]]],"z":"w"})", kStrict, R"({"x": [{"y": {}}, [[]]], "z": "w"})"},
    {"TopLevelScalar", " 42 ", kStrict, "42"},
    {"NegativeZero", "-0", kStrict, "0"},
    {"Fraction", "1.5", kStrict, "1.5"},
    {"ExponentUpperCase", "1E2", kStrict, "100"},
    {"SignedExponent", "[-2.5e+3, 25e-1]", kStrict, "[-2500, 2.5]"},
    {"ShortestDoubleText", "0.1", kStrict, "0.10000000000000001"},
    {"HugeExponentIsInfinity", "[1e400, -1e400]", kStrict, "[null, null]"},
    {"TinyExponentIsZero", "1e-400", kStrict, "0"},
    {"Denormal", "5e-324", kStrict, "4.9406564584124654e-324"},
    {"SimpleEscapes", R"("\"\\\/\b\f\n\r\t")", kStrict, R"("\"\\/\b\f\n\r\t")"},
    {"UnicodeEscapes", R"("a\u00e9\u20AC")", kStrict, "\"a\xC3\xA9\xE2\x82\xAC\""},
    {"SurrogatePair", R"("\ud83d\ude00")", kStrict, "\"\xF0\x9F\x98\x80\""},
    {"LoneHighSurrogate", R"("\ud83d x")", kStrict, "\"\xED\xA0\xBD x\""},
    {"LoneHighSurrogateAtEnd", R"("\uD83D")", kStrict, "\"\xED\xA0\xBD\""},
    {"HighHighLow", R"("\ud83d\ud83d\ude00")", kStrict, "\"\xED\xA0\xBD\xF0\x9F\x98\x80\""},
    {"LowThenHighDoNotJoin", R"("\ude00\ud83d")", kStrict, "\"\xED\xB8\x80\xED\xA0\xBD\""},
    {"HighThenSimpleEscape", R"("\ud83d\n")", kStrict, "\"\xED\xA0\xBD\\n\""},
    {"HighThenRawLowDoNotJoin", "\"\\ud83d\xED\xB8\x80\"", kStrict, "\"\xED\xA0\xBD\xED\xB8\x80\""},
    {"EscapedNul", R"("a\u0000b")", kStrict, R"("a\u0000b")"},
    {"LongStringWithEscapes", R"("0123456789abcdef\u00e9ghijklmnop\"qrstuvwxyz0123456789")", kStrict,
     "\"0123456789abcdef\xC3\xA9ghijklmnop\\\"qrstuvwxyz0123456789\""},
    {"LineSeparators", R"("\u2028\u2029")", kStrict, R"("\u2028\u2029")"},
    {"InvalidUtf8KeptAsBytes", "\"\xFF\xC3(\x7F\"", kStrict, "\"\xFF\xC3(\x7F\""},
    {"CommentsEverywhere", "[1, /* two */ 2] // end", kComments, "[1, 2]"},
    {"CommentsAroundMembers", "// head\n{ /*k*/ \"a\" /*c*/ : //v\n 1 /**/, \"b\":2}/***/", kComments, R"({"a": 1, "b": 2})"},
    {"LineCommentAtEnd", "1//", kComments, "1"},
    {"StarsInBlockComment", "/* a * b **/ 3", kComments, "3"},
    {"SlashInStringIsNoComment", R"("//x/*")", kComments, R"("//x/*")"},
    {"MaximumNesting", nested_arrays(200), kStrict, nested_arrays(200)},
    {"MaximumNestingWithComments", nested_arrays(200, "/*[*/1//]\n"), kComments, nested_arrays(200)},
};

INSTANTIATE_TEST_SUITE_P(Cases, JsonParseTest, testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct ErrorCase {
    const char* name;
    std::string input;
    ParseMode mode;
    std::string error;
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class JsonParseErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(JsonParseErrorTest, FailsWithMessageAndNull) {
    const ErrorCase& c = GetParam();
    std::string error;
    Json value = Json::parse(c.input, error, c.mode);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(value.kind(), Json::NUL);
    EXPECT_EQ(value, Json());
}

const ErrorCase kErrorCases[] = {
    {"Empty", "", kStrict, "unexpected end of input"},
    {"OnlyBlanks", " \n", kStrict, "unexpected end of input"},
    {"UnclosedList", "[1,", kStrict, "unexpected end of input"},
    {"UnclosedObject", "{\"a\":1", kStrict, "unexpected end of input"},
    {"MissingValue", "{\"a\":", kStrict, "unexpected end of input"},
    {"TooDeep", nested_arrays(201), kStrict, "exceeded maximum nesting depth"},
    {"TooDeepObjects", std::string(201, '[') + "{\"a\":1}" + std::string(201, ']'), kStrict,
     "exceeded maximum nesting depth"},
    {"TooDeepWithComments", nested_arrays(201, "/**/1"), kComments, "exceeded maximum nesting depth"},
    {"ShortTrue", "tru", kStrict, "parse error: expected true, got tru"},
    {"WrongTrue", "[trux]", kStrict, "parse error: expected true, got trux"},
    {"WrongFalse", "fals", kStrict, "parse error: expected false, got fals"},
    {"WrongNull", "nulL", kStrict, "parse error: expected null, got nulL"},
    {"LoneN", "n", kStrict, "parse error: expected null, got n"},
    {"ListSeparator", "[1 2]", kStrict, "expected ',' in list, got '2' (50)"},
    {"TrailingCommaInList", "[1,]", kStrict, "expected value, got ']' (93)"},
    {"KeyNotString", "{1:2}", kStrict, "expected '\"' in object, got '1' (49)"},
    {"TrailingCommaInObject", "{\"a\":1,}", kStrict, "expected '\"' in object, got '}' (125)"},
    {"MissingColon", "{\"a\" 1}", kStrict, "expected ':' in object, got '1' (49)"},
    {"ObjectSeparator", "{\"a\":1;}", kStrict, "expected ',' in object, got ';' (59)"},
    {"UnknownValue", "[x]", kStrict, "expected value, got 'x' (120)"},
    {"CommentInStrictMode", "[1, /* two */ 2] // end", kStrict, "expected value, got '/' (47)"},
    {"CommentAsSeparatorInStrictMode", "[1 /**/]", kStrict, "expected ',' in list, got '/' (47)"},
    {"HighByteDescribedSigned", "\xC3\xA9", kStrict, "expected value, got (-61)"},
    {"ControlByteDescribed", "\x01", kStrict, "expected value, got (1)"},
    {"DelDescribedAsCharacter", "\x7F", kStrict, "expected value, got '\x7F' (127)"},
    {"LeadingZero", "01", kStrict, "leading 0s not permitted in numbers"},
    {"NegativeLeadingZero", "[-00]", kStrict, "leading 0s not permitted in numbers"},
    {"LoneMinus", "-", kStrict, "invalid (0) in number"},
    {"MinusLetter", "-a", kStrict, "invalid 'a' (97) in number"},
    {"MinusBlank", "- 1", kStrict, "invalid ' ' (32) in number"},
    {"NoFractionDigit", "1.", kStrict, "at least one digit required in fractional part"},
    {"FractionThenExponent", "1.e5", kStrict, "at least one digit required in fractional part"},
    {"NoExponentDigit", "1e+", kStrict, "at least one digit required in exponent"},
    {"ExponentLetter", "[2Ex]", kStrict, "at least one digit required in exponent"},
    {"UnclosedString", "\"abc", kStrict, "unexpected end of input in string"},
    {"EndAfterBackslash", "\"abc\\", kStrict, "unexpected end of input in string"},
    {"RawTab", "\"a\tb\"", kStrict, "unescaped (9) in string"},
    {"LateRawControl", "\"0123456789abcdef\x1f\"", kStrict, "unescaped (31) in string"},
    {"RawNul", "\"a\0b\""s, kStrict, "unescaped (0) in string"},
    {"ShortUnicodeEscape", "\"\\u12", kStrict, "bad \\u escape: 12"},
    {"BadUnicodeDigit", "\"\\u12G4\"", kStrict, "bad \\u escape: 12G4"},
    {"UnicodeEscapeAtEnd", "\"\\u", kStrict, "bad \\u escape: "},
    {"InvalidEscape", "\"\\x\"", kStrict, "invalid escape character 'x' (120)"},
    {"TrailingCharacter", "[1] x", kStrict, "unexpected trailing 'x' (120)"},
    {"TrailingNul", "[1]\0"s, kStrict, "unexpected trailing (0)"},
    {"TrailingValue", "1 2", kComments, "unexpected trailing '2' (50)"},
    {"SlashAtEnd", "[1] /", kComments, "unexpected end of input after start of comment"},
    {"SlashAtEndInsideList", "[1 /", kComments, "unexpected end of input after start of comment"},
    {"MalformedComment", "[1 /x]", kComments, "malformed comment"},
    {"UnclosedBlockComment", "1 /* abc", kComments, "unexpected end of input inside multi-line comment"},
    {"BlockCommentSharingSlash", "1 /*/", kComments, "unexpected end of input inside multi-line comment"},
    {"BlockCommentEndingInStar", "/* x *", kComments, "unexpected end of input inside multi-line comment"},
    {"CommentErrorBeforeValue", "/x 1", kComments, "malformed comment"},
};

INSTANTIATE_TEST_SUITE_P(Cases, JsonParseErrorTest, testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JsonParseTest, SuccessLeavesErrorTextAlone) {
    std::string error = "earlier text";
    Json value = Json::parse("[1]", error);
    EXPECT_EQ(error, "earlier text");
    EXPECT_EQ(value.element(0).as_int(), 1);
}

TEST(JsonParseTest, ErrorTextMayBeTheInput) {
    std::string text = "[1] x";
    Json value = Json::parse(text, text);
    EXPECT_EQ(text, "unexpected trailing 'x' (120)");
    EXPECT_TRUE(value.is_null());
}

TEST(JsonParseTest, InputNeedNotBeTerminated) {
    // Only the first three bytes belong to the input: "[1]" followed by junk.
    const char buffer[] = {'[', '1', ']', 'x', '"'};
    std::string error;
    EXPECT_EQ(Json::parse(std::string_view(buffer, 3), error).serialize(), "[1]");
    EXPECT_EQ(Json::parse(std::string_view(buffer, 2), error).kind(), Json::NUL);
    EXPECT_EQ(error, "unexpected end of input");
    error.clear();
    const char number[] = {'1', '2', '3', '4', '5', '.', '5', '9'};
    EXPECT_EQ(Json::parse(std::string_view(number, 7), error).as_double(), 12345.5);
    EXPECT_EQ(Json::parse(std::string_view(number, 6), error).kind(), Json::NUL);
    EXPECT_EQ(error, "at least one digit required in fractional part");
}

// Objects of every size come out in key order with the last value of a
// repeated key, whatever the order and spelling of the keys in the input.
TEST(JsonParseTest, LargeObjectsKeepKeyOrderAndLastDuplicate) {
    uint32_t seed = 12345;
    auto random = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int size : {2, 15, 16, 17, 40, 300}) {
        std::map<std::string, int> expected;
        std::string input = "{";
        for (int i = 0; i < size; ++i) {
            // Few distinct keys, so that many repeat; long shared prefixes.
            std::string key = (random(2) ? "shared_prefix_" : "") + std::to_string(random(static_cast<uint32_t>(size)));
            std::string spelled = key;
            if (random(3) == 0) spelled.replace(0, 1, "\\u00" + std::string(1, "0123456789abcdef"[key[0] >> 4]) +
                                                         std::string(1, "0123456789abcdef"[key[0] & 15]));
            if (i) input += ", ";
            input += "\"" + spelled + "\": " + std::to_string(i);
            expected[key] = i;
        }
        input += "}";
        std::string text = "{";
        for (const auto& [key, value] : expected) {
            if (text.size() > 1) text += ", ";
            text += "\"" + key + "\": " + std::to_string(value);
        }
        text += "}";
        Json value = parse_ok(input);
        EXPECT_EQ(value.serialize(), text) << input;
        EXPECT_EQ(value.as_object().size(), expected.size());
        for (const auto& [key, number] : expected) EXPECT_EQ(value.member(key).as_int(), number) << key;
    }
}

// Large arrays, and a parse after a failed one on the same thread: nothing
// of an earlier parse shows in a later one.
TEST(JsonParseTest, LargeDocumentsOneAfterAnother) {
    std::string big = "[";
    for (int i = 0; i < 20000; ++i) {
        if (i) big += ",";
        big += i % 3 == 0 ? "{\"k" + std::to_string(i) + "\":[" + std::to_string(i) + "]}" : std::to_string(i);
    }
    big += "]";
    for (int round = 0; round < 2; ++round) {
        Json value = parse_ok(big);
        ASSERT_EQ(value.as_array().size(), 20000u);
        EXPECT_EQ(value.element(19999).as_int(), 19999);
        EXPECT_EQ(value.element(9999).member("k9999").element(0).as_int(), 9999);

        std::string error;
        EXPECT_TRUE(Json::parse(big.substr(0, big.size() / 2) + "x", error).is_null());
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(parse_ok(R"({"b": [1], "a": {"c": 2}})").serialize(), R"({"a": {"c": 2}, "b": [1]})");
    }
}

// ---------------------------------------------------------------- numbers

enum class Stored { Int, Int64, Double };

struct NumberCase {
    const char* input;
    Stored stored;
    int as_int;
    int64_t as_int64;
    double as_double;
    int64_t stored_int64;
};
void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.input; }

class JsonNumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(JsonNumberTest, KindAndViews) {
    const NumberCase& c = GetParam();
    Json value = parse_ok(c.input);
    const Tools::json::JsonValue* stored = value.value();
    switch (c.stored) {
    case Stored::Int: EXPECT_EQ(typeid(*stored), typeid(Tools::json::JsonInt)); break;
    case Stored::Int64: EXPECT_EQ(typeid(*stored), typeid(Tools::json::JsonInt64)); break;
    case Stored::Double: EXPECT_EQ(typeid(*stored), typeid(Tools::json::JsonDouble)); break;
    }
    EXPECT_EQ(value.kind(), c.stored == Stored::Double ? Json::DOUBLE : Json::INTEGER);
    EXPECT_EQ(value.as_int(), c.as_int);
    EXPECT_EQ(value.as_int64(), c.as_int64);
    EXPECT_EQ(value.as_double(), c.as_double);
    EXPECT_EQ(value.stored_int64(), c.stored_int64);
}

constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();

const NumberCase kNumberCases[] = {
    {"0", Stored::Int, 0, 0, 0.0, 0},
    {"123456789", Stored::Int, 123456789, 123456789, 0.0, 0},
    {"-12345678", Stored::Int, -12345678, -12345678, 0.0, 0},
    {"1234567890", Stored::Int64, 1234567890, 1234567890, 0.0, 1234567890},
    {"-123456789", Stored::Int64, -123456789, -123456789, 0.0, -123456789},
    {"2147483647", Stored::Int64, 2147483647, 2147483647, 0.0, 2147483647},
    {"2147483648", Stored::Int64, -2147483647 - 1, 2147483648, 0.0, 2147483648},
    {"4294967301", Stored::Int64, 5, 4294967301, 0.0, 4294967301},
    {"9223372036854775807", Stored::Int64, -1, kMax64, 0.0, kMax64},
    {"99999999999999999999", Stored::Int64, -1, kMax64, 0.0, kMax64},
    {"-9223372036854775808", Stored::Int64, 0, kMin64, 0.0, kMin64},
    {"-99999999999999999999", Stored::Int64, 0, kMin64, 0.0, kMin64},
    {"999999999", Stored::Int, 999999999, 999999999, 0.0, 0},
    {"-99999999", Stored::Int, -99999999, -99999999, 0.0, 0},
    {"9223372036854775808", Stored::Int64, -1, kMax64, 0.0, kMax64},
    {"-9223372036854775809", Stored::Int64, 0, kMin64, 0.0, kMin64},
    {"18446744073709551616", Stored::Int64, -1, kMax64, 0.0, kMax64},
    {"1.0", Stored::Double, 0, 1, 1.0, 0},
    {"-1.9", Stored::Double, 0, -1, -1.9, 0},
    {"2.5e9", Stored::Double, 0, 2500000000, 2.5e9, 0},
    {"1e300", Stored::Double, 0, kMin64, 1e300, 0},
    {"-1e300", Stored::Double, 0, kMin64, -1e300, 0},
    {"9223372036854775808.0", Stored::Double, 0, kMin64, 9223372036854775808.0, 0},
    {"9223372036854774784.0", Stored::Double, 0, 9223372036854774784, 9223372036854774784.0, 0},
    {"1e400", Stored::Double, 0, kMin64, std::numeric_limits<double>::infinity(), 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, JsonNumberTest, testing::ValuesIn(kNumberCases));

TEST(JsonNumberTest, DoubleTextMatchesPrintf) {
    const double values[] = {0.1, 1.0 / 3.0, -2.5, 1e17, 1e16, 123456.789, 5e-324, 1.7976931348623157e308,
                             -0.0, 2.2250738585072014e-308, 0.0005};
    for (double v : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.17g", v);
        EXPECT_EQ(Json(v).serialize(), expected);
        // The text reads back as the same double (or integer of the same value).
        Json back = parse_ok(expected);
        if (back.kind() == Json::DOUBLE) {
            EXPECT_EQ(back.as_double(), v) << expected;
        } else {
            EXPECT_EQ(static_cast<double>(back.as_int64()), v) << expected;
        }
    }
}

// Every double text reads as strtod reads it, bit for bit, both where a
// short cut applies (few digits, small exponent) and where it must not.
TEST(JsonNumberTest, DoublesReadAsStrtodReadsThem) {
    std::vector<std::string> texts = {
        "9007199254740992.0", "9007199254740993.0", "9007199254740991e1", "1e22", "1e23", "-1e-22", "1e-23",
        "123456789012345678.9", "1234567890123456789e-5", "12345678901234567890e-5", "0.1", "0.3", "-0.0",
        "0.000e-400", "0e99999999999", "-0e-5", "4.9406564584124654e-324", "2.2250738585072014e-308",
        "1.7976931348623157e308", "1.7976931348623159e308", "0.00000000000000000000000000000000000001e38",
        "1000000000000000000000000e-3", "3.0e-000000000000000000000000001", "1e+0022", "0.9999999999999999999999"};
    uint32_t seed = 99;
    auto random = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    auto digits = [&](uint32_t count, bool leading_nonzero) {
        std::string out;
        for (uint32_t i = 0; i < count; ++i) out += static_cast<char>('0' + (i == 0 && leading_nonzero ? 1 + random(9) : random(10)));
        return out;
    };
    for (int i = 0; i < 30000; ++i) {
        std::string text = random(2) ? "-" : "";
        text += random(4) == 0 ? "0" : digits(1 + random(22), true);
        bool fraction = random(3) != 0;
        if (fraction) text += "." + digits(1 + random(22), false);
        if (!fraction || random(2)) {
            text += random(2) ? "e" : "E";
            uint32_t sign = random(3);
            if (sign == 1) text += "-";
            if (sign == 2) text += "+";
            text += digits(1 + random(3), false);
        }
        texts.push_back(text);
    }
    for (const std::string& text : texts) {
        Json value = parse_ok(text);
        ASSERT_EQ(value.kind(), Json::DOUBLE) << text;
        double expected = std::strtod(text.c_str(), nullptr);
        double parsed = value.as_double();
        uint64_t expected_bits;
        uint64_t parsed_bits;
        std::memcpy(&expected_bits, &expected, 8);
        std::memcpy(&parsed_bits, &parsed, 8);
        EXPECT_EQ(parsed_bits, expected_bits) << text;
    }
}

// Doubles of every magnitude, and those next to powers of ten and halfway
// cases, serialize exactly as printf("%.17g") writes them.
TEST(JsonSerializeTest, DoublesAsPrintfWritesThem) {
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<double> values = {1e-4, 9.9999999999999991e-05, 1e17, 99999999999999984.0, 1e16, 0.5,
                                  1e15 + 0.5, 9007199254740993.0, 72057594037927945.0, 123.0, 4503599627370497.5};
    for (int i = 0; i < 15000; ++i) {
        uint64_t bits = next();
        double any;
        std::memcpy(&any, &bits, 8);
        values.push_back(any);
        double power = std::pow(10.0, static_cast<double>(next() % 24) - 5.0);
        values.push_back(power);
        values.push_back(std::nextafter(power, 0.0));
        values.push_back(std::nextafter(power, 1e300));
        values.push_back(static_cast<double>(next() >> (next() % 64)));
        values.push_back(static_cast<double>(next() % 1000000) / 1000.0);
        values.push_back(static_cast<double>(next() >> 11) / 9007199254740992.0 * 1000.0);
    }
    for (double v : values) {
        for (double value : {v, -v}) {
            if (!std::isfinite(value)) continue;
            char expected[64];
            std::snprintf(expected, sizeof expected, "%.17g", value);
            ASSERT_EQ(Json(value).serialize(), expected);
        }
    }
}

// ---------------------------------------------------------------- serializing

struct SerializeCase {
    const char* name;
    Json value;
    std::string text;
};
void PrintTo(const SerializeCase& c, std::ostream* os) { *os << c.name; }

class JsonSerializeTest : public testing::TestWithParam<SerializeCase> {};

TEST_P(JsonSerializeTest, Text) {
    const SerializeCase& c = GetParam();
    std::string out = "prefix:";
    c.value.serialize(out);
    EXPECT_EQ(out, "prefix:" + c.text);
}

const SerializeCase kSerializeCases[] = {
    {"Null", Json(), "null"},
    {"NullPointer", Json(nullptr), "null"},
    {"True", Json(true), "true"},
    {"False", Json(false), "false"},
    {"Int", Json(-42), "-42"},
    {"Int64", Json(kMin64), "-9223372036854775808"},
    {"LongLong", Json(1LL << 40), "1099511627776"},
    {"Double", Json(0.1), "0.10000000000000001"},
    {"IntegralDouble", Json(3.0), "3"},
    {"NaN", Json(std::nan("")), "null"},
    {"Infinity", Json(std::numeric_limits<double>::infinity()), "null"},
    {"NegativeInfinity", Json(-std::numeric_limits<double>::infinity()), "null"},
    {"EmptyString", Json(""), "\"\""},
    {"QuoteAndBackslash", Json("a\"b\\c"), R"("a\"b\\c")"},
    {"NamedControls", Json("\b\f\n\r\t"), R"("\b\f\n\r\t")"},
    {"OtherControls", Json("\x01\x1f"s + '\0'), R"("\u0001\u001f\u0000")"},
    {"SlashAndDelUnchanged", Json("/\x7F"), "\"/\x7F\""},
    {"LineSeparators", Json("a\xE2\x80\xA8_\xE2\x80\xA9z"), R"("a\u2028_\u2029z")"},
    {"OtherMultiByteUnchanged", Json("\xE2\x80\xA7\xE2\x82\xAC\xF0\x9F\x98\x80"),
     "\"\xE2\x80\xA7\xE2\x82\xAC\xF0\x9F\x98\x80\""},
    {"TruncatedSeparatorUnchanged", Json("\xE2\x80"), "\"\xE2\x80\""},
    {"InvalidUtf8Unchanged", Json("\xFF\xFE"), "\"\xFF\xFE\""},
    {"LongTextWithEscapes", Json("0123456789abcdef\"0123456789\x01\xE2\x80\xA8tail_tail_tail\xE2\x80"),
     "\"0123456789abcdef\\\"0123456789\\u0001\\u2028tail_tail_tail\xE2\x80\""},
    {"EmptyArray", Json(Json::array{}), "[]"},
    {"Array", Json(Json::array{1, "x", Json::array{}, nullptr}), R"([1, "x", [], null])"},
    {"EmptyObject", Json(Json::object{}), "{}"},
    {"ObjectInKeyOrder", Json(Json::object{{"z", 1}, {"\xC3\xA9", 2}, {"a", Json::object{{"k", "v"}}}}),
     "{\"a\": {\"k\": \"v\"}, \"z\": 1, \"\xC3\xA9\": 2}"},
    {"ObjectKeyEscaped", Json(Json::object{{"a\nb", true}}), R"({"a\nb": true})"},
};

INSTANTIATE_TEST_SUITE_P(Cases, JsonSerializeTest, testing::ValuesIn(kSerializeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JsonSerializeTest, LargeOutputIsTheTextOfItsParts) {
    // Large enough to be written in many pieces and sized on the way.
    Json::array values;
    std::string expected = "[";
    for (int i = 0; i < 20000; ++i) {
        Json element = i % 3 == 0   ? Json("line\n\xE2\x80\xA8 \"" + std::to_string(i) + "\"")
                       : i % 3 == 1 ? Json(i * 1000003LL)
                                    : Json(Json::object{{"k", i / 7.0 + 0.5}, {"s", std::string(i % 300, 'x')}});
        if (i) expected += ", ";
        expected += element.serialize();
        values.push_back(std::move(element));
    }
    expected += "]";
    Json array(std::move(values));
    std::string out = "head";
    array.serialize(out);
    ASSERT_GT(out.size(), 1000000u);
    EXPECT_EQ(out, "head" + expected);
    EXPECT_EQ(parse_ok(out.substr(4)), array);
}

// ---------------------------------------------------------------- comparison

struct CompareCase {
    const char* name;
    Json a;
    Json b;
    bool equal;
    bool a_less;  // a < b
};
void PrintTo(const CompareCase& c, std::ostream* os) { *os << c.name; }

class JsonCompareTest : public testing::TestWithParam<CompareCase> {};

TEST_P(JsonCompareTest, EqualityAndOrder) {
    const CompareCase& c = GetParam();
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);
    EXPECT_EQ(c.a != c.b, !c.equal);
    EXPECT_EQ(c.a < c.b, c.a_less);
    if (c.equal) {
        EXPECT_FALSE(c.b < c.a);
    } else if (!std::isnan(c.a.as_double()) && !std::isnan(c.b.as_double())) {
        // Values that differ are ordered one way or the other.
        EXPECT_NE(c.a < c.b, c.b < c.a);
    }
}

const CompareCase kCompareCases[] = {
    {"NullNull", Json(), Json(nullptr), true, false},
    {"IntInt64SameValue", Json(5), Json(5LL), true, false},
    {"IntBeforeLargerInt64", Json(5), Json(6LL), false, true},
    {"Int64BeforeLargerInt", Json(-(1LL << 40)), Json(0), false, true},
    {"IntegerIsNotDouble", Json(1), Json(1.0), false, true},
    {"EveryIntegerBeforeEveryDouble", Json(1000), Json(0.5), false, true},
    {"Doubles", Json(0.5), Json(0.75), false, true},
    {"NaNNeverEqual", Json(std::nan("")), Json(std::nan("")), false, false},
    {"FalseBeforeTrue", Json(false), Json(true), false, true},
    {"DoubleBeforeBoolean", Json(1e300), Json(false), false, true},
    {"BooleanBeforeString", Json(true), Json(""), false, true},
    {"StringsEqual", Json("abc"), Json("abc"s), true, false},
    {"StringPrefixFirst", Json("ab"), Json("abc"), false, true},
    {"StringBytesUnsigned", Json("\x7F"), Json("\x80"), false, true},
    {"StringWithNul", Json("a"s + '\0'), Json("a"), false, false},
    {"StringBeforeArray", Json("zzz"), Json(Json::array{}), false, true},
    {"ArraysEqual", Json(Json::array{1, "x"}), Json(Json::array{1LL, "x"}), true, false},
    {"ArrayShorterPrefixFirst", Json(Json::array{1}), Json(Json::array{1, 0}), false, true},
    {"ArrayElementDecides", Json(Json::array{1, 9}), Json(Json::array{2}), false, true},
    {"ArrayBeforeObject", Json(Json::array{}), Json(Json::object{}), false, true},
    {"ObjectsEqual", Json(Json::object{{"a", 1}, {"b", 2}}), Json(Json::object{{"b", 2LL}, {"a", 1}}), true, false},
    {"ObjectsDifferInValue", Json(Json::object{{"a", 1}}), Json(Json::object{{"a", 2}}), false, true},
    {"ObjectKeyDecidesFirst", Json(Json::object{{"a", 9}}), Json(Json::object{{"b", 1}}), false, true},
    {"ObjectFewerMembersFirst", Json(Json::object{{"a", 1}}), Json(Json::object{{"a", 1}, {"b", 0}}), false, true},
    {"ObjectsDifferInKey", Json(Json::object{{"a", 1}, {"c", 1}}), Json(Json::object{{"a", 1}, {"b", 1}}), false,
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, JsonCompareTest, testing::ValuesIn(kCompareCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JsonCompareTest, SameHandleIsEqualEvenForNaN) {
    Json nan(std::nan(""));
    Json copy = nan;
    EXPECT_TRUE(nan == copy);
    EXPECT_FALSE(nan < copy);
}

TEST(JsonCompareTest, UsableAsOrderedKey) {
    std::vector<Json> values = {Json("b"), Json(2.0), Json(1), Json(), Json(Json::array{}), Json(true), Json(0LL)};
    std::sort(values.begin(), values.end());
    std::string out;
    for (const Json& v : values) out += v.serialize() + " ";
    EXPECT_EQ(out, "null 0 1 2 true \"b\" [] ");
}

// ---------------------------------------------------------------- views

TEST(JsonViewTest, WrongKindsGiveSharedDefaults) {
    const Json reference;
    const std::string* empty_string = &reference.as_string();
    const Json::array* empty_array = &reference.as_array();
    const Json::object* empty_object = &reference.as_object();
    const Json* null = &reference.member("x");
    EXPECT_TRUE(empty_string->empty());
    EXPECT_TRUE(empty_array->empty());
    EXPECT_TRUE(empty_object->empty());
    EXPECT_EQ(null->kind(), Json::NUL);

    const Json values[] = {Json(), Json(7), Json(7LL), Json(7.5), Json(true), Json("s"),
                           Json(Json::array{1}), Json(Json::object{{"x", 1}})};
    for (const Json& v : values) {
        SCOPED_TRACE(v.serialize());
        Json::Kind kind = v.kind();
        if (kind != Json::STRING) {
            EXPECT_EQ(&v.as_string(), empty_string);
        }
        if (kind != Json::ARRAY) {
            EXPECT_EQ(&v.as_array(), empty_array);
            EXPECT_EQ(&v.element(0), null);
        }
        if (kind != Json::OBJECT) {
            EXPECT_EQ(&v.as_object(), empty_object);
            EXPECT_EQ(&v.member("x"), null);
        }
        if (kind != Json::BOOLEAN) {
            EXPECT_FALSE(v.as_bool());
        }
        if (kind != Json::DOUBLE) {
            EXPECT_EQ(v.as_double(), 0.0);
        }
        if (kind != Json::INTEGER && kind != Json::DOUBLE) {
            EXPECT_EQ(v.as_int(), 0);
            EXPECT_EQ(v.as_int64(), 0);
        }
        if (kind != Json::INTEGER) {
            EXPECT_EQ(v.stored_int64(), 0);
        }
    }
}

TEST(JsonViewTest, MembersAndElements) {
    Json doc = parse_ok(R"({"list": [10, "x"], "obj": {"k": true}, "": 1, "a\u0000b": 2})");
    EXPECT_EQ(doc.member("list").element(0).as_int(), 10);
    EXPECT_EQ(doc["list"][1].as_string(), "x");
    EXPECT_TRUE(doc.member("list").element(2).is_null());
    EXPECT_TRUE(doc.member("list").element(SIZE_MAX).is_null());
    EXPECT_TRUE(doc.member("obj").member("k").as_bool());
    EXPECT_TRUE(doc.member("missing").member("k").is_null());
    EXPECT_EQ(doc.member("").as_int(), 1);
    EXPECT_EQ(doc.member("a\0b"s).as_int(), 2);
    EXPECT_TRUE(doc.member("a").is_null());
    EXPECT_EQ(doc.as_object().size(), 4u);
}

TEST(JsonViewTest, ConstructionTakesOverContainers) {
    std::string text(100, 'x');
    const char* buffer = text.data();
    Json s(std::move(text));
    EXPECT_EQ(s.as_string().data(), buffer);

    Json::array values = {1, 2, 3};
    const Json* elements = values.data();
    Json a(std::move(values));
    EXPECT_EQ(a.as_array().data(), elements);
}

TEST(JsonViewTest, MapBuilders) {
    JsonMap map{{"b", 1}, {"a", 2}, {"b", 3}};
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.begin()->first, "a");
    map["c"] = Json("z");
    map.insert_or_assign("a", Json(5));
    EXPECT_EQ(map.erase("b"), 1u);
    EXPECT_EQ(map.erase("b"), 0u);
    EXPECT_TRUE(map.contains("c"));
    EXPECT_EQ(map.count("zz"), 0u);
    EXPECT_EQ(Json(map).serialize(), R"({"a": 5, "c": "z"})");
    std::map<std::string, Json> ordered = {{"y", 1}, {"x", 2}};
    EXPECT_EQ(Json(JsonMap(ordered)).serialize(), R"({"x": 2, "y": 1})");
}

// ---------------------------------------------------------------- sharing

TEST(JsonSharingTest, ConstantsAndCopiesAllocateNothing) {
    Json doc = parse_ok(R"({"a": [1, 2.5, "s"]})");
    std::string error;
    g_counting = true;
    g_allocations = 0;
    {
        Json copy = doc;
        Json null;
        Json yes(true);
        Json no(false);
        Json words[] = {Json::parse("null", error), Json::parse(" true", error), Json::parse("false ", error)};
        EXPECT_EQ(words[1], yes);
        (void)copy.member("a").element(1).as_string();
        (void)copy.member("zz").as_array();
        (void)copy.as_int64();
        (void)null.as_object();
        (void)no.element(3);
    }
    long allocations = g_allocations;
    g_counting = false;
    EXPECT_EQ(allocations, 0);
}

TEST(JsonSharingTest, HandlesSharedAcrossThreads) {
    std::string error;
    Json doc = Json::parse(R"({"a": [1, 2, 3], "b": {"c": "text"}})", error);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                Json copy = doc;
                Json inner = copy.member("b");
                if (inner.member("c").as_string() != "text" || copy.member("a").element(2).as_int() != 3 ||
                    !(copy == doc))
                    ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(doc.serialize(), R"({"a": [1, 2, 3], "b": {"c": "text"}})");
}

// ---------------------------------------------------------------- quick paths

// The input in a heap block of exactly its size, so that the address
// sanitizer sees any read past its end (a word-at-a-time scan included).
class ExactBuffer {
public:
    explicit ExactBuffer(const std::string& text) : m_data(new char[text.size() ? text.size() : 1]), m_size(text.size()) {
        std::memcpy(m_data.get(), text.data(), text.size());
    }
    std::string_view view(std::size_t size) const { return {m_data.get(), size}; }
    std::string_view view() const { return view(m_size); }

private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_size;
};

Json parse_exact(const std::string& text, std::string& error, std::size_t size = std::string::npos) {
    ExactBuffer buffer(text);
    return Json::parse(buffer.view(std::min(size, text.size())), error);
}

// Escapes at every offset from the start and from the end of the text, in
// values and keys: the plain runs before and after them are scanned a word
// at a time, so each offset inside a word and across word edges matters.
TEST(JsonQuickPathTest, EscapesAtEveryOffset) {
    struct Escape {
        const char* text;
        const char* bytes;
    };
    const Escape escapes[] = {{"\\n", "\n"},           {"\\\"", "\""},
                              {"\\\\", "\\"},          {"\\/", "/"},
                              {"\\u00e9", "\xC3\xA9"}, {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
                              {"\\u0000", "\0"},       {"\\ud83d", "\xED\xA0\xBD"}};
    for (const Escape& escape : escapes) {
        const std::string bytes(escape.bytes, std::strlen(escape.bytes) + (escape.bytes[0] == '\0' ? 1 : 0));
        for (std::size_t before = 0; before <= 17; ++before) {
            for (std::size_t after = 0; after <= 17; after += (after < 9 ? 1 : 8)) {
                const std::string head(before, 'a');
                const std::string tail(after, 'z');
                const std::string text = "\"" + head + escape.text + tail + "\"";
                const std::string expected = head + bytes + tail;
                std::string error;
                Json value = parse_exact(text, error);
                ASSERT_EQ(error, "") << text;
                EXPECT_EQ(value.as_string(), expected) << text;

                const std::string object = "{" + text + ": 1, \"k\": " + text + "}";
                Json members = parse_exact(object, error);
                ASSERT_EQ(error, "") << object;
                EXPECT_EQ(members.member(expected).as_int(), 1) << object;
                EXPECT_EQ(members.member("k").as_string(), expected) << object;

                // Cut anywhere inside the string: never a value, never a read past the cut.
                for (std::size_t cut = 1; cut < text.size(); ++cut) {
                    std::string cut_error;
                    EXPECT_TRUE(parse_exact(text, cut_error, cut).is_null()) << text << " cut at " << cut;
                    EXPECT_FALSE(cut_error.empty()) << text << " cut at " << cut;
                }
            }
        }
    }
    // A control byte right after a plain run of every length is still seen.
    for (std::size_t before = 0; before <= 17; ++before) {
        std::string error;
        EXPECT_TRUE(parse_exact("\"" + std::string(before, 'a') + "\x1f\"", error).is_null());
        EXPECT_EQ(error, "unescaped (31) in string") << before;
    }
}

// A document mixing every kind of value, then cut at every length and with
// a control byte put at every position: each fails, with a message, and
// reads nothing outside its input. A control byte is valid nowhere in JSON.
TEST(JsonQuickPathTest, InvalidInputAtEveryPosition) {
    const std::string document =
        R"({"name": "caf\u00e9 \"x\" \ud83d\ude00", "id": 12345, "big": -9223372036854775808, )"
        R"("ratio": 0.125, "score": 123.45678901234567, "e": 1e-7, "ok": true, "no": false, "none": null, )"
        R"("list": [1, [2, {"deep": []}], {}], "a long key beyond eight bytes": "plain text of some length"})";
    std::string error;
    ASSERT_EQ(parse_exact(document, error).member("list").element(1).element(1).member("deep").kind(), Json::ARRAY);
    ASSERT_EQ(error, "");
    for (std::size_t cut = 0; cut < document.size(); ++cut) {
        std::string cut_error;
        EXPECT_TRUE(parse_exact(document, cut_error, cut).is_null()) << "cut at " << cut;
        EXPECT_FALSE(cut_error.empty()) << "cut at " << cut;
    }
    for (std::size_t position = 0; position < document.size(); ++position) {
        std::string broken = document;
        broken[position] = '\x01';
        std::string broken_error;
        EXPECT_TRUE(parse_exact(broken, broken_error).is_null()) << "control byte at " << position;
        EXPECT_FALSE(broken_error.empty()) << "control byte at " << position;
    }
}

// Objects and arrays alternating up to the depth limit parse, one level
// more fails; and a parse after either starts clean.
TEST(JsonQuickPathTest, MixedNestingUpToAndOverTheLimit) {
    auto nest = [](int depth) {
        // depth containers around a number: "[", "{"x": [", ...
        std::string open, close;
        for (int level = 0; level < depth; ++level) {
            if (level % 2 == 0) {
                open += "[";
                close.insert(0, "]");
            } else {
                open += "{\"x\": ";
                close.insert(0, "}");
            }
        }
        return open + "7" + close;
    };
    for (int round = 0; round < 2; ++round) {
        std::string error;
        Json deepest = parse_exact(nest(200), error);
        ASSERT_EQ(error, "");
        const Json* walk = &deepest;
        for (int level = 0; level < 200; ++level) walk = level % 2 == 0 ? &walk->element(0) : &walk->member("x");
        EXPECT_EQ(walk->as_int(), 7);
        for (int depth : {201, 202, 1000}) {
            std::string too_deep;
            EXPECT_TRUE(parse_exact(nest(depth), too_deep).is_null());
            EXPECT_EQ(too_deep, "exceeded maximum nesting depth") << depth;
        }
        EXPECT_EQ(parse_ok(R"([{"b": 1, "a": 2}])").serialize(), R"([{"a": 2, "b": 1}])");
    }
}

// Records that repeat a few key orders reuse the order found for the first
// of them: each object must still come out as if sorted on its own, also
// when its keys differ from a known order only in a late byte, in length,
// in a repeated key or in being one more.
TEST(JsonQuickPathTest, RepeatedKeyOrdersSortEachObject) {
    const std::vector<std::vector<std::string>> orders = {
        {"id", "uid", "name", "email", "score"},
        {"id", "uid", "name", "email", "scorf"},                 // differs in the last byte
        {"id", "uid", "name", "email", "score", "extra"},        // one more
        {"id", "uid", "name", "email"},                          // one fewer
        {"identifier_long_1", "identifier_long_0", "b"},        // long keys sharing their first eight bytes
        {"identifier_long_0", "identifier_long_1", "b"},
        {"identifier_long_1", "identifier_long_00", "b"},       // a longer key with the same prefix
        {"z", "y", "z", "x"},                                    // a repeated key
        {"z", "y", "x", "z"},
        {"a\\u0000", "a", "b"},                                  // keys equal up to a NUL
        {"b", "a", "a\\u0000"},
    };
    uint32_t seed = 4242;
    auto random = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    auto unescape = [](std::string key) {
        const std::size_t at = key.find("\\u0000");
        if (at != std::string::npos) key.replace(at, 6, std::string(1, '\0'));
        return key;
    };
    std::string input = "[";
    std::string expected = "[";
    for (int record = 0; record < 400; ++record) {
        const auto& keys = orders[random(static_cast<uint32_t>(orders.size()))];
        std::map<std::string, int> members;
        if (record) {
            input += ", ";
            expected += ", ";
        }
        input += "{";
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const int number = record * 10 + static_cast<int>(i);
            if (i) input += ", ";
            input += "\"" + keys[i] + "\": " + std::to_string(number);
            members[unescape(keys[i])] = number;
        }
        input += "}";
        std::string object = "{";
        for (const auto& [key, number] : members) {
            if (object.size() > 1) object += ", ";
            object += Json(key).serialize() + ": " + std::to_string(number);
        }
        expected += object + "}";
    }
    input += "]";
    expected += "]";
    for (int round = 0; round < 2; ++round) EXPECT_EQ(parse_ok(input).serialize(), expected);
}

// Arrays and objects of sizes on both sides of every block size of the
// pool, made by the parser and grown by hand, copied and released on
// another thread: every element stays what it was.
TEST(JsonQuickPathTest, ContainersOfEverySizeAroundBlockSizes) {
    std::vector<Json> parsed;
    for (int size = 0; size <= 40; ++size) {
        std::string array = "[";
        std::string object = "{";
        for (int i = 0; i < size; ++i) {
            if (i) {
                array += ", ";
                object += ", ";
            }
            array += std::to_string(i);
            object += "\"k" + std::to_string(100 + i) + "\": \"value number " + std::to_string(i) + "\"";
        }
        parsed.push_back(parse_ok(array + "]"));
        parsed.push_back(parse_ok(object + "}"));
    }
    Json::array grown;
    for (int i = 0; i < 100; ++i) {
        grown.push_back(Json(i));
        Json::array copy = grown;  // a buffer of exactly this size
        ASSERT_EQ(copy.size(), static_cast<std::size_t>(i + 1));
        EXPECT_EQ(copy.back().as_int(), i);
    }
    JsonMap::storage members;
    for (int i = 0; i < 40; ++i) members.emplace_back("m" + std::to_string(100 + i), Json(i));
    Json grown_object(JsonMap(std::move(members)));
    Json grown_array(std::move(grown));

    std::thread releaser([moved = std::move(parsed), grown_array, grown_object]() mutable {
        for (int size = 0; size <= 40; ++size) {
            const Json& array = moved[static_cast<std::size_t>(size) * 2];
            const Json& object = moved[static_cast<std::size_t>(size) * 2 + 1];
            ASSERT_EQ(array.as_array().size(), static_cast<std::size_t>(size));
            ASSERT_EQ(object.as_object().size(), static_cast<std::size_t>(size));
            for (int i = 0; i < size; ++i) {
                EXPECT_EQ(array.element(static_cast<std::size_t>(i)).as_int(), i);
                EXPECT_EQ(object.member("k" + std::to_string(100 + i)).as_string(), "value number " + std::to_string(i));
            }
        }
        for (int i = 0; i < 100; ++i) EXPECT_EQ(grown_array.element(static_cast<std::size_t>(i)).as_int(), i);
        for (int i = 0; i < 40; ++i) EXPECT_EQ(grown_object.member("m" + std::to_string(100 + i)).as_int(), i);
        moved.clear();
    });
    releaser.join();
    EXPECT_EQ(grown_array.as_array().size(), 100u);
}

}  // namespace
