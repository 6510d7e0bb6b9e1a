// utf_reference.h - UTF-8 and UTF-16 written straight from RFC 3629 and the
// UTF-16 rules, byte by byte, with no attempt at speed: the references that
// the library's fast paths are compared with, in the tests and the fuzzers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace ovsupport::utf {

// Length of the well-formed character at s[i] among n bytes, or 0. Its
// value goes to *value.
inline size_t char_length(const unsigned char *s, size_t n, size_t i, uint32_t *value) {
    const unsigned b = s[i];
    size_t len;
    uint32_t c;
    if (b < 0x80) {
        len = 1, c = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
        len = 2, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, c = b & 0x07;
    } else {
        return 0;
    }
    if (n - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (s[i + k] & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    if (value != nullptr) *value = c;
    return len;
}

// Length of the longest prefix of whole well-formed characters among the n
// bytes at s.
inline size_t valid_prefix(const unsigned char *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const size_t len = char_length(s, n, i, nullptr);
        if (len == 0) break;
        i += len;
    }
    return i;
}

inline bool valid(std::string_view s) {
    return valid_prefix(reinterpret_cast<const unsigned char *>(s.data()), s.size()) == s.size();
}

// UTF-8 of a code point or a lone surrogate (three bytes).
inline void append_utf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 units (no terminator) to UTF-8; false when a surrogate is refused:
// a lone one unless lenient, a high one at the end always.
inline bool utf16_to_utf8(const std::vector<uint16_t> &units, bool lenient, std::string &out) {
    out.clear();
    for (size_t i = 0; i < units.size(); ++i) {
        const uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 == units.size()) return false;
            const uint32_t next = units[i + 1];
            if (next >= 0xDC00 && next <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
            if (!lenient) return false;
        } else if (u >= 0xDC00 && u <= 0xDFFF && !lenient) {
            return false;
        }
        append_utf8(out, u);
    }
    return true;
}

// Well-formed UTF-8 to UTF-16 units.
inline std::vector<uint16_t> utf8_to_utf16(const std::string &s) {
    std::vector<uint16_t> out;
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t c = 0;
        const size_t len = char_length(p, s.size(), i, &c);
        if (len == 0) std::abort();
        if (c >= 0x10000) {
            out.push_back(static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(c));
        }
        i += len;
    }
    return out;
}

}  // namespace ovsupport::utf
