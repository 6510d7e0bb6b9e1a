// fuzz_utf_util.h - references and checks shared by the UTF fuzz targets.
//
// The references (ovsupport/utf_reference.h) are written straight from
// RFC 3629 and the UTF-16 rules, byte by byte, with no attempt at speed, so
// that the library's fast paths are compared with something obviously right.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ovsupport/utf_reference.h"

namespace fuzzutf {

[[noreturn]] inline void fail(const char *file, int line, const char *what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define CHECK(cond)                                            \
    do {                                                       \
        if (!(cond)) fuzzutf::fail(__FILE__, __LINE__, #cond); \
    } while (0)

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

// A heap copy of exactly the given bytes, so that AddressSanitizer sees a
// read past them.
inline std::unique_ptr<char[]> exact_copy(const void *data, size_t n) {
    std::unique_ptr<char[]> copy(new char[n == 0 ? 1 : n]);
    if (n != 0) std::memcpy(copy.get(), data, n);
    return copy;
}

// A heap copy of the n bytes at data and a terminating NUL, exactly.
inline std::unique_ptr<char[]> terminated_copy(const void *data, size_t n) {
    std::unique_ptr<char[]> copy(new char[n + 1]);
    if (n != 0) std::memcpy(copy.get(), data, n);
    copy[n] = '\0';
    return copy;
}

// memcmp that accepts empty ranges of null pointers.
inline bool same_bytes(const void *a, const void *b, size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

}  // namespace fuzzutf
