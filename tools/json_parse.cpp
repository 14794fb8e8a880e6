// The JSON parser: one pass over the input, never more than one character of
// look-back, every read checked against the end of the input.

#include <clocale>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <system_error>

#include "tools/json.h"
#include "tools/json_p.h"

namespace Tools::json {
namespace {

constexpr int kMaxDepth = 200;

// How a byte is named in error messages.
std::string describe(char c) {
    unsigned char byte = static_cast<unsigned char>(c);
    char buffer[16];
    if (byte >= 0x20 && byte <= 0x7F) {
        std::snprintf(buffer, sizeof buffer, "'%c' (%d)", c, byte);
    } else {
        std::snprintf(buffer, sizeof buffer, "(%d)", static_cast<int>(static_cast<signed char>(c)));
    }
    return buffer;
}

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Whether any of the 8 bytes is zero, or below 0x20 (exact for "any").
constexpr uint64_t any_zero(uint64_t w) { return (w - kOnes) & ~w & kHighs; }
constexpr uint64_t any_control(uint64_t w) { return (w - kOnes * 0x20) & ~w & kHighs; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void append_utf8(uint32_t code_point, std::string& out) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        char bytes[2] = {static_cast<char>(0xC0 | (code_point >> 6)), static_cast<char>(0x80 | (code_point & 0x3F))};
        out.append(bytes, 2);
    } else if (code_point <= 0xFFFF) {
        char bytes[3] = {static_cast<char>(0xE0 | (code_point >> 12)),
                         static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)),
                         static_cast<char>(0x80 | (code_point & 0x3F))};
        out.append(bytes, 3);
    } else {
        char bytes[4] = {static_cast<char>(0xF0 | (code_point >> 18)),
                         static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)),
                         static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)),
                         static_cast<char>(0x80 | (code_point & 0x3F))};
        out.append(bytes, 4);
    }
}

// strtod in the "C" locale, for the rare numbers from_chars does not take
// (out of the double range, where strtod saturates or rounds to zero).
double c_locale_strtod(const char* begin, const char* end) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    std::string text(begin, end);
    return strtod_l(text.c_str(), nullptr, c_locale);
}

class Parser {
public:
    Parser(std::string_view input, ParseMode mode)
        : m_pos(input.data()), m_end(input.data() + input.size()), m_comments(mode == ParseMode::comments) {}

    Json parse_document(std::string& error) {
        Json result = parse_value(0);
        if (!m_failed && skip() && m_pos != m_end) fail("unexpected trailing " + describe(*m_pos));
        if (!m_failed) return result;
        // Stored only now, so that an error text that aliases the input
        // cannot change what is still being read.
        error = std::move(m_message);
        return Json();
    }

private:
    void fail(std::string message) {
        if (m_failed) return;
        m_failed = true;
        m_message = std::move(message);
    }

    void skip_blanks() {
        while (m_pos != m_end && (*m_pos == ' ' || *m_pos == '\n' || *m_pos == '\r' || *m_pos == '\t')) ++m_pos;
    }

    // Blanks and, in comments mode, comments. False once the parse failed.
    bool skip() {
        skip_blanks();
        if (!m_comments) return true;
        while (m_pos != m_end && *m_pos == '/') {
            ++m_pos;
            if (m_pos == m_end) {
                fail("unexpected end of input after start of comment");
                return false;
            }
            if (*m_pos == '/') {
                // The LF stays, as a blank.
                const void* lf = std::memchr(m_pos, '\n', static_cast<std::size_t>(m_end - m_pos));
                m_pos = lf ? static_cast<const char*>(lf) : m_end;
            } else if (*m_pos == '*') {
                ++m_pos;
                for (;;) {
                    const void* star = std::memchr(m_pos, '*', static_cast<std::size_t>(m_end - m_pos));
                    if (!star || static_cast<const char*>(star) + 1 >= m_end) {
                        fail("unexpected end of input inside multi-line comment");
                        return false;
                    }
                    m_pos = static_cast<const char*>(star) + 1;
                    if (*m_pos == '/') {
                        ++m_pos;
                        break;
                    }
                }
            } else {
                fail("malformed comment");
                return false;
            }
            skip_blanks();
        }
        return true;
    }

    // The next character after blanks (and comments), or -1 after a failure.
    int next_token() {
        if (!skip()) return -1;
        if (m_pos == m_end) {
            fail("unexpected end of input");
            return -1;
        }
        return static_cast<unsigned char>(*m_pos++);
    }

    Json parse_value(int depth) {
        if (depth > kMaxDepth) {
            fail("exceeded maximum nesting depth");
            return Json();
        }
        int ch = next_token();
        if (ch < 0) return Json();
        switch (ch) {
        case '-': case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            --m_pos;
            return parse_number();
        case 't': return parse_word("true", json_statics().t);
        case 'f': return parse_word("false", json_statics().f);
        case 'n': return parse_word("null", json_statics().null);
        case '"': {
            std::string text;
            if (!parse_string(text)) return Json();
            return Json(std::make_shared<JsonString>(std::move(text)));
        }
        case '[': return parse_array(depth);
        case '{': return parse_object(depth);
        default:
            fail("expected value, got " + describe(static_cast<char>(ch)));
            return Json();
        }
    }

    // The word's first character has been taken.
    Json parse_word(std::string_view word, const Json& value) {
        const char* start = m_pos - 1;
        std::size_t available = std::min(word.size(), static_cast<std::size_t>(m_end - start));
        if (available == word.size() && std::memcmp(start, word.data(), word.size()) == 0) {
            m_pos = start + word.size();
            return value;
        }
        fail("parse error: expected " + std::string(word) + ", got " + std::string(start, available));
        return Json();
    }

    Json parse_number() {
        const char* start = m_pos;
        bool negative = false;
        if (*m_pos == '-') {
            negative = true;
            ++m_pos;
        }
        const char* digits = m_pos;
        if (m_pos != m_end && *m_pos == '0') {
            ++m_pos;
            if (m_pos != m_end && is_digit(*m_pos)) {
                fail("leading 0s not permitted in numbers");
                return Json();
            }
        } else if (m_pos != m_end && *m_pos >= '1' && *m_pos <= '9') {
            ++m_pos;
            while (m_pos != m_end && is_digit(*m_pos)) ++m_pos;
        } else {
            fail("invalid " + describe(m_pos != m_end ? *m_pos : '\0') + " in number");
            return Json();
        }

        if (m_pos == m_end || (*m_pos != '.' && *m_pos != 'e' && *m_pos != 'E')) {
            const char* digits_end = m_pos;
            if (m_pos - start <= 9) {
                int value = 0;
                for (const char* p = digits; p != digits_end; ++p) value = value * 10 + (*p - '0');
                return Json(std::make_shared<JsonInt>(negative ? -value : value));
            }
            // Beyond the 64-bit range the value saturates, as atoll does.
            uint64_t magnitude = 0;
            bool overflow = false;
            for (const char* p = digits; p != digits_end; ++p) {
                unsigned digit = static_cast<unsigned>(*p - '0');
                if (magnitude > (UINT64_MAX - digit) / 10) {
                    overflow = true;
                    break;
                }
                magnitude = magnitude * 10 + digit;
            }
            int64_t value;
            if (negative) {
                value = (overflow || magnitude >= (uint64_t{1} << 63)) ? INT64_MIN : -static_cast<int64_t>(magnitude);
            } else {
                value = (overflow || magnitude > static_cast<uint64_t>(INT64_MAX)) ? INT64_MAX
                                                                                   : static_cast<int64_t>(magnitude);
            }
            return Json(std::make_shared<JsonInt64>(value));
        }

        if (*m_pos == '.') {
            ++m_pos;
            if (m_pos == m_end || !is_digit(*m_pos)) {
                fail("at least one digit required in fractional part");
                return Json();
            }
            while (m_pos != m_end && is_digit(*m_pos)) ++m_pos;
        }
        if (m_pos != m_end && (*m_pos == 'e' || *m_pos == 'E')) {
            ++m_pos;
            if (m_pos != m_end && (*m_pos == '+' || *m_pos == '-')) ++m_pos;
            if (m_pos == m_end || !is_digit(*m_pos)) {
                fail("at least one digit required in exponent");
                return Json();
            }
            while (m_pos != m_end && is_digit(*m_pos)) ++m_pos;
        }
        double value = 0.0;
        auto result = std::from_chars(start, m_pos, value);
        if (result.ec != std::errc() || result.ptr != m_pos) value = c_locale_strtod(start, m_pos);
        return Json(std::make_shared<JsonDouble>(value));
    }

    // After the opening quote. A code point from \u is held back until the
    // next character is seen, so that a following low surrogate can join it.
    bool parse_string(std::string& out) {
        constexpr uint32_t kNone = 0xFFFFFFFF;
        uint32_t held = kNone;
        auto flush = [&] {
            if (held != kNone) append_utf8(held, out);
            held = kNone;
        };
        for (;;) {
            const char* run = m_pos;
            // Eight bytes at a time while none is a quote, a backslash or a control.
            while (m_end - m_pos >= 8) {
                uint64_t word;
                std::memcpy(&word, m_pos, 8);
                if (any_zero(word ^ (kOnes * '"')) | any_zero(word ^ (kOnes * '\\')) | any_control(word)) break;
                m_pos += 8;
            }
            while (m_pos != m_end) {
                unsigned char c = static_cast<unsigned char>(*m_pos);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++m_pos;
            }
            if (m_pos != run) {
                flush();
                out.append(run, m_pos);
            }
            if (m_pos == m_end) {
                fail("unexpected end of input in string");
                return false;
            }
            char ch = *m_pos++;
            if (ch == '"') {
                flush();
                return true;
            }
            if (ch != '\\') {
                fail("unescaped " + describe(ch) + " in string");
                return false;
            }
            if (m_pos == m_end) {
                fail("unexpected end of input in string");
                return false;
            }
            ch = *m_pos++;
            if (ch == 'u') {
                std::size_t available = std::min<std::size_t>(4, static_cast<std::size_t>(m_end - m_pos));
                uint32_t code_point = 0;
                bool valid = available == 4;
                for (std::size_t i = 0; i < available && valid; ++i) {
                    char h = m_pos[i];
                    uint32_t nibble;
                    if (h >= '0' && h <= '9') nibble = static_cast<uint32_t>(h - '0');
                    else if (h >= 'a' && h <= 'f') nibble = static_cast<uint32_t>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F') nibble = static_cast<uint32_t>(h - 'A' + 10);
                    else valid = false;
                    if (valid) code_point = (code_point << 4) | nibble;
                }
                if (!valid) {
                    fail("bad \\u escape: " + std::string(m_pos, available));
                    return false;
                }
                m_pos += 4;
                if (held >= 0xD800 && held <= 0xDBFF && code_point >= 0xDC00 && code_point <= 0xDFFF) {
                    append_utf8(0x10000 + (((held - 0xD800) << 10) | (code_point - 0xDC00)), out);
                    held = kNone;
                } else {
                    flush();
                    held = code_point;
                }
                continue;
            }
            flush();
            switch (ch) {
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '"': case '\\': case '/': out += ch; break;
            default:
                fail("invalid escape character " + describe(ch));
                return false;
            }
        }
    }

    // After "[". Elements gather on a stack shared by all nesting levels, so
    // that each array is allocated once at its final size.
    Json parse_array(int depth) {
        const std::size_t base = m_elements.size();
        int ch = next_token();
        if (ch < 0) return Json();
        if (ch != ']') {
            for (;;) {
                --m_pos;
                Json value = parse_value(depth + 1);
                if (m_failed) return Json();
                m_elements.push_back(std::move(value));
                ch = next_token();
                if (ch < 0) return Json();
                if (ch == ']') break;
                if (ch != ',') {
                    fail("expected ',' in list, got " + describe(static_cast<char>(ch)));
                    return Json();
                }
                if (next_token() < 0) return Json();
            }
        }
        auto first = m_elements.begin() + static_cast<std::ptrdiff_t>(base);
        Json::array values(std::make_move_iterator(first), std::make_move_iterator(m_elements.end()));
        m_elements.erase(first, m_elements.end());
        return Json(std::make_shared<JsonArray>(std::move(values)));
    }

    // After "{". Members gather on a shared stack like array elements.
    Json parse_object(int depth) {
        const std::size_t base = m_members.size();
        int ch = next_token();
        if (ch < 0) return Json();
        if (ch != '}') {
            for (;;) {
                if (ch != '"') {
                    fail("expected '\"' in object, got " + describe(static_cast<char>(ch)));
                    return Json();
                }
                std::string key;
                if (!parse_string(key)) return Json();
                ch = next_token();
                if (ch < 0) return Json();
                if (ch != ':') {
                    fail("expected ':' in object, got " + describe(static_cast<char>(ch)));
                    return Json();
                }
                Json value = parse_value(depth + 1);
                if (m_failed) return Json();
                m_members.emplace_back(std::move(key), std::move(value));
                ch = next_token();
                if (ch < 0) return Json();
                if (ch == '}') break;
                if (ch != ',') {
                    fail("expected ',' in object, got " + describe(static_cast<char>(ch)));
                    return Json();
                }
                ch = next_token();
                if (ch < 0) return Json();
            }
        }
        auto first = m_members.begin() + static_cast<std::ptrdiff_t>(base);
        JsonMap::storage members(std::make_move_iterator(first), std::make_move_iterator(m_members.end()));
        m_members.erase(first, m_members.end());
        // Sorting also drops earlier duplicates: the last value under a key wins.
        return Json(std::make_shared<JsonObject>(JsonMap(std::move(members))));
    }

    const char* m_pos;
    const char* const m_end;
    const bool m_comments;
    bool m_failed = false;
    std::string m_message;
    std::vector<Json> m_elements;
    JsonMap::storage m_members;
};

}  // namespace

Json Json::parse(std::string_view input, std::string& error, ParseMode mode) {
    Parser parser(input, mode);
    return parser.parse_document(error);
}

}  // namespace Tools::json
