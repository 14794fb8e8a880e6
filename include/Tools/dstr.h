#pragma once

// Zero-terminated text helpers: a growable UTF-8 string (dstr), a non-owning
// slice (strref), split lists, comparison, search, trimming and number-syntax
// checks. Every allocation goes through Malloc/Realloc/Free (Tools/memory.h),
// so text handed out here is released with Free. An absent (null) text counts
// as "" wherever a text is read. Nothing here keeps global state; a dstr may
// be used by one thread at a time.

#include <cstdarg>
#include <cstddef>

#include <Application/Export.h>
#include <Tools/memory.h>

namespace Tools {

// Owned text. Empty means text == nullptr, length == 0, capacity == 0; every
// operation whose result is empty frees the buffer and returns to that state.
// capacity counts the bytes allocated for text, terminator included. When an
// operation needs n bytes and capacity is smaller, the new capacity is twice
// the old one, or n when the old one is 0 or twice it is still below n.
struct dstr {
    char* text;
    size_t length;
    size_t capacity;
};

// A slice of someone else's bytes, not owned and not necessarily terminated.
// Empty when text is absent, length is 0 or the first byte is 0.
struct strref {
    const char* text;
    size_t length;
};

inline void dstr_init(dstr* str) {
    str->text = nullptr;
    str->length = 0;
    str->capacity = 0;
}

inline void dstr_free(dstr* str) {
    Free(str->text);
    dstr_init(str);
}

inline bool dstr_is_empty(const dstr* str) {
    return !str->text || !str->length || !*str->text;
}

inline void strref_clear(strref* ref) {
    ref->text = nullptr;
    ref->length = 0;
}

inline void strref_set(strref* ref, const char* text, size_t length) {
    ref->text = text;
    ref->length = length;
}

inline bool strref_is_empty(const strref* ref) {
    return !ref || !ref->text || !ref->length || !*ref->text;
}

// Makes room for at least size bytes (terminator included) by the growth rule.
APP_API void dstr_ensure_capacity(dstr* str, size_t size);

// Replacing the content. A source may point into the destination's own buffer.
APP_API void dstr_copy(dstr* dst, const char* text);
APP_API void dstr_copy_dstr(dstr* dst, const dstr* src);
APP_API void dstr_ncopy(dstr* dst, const char* bytes, size_t n);
APP_API void dstr_ncopy_dstr(dstr* dst, const dstr* src, size_t n);
APP_API void dstr_copy_strref(dstr* dst, const strref* src);
// Like dstr_copy_strref on a dstr that holds nothing yet (it is not freed first).
APP_API void dstr_init_copy_strref(dstr* dst, const strref* src);

// Appending.
APP_API void dstr_cat(dstr* dst, const char* text);
APP_API void dstr_ncat(dstr* dst, const char* bytes, size_t n);
APP_API void dstr_cat_dstr(dstr* dst, const dstr* src);
APP_API void dstr_ncat_dstr(dstr* dst, const dstr* src, size_t n);
APP_API void dstr_cat_strref(dstr* dst, const strref* src);
APP_API void dstr_cat_ch(dstr* dst, char ch);

// printf-formatted content (replace or append).
APP_API void dstr_printf(dstr* dst, const char* format, ...) __attribute__((format(printf, 2, 3)));
APP_API void dstr_vprintf(dstr* dst, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
APP_API void dstr_catf(dstr* dst, const char* format, ...) __attribute__((format(printf, 2, 3)));
APP_API void dstr_vcatf(dstr* dst, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
// Copies format, then replaces every "$1" by a1, then every "$2" by a2, and so
// on; an absent argument leaves its placeholder alone. Safe with untrusted
// format text, unlike printf.
APP_API void dstr_safe_printf(dstr* dst, const char* format, const char* a1, const char* a2, const char* a3,
                              const char* a4);

// Editing. Indexes are byte offsets; the caller keeps them within the length.
APP_API void dstr_insert(dstr* dst, size_t index, const char* text);
APP_API void dstr_insert_dstr(dstr* dst, size_t index, const dstr* src);
APP_API void dstr_insert_ch(dstr* dst, size_t index, char ch);
APP_API void dstr_remove(dstr* dst, size_t index, size_t count);
// Replaces every non-overlapping occurrence of find, left to right; an
// inserted replacement is not searched again. find must not be "".
APP_API void dstr_replace(dstr* dst, const char* find, const char* replacement);
// dst may be src in these three.
APP_API void dstr_left(dstr* dst, const dstr* src, size_t n);
APP_API void dstr_mid(dstr* dst, const dstr* src, size_t start, size_t count);
APP_API void dstr_right(dstr* dst, const dstr* src, size_t start);
APP_API void dstr_depad(dstr* dst);

// Case mapping and encodings (through the os_* encoding functions). A text
// that cannot be converted is left as it is.
APP_API void dstr_to_lower(dstr* str);
APP_API void dstr_to_upper(dstr* str);
APP_API void dstr_from_mbs(dstr* dst, const char* mbs);
APP_API void dstr_from_wcs(dstr* dst, const wchar_t* wcs);
// New text in the locale's multi-byte encoding / wide text; release with Free.
APP_API char* dstr_to_mbs(const dstr* str);
APP_API wchar_t* dstr_to_wcs(const dstr* str);

// Comparison: -1, 0 or 1; bytes compare as signed 8-bit values, so bytes from
// 0x80 up order before ASCII. The case-insensitive forms fold ASCII letters.
APP_API int astrcmp_n(const char* a, const char* b, size_t n);
APP_API int astrcmpi(const char* a, const char* b);
APP_API int astrcmpi_n(const char* a, const char* b, size_t n);
// First case-insensitive occurrence of find in text; text itself for "" and
// nullptr when either is absent or there is none.
APP_API const char* astrstri(const char* text, const char* find);

// The same for wide text; units compare as unsigned values, folded with towupper.
APP_API int wstrcmp_n(const wchar_t* a, const wchar_t* b, size_t n);
APP_API int wstrcmpi(const wchar_t* a, const wchar_t* b);
APP_API int wstrcmpi_n(const wchar_t* a, const wchar_t* b, size_t n);
APP_API const wchar_t* wstrstri(const wchar_t* text, const wchar_t* find);

// Slice against terminated text (the slice ends with an implied terminator),
// and slice against slice (a byte past a slice's length counts as 0).
APP_API int strref_cmp(const strref* ref, const char* text);
APP_API int strref_cmpi(const strref* ref, const char* text);
APP_API int strref_cmp_strref(const strref* a, const strref* b);
APP_API int strref_cmpi_strref(const strref* a, const strref* b);

// In place: drops leading and trailing blanks (space, tab, CR, LF) and
// returns text. wcsdepad treats only space and tab as blanks.
APP_API char* strdepad(char* text);
APP_API wchar_t* wcsdepad(wchar_t* text);

// Splits text at every delimiter byte (not 0) into one block: a null-terminated
// array of pointers followed by the pieces. Empty pieces are kept only when
// include_empty is true. Absent text gives nullptr. Release with strlist_free.
APP_API char** strlist_split(const char* text, char delimiter, bool include_empty);
APP_API void strlist_free(char** list);

// Number syntax. n limits how many characters after the optional sign are
// examined; 0 means the whole text.
APP_API bool valid_int_str(const char* text, size_t n);
// Digits with at most one "." after a digit and at most one lower-case "e"
// after a digit; a sign is allowed at the start and after the exponent's
// first digit ("1.5", "1e5", "-2.5e10" pass; "1e+5", ".5", "1E5" do not).
APP_API bool valid_float_str(const char* text, size_t n);

}  // namespace Tools
