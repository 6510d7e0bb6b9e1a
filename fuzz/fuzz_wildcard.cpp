// fuzz_wildcard.cpp - libFuzzer target for the wildcard matcher.
//
// The matcher goes back only to the most recent star; its rules are stated
// most plainly as a recursion that tries every place for every star, the
// reference the unit tests use too (ovsupport/wildcard_reference.h). Both
// must agree on every short pattern and text (the recursion's time grows
// exponentially with the number of stars, so the inputs are kept short). ov_str_has_wildcard is
// checked against a direct reading of its rule. Pattern and text are blocks of exactly their length
// plus the terminator.
#include <ovplatform/ovstring.h>

#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_util.h"
#include "ovsupport/wildcard_reference.h"

namespace {

int reference_has_wildcard(const std::string &text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            if (i + 1 == text.size()) return 0;
            ++i;
        } else if (text[i] == '*' || text[i] == '?') {
            return 1;
        }
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    std::string pattern = fdp.ConsumeRandomLengthString(12);
    std::string text = fdp.ConsumeRandomLengthString(14);
    pattern.resize(std::strlen(pattern.c_str()));
    text.resize(std::strlen(text.c_str()));
    const auto p = ovfuzz::c_string(pattern);
    const auto t = ovfuzz::c_string(text);
    CHECK(ov_str_wildcard_match(p.get(), t.get()) == ovsupport::wildcard::match(p.get(), t.get()));
    CHECK(ov_str_has_wildcard(p.get()) == reference_has_wildcard(pattern));
    return 0;
}
