#include "tools/json.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "tools/json_p.h"

namespace Tools::json {

const JsonStatics& json_statics() noexcept {
    static const JsonStatics* const statics = new JsonStatics;
    return *statics;
}

// ---------------------------------------------------------------- JsonMap

namespace {

bool key_less(const JsonMap::value_type& a, const JsonMap::value_type& b) noexcept { return a.first < b.first; }

// Sorts by key and keeps the last of equal keys. Members given in ascending
// order are only checked; small objects, the usual case, are sorted in place
// without the temporary buffer of a merge sort.
void sort_members(JsonMap::storage& members) {
    bool sorted = true;
    for (std::size_t i = 1; i < members.size() && sorted; ++i) sorted = members[i - 1].first < members[i].first;
    if (sorted) return;
    if (members.size() <= 24) {
        // Stable: an element moves only past strictly greater keys.
        for (std::size_t i = 1; i < members.size(); ++i) {
            if (!(members[i].first < members[i - 1].first)) continue;
            JsonMap::value_type moving = std::move(members[i]);
            std::size_t j = i;
            do {
                members[j] = std::move(members[j - 1]);
                --j;
            } while (j > 0 && moving.first < members[j - 1].first);
            members[j] = std::move(moving);
        }
    } else {
        std::stable_sort(members.begin(), members.end(), key_less);
    }
    auto out = members.begin();
    for (auto it = members.begin(); it != members.end(); ++it) {
        auto next = it + 1;
        if (next != members.end() && next->first == it->first) continue;
        if (out != it) *out = std::move(*it);
        ++out;
    }
    members.erase(out, members.end());
}

}  // namespace

JsonMap::JsonMap(std::initializer_list<value_type> members) : m_members(members) { sort_members(m_members); }

JsonMap::JsonMap(storage members) : m_members(std::move(members)) { sort_members(m_members); }

JsonMap::JsonMap(const std::map<std::string, Json>& members) : m_members(members.begin(), members.end()) {}

JsonMap::JsonMap(const std::map<std::string, Json, std::less<>>& members)
    : m_members(members.begin(), members.end()) {}

JsonMap::const_iterator JsonMap::find(std::string_view key) const noexcept {
    auto it = std::lower_bound(m_members.begin(), m_members.end(), key,
                               [](const value_type& member, std::string_view k) { return member.first < k; });
    if (it != m_members.end() && it->first == key) return it;
    return m_members.end();
}

Json& JsonMap::operator[](std::string_view key) {
    auto it = std::lower_bound(m_members.begin(), m_members.end(), key,
                               [](const value_type& member, std::string_view k) { return member.first < k; });
    if (it == m_members.end() || it->first != key) it = m_members.emplace(it, std::string(key), Json());
    return it->second;
}

void JsonMap::insert_or_assign(std::string key, Json value) { (*this)[key] = std::move(value); }

JsonMap::size_type JsonMap::erase(std::string_view key) {
    auto it = find(key);
    if (it == m_members.end()) return 0;
    m_members.erase(it);
    return 1;
}

bool operator==(const JsonMap& a, const JsonMap& b) noexcept {
    if (a.size() != b.size()) return false;
    return std::equal(a.begin(), a.end(), b.begin(),
                      [](const auto& x, const auto& y) { return x.first == y.first && x.second == y.second; });
}

bool operator<(const JsonMap& a, const JsonMap& b) noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        int order = x.first.compare(y.first);
        if (order != 0) return order < 0;
        return x.second < y.second;
    });
}

// ---------------------------------------------------------------- JsonValue defaults

int64_t JsonValue::as_int64() const noexcept { return 0; }
double JsonValue::as_double() const noexcept { return 0.0; }
int JsonValue::as_int() const noexcept { return 0; }
int64_t JsonValue::stored_int64() const noexcept { return 0; }
bool JsonValue::as_bool() const noexcept { return false; }
const std::string& JsonValue::as_string() const noexcept { return json_statics().empty_string; }
const Json::array& JsonValue::as_array() const noexcept { return json_statics().empty_array; }
const Json& JsonValue::member(std::string_view) const noexcept { return json_statics().null; }
const Json& JsonValue::element(std::size_t) const noexcept { return json_statics().null; }
const Json::object& JsonValue::as_object() const noexcept { return json_statics().empty_object; }

// ---------------------------------------------------------------- concrete values

int64_t JsonDouble::as_int64() const noexcept {
    // Truncation is only defined inside the 64-bit range; outside it, and for
    // NaN, the result is the smallest 64-bit value.
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (!(m_value > -limit && m_value < limit)) return INT64_MIN;
    return static_cast<int64_t>(m_value);
}

const Json& JsonArray::element(std::size_t index) const noexcept {
    if (index < m_value.size()) return m_value[index];
    return json_statics().null;
}

const Json& JsonObject::member(std::string_view key) const noexcept {
    auto it = m_value.find(key);
    if (it != m_value.end()) return it->second;
    return json_statics().null;
}

// ---------------------------------------------------------------- serializing

namespace {

std::size_t text_length(const JsonValue& value);

// Collects the text in a buffer of its own and hands it to the output in
// large pieces: appending piece by piece costs a call per piece. Once the
// text turns out to be large, its length is computed and the output is
// allocated once, instead of growing and being copied again and again.
class Writer {
public:
    Writer(std::string& out, const JsonValue* root) : m_out(out), m_start(out.size()), m_root(root) {}
    ~Writer() { flush(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Room for n more bytes (n at most kSmall); advance() by what was used.
    char* room(std::size_t n) {
        if (static_cast<std::size_t>(m_buffer + sizeof m_buffer - m_end) < n) flush();
        return m_end;
    }
    void advance(std::size_t n) { m_end += n; }
    void put(char c) {
        *room(1) = c;
        ++m_end;
    }
    template <std::size_t N>
    void put(const char (&text)[N]) {
        std::memcpy(room(N - 1), text, N - 1);
        m_end += N - 1;
    }
    void write(const char* data, std::size_t n) {
        if (n > kSmall) {
            flush();
            m_out.append(data, n);
            return;
        }
        std::memcpy(room(n), data, n);
        m_end += n;
    }

    static constexpr std::size_t kSmall = 256;

private:
    void flush() {
        std::size_t pending = static_cast<std::size_t>(m_end - m_buffer);
        if (m_root && m_out.size() + pending - m_start > kLarge) {
            m_out.reserve(m_start + text_length(*m_root));
            m_root = nullptr;
        }
        m_out.append(m_buffer, pending);
        m_end = m_buffer;
    }

    static constexpr std::size_t kLarge = 256 * 1024;

    std::string& m_out;
    const std::size_t m_start;
    const JsonValue* m_root;  // until the output has been sized
    char m_buffer[8192];
    char* m_end = m_buffer;
};

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Whether any of the 8 bytes is zero, or below 0x20 (exact for "any").
constexpr uint64_t any_zero(uint64_t w) { return (w - kOnes) & ~w & kHighs; }
constexpr uint64_t any_control(uint64_t w) { return (w - kOnes * 0x20) & ~w & kHighs; }

// Bytes that need a look when serializing: quote, backslash, controls, and
// the lead byte of U+2028/U+2029.
bool needs_look(unsigned char c) { return c == '"' || c == '\\' || c < 0x20 || c == 0xE2; }

// The first byte at or after p that needs escaping or a closer look (end
// when none): eight bytes at a time while no such byte is among them.
const char* skip_plain(const char* p, const char* end) {
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if (any_zero(word ^ (kOnes * '"')) | any_zero(word ^ (kOnes * '\\')) | any_control(word) |
            any_zero(word ^ (kOnes * 0xE2)))
            break;
        p += 8;
    }
    while (p != end && !needs_look(static_cast<unsigned char>(*p))) ++p;
    return p;
}

void write_string(std::string_view s, Writer& w) {
    static const char hex[] = "0123456789abcdef";
    w.put('"');
    const char* p = s.data();
    const char* end = p + s.size();
    while (p != end) {
        const char* run = p;
        p = skip_plain(p, end);
        w.write(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        unsigned char c = static_cast<unsigned char>(*p);
        ++p;
        switch (c) {
        case '"': w.put("\\\""); break;
        case '\\': w.put("\\\\"); break;
        case '\b': w.put("\\b"); break;
        case '\f': w.put("\\f"); break;
        case '\n': w.put("\\n"); break;
        case '\r': w.put("\\r"); break;
        case '\t': w.put("\\t"); break;
        case 0xE2:
            // U+2028 and U+2029 end lines in JavaScript.
            if (end - p >= 2 && static_cast<unsigned char>(p[0]) == 0x80 &&
                (static_cast<unsigned char>(p[1]) == 0xA8 || static_cast<unsigned char>(p[1]) == 0xA9)) {
                w.put(static_cast<unsigned char>(p[1]) == 0xA8 ? "\\u2028" : "\\u2029");
                p += 2;
            } else {
                w.put(static_cast<char>(c));
            }
            break;
        default: {
            char* out = w.room(6);
            std::memcpy(out, "\\u00", 4);
            out[4] = hex[c >> 4];
            out[5] = hex[c & 0xF];
            w.advance(6);
            break;
        }
        }
    }
    w.put('"');
}

// "%.17g" for finite doubles from 1e-4 up to 1e17, where printf writes plain
// decimals, by exact integer arithmetic: such a value is m / 2^s with m below
// 2^57 and s at most 64, and its 17 leading digits are m * 10^k / 2^s,
// rounded to nearest with ties to even, as printf rounds. Returns the end of
// the text, or nullptr for values outside that range (the general
// conversion writes those).
char* write_plain_double(double value, char* out) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = bits >> 63;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const double magnitude = std::fabs(value);
    if (biased == 0 || biased == 0x7FF || !(magnitude >= 1e-4 && magnitude < 1e17)) return nullptr;
    uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int e = biased - 1075;  // value = m * 2^e
    int s = 0;
    if (e >= 0) {
        m <<= e;  // below 1e17, so below 2^57
    } else {
        s = -e;
        int zeros = std::min(std::countr_zero(m), s);
        m >>= zeros;
        s -= zeros;
        if (s > 64) return nullptr;
    }
    static constexpr uint64_t kPowers[] = {1ULL,
                                           10ULL,
                                           100ULL,
                                           1000ULL,
                                           10000ULL,
                                           100000ULL,
                                           1000000ULL,
                                           10000000ULL,
                                           100000000ULL,
                                           1000000000ULL,
                                           10000000000ULL,
                                           100000000000ULL,
                                           1000000000000ULL,
                                           10000000000000ULL,
                                           100000000000000ULL,
                                           1000000000000000ULL,
                                           10000000000000000ULL,
                                           100000000000000000ULL,
                                           1000000000000000000ULL,
                                           10000000000000000000ULL};
    // The decimal exponent x: 10^x <= value < 10^(x+1), from -4 to 16; the
    // estimate from doubles is checked exactly below.
    int x = 0;
    if (magnitude >= 1.0) {
        while (x < 16 && magnitude >= static_cast<double>(kPowers[x + 1])) ++x;
    } else {
        x = -1;
        while (x > -4 && magnitude * static_cast<double>(kPowers[-x]) < 1.0) --x;
    }
    using u128 = unsigned __int128;
    u128 digits = 0;
    u128 rest = 0;
    for (int attempt = 0;; ++attempt) {
        const int k = 16 - x;  // 0 to 20; m * 10^20 stays below 2^124
        if (k < 0 || k > 20 || attempt > 2) return nullptr;
        const u128 scaled = static_cast<u128>(m) * (k <= 19 ? u128{kPowers[k]} : u128{kPowers[19]} * 10);
        digits = scaled >> s;
        rest = scaled & ((u128{1} << s) - 1);
        if (digits < kPowers[16]) {
            --x;
        } else if (digits >= kPowers[17]) {
            ++x;
        } else {
            break;
        }
    }
    if (s > 0) {
        const u128 half = u128{1} << (s - 1);
        if (rest > half || (rest == half && (digits & 1))) ++digits;
    }
    if (digits == kPowers[17]) {
        digits = kPowers[16];
        ++x;
    }
    if (x >= 17) return nullptr;  // printf switches to an exponent there

    char text[17];
    uint64_t d = static_cast<uint64_t>(digits);
    for (int i = 16; i >= 0; --i) {
        text[i] = static_cast<char>('0' + d % 10);
        d /= 10;
    }
    int last = 16;
    while (last > 0 && text[last] == '0') --last;  // no trailing zeros, as %g
    char* p = out;
    if (negative) *p++ = '-';
    if (x >= 0) {
        std::memcpy(p, text, static_cast<std::size_t>(x + 1));
        p += x + 1;
        if (last > x) {
            *p++ = '.';
            std::memcpy(p, text + x + 1, static_cast<std::size_t>(last - x));
            p += last - x;
        }
    } else {
        *p++ = '0';
        *p++ = '.';
        for (int i = -1; i > x; --i) *p++ = '0';
        std::memcpy(p, text, static_cast<std::size_t>(last + 1));
        p += last + 1;
    }
    return p;
}

void write_value(const JsonValue& value, Writer& w) {
    switch (value.kind()) {
    case Json::NUL:
        w.put("null");
        break;
    case Json::INTEGER: {
        // A JsonInt prints the same through its 64-bit view.
        char* out = w.room(24);
        w.advance(static_cast<std::size_t>(std::to_chars(out, out + 24, value.as_int64()).ptr - out));
        break;
    }
    case Json::DOUBLE: {
        double number = value.as_double();
        if (!std::isfinite(number)) {
            w.put("null");
            break;
        }
        // Same text as printf("%.17g") in the C locale, whatever the process locale.
        char* out = w.room(32);
        char* end = write_plain_double(number, out);
        if (!end) end = std::to_chars(out, out + 32, number, std::chars_format::general, 17).ptr;
        w.advance(static_cast<std::size_t>(end - out));
        break;
    }
    case Json::BOOLEAN:
        if (value.as_bool()) {
            w.put("true");
        } else {
            w.put("false");
        }
        break;
    case Json::STRING:
        write_string(value.as_string(), w);
        break;
    case Json::ARRAY: {
        w.put('[');
        bool first = true;
        for (const Json& element : value.as_array()) {
            if (!first) w.put(", ");
            first = false;
            write_value(*element.value(), w);
        }
        w.put(']');
        break;
    }
    case Json::OBJECT: {
        w.put('{');
        bool first = true;
        for (const auto& [key, member] : value.as_object()) {
            if (!first) w.put(", ");
            first = false;
            write_string(key, w);
            w.put(": ");
            write_value(*member.value(), w);
        }
        w.put('}');
        break;
    }
    }
}

// The length of the text of s, quotes included.
std::size_t string_length(std::string_view s) {
    std::size_t length = 2 + s.size();
    const char* p = s.data();
    const char* end = p + s.size();
    while (p != end) {
        p = skip_plain(p, end);
        if (p == end) break;
        unsigned char c = static_cast<unsigned char>(*p++);
        if (c == 0xE2) {
            if (end - p >= 2 && static_cast<unsigned char>(p[0]) == 0x80 &&
                (static_cast<unsigned char>(p[1]) == 0xA8 || static_cast<unsigned char>(p[1]) == 0xA9)) {
                length += 3;
                p += 2;
            }
        } else if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
            length += 1;
        } else {
            length += 5;
        }
    }
    return length;
}

// An upper bound of the text's length, exact but for numbers.
std::size_t text_length(const JsonValue& value) {
    switch (value.kind()) {
    case Json::NUL: return 4;
    case Json::BOOLEAN: return 5;
    case Json::INTEGER: return 20;  // -9223372036854775808
    case Json::DOUBLE: return 24;   // the longest "%.17g" text, as in -2.2250738585072014e-308
    case Json::STRING: return string_length(value.as_string());
    case Json::ARRAY: {
        const Json::array& elements = value.as_array();
        std::size_t length = 2 + (elements.empty() ? 0 : 2 * (elements.size() - 1));
        for (const Json& element : elements) length += text_length(*element.value());
        return length;
    }
    case Json::OBJECT: {
        const Json::object& members = value.as_object();
        std::size_t length = 2 + (members.empty() ? 0 : 2 * (members.size() - 1));
        for (const auto& [key, member] : members) length += string_length(key) + 2 + text_length(*member.value());
        return length;
    }
    }
    return 0;
}

void serialize_value(const JsonValue& value, std::string& out) {
    Writer w(out, &value);
    write_value(value, w);
}

}  // namespace

void JsonNull::serialize(std::string& out) const { serialize_value(*this, out); }
void JsonInt::serialize(std::string& out) const { serialize_value(*this, out); }
void JsonInt64::serialize(std::string& out) const { serialize_value(*this, out); }
void JsonDouble::serialize(std::string& out) const { serialize_value(*this, out); }
void JsonBoolean::serialize(std::string& out) const { serialize_value(*this, out); }
void JsonString::serialize(std::string& out) const { serialize_value(*this, out); }
void JsonArray::serialize(std::string& out) const { serialize_value(*this, out); }
void JsonObject::serialize(std::string& out) const { serialize_value(*this, out); }

void serialize_string(std::string_view s, std::string& out) {
    Writer w(out, nullptr);
    write_string(s, w);
}

// ---------------------------------------------------------------- Json

Json::Json() noexcept : m_ptr(json_statics().null.m_ptr) {}
Json::Json(std::nullptr_t) noexcept : Json() {}
Json::Json(bool value) noexcept : m_ptr(value ? json_statics().t.m_ptr : json_statics().f.m_ptr) {}
Json::Json(int value) : Json(make_value<JsonInt>(value)) {}
Json::Json(long value) : Json(make_value<JsonInt64>(value)) {}
Json::Json(long long value) : Json(make_value<JsonInt64>(value)) {}
Json::Json(double value) : Json(make_value<JsonDouble>(value)) {}
Json::Json(std::string value) : Json(make_value<JsonString>(std::move(value))) {}
Json::Json(std::string_view value) : Json(make_value<JsonString>(std::string(value))) {}
Json::Json(const char* value) : Json(make_value<JsonString>(std::string(value))) {}
Json::Json(array values) : Json(make_value<JsonArray>(std::move(values))) {}
Json::Json(object members) : Json(make_value<JsonObject>(std::move(members))) {}

Json::Kind Json::kind() const noexcept { return m_ptr->kind(); }
int64_t Json::as_int64() const noexcept { return m_ptr->as_int64(); }
double Json::as_double() const noexcept { return m_ptr->as_double(); }
int Json::as_int() const noexcept { return m_ptr->as_int(); }
int64_t Json::stored_int64() const noexcept { return m_ptr->stored_int64(); }
bool Json::as_bool() const noexcept { return m_ptr->as_bool(); }
const std::string& Json::as_string() const noexcept { return m_ptr->as_string(); }
const Json::array& Json::as_array() const noexcept { return m_ptr->as_array(); }
const Json& Json::member(std::string_view key) const noexcept { return m_ptr->member(key); }
const Json& Json::element(std::size_t index) const noexcept { return m_ptr->element(index); }
const Json::object& Json::as_object() const noexcept { return m_ptr->as_object(); }

void Json::serialize(std::string& out) const { m_ptr->serialize(out); }

std::string Json::serialize() const {
    std::string out;
    serialize(out);
    return out;
}

bool Json::operator==(const Json& other) const noexcept {
    if (m_ptr == other.m_ptr) return true;
    if (m_ptr->kind() != other.m_ptr->kind()) return false;
    return m_ptr->equals(*other.m_ptr);
}

bool Json::operator<(const Json& other) const noexcept {
    if (m_ptr == other.m_ptr) return false;
    Kind mine = m_ptr->kind();
    Kind theirs = other.m_ptr->kind();
    if (mine != theirs) return mine < theirs;
    return m_ptr->less(*other.m_ptr);
}

}  // namespace Tools::json
