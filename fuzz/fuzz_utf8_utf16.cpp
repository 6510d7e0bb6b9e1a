// fuzz_utf8_utf16.cpp - libFuzzer target for UTF-8 to UTF-16 and back.
//
// The input (up to its first NUL) is converted with ov_utf8_to_utf16 into
// no buffer, a buffer one unit short, the exact buffer and a generous one,
// each a heap block of exactly its size. The target aborts unless:
//   - malformed text (by a direct RFC 3629 reference) gives EINVAL in both
//     modes and writes nothing, and well-formed text gives ERANGE with the
//     size needed and then exactly the reference's units;
//   - ov_utf16_to_utf8 of those units gives the text back (the identity);
//   - with ICU at hand, u_strFromUTF8 fails exactly where the library does
//     and gives the same units, and u_strToUTF8 gives the same bytes back.
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
using ovfuzz::c_string;
using ovfuzz::same_bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int lenient = size > 0 ? data[0] & 1 : 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));
    auto src = c_string(text);
    const bool ok = valid(text);

    size_t needed = 0;
    const int32_t rc = ov_utf8_to_utf16(src.get(), lenient, nullptr, &needed);
#ifdef OV_FUZZ_HAVE_ICU
    {
        std::vector<UChar> icu(text.size() + 1);
        int32_t icu_length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strFromUTF8(icu.data(), static_cast<int32_t>(icu.size()), &icu_length, text.c_str(),
                      static_cast<int32_t>(text.size()), &status);
        CHECK(U_SUCCESS(status) == ok);
        if (ok) {
            const std::vector<uint16_t> reference = utf8_to_utf16(text);
            CHECK(static_cast<size_t>(icu_length) == reference.size());
            CHECK(same_bytes(icu.data(), reference.data(), reference.size() * 2));
        }
    }
#endif
    if (!ok) {
        CHECK(rc == EINVAL);
        std::vector<uint16_t> out(text.size() + 1, 0xAAAA);
        size_t io = out.size() * 2;
        CHECK(ov_utf8_to_utf16(src.get(), 1 - lenient, out.data(), &io) == EINVAL);
        CHECK(io == out.size() * 2);
        for (uint16_t unit : out) CHECK(unit == 0xAAAA);
        return 0;
    }
    const std::vector<uint16_t> reference = utf8_to_utf16(text);
    CHECK(rc == ERANGE);
    CHECK(needed == (reference.size() + 1) * 2);

    // One unit short: refused, nothing written.
    {
        std::unique_ptr<uint16_t[]> out(new uint16_t[reference.size() + 1]);
        for (size_t k = 0; k <= reference.size(); ++k) out[k] = 0xAAAA;
        size_t io = needed - 1;  // an odd size holds one unit less
        CHECK(ov_utf8_to_utf16(src.get(), lenient, out.get(), &io) == ERANGE);
        CHECK(io == needed);
        for (size_t k = 0; k <= reference.size(); ++k) CHECK(out[k] == 0xAAAA);
    }
    // Exactly the size needed, and a generous buffer (one unit per byte).
    for (size_t units : {reference.size() + 1, text.size() + 1}) {
        std::unique_ptr<uint16_t[]> out(new uint16_t[units]);
        size_t io = units * 2;
        CHECK(ov_utf8_to_utf16(src.get(), lenient, out.get(), &io) == 0);
        CHECK(io == reference.size() * 2);
        CHECK(same_bytes(out.get(), reference.data(), io));
        CHECK(out[reference.size()] == 0);
        CHECK(ov_utf16_strlen(out.get()) == reference.size());
    }

    // Back to UTF-8: the identity, with the exact size and a generous one.
    std::unique_ptr<uint16_t[]> units(new uint16_t[reference.size() + 1]);
    if (!reference.empty()) std::memcpy(units.get(), reference.data(), reference.size() * 2);
    units[reference.size()] = 0;
    size_t back_needed = 0;
    CHECK(ov_utf16_to_utf8(units.get(), lenient, nullptr, &back_needed) == ERANGE);
    CHECK(back_needed == text.size() + 1);
    for (size_t bytes : {text.size() + 1, 3 * reference.size() + 1}) {
        std::unique_ptr<char[]> out(new char[bytes]);
        size_t io = bytes;
        CHECK(ov_utf16_to_utf8(units.get(), lenient, out.get(), &io) == 0);
        CHECK(io == bytes);
        CHECK(std::strcmp(out.get(), text.c_str()) == 0);
    }
#ifdef OV_FUZZ_HAVE_ICU
    {
        std::vector<char> icu(3 * reference.size() + 1);
        int32_t icu_length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strToUTF8(icu.data(), static_cast<int32_t>(icu.size()), &icu_length,
                    reinterpret_cast<const UChar *>(reference.data()),
                    static_cast<int32_t>(reference.size()), &status);
        CHECK(U_SUCCESS(status));
        CHECK(std::string(icu.data(), static_cast<size_t>(icu_length)) == text);
    }
#endif
    return 0;
}
