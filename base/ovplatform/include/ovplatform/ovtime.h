/* ovtime.h - time values, clocks, time arithmetic and calendar formatting.
 *
 * Timeouts and elapsed times are measured on CLOCK_MONOTONIC, so that a
 * change of the wall clock never lengthens or shortens a wait; only the
 * logger's time stamps read the wall clock.
 *
 * The formatting operations take strftime formats with one extension: each
 * "%L" stands for the milliseconds as exactly three digits (000 to 999).
 */
#ifndef OVPLATFORM_OVTIME_H
#define OVPLATFORM_OVTIME_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <ovplatform/ovexport.h>

/* Seconds and microseconds, the layout of struct timeval. Seconds of
 * INT64_MAX mark an infinite value that absorbs additions. */
typedef struct ov_timeval {
    int64_t tv_sec;
    int64_t tv_usec;
} ov_timeval_t;

/* The infinite time value: { OV_TIME_INFINITE_SEC, OV_TIME_INFINITE_USEC }.
 * The additions treat any value whose seconds are INT64_MAX as infinite and
 * any value whose seconds are INT64_MIN as minus infinite. */
#define OV_TIME_INFINITE_SEC INT64_MAX
#define OV_TIME_INFINITE_USEC 999999
/* Given to ov_time_add_usec, this count makes the target infinite. */
#define OV_TIME_USEC_INFINITE UINT64_MAX

OV_EXTERN_C_BEGIN

/* clock_gettime(CLOCK_MONOTONIC); microseconds are the nanoseconds / 1000.
 * @return 0, EINVAL for null, or errno (out untouched). */
OV_API int32_t ov_time_monotonic_now(ov_timeval_t *out) OV_NOEXCEPT;

/* The monotonic time as one microsecond count. The context is ignored; the
 * shape (context, out) is that of a stopwatch time source.
 * @return 0, EINVAL for a null out, or the clock's errno (out untouched). */
OV_API int32_t ov_time_usec_now(void *context, uint64_t *out) OV_NOEXCEPT;

/* gettimeofday into out; tz is passed to the system unchanged (give null).
 * @return 0, EINVAL for a null out, or errno. */
OV_API int32_t ov_time_wallclock(ov_timeval_t *out, void *tz) OV_NOEXCEPT;

/* Stores the monotonic time as the process start mark. A clock failure
 * leaves the mark unchanged. @return 0. */
OV_API int32_t ov_time_mark_start(void) OV_NOEXCEPT;

/* @return the milliseconds elapsed since the start mark (since the monotonic
 * clock's origin before ov_time_mark_start); not an error code. */
OV_API uint64_t ov_time_ms_since_start(void) OV_NOEXCEPT;

/* @return 0: the start ticks printed in the elapsed-time messages. */
OV_API int64_t ov_time_start_ticks(void) OV_NOEXCEPT;

/* Microseconds from start to the monotonic now; the reading is also stored
 * in now (on failure too). out is 0 on a failure after the clock read.
 * @return 0; EINVAL for a null start, now or out, or when now lies before
 * start (logged at level 1); or the clock's errno (out untouched). */
OV_API int32_t getnstore_usec_since(const ov_timeval_t *start, ov_timeval_t *now,
                                    uint64_t *out) OV_NOEXCEPT;
/* As getnstore_usec_since without storing the reading.
 * @return 0; EINVAL for null arguments or a start in the future; or errno. */
OV_API int32_t get_usec_since_small(const ov_timeval_t *start, uint64_t *out) OV_NOEXCEPT;
/* As get_usec_since_small, with its own message.
 * @return 0; EINVAL for null arguments or a start in the future; or errno. */
OV_API int32_t get_usec_since(const ov_timeval_t *start, uint64_t *out) OV_NOEXCEPT;

/* @return 1 for exactly { INT64_MAX, 999999 }, else 0 (also for null). */
OV_API int ov_time_is_infinite(const ov_timeval_t *value) OV_NOEXCEPT;

/* target += addend; an infinite target stays as it is, an infinite (or minus
 * infinite) addend is copied into the target. A finite sum whose seconds
 * would overflow becomes infinite (minus infinite below). Null arguments:
 * nothing happens. */
OV_API void ov_time_add(ov_timeval_t *target, const ov_timeval_t *addend) OV_NOEXCEPT;

/* target += usec microseconds; OV_TIME_USEC_INFINITE makes the target
 * infinite, an infinite target stays as it is. Null target: nothing. */
OV_API void ov_time_add_usec(ov_timeval_t *target, uint64_t usec) OV_NOEXCEPT;

/* target -= min(usec, 1000000), borrowing one second when the target's
 * microseconds are too few. No infinity handling. Null target: nothing. */
OV_API void ov_time_sub_usec(ov_timeval_t *target, uint32_t usec) OV_NOEXCEPT;

/* @return (a - b) in microseconds, signed. */
OV_API int64_t ov_time_diff_usec(const ov_timeval_t *a, const ov_timeval_t *b) OV_NOEXCEPT;

/* out = x - y with microseconds borrowed from or carried to the seconds (a
 * difference of exactly 1000000 microseconds stays in the microseconds).
 * @return 1 when the difference is negative, else 0. */
OV_API int ov_time_subtract(ov_timeval_t *out, const ov_timeval_t *x,
                            const ov_timeval_t *y) OV_NOEXCEPT;

/* gmtime_r. @return 0; EINVAL for a null pointer; or errno (EOVERFLOW). */
OV_API int32_t ov_time_gmtime(const time_t *t, struct tm *out) OV_NOEXCEPT;
/* localtime_r. @return 0; EINVAL for a null pointer; or errno (EOVERFLOW). */
OV_API int32_t ov_time_localtime(const time_t *t, struct tm *out) OV_NOEXCEPT;
/* timegm; tm is normalised, and the result is stored even when it is -1.
 * @return 0; EINVAL for a null pointer or a result of -1. */
OV_API int32_t ov_time_timegm(struct tm *tm, time_t *out) OV_NOEXCEPT;
/* mktime, with the convention of ov_time_timegm.
 * @return 0; EINVAL for a null pointer or a result of -1. */
OV_API int32_t ov_time_mktime(struct tm *tm, time_t *out) OV_NOEXCEPT;
/* *out = seconds. @return 0; EINVAL for null. */
OV_API int32_t ov_time_set_seconds(time_t *out, int64_t seconds) OV_NOEXCEPT;
/* *out = *in as a 64-bit count. @return 0; EINVAL for null. */
OV_API int32_t ov_time_get_seconds(const time_t *in, int64_t *out) OV_NOEXCEPT;

/* strftime into buffer, each "%L" giving 000. On failure the buffer is left
 * empty (when size > 0).
 * @return 0; ERANGE when nothing was produced (too small a buffer, or an
 * empty expansion); EINVAL for a null buffer, format or tm; ENOMEM. */
OV_API int32_t ov_time_strftime(char *buffer, size_t size, const char *format,
                                const struct tm *tm) OV_NOEXCEPT;
/* Formats t as UTC; "%L" gives 000.
 * @return 0; EINVAL for a null buffer or format or size 0; the conversion's
 * errno; or the result of ov_time_strftime. */
OV_API int32_t ov_time_format_utc(char *buffer, size_t size, const char *format,
                                  time_t t) OV_NOEXCEPT;
/* Formats the time value's seconds as UTC; "%L" gives its microseconds / 1000
 * (999 at most). @return as ov_time_format_utc; EINVAL for a null value. */
OV_API int32_t ov_time_format_utc_ms(char *buffer, size_t size, const char *format,
                                     const ov_timeval_t *t) OV_NOEXCEPT;
/* As ov_time_format_utc in local time. */
OV_API int32_t ov_time_format_local(char *buffer, size_t size, const char *format,
                                    time_t t) OV_NOEXCEPT;
/* As ov_time_format_utc_ms in local time. */
OV_API int32_t ov_time_format_local_ms(char *buffer, size_t size, const char *format,
                                       const ov_timeval_t *t) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
