#include "Tools/lexer.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace Tools;

namespace {

using Tokens = std::vector<std::pair<std::string, base_token_type>>;

Tokens Lex(const char* text, ignore_whitespace ignore) {
    lexer lex;
    lexer_start(&lex, text);
    base_token token;
    base_token_clear(&token);
    Tokens tokens;
    while (lexer_getbasetoken(&lex, &token, ignore)) {
        tokens.emplace_back(std::string(token.text.text, token.text.length), token.type);
        if (tokens.size() > 1000) break;  // a lexer that stops advancing must not hang the test
    }
    EXPECT_EQ(*lex.offset, 0) << "the offset ends at the terminator";
    return tokens;
}

TEST(LexerTest, Tokens) {
    struct Case {
        const char* text;
        ignore_whitespace ignore;
        Tokens expected;
    };
    const auto A = BASETOKEN_ALPHA, D = BASETOKEN_DIGIT, W = BASETOKEN_WHITESPACE, O = BASETOKEN_OTHER;
    const Case cases[] = {
        {"ab12 cd", PARSE_WHITESPACE, {{"ab", A}, {"12", D}, {" ", W}, {"cd", A}}},
        {"ab12 cd", IGNORE_WHITESPACE, {{"ab", A}, {"12", D}, {"cd", A}}},
        {"\r\n\r\n", PARSE_WHITESPACE, {{"\r\n", W}, {"\r\n", W}}},
        {"\n\n", PARSE_WHITESPACE, {{"\n", W}, {"\n", W}}},
        {"\n\r\r\r\n", PARSE_WHITESPACE, {{"\n\r", W}, {"\r", W}, {"\r\n", W}}},
        {"x=y", PARSE_WHITESPACE, {{"x", A}, {"=", O}, {"y", A}}},
        {"  \t", IGNORE_WHITESPACE, {}},
        {"", PARSE_WHITESPACE, {}},
        {"==", PARSE_WHITESPACE, {{"=", O}, {"=", O}}},
        {"\xC3\xA9t\xC3\xA9", PARSE_WHITESPACE, {{"\xC3", O}, {"\xA9", O}, {"t", A}, {"\xC3", O}, {"\xA9", O}}},
        {"a\tb", PARSE_WHITESPACE, {{"a", A}, {"\t", W}, {"b", A}}},
        {"007bond", IGNORE_WHITESPACE, {{"007", D}, {"bond", A}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        EXPECT_EQ(Lex(c.text, c.ignore), c.expected);
    }
}

TEST(LexerTest, NoTokenLeavesTheTokenUnchanged) {
    lexer lex;
    lexer_start(&lex, "   ");
    base_token token;
    strref_set(&token.text, "keep", 4);
    token.type = BASETOKEN_DIGIT;
    EXPECT_FALSE(lexer_getbasetoken(&lex, &token, IGNORE_WHITESPACE));
    EXPECT_EQ(token.text.length, 4u);
    EXPECT_EQ(token.type, BASETOKEN_DIGIT);

    lexer empty;
    lexer_init(&empty);
    EXPECT_FALSE(lexer_getbasetoken(&empty, &token, PARSE_WHITESPACE));
    EXPECT_EQ(token.type, BASETOKEN_DIGIT);
}

TEST(LexerTest, RowAndColumn) {
    struct Case {
        const char* text;
        size_t index;
        uint32_t row;
        uint32_t column;
    };
    const Case cases[] = {
        {"a\r\nb", 3, 2, 1}, {"abc", 0, 1, 1},   {"abc", 2, 1, 3},      {"a\n\rb", 3, 2, 1},
        {"a\n\nb", 3, 3, 1}, {"a\r\rbc", 4, 3, 2}, {"x\r\n\r\ny", 5, 3, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        lexer lex;
        lexer_start(&lex, c.text);
        uint32_t row = 0, column = 0;
        lexer_getstroffset(&lex, c.text + c.index, &row, &column);
        EXPECT_EQ(row, c.row);
        EXPECT_EQ(column, c.column);
    }
}

TEST(LexerTest, RowAndColumnStayInsideTheText) {
    const char text[64] = "ab\ncd";
    lexer lex;
    lexer_start(&lex, text);
    uint32_t row = 7, column = 7;
    lexer_getstroffset(&lex, nullptr, &row, &column);
    EXPECT_EQ(row, 7u);
    EXPECT_EQ(column, 7u);
    // A position past the end is counted only up to the terminator.
    lexer_getstroffset(&lex, text + 40, &row, &column);
    EXPECT_EQ(row, 2u);
    EXPECT_EQ(column, 3u);
}

TEST(ErrorDataTest, BuildString) {
    error_data errors;
    error_data_init(&errors);
    EXPECT_EQ(error_data_buildstring(&errors), nullptr);

    std::string message = "bad";
    error_data_add(&errors, "f.ini", 3, 7, message.c_str(), 1);
    message = "changed";  // the entry holds its own copy
    char* one = error_data_buildstring(&errors);
    ASSERT_NE(one, nullptr);
    EXPECT_STREQ(one, "f.ini (3, 7): bad\n");
    Free(one);

    for (uint32_t i = 0; i < 20; ++i) error_data_add(&errors, "g.ini", i, i + 1, "more", 2);
    error_data_add(&errors, "h.ini", 1, 1, nullptr, 3);
    ASSERT_EQ(errors.count, 22u);
    EXPECT_EQ(errors.array[21].message, nullptr);
    EXPECT_EQ(errors.array[5].row, 4u);
    EXPECT_EQ(errors.array[5].level, 2);
    char* all = error_data_buildstring(&errors);
    ASSERT_NE(all, nullptr);
    const std::string text(all);
    Free(all);
    EXPECT_EQ(text.rfind("f.ini (3, 7): bad\ng.ini (0, 1): more\n", 0), 0u);
    EXPECT_NE(text.find("g.ini (19, 20): more\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 22);

    error_data_free(&errors);
    EXPECT_EQ(errors.count, 0u);
    EXPECT_EQ(errors.array, nullptr);
    error_data_add(nullptr, "x", 1, 1, "ignored", 0);
}

}  // namespace
