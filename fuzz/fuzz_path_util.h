// fuzz_path_util.h - input shaping and result checks shared by the path
// fuzz targets.
//
// The fuzzer's bytes become path texts in three ways: raw (every byte value,
// white space and control bytes included), mapped onto a small alphabet of
// separators, dots, a drive letter, ':' and a space (dense in the structures
// the canonical form cares about), and repeated up to beyond the 8192-byte
// limit of the work buffers. Every text and every output lives in a heap
// block of exactly its size (fuzz_util.h).
#pragma once

#include <ovplatform/ovpath.h>
#include <ovplatform/ovstring.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_util.h"

namespace fuzzpath {

// Longer than every work buffer, so that the limits are crossed both ways.
constexpr size_t kMaxText = 8300;

inline std::string path_text(FuzzedDataProvider &fdp) {
    const auto shape = fdp.ConsumeIntegral<uint8_t>();
    std::string text = fdp.ConsumeRandomLengthString(512);
    if (shape & 1) {
        static constexpr char kAlphabet[] = "//\\..ab:D. x";
        for (char &c : text) c = kAlphabet[static_cast<uint8_t>(c) % (sizeof kAlphabet - 1)];
    }
    if ((shape & 2) && !text.empty()) {
        const size_t target = fdp.ConsumeIntegralInRange<size_t>(text.size(), kMaxText);
        std::string repeated;
        while (repeated.size() + text.size() <= target) repeated += text;
        text = repeated;
    }
    // The library sees C strings: the text ends at its first NUL.
    text.resize(std::strlen(text.c_str()));
    return text;
}

// An output size: mostly near the length of the text, where the limits
// lie, sometimes anywhere up to past the work buffers, sometimes 0.
inline size_t out_size(FuzzedDataProvider &fdp, size_t length) {
    switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return fdp.ConsumeIntegralInRange<size_t>(0, kMaxText);
        case 1:
            return fdp.ConsumeIntegralInRange<size_t>(0, 8);
        default: {
            const size_t low = length > 8 ? length - 8 : 0;
            return fdp.ConsumeIntegralInRange<size_t>(low, length + 8);
        }
    }
}

inline bool is_url_like(const char *text) {
    return std::strncmp(text, "vlxp://", 7) == 0 || ov_str_is_url(text) != 0;
}

inline bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length of the root that a canonical result begins with: "//server/share/",
// "D:/", "/" or nothing.
inline size_t root_length(std::string_view s) {
    if (s.size() >= 2 && s[0] == '/' && s[1] == '/') {
        const size_t server_end = s.find('/', 2);
        CHECK(server_end != std::string_view::npos && server_end > 2);
        const size_t share_end = s.find('/', server_end + 1);
        CHECK(share_end != std::string_view::npos && share_end > server_end + 1);
        return share_end + 1;
    }
    if (s.size() >= 3 && is_letter(s[0]) && s[1] == ':' && s[2] == '/') return 3;
    if (!s.empty() && s[0] == '/') return 1;
    return 0;
}

// The shape of every successful canonical result that is not a URL: no '\',
// no trailing '/' unless it is a root alone, and after the root no empty
// component, no "." (but the "./" that keeps a drive-like relative name
// relative) and no ".." except in a leading run of a relative path.
inline void check_canonical_shape(std::string_view s) {
    CHECK(!s.empty());
    CHECK(s.find('\\') == std::string_view::npos);
    CHECK(s.find('\n') == std::string_view::npos);
    if (s == ".") return;
    const size_t root = root_length(s);
    if (root == s.size()) return;
    CHECK(s.back() != '/');
    std::string_view rest = s.substr(root);
    // The one "." allowed: in front of a relative first name that would
    // otherwise read as a drive prefix.
    if (root == 0 && rest.substr(0, 2) == "./") {
        rest.remove_prefix(2);
        const size_t letter = rest.find_first_not_of(" \t\n\v\f\r");
        CHECK(letter != std::string_view::npos && letter + 1 < rest.size() &&
              is_letter(rest[letter]) && rest[letter + 1] == ':');
    }
    bool leading = true;
    size_t start = 0;
    for (;;) {
        size_t end = rest.find('/', start);
        if (end == std::string_view::npos) end = rest.size();
        const std::string_view part = rest.substr(start, end - start);
        CHECK(!part.empty());
        CHECK(part != ".");
        if (part == "..") {
            CHECK(root == 0 && leading);
        } else {
            leading = false;
        }
        if (end == rest.size()) break;
        start = end + 1;
    }
}

// The canonical form of a text in a generous buffer; "" when it fails.
inline std::string canonical(const char *text, int *rc) {
    auto out = std::make_unique<char[]>(8192);
    *rc = ov_path_canonical(text, out.get(), 8192);
    return *rc == 0 ? std::string(out.get()) : std::string();
}

}  // namespace fuzzpath
