#pragma once

// The concrete values behind Json handles. Private to the JSON sources and
// their tests.

#include "tools/json.h"
#include "tools/json_pool.h"

namespace Tools::json {

struct NullStruct {
    bool operator==(NullStruct) const noexcept { return true; }
    bool operator<(NullStruct) const noexcept { return false; }
};

// One concrete value: its kind number is part of its type, T is what it stores.
template <Json::Kind K, typename T>
class Value : public JsonValue {
public:
    explicit Value(const T& value) : m_value(value) {}
    explicit Value(T&& value) noexcept : m_value(std::move(value)) {}

    Json::Kind kind() const noexcept override { return K; }
    bool equals(const JsonValue& other) const noexcept override {
        return m_value == static_cast<const Value&>(other).m_value;
    }
    bool less(const JsonValue& other) const noexcept override {
        return m_value < static_cast<const Value&>(other).m_value;
    }

protected:
    const T m_value;
};

class JsonNull final : public Value<Json::NUL, NullStruct> {
public:
    JsonNull() : Value({}) {}
    void serialize(std::string& out) const override;
};

// Both integer classes share kind 1 and compare through their 64-bit view, so
// a JsonInt 5 equals a JsonInt64 5.
class JsonInt final : public Value<Json::INTEGER, int> {
public:
    explicit JsonInt(int value) : Value(value) {}
    bool equals(const JsonValue& other) const noexcept override { return m_value == other.as_int64(); }
    bool less(const JsonValue& other) const noexcept override { return m_value < other.as_int64(); }
    void serialize(std::string& out) const override;
    int64_t as_int64() const noexcept override { return m_value; }
    int as_int() const noexcept override { return m_value; }
};

class JsonInt64 final : public Value<Json::INTEGER, int64_t> {
public:
    explicit JsonInt64(int64_t value) : Value(value) {}
    bool equals(const JsonValue& other) const noexcept override { return m_value == other.as_int64(); }
    bool less(const JsonValue& other) const noexcept override { return m_value < other.as_int64(); }
    void serialize(std::string& out) const override;
    int64_t as_int64() const noexcept override { return m_value; }
    // The low 32 bits, as the two's complement value.
    int as_int() const noexcept override { return static_cast<int>(static_cast<uint32_t>(m_value)); }
    int64_t stored_int64() const noexcept override { return m_value; }
};

class JsonDouble final : public Value<Json::DOUBLE, double> {
public:
    explicit JsonDouble(double value) : Value(value) {}
    void serialize(std::string& out) const override;
    int64_t as_int64() const noexcept override;
    double as_double() const noexcept override { return m_value; }
};

class JsonBoolean final : public Value<Json::BOOLEAN, bool> {
public:
    explicit JsonBoolean(bool value) : Value(value) {}
    void serialize(std::string& out) const override;
    bool as_bool() const noexcept override { return m_value; }
};

class JsonString final : public Value<Json::STRING, std::string> {
public:
    explicit JsonString(std::string value) noexcept : Value(std::move(value)) {}
    void serialize(std::string& out) const override;
    const std::string& as_string() const noexcept override { return m_value; }
};

class JsonArray final : public Value<Json::ARRAY, Json::array> {
public:
    explicit JsonArray(Json::array values) noexcept : Value(std::move(values)) {}
    void serialize(std::string& out) const override;
    const Json::array& as_array() const noexcept override { return m_value; }
    const Json& element(std::size_t index) const noexcept override;
};

class JsonObject final : public Value<Json::OBJECT, Json::object> {
public:
    explicit JsonObject(Json::object members) noexcept : Value(std::move(members)) {}
    void serialize(std::string& out) const override;
    const Json& member(std::string_view key) const noexcept override;
    const Json::object& as_object() const noexcept override { return m_value; }
};

// Takes over members that are already in ascending key order without
// duplicates, so that they are not checked and sorted a second time.
struct JsonMapAccess {
    static JsonMap sorted(JsonMap::storage members) noexcept {
        JsonMap map;
        map.m_members = std::move(members);
        return map;
    }
};

// A new value block: the value and its reference counts in one allocation.
template <typename T, typename... Args>
Json make_value(Args&&... args) {
    return Json(std::allocate_shared<T>(PoolAllocator<T>(), std::forward<Args>(args)...));
}

// The process-wide constants, created together on first use and never freed,
// so that they outlive every other static object that might still hold one.
struct JsonStatics {
    Json null{std::make_shared<JsonNull>()};
    Json t{std::make_shared<JsonBoolean>(true)};
    Json f{std::make_shared<JsonBoolean>(false)};
    const std::string empty_string{};
    const Json::array empty_array{};
    const Json::object empty_object{};
};
const JsonStatics& json_statics() noexcept;

// Appends s as a JSON string literal, quotes included.
void serialize_string(std::string_view s, std::string& out);

}  // namespace Tools::json
