// fuzz_log_format.cpp - the logger's message formatter against vsnprintf.
//
// The file-line writer formats the usual printf conversions itself and hands
// everything else to vsnprintf. Whatever it does, its text and length must be
// exactly vsnprintf's, cut or not. The input chooses a buffer size and up to
// three directives (flags, width, precision, length modifier, conversion) with
// their arguments, interleaved with literal text; only directives whose
// meaning the C standard defines for the argument given are built.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal/ovlog_parts.h"

namespace {

class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
        return v;
    }
    std::string text(size_t max) {
        std::string s;
        const size_t n = byte() % (max + 1);
        for (size_t i = 0; i < n; ++i) {
            const char c = static_cast<char>(byte());
            s.push_back(c == '\0' ? 'z' : c);
        }
        return s;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// The argument classes a directive may take.
enum Kind { kInt, kLong, kLongLong, kDouble, kString, kPointer, kNone };

struct Argument {
    Kind kind = kNone;
    long long integer = 0;
    double real = 0;
    std::string text;
};

// The length modifiers of an integer directive, and the argument each reads.
struct IntegerLength {
    const char *modifier;
    Kind kind;
};
constexpr IntegerLength kIntegerLengths[] = {
    {"hh", kInt}, {"h", kInt}, {"l", kLong}, {"ll", kLongLong}, {"", kInt}};

// Appends one directive to format and describes its argument.
Argument directive(Input &in, std::string &format) {
    static const char kIntegerConversions[] = "diouxX";
    Argument arg;
    const uint8_t choice = in.byte() % 8;
    char conversion;
    const char *modifier = "";
    switch (choice) {
        case 0:
        case 1:
        case 2: {
            conversion = kIntegerConversions[in.byte() % 6];
            const IntegerLength &length = kIntegerLengths[in.byte() % 5];
            modifier = length.modifier;
            arg.kind = length.kind;
            arg.integer = static_cast<long long>(in.u64());
            break;
        }
        case 3:
            conversion = "feEgGa"[in.byte() % 6];
            arg.kind = kDouble;
            break;
        case 4:
            conversion = 's';
            arg.kind = kString;
            break;
        case 5:
            conversion = 'c';
            arg.kind = kInt;
            arg.integer = in.byte();
            break;
        case 6:
            conversion = 'p';
            arg.kind = kPointer;
            arg.integer = static_cast<long long>(in.u64());
            break;
        default:
            format += "%%";
            return arg;
    }
    if (arg.kind == kDouble) {
        const uint64_t bits = in.u64();
        std::memcpy(&arg.real, &bits, sizeof arg.real);
    }
    if (arg.kind == kString) arg.text = in.text(40);

    const bool numeric = conversion != 's' && conversion != 'c' && conversion != 'p';
    const bool alternate_ok = std::strchr("oxXfeEgGa", conversion) != nullptr;
    format += '%';
    const uint8_t flags = in.byte();
    if (flags & 1) format += '-';
    if ((flags & 2) && numeric) format += '+';
    if ((flags & 4) && numeric) format += ' ';
    if ((flags & 8) && alternate_ok) format += '#';
    if ((flags & 16) && numeric) format += '0';
    if (flags & 32) format += std::to_string(in.byte() % 30);
    if ((flags & 64) && conversion != 'c' && conversion != 'p') {
        format += '.';
        format += std::to_string(in.byte() % 30);
    }
    format += modifier;
    format += conversion;
    return arg;
}

// vsnprintf and the logger's formatter on the same format and arguments.
void compare(size_t size, const char *format, ...) {
    char *mine = static_cast<char *>(std::malloc(size));
    char *theirs = static_cast<char *>(std::malloc(size));
    va_list a, b;
    va_start(a, format);
    va_copy(b, a);
    const int n = ov::logging::format_tagged(mine, size, 1, format, a);
    std::memcpy(theirs, "ERR ", 4);
    const int m = std::vsnprintf(theirs + 4, size - 4, format, b);
    va_end(b);
    va_end(a);
    if (n != m + 4 || std::strcmp(mine, theirs) != 0) {
        std::fprintf(stderr, "format \"%s\" size %zu: got %d \"%s\", expected %d \"%s\"\n", format,
                     size, n, mine, m + 4, theirs);
        std::abort();
    }
    std::free(mine);
    std::free(theirs);
}

constexpr int kMaxDirectives = 3;

// Passes each argument with the type its directive reads.
template <typename... Ts>
void call(size_t size, const std::string &format, const Argument *args, int count, Ts... values) {
    if constexpr (sizeof...(Ts) >= kMaxDirectives) {
        compare(size, format.c_str(), values...);
    } else {
        // The next argument with its type, then the ones after it.
        const auto next = [&](auto value) {
            call(size, format, args + 1, count - 1, values..., value);
        };
        switch (count == 0 ? kNone : args->kind) {
            case kInt:
                return next(static_cast<int>(args->integer));
            case kLong:
                return next(static_cast<long>(args->integer));
            case kLongLong:
                return next(args->integer);
            case kDouble:
                return next(args->real);
            case kString:
                return next(args->text.c_str());
            case kPointer:
                return next(reinterpret_cast<void *>(static_cast<uintptr_t>(args->integer)));
            case kNone:
                return compare(size, format.c_str(), values...);
        }
    }
}

}  // namespace

// The compiler cannot check these formats: they are built at run time, and
// every directive is built to match the argument passed for it.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const size_t buffer_size = 5 + in.byte() % 120;
    std::string format;
    // Literal text never carries a '%' of its own.
    auto literal = [&] {
        std::string text = in.text(6);
        for (char &c : text)
            if (c == '%') c = '#';
        format += text;
    };
    Argument args[kMaxDirectives];
    int count = 0;
    for (int i = 0; i < kMaxDirectives; ++i) {
        literal();
        const Argument arg = directive(in, format);
        if (arg.kind != kNone) args[count++] = arg;
    }
    literal();
    call(buffer_size, format, args, count);
    return 0;
}
