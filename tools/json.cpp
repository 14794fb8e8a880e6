#include "tools/json.h"

#include <algorithm>
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
// order, the usual case, are only checked.
void sort_members(JsonMap::storage& members) {
    bool sorted = true;
    for (std::size_t i = 1; i < members.size() && sorted; ++i) sorted = members[i - 1].first < members[i].first;
    if (sorted) return;
    std::stable_sort(members.begin(), members.end(), key_less);
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

template <typename Integer>
void append_integer(Integer value, std::string& out) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

}  // namespace

void JsonNull::serialize(std::string& out) const { out += "null"; }
void JsonInt::serialize(std::string& out) const { append_integer(m_value, out); }
void JsonInt64::serialize(std::string& out) const { append_integer(m_value, out); }
void JsonBoolean::serialize(std::string& out) const { out += m_value ? "true" : "false"; }
void JsonString::serialize(std::string& out) const { serialize_string(m_value, out); }

void JsonDouble::serialize(std::string& out) const {
    if (!std::isfinite(m_value)) {
        out += "null";
        return;
    }
    // Same text as printf("%.17g") in the C locale, whatever the process locale.
    char buffer[40];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, m_value, std::chars_format::general, 17);
    out.append(buffer, result.ptr);
}

void JsonArray::serialize(std::string& out) const {
    out += '[';
    bool first = true;
    for (const Json& value : m_value) {
        if (!first) out += ", ";
        first = false;
        value.serialize(out);
    }
    out += ']';
}

void JsonObject::serialize(std::string& out) const {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : m_value) {
        if (!first) out += ", ";
        first = false;
        serialize_string(key, out);
        out += ": ";
        value.serialize(out);
    }
    out += '}';
}

void serialize_string(std::string_view s, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    const char* p = s.data();
    const char* end = p + s.size();
    const char* run = p;  // start of the bytes still to copy unchanged
    while (p != end) {
        unsigned char c = static_cast<unsigned char>(*p);
        const char* escape = nullptr;
        std::size_t consumed = 1;
        char unicode[6];
        if (c == '"') {
            escape = "\\\"";
        } else if (c == '\\') {
            escape = "\\\\";
        } else if (c < 0x20) {
            switch (c) {
            case '\b': escape = "\\b"; break;
            case '\f': escape = "\\f"; break;
            case '\n': escape = "\\n"; break;
            case '\r': escape = "\\r"; break;
            case '\t': escape = "\\t"; break;
            default:
                std::memcpy(unicode, "\\u00", 4);
                unicode[4] = hex[c >> 4];
                unicode[5] = hex[c & 0xF];
                break;
            }
        } else if (c == 0xE2 && end - p >= 3 && static_cast<unsigned char>(p[1]) == 0x80 &&
                   (static_cast<unsigned char>(p[2]) == 0xA8 || static_cast<unsigned char>(p[2]) == 0xA9)) {
            // U+2028 and U+2029 end lines in JavaScript.
            escape = static_cast<unsigned char>(p[2]) == 0xA8 ? "\\u2028" : "\\u2029";
            consumed = 3;
        } else {
            ++p;
            continue;
        }
        out.append(run, p);
        if (escape) {
            out += escape;
        } else {
            out.append(unicode, sizeof unicode);
        }
        p += consumed;
        run = p;
    }
    out.append(run, p);
    out += '"';
}

// ---------------------------------------------------------------- Json

Json::Json() noexcept : m_ptr(json_statics().null.m_ptr) {}
Json::Json(std::nullptr_t) noexcept : Json() {}
Json::Json(bool value) noexcept : m_ptr(value ? json_statics().t.m_ptr : json_statics().f.m_ptr) {}
Json::Json(int value) : m_ptr(std::make_shared<JsonInt>(value)) {}
Json::Json(long value) : m_ptr(std::make_shared<JsonInt64>(value)) {}
Json::Json(long long value) : m_ptr(std::make_shared<JsonInt64>(value)) {}
Json::Json(double value) : m_ptr(std::make_shared<JsonDouble>(value)) {}
Json::Json(std::string value) : m_ptr(std::make_shared<JsonString>(std::move(value))) {}
Json::Json(std::string_view value) : m_ptr(std::make_shared<JsonString>(std::string(value))) {}
Json::Json(const char* value) : m_ptr(std::make_shared<JsonString>(std::string(value))) {}
Json::Json(array values) : m_ptr(std::make_shared<JsonArray>(std::move(values))) {}
Json::Json(object members) : m_ptr(std::make_shared<JsonObject>(std::move(members))) {}

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
