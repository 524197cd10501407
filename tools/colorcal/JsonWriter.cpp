#include "JsonWriter.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace ColorCalCli {

std::string jsonQuote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

void JsonWriter::newline() {
    m_out += '\n';
    m_out.append(2 * m_levels.size(), ' ');
}

void JsonWriter::beforeValue() {
    if (m_done) {
        throw std::logic_error("JsonWriter: value after the document's end");
    }
    if (m_levels.empty()) {
        return;
    }
    Level& level = m_levels.back();
    if (level.isObject) {
        if (!m_keyPending) {
            throw std::logic_error("JsonWriter: object member without a key");
        }
        m_keyPending = false;
        return;
    }
    if (!level.empty) {
        m_out += level.isInline ? ", " : ",";
    }
    if (!level.isInline) {
        newline();
    }
    level.empty = false;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    if (m_levels.empty() || !m_levels.back().isObject || m_keyPending) {
        throw std::logic_error("JsonWriter: key outside an object");
    }
    Level& level = m_levels.back();
    if (!level.empty) {
        m_out += ',';
    }
    level.empty = false;
    newline();
    m_out += jsonQuote(name);
    m_out += ": ";
    m_keyPending = true;
    return *this;
}

JsonWriter& JsonWriter::beginObject() {
    beforeValue();
    m_out += '{';
    m_levels.push_back({true, false, true});
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    if (m_levels.empty() || !m_levels.back().isObject || m_keyPending) {
        throw std::logic_error("JsonWriter: unbalanced endObject");
    }
    const bool empty = m_levels.back().empty;
    m_levels.pop_back();
    if (!empty) {
        newline();
    }
    m_out += '}';
    m_done = m_levels.empty();
    return *this;
}

JsonWriter& JsonWriter::beginArray(bool inlineArray) {
    beforeValue();
    m_out += '[';
    const bool parentInline = !m_levels.empty() && m_levels.back().isInline;
    m_levels.push_back({false, inlineArray || parentInline, true});
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    if (m_levels.empty() || m_levels.back().isObject) {
        throw std::logic_error("JsonWriter: unbalanced endArray");
    }
    const Level level = m_levels.back();
    m_levels.pop_back();
    if (!level.empty && !level.isInline) {
        newline();
    }
    m_out += ']';
    m_done = m_levels.empty();
    return *this;
}

JsonWriter& JsonWriter::number(double value, const char* format) {
    if (!std::isfinite(value)) {
        return null();
    }
    beforeValue();
    char text[40];
    std::snprintf(text, sizeof text, format, value);
    m_out += text;
    m_done = m_levels.empty();
    return *this;
}

JsonWriter& JsonWriter::value(double number) { return this->number(number, "%.10g"); }

JsonWriter& JsonWriter::value(int number) {
    beforeValue();
    m_out += std::to_string(number);
    m_done = m_levels.empty();
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    beforeValue();
    m_out += flag ? "true" : "false";
    m_done = m_levels.empty();
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    beforeValue();
    m_out += jsonQuote(text);
    m_done = m_levels.empty();
    return *this;
}

JsonWriter& JsonWriter::value(const char* text) { return value(std::string_view(text)); }

JsonWriter& JsonWriter::null() {
    beforeValue();
    m_out += "null";
    m_done = m_levels.empty();
    return *this;
}

JsonWriter& JsonWriter::numbers(const double* values, int count) {
    beginArray(true);
    for (int i = 0; i < count; ++i) {
        value(values[i]);
    }
    return endArray();
}

JsonWriter& JsonWriter::exactNumbers(const double* values, int count) {
    beginArray(true);
    for (int i = 0; i < count; ++i) {
        number(values[i], "%.17g");
    }
    return endArray();
}

std::string JsonWriter::str() const {
    if (!m_levels.empty()) {
        throw std::logic_error("JsonWriter: document still open");
    }
    return m_out + "\n";
}

}  // namespace ColorCalCli
