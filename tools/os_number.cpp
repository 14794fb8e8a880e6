// Number text that reads and writes "." whatever the locale's decimal point.

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tools/os.h"

namespace Tools {
namespace {

const char* DecimalPoint() {
    const char* point = std::localeconv()->decimal_point;
    return point && *point ? point : ".";
}

}  // namespace

int os_dtostr(double value, char* destination, size_t size) {
    if (!destination || size == 0) return -1;
    int length = std::snprintf(destination, size, "%.17g", value);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        destination[0] = 0;
        return -1;
    }
    // The locale's point may be longer than one byte; the text only shrinks.
    const char* point = DecimalPoint();
    if (std::strcmp(point, ".") != 0) {
        if (char* found = std::strstr(destination, point)) {
            const size_t point_length = std::strlen(point);
            *found = '.';
            std::memmove(found + 1, found + point_length, std::strlen(found + point_length) + 1);
            length -= static_cast<int>(point_length - 1);
        }
    }
    // "inf" and "nan" stay as they are: "inf.0" would not read back.
    if (std::isfinite(value) && !std::strchr(destination, '.') && !std::strchr(destination, 'e')) {
        if (static_cast<size_t>(length) + 2 >= size) {
            destination[0] = 0;
            return -1;
        }
        std::memcpy(destination + length, ".0", 3);
        length += 2;
    }
    if (char* exponent = std::strchr(destination, 'e')) {
        char* digits = exponent + 1;
        if (*digits == '+') {
            std::memmove(digits, digits + 1, std::strlen(digits + 1) + 1);
        } else if (*digits == '-') {
            ++digits;
        }
        char* first = digits;
        while (*first == '0' && first[1] != 0) ++first;
        if (first != digits) std::memmove(digits, first, std::strlen(first) + 1);
        length = static_cast<int>(std::strlen(destination));
    }
    return length;
}

double os_strtod(const char* text) {
    if (!text) return 0.0;
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%s", text);
    const char* point = DecimalPoint();
    if (std::strcmp(point, ".") != 0) {
        if (char* found = std::strchr(buffer, '.')) {
            // Room for a point of up to MB_LEN_MAX bytes in place of ".".
            char replaced[64 + 16];
            const size_t head = static_cast<size_t>(found - buffer);
            std::snprintf(replaced, sizeof(replaced), "%.*s%s%s", static_cast<int>(head), buffer, point,
                          found + 1);
            return std::strtod(replaced, nullptr);
        }
    }
    return std::strtod(buffer, nullptr);
}

}  // namespace Tools
