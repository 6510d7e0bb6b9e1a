/* ovthread.h - starting, joining and identifying threads; sleeping. */
#ifndef OVPLATFORM_OVTHREAD_H
#define OVPLATFORM_OVTHREAD_H

#include <pthread.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

typedef pthread_t ov_thread_t;
typedef void *(*ov_thread_start_t)(void *arg);

/* Every thread started here gets at least this much stack. */
#define OV_THREAD_MIN_STACK 262144u

OV_EXTERN_C_BEGIN

/* Starts start(arg). With a thread pointer the thread is joinable and its
 * identifier stored; with null it is detached.
 * @return 0 or the pthread error (EAGAIN, ...). */
OV_API int32_t ov_thread_spawn(ov_thread_t *thread, ov_thread_start_t start,
                               void *arg) OV_NOEXCEPT;
/* @return the pthread_join result. */
OV_API int32_t ov_thread_join(ov_thread_t *thread) OV_NOEXCEPT;
/* One usleep of ms milliseconds (0 to 4294967). A caught signal ends it
 * early. @return 0, or errno (EINTR when a signal handler ran). */
OV_API int32_t ov_thread_sleep_ms(uint32_t ms) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
