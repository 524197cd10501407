#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ColorCalFrontend {

/// One value of a JSON document. Objects keep their members in document
/// order; a key appears at most once (the reader refuses duplicates).
class JsonValue {
  public:
    enum class Type { eNull, eBool, eNumber, eString, eArray, eObject };

    Type type = Type::eNull;
    bool boolean = false;
    double number = 0.0;            ///< always finite
    std::string text;               ///< a string's content, UTF-8
    std::vector<JsonValue> items;   ///< an array's elements
    std::vector<std::string> keys;  ///< an object's keys, in document order
    std::vector<JsonValue> values;  ///< an object's values, as `keys`

    /// The member `key` of an object, or null when this is no object or
    /// has no such member.
    const JsonValue* find(std::string_view key) const;
};

/// The largest nesting of arrays and objects `parseJson` accepts.
constexpr int kMaxJsonDepth = 64;

/// Parses one JSON document (RFC 8259) strictly: one value with blanks
/// around it and nothing else, no comments, no trailing commas, no
/// duplicate keys in an object, numbers in JSON's own grammar that are
/// finite as doubles, strings without raw control characters and with
/// valid escapes (surrogate pairs joined, lone surrogates refused), valid
/// UTF-8, nesting up to `kMaxJsonDepth`. Throws `FrontendError` with the
/// line and column of the first fault ("line 3, column 14: expected ','
/// or '}'"). The caller bounds the text's size; the reader's memory grows
/// with it linearly and its recursion is bounded by the depth limit.
JsonValue parseJson(std::string_view text);

}  // namespace ColorCalFrontend
