// ovlog_writer.cpp - the log line: level tags, repeat suppression and file lines.
//
// Every destination puts the level's tag ("ERR", "LOG", "DBG") and a blank
// before the message; the syslog transport uses the tag formatting from here.
// The file-line writer turns a message into one line of the log file:
//
//     2024-03-05 14:07:09.042 [3039-7f2c4a1b8700] ERR the message
//
// local time with milliseconds, the process id and the thread id in
// hexadecimal, the tagged message and a newline, written with one write call
// so that lines of different threads never interleave. A run of identical
// messages is written once; the next different message is preceded by
// "Last message repeated N times". Chosen levels are echoed to standard
// error, and every 64 KiB written the size check of the log file ring runs.
//
// The message itself is formatted by a small formatter of the usual
// conversions that gives vsnprintf's output at a fraction of its cost, and
// falls back to vsnprintf for everything else.
//
// Nothing on this path allocates: the tagged message and the prefix are built
// in one buffer on the caller's stack, the prefix moved in front of the
// message. The calendar conversion costs more than the write itself, so each
// thread converts a given second only once and keeps its text.
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovtime.h>

#include <pthread.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "internal/ovlog_parts.h"
#include "internal/raii.h"

namespace ov::logging {
namespace {

using ov::detail::SystemMutexLock;

constexpr size_t kTagLength = 4;  // three letters and a blank
constexpr size_t kLongestTagged = kLogTaggedSize - 1;
constexpr size_t kPrefixSize = 256;
constexpr uint64_t kSizeCheckInterval = 65535;

// One list for the tags: levels 0-1, 2-3, and everything above.
constexpr const char *kTags[] = {"ERR ", "ERR ", "LOG ", "LOG ", "DBG "};

// The writer's shared state. The repeat test and the update of the last
// message must be one step, or two threads could both take the same message
// for new; the mutex covers only that step, never formatting or writing.
// It is error-checking because the fatal-signal report logs from a signal
// handler, which may interrupt its own thread inside the step: the lock then
// fails with EDEADLK and the report goes on without it, where the library's
// own mutex call would take the re-acquisition for a programming error and
// abort before the report is written.
pthread_mutex_t g_repeat_mutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
char g_last[kLogTaggedSize];
size_t g_last_length = 0;
int g_repeats = 0;

std::atomic<uint64_t> g_bytes_since_check{0};
std::atomic<int> g_stderr_level{-1};
std::atomic<bool> g_stderr_only{false};
std::atomic<int> g_pid{0};

// Gives back a repeat count that was taken for a line that is not written,
// so that the summary still comes before the next line that is.
void _restore_repeats(int repeats) noexcept {
    if (repeats == 0) return;
    const SystemMutexLock lock(&g_repeat_mutex);
    g_repeats += repeats;
}

// The local date and time of one second, converted once per thread and second.
struct CalendarCache {
    int64_t second;
    bool valid;
    struct tm fields;
    char text[64];  // "%04d-%02d-%02d %02d:%02d:%02d"
    size_t length;
};
thread_local CalendarCache t_calendar{};

const CalendarCache *_calendar(int64_t second) noexcept {
    CalendarCache &cache = t_calendar;
    if (cache.valid && cache.second == second) return &cache;
    time_t t = static_cast<time_t>(second);
    if (ov_time_localtime(&t, &cache.fields) != 0) {
        cache.valid = false;
        return nullptr;
    }
    const struct tm &f = cache.fields;
    const int n =
        std::snprintf(cache.text, sizeof cache.text, "%04d-%02d-%02d %02d:%02d:%02d",
                      f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cache.text) {
        cache.valid = false;
        return nullptr;
    }
    cache.length = static_cast<size_t>(n);
    cache.second = second;
    cache.valid = true;
    return &cache;
}

// The "[pid-thread] " part of the prefix, kept by each thread.
struct IdentityCache {
    bool valid;
    int pid;
    unsigned long thread;
    char text[48];
    size_t length;
};
thread_local IdentityCache t_identity{};

// Lower-case hexadecimal of value, at least min_digits digits; returns the end.
char *_put_hex(char *out, unsigned long value, int min_digits) noexcept {
    char digits[2 * sizeof(unsigned long)];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    while (n < min_digits) digits[n++] = '0';
    while (n > 0) *out++ = digits[--n];
    return out;
}

// The prefix of a line without a repeat summary, byte for byte what
// "%04d-%02d-%02d %02d:%02d:%02d.%03d [%x-%08lx] " gives, built without
// snprintf because it is written for every line.
size_t _plain_prefix(char *out, const CalendarCache &calendar, int milliseconds, int pid,
                     unsigned long thread) noexcept {
    char *p = out;
    std::memcpy(p, calendar.text, calendar.length);
    p += calendar.length;
    *p++ = '.';
    *p++ = static_cast<char>('0' + milliseconds / 100);
    *p++ = static_cast<char>('0' + milliseconds / 10 % 10);
    *p++ = static_cast<char>('0' + milliseconds % 10);
    *p++ = ' ';
    // The identifiers' text changes only with the process id, so each
    // thread keeps it.
    IdentityCache &identity = t_identity;
    if (!identity.valid || identity.pid != pid || identity.thread != thread) {
        char *q = identity.text;
        *q++ = '[';
        q = _put_hex(q, static_cast<unsigned int>(pid), 1);
        *q++ = '-';
        q = _put_hex(q, thread, 8);
        *q++ = ']';
        *q++ = ' ';
        identity.length = static_cast<size_t>(q - identity.text);
        identity.pid = pid;
        identity.thread = thread;
        identity.valid = true;
    }
    std::memcpy(p, identity.text, identity.length);
    p += identity.length;
    return static_cast<size_t>(p - out);
}

// The summary of the suppressed repeats followed by the prefix of the new
// line; here the thread id is not padded. @return the length, or 0 when the
// text does not fit.
size_t _summary_prefix(char *out, const CalendarCache &calendar, int milliseconds, int repeats,
                       int pid, unsigned long thread) noexcept {
    const struct tm &f = calendar.fields;
    const int n = std::snprintf(
        out, kPrefixSize,
        "Last message repeated %.*d times\n%04d-%02d-%02d %02d:%02d:%02d.%03d [%x-%lx] ", 0,
        repeats, f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec,
        milliseconds, static_cast<unsigned int>(pid), thread);
    if (n < 0 || static_cast<size_t>(n) >= kPrefixSize) return 0;
    return static_cast<size_t>(n);
}

// ---- Message formatting -------------------------------------------------------------------
//
// vsnprintf spends more on setting up its stream than on the usual log
// message's few integers and strings, and it runs for every message that
// passes the threshold. The common conversions are therefore formatted
// here, with vsnprintf's exact output; a format that uses anything else
// (floating point, positional arguments, %n, %m, wide characters, a null
// string or pointer, or a flag combination whose output is not pinned down
// here) is handed to vsnprintf whole, from a copy of the arguments taken
// before any was read.

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
void _put_integer(Output &out, const Directive &directive, bool negative,
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
bool _format_common(Output &out, const char *format, va_list args) noexcept {
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
                _put_integer(out, directive, value < 0, magnitude, 10, false, conversion);
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
                _put_integer(out, directive, false, value, base, conversion == 'X', conversion);
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
                _put_integer(out, hex, false, reinterpret_cast<uintptr_t>(pointer), 16, false, 'x');
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

// vsnprintf's contract and output, faster for the usual messages.
// @return the full length, or a negative value when formatting fails.
int _format_message(char *buffer, size_t size, const char *format, va_list args) noexcept {
    va_list copy;
    va_copy(copy, args);
    Output out(buffer, size);
    int result;
    if (_format_common(out, format, args)) {
        const size_t length = out.finish();
        result = length > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(length);
    } else {
        result = std::vsnprintf(buffer, size, format, copy);
    }
    va_end(copy);
    return result;
}

}  // namespace

int _log_format_tagged(char *buffer, size_t size, uint32_t level, const char *format,
                       va_list args) noexcept {
    if (size <= kTagLength) return -1;
    std::memcpy(buffer, kTags[std::min<uint32_t>(level, 4)], kTagLength);
    buffer[kTagLength] = '\0';
    const int n = _format_message(buffer + kTagLength, size - kTagLength, format, args);
    if (n < 0 || n > INT_MAX - static_cast<int>(kTagLength)) return -1;
    return static_cast<int>(kTagLength) + n;
}

void _log_write_line(uint32_t level, const char *format, va_list args) noexcept {
    // The prefix is built at the end of its area and the tagged message
    // follows it directly, so that the line leaves in one write.
    char line[kPrefixSize + kLogTaggedSize];
    char *const tagged = line + kPrefixSize;
    const int reported = _log_format_tagged(tagged, kLogTaggedSize, level, format, args);
    if (reported < 0) return;
    const size_t length = std::min(static_cast<size_t>(reported), kLongestTagged);

    int repeats;
    {
        const SystemMutexLock lock(&g_repeat_mutex);
        if (length == g_last_length && std::memcmp(tagged, g_last, length) == 0) {
            ++g_repeats;
            return;
        }
        std::memcpy(g_last, tagged, length);
        g_last_length = length;
        repeats = g_repeats;
        g_repeats = 0;
    }
    tagged[length] = '\n';

    const bool stderr_only = g_stderr_only.load(std::memory_order_relaxed);
    if (stderr_only ||
        static_cast<int64_t>(level) <= g_stderr_level.load(std::memory_order_relaxed)) {
        ov_file_t err = 2;
        uint64_t written = 0;
        // The echo is a copy for whoever watches standard error. When it
        // cannot be written (standard error closed, or a pipe whose reader
        // has gone) the log file is still the record, so its failure is
        // ignored.
        ov_file_write(&err, tagged, length + 1, &written);
        // Standard error alone never shows a summary, so its repeat count is
        // dropped rather than carried into a later log file.
        if (stderr_only) return;
    }

    ov_timeval_t now;
    const CalendarCache *calendar = nullptr;
    if (ov_time_wallclock(&now, nullptr) == 0) calendar = _calendar(now.tv_sec);
    if (calendar == nullptr) {
        _restore_repeats(repeats);
        return;
    }
    const int milliseconds = static_cast<int>(now.tv_usec / 1000);
    const int pid = g_pid.load(std::memory_order_relaxed);
    const unsigned long thread = static_cast<unsigned long>(pthread_self());
    char prefix[kPrefixSize];
    const size_t prefix_length =
        repeats == 0 ? _plain_prefix(prefix, *calendar, milliseconds, pid, thread)
                     : _summary_prefix(prefix, *calendar, milliseconds, repeats, pid, thread);
    if (prefix_length == 0) {
        _restore_repeats(repeats);
        return;
    }
    char *const start = tagged - prefix_length;
    std::memcpy(start, prefix, prefix_length);

    // O_APPEND makes each write land at the end as a whole; a partial write
    // is continued, a failed one ends the line.
    ov_file_t file = _log_current_fd();
    if (file == -1) return;
    const char *data = start;
    size_t left = prefix_length + length + 1;
    uint64_t total = 0;
    while (left > 0) {
        uint64_t written = 0;
        if (ov_file_write(&file, data, left, &written) != 0 || written == 0) break;
        total += written;
        data += written;
        left -= written;
    }

    const uint64_t since_check =
        g_bytes_since_check.fetch_add(total, std::memory_order_relaxed) + total;
    if (since_check > kSizeCheckInterval && !_log_in_size_check()) {
        // Of the threads that see the count past the interval, only the one
        // whose reset finds it there runs the check.
        if (g_bytes_since_check.exchange(0, std::memory_order_relaxed) > kSizeCheckInterval)
            _log_check_size();
    }
}

void _log_writer_set_pid(int pid) noexcept {
    g_pid.store(pid, std::memory_order_relaxed);
}

void _log_writer_set_stderr_only(bool on) noexcept {
    g_stderr_only.store(on, std::memory_order_relaxed);
}

bool _log_writer_stderr_only() noexcept {
    return g_stderr_only.load(std::memory_order_relaxed);
}

void _log_writer_set_stderr_level(int level) noexcept {
    g_stderr_level.store(level < -1 ? -1 : level, std::memory_order_relaxed);
}

}  // namespace ov::logging

extern "C" {

void ov_log_set_stderr_level(int level) noexcept {
    ov::logging::_log_writer_set_stderr_level(level);
}

}  // extern "C"
