/* ovsynchron.h - mutexes and condition records. */
#ifndef OVPLATFORM_OVSYNCHRON_H
#define OVPLATFORM_OVSYNCHRON_H

#include <pthread.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>
#include <ovplatform/ovtime.h>

typedef pthread_mutex_t ov_mutex_t;

/* A condition variable bound to a caller's mutex, timed on the monotonic
 * clock. */
typedef struct ov_cond {
    ov_mutex_t *mutex;
    pthread_cond_t cond;
    pthread_condattr_t attr;
} ov_cond_t;

OV_EXTERN_C_BEGIN

/* Initialises an error-checking mutex in place. @return 0. */
OV_API int32_t ov_mutex_init(ov_mutex_t *mutex) OV_NOEXCEPT;
/* @return 0 or the pthread error (logged at level 3). */
OV_API int32_t ov_mutex_destroy(ov_mutex_t *mutex) OV_NOEXCEPT;
/* Blocking lock. Re-acquisition by the owning thread is a programming error:
 * without a reacquire hook it is logged with a backtrace and aborts.
 * @return 0 or the pthread error. */
OV_API int32_t ov_mutex_acquire(ov_mutex_t *mutex) OV_NOEXCEPT;
/* @return 0 or the pthread error (EPERM when not the owner; logged at level 3). */
OV_API int32_t ov_mutex_release(ov_mutex_t *mutex) OV_NOEXCEPT;

/* Binds the record to mutex; its timed waits run on CLOCK_MONOTONIC.
 * @return 0 or the pthread error. */
OV_API int32_t ov_cond_init(ov_cond_t *cond, ov_mutex_t *mutex) OV_NOEXCEPT;
/* @return 0, or the first pthread error of the condition and its attributes. */
OV_API int32_t ov_cond_destroy(ov_cond_t *cond) OV_NOEXCEPT;
/* Waits at most timeout (relative; null waits without limit).
 * @return 0 when woken, ETIMEDOUT when the deadline passed. */
OV_API int32_t ov_cond_timedwait(ov_cond_t *cond, const ov_timeval_t *timeout) OV_NOEXCEPT;
/* @return the pthread result. */
OV_API int32_t ov_cond_signal(ov_cond_t *cond) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
