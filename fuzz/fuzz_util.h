// fuzz_util.h - what every fuzz target shares.
//
// A failed check names its file and line and aborts, which libFuzzer
// reports as a finding. Inputs are copied into heap blocks of exactly their
// own size, so that AddressSanitizer reports any byte read or written past
// them. A target whose calls log may send the library's log lines to a
// callback that only formats them: their formats are exercised without
// filling the output.
#pragma once

#include <ovplatform/ovlog.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fuzzer/FuzzedDataProvider.h>

namespace ovfuzz {

[[noreturn]] inline void fail(const char *file, int line, const char *what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define CHECK(cond)                                             \
    do {                                                        \
        if (!(cond)) ::ovfuzz::fail(__FILE__, __LINE__, #cond); \
    } while (0)

struct Free {
    void operator()(void *p) const { std::free(p); }
};

template <class T>
using Block = std::unique_ptr<T[], Free>;

// A heap block of exactly size bytes (one at least, so that malloc gives a
// distinct block), filled with fill.
inline Block<unsigned char> block(size_t size, int fill = 0xA5) {
    auto *p = static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1));
    if (p == nullptr) std::abort();
    std::memset(p, fill, size != 0 ? size : 1);
    return Block<unsigned char>(p);
}

// A copy of the n bytes at data in a block of exactly n bytes, without a
// terminator. For n = 0 it is a block with no byte to read at all.
inline Block<char> copy_of(const void *data, size_t n) {
    auto *p = static_cast<char *>(std::malloc(n));
    if (p == nullptr && n != 0) std::abort();
    if (n != 0) std::memcpy(p, data, n);
    return Block<char>(p);
}

// A NUL-terminated copy of the n bytes at data in a block of exactly n + 1
// bytes.
inline Block<char> c_string(const void *data, size_t n) {
    Block<char> copy(reinterpret_cast<char *>(block(n + 1).release()));
    if (n != 0) std::memcpy(copy.get(), data, n);
    copy[n] = '\0';
    return copy;
}

inline Block<char> c_string(std::string_view text) {
    return c_string(text.data(), text.size());
}

// memcmp that accepts empty ranges of null pointers.
inline bool same_bytes(const void *a, const void *b, size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

// The input as a number from 0 to most (taken from its end, as
// FuzzedDataProvider takes numbers) and the bytes before it.
inline std::pair<size_t, std::string> number_and_rest(const uint8_t *data, size_t size,
                                                      size_t most) {
    FuzzedDataProvider fdp(data, size);
    const size_t number = fdp.ConsumeIntegralInRange<size_t>(0, most);
    return {number, fdp.ConsumeRemainingBytesAsString()};
}

// A buffer size near need, where the size rules bite: need - 4 + offset
// (offset 0 to 8), and 0 at the least.
inline size_t near_size(size_t need, size_t offset) {
    return need + offset >= 4 ? need + offset - 4 : 0;
}

inline void quiet_log_callback(uint32_t, const char *, int, const char *format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
}

inline void quiet_logs() {
    ov_log_set_callback(&quiet_log_callback);
}

}  // namespace ovfuzz
