// fuzz_number.cpp - libFuzzer target for the number parsers.
//
// ov_str_to_int64 is compared with the C library's strtoll: the input's
// white space, sign and base prefix ("0x", "0" and a digit, "%", or none)
// are read as the parser's rules say, and the run of digits of that base
// that follows is handed to strtoll in that base. Value, overflow and the
// end position must agree; a text without a digit after the prefix must be
// EINVAL with the end there. The narrow forms must follow the 64-bit value.
// ov_str_to_size is compared with a model built on strtoull. Inputs are
// NUL-terminated blocks of exactly their length, so that no parser reads
// past its text unseen.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"

namespace {

int digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

void check_int64(const char *text) {
    const char *p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (negative) ++p;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') {
        base = 8;
        p += 1;
    } else if (p[0] == '%') {
        base = 2;
        p += 1;
    }
    size_t run = 0;
    while (digit_value(static_cast<unsigned char>(p[run])) < base) ++run;

    int64_t value = 0x1234;
    char *end = nullptr;
    const int32_t rc = ov_str_to_int64(text, &value, &end);
    if (run == 0) {
        CHECK(rc == EINVAL && end == p && value == 0x1234);
        return;
    }
    const std::string digits = (negative ? "-" : "") + std::string(p, run);
    char *ref_end = nullptr;
    errno = 0;
    const long long ref = std::strtoll(digits.c_str(), &ref_end, base);
    const int ref_errno = errno;
    CHECK(ref_end == digits.c_str() + digits.size());
    if (ref_errno == ERANGE) {
        // The end is at the digit that overflowed, or past the digits when
        // only the sign made the value too large.
        CHECK(rc == ERANGE && value == 0x1234 && end >= p && end <= p + run);
        return;
    }
    CHECK(rc == 0 && value == ref && end == p + run);
    CHECK(ov_str_int64_value(text) == ref);

    int32_t i32 = 7;
    const int32_t rc32 = ov_str_to_int32(text, &i32, nullptr);
    if (ref >= INT32_MIN && ref <= INT32_MAX) {
        CHECK(rc32 == 0 && i32 == ref);
        CHECK(ov_str_int32_value(text) == ref);
    } else {
        CHECK(rc32 == ERANGE && i32 == 7);
        CHECK(ov_str_int32_value(text) == 0);
    }
    uint32_t u32 = 7;
    const int32_t rcu = ov_str_to_uint32(text, &u32, nullptr);
    if (ref >= 0 && ref <= UINT32_MAX)
        CHECK(rcu == 0 && u32 == ref);
    else
        CHECK(rcu == ERANGE && u32 == 7);
}

void check_size(const char *text) {
    uint64_t out = 0x1234;
    const int32_t rc = ov_str_to_size(text, &out);
    if (text[0] == '\0') {
        CHECK(rc == EINVAL);
        return;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    const int err = errno;
    int32_t want = 0;
    unsigned long long expected = value;
    const unsigned char c = static_cast<unsigned char>(*end);
    if (err != 0) {
        want = err;
    } else if (end == text) {
        want = EINVAL;  // no digit
    } else if (c == '\0' || std::isspace(c)) {
        if (value >= 1ULL << 63) want = ERANGE;
    } else {
        const char *suffixes = "KMGTPE";
        const char *s = std::strchr(suffixes, std::toupper(c));
        if (s == nullptr) {
            want = EINVAL;
        } else {
            const int shift = 10 * static_cast<int>(s - suffixes + 1);
            if (value > ((1ULL << 63) - 1) >> shift)
                want = ERANGE;
            else
                expected = value << shift;
        }
    }
    CHECK(rc == want);
    CHECK(out == (rc == 0 ? expected : 0x1234));
    if (rc == 0) CHECK(out < 1ULL << 63);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto text = ovfuzz::c_string(data, size);
    check_int64(text.get());
    check_size(text.get());
    return 0;
}
