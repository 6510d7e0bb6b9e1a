// fuzz_utf8_sanitize.cpp - libFuzzer target for ov_utf8_sanitize.
//
// The input picks a destination size, a replacement (the default U+FFFD, an
// ASCII one, an empty one or one of two bytes) and a text. The destination
// is a heap block of exactly that size. The target aborts unless the result
// code, the output and the reported size equal those of a model that
// follows the described walk step by step, and unless the output is always
// well-formed UTF-8 (the replacements are).
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_utf_util.h"

using namespace fuzzutf;
using ovfuzz::c_string;
using ovfuzz::same_bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t dst_size = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(1, 16)
                                             : in.ConsumeIntegralInRange<size_t>(1, 4096);
    static const char *const kReplacements[] = {nullptr, "?", "", "\xC3\xA9"};
    const char *replacement = kReplacements[in.ConsumeIntegralInRange<int>(0, 3)];
    const size_t replacement_length = replacement != nullptr ? std::strlen(replacement) : 0;
    std::string text = in.ConsumeRemainingBytesAsString();
    text.resize(std::strlen(text.c_str()));  // up to the first NUL
    auto src = c_string(text);

    // The model.
    const std::string with = replacement != nullptr ? replacement : "\xEF\xBF\xBD";
    const auto *s = reinterpret_cast<const unsigned char *>(text.c_str());
    std::string model;
    int32_t model_rc = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t left = text.size() - i;
        const unsigned char *broken = check_model(s + i, left, announced(s[i]));
        if (broken == nullptr) {
            const size_t len = announced(s[i]);
            if (model.size() + len + 1 > dst_size) {
                model_rc = EBUFFER;
                break;
            }
            model.append(text, i, len);
            i += len;
        } else {
            if (model.size() + with.size() + 1 > dst_size) {
                model_rc = EBUFFER;
                break;
            }
            model += with;
            model_rc = EILLUTFSTR;
            i = static_cast<size_t>(broken - s) + 1;
        }
    }

    std::unique_ptr<char[]> dst(new char[dst_size]);
    size_t io = dst_size;
    const int32_t rc = ov_utf8_sanitize(dst.get(), src.get(), &io, replacement, replacement_length);
    CHECK(rc == model_rc);
    CHECK(io == model.size());
    CHECK(same_bytes(dst.get(), model.c_str(), model.size() + 1));
    CHECK(valid(std::string(dst.get())));
    if (valid(text) && text.size() < dst_size) CHECK(rc == 0 && model == text);
    return 0;
}
