#pragma once

// A minimal character-class tokenizer over zero-terminated text, and a list
// of parse errors. Nothing here keeps global state; one lexer or error list
// is used by one thread at a time.

#include <cstddef>
#include <cstdint>

#include <Application/Export.h>
#include <Tools/dstr.h>

namespace Tools {

// text is the caller's zero-terminated text (not owned); offset is the next
// unread character inside it, or absent when there is nothing to read.
struct lexer {
    const char* text;
    const char* offset;
};

inline void lexer_init(lexer* lex) {
    lex->text = nullptr;
    lex->offset = nullptr;
}

inline void lexer_start(lexer* lex, const char* text) {
    lex->text = text;
    lex->offset = text;
}

enum base_token_type : uint32_t {
    BASETOKEN_NONE = 0,
    BASETOKEN_ALPHA = 1,       // a run of ASCII letters
    BASETOKEN_DIGIT = 2,       // a run of "0".."9"
    BASETOKEN_WHITESPACE = 3,  // one of space, tab, CR, LF; CR LF and LF CR are one token
    BASETOKEN_OTHER = 4,       // one byte of anything else, bytes from 0x80 up included
};

// text points into the lexer's text.
struct base_token {
    strref text;
    base_token_type type;
};

inline void base_token_clear(base_token* token) {
    strref_clear(&token->text);
    token->type = BASETOKEN_NONE;
}

enum ignore_whitespace : int {
    PARSE_WHITESPACE = 0,   // whitespace comes back as tokens
    IGNORE_WHITESPACE = 1,  // whitespace is skipped
};

// Reads the next token. False at the end of the text (or with no offset), in
// which case the token is left unchanged; the offset moves past what was read.
APP_API bool lexer_getbasetoken(lexer* lex, base_token* token, ignore_whitespace ignore);

// 1-based row and column of position inside the lexer's text. CR, LF, CR LF
// and LF CR each end one row. Nothing happens for an absent position; a
// position outside the text is counted up to the text's end.
APP_API void lexer_getstroffset(const lexer* lex, const char* position, uint32_t* row, uint32_t* column);

struct error_item {
    char* message;     // owned copy, may be absent
    const char* file;  // the caller's pointer, not copied
    uint32_t row;
    uint32_t column;
    int32_t level;
};

struct error_data {
    error_item* array;
    size_t count;
    size_t capacity;
};

inline void error_data_init(error_data* errors) {
    errors->array = nullptr;
    errors->count = 0;
    errors->capacity = 0;
}

// Frees the messages and the array and empties the list.
APP_API void error_data_free(error_data* errors);

// Appends an entry; an absent list is ignored, an absent message is stored absent.
APP_API void error_data_add(error_data* errors, const char* file, uint32_t row, uint32_t column,
                            const char* message, int32_t level);

// One line per entry, "file (row, column): message\n"; absent when the list is
// empty. Release the text with Free.
APP_API char* error_data_buildstring(const error_data* errors);

}  // namespace Tools
