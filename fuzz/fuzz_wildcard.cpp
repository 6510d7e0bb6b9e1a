// fuzz_wildcard.cpp - libFuzzer target for the wildcard matcher.
//
// The matcher goes back only to the most recent star; its rules are stated
// most plainly as a recursion that tries every place for every star, which
// is kept here as the reference. Both must agree on every short pattern and
// text (the recursion's time grows exponentially with the number of stars,
// so the inputs are kept short). ov_str_has_wildcard is checked against a
// direct reading of its rule. Pattern and text are blocks of exactly their
// length plus the terminator.
#include <ovplatform/ovstring.h>

#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_util.h"

namespace {

// "*" any run, "?" any byte, a backslash makes the next pattern byte
// ordinary; at the end of the text the rest of the pattern must be exactly
// one "*"; a star that is not last tries the rest of the pattern at every
// place up to the text's last byte.
int reference_match(const char *p, const char *t) {
    for (;;) {
        if (*p == '\0') return *t == '\0' ? 0 : 1;
        if (*t == '\0') return p[0] == '*' && p[1] == '\0' ? 0 : 1;
        if (*p == '*') {
            if (p[1] == '\0') return 0;
            for (; *t != '\0'; ++t)
                if (reference_match(p + 1, t) == 0) return 0;
            return 1;
        }
        if (*p != '?') {
            if (*p == '\\') ++p;
            if (*p != *t) return 1;
        }
        ++p;
        ++t;
    }
}

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
    CHECK(ov_str_wildcard_match(p.get(), t.get()) == reference_match(p.get(), t.get()));
    CHECK(ov_str_has_wildcard(p.get()) == reference_has_wildcard(pattern));
    return 0;
}
