/* ovthread.h - starting, joining and identifying threads; sleeping. */
#ifndef OVPLATFORM_OVTHREAD_H
#define OVPLATFORM_OVTHREAD_H

#include <pthread.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/** @addtogroup threads
 * @{ */

/** A thread's identifier (pthread_t). */
typedef pthread_t ov_thread_t;
/** The body of a started thread: called with the argument given to
 * ov_thread_spawn(); its result is discarded by ov_thread_join(). */
typedef void *(*ov_thread_start_t)(void *arg);

/** Every thread started here gets at least this much stack. */
#define OV_THREAD_MIN_STACK 262144u

OV_EXTERN_C_BEGIN

/** Starts start(arg). With a thread pointer the thread is joinable and its
 * identifier stored; with null it is detached. The caller keeps arg alive
 * while the thread may use it.
 * @param thread  receives the identifier; null for a detached thread
 * @param start   the thread's body
 * @param arg     its argument
 * @return 0 or the pthread error (EAGAIN, ...); EINVAL for a null start. */
OV_API int32_t ov_thread_spawn(ov_thread_t *thread, ov_thread_start_t start, void *arg) OV_NOEXCEPT;
/** Waits for the thread to end and discards its result. A joined handle is
 * cleared to 0, so that it no longer names the ended thread.
 * @param thread  the handle ov_thread_spawn() filled
 * @return the pthread_join result; ESRCH for a null or cleared handle. */
OV_API int32_t ov_thread_join(ov_thread_t *thread) OV_NOEXCEPT;
/** One usleep of ms milliseconds (0 to 4294967). A caught signal ends it
 * early.
 * @param ms  milliseconds
 * @return 0, or errno (EINTR when a signal handler ran). */
OV_API int32_t ov_thread_sleep_ms(uint32_t ms) OV_NOEXCEPT;
/** The calling thread's identifier.
 * @return the identifier. */
OV_API ov_thread_t ov_thread_self(void) OV_NOEXCEPT;
/** The identifier a handle holds.
 * @param thread  the handle
 * @return the stored identifier; 0 for a null pointer. */
OV_API ov_thread_t ov_thread_id(const ov_thread_t *thread) OV_NOEXCEPT;
/** Ends the calling thread at once; status reaches nobody.
 * @param status  ignored */
OV_API void ov_thread_exit(int32_t status) OV_NOEXCEPT __attribute__((noreturn));
/** Whether the thread can still be signalled.
 * @param thread  the handle
 * @return 1 while the thread can still be signalled, else 0 (also for a null
 * or joined handle). */
OV_API int ov_thread_is_alive(const ov_thread_t *thread) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
