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
 * @return 0 or the pthread error (EAGAIN, ...); EINVAL for a null start. */
OV_API int32_t ov_thread_spawn(ov_thread_t *thread, ov_thread_start_t start, void *arg) OV_NOEXCEPT;
/* Waits for the thread to end and discards its result. A joined handle is
 * cleared to 0, so that it no longer names the ended thread.
 * @return the pthread_join result; ESRCH for a null or cleared handle. */
OV_API int32_t ov_thread_join(ov_thread_t *thread) OV_NOEXCEPT;
/* One usleep of ms milliseconds (0 to 4294967). A caught signal ends it
 * early. @return 0, or errno (EINTR when a signal handler ran). */
OV_API int32_t ov_thread_sleep_ms(uint32_t ms) OV_NOEXCEPT;
/* @return the calling thread's identifier. */
OV_API ov_thread_t ov_thread_self(void) OV_NOEXCEPT;
/* @return the stored identifier; 0 for a null pointer. */
OV_API ov_thread_t ov_thread_id(const ov_thread_t *thread) OV_NOEXCEPT;
/* Ends the calling thread at once; status reaches nobody. */
OV_API void ov_thread_exit(int32_t status) OV_NOEXCEPT __attribute__((noreturn));
/* @return 1 while the thread can still be signalled, else 0 (also for a null
 * or joined handle). */
OV_API int ov_thread_is_alive(const ov_thread_t *thread) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
