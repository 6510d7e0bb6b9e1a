// ovtime.cpp - the time value: clocks, elapsed time, arithmetic, calendar,
// stopwatches.
//
// Every module measures time with one record, ov_timeval_t (seconds and
// microseconds). This module reads the monotonic clock and the wall clock,
// measures elapsed microseconds with a guard against a start that lies after
// now, and adds and subtracts time values. An infinite value { INT64_MAX,
// 999999 } absorbs additions, so that a wait with an infinite timeout simply
// has no deadline. It also converts calendar times and formats them with
// strftime, extended by "%L" for the milliseconds; only that formatting
// allocates (the expanded copy of the format). Stopwatches accumulate the
// running time of repeated runs; a concurrent set stacks them by nesting
// level behind a mutex.
//
// Divisions: clocks; elapsed time; arithmetic; calendar and formatting;
// stopwatches; concurrent stopwatch sets.
#include <ovplatform/ovsynchron.h>
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
#include "internal/raii.h"

namespace {

using namespace ov::detail;

constexpr int64_t kUsecPerSec = 1000000;
constexpr uint32_t kMaxMs = 999;

using CString = std::unique_ptr<char, FreeDeleter>;

// The process start mark as one microsecond count of the monotonic clock. A
// single atomic word keeps a reader on another thread from seeing half of a
// mark that is being written.
std::atomic<int64_t> g_start_mark_usec{0};

bool is_plus_infinite(const ov_timeval_t &t) {
    return t.tv_sec == INT64_MAX;
}
bool is_minus_infinite(const ov_timeval_t &t) {
    return t.tv_sec == INT64_MIN;
}

// a - b in microseconds. The infinite values (and any difference beyond
// about 292000 years) do not fit in 64 bits; such a difference saturates in
// its direction instead of wrapping into a count of the opposite sign.
int64_t diff_usec(const ov_timeval_t &a, const ov_timeval_t &b) {
    int64_t sec;
    int64_t usec;
    int64_t total;
    if (__builtin_sub_overflow(a.tv_sec, b.tv_sec, &sec) ||
        __builtin_mul_overflow(sec, kUsecPerSec, &total) ||
        __builtin_sub_overflow(a.tv_usec, b.tv_usec, &usec) ||
        __builtin_add_overflow(total, usec, &total))
        return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec > b.tv_usec) ? INT64_MAX
                                                                                      : INT64_MIN;
    return total;
}

// The three elapsed-time operations differ only in their message and in
// whether the caller wants the clock reading back.
int32_t usec_since(const ov_timeval_t &start, ov_timeval_t *store_now, uint64_t *out,
                   const char *operation) {
    ov_timeval_t now{};
    const int32_t rc = ov_time_monotonic_now(&now);
    if (rc != 0) return rc;
    if (store_now != nullptr) *store_now = now;
    *out = 0;
    if (now.tv_sec < start.tv_sec || (now.tv_sec == start.tv_sec && now.tv_usec < start.tv_usec)) {
        OV_LOG(kLogError, "%s (start ticks %ld): big old %ld.%ld > %ld.%ld", operation,
               static_cast<long>(ov_time_start_ticks()), static_cast<long>(start.tv_sec),
               static_cast<long>(start.tv_usec), static_cast<long>(now.tv_sec),
               static_cast<long>(now.tv_usec));
        return EINVAL;
    }
    *out = static_cast<uint64_t>(diff_usec(now, start));
    return 0;
}

// Copies format with every "%L" replaced by the milliseconds as three digits.
// The digits are never searched again, so "%%L" becomes a percent sign and
// the digits, which strftime then reads as a conversion of its own. Each
// two-character "%L" grows by one character, so twice the length is room
// enough. Null when the copy cannot be allocated.
CString expand_ms(const char *format, uint32_t ms) {
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
int32_t format_time(char *buffer, size_t size, const char *format, time_t seconds,
                    const uint32_t *ms, Converter convert) {
    if (buffer == nullptr || size == 0 || format == nullptr) return EINVAL;
    struct tm tm {};
    const int32_t rc = convert(&seconds, &tm);
    if (rc != 0) return rc;
    if (ms == nullptr) return ov_time_strftime(buffer, size, format, &tm);
    const CString expanded = expand_ms(format, *ms);
    if (!expanded) return ENOMEM;
    return ov_time_strftime(buffer, size, expanded.get(), &tm);
}

uint32_t ms_of(const ov_timeval_t &t) {
    return static_cast<uint32_t>(t.tv_usec / 1000);
}

bool is_started(const ov_stopwatch_t &sw) {
    return sw.state == OV_STOPWATCH_RUNNING || sw.state == OV_STOPWATCH_STOPPED;
}

bool is_usable(const ov_stopwatch_t &sw) {
    return sw.state >= OV_STOPWATCH_READY && sw.state <= OV_STOPWATCH_STOPPED;
}

// Frees a set as far as it was built; creation uses it on failure too.
void conc_stopwatch_destroy(ov_conc_stopwatch_t *set) {
    ov_mutex_free(&set->mutex);
    if (set->stopwatches != nullptr) {
        for (uint32_t level = set->levels; level > 0; --level)
            ov_stopwatch_clear(&set->stopwatches[level - 1]);
        std::free(set->stopwatches);
    }
    std::free(set);
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

int32_t ov_time_usec_now(uint64_t /*context*/, uint64_t *out) noexcept {
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
    return usec_since(*start, now, out, "getnstore_usec_since");
}

int32_t get_usec_since_small(const ov_timeval_t *start, uint64_t *out) noexcept {
    if (start == nullptr || out == nullptr) return EINVAL;
    return usec_since(*start, nullptr, out, "get_usec_since_small");
}

int32_t get_usec_since(const ov_timeval_t *start, uint64_t *out) noexcept {
    if (start == nullptr || out == nullptr) return EINVAL;
    return usec_since(*start, nullptr, out, "get_usec_since");
}

int ov_time_is_infinite(const ov_timeval_t *value) noexcept {
    return value != nullptr && value->tv_sec == OV_TIME_INFINITE_SEC &&
           value->tv_usec == OV_TIME_INFINITE_USEC;
}

void ov_time_add(ov_timeval_t *target, const ov_timeval_t *addend) noexcept {
    if (target == nullptr || addend == nullptr) return;
    if (is_plus_infinite(*target) || is_minus_infinite(*target)) {
        OV_LOG(kLogTrace, "Ignoring request to increment infinite time value");
        return;
    }
    if (is_plus_infinite(*addend)) {
        OV_LOG(kLogTrace, "Incrementing time by infinity.  Setting result to infinity.");
        *target = *addend;
        return;
    }
    if (is_minus_infinite(*addend)) {
        OV_LOG(kLogTrace, "Decrementing time by infinity.  Setting result to minus infinity.");
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
    if (is_plus_infinite(*target) || is_minus_infinite(*target)) {
        OV_LOG(kLogTrace, "Ignoring request to increment infinite time value");
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
    return diff_usec(*a, *b);
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
    const CString expanded = expand_ms(format, 0);
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
    return format_time(buffer, size, format, t, nullptr, ov_time_gmtime);
}

int32_t ov_time_format_utc_ms(char *buffer, size_t size, const char *format,
                              const ov_timeval_t *t) noexcept {
    if (t == nullptr) return EINVAL;
    const uint32_t ms = ms_of(*t);
    return format_time(buffer, size, format, static_cast<time_t>(t->tv_sec), &ms, ov_time_gmtime);
}

int32_t ov_time_format_local(char *buffer, size_t size, const char *format, time_t t) noexcept {
    return format_time(buffer, size, format, t, nullptr, ov_time_localtime);
}

int32_t ov_time_format_local_ms(char *buffer, size_t size, const char *format,
                                const ov_timeval_t *t) noexcept {
    if (t == nullptr) return EINVAL;
    const uint32_t ms = ms_of(*t);
    return format_time(buffer, size, format, static_cast<time_t>(t->tv_sec), &ms,
                       ov_time_localtime);
}

int32_t ov_stopwatch_init(ov_stopwatch_t *sw, uint64_t context, ov_time_source_t source) noexcept {
    if (sw == nullptr) return EINVAL;
    *sw = ov_stopwatch_t{};
    sw->source = source != nullptr ? source : ov_time_usec_now;
    sw->context = context;
    sw->state = OV_STOPWATCH_READY;
    return 0;
}

int32_t ov_stopwatch_init_default(ov_stopwatch_t *sw) noexcept {
    return ov_stopwatch_init(sw, 0, nullptr);
}

int32_t ov_stopwatch_reset(ov_stopwatch_t *sw) noexcept {
    if (sw == nullptr) return EINVAL;
    return ov_stopwatch_init(sw, sw->context, sw->source);
}

void ov_stopwatch_clear(ov_stopwatch_t *sw) noexcept {
    if (sw != nullptr) sw->state = OV_STOPWATCH_CLEARED;
}

int32_t ov_stopwatch_now(const ov_stopwatch_t *sw, uint64_t *usec) noexcept {
    if (sw == nullptr || usec == nullptr || sw->source == nullptr) return EINVAL;
    return sw->source(sw->context, usec);
}

int32_t ov_stopwatch_start(ov_stopwatch_t *sw, uint64_t *start) noexcept {
    if (sw == nullptr) return EINVAL;
    if (sw->state != OV_STOPWATCH_READY && sw->state != OV_STOPWATCH_STOPPED) return EINVAL;
    // A start is not refused for want of a clock reading; the run then counts
    // from the previous start time.
    ov_stopwatch_now(sw, &sw->last_start);
    if (sw->state == OV_STOPWATCH_READY) sw->first_start = sw->last_start;
    ++sw->count;
    sw->state = OV_STOPWATCH_RUNNING;
    if (start != nullptr) *start = sw->last_start;
    return 0;
}

int32_t ov_stopwatch_read(const ov_stopwatch_t *sw, uint64_t *elapsed, uint64_t *start,
                          uint64_t *now) noexcept {
    if (sw == nullptr || (elapsed == nullptr && start == nullptr && now == nullptr)) return EINVAL;
    uint64_t total = sw->accumulated;
    uint64_t reading = sw->last_stop;
    if (sw->state == OV_STOPWATCH_RUNNING) {
        const int32_t rc = ov_stopwatch_now(sw, &reading);
        if (rc != 0) return rc;
        total = reading + sw->accumulated - sw->last_start;
    }
    if (elapsed != nullptr) *elapsed = total;
    if (now != nullptr) *now = reading;
    if (start != nullptr) *start = sw->last_start;
    return 0;
}

int32_t ov_stopwatch_stop(ov_stopwatch_t *sw, uint64_t *elapsed, uint64_t *start,
                          uint64_t *stop) noexcept {
    if (sw == nullptr || sw->state != OV_STOPWATCH_RUNNING) return EINVAL;
    uint64_t total = 0;
    uint64_t run_start = 0;
    uint64_t run_stop = 0;
    const int32_t rc = ov_stopwatch_read(sw, &total, &run_start, &run_stop);
    if (rc != 0) return rc;
    sw->accumulated += run_stop - sw->last_start;
    sw->last_stop = run_stop;
    sw->state = OV_STOPWATCH_STOPPED;
    if (elapsed != nullptr) *elapsed = total;
    if (start != nullptr) *start = run_start;
    if (stop != nullptr) *stop = run_stop;
    return 0;
}

int32_t ov_stopwatch_elapsed(const ov_stopwatch_t *sw, uint64_t *elapsed,
                             uint64_t *interval) noexcept {
    if (sw == nullptr) return EINVAL;
    uint64_t start = 0;
    uint64_t now = 0;
    const int32_t rc = ov_stopwatch_read(sw, elapsed, &start, &now);
    if (rc != 0) return rc;
    if (interval != nullptr) *interval = now - start;
    return 0;
}

int32_t ov_stopwatch_first_start(const ov_stopwatch_t *sw, uint64_t *usec) noexcept {
    if (sw == nullptr || usec == nullptr || !is_started(*sw)) return EINVAL;
    *usec = sw->first_start;
    return 0;
}

int32_t ov_stopwatch_span(const ov_stopwatch_t *sw, uint64_t *usec) noexcept {
    if (sw == nullptr || usec == nullptr || !is_usable(*sw)) return EINVAL;
    switch (sw->state) {
        case OV_STOPWATCH_RUNNING: {
            uint64_t now = 0;
            const int32_t rc = ov_stopwatch_now(sw, &now);
            if (rc != 0) return rc;
            *usec = now - sw->first_start;
            return 0;
        }
        case OV_STOPWATCH_STOPPED:
            *usec = sw->last_stop - sw->first_start;
            return 0;
        default:
            *usec = 0;
            return 0;
    }
}

int32_t ov_stopwatch_count(const ov_stopwatch_t *sw, uint64_t *count) noexcept {
    if (sw == nullptr || count == nullptr || !is_usable(*sw)) return EINVAL;
    *count = sw->count;
    return 0;
}

int32_t ov_stopwatch_stats(const ov_stopwatch_t *sw, ov_stopwatch_stats_t *stats) noexcept {
    if (sw == nullptr || stats == nullptr || !is_usable(*sw)) return EINVAL;
    *stats = ov_stopwatch_stats_t{};
    stats->count = sw->count;
    if (sw->count == 0) return 0;
    int32_t rc = ov_stopwatch_read(sw, &stats->elapsed, &stats->last_start, &stats->now);
    if (rc != 0) return rc;
    rc = ov_stopwatch_first_start(sw, &stats->first_start);
    if (rc != 0) return rc;
    stats->mean = stats->elapsed / sw->count;
    stats->era = stats->now - stats->first_start;
    return 0;
}

int32_t ov_conc_stopwatch_create(ov_conc_stopwatch_t **out, uint32_t levels, uint64_t context,
                                 ov_time_source_t source) noexcept {
    if (out == nullptr || levels == 0) return EINVAL;
    auto *set = static_cast<ov_conc_stopwatch_t *>(std::calloc(1, sizeof(ov_conc_stopwatch_t)));
    if (set == nullptr) return ENOMEM;
    set->stopwatches = static_cast<ov_stopwatch_t *>(std::calloc(levels, sizeof(ov_stopwatch_t)));
    if (set->stopwatches == nullptr) {
        conc_stopwatch_destroy(set);
        return ENOMEM;
    }
    set->levels = levels;
    for (uint32_t level = 0; level < levels; ++level)
        ov_stopwatch_init(&set->stopwatches[level], context, source);
    if (ov_mutex_create(&set->mutex) != 0) {
        conc_stopwatch_destroy(set);
        return ENOMEM;
    }
    *out = set;
    return 0;
}

int32_t ov_conc_stopwatch_create_default(ov_conc_stopwatch_t **out, uint32_t levels) noexcept {
    return ov_conc_stopwatch_create(out, levels, 0, nullptr);
}

void ov_conc_stopwatch_free(ov_conc_stopwatch_t **set) noexcept {
    if (set == nullptr || *set == nullptr) return;
    conc_stopwatch_destroy(*set);
    *set = nullptr;
}

int32_t ov_conc_stopwatch_start(ov_conc_stopwatch_t *set) noexcept {
    if (set == nullptr) return EINVAL;
    const MutexLock lock(set->mutex);
    if (set->depth >= set->levels) {
        OV_LOG(kLogError, "ov_conc_stopwatch_start(): Timers exceeded. Cannot start.");
        return EINVAL;
    }
    const int32_t rc = ov_stopwatch_start(&set->stopwatches[set->depth], nullptr);
    if (rc == 0) ++set->depth;
    return rc;
}

int32_t ov_conc_stopwatch_stop(ov_conc_stopwatch_t *set) noexcept {
    if (set == nullptr) return EINVAL;
    const MutexLock lock(set->mutex);
    if (set->depth == 0) return EINVAL;
    // The level is given up even when its stop fails, so that a failing time
    // source cannot wedge the set at one depth.
    --set->depth;
    return ov_stopwatch_stop(&set->stopwatches[set->depth], nullptr, nullptr, nullptr);
}

uint32_t ov_conc_stopwatch_levels(const ov_conc_stopwatch_t *set) noexcept {
    // Fixed at creation, so it is read without the lock.
    return set == nullptr ? 0 : set->levels;
}

uint32_t ov_conc_stopwatch_depth(ov_conc_stopwatch_t *set) noexcept {
    if (set == nullptr) return UINT32_MAX;
    const MutexLock lock(set->mutex);
    return set->depth;
}

int32_t ov_conc_stopwatch_stats(ov_conc_stopwatch_t *set, ov_stopwatch_stats_t *stats) noexcept {
    if (set == nullptr || stats == nullptr) return EINVAL;
    for (uint32_t level = 0; level < set->levels; ++level) stats[level] = ov_stopwatch_stats_t{};
    const MutexLock lock(set->mutex);
    for (uint32_t level = 0; level < set->levels; ++level) {
        if (ov_stopwatch_stats(&set->stopwatches[level], &stats[level]) != 0) break;
        if (stats[level].count == 0) break;
    }
    return 0;
}

void ov_conc_stopwatch_log(ov_conc_stopwatch_t *set) noexcept {
    if (set == nullptr) return;
    const MutexLock lock(set->mutex);
    for (uint32_t level = 0; level < set->levels; ++level) {
        ov_stopwatch_stats_t stats;
        if (ov_stopwatch_stats(&set->stopwatches[level], &stats) != 0 || stats.count == 0) break;
        OV_LOG(kLogInfo, "level:%u era:%lu elapsed:%lu count:%u mean:%lu\n", level,
               static_cast<unsigned long>(stats.era), static_cast<unsigned long>(stats.elapsed),
               stats.count, static_cast<unsigned long>(stats.mean));
    }
}

}  // extern "C"
