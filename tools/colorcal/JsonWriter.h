#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ColorCalCli {

/// A small streaming JSON writer with two-space indentation. Arrays opened
/// with `inlineArray` are written on one line. Non-finite numbers are written
/// as null; strings are escaped (quotes, backslash, control characters).
/// Misuse (a value without a key inside an object, unbalanced ends) throws
/// `std::logic_error`.
class JsonWriter {
  public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray(bool inlineArray = false);
    JsonWriter& endArray();
    /// The key of the next value inside an object.
    JsonWriter& key(std::string_view name);
    JsonWriter& value(double number);
    JsonWriter& value(int number);
    JsonWriter& value(bool flag);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text);
    JsonWriter& null();
    /// An inline array of numbers.
    JsonWriter& numbers(const double* values, int count);
    /// An inline array of numbers written with 17 significant digits, so
    /// that reading them back gives the same doubles.
    JsonWriter& exactNumbers(const double* values, int count);

    /// The document; throws `std::logic_error` while a container is open.
    std::string str() const;

  private:
    struct Level {
        bool isObject;
        bool isInline;
        bool empty;
    };
    void beforeValue();
    JsonWriter& number(double value, const char* format);
    void newline();

    std::string m_out;
    std::vector<Level> m_levels;
    bool m_keyPending = false;
    bool m_done = false;
};

/// `text` escaped as a JSON string literal, quotes included.
std::string jsonQuote(std::string_view text);

}  // namespace ColorCalCli
