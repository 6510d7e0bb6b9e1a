// fuzz_path_ops.cpp - libFuzzer target for joining, forcing a path absolute
// and the portability repair.
//
// Each input gives two path texts, an output size, a strip flag and a
// replacement character. Outputs are heap blocks of exactly their size. The
// target aborts unless:
//   - ov_path_join_ex returns 0 or -1; a success is NUL-terminated within
//     the size, equals the canonical form of the joined text (or of the
//     name alone in the cases that take it alone), and is the same when the
//     name or the directory already lies in the output buffer;
//   - ov_path_force_absolute gives what a small model predicts: white space
//     dropped, '\' turned into '/', a '/' put in front unless there is a
//     root, EINVAL for "D:x" and EPATHMAX when the '/' does not fit;
//   - a text repaired by ov_path_sanitize with a replacement that is itself
//     allowed keeps its length and passes ov_path_is_portable, and a text
//     that already passes comes back unchanged.
#include <ovplatform/overror.h>
#include <ovplatform/ovpath.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_path_util.h"

namespace {

using fuzzpath::is_url_like;

// The text whose canonical form the join must give: the name alone in the
// cases that take it alone, else directory, '/' (unless the directory ends
// with one) and the name, without its leading '/' when strip is set.
std::string joined_text(const std::string &dir, const std::string &name, bool strip) {
    const bool relative = ov_path_is_relative(name.c_str()) != 0;
    if (dir.empty() || (dir == "." && relative) || (dir == "/" && !relative)) return name;
    size_t skip = 0;
    if (strip)
        while (skip < name.size() && name[skip] == '/') ++skip;
    return dir + (dir.back() == '/' ? "" : "/") + name.substr(skip);
}

void fuzz_join(const std::string &dir, const std::string &name, size_t size, bool strip) {
    auto d = ovfuzz::c_string(dir);
    auto n = ovfuzz::c_string(name);
    auto out = std::make_unique<char[]>(size);
    const int rc = ov_path_join_ex(d.get(), n.get(), out.get(), size, strip);
    CHECK(rc == 0 || rc == -1);
    std::string result;
    if (rc == 0) {
        CHECK(size > 0 && strnlen(out.get(), size) < size);
        result = out.get();
        const std::string joined = joined_text(dir, name, strip);
        int model_rc = 0;
        const std::string model = fuzzpath::canonical(joined.c_str(), &model_rc);
        if (!is_url_like(joined.c_str())) {
            CHECK(model_rc == 0);
            CHECK(result == model);
            if (!result.empty()) fuzzpath::check_canonical_shape(result);
        }
    }

    // The name inside the output buffer, as when a caller joins in place. It
    // is then first copied aside into a work buffer, which takes no name of
    // 8192 bytes or more even where stripping would have shortened it.
    if (name.size() < size && name.size() < 8192) {
        auto shared = std::make_unique<char[]>(size);
        std::memcpy(shared.get(), name.c_str(), name.size() + 1);
        const int shared_rc = ov_path_join_ex(d.get(), shared.get(), shared.get(), size, strip);
        CHECK(shared_rc == rc);
        if (rc == 0) CHECK(result == shared.get());
    }
    // The directory is the output buffer.
    if (dir.size() < size) {
        auto shared = std::make_unique<char[]>(size);
        std::memcpy(shared.get(), dir.c_str(), dir.size() + 1);
        const int shared_rc = ov_path_join_ex(shared.get(), n.get(), shared.get(), size, strip);
        CHECK(shared_rc == rc);
        if (rc == 0) CHECK(result == shared.get());
    }
}

void fuzz_force_absolute(const std::string &text, size_t extra) {
    const size_t size = text.size() + 1 + extra;
    auto buffer = std::make_unique<char[]>(size);
    std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
    const int32_t rc = ov_path_force_absolute(buffer.get(), size);

    const size_t first = text.find_first_not_of(" \t\n\v\f\r");
    std::string t = first == std::string::npos ? std::string() : text.substr(first);
    for (char &c : t)
        if (c == '\\') c = '/';
    if (t.size() >= 2 && fuzzpath::is_letter(t[0]) && t[1] == ':') {
        if (t.size() < 3 || t[2] != '/') {
            CHECK(rc == EINVAL);
            return;
        }
    } else if (t.empty() || t[0] != '/') {
        if (t.size() + 1 >= size) {
            CHECK(rc == EPATHMAX);
            return;
        }
        t.insert(0, "/");
    }
    CHECK(rc == 0);
    CHECK(strnlen(buffer.get(), size) < size);
    CHECK(t == buffer.get());
}

bool replacement_allowed(char ch) {
    return static_cast<signed char>(ch) > 0x20 && std::strchr("\"*/:<>?\\|", ch) == nullptr;
}

void fuzz_sanitize(const std::string &text, size_t size, char ch) {
    auto in = ovfuzz::c_string(text);
    auto out = std::make_unique<char[]>(size);
    const int32_t rc = ov_path_sanitize(in.get(), out.get(), size, ch);
    CHECK(rc == 0 || rc == EINVAL);
    if (rc != 0 || text.empty()) return;
    CHECK(strnlen(out.get(), size) < size);
    const std::string repaired(out.get());
    CHECK(repaired.size() == text.size());
    if (ch == 0) {
        CHECK(repaired == text);
        return;
    }
    CHECK(replacement_allowed(ch));
    int32_t portable = 0;
    CHECK(ov_path_is_portable(repaired.c_str(), &portable) == 0);
    CHECK(portable == 1);

    int32_t was_portable = 0;
    if (ov_path_is_portable(in.get(), &was_portable) == 0 && was_portable) CHECK(repaired == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const bool strip = fdp.ConsumeBool();
    const char ch = fdp.ConsumeIntegral<char>();
    const std::string dir = fuzzpath::path_text(fdp);
    const std::string name = fuzzpath::path_text(fdp);
    const size_t out_size = fuzzpath::out_size(fdp, dir.size() + name.size() + 1);
    const size_t extra = fdp.ConsumeIntegralInRange<size_t>(0, 2);
    fuzz_join(dir, name, out_size, strip);
    fuzz_force_absolute(name, extra);
    fuzz_sanitize(name, fuzzpath::out_size(fdp, name.size()), ch);
    return 0;
}
