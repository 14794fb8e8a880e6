// The JSON parser: one pass over the input, never more than one character of
// look-back, every read checked against the end of the input.
//
// Each value is allocated once, at its final size: text without escapes is
// copied straight from the input, array elements and object members gather
// on stacks shared by all nesting levels, and object keys stay references
// into the input until their object is complete and sorted once.

#include <algorithm>
#include <bit>
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

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

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

// A number text already checked against the grammar, as strtod reads it.
double full_double(const char* begin, const char* end) {
    double value = 0.0;
    auto result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr != end) value = c_locale_strtod(begin, end);
    return value;
}

// The first eight bytes of a key (zeros past its end) as a number whose
// order is the byte-wise order of those bytes.
uint64_t key_prefix(const char* data, std::size_t size) {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, data, std::min<std::size_t>(size, 8));
    uint64_t prefix = 0;
    for (unsigned char b : bytes) prefix = (prefix << 8) | b;
    return prefix;
}

// A member waiting for its object to be complete. Its key is a piece of the
// input or, when it held escapes, of the parser's key buffer; both by offset,
// since the key buffer may move while it grows.
struct PendingMember {
    std::size_t offset;
    std::size_t size;
    bool in_input;
    Json value;
};

struct KeyRef {
    uint64_t prefix;  // decides most comparisons alone
    const char* data;
    std::size_t size;
    std::size_t index;  // into the member stack
};

// Byte-wise, as std::string compares. Keys that differ in their padded
// prefixes are ordered by them: where one key ends inside the prefix and the
// other goes on with a non-zero byte, the shorter one is a proper prefix.
bool key_less(const KeyRef& a, const KeyRef& b) noexcept {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    int order = std::memcmp(a.data, b.data, std::min(a.size, b.size));
    return order < 0 || (order == 0 && a.size < b.size);
}
bool key_equal(const KeyRef& a, const KeyRef& b) noexcept {
    return a.prefix == b.prefix && a.size == b.size && std::memcmp(a.data, b.data, a.size) == 0;
}

// The key order of an object that was not sorted already, kept for the next
// objects with the same keys in the same order (the records of an array),
// which then need no sort. The keys are copies: a shape outlives its input.
struct Shape {
    struct Key {
        uint64_t prefix;
        std::size_t size;
        std::size_t offset;  // into text
    };
    std::vector<Key> keys;              // in input order
    std::string text;                   // the key bytes
    std::vector<std::uint32_t> order;   // input positions in key order, one per distinct key

    bool matches(const std::vector<KeyRef>& refs) const noexcept {
        if (refs.size() != keys.size()) return false;
        for (std::size_t i = 0; i < refs.size(); ++i) {
            const Key& key = keys[i];
            const KeyRef& ref = refs[i];
            // The prefix holds the first eight bytes, so only longer keys
            // compare the rest.
            if (key.prefix != ref.prefix || key.size != ref.size) return false;
            if (key.size > 8 && std::memcmp(text.data() + key.offset + 8, ref.data + 8, key.size - 8) != 0) return false;
        }
        return true;
    }
};

// Objects of at most this many members and key bytes have their order kept.
constexpr std::size_t kShapeMembers = 64;
constexpr std::size_t kShapeKeyBytes = 2048;
constexpr std::size_t kShapes = 4;

// The stacks and buffers of a parse. Each thread keeps one set for its
// next parse, so that they need not grow again from nothing every time.
struct Scratch {
    std::vector<Json> elements;         // of the arrays being read, innermost last
    std::vector<PendingMember> members;  // of the objects being read, innermost last
    std::string keys;                    // keys that held escapes
    std::string text;                    // a string value being unescaped
    std::vector<KeyRef> order;           // of the object being finished
    Shape shapes[kShapes];               // recent key orders
    std::size_t next_shape = 0;          // the one replaced next
    bool busy = false;

    // Empty again; what grew large for one big document is let go.
    void reset() noexcept {
        elements.clear();
        members.clear();
        keys.clear();
        text.clear();
        order.clear();
        if (elements.capacity() > 4096) std::vector<Json>().swap(elements);
        if (members.capacity() > 1024) std::vector<PendingMember>().swap(members);
        if (keys.capacity() > 16384) std::string().swap(keys);
        if (text.capacity() > 16384) std::string().swap(text);
        if (order.capacity() > 1024) std::vector<KeyRef>().swap(order);
    }
};

class Parser {
public:
    Parser(std::string_view input, ParseMode mode, Scratch& scratch)
        : m_begin(input.data()),
          m_pos(input.data()),
          m_end(input.data() + input.size()),
          m_comments(mode == ParseMode::comments),
          m_elements(scratch.elements),
          m_members(scratch.members),
          m_keys(scratch.keys),
          m_text(scratch.text),
          m_order(scratch.order),
          m_shapes(scratch.shapes),
          m_next_shape(scratch.next_shape) {}

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
        // Most tokens follow nothing or one space.
        if (m_pos != m_end) {
            unsigned char c = static_cast<unsigned char>(*m_pos);
            if (c > ' ' && (c != '/' || !m_comments)) {
                ++m_pos;
                return c;
            }
            if (c == ' ' && m_end - m_pos >= 2) {
                c = static_cast<unsigned char>(m_pos[1]);
                if (c > ' ' && (c != '/' || !m_comments)) {
                    m_pos += 2;
                    return c;
                }
            }
        }
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
        return value_from(ch, depth);
    }

    // The value that begins with the token ch, already taken.
    Json value_from(int ch, int depth) {
        switch (ch) {
        case '-': case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            --m_pos;
            return parse_number();
        case 't': return parse_word("true", json_statics().t);
        case 'f': return parse_word("false", json_statics().f);
        case 'n': return parse_word("null", json_statics().null);
        case '"': return parse_string_value();
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

    // Integers are converted while they are read. A double whose digits fit
    // in 53 bits with an exact power of ten is one multiplication or
    // division, which rounds correctly; all others go to the full conversion.
    Json parse_number() {
        const char* start = m_pos;
        bool negative = false;
        if (*m_pos == '-') {
            negative = true;
            ++m_pos;
        }
        uint64_t mantissa = 0;
        int significant = 0;  // digits after leading zeros; past 19 the mantissa is not exact
        if (m_pos != m_end && *m_pos == '0') {
            ++m_pos;
            if (m_pos != m_end && is_digit(*m_pos)) {
                fail("leading 0s not permitted in numbers");
                return Json();
            }
        } else if (m_pos != m_end && *m_pos >= '1' && *m_pos <= '9') {
            const char* digits = m_pos;
            const char* exact_end = m_end - digits > 19 ? digits + 19 : m_end;
            do {
                mantissa = mantissa * 10 + static_cast<unsigned>(*m_pos - '0');
                ++m_pos;
            } while (m_pos != exact_end && is_digit(*m_pos));
            while (m_pos != m_end && is_digit(*m_pos)) ++m_pos;
            significant = static_cast<int>(std::min<std::ptrdiff_t>(m_pos - digits, 20));
        } else {
            fail("invalid " + describe(m_pos != m_end ? *m_pos : '\0') + " in number");
            return Json();
        }

        if (m_pos == m_end || (*m_pos != '.' && *m_pos != 'e' && *m_pos != 'E')) {
            if (m_pos - start <= 9) {
                int value = static_cast<int>(mantissa);
                return make_value<JsonInt>(negative ? -value : value);
            }
            // Beyond the 64-bit range the value saturates, as atoll does; 20
            // digits are always beyond it.
            bool overflow = significant > 19;
            int64_t value;
            if (negative) {
                value = (overflow || mantissa >= (uint64_t{1} << 63)) ? INT64_MIN : -static_cast<int64_t>(mantissa);
            } else {
                value = (overflow || mantissa > static_cast<uint64_t>(INT64_MAX)) ? INT64_MAX
                                                                                 : static_cast<int64_t>(mantissa);
            }
            return make_value<JsonInt64>(value);
        }

        int64_t exponent = 0;
        if (*m_pos == '.') {
            ++m_pos;
            if (m_pos == m_end || !is_digit(*m_pos)) {
                fail("at least one digit required in fractional part");
                return Json();
            }
            do {
                if (significant < 19) {
                    mantissa = mantissa * 10 + static_cast<unsigned>(*m_pos - '0');
                    if (mantissa != 0) ++significant;
                    --exponent;
                } else {
                    significant = 20;
                }
                ++m_pos;
            } while (m_pos != m_end && is_digit(*m_pos));
        }
        if (m_pos != m_end && (*m_pos == 'e' || *m_pos == 'E')) {
            ++m_pos;
            bool minus = false;
            if (m_pos != m_end && (*m_pos == '+' || *m_pos == '-')) {
                minus = *m_pos == '-';
                ++m_pos;
            }
            if (m_pos == m_end || !is_digit(*m_pos)) {
                fail("at least one digit required in exponent");
                return Json();
            }
            int written = 0;
            do {
                written = std::min(written * 10 + (*m_pos - '0'), 100000);
                ++m_pos;
            } while (m_pos != m_end && is_digit(*m_pos));
            exponent += minus ? -written : written;
        }
        double value;
        if (mantissa == 0) {
            value = negative ? -0.0 : 0.0;
        } else if (significant <= 19 && mantissa <= (uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
            value = static_cast<double>(mantissa);
            if (exponent < 0) {
                value /= kExactPowers[-exponent];
            } else {
                value *= kExactPowers[exponent];
            }
            if (negative) value = -value;
        } else {
            value = full_double(start, m_pos);
        }
        return make_value<JsonDouble>(value);
    }

    // Past bytes that stand for themselves in a string: neither a quote, a
    // backslash nor a control character.
    void skip_plain_text() {
        // Eight bytes at a time. The lowest flag of each test is exact, so the
        // lowest flag of all marks the first byte that is not plain.
        while (m_end - m_pos >= 8) {
            uint64_t word;
            std::memcpy(&word, m_pos, 8);
            uint64_t flags = any_zero(word ^ (kOnes * '"')) | any_zero(word ^ (kOnes * '\\')) | any_control(word);
            if (flags) {
                if constexpr (std::endian::native == std::endian::little) {
                    m_pos += std::countr_zero(flags) / 8;
                    return;
                }
                break;
            }
            m_pos += 8;
        }
        while (m_pos != m_end) {
            unsigned char c = static_cast<unsigned char>(*m_pos);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++m_pos;
        }
    }

    // The rest of a string whose plain beginning is already in out, from the
    // first byte that is not plain text. A code point from \u is held back
    // until the next character is seen, so that a following low surrogate
    // can join it.
    bool unescape_rest(std::string& out) {
        constexpr uint32_t kNone = 0xFFFFFFFF;
        uint32_t held = kNone;
        auto flush = [&] {
            if (held != kNone) append_utf8(held, out);
            held = kNone;
        };
        for (;;) {
            const char* run = m_pos;
            skip_plain_text();
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

    // After the opening quote.
    Json parse_string_value() {
        const char* start = m_pos;
        skip_plain_text();
        if (m_pos != m_end && *m_pos == '"') {
            ++m_pos;
            return make_value<JsonString>(std::string(start, m_pos - 1));
        }
        m_text.assign(start, m_pos);
        if (!unescape_rest(m_text)) return Json();
        return make_value<JsonString>(std::string(m_text));
    }

    // The value of a member whose value is still being read: an empty
    // handle, which costs no reference count; it never leaves the parser.
    static Json unset() noexcept { return Json(std::shared_ptr<JsonValue>()); }

    // A key, after its opening quote, onto the member stack.
    bool parse_key() {
        const char* start = m_pos;
        skip_plain_text();
        if (m_pos != m_end && *m_pos == '"') {
            m_members.push_back({static_cast<std::size_t>(start - m_begin), static_cast<std::size_t>(m_pos - start),
                                 true, unset()});
            ++m_pos;
            return true;
        }
        std::size_t offset = m_keys.size();
        m_keys.append(start, m_pos);
        if (!unescape_rest(m_keys)) return false;
        m_members.push_back({offset, m_keys.size() - offset, false, unset()});
        return true;
    }

    // After "[".
    Json parse_array(int depth) {
        const std::size_t base = m_elements.size();
        int ch = next_token();
        if (ch < 0) return Json();
        if (ch != ']') {
            for (;;) {
                if (depth + 1 > kMaxDepth) {
                    fail("exceeded maximum nesting depth");
                    return Json();
                }
                Json value = value_from(ch, depth + 1);
                if (m_failed) return Json();
                m_elements.push_back(std::move(value));
                ch = next_token();
                if (ch < 0) return Json();
                if (ch == ']') break;
                if (ch != ',') {
                    fail("expected ',' in list, got " + describe(static_cast<char>(ch)));
                    return Json();
                }
                ch = next_token();
                if (ch < 0) return Json();
            }
        }
        auto first = m_elements.begin() + static_cast<std::ptrdiff_t>(base);
        Json::array values(std::make_move_iterator(first), std::make_move_iterator(m_elements.end()));
        m_elements.erase(first, m_elements.end());
        return make_value<JsonArray>(std::move(values));
    }

    // After "{".
    Json parse_object(int depth) {
        const std::size_t base = m_members.size();
        const std::size_t keys_base = m_keys.size();
        int ch = next_token();
        if (ch < 0) return Json();
        if (ch != '}') {
            for (;;) {
                if (ch != '"') {
                    fail("expected '\"' in object, got " + describe(static_cast<char>(ch)));
                    return Json();
                }
                if (!parse_key()) return Json();
                const std::size_t index = m_members.size() - 1;
                ch = next_token();
                if (ch < 0) return Json();
                if (ch != ':') {
                    fail("expected ':' in object, got " + describe(static_cast<char>(ch)));
                    return Json();
                }
                Json value = parse_value(depth + 1);
                if (m_failed) return Json();
                m_members[index].value = std::move(value);
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
        Json object = finish_object(base);
        m_members.erase(m_members.begin() + static_cast<std::ptrdiff_t>(base), m_members.end());
        m_keys.resize(keys_base);
        return object;
    }

    // The members from base on, sorted by key; of equal keys the last wins.
    Json finish_object(std::size_t base) {
        const std::size_t count = m_members.size() - base;
        JsonMap::storage members;
        members.reserve(count);
        if (count == 1) {
            add_member(members, m_members[base]);
            return make_value<JsonObject>(JsonMapAccess::sorted(std::move(members)));
        }
        m_order.clear();
        for (std::size_t i = base; i < m_members.size(); ++i) {
            const PendingMember& member = m_members[i];
            const char* data = (member.in_input ? m_begin : m_keys.data()) + member.offset;
            m_order.push_back({key_prefix(data, member.size), data, member.size, i});
        }
        bool ascending = true;
        for (std::size_t i = 1; i < m_order.size() && ascending; ++i) ascending = key_less(m_order[i - 1], m_order[i]);
        if (ascending) {
            for (std::size_t i = base; i < m_members.size(); ++i) add_member(members, m_members[i]);
            return make_value<JsonObject>(JsonMapAccess::sorted(std::move(members)));
        }
        const Shape* known = nullptr;
        for (const Shape& shape : m_shapes) {
            if (shape.matches(m_order)) {
                known = &shape;
                break;
            }
        }
        if (!known) known = sort_keys();
        if (known) {
            for (std::uint32_t position : known->order) add_member(members, m_members[base + position]);
        } else {
            for (const KeyRef& key : m_order) add_member(members, m_members[key.index]);
        }
        return make_value<JsonObject>(JsonMapAccess::sorted(std::move(members)));
    }

    void add_member(JsonMap::storage& members, PendingMember& member) {
        const char* data = (member.in_input ? m_begin : m_keys.data()) + member.offset;
        members.emplace_back(std::piecewise_construct, std::forward_as_tuple(data, member.size),
                             std::forward_as_tuple(std::move(member.value)));
    }

    // Sorts m_order by key, stable, and leaves out all but the last of equal
    // keys. Returns the shape it was kept as, if the object is small enough
    // to be kept.
    const Shape* sort_keys() {
        std::size_t key_bytes = 0;
        for (const KeyRef& key : m_order) key_bytes += key.size;
        Shape* shape = nullptr;
        if (m_order.size() <= kShapeMembers && key_bytes <= kShapeKeyBytes) {
            shape = &m_shapes[m_next_shape];
            m_next_shape = (m_next_shape + 1) % kShapes;
            shape->keys.clear();
            shape->text.clear();
            shape->order.clear();
            for (const KeyRef& key : m_order) {
                shape->keys.push_back({key.prefix, key.size, shape->text.size()});
                shape->text.append(key.data, key.size);
            }
        }
        const std::size_t base = m_order.front().index;
        if (m_order.size() <= 16) {
            for (std::size_t i = 1; i < m_order.size(); ++i) {
                KeyRef moving = m_order[i];
                std::size_t j = i;
                for (; j > 0 && key_less(moving, m_order[j - 1]); --j) m_order[j] = m_order[j - 1];
                m_order[j] = moving;
            }
        } else {
            std::stable_sort(m_order.begin(), m_order.end(), key_less);
        }
        auto out = m_order.begin();
        for (auto it = m_order.begin(); it != m_order.end(); ++it) {
            if (it + 1 != m_order.end() && key_equal(*it, *(it + 1))) continue;
            *out++ = *it;
        }
        m_order.erase(out, m_order.end());
        if (shape) {
            for (const KeyRef& key : m_order) shape->order.push_back(static_cast<std::uint32_t>(key.index - base));
        }
        return shape;
    }

    const char* const m_begin;
    const char* m_pos;
    const char* const m_end;
    const bool m_comments;
    bool m_failed = false;
    std::string m_message;
    std::vector<Json>& m_elements;
    std::vector<PendingMember>& m_members;
    std::string& m_keys;
    std::string& m_text;
    std::vector<KeyRef>& m_order;
    Shape (&m_shapes)[kShapes];
    std::size_t& m_next_shape;
};

thread_local Scratch t_scratch;

}  // namespace

Json Json::parse(std::string_view input, std::string& error, ParseMode mode) {
    Scratch& shared = t_scratch;
    if (shared.busy) {
        // Only if a parse on this thread was left by an exception.
        Scratch own;
        Parser parser(input, mode, own);
        return parser.parse_document(error);
    }
    shared.busy = true;
    Parser parser(input, mode, shared);
    Json result = parser.parse_document(error);
    shared.reset();
    shared.busy = false;
    return result;
}

}  // namespace Tools::json
