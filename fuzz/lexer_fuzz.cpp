// Lexer: tokens stay inside the text, cover it without gaps or overlaps, and
// carry the class of their characters; row and column counting agrees.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Tools/lexer.h"

namespace {

Tools::base_token_type ClassOf(char c) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return Tools::BASETOKEN_WHITESPACE;
    if (c >= '0' && c <= '9') return Tools::BASETOKEN_DIGIT;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return Tools::BASETOKEN_ALPHA;
    return Tools::BASETOKEN_OTHER;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const char* text = bytes.c_str();
    const char* end = text + std::char_traits<char>::length(text);

    for (auto mode : {Tools::PARSE_WHITESPACE, Tools::IGNORE_WHITESPACE}) {
        Tools::lexer lex;
        Tools::lexer_start(&lex, text);
        Tools::base_token token;
        Tools::base_token_clear(&token);
        const char* expected_start = text;
        uint32_t line_ends = 0;
        while (Tools::lexer_getbasetoken(&lex, &token, mode)) {
            Check(token.text.text >= expected_start && token.text.length > 0);
            Check(token.text.text + token.text.length <= end);
            Check(lex.offset == token.text.text + token.text.length);
            if (mode == Tools::PARSE_WHITESPACE) Check(token.text.text == expected_start);
            for (const char* p = expected_start; p < token.text.text; ++p) {
                Check(ClassOf(*p) == Tools::BASETOKEN_WHITESPACE);
            }
            for (size_t i = 0; i < token.text.length; ++i) Check(ClassOf(token.text.text[i]) == token.type);
            if (token.type == Tools::BASETOKEN_WHITESPACE || token.type == Tools::BASETOKEN_OTHER) {
                Check(token.text.length <= 2);
                if (token.text.length == 2) {
                    const char a = token.text.text[0], b = token.text.text[1];
                    Check((a == '\r' && b == '\n') || (a == '\n' && b == '\r'));
                }
            }
            if (mode == Tools::PARSE_WHITESPACE && token.type == Tools::BASETOKEN_WHITESPACE &&
                (token.text.text[0] == '\r' || token.text.text[0] == '\n')) {
                ++line_ends;
            }
            expected_start = lex.offset;
        }
        Check(lex.offset == end);
        uint32_t row = 0, column = 0;
        Tools::lexer_getstroffset(&lex, end, &row, &column);
        if (mode == Tools::PARSE_WHITESPACE) Check(row == line_ends + 1);
    }

    Tools::error_data errors;
    Tools::error_data_init(&errors);
    Tools::error_data_add(&errors, "fuzz", 1, 2, text, 0);
    Tools::error_data_add(&errors, nullptr, 3, 4, nullptr, 1);
    char* report = Tools::error_data_buildstring(&errors);
    Check(report != nullptr);
    Free(report);
    Tools::error_data_free(&errors);
    return 0;
}
