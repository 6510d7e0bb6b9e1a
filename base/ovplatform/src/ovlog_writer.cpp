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
// A message is one line whatever it carries. Text that came from a file or
// another process may hold newlines or terminal controls, so the control
// characters (0x00 to 0x1f and DEL) are written escaped: \n, \r and \t by
// name, the others as \xHH in lower-case hexadecimal. Everything else is
// written as it is, the backslash and bytes above 0x7f included, so that an
// ordinary message reads exactly as it was logged. The system log gets the
// same text.
//
// The message itself is formatted by the logger's own formatter
// (ovlog_format.cpp).
//
// Nothing on this path allocates: the tagged message and the prefix are built
// in one buffer on the caller's stack, the prefix moved in front of the
// message. The calendar conversion costs more than the write itself, so each
// thread converts a given second only once and keeps its text.
//
// Divisions: shared state; the calendar and identity caches; the line
// prefixes; escaping; tagging and writing a line; the writer's settings.
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

using namespace ov::detail;

constexpr size_t kTagLength = 4;  // three letters and a blank
constexpr size_t kLongestTagged = kLogTaggedSize - 1;
constexpr size_t kPrefixSize = 256;
constexpr uint64_t kSizeCheckInterval = 65535;

// The tag of each level with its blank; levels beyond the list take the
// last one's.
#define OV_LOG_LEVEL_TAG(name, number, tag, severity) tag " ",
constexpr const char *kTags[] = {OV_LOG_LEVEL_LIST(OV_LOG_LEVEL_TAG)};
#undef OV_LOG_LEVEL_TAG
static_assert(sizeof kTags / sizeof kTags[0] == kLogLevelCount);

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
void restore_repeats(int repeats) noexcept {
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

const CalendarCache *calendar_for(int64_t second) noexcept {
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
char *put_hex(char *out, unsigned long value, int min_digits) noexcept {
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
size_t plain_prefix(char *out, const CalendarCache &calendar, int milliseconds, int pid,
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
        q = put_hex(q, static_cast<unsigned int>(pid), 1);
        *q++ = '-';
        q = put_hex(q, thread, 8);
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
size_t summary_prefix(char *out, const CalendarCache &calendar, int milliseconds, int repeats,
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

// The width of a byte once escaped: 1 for a byte written as it is, 2 for
// \n, \r and \t, 4 for \xHH.
constexpr size_t escaped_width(unsigned char c) noexcept {
    if (c >= 0x20 && c != 0x7f) return 1;
    return c == '\n' || c == '\r' || c == '\t' ? 2 : 4;
}

}  // namespace

size_t escape_controls(char *text, size_t length, size_t room) noexcept {
    length = std::min(length, room);
    size_t first = 0;
    while (first < length && escaped_width(static_cast<unsigned char>(text[first])) == 1) ++first;
    if (first == length) return length;
    // How much of the text fits in room once escaped. An escape that does
    // not fit whole ends the text before it: half of one would read as
    // something else.
    size_t end = first;
    size_t escaped = first;
    while (end < length) {
        const size_t width = escaped_width(static_cast<unsigned char>(text[end]));
        if (escaped + width > room) break;
        escaped += width;
        ++end;
    }
    // Expanded in place from the back, so that every byte is read before
    // its place is written over.
    size_t out = escaped;
    for (size_t i = end; i-- > first;) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (escaped_width(c)) {
            case 1:
                text[--out] = static_cast<char>(c);
                break;
            case 2:
                text[--out] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
                text[--out] = '\\';
                break;
            default:
                text[--out] = "0123456789abcdef"[c & 0xf];
                text[--out] = "0123456789abcdef"[c >> 4];
                text[--out] = 'x';
                text[--out] = '\\';
                break;
        }
    }
    return escaped;
}

int format_tagged(char *buffer, size_t size, uint32_t level, const char *format,
                  va_list args) noexcept {
    if (size <= kTagLength) return -1;
    std::memcpy(buffer, kTags[std::min<uint32_t>(level, kLogLevelCount - 1)], kTagLength);
    buffer[kTagLength] = '\0';
    const int n = format_message(buffer + kTagLength, size - kTagLength, format, args);
    if (n < 0 || n > INT_MAX - static_cast<int>(kTagLength)) return -1;
    return static_cast<int>(kTagLength) + n;
}

void write_line(uint32_t level, const char *format, va_list args) noexcept {
    // The prefix is built at the end of its area and the tagged message
    // follows it directly, so that the line leaves in one write.
    char line[kPrefixSize + kLogTaggedSize];
    char *const tagged = line + kPrefixSize;
    const int reported = format_tagged(tagged, kLogTaggedSize, level, format, args);
    if (reported < 0) return;
    // The repeat test compares what is written: the escaped text.
    const size_t length = escape_controls(
        tagged, std::min(static_cast<size_t>(reported), kLongestTagged), kLongestTagged);

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
    if (ov_time_wallclock(&now, nullptr) == 0) calendar = calendar_for(now.tv_sec);
    if (calendar == nullptr) {
        restore_repeats(repeats);
        return;
    }
    const int milliseconds = static_cast<int>(now.tv_usec / 1000);
    const int pid = g_pid.load(std::memory_order_relaxed);
    const unsigned long thread = static_cast<unsigned long>(pthread_self());
    char prefix[kPrefixSize];
    const size_t prefix_length =
        repeats == 0 ? plain_prefix(prefix, *calendar, milliseconds, pid, thread)
                     : summary_prefix(prefix, *calendar, milliseconds, repeats, pid, thread);
    if (prefix_length == 0) {
        restore_repeats(repeats);
        return;
    }
    char *const start = tagged - prefix_length;
    std::memcpy(start, prefix, prefix_length);

    // O_APPEND makes each write land at the end as a whole; a partial write
    // is continued, a failed one ends the line.
    ov_file_t file = ring_current_fd();
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
    if (since_check > kSizeCheckInterval && !ring_in_size_check()) {
        // Of the threads that see the count past the interval, only the one
        // whose reset finds it there runs the check.
        if (g_bytes_since_check.exchange(0, std::memory_order_relaxed) > kSizeCheckInterval)
            ring_check_size();
    }
}

void writer_set_pid(int pid) noexcept {
    g_pid.store(pid, std::memory_order_relaxed);
}

void writer_set_stderr_only(bool on) noexcept {
    g_stderr_only.store(on, std::memory_order_relaxed);
}

bool writer_stderr_only() noexcept {
    return g_stderr_only.load(std::memory_order_relaxed);
}

void writer_set_stderr_level(int level) noexcept {
    g_stderr_level.store(level < -1 ? -1 : level, std::memory_order_relaxed);
}

}  // namespace ov::logging

extern "C" {

void ov_log_set_stderr_level(int level) noexcept {
    ov::logging::writer_set_stderr_level(level);
}

}  // extern "C"
