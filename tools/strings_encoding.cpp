// The dstr functions that convert encodings; they rest on the os_* converters.
#include "Tools/dstr.h"
#include "Tools/os.h"

#include <cwctype>

namespace Tools {

namespace {

// Takes over a Malloc'd, terminated text of length units as the new content.
void adopt(dstr* dst, char* text, size_t length) {
    dstr_free(dst);
    if (!text || !length) {
        Free(text);
        return;
    }
    dst->text = text;
    dst->length = length;
    dst->capacity = length + 1;
}

template <typename Map>
void map_case(dstr* str, Map map) {
    if (dstr_is_empty(str)) return;
    wchar_t* wide = nullptr;
    const size_t units = os_utf8_to_wcs_ptr(str->text, str->length, &wide);
    if (!wide || !units) {
        // Not convertible: keep the text rather than lose it.
        Free(wide);
        return;
    }
    for (size_t i = 0; i < units; ++i) wide[i] = static_cast<wchar_t>(map(static_cast<wint_t>(wide[i])));
    char* utf8 = nullptr;
    const size_t length = os_wcs_to_utf8_ptr(wide, units, &utf8);
    Free(wide);
    if (!utf8 || !length) {
        Free(utf8);
        return;
    }
    adopt(str, utf8, length);
}

}  // namespace

void dstr_to_lower(dstr* str) { map_case(str, [](wint_t c) { return std::towlower(c); }); }

void dstr_to_upper(dstr* str) { map_case(str, [](wint_t c) { return std::towupper(c); }); }

void dstr_from_mbs(dstr* dst, const char* mbs) {
    if (!mbs || !*mbs) {
        dstr_free(dst);
        return;
    }
    char* utf8 = nullptr;
    const size_t length = os_mbs_to_utf8_ptr(mbs, 0, &utf8);
    adopt(dst, utf8, length);
}

void dstr_from_wcs(dstr* dst, const wchar_t* wcs) {
    if (!wcs || !*wcs) {
        dstr_free(dst);
        return;
    }
    char* utf8 = nullptr;
    const size_t length = os_wcs_to_utf8_ptr(wcs, 0, &utf8);
    adopt(dst, utf8, length);
}

char* dstr_to_mbs(const dstr* str) {
    char* mbs = nullptr;
    if (str->text) os_utf8_to_mbs_ptr(str->text, str->length, &mbs);
    return mbs;
}

wchar_t* dstr_to_wcs(const dstr* str) {
    wchar_t* wcs = nullptr;
    if (str->text) os_utf8_to_wcs_ptr(str->text, str->length, &wcs);
    return wcs;
}

}  // namespace Tools
