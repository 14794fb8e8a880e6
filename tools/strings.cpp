#include "Tools/dstr.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string_view>

namespace Tools {

namespace {

inline int sign_of(int difference) { return difference < 0 ? -1 : (difference > 0 ? 1 : 0); }

inline int compare_bytes(char a, char b) {
    return sign_of(static_cast<int>(static_cast<signed char>(a)) - static_cast<int>(static_cast<signed char>(b)));
}

// ASCII-only folding keeps the result independent of the process locale.
inline char fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline int compare_units(wchar_t a, wchar_t b) {
    const auto ua = static_cast<unsigned long>(static_cast<uint32_t>(a));
    const auto ub = static_cast<unsigned long>(static_cast<uint32_t>(b));
    return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

inline wchar_t wfold(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

inline const char* or_empty(const char* text) { return text ? text : ""; }
inline const wchar_t* or_empty(const wchar_t* text) { return text ? text : L""; }

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// True when bytes lie inside str's buffer, so freeing or reallocating it first would lose them.
inline bool points_into(const dstr* str, const char* bytes) {
    return str->text && bytes && bytes >= str->text && bytes < str->text + str->capacity;
}

// Replaces the content with n bytes that may live inside dst's own buffer.
void assign_bytes(dstr* dst, const char* bytes, size_t n) {
    if (!n || !bytes) {
        dstr_free(dst);
        return;
    }
    if (points_into(dst, bytes)) {
        std::memmove(dst->text, bytes, n);
    } else {
        dstr_free(dst);
        dstr_ensure_capacity(dst, n + 1);
        std::memcpy(dst->text, bytes, n);
    }
    dst->text[n] = 0;
    dst->length = n;
}

void append_bytes(dstr* dst, const char* bytes, size_t n) {
    if (!n || !bytes) return;
    size_t offset = 0;
    const bool inside = points_into(dst, bytes);
    if (inside) offset = static_cast<size_t>(bytes - dst->text);
    dstr_ensure_capacity(dst, dst->length + n + 1);
    if (inside) bytes = dst->text + offset;
    std::memmove(dst->text + dst->length, bytes, n);
    dst->length += n;
    dst->text[dst->length] = 0;
}

void insert_bytes(dstr* dst, size_t index, const char* bytes, size_t n) {
    if (!n || !bytes) return;
    if (index > dst->length) index = dst->length;
    char* copy = nullptr;
    if (points_into(dst, bytes)) {
        copy = static_cast<char*>(Memdup(bytes, n));
        bytes = copy;
    }
    dstr_ensure_capacity(dst, dst->length + n + 1);
    std::memmove(dst->text + index + n, dst->text + index, dst->length - index);
    std::memcpy(dst->text + index, bytes, n);
    dst->length += n;
    dst->text[dst->length] = 0;
    Free(copy);
}

// Formats into a buffer of its own first: an argument may point into dst's text.
void format_into(dstr* dst, bool append, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    const size_t room = needed < 0 ? (append ? 4095 : 4096) : static_cast<size_t>(needed) + 1;
    dstr formatted;
    dstr_init(&formatted);
    dstr_ensure_capacity(&formatted, room);
    formatted.text[0] = 0;
    const int written = std::vsnprintf(formatted.text, room, format, args);
    if (written > 0) formatted.length = static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1;
    formatted.text[formatted.length] = 0;
    if (append) {
        append_bytes(dst, formatted.text, formatted.length);
        dstr_free(&formatted);
        return;
    }
    dstr_free(dst);
    if (formatted.length) {
        *dst = formatted;
    } else {
        dstr_free(&formatted);
    }
}

template <typename Char, typename Fold>
int compare_n(const Char* a, const Char* b, size_t n, Fold fold_unit, bool limited) {
    a = or_empty(a);
    b = or_empty(b);
    for (size_t i = 0; !limited || i < n; ++i) {
        const Char ca = fold_unit(a[i]);
        const Char cb = fold_unit(b[i]);
        int result;
        if constexpr (sizeof(Char) == 1) {
            result = compare_bytes(ca, cb);
        } else {
            result = compare_units(ca, cb);
        }
        if (result) return result;
        if (!ca) return 0;
    }
    return 0;
}

template <typename Char, typename Fold>
const Char* find_folded(const Char* text, const Char* find, Fold fold_unit) {
    if (!text || !find) return nullptr;
    if (!*find) return text;
    for (; *text; ++text) {
        size_t i = 0;
        while (find[i] && text[i] && fold_unit(text[i]) == fold_unit(find[i])) ++i;
        if (!find[i]) return text;
    }
    return nullptr;
}

inline char identity(char c) { return c; }

int slice_vs_text(const strref* ref, const char* text, bool folded) {
    text = or_empty(text);
    if (strref_is_empty(ref)) return *text ? -1 : 0;
    for (size_t i = 0;; ++i) {
        const char a = i < ref->length ? ref->text[i] : 0;
        const char b = text[i];
        const int result = folded ? compare_bytes(fold(a), fold(b)) : compare_bytes(a, b);
        if (result) return result;
        if (!a) return 0;
    }
}

int slice_vs_slice(const strref* a, const strref* b, bool folded) {
    const bool a_empty = strref_is_empty(a);
    const bool b_empty = strref_is_empty(b);
    if (a_empty || b_empty) return a_empty == b_empty ? 0 : (a_empty ? -1 : 1);
    const size_t longest = a->length > b->length ? a->length : b->length;
    for (size_t i = 0; i < longest; ++i) {
        const char ca = i < a->length ? a->text[i] : 0;
        const char cb = i < b->length ? b->text[i] : 0;
        const int result = folded ? compare_bytes(fold(ca), fold(cb)) : compare_bytes(ca, cb);
        if (result) return result;
        if (!ca) return 0;
    }
    return 0;
}

}  // namespace

void dstr_ensure_capacity(dstr* str, size_t size) {
    if (size <= str->capacity) return;
    size_t capacity = str->capacity ? str->capacity * 2 : size;
    if (capacity < size) capacity = size;
    str->text = static_cast<char*>(Realloc(str->text, capacity));
    str->capacity = capacity;
}

void dstr_copy(dstr* dst, const char* text) {
    if (!text || !*text) {
        dstr_free(dst);
        return;
    }
    const size_t n = std::strlen(text);
    if (points_into(dst, text)) {
        std::memmove(dst->text, text, n + 1);
    } else {
        dstr_ensure_capacity(dst, n + 1);
        std::memcpy(dst->text, text, n + 1);
    }
    dst->length = n;
}

void dstr_copy_dstr(dstr* dst, const dstr* src) {
    if (dst == src) return;
    assign_bytes(dst, src->text, src->length);
}

void dstr_ncopy(dstr* dst, const char* bytes, size_t n) { assign_bytes(dst, bytes, n); }

void dstr_ncopy_dstr(dstr* dst, const dstr* src, size_t n) {
    assign_bytes(dst, src->text, n < src->length ? n : src->length);
}

void dstr_copy_strref(dstr* dst, const strref* src) {
    if (!src || !src->text) {
        dstr_free(dst);
        return;
    }
    assign_bytes(dst, src->text, src->length);
}

void dstr_init_copy_strref(dstr* dst, const strref* src) {
    dstr_init(dst);
    if (src && src->text) assign_bytes(dst, src->text, src->length);
}

void dstr_cat(dstr* dst, const char* text) {
    if (!text || !*text) return;
    append_bytes(dst, text, std::strlen(text));
}

void dstr_ncat(dstr* dst, const char* bytes, size_t n) {
    if (!bytes || !*bytes) return;
    append_bytes(dst, bytes, n);
}

void dstr_cat_dstr(dstr* dst, const dstr* src) {
    if (dstr_is_empty(src)) return;
    append_bytes(dst, src->text, src->length);
}

void dstr_ncat_dstr(dstr* dst, const dstr* src, size_t n) {
    if (dstr_is_empty(src)) return;
    append_bytes(dst, src->text, n < src->length ? n : src->length);
}

void dstr_cat_strref(dstr* dst, const strref* src) {
    if (strref_is_empty(src)) return;
    append_bytes(dst, src->text, src->length);
}

void dstr_cat_ch(dstr* dst, char ch) { append_bytes(dst, &ch, 1); }

void dstr_printf(dstr* dst, const char* format, ...) {
    va_list args;
    va_start(args, format);
    dstr_vprintf(dst, format, args);
    va_end(args);
}

void dstr_vprintf(dstr* dst, const char* format, va_list args) {
    if (!format || !*format) {
        dstr_free(dst);
        return;
    }
    format_into(dst, false, format, args);
}

void dstr_catf(dstr* dst, const char* format, ...) {
    va_list args;
    va_start(args, format);
    dstr_vcatf(dst, format, args);
    va_end(args);
}

void dstr_vcatf(dstr* dst, const char* format, va_list args) {
    if (!format || !*format) return;
    format_into(dst, true, format, args);
}

void dstr_safe_printf(dstr* dst, const char* format, const char* a1, const char* a2, const char* a3,
                      const char* a4) {
    dstr_copy(dst, format);
    const char* arguments[4] = {a1, a2, a3, a4};
    const char* placeholders[4] = {"$1", "$2", "$3", "$4"};
    for (int i = 0; i < 4; ++i) {
        if (arguments[i]) dstr_replace(dst, placeholders[i], arguments[i]);
    }
}

void dstr_insert(dstr* dst, size_t index, const char* text) {
    if (!text || !*text) return;
    insert_bytes(dst, index, text, std::strlen(text));
}

void dstr_insert_dstr(dstr* dst, size_t index, const dstr* src) {
    if (dstr_is_empty(src)) return;
    insert_bytes(dst, index, src->text, src->length);
}

void dstr_insert_ch(dstr* dst, size_t index, char ch) {
    if (index > dst->length) index = dst->length;
    dstr_ensure_capacity(dst, dst->length + 2);
    std::memmove(dst->text + index + 1, dst->text + index, dst->length - index);
    dst->text[index] = ch;
    dst->length += 1;
    dst->text[dst->length] = 0;
}

void dstr_remove(dstr* dst, size_t index, size_t count) {
    if (!count || index >= dst->length) return;
    if (count > dst->length - index) count = dst->length - index;
    if (count == dst->length) {
        dstr_free(dst);
        return;
    }
    std::memmove(dst->text + index, dst->text + index + count, dst->length - index - count + 1);
    dst->length -= count;
}

void dstr_replace(dstr* dst, const char* find, const char* replacement) {
    if (dstr_is_empty(dst) || !find || !*find) return;
    replacement = or_empty(replacement);
    // Private copies: find or replacement may point into the buffer being rewritten.
    char* find_copy = nullptr;
    char* replacement_copy = nullptr;
    const size_t find_length = std::strlen(find);
    const size_t replacement_length = std::strlen(replacement);
    if (points_into(dst, find)) find = find_copy = static_cast<char*>(Memdup(find, find_length + 1));
    if (points_into(dst, replacement)) {
        replacement = replacement_copy = static_cast<char*>(Memdup(replacement, replacement_length + 1));
    }
    const std::string_view needle(find, find_length);

    if (replacement_length <= find_length) {
        // In place, left to right: the write position never passes the read position.
        const std::string_view haystack(dst->text, dst->length);
        size_t read = 0, write = 0;
        for (size_t hit = haystack.find(needle); hit != std::string_view::npos; hit = haystack.find(needle, read)) {
            std::memmove(dst->text + write, dst->text + read, hit - read);
            write += hit - read;
            std::memcpy(dst->text + write, replacement, replacement_length);
            write += replacement_length;
            read = hit + find_length;
        }
        std::memmove(dst->text + write, dst->text + read, dst->length - read);
        write += dst->length - read;
        dst->length = write;
        dst->text[write] = 0;
        if (!write) dstr_free(dst);
    } else {
        size_t count = 0;
        {
            const std::string_view haystack(dst->text, dst->length);
            for (size_t hit = haystack.find(needle); hit != std::string_view::npos;
                 hit = haystack.find(needle, hit + find_length)) {
                ++count;
            }
        }
        if (count) {
            const size_t old_length = dst->length;
            const size_t new_length = old_length + count * (replacement_length - find_length);
            dstr_ensure_capacity(dst, new_length + 1);
            // Move the old text to the end of the grown buffer and rebuild from the front,
            // reading behind the writer; inserted text is never searched again.
            const size_t shift = new_length - old_length;
            std::memmove(dst->text + shift, dst->text, old_length);
            const std::string_view haystack(dst->text + shift, old_length);
            size_t read = 0, write = 0;
            for (size_t hit = haystack.find(needle); hit != std::string_view::npos;
                 hit = haystack.find(needle, read)) {
                std::memmove(dst->text + write, dst->text + shift + read, hit - read);
                write += hit - read;
                std::memcpy(dst->text + write, replacement, replacement_length);
                write += replacement_length;
                read = hit + find_length;
            }
            std::memmove(dst->text + write, dst->text + shift + read, old_length - read);
            write += old_length - read;
            dst->length = write;
            dst->text[write] = 0;
        }
    }
    Free(find_copy);
    Free(replacement_copy);
}

void dstr_left(dstr* dst, const dstr* src, size_t n) {
    if (n > src->length) n = src->length;
    if (dst == src) {
        if (!n) {
            dstr_free(dst);
            return;
        }
        dst->length = n;
        dst->text[n] = 0;
        return;
    }
    assign_bytes(dst, src->text, n);
}

void dstr_mid(dstr* dst, const dstr* src, size_t start, size_t count) {
    if (start > src->length) start = src->length;
    if (count > src->length - start) count = src->length - start;
    assign_bytes(dst, src->text ? src->text + start : nullptr, count);
}

void dstr_right(dstr* dst, const dstr* src, size_t start) {
    if (start > src->length) start = src->length;
    assign_bytes(dst, src->text ? src->text + start : nullptr, src->length - start);
}

void dstr_depad(dstr* dst) {
    if (!dst->text) return;
    strdepad(dst->text);
    dst->length = std::strlen(dst->text);
    if (!dst->length) dstr_free(dst);
}

int astrcmp_n(const char* a, const char* b, size_t n) { return compare_n(a, b, n, identity, true); }

int astrcmpi(const char* a, const char* b) { return compare_n(a, b, 0, fold, false); }

int astrcmpi_n(const char* a, const char* b, size_t n) { return compare_n(a, b, n, fold, true); }

const char* astrstri(const char* text, const char* find) { return find_folded(text, find, fold); }

int wstrcmp_n(const wchar_t* a, const wchar_t* b, size_t n) {
    return compare_n(a, b, n, [](wchar_t c) { return c; }, true);
}

int wstrcmpi(const wchar_t* a, const wchar_t* b) { return compare_n(a, b, 0, wfold, false); }

int wstrcmpi_n(const wchar_t* a, const wchar_t* b, size_t n) { return compare_n(a, b, n, wfold, true); }

const wchar_t* wstrstri(const wchar_t* text, const wchar_t* find) { return find_folded(text, find, wfold); }

int strref_cmp(const strref* ref, const char* text) { return slice_vs_text(ref, text, false); }

int strref_cmpi(const strref* ref, const char* text) { return slice_vs_text(ref, text, true); }

int strref_cmp_strref(const strref* a, const strref* b) { return slice_vs_slice(a, b, false); }

int strref_cmpi_strref(const strref* a, const strref* b) { return slice_vs_slice(a, b, true); }

char* strdepad(char* text) {
    if (!text) return nullptr;
    char* start = text;
    while (is_blank(*start)) ++start;
    size_t length = std::strlen(start);
    if (start != text) std::memmove(text, start, length + 1);
    while (length && is_blank(text[length - 1])) text[--length] = 0;
    return text;
}

wchar_t* wcsdepad(wchar_t* text) {
    if (!text) return nullptr;
    auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    wchar_t* start = text;
    while (blank(*start)) ++start;
    size_t length = std::wcslen(start);
    if (start != text) std::memmove(text, start, (length + 1) * sizeof(wchar_t));
    while (length && blank(text[length - 1])) text[--length] = 0;
    return text;
}

char** strlist_split(const char* text, char delimiter, bool include_empty) {
    if (!text) return nullptr;
    // First pass: how many pieces are kept and how many bytes they need.
    size_t count = 0, bytes = 0;
    for (const char* piece = text;;) {
        const char* end = std::strchr(piece, delimiter);
        if (!delimiter || !end) end = piece + std::strlen(piece);
        const size_t length = static_cast<size_t>(end - piece);
        if (length || include_empty) {
            ++count;
            bytes += length + 1;
        }
        if (!*end) break;
        piece = end + 1;
    }
    const size_t table = (count + 1) * sizeof(char*);
    auto* list = static_cast<char**>(Malloc(table + bytes));
    if (!list) return nullptr;
    char* out = reinterpret_cast<char*>(list) + table;
    size_t index = 0;
    for (const char* piece = text;;) {
        const char* end = std::strchr(piece, delimiter);
        if (!delimiter || !end) end = piece + std::strlen(piece);
        const size_t length = static_cast<size_t>(end - piece);
        if (length || include_empty) {
            list[index++] = out;
            std::memcpy(out, piece, length);
            out[length] = 0;
            out += length + 1;
        }
        if (!*end) break;
        piece = end + 1;
    }
    list[index] = nullptr;
    return list;
}

void strlist_free(char** list) { Free(list); }

bool valid_int_str(const char* text, size_t n) {
    if (!text || !*text) return false;
    if (*text == '+' || *text == '-') ++text;
    if (!*text) return false;
    for (size_t i = 0; text[i] && (!n || i < n); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

bool valid_float_str(const char* text, size_t n) {
    if (!text || !*text) return false;
    if (!n) n = std::strlen(text);
    if (*text == '+' || *text == '-') ++text;
    bool digit = false, point = false, exponent = false;
    for (size_t i = 0; text[i] && i < n; ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.') {
            if (point || exponent || !digit) return false;
            point = true;
        } else if (c == 'e') {
            if (exponent || !digit) return false;
            exponent = true;
            digit = false;
        } else if (c == '+' || c == '-') {
            if (!exponent || !digit) return false;
        } else {
            return false;
        }
    }
    return digit;
}

}  // namespace Tools
