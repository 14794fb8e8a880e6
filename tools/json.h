#pragma once

// Immutable JSON values with shared storage, a parser that optionally accepts
// comments, and a serializer. Internal to the framework (not exported).
//
// A Json is a handle on a shared, reference-counted JsonValue: copying a
// handle costs one atomic increment and never copies the value, so handles
// may be copied and read from any thread. Accessors never fail: the wrong kind
// yields 0, 0.0, false or a shared empty or null value, and the references
// they return stay valid as long as some handle holds the value.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/json_pool.h"

namespace Tools::json {

class Json;
class JsonMap;
class JsonValue;

}  // namespace Tools::json

// The element buffers of arrays and the member buffers of objects come from
// the JSON block pool, which serves them much faster than malloc when a
// parse makes and a release frees thousands of them. They stay std::vector
// with the standard allocator in their type, so that code handling them
// does not change.
template <>
class std::allocator<Tools::json::Json> : public Tools::json::BufferAllocator<Tools::json::Json> {
public:
    allocator() noexcept = default;
    template <typename U>
    allocator(const allocator<U>&) noexcept {}
    friend bool operator==(const allocator&, const allocator&) noexcept { return true; }
};

template <>
class std::allocator<std::pair<std::string, Tools::json::Json>>
    : public Tools::json::BufferAllocator<std::pair<std::string, Tools::json::Json>> {
public:
    allocator() noexcept = default;
    template <typename U>
    allocator(const allocator<U>&) noexcept {}
    friend bool operator==(const allocator&, const allocator&) noexcept { return true; }
};

namespace Tools::json {

enum class ParseMode : int {
    strict = 0,    // plain JSON
    comments = 1,  // "//" and "/* */" comments allowed wherever blanks are
};

class Json final {
public:
    using array = std::vector<Json>;
    using object = JsonMap;

    // Kind numbers; they also order values of different kinds.
    enum Kind : int {
        NUL = 0,
        INTEGER = 1,  // JsonInt and JsonInt64
        DOUBLE = 2,
        BOOLEAN = 3,
        STRING = 4,
        ARRAY = 5,
        OBJECT = 6,
    };

    Json() noexcept;                 // the shared null
    Json(std::nullptr_t) noexcept;   // the shared null
    Json(bool value) noexcept;       // the shared true or false
    Json(int value);                 // JsonInt
    Json(long value);                // JsonInt64
    Json(long long value);           // JsonInt64
    Json(double value);              // JsonDouble
    Json(std::string value);         // JsonString; the text is taken over when given up
    Json(std::string_view value);
    Json(const char* value);
    Json(array values);              // JsonArray; taken over when given up
    Json(object members);            // JsonObject; taken over when given up
    Json(void*) = delete;            // would otherwise silently become a bool

    Json(const Json&) noexcept = default;
    Json(Json&&) noexcept = default;
    Json& operator=(const Json&) noexcept = default;
    Json& operator=(Json&&) noexcept = default;
    ~Json() = default;

    Kind kind() const noexcept;
    bool is_null() const noexcept { return kind() == NUL; }

    int64_t as_int64() const noexcept;
    double as_double() const noexcept;
    int as_int() const noexcept;
    int64_t stored_int64() const noexcept;
    bool as_bool() const noexcept;
    const std::string& as_string() const noexcept;
    const array& as_array() const noexcept;
    const Json& member(std::string_view key) const noexcept;
    const Json& element(std::size_t index) const noexcept;
    const object& as_object() const noexcept;
    const Json& operator[](std::string_view key) const noexcept { return member(key); }
    const Json& operator[](std::size_t index) const noexcept { return element(index); }

    // Appends the JSON text of the value to out.
    void serialize(std::string& out) const;
    std::string serialize() const;

    bool operator==(const Json& other) const noexcept;
    bool operator<(const Json& other) const noexcept;
    bool operator!=(const Json& other) const noexcept { return !(*this == other); }
    bool operator>(const Json& other) const noexcept { return other < *this; }
    bool operator<=(const Json& other) const noexcept { return !(other < *this); }
    bool operator>=(const Json& other) const noexcept { return !(*this < other); }

    // Parses one JSON document. On failure returns null and stores the first
    // error message in error; on success error is left untouched. Never
    // throws and never reads outside input, whatever its bytes.
    static Json parse(std::string_view input, std::string& error, ParseMode mode = ParseMode::strict);

    explicit Json(std::shared_ptr<JsonValue> value) noexcept : m_ptr(std::move(value)) {}
    const JsonValue* value() const noexcept { return m_ptr.get(); }

private:
    std::shared_ptr<JsonValue> m_ptr;
};

// Members of an object: unique keys kept in ascending byte-wise order. Stored
// as one sorted array, so that an object costs one allocation for all of its
// members and lookups are a binary search. Iteration is read-only, so the
// order can never be broken from outside.
class JsonMap {
public:
    using key_type = std::string;
    using mapped_type = Json;
    using value_type = std::pair<std::string, Json>;
    using storage = std::vector<value_type>;
    using const_iterator = storage::const_iterator;
    using iterator = const_iterator;
    using size_type = std::size_t;

    JsonMap() = default;
    // When a key repeats, the last value given for it wins.
    JsonMap(std::initializer_list<value_type> members);
    explicit JsonMap(storage members);
    JsonMap(const std::map<std::string, Json>& members);
    JsonMap(const std::map<std::string, Json, std::less<>>& members);

    const_iterator begin() const noexcept { return m_members.begin(); }
    const_iterator end() const noexcept { return m_members.end(); }
    size_type size() const noexcept { return m_members.size(); }
    bool empty() const noexcept { return m_members.empty(); }

    const_iterator find(std::string_view key) const noexcept;
    size_type count(std::string_view key) const noexcept { return find(key) == end() ? 0 : 1; }
    bool contains(std::string_view key) const noexcept { return find(key) != end(); }

    // Builders: the value under key, inserted as null when absent.
    Json& operator[](std::string_view key);
    void insert_or_assign(std::string key, Json value);
    size_type erase(std::string_view key);

    // Member by member in key order; the key decides first, then the value.
    friend bool operator==(const JsonMap& a, const JsonMap& b) noexcept;
    friend bool operator<(const JsonMap& a, const JsonMap& b) noexcept;

private:
    friend struct JsonMapAccess;  // the parser hands over members already sorted and unique
    storage m_members;
};

// The abstract value behind a handle. The operations are in their fixed slot
// order; equals and less are only called with a value of the same kind.
class JsonValue {
public:
    virtual Json::Kind kind() const noexcept = 0;
    virtual bool equals(const JsonValue& other) const noexcept = 0;
    virtual bool less(const JsonValue& other) const noexcept = 0;
    virtual void serialize(std::string& out) const = 0;
    virtual int64_t as_int64() const noexcept;
    virtual double as_double() const noexcept;
    virtual int as_int() const noexcept;
    virtual int64_t stored_int64() const noexcept;
    virtual bool as_bool() const noexcept;
    virtual const std::string& as_string() const noexcept;
    virtual const Json::array& as_array() const noexcept;
    virtual const Json& member(std::string_view key) const noexcept;
    virtual const Json& element(std::size_t index) const noexcept;
    virtual const Json::object& as_object() const noexcept;
    virtual ~JsonValue() = default;

protected:
    JsonValue() = default;
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;
};

}  // namespace Tools::json
