// fuzz_path_canonical.cpp - libFuzzer target for the canonical form and the
// parent of a path.
//
// Each input gives a path text and an output size; ov_path_canonical and
// ov_path_parent write into a heap block of exactly that size, so that
// AddressSanitizer reports any byte written at or past it. The target
// aborts unless:
//   - the result is 0 or -1 (canonical) or a length or -1 (parent), and a
//     success leaves a NUL-terminated text within the size;
//   - a successful result that is not a URL has the canonical shape (see
//     fuzz_path_util.h) and is its own canonical form;
//   - a URL comes back unchanged (cut to the size);
//   - the parent of a rooted path is its canonical form without the last
//     component.
#include <ovplatform/ovpath.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_path_util.h"

namespace {

using fuzzpath::is_url_like;

void fuzz_canonical(const std::string &text, size_t size) {
    auto in = ovfuzz::c_string(text);
    auto out = std::make_unique<char[]>(size);
    const int rc = ov_path_canonical(in.get(), out.get(), size);
    CHECK(rc == 0 || rc == -1);
    if (rc != 0) return;
    CHECK(size > 0 && strnlen(out.get(), size) < size);
    const std::string result(out.get());
    if (is_url_like(in.get())) {
        CHECK(text.compare(0, result.size(), result) == 0);
        return;
    }
    if (text.empty()) {
        CHECK(result.empty());
        return;
    }
    fuzzpath::check_canonical_shape(result);
    int again_rc = 0;
    const std::string again = fuzzpath::canonical(result.c_str(), &again_rc);
    CHECK(again_rc == 0);
    CHECK(again == result);

    // In place gives the same.
    if (text.size() < size) {
        auto inplace = std::make_unique<char[]>(size);
        std::memcpy(inplace.get(), in.get(), text.size() + 1);
        CHECK(ov_path_canonical(inplace.get(), inplace.get(), size) == 0);
        CHECK(result == inplace.get());
    }
}

void fuzz_parent(const std::string &text, size_t size) {
    auto in = ovfuzz::c_string(text);
    auto out = std::make_unique<char[]>(size);
    const int rc = ov_path_parent(in.get(), out.get(), size);
    CHECK(rc >= -1);
    if (rc < 0) return;
    CHECK(size > 0 && strnlen(out.get(), size) < size);
    CHECK(static_cast<size_t>(rc) == std::strlen(out.get()));
    const std::string parent(out.get());
    if (is_url_like(in.get()) || is_url_like(parent.c_str())) return;
    fuzzpath::check_canonical_shape(parent);

    int whole_rc = 0;
    const std::string whole = fuzzpath::canonical(in.get(), &whole_rc);
    if (whole_rc != 0) return;
    const size_t root = fuzzpath::root_length(whole);
    if (root == 0) return;
    // A rooted canonical path holds no "..": its parent is the text before
    // its last '/', or the root itself.
    std::string expected = whole.substr(0, root);
    if (whole.size() > root) {
        const size_t last = whole.rfind('/');
        if (last >= root) expected = whole.substr(0, last);
    }
    CHECK(parent == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const std::string text = fuzzpath::path_text(fdp);
    const size_t out_size = fuzzpath::out_size(fdp, text.size());
    fuzz_canonical(text, out_size);
    fuzz_parent(text, out_size);
    return 0;
}
