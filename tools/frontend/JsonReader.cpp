#include "JsonReader.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FrontendError.h"
#include "Utf8.h"

namespace ColorCalFrontend {

const JsonValue* JsonValue::find(std::string_view key) const {
    if (type != Type::eObject) {
        return nullptr;
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) {
            return &values[i];
        }
    }
    return nullptr;
}

namespace {

/// A recursive-descent reader over the whole text; `depth` bounds the recursion.
class Parser {
  public:
    explicit Parser(std::string_view text) : m_text(text) {}

    JsonValue document() {
        skipBlanks();
        JsonValue value = parseValue(0);
        skipBlanks();
        if (m_pos != m_text.size()) {
            fail("unexpected text after the document's end");
        }
        return value;
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        std::size_t line = 1;
        std::size_t column = 1;
        for (std::size_t i = 0; i < m_pos && i < m_text.size(); ++i) {
            if (m_text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw FrontendError("line " + std::to_string(line) + ", column " + std::to_string(column) +
                            ": " + what);
    }

    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text[m_pos]; }

    void skipBlanks() {
        while (!atEnd()) {
            const char c = m_text[m_pos];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                break;
            }
            ++m_pos;
        }
    }

    void expectWord(std::string_view word) {
        if (m_text.substr(m_pos, word.size()) != word) {
            fail("unexpected character (expected a value)");
        }
        m_pos += word.size();
    }

    JsonValue parseValue(int depth) {
        if (depth > kMaxJsonDepth) {
            fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
        }
        JsonValue value;
        switch (peek()) {
            case '{':
                parseObject(value, depth);
                break;
            case '[':
                parseArray(value, depth);
                break;
            case '"':
                value.type = JsonValue::Type::eString;
                value.text = parseString();
                break;
            case 't':
                expectWord("true");
                value.type = JsonValue::Type::eBool;
                value.boolean = true;
                break;
            case 'f':
                expectWord("false");
                value.type = JsonValue::Type::eBool;
                break;
            case 'n':
                expectWord("null");
                break;
            default:
                if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
                    value.type = JsonValue::Type::eNumber;
                    value.number = parseNumber();
                } else if (atEnd()) {
                    fail("the document ends where a value was expected");
                } else {
                    fail("unexpected character (expected a value)");
                }
        }
        return value;
    }

    void parseObject(JsonValue& value, int depth) {
        value.type = JsonValue::Type::eObject;
        ++m_pos;  // '{'
        skipBlanks();
        if (peek() == '}') {
            ++m_pos;
            return;
        }
        while (true) {
            skipBlanks();
            if (peek() != '"') {
                fail("expected a key in double quotes");
            }
            const std::size_t keyAt = m_pos;
            std::string key = parseString();
            if (value.find(key) != nullptr) {
                m_pos = keyAt;
                fail("the key \"" + key.substr(0, 40) + "\" appears twice");
            }
            skipBlanks();
            if (peek() != ':') {
                fail("expected ':' after a key");
            }
            ++m_pos;
            skipBlanks();
            value.keys.push_back(std::move(key));
            value.values.push_back(parseValue(depth + 1));
            skipBlanks();
            if (peek() == ',') {
                ++m_pos;
                continue;
            }
            if (peek() == '}') {
                ++m_pos;
                return;
            }
            fail("expected ',' or '}'");
        }
    }

    void parseArray(JsonValue& value, int depth) {
        value.type = JsonValue::Type::eArray;
        ++m_pos;  // '['
        skipBlanks();
        if (peek() == ']') {
            ++m_pos;
            return;
        }
        while (true) {
            skipBlanks();
            value.items.push_back(parseValue(depth + 1));
            skipBlanks();
            if (peek() == ',') {
                ++m_pos;
                continue;
            }
            if (peek() == ']') {
                ++m_pos;
                return;
            }
            fail("expected ',' or ']'");
        }
    }

    double parseNumber() {
        // JSON's grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const std::size_t start = m_pos;
        const auto digits = [this] {
            const std::size_t from = m_pos;
            while (!atEnd() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9') {
                ++m_pos;
            }
            return m_pos - from;
        };
        if (peek() == '-') {
            ++m_pos;
        }
        if (peek() == '0') {
            ++m_pos;
        } else if (digits() == 0) {
            fail("malformed number");
        }
        if (peek() == '.') {
            ++m_pos;
            if (digits() == 0) {
                fail("malformed number (no digit after '.')");
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++m_pos;
            if (peek() == '+' || peek() == '-') {
                ++m_pos;
            }
            if (digits() == 0) {
                fail("malformed number (no digit in the exponent)");
            }
        }
        const std::string literal(m_text.substr(start, m_pos - start));
        // strtod reads exactly the grammar checked above; only its range is left to check.
        char* end = nullptr;
        const double number = std::strtod(literal.c_str(), &end);
        if (end != literal.c_str() + literal.size() || !std::isfinite(number)) {
            m_pos = start;
            fail("the number " + literal.substr(0, 40) + " is out of range");
        }
        return number;
    }

    unsigned hex4() {
        if (m_pos + 4 > m_text.size()) {
            fail("unfinished \\u escape");
        }
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_pos++];
            code <<= 4;
            if (c >= '0' && c <= '9') {
                code |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                code |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                code |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                --m_pos;
                fail("malformed \\u escape");
            }
        }
        return code;
    }

    static void appendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    /// Length of the valid UTF-8 sequence at `m_pos` (lead byte >= 0x80), or 0.
    std::size_t utf8Length() const {
        std::uint32_t codePoint = 0;
        return ColorCalCli::utf8Sequence(std::string_view(m_text).substr(m_pos), codePoint);
    }

    std::string parseString() {
        ++m_pos;  // opening quote
        std::string out;
        while (true) {
            if (atEnd()) {
                fail("unfinished string");
            }
            const auto c = static_cast<unsigned char>(m_text[m_pos]);
            if (c == '"') {
                ++m_pos;
                return out;
            }
            if (c < 0x20) {
                fail("a control character inside a string");
            }
            if (c >= 0x80) {
                const std::size_t length = utf8Length();
                if (length == 0) {
                    fail("bytes that are not UTF-8");
                }
                out.append(m_text.substr(m_pos, length));
                m_pos += length;
                continue;
            }
            ++m_pos;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const char e = peek();
            ++m_pos;
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    std::uint32_t code = hex4();
                    if (code >= 0xDC00 && code <= 0xDFFF) {
                        fail("a lone low surrogate in a \\u escape");
                    }
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        if (m_text.substr(m_pos, 2) != "\\u") {
                            fail("a high surrogate without its low half");
                        }
                        m_pos += 2;
                        const std::uint32_t low = hex4();
                        if (low < 0xDC00 || low > 0xDFFF) {
                            fail("a high surrogate without its low half");
                        }
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    }
                    appendUtf8(out, code);
                    break;
                }
                default:
                    --m_pos;
                    fail("unknown escape in a string");
            }
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

}  // namespace

JsonValue parseJson(std::string_view text) { return Parser(text).document(); }

}  // namespace ColorCalFrontend
