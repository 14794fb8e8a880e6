// Conversions between UTF-8, wide text and the locale's multi-byte text.
// UTF-8 is decoded and encoded here rather than through the locale, so the
// conversions work the same in a program that never called setlocale.

#include <climits>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "Tools/memory.h"
#include "Tools/os.h"

static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 on this platform");

namespace Tools {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point from [p, end). An ill-formed sequence yields one
// U+FFFD per maximal ill-formed subpart, as the Unicode standard recommends,
// so no input byte can hide the ones that follow it.
size_t DecodeUtf8(const unsigned char* p, const unsigned char* end, char32_t* out) {
    const unsigned lead = p[0];
    if (lead < 0x80) {
        *out = lead;
        return 1;
    }
    size_t trailing;
    char32_t code;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        code = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        code = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        *out = kReplacement;
        return 1;
    }
    size_t used = 1;
    for (; used <= trailing; ++used) {
        if (p + used >= end) break;
        const unsigned next = p[used];
        if (next < low || next > high) break;
        low = 0x80;
        high = 0xBF;
        code = (code << 6) | (next & 0x3F);
    }
    *out = used > trailing ? code : kReplacement;
    return used;
}

size_t EncodeUtf8(char32_t code, char* out) {
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = kReplacement;
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code >> 6));
        out[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code >> 12));
        out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

template <typename Unit>
void Terminate(Unit* destination, size_t size) {
    if (destination && size > 0) destination[0] = 0;
}

template <typename Unit>
Unit* AllocateUnits(size_t count) {
    if (count >= SIZE_MAX / sizeof(Unit)) return nullptr;
    return static_cast<Unit*>(Malloc((count + 1) * sizeof(Unit)));
}

// Runs a plain conversion twice: once to learn the size, once into an exact
// allocation.
template <typename From, typename To, typename Convert>
size_t ConvertToNew(const From* source, size_t source_length, To** out, Convert convert) {
    if (!out) return 0;
    *out = nullptr;
    if (!source) return 0;
    const size_t needed = convert(source, source_length, nullptr, 0);
    To* buffer = AllocateUnits<To>(needed);
    if (!buffer) return 0;
    const size_t written = convert(source, source_length, buffer, needed + 1);
    buffer[written] = 0;
    *out = buffer;
    return written;
}

}  // namespace

size_t os_utf8_to_wcs(const char* source, size_t source_length, wchar_t* destination, size_t size) {
    if (!source) {
        Terminate(destination, size);
        return 0;
    }
    if (source_length == 0) source_length = std::strlen(source);
    auto* p = reinterpret_cast<const unsigned char*>(source);
    const unsigned char* end = p + source_length;
    if (source_length > 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;

    size_t needed = 0;
    char32_t code;
    for (const unsigned char* q = p; q < end; ++needed) q += DecodeUtf8(q, end, &code);
    if (!destination) return needed;
    if (size == 0) return 0;
    // The whole text or nothing: a cut text could be taken for a complete one.
    if (needed > size - 1) {
        destination[0] = 0;
        return 0;
    }
    size_t written = 0;
    while (p < end) {
        p += DecodeUtf8(p, end, &code);
        destination[written++] = static_cast<wchar_t>(code);
    }
    destination[written] = 0;
    return written;
}

size_t os_wcs_to_utf8(const wchar_t* source, size_t source_length, char* destination, size_t size) {
    if (!source) {
        Terminate(destination, size);
        return 0;
    }
    if (source_length == 0) source_length = std::wcslen(source);
    char bytes[4];
    size_t needed = 0;
    for (size_t i = 0; i < source_length; ++i) needed += EncodeUtf8(static_cast<char32_t>(source[i]), bytes);
    if (!destination) return needed;
    if (size == 0) return 0;
    if (needed > size - 1) {
        destination[0] = 0;
        return 0;
    }
    size_t written = 0;
    for (size_t i = 0; i < source_length; ++i)
        written += EncodeUtf8(static_cast<char32_t>(source[i]), destination + written);
    destination[written] = 0;
    return written;
}

// The locale conversions stop when the destination is full, like mbstowcs,
// and never split a character. Bytes the locale cannot decode and characters
// it cannot encode become '?', so a bad byte never ends the text early.
size_t os_mbs_to_wcs(const char* source, size_t source_length, wchar_t* destination, size_t size) {
    if (!source) {
        Terminate(destination, size);
        return 0;
    }
    if (destination && size == 0) return 0;
    if (source_length == 0) source_length = std::strlen(source);
    const size_t limit = destination ? size - 1 : SIZE_MAX;
    std::mbstate_t state{};
    const char* p = source;
    const char* end = source + source_length;
    size_t written = 0;
    while (p < end && written < limit) {
        wchar_t unit;
        size_t used = std::mbrtowc(&unit, p, static_cast<size_t>(end - p), &state);
        if (used == 0) break;  // a terminator inside the given length ends the text
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
            unit = L'?';
            used = 1;
            state = std::mbstate_t{};
        }
        if (destination) destination[written] = unit;
        ++written;
        p += used;
    }
    if (destination) destination[written] = 0;
    return written;
}

size_t os_wcs_to_mbs(const wchar_t* source, size_t source_length, char* destination, size_t size) {
    if (!source) {
        Terminate(destination, size);
        return 0;
    }
    if (destination && size == 0) return 0;
    if (source_length == 0) source_length = std::wcslen(source);
    const size_t limit = destination ? size - 1 : SIZE_MAX;
    std::mbstate_t state{};
    size_t written = 0;
    for (size_t i = 0; i < source_length && source[i] != 0; ++i) {
        char bytes[MB_LEN_MAX];
        size_t length = std::wcrtomb(bytes, source[i], &state);
        if (length == static_cast<size_t>(-1)) {
            bytes[0] = '?';
            length = 1;
            state = std::mbstate_t{};
        }
        if (length > limit - written) break;
        if (destination) std::memcpy(destination + written, bytes, length);
        written += length;
    }
    if (destination) destination[written] = 0;
    return written;
}

size_t os_mbs_to_utf8(const char* source, size_t source_length, char* destination, size_t size) {
    if (!source) {
        Terminate(destination, size);
        return 0;
    }
    wchar_t* wide = nullptr;
    const size_t count = os_mbs_to_wcs_ptr(source, source_length, &wide);
    if (!wide) {
        Terminate(destination, size);
        return 0;
    }
    size_t result = 0;
    if (count == 0)
        Terminate(destination, size);
    else
        result = os_wcs_to_utf8(wide, count, destination, size);
    Free(wide);
    return result;
}

size_t os_utf8_to_mbs(const char* source, size_t source_length, char* destination, size_t size) {
    if (!source) {
        Terminate(destination, size);
        return 0;
    }
    wchar_t* wide = nullptr;
    const size_t count = os_utf8_to_wcs_ptr(source, source_length, &wide);
    if (!wide) {
        Terminate(destination, size);
        return 0;
    }
    size_t result = 0;
    if (count == 0)
        Terminate(destination, size);
    else
        result = os_wcs_to_mbs(wide, count, destination, size);
    Free(wide);
    return result;
}

size_t os_utf8_to_wcs_ptr(const char* source, size_t source_length, wchar_t** out) {
    return ConvertToNew(source, source_length, out, os_utf8_to_wcs);
}

size_t os_wcs_to_utf8_ptr(const wchar_t* source, size_t source_length, char** out) {
    return ConvertToNew(source, source_length, out, os_wcs_to_utf8);
}

size_t os_mbs_to_wcs_ptr(const char* source, size_t source_length, wchar_t** out) {
    return ConvertToNew(source, source_length, out, os_mbs_to_wcs);
}

size_t os_wcs_to_mbs_ptr(const wchar_t* source, size_t source_length, char** out) {
    return ConvertToNew(source, source_length, out, os_wcs_to_mbs);
}

size_t os_mbs_to_utf8_ptr(const char* source, size_t source_length, char** out) {
    return ConvertToNew(source, source_length, out, os_mbs_to_utf8);
}

size_t os_utf8_to_mbs_ptr(const char* source, size_t source_length, char** out) {
    return ConvertToNew(source, source_length, out, os_utf8_to_mbs);
}

}  // namespace Tools
