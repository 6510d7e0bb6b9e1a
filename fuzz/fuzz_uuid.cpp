// fuzz_uuid.cpp - libFuzzer target for reading and writing identifier text.
//
// The input, cut at its first NUL, is handed to ov_uuid_parse in a heap block
// that ends right after the terminator, so AddressSanitizer reports any read
// past it. The result must be 0, EINVAL or ERANGE, and it and the bytes
// written must match a small model of the parse (hyphens skipped anywhere,
// two hexadecimal digits per byte, stop after sixteen bytes). An identifier
// that parsed is written back as text, which must be the 8-4-4-4-12 lowercase
// form of the digits read, and parsed again to the same bytes. The tail of
// the input also drives ov_uuid_append with fuzzed sizes and offsets.
#include <ovplatform/overror.h>
#include <ovplatform/ovuuid.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_util.h"

namespace {

constexpr size_t kIdBytes = 16;
constexpr size_t kTextLen = 36;
constexpr uint8_t kUntouched = 0xA5;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The model of the parse: its result, the bytes it writes, and the lowercase
// digits it consumed.
struct Parsed {
    int32_t rc = ERANGE;
    uint8_t id[kIdBytes];
    std::string digits;
};

Parsed model_parse(const char *text) {
    Parsed m;
    std::memset(m.id, kUntouched, sizeof m.id);
    size_t nibbles = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '-') continue;
        const int v = hex_value(*p);
        if (v < 0) {
            m.rc = EINVAL;
            return m;
        }
        m.digits += "0123456789abcdef"[v];
        if (++nibbles % 2 == 0) {
            const size_t byte = nibbles / 2 - 1;
            // The digit before may sit across a hyphen, so it is taken from
            // the digits consumed, not from the text.
            m.id[byte] = static_cast<uint8_t>(hex_value(m.digits[nibbles - 2]) << 4 | v);
            if (byte + 1 == kIdBytes) {
                m.rc = 0;
                return m;
            }
        }
    }
    return m;
}

void check_text_form(const char *text, const std::string &digits) {
    CHECK(std::strlen(text) == kTextLen);
    size_t d = 0;
    for (size_t i = 0; i < kTextLen; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            CHECK(text[i] == '-');
        } else {
            CHECK(text[i] == digits[d]);
            ++d;
        }
    }
}

void fuzz_parse(const uint8_t *data, size_t size) {
    const size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    auto text = std::make_unique<char[]>(len + 1);
    std::memcpy(text.get(), data, len);
    text[len] = '\0';

    uint8_t id[kIdBytes];
    std::memset(id, kUntouched, sizeof id);
    const int32_t rc = ov_uuid_parse(text.get(), id);
    CHECK(rc == 0 || rc == EINVAL || rc == ERANGE);
    const Parsed m = model_parse(text.get());
    CHECK(rc == m.rc);
    CHECK(std::memcmp(id, m.id, sizeof id) == 0);
    if (rc != 0) return;

    // Round trip: text form, then parse again.
    auto out = std::make_unique<char[]>(kTextLen + 1);
    CHECK(ov_uuid_to_string(id, out.get()) == 0);
    check_text_form(out.get(), m.digits);
    uint8_t again[kIdBytes];
    CHECK(ov_uuid_parse(out.get(), again) == 0);
    CHECK(std::memcmp(id, again, sizeof id) == 0);
}

// The append writes 36 characters and a NUL at the offset when at least 37
// bytes are free, and nothing otherwise.
void fuzz_append(const uint8_t *data, size_t size) {
    if (size < 2) return;
    const int64_t buffer_size = static_cast<int64_t>(data[0] % 100) - 10;  // some negative
    const uint64_t offset = data[1] % 120;
    const size_t block = buffer_size > 0 ? static_cast<size_t>(buffer_size) : 0;
    auto buf = std::make_unique<char[]>(block);
    std::memset(buf.get(), '#', block);
    uint64_t pos = offset;
    const bool null_pos = (data[0] & 0x80) != 0;
    const int32_t rc = ov_uuid_append(buf.get(), buffer_size, null_pos ? nullptr : &pos);
    const uint64_t at = null_pos ? 0 : offset;
    const bool fits = buffer_size - static_cast<int64_t>(at) > static_cast<int64_t>(kTextLen);
    if (!fits) {
        CHECK(rc == EBUFFER);
        CHECK(pos == offset);
        for (size_t i = 0; i < block; ++i) CHECK(buf[i] == '#');
        return;
    }
    CHECK(rc == 0);
    CHECK(pos == (null_pos ? offset : offset + kTextLen));
    uint8_t id[kIdBytes];
    CHECK(ov_uuid_parse(buf.get() + at, id) == 0);
    auto text = std::make_unique<char[]>(kTextLen + 1);
    CHECK(ov_uuid_to_string(id, text.get()) == 0);
    CHECK(std::memcmp(buf.get() + at, text.get(), kTextLen + 1) == 0);
    for (size_t i = 0; i < block; ++i)
        if (i < at || i > at + kTextLen) CHECK(buf[i] == '#');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_parse(data, size);
    fuzz_append(data, size);
    return 0;
}
