// fuzz_utf16_surrogates.cpp - libFuzzer target for UTF-16 to UTF-8 with lone
// surrogates.
//
// Each pair of input bytes makes a unit; half of them are steered into the
// surrogate range, so that pairs, lone high and low surrogates and a high
// one right before the terminator all come often. The units, terminated, lie
// in a heap block of exactly their size. For both modes the target aborts
// unless ov_utf16_to_utf8 gives what a unit-by-unit reference gives: the same
// refusals (EINVAL, nothing written), the same size needed, the same bytes
// in a buffer of exactly that size and in a generous one, and the size left
// unchanged on success. With ICU at hand, strict mode fails exactly where
// u_strToUTF8 does and otherwise gives the same bytes; strict output
// converted back with ov_utf8_to_utf16 gives the units again.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifdef OV_FUZZ_HAVE_ICU
#include <unicode/ustring.h>
#endif

#include "fuzz_utf_util.h"

using namespace fuzzutf;
using ovfuzz::same_bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint16_t> units;
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint16_t u = static_cast<uint16_t>(data[i] | (data[i + 1] << 8));
        if (data[i] & 1) u = static_cast<uint16_t>(0xD800 | (u & 0x7FF));  // a surrogate
        if (u == 0) u = 'x';
        units.push_back(u);
    }
    const size_t n = units.size();
    std::unique_ptr<uint16_t[]> src(new uint16_t[n + 1]);
    if (n != 0) std::memcpy(src.get(), units.data(), n * 2);
    src[n] = 0;
    CHECK(ov_utf16_strlen(src.get()) == n);

    for (int lenient = 0; lenient < 2; ++lenient) {
        std::string reference;
        const bool ok = utf16_to_utf8(units, lenient != 0, reference);
        size_t needed = 0;
        const int32_t rc = ov_utf16_to_utf8(src.get(), lenient, nullptr, &needed);
        if (!ok) {
            CHECK(rc == EINVAL);
            std::unique_ptr<char[]> out(new char[3 * n + 1]);
            std::memset(out.get(), '#', 3 * n + 1);
            size_t io = 3 * n + 1;
            CHECK(ov_utf16_to_utf8(src.get(), lenient, out.get(), &io) == EINVAL);
            for (size_t k = 0; k < 3 * n + 1; ++k) CHECK(out[k] == '#');
            continue;
        }
        CHECK(rc == ERANGE);
        CHECK(needed == reference.size() + 1);
        {
            std::unique_ptr<char[]> out(new char[reference.size()]);
            size_t io = reference.size();
            CHECK(ov_utf16_to_utf8(src.get(), lenient, out.get(), &io) == ERANGE);
            CHECK(io == needed);
        }
        for (size_t bytes : {reference.size() + 1, 3 * n + 1}) {
            std::unique_ptr<char[]> out(new char[bytes]);
            size_t io = bytes;
            CHECK(ov_utf16_to_utf8(src.get(), lenient, out.get(), &io) == 0);
            CHECK(io == bytes);
            CHECK(reference == out.get());
        }
        if (lenient == 0) {
            // Strict output is well-formed and converts back to the units.
            CHECK(valid(reference));
            std::vector<uint16_t> back(n + 1);
            size_t io = back.size() * 2;
            CHECK(ov_utf8_to_utf16(reference.c_str(), 0, back.data(), &io) == 0);
            CHECK(io == n * 2);
            CHECK(same_bytes(back.data(), units.data(), n * 2));
        }
    }
#ifdef OV_FUZZ_HAVE_ICU
    {
        std::string reference;
        const bool ok = utf16_to_utf8(units, false, reference);
        std::vector<char> icu(3 * n + 1);
        int32_t icu_length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strToUTF8(icu.data(), static_cast<int32_t>(icu.size()), &icu_length,
                    reinterpret_cast<const UChar *>(units.data()), static_cast<int32_t>(n),
                    &status);
        CHECK(U_SUCCESS(status) == ok);
        if (ok) CHECK(std::string(icu.data(), static_cast<size_t>(icu_length)) == reference);
    }
#endif
    return 0;
}
