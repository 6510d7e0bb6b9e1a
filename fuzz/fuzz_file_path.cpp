// fuzz_file_path.cpp - libFuzzer target for the path-string helpers of the
// file module.
//
// Each input gives a directory text, a name and an output size. Texts and
// outputs are heap blocks of exactly their size. The target aborts unless:
//   - ov_file_path_join gives exactly directory, '/' (unless the directory
//     ends with one, or is empty and the name begins with one) and name,
//     EBUFFER with the output untouched when that and its NUL do not fit,
//     and the same when the directory is the output buffer itself;
//   - ov_file_dirname leaves a non-empty text no longer than the input that
//     is "." or a prefix of the input (an empty input stays empty);
//   - ov_file_basename points into the path at a non-empty last component
//     without '/', or reports EBASENAME with a null pointer;
//   - ov_file_path_within finds every path within itself.
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_path_util.h"

namespace {

constexpr char kUntouched = '\x5A';

void fuzz_join(const std::string &dir, const std::string &name, size_t size) {
    std::string expected;
    if (dir.empty()) {
        expected = (!name.empty() && name[0] == '/' ? "" : "/") + name;
    } else {
        expected = dir + (dir.back() == '/' ? "" : "/") + name;
    }
    const bool fits = expected.size() + 1 <= size;

    auto d = ovfuzz::c_string(dir);
    auto n = ovfuzz::c_string(name);
    auto out = std::make_unique<char[]>(size);
    std::memset(out.get(), kUntouched, size);
    const int32_t rc = ov_file_path_join(d.get(), n.get(), out.get(), size);
    if (!fits) {
        CHECK(rc == EBUFFER);
        for (size_t i = 0; i < size; ++i) CHECK(out[i] == kUntouched);
        return;
    }
    CHECK(rc == 0);
    CHECK(expected == out.get());

    // Appending in place: the directory is already in the output buffer.
    auto shared = std::make_unique<char[]>(size);
    std::memcpy(shared.get(), dir.c_str(), dir.size() + 1);
    CHECK(ov_file_path_join(shared.get(), n.get(), shared.get(), size) == 0);
    CHECK(expected == shared.get());
}

void fuzz_dirname(const std::string &text) {
    auto path = ovfuzz::c_string(text);
    CHECK(ov_file_dirname(path.get()) == 0);
    const std::string result(path.get());
    if (text.empty()) {
        CHECK(result.empty());
        return;
    }
    CHECK(!result.empty());
    CHECK(result.size() <= text.size());
    CHECK(result == "." || text.compare(0, result.size(), result) == 0);
}

void fuzz_basename(const std::string &text) {
    auto path = ovfuzz::c_string(text);
    const char *base = path.get();
    const int32_t rc = ov_file_basename(path.get(), &base);
    if (rc == EBASENAME) {
        CHECK(base == nullptr);
        return;
    }
    CHECK(rc == 0);
    CHECK(base >= path.get() && base < path.get() + text.size());
    CHECK(std::strchr(base, '/') == nullptr);
    CHECK(base == path.get() || base[-1] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const std::string dir = fuzzpath::path_text(fdp);
    const std::string name = fuzzpath::path_text(fdp);
    const size_t out_size = fuzzpath::out_size(fdp, dir.size() + name.size() + 2);
    fuzz_join(dir, name, out_size);
    fuzz_dirname(dir);
    fuzz_basename(name);
    auto d = ovfuzz::c_string(dir);
    CHECK(ov_file_path_within(d.get(), d.get()) == 0);
    return 0;
}
