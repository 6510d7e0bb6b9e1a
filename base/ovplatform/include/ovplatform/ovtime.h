/** @defgroup time Time
 * ovtime.h: time values, clocks, time arithmetic, calendar formatting and
 * stopwatches.
 *
 * Timeouts and elapsed times are measured on CLOCK_MONOTONIC, so that a
 * change of the wall clock never lengthens or shortens a wait; only the
 * logger's time stamps read the wall clock.
 *
 * The formatting operations take strftime formats with one extension: each
 * `"%L"` stands for the milliseconds as exactly three digits (000 to 999).
 *
 * Stopwatches read a pluggable time source, by default ov_time_usec_now(), so
 * that a test can drive one with a clock of its own.
 *
 * Threads: the clock, arithmetic and formatting functions may be called
 * from any thread; they use the re-entrant calendar calls and no shared
 * state, except the process start mark, which is written once at start-up
 * and only read afterwards. A single stopwatch has no lock: the caller
 * serialises access to it. The operations of a concurrent stopwatch set
 * hold its mutex, so several threads may start and stop levels of one set;
 * its depth is then shared by all of them.
 * @{
 */
#ifndef OVPLATFORM_OVTIME_H
#define OVPLATFORM_OVTIME_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <ovplatform/ovexport.h>

/** Seconds and microseconds, the layout of struct timeval. Seconds of
 * INT64_MAX mark an infinite value that absorbs additions. */
typedef struct ov_timeval {
    int64_t tv_sec;  /**< seconds */
    int64_t tv_usec; /**< microseconds, 0 to 999999 */
} ov_timeval_t;

/** @name The infinite time value
 * { OV_TIME_INFINITE_SEC, OV_TIME_INFINITE_USEC }. The additions treat any
 * value whose seconds are INT64_MAX as infinite and any value whose seconds
 * are INT64_MIN as minus infinite.
 * @{ */
#define OV_TIME_INFINITE_SEC INT64_MAX /**< the seconds of the infinite value */
#define OV_TIME_INFINITE_USEC 999999   /**< its microseconds */
/** @} */
/** Given to ov_time_add_usec(), this count makes the target infinite. */
#define OV_TIME_USEC_INFINITE UINT64_MAX

/** A source of microsecond time for stopwatches: context is the stopwatch's
 * own value; it returns 0, or an error code (out untouched). */
typedef int32_t (*ov_time_source_t)(uint64_t context, uint64_t *usec);

/** @name Stopwatch states
 * @{ */
#define OV_STOPWATCH_CLEARED 0 /**< not usable until initialised */
#define OV_STOPWATCH_READY 1   /**< initialised, never started since */
#define OV_STOPWATCH_RUNNING 2 /**< a run is going on */
#define OV_STOPWATCH_STOPPED 3 /**< the last run has ended */
/** @} */

/** Accumulates the running time of repeated start/stop cycles and counts
 * them; all times in microseconds of its time source. No lock: the caller
 * serialises access. */
typedef struct ov_stopwatch {
    int32_t state;           /**< OV_STOPWATCH_* */
    ov_time_source_t source; /**< the time source */
    uint64_t context;        /**< given to the time source */
    uint64_t first_start;    /**< first start since initialisation */
    uint64_t last_start;     /**< start of the last run */
    uint64_t last_stop;      /**< end of the last run */
    uint64_t accumulated;    /**< running time of the completed runs */
    uint32_t count;          /**< starts since initialisation */
} ov_stopwatch_t;

/** Statistics of one stopwatch, in microseconds. */
typedef struct ov_stopwatch_stats {
    uint64_t first_start; /**< first start since initialisation */
    uint64_t era;         /**< last stop (now while running) - first start */
    uint64_t last_start;  /**< start of the last run */
    uint64_t now;         /**< now while running, else the last stop */
    uint64_t elapsed;     /**< running time, the current run included */
    uint64_t mean;        /**< elapsed / count; 0 for no start */
    uint32_t count;       /**< starts since initialisation */
} ov_stopwatch_stats_t;

/** A stack of stopwatches shared by threads: each start opens the next level,
 * each stop closes the innermost one. Made by ov_conc_stopwatch_create(). */
typedef struct ov_conc_stopwatch {
    ov_stopwatch_t *stopwatches; /**< one per level */
    pthread_mutex_t *mutex;      /**< error-checking, held by every operation */
    uint32_t levels;             /**< number of stopwatches */
    uint32_t depth;              /**< levels running, 0 to levels */
} ov_conc_stopwatch_t;

OV_EXTERN_C_BEGIN

/** clock_gettime(CLOCK_MONOTONIC); microseconds are the nanoseconds / 1000.
 * @param out  receives the time
 * @return 0, EINVAL for null, or errno (out untouched). */
OV_API int32_t ov_time_monotonic_now(ov_timeval_t *out) OV_NOEXCEPT;

/** The monotonic time as one microsecond count; the default time source of
 * stopwatches (the context is ignored).
 * @param context  ignored
 * @param out      receives the microseconds
 * @return 0, EINVAL for a null out, or the clock's errno (out untouched). */
OV_API int32_t ov_time_usec_now(uint64_t context, uint64_t *out) OV_NOEXCEPT;

/** gettimeofday into out; tz is passed to the system unchanged (give null).
 * @param out  receives the time
 * @param tz   passed to gettimeofday; give null
 * @return 0, EINVAL for a null out, or errno. */
OV_API int32_t ov_time_wallclock(ov_timeval_t *out, void *tz) OV_NOEXCEPT;

/** Stores the monotonic time as the process start mark. A clock failure
 * leaves the mark unchanged.
 * @return 0. */
OV_API int32_t ov_time_mark_start(void) OV_NOEXCEPT;

/** Milliseconds since the start mark.
 * @return the milliseconds elapsed since the start mark (since the monotonic
 * clock's origin before ov_time_mark_start); not an error code. */
OV_API uint64_t ov_time_ms_since_start(void) OV_NOEXCEPT;

/** The start ticks.
 * @return 0: the start ticks printed in the elapsed-time messages. */
OV_API int64_t ov_time_start_ticks(void) OV_NOEXCEPT;

/** Microseconds from start to the monotonic now; the reading is also stored
 * in now (on failure too). out is 0 on a failure after the clock read.
 * @param start  the earlier time
 * @param now    receives the clock reading
 * @param out    receives the microseconds
 * @return 0; EINVAL for a null start, now or out, or when now lies before
 * start (logged at level 1); or the clock's errno (out untouched). */
OV_API int32_t getnstore_usec_since(const ov_timeval_t *start, ov_timeval_t *now,
                                    uint64_t *out) OV_NOEXCEPT;
/** As getnstore_usec_since without storing the reading.
 * @param start  the earlier time
 * @param out    receives the microseconds
 * @return 0; EINVAL for null arguments or a start in the future; or errno. */
OV_API int32_t get_usec_since_small(const ov_timeval_t *start, uint64_t *out) OV_NOEXCEPT;
/** As get_usec_since_small, with its own message.
 * @param start  the earlier time
 * @param out    receives the microseconds
 * @return 0; EINVAL for null arguments or a start in the future; or errno. */
OV_API int32_t get_usec_since(const ov_timeval_t *start, uint64_t *out) OV_NOEXCEPT;

/** Whether a time value is the infinite one.
 * @param value  the time value
 * @return 1 for exactly { INT64_MAX, 999999 }, else 0 (also for null). */
OV_API int ov_time_is_infinite(const ov_timeval_t *value) OV_NOEXCEPT;

/** target += addend; an infinite target stays as it is, an infinite (or minus
 * infinite) addend is copied into the target. A finite sum whose seconds
 * would overflow becomes infinite (minus infinite below). Null arguments:
 * nothing happens.
 * @param target  the value added to
 * @param addend  the value added
 */
OV_API void ov_time_add(ov_timeval_t *target, const ov_timeval_t *addend) OV_NOEXCEPT;

/** target += usec microseconds; OV_TIME_USEC_INFINITE makes the target
 * infinite, an infinite target stays as it is. Null target: nothing.
 * @param target  the value added to
 * @param usec    microseconds added
 */
OV_API void ov_time_add_usec(ov_timeval_t *target, uint64_t usec) OV_NOEXCEPT;

/** target -= min(usec, 1000000), borrowing one second when the target's
 * microseconds are too few. No infinity handling. Null target: nothing.
 * @param target  the value subtracted from
 * @param usec    microseconds subtracted
 */
OV_API void ov_time_sub_usec(ov_timeval_t *target, uint32_t usec) OV_NOEXCEPT;

/** The difference of two time values.
 * @param a  the later time
 * @param b  the earlier time
 * @return (a - b) in microseconds, signed; INT64_MAX or INT64_MIN when the
 * difference does not fit (an infinite operand). */
OV_API int64_t ov_time_diff_usec(const ov_timeval_t *a, const ov_timeval_t *b) OV_NOEXCEPT;

/** out = x - y with microseconds borrowed from or carried to the seconds (a
 * difference of exactly 1000000 microseconds stays in the microseconds).
 * @param out  receives x - y
 * @param x    the minuend
 * @param y    the subtrahend
 * @return 1 when the difference is negative, else 0. */
OV_API int ov_time_subtract(ov_timeval_t *out, const ov_timeval_t *x,
                            const ov_timeval_t *y) OV_NOEXCEPT;

/** gmtime_r.
 * @param t    the time
 * @param out  receives the calendar time in UTC
 * @return 0; EINVAL for a null pointer; or errno (EOVERFLOW). */
OV_API int32_t ov_time_gmtime(const time_t *t, struct tm *out) OV_NOEXCEPT;
/** localtime_r.
 * @param t    the time
 * @param out  receives the local calendar time
 * @return 0; EINVAL for a null pointer; or errno (EOVERFLOW). */
OV_API int32_t ov_time_localtime(const time_t *t, struct tm *out) OV_NOEXCEPT;
/** timegm; tm is normalised, and the result is stored even when it is -1.
 * @param tm   the UTC calendar time, normalised
 * @param out  receives the time
 * @return 0; EINVAL for a null pointer or a result of -1. */
OV_API int32_t ov_time_timegm(struct tm *tm, time_t *out) OV_NOEXCEPT;
/** mktime, with the convention of ov_time_timegm.
 * @param tm   the local calendar time, normalised
 * @param out  receives the time
 * @return 0; EINVAL for a null pointer or a result of -1. */
OV_API int32_t ov_time_mktime(struct tm *tm, time_t *out) OV_NOEXCEPT;
/** *out = seconds.
 * @param out      receives the time
 * @param seconds  the seconds
 * @return 0; EINVAL for null. */
OV_API int32_t ov_time_set_seconds(time_t *out, int64_t seconds) OV_NOEXCEPT;
/** *out = *in as a 64-bit count.
 * @param in   the time
 * @param out  receives the seconds
 * @return 0; EINVAL for null. */
OV_API int32_t ov_time_get_seconds(const time_t *in, int64_t *out) OV_NOEXCEPT;

/** strftime into buffer, each `"%L"` giving 000. On failure the buffer is left
 * empty (when size > 0).
 * @param buffer  receives the text
 * @param size    bytes of buffer
 * @param format  strftime format with `"%L"`
 * @param tm      the calendar time
 * @return 0; ERANGE when nothing was produced (too small a buffer, or an
 * empty expansion); EINVAL for a null buffer, format or tm; ENOMEM. */
OV_API int32_t ov_time_strftime(char *buffer, size_t size, const char *format,
                                const struct tm *tm) OV_NOEXCEPT;
/** Formats t as UTC; `"%L"` gives 000.
 * @param buffer  receives the text
 * @param size    bytes of buffer
 * @param format  strftime format with `"%L"`
 * @param t       the time
 * @return 0; EINVAL for a null buffer or format or size 0; the conversion's
 * errno; or the result of ov_time_strftime. */
OV_API int32_t ov_time_format_utc(char *buffer, size_t size, const char *format,
                                  time_t t) OV_NOEXCEPT;
/** Formats the time value's seconds as UTC; `"%L"` gives its microseconds / 1000
 * (999 at most).
 * @param buffer  receives the text
 * @param size    bytes of buffer
 * @param format  strftime format with `"%L"`
 * @param t       the time value
 * @return as ov_time_format_utc; EINVAL for a null value. */
OV_API int32_t ov_time_format_utc_ms(char *buffer, size_t size, const char *format,
                                     const ov_timeval_t *t) OV_NOEXCEPT;
/** As ov_time_format_utc in local time.
 * @param buffer  receives the text
 * @param size    bytes of buffer
 * @param format  strftime format with `"%L"`
 * @param t       the time
 * @return as ov_time_format_utc().
 */
OV_API int32_t ov_time_format_local(char *buffer, size_t size, const char *format,
                                    time_t t) OV_NOEXCEPT;
/** As ov_time_format_utc_ms in local time.
 * @param buffer  receives the text
 * @param size    bytes of buffer
 * @param format  strftime format with `"%L"`
 * @param t       the time value
 * @return as ov_time_format_utc_ms().
 */
OV_API int32_t ov_time_format_local_ms(char *buffer, size_t size, const char *format,
                                       const ov_timeval_t *t) OV_NOEXCEPT;

/** Clears the stopwatch and makes it ready with source (null: the monotonic
 * clock) and context.
 * @param sw       the stopwatch
 * @param context  given to the time source
 * @param source   the time source, or null
 * @return 0; EINVAL for null. */
OV_API int32_t ov_stopwatch_init(ov_stopwatch_t *sw, uint64_t context,
                                 ov_time_source_t source) OV_NOEXCEPT;
/** ov_stopwatch_init with context 0 and the monotonic clock.
 * @param sw  the stopwatch
 * @return as ov_stopwatch_init().
 */
OV_API int32_t ov_stopwatch_init_default(ov_stopwatch_t *sw) OV_NOEXCEPT;
/** Clears all times and the count, keeping source and context.
 * @param sw  the stopwatch
 * @return 0; EINVAL for null. */
OV_API int32_t ov_stopwatch_reset(ov_stopwatch_t *sw) OV_NOEXCEPT;
/** Makes the stopwatch unusable until initialised again; nothing for null.
 * @param sw  the stopwatch
 */
OV_API void ov_stopwatch_clear(ov_stopwatch_t *sw) OV_NOEXCEPT;
/** Reads the time source.
 * @param sw    the stopwatch
 * @param usec  receives the time
 * @return its result; EINVAL for null arguments or
 * no source. */
OV_API int32_t ov_stopwatch_now(const ov_stopwatch_t *sw, uint64_t *usec) OV_NOEXCEPT;
/** Starts a run; start (may be null) receives its time. A failing time
 * source is not reported: the run then starts at the previous start time.
 * @param sw     the stopwatch
 * @param start  receives the run's start; may be null
 * @return 0; EINVAL unless ready or stopped. */
OV_API int32_t ov_stopwatch_start(ov_stopwatch_t *sw, uint64_t *start) OV_NOEXCEPT;
/** Ends the run. elapsed receives the new total running time, start and stop
 * the run's times; each may be null.
 * @param sw       the stopwatch
 * @param elapsed  receives the total running time; may be null
 * @param start    receives the run's start; may be null
 * @param stop     receives the run's end; may be null
 * @return 0; EINVAL unless running; or the time source's error (nothing
 * changed). */
OV_API int32_t ov_stopwatch_stop(ov_stopwatch_t *sw, uint64_t *elapsed, uint64_t *start,
                                 uint64_t *stop) OV_NOEXCEPT;
/** The total running time (the current run included), the last start, and now
 * (the last stop when not running); at least one output is given.
 * @param sw       the stopwatch
 * @param elapsed  receives the total running time; may be null
 * @param start    receives the last start; may be null
 * @param now      receives now, or the last stop; may be null
 * @return 0; EINVAL for null arguments; or the time source's error. */
OV_API int32_t ov_stopwatch_read(const ov_stopwatch_t *sw, uint64_t *elapsed, uint64_t *start,
                                 uint64_t *now) OV_NOEXCEPT;
/** As ov_stopwatch_read; interval (may be null) receives the current run so
 * far, or the length of the last run when stopped.
 * @param sw        the stopwatch
 * @param elapsed   receives the total running time; may be null
 * @param interval  receives the current or last run; may be null
 * @return 0; EINVAL for a null stopwatch; or the time source's error. */
OV_API int32_t ov_stopwatch_elapsed(const ov_stopwatch_t *sw, uint64_t *elapsed,
                                    uint64_t *interval) OV_NOEXCEPT;
/** The first start since initialisation.
 * @param sw    the stopwatch
 * @param usec  receives the first start
 * @return 0; EINVAL for null arguments or a stopwatch never started. */
OV_API int32_t ov_stopwatch_first_start(const ov_stopwatch_t *sw, uint64_t *usec) OV_NOEXCEPT;
/** The time from the first start to now (running) or to the last stop; 0 when
 * never started.
 * @param sw    the stopwatch
 * @param usec  receives the span
 * @return 0; EINVAL for null arguments or a cleared
 * stopwatch; or the time source's error. */
OV_API int32_t ov_stopwatch_span(const ov_stopwatch_t *sw, uint64_t *usec) OV_NOEXCEPT;
/** The number of starts.
 * @param sw     the stopwatch
 * @param count  receives the number
 * @return 0; EINVAL for null arguments or a cleared
 * stopwatch. */
OV_API int32_t ov_stopwatch_count(const ov_stopwatch_t *sw, uint64_t *count) OV_NOEXCEPT;
/** Fills stats (all zero apart from the count when never started).
 * @param sw     the stopwatch
 * @param stats  receives the statistics
 * @return 0; EINVAL for null arguments or a cleared stopwatch; or the time
 * source's error. */
OV_API int32_t ov_stopwatch_stats(const ov_stopwatch_t *sw,
                                  ov_stopwatch_stats_t *stats) OV_NOEXCEPT;

/** Makes a set of levels stopwatches on source (null: the monotonic clock).
 * @param out      receives the set
 * @param levels   number of stopwatches
 * @param context  given to the time source
 * @param source   the time source, or null
 * @return 0; EINVAL for a null out or 0 levels; ENOMEM (nothing allocated). */
OV_API int32_t ov_conc_stopwatch_create(ov_conc_stopwatch_t **out, uint32_t levels,
                                        uint64_t context, ov_time_source_t source) OV_NOEXCEPT;
/** ov_conc_stopwatch_create with context 0 and the monotonic clock.
 * @param out     receives the set
 * @param levels  number of stopwatches
 * @return as ov_conc_stopwatch_create().
 */
OV_API int32_t ov_conc_stopwatch_create_default(ov_conc_stopwatch_t **out,
                                                uint32_t levels) OV_NOEXCEPT;
/** Frees the set and sets *set to null; nothing for null.
 * @param set  the slot holding the set
 */
OV_API void ov_conc_stopwatch_free(ov_conc_stopwatch_t **set) OV_NOEXCEPT;
/** Starts the next level.
 * @param set  the set
 * @return 0; EINVAL for null, when every level runs
 * (logged at level 1) or when that level's start is refused. */
OV_API int32_t ov_conc_stopwatch_start(ov_conc_stopwatch_t *set) OV_NOEXCEPT;
/** Stops the innermost running level.
 * @param set  the set
 * @return 0; EINVAL for null or when no
 * level runs; or the stop's error (the level counts as stopped). */
OV_API int32_t ov_conc_stopwatch_stop(ov_conc_stopwatch_t *set) OV_NOEXCEPT;
/** The number of levels.
 * @param set  the set
 * @return the number of levels; 0 for null. */
OV_API uint32_t ov_conc_stopwatch_levels(const ov_conc_stopwatch_t *set) OV_NOEXCEPT;
/** The number of running levels.
 * @param set  the set
 * @return the number of running levels; 0xFFFFFFFF for null. */
OV_API uint32_t ov_conc_stopwatch_depth(ov_conc_stopwatch_t *set) OV_NOEXCEPT;
/** Fills stats, an array of one record per level, from level 0 up to the
 * first level never started or failing; the rest stay zero.
 * @param set    the set
 * @param stats  receives one record per level
 * @return 0; EINVAL for null arguments. */
OV_API int32_t ov_conc_stopwatch_stats(ov_conc_stopwatch_t *set,
                                       ov_stopwatch_stats_t *stats) OV_NOEXCEPT;
/** Logs one line at level 3 per level started so far.
 * @param set  the set
 */
OV_API void ov_conc_stopwatch_log(ov_conc_stopwatch_t *set) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
