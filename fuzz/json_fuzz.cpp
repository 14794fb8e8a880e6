// Parses arbitrary bytes in both modes; whatever parses must serialize to text
// that parses back to an equivalent value.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/json.h"

using Tools::json::Json;
using Tools::json::ParseMode;

namespace {

// Equality after a round trip through text. Doubles print with "%.17g", so an
// integral double comes back as an integer of the same value, and a double
// that is not finite comes back as null; everything else must be equal.
bool same_after_round_trip(const Json& original, const Json& reread) {
    switch (original.kind()) {
    case Json::DOUBLE: {
        double value = original.as_double();
        if (!std::isfinite(value)) return reread.kind() == Json::NUL;
        if (reread.kind() == Json::INTEGER) return static_cast<double>(reread.as_int64()) == value;
        return reread.kind() == Json::DOUBLE && reread.as_double() == value;
    }
    case Json::ARRAY: {
        const Json::array& a = original.as_array();
        const Json::array& b = reread.as_array();
        if (reread.kind() != Json::ARRAY || a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!same_after_round_trip(a[i], b[i])) return false;
        }
        return true;
    }
    case Json::OBJECT: {
        const Json::object& a = original.as_object();
        const Json::object& b = reread.as_object();
        if (reread.kind() != Json::OBJECT || a.size() != b.size()) return false;
        for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
            if (ia->first != ib->first || !same_after_round_trip(ia->second, ib->second)) return false;
        }
        return true;
    }
    default:
        return original == reread;
    }
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string strict_error;
    std::string comments_error;
    Json strict = Json::parse(input, strict_error, ParseMode::strict);
    Json commented = Json::parse(input, comments_error, ParseMode::comments);

    // Failure and only failure leaves a message.
    check(strict_error.empty() || strict.kind() == Json::NUL);
    check(comments_error.empty() || commented.kind() == Json::NUL);
    // Plain JSON means the same with comments allowed.
    if (strict_error.empty()) check(comments_error.empty() && strict == commented);

    if (!comments_error.empty()) return 0;
    std::string text = commented.serialize();
    std::string error;
    Json reread = Json::parse(text, error, ParseMode::strict);
    check(error.empty());
    check(same_after_round_trip(commented, reread));
    // A second trip changes nothing more.
    check(reread.serialize() == Json::parse(reread.serialize(), error).serialize());
    check(error.empty());
    return 0;
}
