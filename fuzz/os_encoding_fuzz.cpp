// Untrusted bytes through the UTF-8 decoder, the locale conversions and the
// command-line splitter: no read or write outside the buffers, and the
// documented size rules hold for every input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Tools/memory.h"
#include "Tools/os.h"
#include "tools/os_process_p.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    using namespace Tools;
    const std::string text(reinterpret_cast<const char*>(data), size);

    const size_t needed = os_utf8_to_wcs(text.data(), text.size(), nullptr, 0);
    Check(needed <= text.size());
    std::vector<wchar_t> wide(needed + 1, L'#');
    if (needed > 0) {
        Check(os_utf8_to_wcs(text.data(), text.size(), wide.data(), needed) == 0);  // one unit short
        Check(wide[0] == 0);
    }
    Check(os_utf8_to_wcs(text.data(), text.size(), wide.data(), wide.size()) == needed);
    Check(wide[needed] == 0);
    for (size_t i = 0; i < needed; ++i) {
        const uint32_t unit = static_cast<uint32_t>(wide[i]);
        Check(unit <= 0x10FFFF && (unit < 0xD800 || unit > 0xDFFF));
    }

    char* utf8 = nullptr;
    const size_t bytes = os_wcs_to_utf8_ptr(wide.data(), needed, &utf8);
    if (needed > 0) {
        Check(utf8 != nullptr);
        wchar_t* again = nullptr;
        const size_t count = os_utf8_to_wcs_ptr(utf8, bytes, &again);
        // A leading U+FEFF becomes a byte-order mark that the next decode skips.
        if (wide[0] != 0xFEFF) {
            Check(count == needed);
            Check(std::wstring(again, count) == std::wstring(wide.data(), needed));
        }
        Free(again);
    }
    Free(utf8);

    // Locale conversions stop when full and always terminate inside the size.
    for (size_t limit : {size_t{1}, size_t{2}, size / 2 + 1, size + 1}) {
        std::vector<wchar_t> out(limit + 1, L'#');
        const size_t written = os_mbs_to_wcs(text.data(), text.size(), out.data(), limit);
        Check(written < limit && out[written] == 0 && out[limit] == L'#');
        std::vector<char> back(limit + 1, '#');
        const size_t back_written = os_wcs_to_mbs(wide.data(), needed ? needed : 1, back.data(), limit);
        Check(back_written < limit && back[back_written] == 0 && back[limit] == '#');
    }

    const std::vector<std::string> arguments = detail::SplitCommandLine(text.c_str());
    Check(arguments.size() <= text.size());
    return 0;
}
