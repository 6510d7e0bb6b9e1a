// fuzz_utf_util.h - references and checks shared by the UTF fuzz targets.
//
// The references (ovsupport/utf_reference.h) are written straight from
// RFC 3629 and the UTF-16 rules, byte by byte, with no attempt at speed, so
// that the library's fast paths are compared with something obviously right.
#pragma once

#include <cstddef>

#include "fuzz_util.h"
#include "ovsupport/utf_reference.h"

namespace fuzzutf {

// The references themselves, shared with the unit tests.
using ovsupport::utf::append_utf8;
using ovsupport::utf::char_length;
using ovsupport::utf::utf16_to_utf8;
using ovsupport::utf::utf8_to_utf16;
using ovsupport::utf::valid;
using ovsupport::utf::valid_prefix;

// The check of one character as the library describes it, step by step:
// null when the n bytes at s (available of them readable) form a
// well-formed character, else the last byte that still belonged to a valid
// beginning.
inline const unsigned char *check_model(const unsigned char *s, size_t available, size_t n) {
    if (available == 0) return nullptr;
    const unsigned b0 = s[0];
    if ((b0 >= 0x80 && b0 <= 0xC1) || b0 > 0xF4) return s;
    if (n == 1) return nullptr;
    if (available == 1) return s;
    const unsigned b1 = s[1];
    unsigned lo = 0x80, hi = 0xBF;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
    if (b1 < lo || b1 > hi) return s;
    if (n == 2) return nullptr;
    for (size_t i = 2; i < n; ++i) {
        if (available < i + 1 || s[i] < 0x80 || s[i] > 0xBF) return s + i - 1;
    }
    return nullptr;
}

// The length a lead byte announces.
inline size_t announced(unsigned b) {
    return b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : b < 0xFC ? 5 : 6;
}

}  // namespace fuzzutf
