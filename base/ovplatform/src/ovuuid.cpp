// ovuuid.cpp - 128-bit unique identifiers and their text form.
//
// Generates identifiers with libuuid, writes and reads their 36-character
// text form, clears them, and appends a fresh identifier's text to a string
// buffer. The module keeps no state; the caller owns every identifier.
//
// The text form is written by a table-driven loop rather than snprintf: every
// lock record and every temporary name of the lock files needs one, and a
// format call costs many times the 16 table look-ups.
#include <ovplatform/overror.h>
#include <ovplatform/ovuuid.h>

#include <array>
#include <cstring>

#include <uuid/uuid.h>

namespace {

constexpr size_t kIdBytes = 16;
static_assert(sizeof(uuid_t) == kIdBytes);

// Two lowercase digits for every byte value: "000102...feff".
constexpr std::array<char, 512> kHexPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 512> pairs{};
    for (size_t b = 0; b < 256; ++b) {
        pairs[2 * b] = digits[b >> 4];
        pairs[2 * b + 1] = digits[b & 0xF];
    }
    return pairs;
}();

// Where the two digits of each byte stand in the text: the groups of 4, 2,
// 2, 2 and 6 bytes are separated by hyphens at 8, 13, 18 and 23.
constexpr std::array<unsigned char, kIdBytes> kDigitOffsets = {0,  2,  4,  6,  9,  11, 14, 16,
                                                               19, 21, 24, 26, 28, 30, 32, 34};
constexpr std::array<unsigned char, 4> kHyphenOffsets = {8, 13, 18, 23};

void write_text(const uint8_t *id, char *text) {
    for (size_t i = 0; i < kIdBytes; ++i) {
        const char *pair = &kHexPairs[2 * size_t{id[i]}];
        text[kDigitOffsets[i]] = pair[0];
        text[kDigitOffsets[i] + 1] = pair[1];
    }
    for (unsigned char h : kHyphenOffsets) text[h] = '-';
    text[OV_UUID_TEXT_LEN] = '\0';
}

// Value of a hexadecimal digit, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" {

int32_t ov_uuid_generate(uint8_t id[16]) noexcept {
    if (id == nullptr) return EINVAL;
    uuid_generate(id);
    return 0;
}

int32_t ov_uuid_to_string(const uint8_t id[16], char *text) noexcept {
    if (id == nullptr || text == nullptr) return EINVAL;
    write_text(id, text);
    return 0;
}

int32_t ov_uuid_clear(uint8_t id[16]) noexcept {
    if (id == nullptr) return EINVAL;
    // explicit_bzero: the bytes are usually a local that is dead after the
    // clear, and a plain memset of it may be optimised away.
    explicit_bzero(id, kIdBytes);
    return 0;
}

int32_t ov_uuid_append(char *buffer, int64_t size, uint64_t *pos) noexcept {
    uint64_t offset = pos != nullptr ? *pos : 0;
    // At least 37 bytes must be free. Compared without forming size - offset,
    // which could overflow for an offset beyond the size.
    constexpr int64_t kNeeded = OV_UUID_TEXT_LEN + 1;
    if (size < kNeeded || offset > static_cast<uint64_t>(size - kNeeded)) return EBUFFER;
    if (buffer == nullptr) return EINVAL;

    uint8_t id[kIdBytes];
    uuid_generate(id);
    write_text(id, buffer + offset);
    explicit_bzero(id, sizeof id);
    if (pos != nullptr) *pos = offset + OV_UUID_TEXT_LEN;
    return 0;
}

int32_t ov_uuid_parse(const char *text, uint8_t id[16]) noexcept {
    if (text == nullptr || id == nullptr) return EINVAL;
    size_t byte = 0;
    int high = -1;  // first digit of the pair being read, if any
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '-') continue;
        int v = hex_value(*p);
        if (v < 0) return EINVAL;
        if (high < 0) {
            high = v;
            continue;
        }
        id[byte++] = static_cast<uint8_t>((high << 4) | v);
        high = -1;
        if (byte == kIdBytes) return 0;
    }
    return ERANGE;
}

}  // extern "C"
