// fuzz_hex.cpp - libFuzzer target for the hexadecimal encoder and decoder.
//
// Each input is encoded into a buffer of exactly 2 * length + 1 bytes (one
// less must give EBUFFER), compared with "%02X" per byte, and decoded back.
// Then the input itself is decoded as text, by its length and by strlen,
// into a buffer of fuzzed size, against a model that walks the pairs: the
// result, the out length and every byte written before a bad pair must
// agree, and nothing may be written past the buffer.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_util.h"

namespace {

using ovfuzz::block;

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void round_trip(const std::string &data) {
    const size_t n = data.size();
    auto text = block(2 * n + 1);
    char *t = reinterpret_cast<char *>(text.get());
    CHECK(ov_str_hex_encode(data.data(), n, t, 2 * n) == EBUFFER);
    CHECK(ov_str_hex_encode(data.data(), n, t, 2 * n + 1) == 0);
    for (size_t i = 0; i < n; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(data[i]));
        CHECK(t[2 * i] == pair[0] && t[2 * i + 1] == pair[1]);
    }
    CHECK(t[2 * n] == '\0');
    auto bytes = block(n);
    size_t got = 0;
    CHECK(ov_str_hex_decode(t, 2 * n, bytes.get(), n, &got) == 0);
    CHECK(got == n && std::memcmp(bytes.get(), data.data(), n) == 0);
}

void decode_any(const std::string &text, bool by_strlen, size_t size) {
    const auto c_text = ovfuzz::c_string(text);
    const size_t length = by_strlen ? std::strlen(c_text.get()) : text.size();
    auto bytes = block(size, 0x5A);
    size_t got = SIZE_MAX;
    const int32_t rc =
        ov_str_hex_decode(c_text.get(), by_strlen ? SIZE_MAX : length, bytes.get(), size, &got);
    if (length % 2 != 0) {
        CHECK(rc == EINVAL && got == SIZE_MAX);
        return;
    }
    CHECK(got == length / 2);
    if (size < length / 2) {
        CHECK(rc == EBUFFER);
        for (size_t i = 0; i < size; ++i) CHECK(bytes[i] == 0x5A);
        return;
    }
    size_t i = 0;
    for (; i < length / 2; ++i) {
        const int hi = hex_value(static_cast<unsigned char>(c_text[2 * i]));
        const int lo = hex_value(static_cast<unsigned char>(c_text[2 * i + 1]));
        if (hi < 0 || lo < 0) break;
        CHECK(bytes[i] == (hi << 4 | lo));
    }
    CHECK(rc == (i == length / 2 ? 0 : EINVAL));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ovfuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto [slack, rest] = ovfuzz::number_and_rest(data, size, 8);
    round_trip(rest);
    const size_t room = ovfuzz::near_size(rest.size() / 2, slack);
    decode_any(rest, false, room);
    decode_any(rest, true, room);
    return 0;
}
