/* ovtime.h - time values, clocks and time arithmetic. */
#ifndef OVPLATFORM_OVTIME_H
#define OVPLATFORM_OVTIME_H

#include <stdint.h>

#include <ovplatform/ovexport.h>

/* Seconds and microseconds, the layout of struct timeval. Seconds of
 * INT64_MAX mark an infinite value that absorbs additions. */
typedef struct ov_timeval {
    int64_t tv_sec;
    int64_t tv_usec;
} ov_timeval_t;

OV_EXTERN_C_BEGIN

/* clock_gettime(CLOCK_MONOTONIC). @return 0, EINVAL for null, or errno. */
OV_API int32_t ov_time_monotonic_now(ov_timeval_t *out) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
