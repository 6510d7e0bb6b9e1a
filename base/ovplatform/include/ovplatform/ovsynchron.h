/** @defgroup threads Threads and synchronisation
 * ovthread.h and ovsynchron.h: threads; mutexes, condition records,
 * semaphores and read-write locks.
 *
 * Threads are started with at least OV_THREAD_MIN_STACK of stack, joined,
 * and identified; ov_thread_sleep_ms() sleeps.
 *
 * Mutexes are error-checking: a thread that locks a mutex it already holds
 * is a programming error, logged with a backtrace and fatal unless a
 * reacquire hook is installed. A condition record binds a condition variable
 * to a caller's mutex; its waits take relative timeouts measured on the
 * monotonic clock, so a change of the wall clock never changes their length.
 * Counting semaphores are process-private; the system-wide semaphore is a
 * System V semaphore named by a file path, used as a lock between processes.
 *
 * Threads: these are the primitives the rest of the library builds its
 * thread safety on; every operation may be called from any thread. The
 * reacquire hook is a plain pointer: install it once, before other threads
 * use mutexes. Condition waits release the record's mutex while waiting and
 * hold it again when they return, whatever the result. The system-wide
 * semaphores synchronise processes, not threads: two threads of one process
 * that both lock one block each other like two processes. A started thread
 * shares its argument with the caller, who keeps it alive while the thread
 * may use it.
 * @{
 */
#ifndef OVPLATFORM_OVSYNCHRON_H
#define OVPLATFORM_OVSYNCHRON_H

#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>
#include <ovplatform/ovtime.h>

/** A mutex (pthread_mutex_t), error-checking unless made recursive. */
typedef pthread_mutex_t ov_mutex_t;

/** A condition variable bound to a caller's mutex, timed on the monotonic
 * clock. */
typedef struct ov_cond {
    ov_mutex_t *mutex;       /**< the caller's mutex the waits release */
    pthread_cond_t cond;     /**< the condition variable */
    pthread_condattr_t attr; /**< its attributes (the monotonic clock) */
} ov_cond_t;

/** A process-private counting semaphore. */
typedef sem_t ov_sem_t;

/** A read-write lock with default attributes; only ov_rwlock_create makes
 * one, so its layout stays private. */
typedef struct ov_rwlock ov_rwlock_t;

/** Called by ov_mutex_acquire(), instead of aborting, when the calling thread
 * already holds the mutex. */
typedef void (*ov_mutex_reacquire_hook_t)(void);

OV_EXTERN_C_BEGIN

/** Initialises an error-checking mutex in place.
 * @param mutex  the mutex
 * @return 0. */
OV_API int32_t ov_mutex_init(ov_mutex_t *mutex) OV_NOEXCEPT;
/** Initialises a recursive mutex in place: its owner may lock it again and
 * unlocks it as often.
 * @param mutex  the mutex
 * @return 0. */
OV_API int32_t ov_mutex_init_recursive(ov_mutex_t *mutex) OV_NOEXCEPT;
/** Destroys a mutex made in place.
 * @param mutex  the mutex
 * @return 0 or the pthread error (logged at level 3). */
OV_API int32_t ov_mutex_destroy(ov_mutex_t *mutex) OV_NOEXCEPT;
/** Allocates and initialises an error-checking mutex and stores it in *out.
 * @param out  receives the mutex
 * @return 0; ENOMEM (out untouched). */
OV_API int32_t ov_mutex_create(ov_mutex_t **out) OV_NOEXCEPT;
/** Destroys and frees *mutex and sets *mutex to null; nothing for null.
 * @param mutex  the slot holding a mutex of ov_mutex_create() */
OV_API void ov_mutex_free(ov_mutex_t **mutex) OV_NOEXCEPT;
/** Blocking lock. Re-acquisition by the owning thread is a programming error:
 * without a reacquire hook it is logged with a backtrace and aborts. The
 * successful path is inlined (see the end of this header).
 * @param mutex  the mutex
 * @return 0 or the pthread error. */
OV_API int32_t ov_mutex_acquire(ov_mutex_t *mutex) OV_NOEXCEPT;
/** Non-blocking lock; never aborts.
 * @param mutex  the mutex
 * @return 0 when taken; EBUSY when it is held, also when the caller itself
 * holds it (the system's try does not tell the owner from another thread);
 * EINVAL for a mutex not initialised (logged at level 3); or another pthread
 * error (logged). */
OV_API int32_t ov_mutex_acquire_nb(ov_mutex_t *mutex) OV_NOEXCEPT;
/** Unlocks a mutex. The successful path is inlined.
 * @param mutex  the mutex
 * @return 0 or the pthread error (EPERM when not the owner; logged at level 3). */
OV_API int32_t ov_mutex_release(ov_mutex_t *mutex) OV_NOEXCEPT;
/** Installs hook (null removes it) for every mutex of the process. Install it
 * once, before other threads use mutexes.
 * @param hook  the new hook, or null
 * @return the previous hook. */
OV_API ov_mutex_reacquire_hook_t ov_mutex_set_reacquire_hook(ov_mutex_reacquire_hook_t hook)
    OV_NOEXCEPT;

/** @{ */
/** The failure paths of ov_mutex_acquire() and ov_mutex_release(), given the
 * non-zero pthread result rc: they log, call the reacquire hook or abort
 * exactly as those operations describe. The inline forms below call them;
 * other code has no reason to.
 * @param rc  the pthread result
 * @return rc (ov_mutex_acquire_failed() does not return when it aborts). */
OV_API int32_t ov_mutex_acquire_failed(int32_t rc) OV_NOEXCEPT;
OV_API int32_t ov_mutex_release_failed(int32_t rc) OV_NOEXCEPT;
/** @} */

/** Binds the record to mutex; its timed waits run on CLOCK_MONOTONIC.
 * @param cond   the record
 * @param mutex  the caller's mutex
 * @return 0 or the pthread error. */
OV_API int32_t ov_cond_init(ov_cond_t *cond, ov_mutex_t *mutex) OV_NOEXCEPT;
/** Destroys the record's condition and attributes; the mutex stays.
 * @param cond  the record
 * @return 0, or the first pthread error of the condition and its attributes. */
OV_API int32_t ov_cond_destroy(ov_cond_t *cond) OV_NOEXCEPT;
/** Waits without limit; the caller holds the record's mutex, which is released
 * during the wait and held again on return. A return without a signal is
 * possible: re-check the condition.
 * @param cond  the record
 * @return the pthread result. */
OV_API int32_t ov_cond_wait(ov_cond_t *cond) OV_NOEXCEPT;
/** Waits at most timeout (relative; null waits without limit), as
 * ov_cond_wait().
 * @param cond     the record
 * @param timeout  the longest wait, or null
 * @return 0 when woken, ETIMEDOUT when the deadline passed. */
OV_API int32_t ov_cond_timedwait(ov_cond_t *cond, const ov_timeval_t *timeout) OV_NOEXCEPT;
/** Waits at most ms milliseconds; a negative ms waits without limit.
 * @param cond  the record
 * @param ms    the longest wait in milliseconds
 * @return 0 when woken, ETIMEDOUT when the time passed. */
OV_API int32_t ov_cond_wait_ms(ov_cond_t *cond, int32_t ms) OV_NOEXCEPT;
/** Wakes one waiter.
 * @param cond  the record
 * @return the pthread result. */
OV_API int32_t ov_cond_signal(ov_cond_t *cond) OV_NOEXCEPT;
/** Wakes every waiter.
 * @param cond  the record
 * @return the pthread result. */
OV_API int32_t ov_cond_broadcast(ov_cond_t *cond) OV_NOEXCEPT;

/** Initialises a process-private semaphore with value.
 * @param sem    the semaphore
 * @param value  its initial count
 * @return 0 or errno (logged at level 1). */
OV_API int32_t ov_sem_init(ov_sem_t *sem, uint32_t value) OV_NOEXCEPT;
/** Destroys the semaphore and fills its object with zero bytes.
 * @param sem  the semaphore
 * @return 0 or errno (logged at level 1; the object is then left as it is). */
OV_API int32_t ov_sem_destroy(ov_sem_t *sem) OV_NOEXCEPT;
/** Allocates and initialises a semaphore and stores it in *out.
 * @param out    receives the semaphore
 * @param value  its initial count
 * @return 0; ENOMEM; or the init error (out untouched on failure). */
OV_API int32_t ov_sem_create(ov_sem_t **out, uint32_t value) OV_NOEXCEPT;
/** Destroys and frees *sem and sets *sem to null; nothing for null.
 * @param sem  the slot holding a semaphore of ov_sem_create() */
OV_API void ov_sem_free(ov_sem_t **sem) OV_NOEXCEPT;
/** Increments the semaphore.
 * @param sem  the semaphore
 * @return 0 or errno (logged at level 1). */
OV_API int32_t ov_sem_post(ov_sem_t *sem) OV_NOEXCEPT;
/** Blocking decrement; an interrupted wait is resumed.
 * @param sem  the semaphore
 * @return 0 or errno (logged at level 1). */
OV_API int32_t ov_sem_wait(ov_sem_t *sem) OV_NOEXCEPT;
/** Decrement, polling every 500 ms for at most timeout_ms / 500 polls (a
 * timeout under 500 ms tries once). A signal during a poll ends it.
 * @param sem         the semaphore
 * @param timeout_ms  the longest wait in milliseconds
 * @return 0; EAGAIN when the semaphore stayed at zero; or errno (logged). */
OV_API int32_t ov_sem_trywait(ov_sem_t *sem, uint32_t timeout_ms) OV_NOEXCEPT;
/** Takes count decrements within one overall timeout, measured on the
 * monotonic clock; decrements taken before a failure are not given back.
 * @param sem         the semaphore
 * @param count       decrements to take
 * @param timeout_ms  the longest wait in milliseconds for all of them
 * @return 0; EAGAIN when the time ran out; or the failing call's error. */
OV_API int32_t ov_sem_ntrywait(ov_sem_t *sem, uint32_t count, uint32_t timeout_ms) OV_NOEXCEPT;

/** Allocates a read-write lock and stores it in *out.
 * @param out  receives the lock
 * @return 0; ENOMEM; or the init error (out untouched on failure). */
OV_API int32_t ov_rwlock_create(ov_rwlock_t **out) OV_NOEXCEPT;
/** Destroys and frees *lock and sets *lock to null; nothing for null.
 * @param lock  the slot holding a lock of ov_rwlock_create() */
OV_API void ov_rwlock_free(ov_rwlock_t **lock) OV_NOEXCEPT;
/** Takes the lock for reading, blocking while a writer holds it.
 * @param lock  the lock
 * @return the pthread result. */
OV_API int32_t ov_rwlock_rdlock(ov_rwlock_t *lock) OV_NOEXCEPT;
/** Takes the lock for writing, blocking while anyone holds it.
 * @param lock  the lock
 * @return the pthread result. */
OV_API int32_t ov_rwlock_wrlock(ov_rwlock_t *lock) OV_NOEXCEPT;
/** Gives up a read hold.
 * @param lock  the lock
 * @return the pthread result. */
OV_API int32_t ov_rwlock_rdunlock(ov_rwlock_t *lock) OV_NOEXCEPT;
/** Gives up the write hold.
 * @param lock  the lock
 * @return the pthread result. */
OV_API int32_t ov_rwlock_wrunlock(ov_rwlock_t *lock) OV_NOEXCEPT;

/** Opens the system-wide semaphore named by path. The process that creates it
 * (readable and writable by everybody) sets it to 1 (free); a process that
 * finds it existing takes it as it is, held or free, after waiting up to
 * about a second for its creator to set it up. A path that does not exist
 * still names a semaphore, keyed by the path's bytes.
 * @param handle  receives the semaphore's id
 * @param path    the path that names it
 * @return 0; EINVAL for a null handle or path, or for a missing path whose
 * bytes fold to key 0 (the empty path among them), which could not be shared;
 * ETIMEDOUT when the semaphore exists but was never set up by its creator
 * (which may have died first): the handle then holds it, so that the caller
 * may remove it; or errno (0 is left in the handle). */
OV_API int32_t ov_ipc_sem_open(int32_t *handle, const char *path) OV_NOEXCEPT;
/** Does nothing: the semaphore stays in the system until removed.
 * @param handle  the semaphore
 * @return 0. */
OV_API int32_t ov_ipc_sem_close(int32_t handle) OV_NOEXCEPT;
/** Removes the semaphore from the system.
 * @param handle  the semaphore
 * @return 0 or errno. */
OV_API int32_t ov_ipc_sem_remove(int32_t handle) OV_NOEXCEPT;
/** Blocks while another holder has it. The kernel gives it back when a
 * holder ends without unlocking.
 * @param handle  the semaphore
 * @return 0 or errno (EINTR, not retried). */
OV_API int32_t ov_ipc_sem_lock(int32_t handle) OV_NOEXCEPT;
/** Takes the semaphore if it is free.
 * @param handle  the semaphore
 * @return 0 when taken; EAGAIN when held; or errno. */
OV_API int32_t ov_ipc_sem_trylock(int32_t handle) OV_NOEXCEPT;
/** Gives the semaphore back.
 * @param handle  the semaphore
 * @return 0 or errno. */
OV_API int32_t ov_ipc_sem_unlock(int32_t handle) OV_NOEXCEPT;

/* A lock and an unlock cost little more than their atomic operations, so a
 * call into the library around each would be a noticeable share of them.
 * The successful path (the system call and one comparison) is therefore
 * inlined where the operations are called; only failures enter the library.
 * The exported functions of the same names remain, for callers that take
 * their address or define OV_SYNCHRON_NO_INLINE. */
#ifndef OV_SYNCHRON_NO_INLINE
static inline int32_t ov_mutex_acquire_inline(ov_mutex_t *mutex) OV_NOEXCEPT {
    int rc = pthread_mutex_lock(mutex);
    return rc == 0 ? 0 : ov_mutex_acquire_failed(rc);
}
static inline int32_t ov_mutex_release_inline(ov_mutex_t *mutex) OV_NOEXCEPT {
    int rc = pthread_mutex_unlock(mutex);
    return rc == 0 ? 0 : ov_mutex_release_failed(rc);
}
#define ov_mutex_acquire(mutex) ov_mutex_acquire_inline(mutex)
#define ov_mutex_release(mutex) ov_mutex_release_inline(mutex)
#endif

OV_EXTERN_C_END

/** @} */

#endif
