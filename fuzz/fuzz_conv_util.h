// fuzz_conv_util.h - what the conversion fuzz targets share.
//
// A failed check names its file and line and aborts, which libFuzzer
// reports as a finding. Inputs are copied into heap blocks of exactly their
// own size, so that AddressSanitizer reports any byte read past them, and
// the library's log lines are formatted into a local buffer instead of
// being written, so their formats are exercised without filling the output.
#pragma once

#include <ovplatform/ovlog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace fuzzconv {

[[noreturn]] inline void fail(const char *file, int line, const char *what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define CHECK(cond)                                          \
    do {                                                     \
        if (!(cond)) ::fuzzconv::fail(__FILE__, __LINE__, #cond); \
    } while (0)

struct Free {
    void operator()(void *p) const { std::free(p); }
};

// A heap block of exactly size bytes (one at least, so that malloc gives a
// distinct block), filled with fill.
inline std::unique_ptr<unsigned char[], Free> block(size_t size, int fill = 0xA5) {
    auto *p = static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1));
    if (p == nullptr) std::abort();
    std::memset(p, fill, size != 0 ? size : 1);
    return std::unique_ptr<unsigned char[], Free>(p);
}

// A NUL-terminated copy of text in a block of exactly its length plus one.
inline std::unique_ptr<char[], Free> c_string(const std::string &text) {
    auto *p = static_cast<char *>(std::malloc(text.size() + 1));
    if (p == nullptr) std::abort();
    std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return std::unique_ptr<char[], Free>(p);
}

inline void quiet_log_callback(uint32_t, const char *, int, const char *format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
}

inline void quiet_logs() {
    ov_log_set_callback(&quiet_log_callback);
}

}  // namespace fuzzconv
