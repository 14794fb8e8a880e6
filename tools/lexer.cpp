#include "Tools/lexer.h"

#include <cstring>

namespace Tools {

namespace {

inline bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

base_token_type class_of(char c) {
    if (is_whitespace(c)) return BASETOKEN_WHITESPACE;
    if (is_digit(c)) return BASETOKEN_DIGIT;
    if (is_alpha(c)) return BASETOKEN_ALPHA;
    return BASETOKEN_OTHER;
}

inline bool is_line_pair(char first, char second) {
    return (first == '\r' && second == '\n') || (first == '\n' && second == '\r');
}

}  // namespace

bool lexer_getbasetoken(lexer* lex, base_token* token, ignore_whitespace ignore) {
    if (!lex || !lex->offset) return false;
    const char* p = lex->offset;
    if (ignore == IGNORE_WHITESPACE) {
        while (is_whitespace(*p)) ++p;
    }
    if (!*p) {
        lex->offset = p;
        return false;
    }
    const char* start = p;
    const base_token_type type = class_of(*p);
    ++p;
    if (type == BASETOKEN_ALPHA || type == BASETOKEN_DIGIT) {
        while (*p && class_of(*p) == type) ++p;
    } else if (type == BASETOKEN_WHITESPACE && is_line_pair(start[0], *p)) {
        ++p;
    }
    lex->offset = p;
    strref_set(&token->text, start, static_cast<size_t>(p - start));
    token->type = type;
    return true;
}

void lexer_getstroffset(const lexer* lex, const char* position, uint32_t* row, uint32_t* column) {
    if (!lex || !position || !lex->text) return;
    uint32_t r = 1, c = 1;
    for (const char* p = lex->text; p < position && *p; ++p) {
        if (*p == '\r' || *p == '\n') {
            ++r;
            c = 1;
            if (p + 1 < position && is_line_pair(p[0], p[1])) ++p;
        } else {
            ++c;
        }
    }
    if (row) *row = r;
    if (column) *column = c;
}

void error_data_free(error_data* errors) {
    if (!errors) return;
    for (size_t i = 0; i < errors->count; ++i) Free(errors->array[i].message);
    Free(errors->array);
    error_data_init(errors);
}

void error_data_add(error_data* errors, const char* file, uint32_t row, uint32_t column, const char* message,
                    int32_t level) {
    if (!errors) return;
    if (errors->count == errors->capacity) {
        const size_t capacity = errors->capacity ? errors->capacity * 2 : 8;
        auto* grown = static_cast<error_item*>(Realloc(errors->array, capacity * sizeof(error_item)));
        if (!grown) return;
        errors->array = grown;
        errors->capacity = capacity;
    }
    error_item& item = errors->array[errors->count++];
    item.message = message ? static_cast<char*>(Memdup(message, std::strlen(message) + 1)) : nullptr;
    item.file = file;
    item.row = row;
    item.column = column;
    item.level = level;
}

char* error_data_buildstring(const error_data* errors) {
    if (!errors || !errors->count) return nullptr;
    dstr text;
    dstr_init(&text);
    for (size_t i = 0; i < errors->count; ++i) {
        const error_item& item = errors->array[i];
        // "(null)" keeps the line readable when the caller gave no file or message.
        dstr_catf(&text, "%s (%u, %u): %s\n", item.file ? item.file : "(null)", item.row, item.column,
                  item.message ? item.message : "(null)");
    }
    return text.text;
}

}  // namespace Tools
