// ovtime.cpp - the time value: clocks, elapsed time, arithmetic, calendar.
//
// Every module measures time with one record, ov_timeval_t (seconds and
// microseconds). This module reads the monotonic clock and the wall clock,
// measures elapsed microseconds with a guard against a start that lies after
// now, and adds and subtracts time values. An infinite value { INT64_MAX,
// 999999 } absorbs additions, so that a wait with an infinite timeout simply
// has no deadline. It also converts calendar times and formats them with
// strftime, extended by "%L" for the milliseconds; only that formatting
// allocates (the expanded copy of the format).
//
// Divisions: clocks; elapsed time; arithmetic; calendar and formatting.
#include <ovplatform/ovtime.h>

#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define OV_LOG_SOURCE "base/ovplatform/src/ovtime"
#include "internal/log.h"

namespace {

constexpr int64_t kUsecPerSec = 1000000;
constexpr uint32_t kMaxMs = 999;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// The process start mark as one microsecond count of the monotonic clock. A
// single atomic word keeps a reader on another thread from seeing half of a
// mark that is being written.
std::atomic<int64_t> g_start_mark_usec{0};

bool _is_plus_infinite(const ov_timeval_t &t) {
    return t.tv_sec == INT64_MAX;
}
bool _is_minus_infinite(const ov_timeval_t &t) {
    return t.tv_sec == INT64_MIN;
}

// The three elapsed-time operations differ only in their message and in
// whether the caller wants the clock reading back.
int32_t _usec_since(const ov_timeval_t &start, ov_timeval_t *store_now, uint64_t *out,
                    const char *operation) {
    ov_timeval_t now{};
    const int32_t rc = ov_time_monotonic_now(&now);
    if (rc != 0) return rc;
    if (store_now != nullptr) *store_now = now;
    *out = 0;
    if (now.tv_sec < start.tv_sec || (now.tv_sec == start.tv_sec && now.tv_usec < start.tv_usec)) {
        OV_LOG(1, "%s (start ticks %ld): big old %ld.%ld > %ld.%ld", operation,
               static_cast<long>(ov_time_start_ticks()), static_cast<long>(start.tv_sec),
               static_cast<long>(start.tv_usec), static_cast<long>(now.tv_sec),
               static_cast<long>(now.tv_usec));
        return EINVAL;
    }
    *out = static_cast<uint64_t>((now.tv_sec - start.tv_sec) * kUsecPerSec + now.tv_usec -
                                 start.tv_usec);
    return 0;
}

// Copies format with every "%L" replaced by the milliseconds as three digits.
// The digits are never searched again, so "%%L" becomes a percent sign and
// the digits, which strftime then reads as a conversion of its own. Each
// two-character "%L" grows by one character, so twice the length is room
// enough. Null when the copy cannot be allocated.
CString _expand_ms(const char *format, uint32_t ms) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%03u", ms < kMaxMs ? ms : kMaxMs);
    const size_t length = std::strlen(format);
    CString copy(static_cast<char *>(std::calloc(2 * length + 1, 1)));
    if (!copy) return copy;
    char *out = copy.get();
    for (size_t i = 0; i < length; ++i) {
        if (format[i] == '%' && format[i + 1] == 'L') {
            std::memcpy(out, digits, 3);
            out += 3;
            ++i;
        } else {
            *out++ = format[i];
        }
    }
    return copy;
}

using Converter = int32_t (*)(const time_t *, struct tm *);

// The four formatting operations: convert the seconds, then format, with
// "%L" taken from ms when the caller has milliseconds and 000 otherwise.
int32_t _format(char *buffer, size_t size, const char *format, time_t seconds, const uint32_t *ms,
                Converter convert) {
    if (buffer == nullptr || size == 0 || format == nullptr) return EINVAL;
    struct tm tm {};
    const int32_t rc = convert(&seconds, &tm);
    if (rc != 0) return rc;
    if (ms == nullptr) return ov_time_strftime(buffer, size, format, &tm);
    const CString expanded = _expand_ms(format, *ms);
    if (!expanded) return ENOMEM;
    return ov_time_strftime(buffer, size, expanded.get(), &tm);
}

uint32_t _ms_of(const ov_timeval_t &t) {
    return static_cast<uint32_t>(t.tv_usec / 1000);
}

}  // namespace

extern "C" {

int32_t ov_time_monotonic_now(ov_timeval_t *out) noexcept {
    if (out == nullptr) return EINVAL;
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return errno;
    out->tv_sec = ts.tv_sec;
    out->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

int32_t ov_time_usec_now(void * /*context*/, uint64_t *out) noexcept {
    if (out == nullptr) return EINVAL;
    ov_timeval_t now;
    const int32_t rc = ov_time_monotonic_now(&now);
    if (rc == 0) *out = static_cast<uint64_t>(now.tv_sec * kUsecPerSec + now.tv_usec);
    return rc;
}

int32_t ov_time_wallclock(ov_timeval_t *out, void *tz) noexcept {
    if (out == nullptr) return EINVAL;
    struct timeval tv;
    if (gettimeofday(&tv, static_cast<struct timezone *>(tz)) != 0) return errno;
    out->tv_sec = tv.tv_sec;
    out->tv_usec = tv.tv_usec;
    return 0;
}

int32_t ov_time_mark_start(void) noexcept {
    ov_timeval_t now;
    if (ov_time_monotonic_now(&now) == 0)
        g_start_mark_usec.store(now.tv_sec * kUsecPerSec + now.tv_usec, std::memory_order_relaxed);
    return 0;
}

uint64_t ov_time_ms_since_start(void) noexcept {
    const int64_t mark = g_start_mark_usec.load(std::memory_order_relaxed);
    const ov_timeval_t start{mark / kUsecPerSec, mark % kUsecPerSec};
    uint64_t usec = 0;
    get_usec_since(&start, &usec);
    return usec / 1000;
}

int64_t ov_time_start_ticks(void) noexcept {
    return 0;
}

int32_t getnstore_usec_since(const ov_timeval_t *start, ov_timeval_t *now, uint64_t *out) noexcept {
    if (start == nullptr || now == nullptr || out == nullptr) return EINVAL;
    return _usec_since(*start, now, out, "getnstore_usec_since");
}

int32_t get_usec_since_small(const ov_timeval_t *start, uint64_t *out) noexcept {
    if (start == nullptr || out == nullptr) return EINVAL;
    return _usec_since(*start, nullptr, out, "get_usec_since_small");
}

int32_t get_usec_since(const ov_timeval_t *start, uint64_t *out) noexcept {
    if (start == nullptr || out == nullptr) return EINVAL;
    return _usec_since(*start, nullptr, out, "get_usec_since");
}

int ov_time_is_infinite(const ov_timeval_t *value) noexcept {
    return value != nullptr && value->tv_sec == OV_TIME_INFINITE_SEC &&
           value->tv_usec == OV_TIME_INFINITE_USEC;
}

void ov_time_add(ov_timeval_t *target, const ov_timeval_t *addend) noexcept {
    if (target == nullptr || addend == nullptr) return;
    if (_is_plus_infinite(*target) || _is_minus_infinite(*target)) {
        OV_LOG(5, "Ignoring request to increment infinite time value");
        return;
    }
    if (_is_plus_infinite(*addend)) {
        OV_LOG(5, "Incrementing time by infinity.  Setting result to infinity.");
        *target = *addend;
        return;
    }
    if (_is_minus_infinite(*addend)) {
        OV_LOG(5, "Decrementing time by infinity.  Setting result to minus infinity.");
        *target = *addend;
        return;
    }
    // Finite operands whose sum leaves the range of the seconds would wrap
    // into a deadline on the other side of the clock; such a sum is as good as
    // infinite in its direction, so it saturates instead.
    const auto saturate = [target](bool upward) {
        *target = upward ? ov_timeval_t{OV_TIME_INFINITE_SEC, OV_TIME_INFINITE_USEC}
                         : ov_timeval_t{INT64_MIN, 0};
    };
    int64_t sec;
    int64_t usec;
    if (__builtin_add_overflow(target->tv_sec, addend->tv_sec, &sec))
        return saturate(addend->tv_sec > 0);
    if (__builtin_add_overflow(target->tv_usec, addend->tv_usec, &usec))
        return saturate(addend->tv_usec > 0);
    if (usec >= kUsecPerSec) {
        if (__builtin_add_overflow(sec, usec / kUsecPerSec, &sec)) return saturate(true);
        usec %= kUsecPerSec;
    }
    target->tv_sec = sec;
    target->tv_usec = usec;
}

void ov_time_add_usec(ov_timeval_t *target, uint64_t usec) noexcept {
    if (target == nullptr) return;
    if (usec == OV_TIME_USEC_INFINITE) {
        *target = ov_timeval_t{OV_TIME_INFINITE_SEC, OV_TIME_INFINITE_USEC};
        return;
    }
    if (_is_plus_infinite(*target) || _is_minus_infinite(*target)) {
        OV_LOG(5, "Ignoring request to increment infinite time value");
        return;
    }
    const ov_timeval_t addend{static_cast<int64_t>(usec / kUsecPerSec),
                              static_cast<int64_t>(usec % kUsecPerSec)};
    ov_time_add(target, &addend);
}

void ov_time_sub_usec(ov_timeval_t *target, uint32_t usec) noexcept {
    if (target == nullptr) return;
    const int64_t amount = usec < kUsecPerSec ? usec : kUsecPerSec;
    if (target->tv_usec < amount) {
        target->tv_sec -= 1;
        target->tv_usec += kUsecPerSec;
    }
    target->tv_usec -= amount;
}

int64_t ov_time_diff_usec(const ov_timeval_t *a, const ov_timeval_t *b) noexcept {
    return (a->tv_sec - b->tv_sec) * kUsecPerSec + a->tv_usec - b->tv_usec;
}

int ov_time_subtract(ov_timeval_t *out, const ov_timeval_t *x, const ov_timeval_t *y) noexcept {
    ov_timeval_t borrowed = *y;
    if (x->tv_usec < borrowed.tv_usec) {
        const int32_t n = static_cast<int32_t>((borrowed.tv_usec - x->tv_usec) / kUsecPerSec + 1);
        borrowed.tv_sec += n;
        borrowed.tv_usec -= n * kUsecPerSec;
    }
    // The comparison is strict on purpose: a difference of exactly 1000000
    // microseconds stays in the microsecond field, which is this operation's
    // documented result for such operands.
    if (x->tv_usec - borrowed.tv_usec > kUsecPerSec) {
        const int32_t n = static_cast<int32_t>((x->tv_usec - borrowed.tv_usec) / kUsecPerSec);
        borrowed.tv_sec -= n;
        borrowed.tv_usec += n * kUsecPerSec;
    }
    out->tv_sec = x->tv_sec - borrowed.tv_sec;
    out->tv_usec = x->tv_usec - borrowed.tv_usec;
    return x->tv_sec < borrowed.tv_sec ? 1 : 0;
}

int32_t ov_time_gmtime(const time_t *t, struct tm *out) noexcept {
    if (t == nullptr || out == nullptr) return EINVAL;
    if (gmtime_r(t, out) == nullptr) return errno;
    return 0;
}

int32_t ov_time_localtime(const time_t *t, struct tm *out) noexcept {
    if (t == nullptr || out == nullptr) return EINVAL;
    if (localtime_r(t, out) == nullptr) return errno;
    return 0;
}

// -1 is also the time one second before the epoch; the system cannot tell it
// from a failure, and neither can these two.
int32_t ov_time_timegm(struct tm *tm, time_t *out) noexcept {
    if (tm == nullptr || out == nullptr) return EINVAL;
    *out = timegm(tm);
    return *out == -1 ? EINVAL : 0;
}

int32_t ov_time_mktime(struct tm *tm, time_t *out) noexcept {
    if (tm == nullptr || out == nullptr) return EINVAL;
    *out = mktime(tm);
    return *out == -1 ? EINVAL : 0;
}

int32_t ov_time_set_seconds(time_t *out, int64_t seconds) noexcept {
    if (out == nullptr) return EINVAL;
    *out = static_cast<time_t>(seconds);
    return 0;
}

int32_t ov_time_get_seconds(const time_t *in, int64_t *out) noexcept {
    if (in == nullptr || out == nullptr) return EINVAL;
    *out = static_cast<int64_t>(*in);
    return 0;
}

int32_t ov_time_strftime(char *buffer, size_t size, const char *format,
                         const struct tm *tm) noexcept {
    if (buffer == nullptr || format == nullptr || tm == nullptr) return EINVAL;
    const CString expanded = _expand_ms(format, 0);
    if (!expanded) return ENOMEM;
    if (strftime(buffer, size, expanded.get(), tm) == 0) {
        // strftime leaves the buffer's content undefined when it fails; an
        // empty text is what a caller that prints it anyway should see.
        if (size > 0) buffer[0] = '\0';
        return ERANGE;
    }
    return 0;
}

int32_t ov_time_format_utc(char *buffer, size_t size, const char *format, time_t t) noexcept {
    return _format(buffer, size, format, t, nullptr, ov_time_gmtime);
}

int32_t ov_time_format_utc_ms(char *buffer, size_t size, const char *format,
                              const ov_timeval_t *t) noexcept {
    if (t == nullptr) return EINVAL;
    const uint32_t ms = _ms_of(*t);
    return _format(buffer, size, format, static_cast<time_t>(t->tv_sec), &ms, ov_time_gmtime);
}

int32_t ov_time_format_local(char *buffer, size_t size, const char *format, time_t t) noexcept {
    return _format(buffer, size, format, t, nullptr, ov_time_localtime);
}

int32_t ov_time_format_local_ms(char *buffer, size_t size, const char *format,
                                const ov_timeval_t *t) noexcept {
    if (t == nullptr) return EINVAL;
    const uint32_t ms = _ms_of(*t);
    return _format(buffer, size, format, static_cast<time_t>(t->tv_sec), &ms, ov_time_localtime);
}

}  // extern "C"
