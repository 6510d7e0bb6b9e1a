// ovsynchron.cpp - mutexes and condition records.
//
// Thin wrappers over the POSIX thread primitives that every other module
// builds its thread safety on. They add three things to the system calls: a
// fixed mutex type (error-checking, so that a thread locking a mutex it
// already holds is caught instead of deadlocking) with a fail-fast reaction to
// that programming error; condition waits with relative timeouts measured on
// the monotonic clock; and one log line for each unexpected failure. The
// counting semaphores, read-write locks and system-wide semaphores of this
// module's family are not part of this file yet.
#include <ovplatform/ovsynchron.h>

#include <execinfo.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#define OV_LOG_SOURCE "base/ovplatform/src/ovsynchron"
#include "internal/log.h"

namespace {

constexpr int kMaxFrames = 66;

// Written once at start-up and read by every thread that trips over a
// re-acquisition; an atomic keeps that read well defined.
std::atomic<ov_mutex_reacquire_hook_t> g_reacquire_hook{nullptr};

// Logs the calling thread's return addresses at level 1, one frame per line.
// The frame array lives on the stack, so nothing is allocated on the way to
// an abort. Names are not resolved here: the addresses are enough to
// symbolise the report offline against the same binary.
void _log_call_stack() {
    void *frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    if (count <= 0) {
        OV_LOG(1, "Backtrace unavailable.");
        return;
    }
    for (int i = 0; i < count; ++i)
        OV_LOG(1, "%2d:0x%.*lx", i, 16, reinterpret_cast<unsigned long>(frames[i]));
}

int32_t _mutex_init_typed(ov_mutex_t *mutex, int type) {
    // A refusal of the system here cannot be acted upon by any caller (the
    // mutex lives in a record being set up), so it is not reported; a later
    // lock of such a mutex reports EINVAL.
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return 0;
    pthread_mutexattr_settype(&attr, type);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return 0;
}

}  // namespace

extern "C" {

int32_t ov_mutex_init(ov_mutex_t *mutex) noexcept {
    return _mutex_init_typed(mutex, PTHREAD_MUTEX_ERRORCHECK);
}

int32_t ov_mutex_init_recursive(ov_mutex_t *mutex) noexcept {
    return _mutex_init_typed(mutex, PTHREAD_MUTEX_RECURSIVE);
}

int32_t ov_mutex_destroy(ov_mutex_t *mutex) noexcept {
    const int rc = pthread_mutex_destroy(mutex);
    if (rc != 0) OV_LOG(3, "ov_mutex_destroy failed. err=%d", rc);
    return rc;
}

int32_t ov_mutex_create(ov_mutex_t **out) noexcept {
    auto *mutex = static_cast<ov_mutex_t *>(std::calloc(1, sizeof(ov_mutex_t)));
    if (mutex == nullptr) return ENOMEM;
    ov_mutex_init(mutex);
    *out = mutex;
    return 0;
}

void ov_mutex_free(ov_mutex_t **mutex) noexcept {
    if (mutex == nullptr || *mutex == nullptr) return;
    ov_mutex_destroy(*mutex);
    std::free(*mutex);
    *mutex = nullptr;
}

int32_t ov_mutex_acquire(ov_mutex_t *mutex) noexcept {
    const int rc = pthread_mutex_lock(mutex);
    switch (rc) {
        case 0:
            return 0;
        case EINVAL:
            OV_LOG(3, "ov_mutex_acquire: err=%d", rc);
            _log_call_stack();
            return rc;
        case EDEADLK: {
            // Locking a mutex twice from one thread would deadlock a normal
            // mutex silently; continuing here would break the caller's
            // assumption that it now owns a critical section of its own.
            const ov_mutex_reacquire_hook_t hook = g_reacquire_hook.load(std::memory_order_acquire);
            if (hook != nullptr) {
                hook();
                return rc;
            }
            OV_LOG(1, "ov_mutex_acquire: attempt to reacquire non-recursive mutex.  Aborting.");
            _log_call_stack();
            std::abort();
        }
        default:
            OV_LOG(3, "ov_mutex_acquire: unknown err=%d:", rc);
            return rc;
    }
}

int32_t ov_mutex_acquire_nb(ov_mutex_t *mutex) noexcept {
    const int rc = pthread_mutex_trylock(mutex);
    switch (rc) {
        case 0:
        case EBUSY:
            // Finding the mutex held is the expected answer of a try, not a
            // failure, so it stays out of the log.
            return rc;
        case EINVAL:
        case EDEADLK:
            OV_LOG(3, "ov_mutex_acquire_nb: err=%d", rc);
            return rc;
        default:
            OV_LOG(3, "ov_mutex_acquire_nb: unknown err=%d: ", rc);
            return rc;
    }
}

int32_t ov_mutex_release(ov_mutex_t *mutex) noexcept {
    const int rc = pthread_mutex_unlock(mutex);
    if (rc != 0) OV_LOG(3, "ov_mutex_release failed. err=%d", rc);
    return rc;
}

ov_mutex_reacquire_hook_t ov_mutex_set_reacquire_hook(ov_mutex_reacquire_hook_t hook) noexcept {
    return g_reacquire_hook.exchange(hook, std::memory_order_acq_rel);
}

int32_t ov_cond_init(ov_cond_t *cond, ov_mutex_t *mutex) noexcept {
    cond->mutex = mutex;
    int rc = pthread_condattr_init(&cond->attr);
    if (rc != 0) {
        OV_LOG(3, "ov_cond_init - condattr_init failed. err=%d", rc);
        return rc;
    }
    // Deadlines are computed from the monotonic clock, so the condition must
    // measure them on the same clock; the default (the wall clock) would let
    // a clock change stretch or cut every wait.
    rc = pthread_condattr_setclock(&cond->attr, CLOCK_MONOTONIC);
    if (rc != 0) {
        OV_LOG(3, "ov_cond_init - setclock failed. err=%d", rc);
        pthread_condattr_destroy(&cond->attr);
        return rc;
    }
    rc = pthread_cond_init(&cond->cond, &cond->attr);
    if (rc != 0) {
        OV_LOG(3, "ov_cond_init failed. err=%d", rc);
        pthread_condattr_destroy(&cond->attr);
        return rc;
    }
    return 0;
}

int32_t ov_cond_destroy(ov_cond_t *cond) noexcept {
    const int cond_rc = pthread_cond_destroy(&cond->cond);
    if (cond_rc != 0) OV_LOG(3, "ov_cond_destroy failed. err=%d", cond_rc);
    const int attr_rc = pthread_condattr_destroy(&cond->attr);
    if (attr_rc != 0) OV_LOG(3, "ov_cond_destroy on attr failed. err=%d", attr_rc);
    return cond_rc != 0 ? cond_rc : attr_rc;
}

int32_t ov_cond_wait(ov_cond_t *cond) noexcept {
    return pthread_cond_wait(&cond->cond, cond->mutex);
}

int32_t ov_cond_timedwait(ov_cond_t *cond, const ov_timeval_t *timeout) noexcept {
    if (timeout == nullptr) return ov_cond_wait(cond);
    // A failed clock read leaves the start at zero; the wait then ends early
    // rather than never, which the caller's re-check of its condition absorbs.
    ov_timeval_t deadline{};
    ov_time_monotonic_now(&deadline);
    // The addition turns an infinite timeout into an infinite deadline, which
    // the system accepts as a wait without end.
    ov_time_add(&deadline, timeout);
    struct timespec ts;
    ts.tv_sec = deadline.tv_sec;
    // Only a minus infinite deadline can carry arbitrary microseconds; an
    // out-of-range result is handed on as invalid for the system to refuse.
    if (__builtin_mul_overflow(deadline.tv_usec, 1000, &ts.tv_nsec)) ts.tv_nsec = -1;
    return pthread_cond_timedwait(&cond->cond, cond->mutex, &ts);
}

int32_t ov_cond_wait_ms(ov_cond_t *cond, int32_t ms) noexcept {
    if (ms < 0) return ov_cond_wait(cond);
    const ov_timeval_t timeout{ms / 1000, (ms % 1000) * 1000};
    return ov_cond_timedwait(cond, &timeout);
}

int32_t ov_cond_signal(ov_cond_t *cond) noexcept {
    return pthread_cond_signal(&cond->cond);
}

int32_t ov_cond_broadcast(ov_cond_t *cond) noexcept {
    return pthread_cond_broadcast(&cond->cond);
}

}  // extern "C"
