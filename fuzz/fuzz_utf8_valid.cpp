// fuzz_utf8_valid.cpp - libFuzzer target for UTF-8 validation, counting and
// the ellipsis.
//
// The input is read twice: as bytes without a terminator, in a heap block of
// exactly their size with that size as the limit, and as a NUL-terminated
// string (up to the first NUL of the input). The target aborts unless:
//   - ov_utf8_is_valid and ov_utf8_valid_prefix agree with a direct RFC 3629
//     reference, with no limit and with a fuzzed one;
//   - ov_utf8_check_char at every byte gives what the step-by-step check
//     gives, with the bytes left before the terminator as available;
//   - ov_utf8_strlen and ov_utf8_advance step by announced lengths and stop
//     at the terminator;
//   - ov_utf8_ellipsize of well-formed text gives exactly the characters the
//     mode keeps around "...".
// AddressSanitizer reports any read past either block.
#include <ovplatform/ovstring.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_utf_util.h"

using namespace fuzzutf;
using ovfuzz::c_string;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto *nul_at = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t length = nul_at != nullptr ? static_cast<size_t>(nul_at - data) : size;
    const size_t expected = valid_prefix(data, length);

    // Bytes without a terminator, limited by their size.
    auto raw = ovfuzz::copy_of(data, size);
    CHECK(ov_utf8_valid_prefix(raw.get(), size) == expected);
    CHECK(ov_utf8_is_valid(raw.get(), size) == (length < size && expected == length ? 1 : 0));

    // The string up to the first NUL.
    auto text = c_string(data, length);
    const char *t = text.get();
    CHECK(ov_utf8_is_valid(t, SIZE_MAX) == (expected == length ? 1 : 0));
    CHECK(ov_utf8_valid_prefix(t, SIZE_MAX) == expected);
    const size_t limit = size > 0 ? data[size - 1] % (length + 2) : 0;
    const size_t within = limit < length ? limit : length;
    CHECK(ov_utf8_valid_prefix(t, limit) == valid_prefix(data, within));
    CHECK(ov_utf8_is_valid(t, limit) == (limit > length && expected == length ? 1 : 0));

    const auto *u = reinterpret_cast<const unsigned char *>(t);
    for (size_t i = 0; i < length; ++i) {
        const size_t left = length - i;
        const auto *model = check_model(u + i, left, announced(u[i]));
        CHECK(ov_utf8_check_char(t + i, static_cast<int32_t>(left)) ==
              reinterpret_cast<const char *>(model));
        CHECK((model == nullptr) == (char_length(u, length, i, nullptr) != 0));
    }

    // Stepping by announced lengths, never past the terminator.
    std::vector<size_t> starts;
    for (size_t i = 0; i < length;) {
        starts.push_back(i);
        const size_t step = announced(u[i]);
        i = i + step < length ? i + step : length;
    }
    CHECK(ov_utf8_strlen(t) == starts.size());
    const size_t count = size > 1 ? data[0] % (starts.size() + 2) : 0;
    const char *after = ov_utf8_advance(t, count);
    if (length == 0) {
        CHECK(after == nullptr);
    } else {
        CHECK(after == t + (count < starts.size() ? starts[count] : length));
    }

    if (expected == length && length > 0 && size > 2) {
        const size_t chars = starts.size();
        const size_t keep = data[1] % (chars + 4);
        const int32_t mode = static_cast<int32_t>(data[2] % 3) - 1;
        std::vector<char> out(length + 1, '#');
        char *r = ov_utf8_ellipsize(t, out.data(), keep, mode);
        if (keep <= 2) {
            CHECK(r == nullptr);
        } else {
            CHECK(r == out.data());
            std::string model;
            auto piece = [&](size_t from, size_t to) {  // characters [from, to)
                const size_t a = from < chars ? starts[from] : length;
                const size_t b = to < chars ? starts[to] : length;
                model.append(t + a, b - a);
            };
            if (keep >= chars) {
                model = t;
            } else if (mode < 0) {
                model = "...";
                piece(chars - (keep - 3), chars);
            } else if (mode == 0) {
                piece(0, (keep - 3) / 2);
                model += "...";
                piece(chars - (keep - 2) / 2, chars);
            } else {
                piece(0, keep - 3);
                model += "...";
            }
            CHECK(model == r);
            CHECK(ov_utf8_strlen(r) == (keep < chars ? keep : chars));
        }
        char *heap = ov_utf8_ellipsize(t, nullptr, keep, mode);
        CHECK((heap == nullptr) == (r == nullptr));
        if (heap != nullptr) CHECK(std::strcmp(heap, r) == 0);
        std::free(heap);
    } else if (expected != length) {
        CHECK(ov_utf8_ellipsize(t, nullptr, 10, 0) == nullptr);
    }
    return 0;
}
