// ovlog_format.cpp - the logger's formatter of messages.
//
// vsnprintf spends more on setting up its stream than on the usual log
// message's few integers and strings, and it runs for every message that
// passes the threshold. The common conversions are therefore formatted
// here, with vsnprintf's exact output; a format that uses anything else
// (floating point, positional arguments, %n, %m, wide characters, a null
// string or pointer, or a flag combination whose output is not pinned down
// here) is handed to vsnprintf whole, from a copy of the arguments taken
// before any was read.
//
// Part of the logging module; the line writer (ovlog_writer.cpp) puts the
// level's tag in front of what this formats. Nothing here allocates.
//
// Divisions: the output buffer; directives; integers; the conversion loop;
// the entry point with its fall-back to vsnprintf.
#include <sys/types.h>

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "internal/ovlog_parts.h"

namespace ov::logging {
namespace {

// Appends to a buffer the way vsnprintf does: what does not fit is counted
// but not stored.
class Output {
  public:
    Output(char *buffer, size_t size) noexcept : buffer_(buffer), size_(size) {}
    void put(char c) noexcept {
        if (length_ + 1 < size_) buffer_[length_] = c;
        ++length_;
    }
    void put(const char *text, size_t n) noexcept {
        if (length_ + 1 < size_) {
            const size_t room = size_ - 1 - length_;
            std::memcpy(buffer_ + length_, text, n < room ? n : room);
        }
        length_ += n;
    }
    void fill(char c, size_t n) noexcept {
        if (length_ + 1 < size_) {
            const size_t room = size_ - 1 - length_;
            std::memset(buffer_ + length_, c, n < room ? n : room);
        }
        length_ += n;
    }
    // Terminates the text. @return the full length.
    size_t finish() noexcept {
        if (size_ > 0) buffer_[length_ < size_ ? length_ : size_ - 1] = '\0';
        return length_;
    }

  private:
    char *buffer_;
    size_t size_;
    size_t length_ = 0;
};

struct Directive {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = 0;
    int precision = -1;  // -1: none given
};

enum class Length { kNone, kChar, kShort, kLong, kLongLong, kSize, kMax, kPtrdiff };

// Writes an integer conversion: sign or prefix, zeros up to the precision,
// the digits, padded to the width.
void put_integer(Output &out, const Directive &directive, bool negative,
                 unsigned long long magnitude, unsigned base, bool upper,
                 char conversion) noexcept {
    // The digits are written from the end of the array, so that they are in
    // order and leave in one piece.
    char digits[24];
    char *const end = digits + sizeof digits;
    char *first = end;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    // Division by a constant ten compiles to a multiplication; the other
    // bases are powers of two and need only shifts.
    if (magnitude == 0 && directive.precision == 0) {
    } else if (base == 10) {
        do {
            *--first = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
    } else {
        const unsigned shift = base == 16 ? 4 : 3;
        do {
            *--first = set[magnitude & (base - 1)];
            magnitude >>= shift;
        } while (magnitude != 0);
    }
    const int n = static_cast<int>(end - first);
    int zeros = directive.precision > n ? directive.precision - n : 0;
    // "%#o" makes the first digit a zero, adding one only when needed.
    if (conversion == 'o' && directive.alternate && zeros == 0 && (n == 0 || *first != '0'))
        zeros = 1;
    char prefix[2];
    int prefix_length = 0;
    if (conversion == 'd' || conversion == 'i') {
        if (negative)
            prefix[prefix_length++] = '-';
        else if (directive.plus)
            prefix[prefix_length++] = '+';
        else if (directive.space)
            prefix[prefix_length++] = ' ';
    } else if ((conversion == 'x' || conversion == 'X') && directive.alternate && n > 0 &&
               !(n == 1 && *first == '0')) {
        prefix[prefix_length++] = '0';
        prefix[prefix_length++] = conversion;
    }
    const int body = prefix_length + zeros + n;
    const int pad = directive.width > body ? directive.width - body : 0;
    // The zero flag pads with zeros after the sign, unless a precision or
    // left adjustment is given.
    if (directive.zero && !directive.left && directive.precision < 0) {
        zeros += pad;
    } else if (!directive.left && pad > 0) {
        out.fill(' ', static_cast<size_t>(pad));
    }
    if (prefix_length > 0) out.put(prefix, static_cast<size_t>(prefix_length));
    if (zeros > 0) out.fill('0', static_cast<size_t>(zeros));
    out.put(first, static_cast<size_t>(n));
    if (directive.left && pad > 0) out.fill(' ', static_cast<size_t>(pad));
}

// Formats what it can; false when the format needs vsnprintf (args is then
// partly consumed and must not be used again).
bool format_common(Output &out, const char *format, va_list args) noexcept {
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            const char *end = std::strchr(p, '%');
            const size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
            out.put(p, n);
            p += n - 1;
            continue;
        }
        ++p;
        Directive directive;
        for (;; ++p) {
            if (*p == '-')
                directive.left = true;
            else if (*p == '+')
                directive.plus = true;
            else if (*p == ' ')
                directive.space = true;
            else if (*p == '#')
                directive.alternate = true;
            else if (*p == '0')
                directive.zero = true;
            else
                break;
        }
        if (*p == '*') {
            const int w = va_arg(args, int);
            if (w < 0) {
                directive.left = true;
                if (w == INT_MIN) return false;
                directive.width = -w;
            } else {
                directive.width = w;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                if (directive.width > 99999) return false;
                directive.width = directive.width * 10 + (*p++ - '0');
            }
            if (*p == '$') return false;  // positional arguments
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                const int v = va_arg(args, int);
                directive.precision = v < 0 ? -1 : v;
                ++p;
            } else {
                directive.precision = 0;
                while (*p >= '0' && *p <= '9') {
                    if (directive.precision > 99999) return false;
                    directive.precision = directive.precision * 10 + (*p++ - '0');
                }
            }
        }
        Length length = Length::kNone;
        switch (*p) {
            case 'h':
                length = p[1] == 'h' ? Length::kChar : Length::kShort;
                p += p[1] == 'h' ? 2 : 1;
                break;
            case 'l':
                length = p[1] == 'l' ? Length::kLongLong : Length::kLong;
                p += p[1] == 'l' ? 2 : 1;
                break;
            case 'z':
                length = Length::kSize;
                ++p;
                break;
            case 'j':
                length = Length::kMax;
                ++p;
                break;
            case 't':
                length = Length::kPtrdiff;
                ++p;
                break;
            default:
                break;
        }
        const char conversion = *p;
        switch (conversion) {
            case 'd':
            case 'i': {
                long long value;
                switch (length) {
                    case Length::kChar:
                        value = static_cast<signed char>(va_arg(args, int));
                        break;
                    case Length::kShort:
                        value = static_cast<short>(va_arg(args, int));
                        break;
                    case Length::kLong:
                        value = va_arg(args, long);
                        break;
                    case Length::kLongLong:
                        value = va_arg(args, long long);
                        break;
                    case Length::kSize:
                        value = va_arg(args, ssize_t);
                        break;
                    case Length::kMax:
                        value = va_arg(args, intmax_t);
                        break;
                    case Length::kPtrdiff:
                        value = va_arg(args, ptrdiff_t);
                        break;
                    default:
                        value = va_arg(args, int);
                        break;
                }
                const unsigned long long magnitude =
                    value < 0 ? 0ull - static_cast<unsigned long long>(value)
                              : static_cast<unsigned long long>(value);
                put_integer(out, directive, value < 0, magnitude, 10, false, conversion);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                unsigned long long value;
                switch (length) {
                    case Length::kChar:
                        value = static_cast<unsigned char>(va_arg(args, unsigned));
                        break;
                    case Length::kShort:
                        value = static_cast<unsigned short>(va_arg(args, unsigned));
                        break;
                    case Length::kLong:
                        value = va_arg(args, unsigned long);
                        break;
                    case Length::kLongLong:
                        value = va_arg(args, unsigned long long);
                        break;
                    case Length::kSize:
                        value = va_arg(args, size_t);
                        break;
                    case Length::kMax:
                        value = va_arg(args, uintmax_t);
                        break;
                    case Length::kPtrdiff:
                        value = static_cast<unsigned long long>(va_arg(args, ptrdiff_t));
                        break;
                    default:
                        value = va_arg(args, unsigned);
                        break;
                }
                const unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
                put_integer(out, directive, false, value, base, conversion == 'X', conversion);
                break;
            }
            case 's': {
                if (length != Length::kNone || directive.zero) return false;
                const char *text = va_arg(args, const char *);
                if (text == nullptr) return false;
                const size_t n = directive.precision < 0
                                     ? std::strlen(text)
                                     : strnlen(text, static_cast<size_t>(directive.precision));
                const size_t width = static_cast<size_t>(directive.width);
                const size_t pad = width > n ? width - n : 0;
                if (!directive.left) out.fill(' ', pad);
                out.put(text, n);
                if (directive.left) out.fill(' ', pad);
                break;
            }
            case 'c': {
                if (length != Length::kNone || directive.zero) return false;
                const char c = static_cast<char>(va_arg(args, int));
                const size_t pad =
                    directive.width > 1 ? static_cast<size_t>(directive.width) - 1 : 0;
                if (!directive.left) out.fill(' ', pad);
                out.put(c);
                if (directive.left) out.fill(' ', pad);
                break;
            }
            case 'p': {
                if (length != Length::kNone || directive.zero || directive.plus ||
                    directive.space || directive.alternate || directive.precision >= 0)
                    return false;
                const void *pointer = va_arg(args, const void *);
                if (pointer == nullptr) return false;
                Directive hex = directive;
                hex.alternate = true;
                put_integer(out, hex, false, reinterpret_cast<uintptr_t>(pointer), 16, false, 'x');
                break;
            }
            case '%':
                // "%%" alone; anything between the two is left to vsnprintf.
                if (p[-1] != '%') return false;
                out.put('%');
                break;
            default:
                return false;
        }
    }
    return true;
}

}  // namespace

int format_message(char *buffer, size_t size, const char *format, va_list args) noexcept {
    va_list copy;
    va_copy(copy, args);
    Output out(buffer, size);
    int result;
    if (format_common(out, format, args)) {
        const size_t length = out.finish();
        result = length > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(length);
    } else {
        result = std::vsnprintf(buffer, size, format, copy);
    }
    va_end(copy);
    return result;
}

}  // namespace ov::logging
