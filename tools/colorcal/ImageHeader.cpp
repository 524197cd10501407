#include "ImageHeader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <string>

namespace ColorCalCli {

namespace {

using Dimensions = std::optional<ImageDimensions>;

/// Fixed-size reads through the caller's function; false when fewer bytes came back.
class Source {
  public:
    explicit Source(const ReadAt& read) : m_read(read) {}
    bool get(std::uint64_t offset, unsigned char* out, std::size_t count) const {
        return m_read(offset, out, count) == count;
    }

  private:
    const ReadAt& m_read;
};

std::uint64_t readUnsigned(const unsigned char* p, int bytes, bool littleEndian) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        const int index = littleEndian ? bytes - 1 - i : i;
        value = (value << 8) | p[index];
    }
    return value;
}

std::uint64_t be(const unsigned char* p, int bytes) { return readUnsigned(p, bytes, false); }
std::uint64_t le(const unsigned char* p, int bytes) { return readUnsigned(p, bytes, true); }

Dimensions make(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0) {
        return std::nullopt;
    }
    return ImageDimensions{width, height};
}

Dimensions probePng(const Source& source) {
    std::array<unsigned char, 24> h{};
    if (!source.get(0, h.data(), h.size()) || std::memcmp(h.data() + 12, "IHDR", 4) != 0) {
        return std::nullopt;
    }
    return make(be(h.data() + 16, 4), be(h.data() + 20, 4));
}

bool isFrameHeader(unsigned marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

Dimensions probeJpeg(const Source& source) {
    std::uint64_t pos = 2;
    for (int segment = 0; segment < 4096; ++segment) {
        std::array<unsigned char, 2> m{};
        if (!source.get(pos, m.data(), 2) || m[0] != 0xFF) {
            return std::nullopt;
        }
        if (m[1] == 0xFF) {  // fill byte before a marker
            ++pos;
            continue;
        }
        const unsigned marker = m[1];
        pos += 2;
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            continue;  // markers without a length
        }
        if (marker == 0xD9 || marker == 0xDA) {
            return std::nullopt;  // image end or scan data before any frame header
        }
        std::array<unsigned char, 7> s{};
        if (!source.get(pos, s.data(), 2)) {
            return std::nullopt;
        }
        const std::uint64_t length = be(s.data(), 2);
        if (length < 2) {
            return std::nullopt;
        }
        if (isFrameHeader(marker)) {
            if (length < 7 || !source.get(pos, s.data(), s.size())) {
                return std::nullopt;
            }
            return make(be(s.data() + 5, 2), be(s.data() + 3, 2));
        }
        pos += length;
    }
    return std::nullopt;
}

Dimensions probeTiff(const Source& source) {
    std::array<unsigned char, 16> h{};
    if (!source.get(0, h.data(), 8)) {
        return std::nullopt;
    }
    const bool little = h[0] == 'I';
    const std::uint64_t magic = readUnsigned(h.data() + 2, 2, little);
    const bool big = magic == 43;
    std::uint64_t ifd = 0;
    if (big) {
        if (!source.get(0, h.data(), 16) || readUnsigned(h.data() + 4, 2, little) != 8) {
            return std::nullopt;
        }
        ifd = readUnsigned(h.data() + 8, 8, little);
    } else {
        ifd = readUnsigned(h.data() + 4, 4, little);
    }
    const int countBytes = big ? 8 : 2;
    const std::uint64_t entryBytes = big ? 20 : 12;
    std::array<unsigned char, 20> e{};
    if (ifd > (std::uint64_t{1} << 62) || !source.get(ifd, e.data(), countBytes)) {
        return std::nullopt;
    }
    const std::uint64_t count = readUnsigned(e.data(), countBytes, little);
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    for (std::uint64_t i = 0; i < count && i < 4096; ++i) {
        if (!source.get(ifd + countBytes + i * entryBytes, e.data(), entryBytes)) {
            return std::nullopt;
        }
        const std::uint64_t tag = readUnsigned(e.data(), 2, little);
        if (tag != 256 && tag != 257) {
            continue;
        }
        const std::uint64_t type = readUnsigned(e.data() + 2, 2, little);
        const unsigned char* value = e.data() + (big ? 12 : 8);
        std::uint64_t v = 0;
        if (type == 3) {  // SHORT
            v = readUnsigned(value, 2, little);
        } else if (type == 4) {  // LONG
            v = readUnsigned(value, 4, little);
        } else if (type == 16 && big) {  // LONG8
            v = readUnsigned(value, 8, little);
        } else {
            return std::nullopt;
        }
        (tag == 256 ? width : height) = v;
        if (width != 0 && height != 0) {
            return make(width, height);
        }
    }
    return std::nullopt;
}

Dimensions probeBmp(const Source& source) {
    std::array<unsigned char, 26> h{};
    if (!source.get(0, h.data(), 18)) {
        return std::nullopt;
    }
    const std::uint64_t headerSize = le(h.data() + 14, 4);
    if (headerSize == 12) {  // OS/2 core header: 16-bit sizes
        return source.get(0, h.data(), 22) ? make(le(h.data() + 18, 2), le(h.data() + 20, 2))
                                           : std::nullopt;
    }
    if (headerSize < 16 || !source.get(0, h.data(), 26)) {
        return std::nullopt;
    }
    const auto width = static_cast<std::int32_t>(le(h.data() + 18, 4));
    const auto height = static_cast<std::int32_t>(le(h.data() + 22, 4));
    // A negative height marks rows stored top-down.
    const std::int64_t rows = height < 0 ? -static_cast<std::int64_t>(height) : height;
    return width > 0 ? make(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(rows))
                     : std::nullopt;
}

/// The text header of the PNM family: magic, then numbers separated by
/// blanks, `#` comments running to the end of their line.
class PnmTokens {
  public:
    PnmTokens(const unsigned char* text, std::size_t size) : m_text(text), m_size(size) {}

    /// The next whitespace-separated word; empty at the end of the text.
    std::string next() {
        while (m_pos < m_size) {
            const unsigned char c = m_text[m_pos];
            if (c == '#') {
                while (m_pos < m_size && m_text[m_pos] != '\n') {
                    ++m_pos;
                }
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                ++m_pos;
            } else {
                break;
            }
        }
        std::string word;
        while (m_pos < m_size && word.size() < 32) {
            const unsigned char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' ||
                c == '#') {
                break;
            }
            word += static_cast<char>(c);
            ++m_pos;
        }
        return word;
    }

    /// The next word as a decimal number; 0 when it is not one.
    std::uint64_t number() {
        const std::string word = next();
        std::uint64_t value = 0;
        for (char c : word) {
            if (c < '0' || c > '9' || value > (std::uint64_t{1} << 40)) {
                return 0;
            }
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return value;
    }

  private:
    const unsigned char* m_text;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

Dimensions probePnm(const ReadAt& read) {
    std::array<unsigned char, 4096> text{};
    const std::size_t size = read(0, text.data(), text.size());
    PnmTokens tokens(text.data(), size);
    const std::string magic = tokens.next();
    if (magic != "P7") {
        const std::uint64_t width = tokens.number();
        return make(width, tokens.number());
    }
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    for (std::string word = tokens.next(); !word.empty() && word != "ENDHDR";
         word = tokens.next()) {
        if (word == "WIDTH") {
            width = tokens.number();
        } else if (word == "HEIGHT") {
            height = tokens.number();
        }
    }
    return make(width, height);
}

Dimensions probeWebp(const Source& source) {
    std::array<unsigned char, 30> h{};
    if (!source.get(0, h.data(), h.size()) || std::memcmp(h.data() + 8, "WEBP", 4) != 0) {
        return std::nullopt;
    }
    const unsigned char* chunk = h.data() + 12;
    const unsigned char* data = h.data() + 20;
    if (std::memcmp(chunk, "VP8 ", 4) == 0) {
        if (data[3] != 0x9D || data[4] != 0x01 || data[5] != 0x2A) {
            return std::nullopt;
        }
        return make(le(data + 6, 2) & 0x3FFF, le(data + 8, 2) & 0x3FFF);
    }
    if (std::memcmp(chunk, "VP8L", 4) == 0) {
        if (data[0] != 0x2F) {
            return std::nullopt;
        }
        const std::uint64_t bits = le(data + 1, 4);
        return make((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (std::memcmp(chunk, "VP8X", 4) == 0) {
        return make(le(data + 4, 3) + 1, le(data + 7, 3) + 1);
    }
    return std::nullopt;
}

Dimensions probeSunRaster(const Source& source) {
    std::array<unsigned char, 12> h{};
    return source.get(0, h.data(), h.size()) ? make(be(h.data() + 4, 4), be(h.data() + 8, 4))
                                             : std::nullopt;
}

}  // namespace

std::optional<ImageDimensions> probeImageDimensions(const ReadAt& read) {
    const Source source(read);
    std::array<unsigned char, 8> m{};
    const std::size_t got = read(0, m.data(), m.size());
    const auto starts = [&m, got](std::initializer_list<unsigned char> signature) {
        return got >= signature.size() && std::equal(signature.begin(), signature.end(), m.begin());
    };
    if (starts({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) {
        return probePng(source);
    }
    if (starts({0xFF, 0xD8, 0xFF})) {
        return probeJpeg(source);
    }
    if (starts({'I', 'I', '*', 0}) || starts({'M', 'M', 0, '*'}) || starts({'I', 'I', '+', 0}) ||
        starts({'M', 'M', 0, '+'})) {
        return probeTiff(source);
    }
    if (starts({'B', 'M'})) {
        return probeBmp(source);
    }
    if (got >= 2 && m[0] == 'P' && ((m[1] >= '1' && m[1] <= '7') || m[1] == 'F' || m[1] == 'f')) {
        return probePnm(read);
    }
    if (starts({'R', 'I', 'F', 'F'})) {
        return probeWebp(source);
    }
    if (starts({0x59, 0xA6, 0x6A, 0x95})) {
        return probeSunRaster(source);
    }
    return std::nullopt;
}

}  // namespace ColorCalCli
