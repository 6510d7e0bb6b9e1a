// ovsynchron.cpp - mutexes, condition records, semaphores and read-write locks.
//
// Thin wrappers over the POSIX thread primitives that every other module
// builds its thread safety on. They add three things to the system calls: a
// fixed mutex type (error-checking, so that a thread locking a mutex it
// already holds is caught instead of deadlocking) with a fail-fast reaction to
// that programming error; condition waits with relative timeouts measured on
// the monotonic clock; and one log line for each unexpected failure. Beside
// them: process-private counting semaphores with a polling timed take,
// read-write locks, and a System V semaphore named by a file path that serves
// as a lock between processes.
//
// The successful lock and unlock are inlined at the call site by the public
// header; this file defines the out-of-line operations and their failure
// paths, so it asks the header for the plain declarations.
//
// Divisions: mutexes; condition records; counting semaphores; read-write
// locks; system-wide semaphores.
#define OV_SYNCHRON_NO_INLINE
#include <ovplatform/ovbtrace.h>
#include <ovplatform/ovsynchron.h>

#include <pthread.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/select.h>
#include <sys/sem.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define OV_LOG_SOURCE "base/ovplatform/src/ovsynchron"
#include "internal/log.h"

// The read-write lock behind the opaque public type.
struct ov_rwlock {
    pthread_rwlock_t lock;
};

namespace {

constexpr uint32_t kSemPollMs = 500;

// Written once at start-up and read by every thread that trips over a
// re-acquisition; an atomic keeps that read well defined.
std::atomic<ov_mutex_reacquire_hook_t> g_reacquire_hook{nullptr};

// The end of a record that a create call allocated: destroys the primitive
// in it, frees it and clears the caller's pointer, so that a second free of
// the same pointer does nothing. A null pointer is ignored.
template <class Record, class Destroy>
void free_record(Record **record, Destroy destroy) noexcept {
    if (record == nullptr || *record == nullptr) return;
    (void)destroy(*record);
    std::free(*record);
    *record = nullptr;
}

int32_t mutex_init_typed(ov_mutex_t *mutex, int type) {
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

// Derives the System V key of a path that ftok cannot use (it does not
// exist): the path's bytes are folded into the four bytes of the key, so that
// every process naming the same path still meets at the same semaphore.
key_t ipc_key_from_bytes(const char *path) {
    uint32_t key = 0;
    for (size_t i = 0; path[i] != '\0'; ++i)
        key ^= static_cast<uint32_t>(static_cast<unsigned char>(path[i])) << (8 * (i % 4));
    return static_cast<key_t>(key);
}

int32_t ipc_sem_op(int32_t handle, short delta, short flags) {
    struct sembuf op {};
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = flags;
    if (semop(handle, &op, 1) != 0) return errno;
    return 0;
}

// The permission bits of a new set: every user may take and give it.
constexpr int kIpcCreateMode = 0777;
// What an opener of an existing set asks for: reading and changing its
// value. Asking for the creation bits instead would also ask for execute
// permission, meaningless for a semaphore, and refuse sets made without it.
constexpr int kIpcUseMode = 0600;
// How long an opener waits for the creator of a set to initialise it, and
// how often it looks.
constexpr int kIpcInitWaitPolls = 1000;
constexpr useconds_t kIpcInitPollUs = 1000;
// A set that vanishes between the failed exclusive creation and the open of
// the existing one is looked for again, a few times at most.
constexpr int kIpcOpenAttempts = 4;

// The fourth argument of semctl(2); the system headers leave its declaration
// to the program.
union IpcSemArg {
    int value;
    struct semid_ds *status;
    unsigned short *values;
};

// Whether the creator of the set has initialised it. A new set has value 0
// and a last-operation time of 0; its creator's first semop sets both, so a
// time of 0 with a value of 0 marks a set whose value cannot be trusted yet.
// Earlier builds set the value with SETVAL, which leaves the time at 0: such
// a set has value 1 until someone first takes it, which sets the time.
int32_t ipc_sem_initialised(int id, bool *initialised) {
    struct semid_ds status {};
    IpcSemArg arg{};
    arg.status = &status;
    if (semctl(id, 0, IPC_STAT, arg) != 0) return errno;
    if (status.sem_otime != 0) {
        *initialised = true;
        return 0;
    }
    const int value = semctl(id, 0, GETVAL);
    if (value < 0) return errno;
    *initialised = value > 0;
    return 0;
}

// Creates the set of key and frees its semaphore, or opens the existing set
// as it is once its creator has initialised it. Freeing a set that another
// process created would free a semaphore its holder still relies on.
int32_t ipc_sem_get(key_t key, int *id) {
    int32_t rc = ENOENT;
    for (int attempt = 0; attempt < kIpcOpenAttempts; ++attempt) {
        *id = semget(key, 1, IPC_CREAT | IPC_EXCL | kIpcCreateMode);
        if (*id != -1) {
            // A semop rather than SETVAL: it also sets the time of the last
            // operation, which tells waiting openers that the value is set.
            // Without SEM_UNDO the value stays when the creator ends.
            rc = ipc_sem_op(*id, 1, 0);
            if (rc != 0) {
                // Left as it is, the set would keep every later opener
                // waiting for an initialisation that never comes.
                semctl(*id, 0, IPC_RMID);
                *id = -1;
            }
            return rc;
        }
        if (errno != EEXIST) return errno;
        *id = semget(key, 1, kIpcUseMode);
        if (*id == -1) {
            rc = errno;
            // Removed since the exclusive creation failed: create it again.
            if (rc == ENOENT) continue;
            return rc;
        }
        bool initialised = false;
        for (int poll = 0; poll <= kIpcInitWaitPolls; ++poll) {
            rc = ipc_sem_initialised(*id, &initialised);
            if (rc != 0 || initialised) break;
            if (poll < kIpcInitWaitPolls) usleep(kIpcInitPollUs);
        }
        // Removed while this opener waited (its creator gave up on it).
        if (rc == EINVAL || rc == EIDRM) continue;
        if (rc != 0) return rc;
        return initialised ? 0 : ETIMEDOUT;
    }
    *id = -1;
    return rc;
}

}  // namespace

extern "C" {

int32_t ov_mutex_init(ov_mutex_t *mutex) noexcept {
    return mutex_init_typed(mutex, PTHREAD_MUTEX_ERRORCHECK);
}

int32_t ov_mutex_init_recursive(ov_mutex_t *mutex) noexcept {
    return mutex_init_typed(mutex, PTHREAD_MUTEX_RECURSIVE);
}

int32_t ov_mutex_destroy(ov_mutex_t *mutex) noexcept {
    const int rc = pthread_mutex_destroy(mutex);
    if (rc != 0) OV_LOG(kLogInfo, "ov_mutex_destroy failed. err=%d", rc);
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
    free_record(mutex, ov_mutex_destroy);
}

int32_t ov_mutex_acquire(ov_mutex_t *mutex) noexcept {
    const int rc = pthread_mutex_lock(mutex);
    // Every lock of a correct program takes this path; testing it first keeps
    // the wrapper at one comparison over the system call.
    if (rc == 0) [[likely]]
        return 0;
    return ov_mutex_acquire_failed(rc);
}

int32_t ov_mutex_acquire_failed(int32_t rc) noexcept {
    switch (rc) {
        case EINVAL:
            OV_LOG(kLogInfo, "ov_mutex_acquire: err=%d", rc);
            ov_log_backtrace();
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
            OV_LOG(kLogError,
                   "ov_mutex_acquire: attempt to reacquire non-recursive mutex.  Aborting.");
            ov_log_backtrace();
            std::abort();
        }
        default:
            OV_LOG(kLogInfo, "ov_mutex_acquire: unknown err=%d:", rc);
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
            OV_LOG(kLogInfo, "ov_mutex_acquire_nb: err=%d", rc);
            return rc;
        default:
            OV_LOG(kLogInfo, "ov_mutex_acquire_nb: unknown err=%d: ", rc);
            return rc;
    }
}

int32_t ov_mutex_release(ov_mutex_t *mutex) noexcept {
    const int rc = pthread_mutex_unlock(mutex);
    if (rc == 0) [[likely]]
        return 0;
    return ov_mutex_release_failed(rc);
}

int32_t ov_mutex_release_failed(int32_t rc) noexcept {
    OV_LOG(kLogInfo, "ov_mutex_release failed. err=%d", rc);
    return rc;
}

ov_mutex_reacquire_hook_t ov_mutex_set_reacquire_hook(ov_mutex_reacquire_hook_t hook) noexcept {
    return g_reacquire_hook.exchange(hook, std::memory_order_acq_rel);
}

int32_t ov_cond_init(ov_cond_t *cond, ov_mutex_t *mutex) noexcept {
    cond->mutex = mutex;
    int rc = pthread_condattr_init(&cond->attr);
    if (rc != 0) {
        OV_LOG(kLogInfo, "ov_cond_init - condattr_init failed. err=%d", rc);
        return rc;
    }
    // Deadlines are computed from the monotonic clock, so the condition must
    // measure them on the same clock; the default (the wall clock) would let
    // a clock change stretch or cut every wait.
    rc = pthread_condattr_setclock(&cond->attr, CLOCK_MONOTONIC);
    if (rc != 0) {
        OV_LOG(kLogInfo, "ov_cond_init - setclock failed. err=%d", rc);
        pthread_condattr_destroy(&cond->attr);
        return rc;
    }
    rc = pthread_cond_init(&cond->cond, &cond->attr);
    if (rc != 0) {
        OV_LOG(kLogInfo, "ov_cond_init failed. err=%d", rc);
        pthread_condattr_destroy(&cond->attr);
        return rc;
    }
    return 0;
}

int32_t ov_cond_destroy(ov_cond_t *cond) noexcept {
    const int cond_rc = pthread_cond_destroy(&cond->cond);
    if (cond_rc != 0) OV_LOG(kLogInfo, "ov_cond_destroy failed. err=%d", cond_rc);
    const int attr_rc = pthread_condattr_destroy(&cond->attr);
    if (attr_rc != 0) OV_LOG(kLogInfo, "ov_cond_destroy on attr failed. err=%d", attr_rc);
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

int32_t ov_sem_init(ov_sem_t *sem, uint32_t value) noexcept {
    if (sem_init(sem, 0, value) != 0) {
        const int err = errno;
        OV_LOG(kLogError, "ov_sem_init failed, err=%d", err);
        return err;
    }
    return 0;
}

int32_t ov_sem_destroy(ov_sem_t *sem) noexcept {
    if (sem_destroy(sem) != 0) {
        const int err = errno;
        OV_LOG(kLogError, "ov_sem_destroy failed, err=%d", err);
        return err;
    }
    // A zeroed object cannot be mistaken for a live semaphore by a later
    // inspection of the record that held it.
    std::memset(sem, 0, sizeof *sem);
    return 0;
}

int32_t ov_sem_create(ov_sem_t **out, uint32_t value) noexcept {
    auto *sem = static_cast<ov_sem_t *>(std::calloc(1, sizeof(ov_sem_t)));
    if (sem == nullptr) return ENOMEM;
    const int32_t rc = ov_sem_init(sem, value);
    if (rc != 0) {
        std::free(sem);
        return rc;
    }
    *out = sem;
    return 0;
}

void ov_sem_free(ov_sem_t **sem) noexcept {
    free_record(sem, ov_sem_destroy);
}

int32_t ov_sem_post(ov_sem_t *sem) noexcept {
    if (sem_post(sem) != 0) {
        const int err = errno;
        OV_LOG(kLogError, "ov_sem_post failed, err=%d", err);
        return err;
    }
    return 0;
}

int32_t ov_sem_wait(ov_sem_t *sem) noexcept {
    for (;;) {
        if (sem_wait(sem) == 0) return 0;
        const int err = errno;
        // A blocking take has no deadline to miss, so a signal only restarts it.
        if (err == EINTR) continue;
        OV_LOG(kLogError, "ov_sem_wait failed, err=%d", err);
        return err;
    }
}

int32_t ov_sem_trywait(ov_sem_t *sem, uint32_t timeout_ms) noexcept {
    uint32_t polls = timeout_ms / kSemPollMs;
    for (;;) {
        if (sem_trywait(sem) == 0) return 0;
        const int err = errno;
        if (err == EINTR) continue;
        if (err != EAGAIN) {
            OV_LOG(kLogInfo, "ov_sem_trywait failed, err=%d", err);
            return err;
        }
        if (polls == 0) return EAGAIN;
        --polls;
        // The pause is a plain select so that a signal ends the whole take
        // early instead of only this poll.
        struct timeval pause {
            0, kSemPollMs * 1000
        };
        if (select(0, nullptr, nullptr, nullptr, &pause) != 0) return EAGAIN;
    }
}

int32_t ov_sem_ntrywait(ov_sem_t *sem, uint32_t count, uint32_t timeout_ms) noexcept {
    ov_timeval_t start;
    int32_t rc = ov_time_monotonic_now(&start);
    if (rc != 0) {
        OV_LOG(kLogError, "ov_sem_ntrywait get current time failed, err%d", rc);
        return rc;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t elapsed_usec = 0;
        rc = get_usec_since(&start, &elapsed_usec);
        if (rc != 0) {
            OV_LOG(kLogError, "ov_sem_ntrywait get time diff failed, err%d", rc);
            return rc;
        }
        const uint64_t elapsed_ms = elapsed_usec / 1000;
        if (elapsed_ms >= timeout_ms) return EAGAIN;
        rc = ov_sem_trywait(sem, timeout_ms - static_cast<uint32_t>(elapsed_ms));
        if (rc != 0) return rc;
    }
    return 0;
}

int32_t ov_rwlock_create(ov_rwlock_t **out) noexcept {
    auto *lock = static_cast<ov_rwlock_t *>(std::calloc(1, sizeof(ov_rwlock_t)));
    if (lock == nullptr) return ENOMEM;
    // A lock whose initialisation failed was never a lock, so it is only
    // freed: destroying it would be undefined.
    const int rc = pthread_rwlock_init(&lock->lock, nullptr);
    if (rc != 0) {
        std::free(lock);
        return rc;
    }
    *out = lock;
    return 0;
}

void ov_rwlock_free(ov_rwlock_t **lock) noexcept {
    free_record(lock, [](ov_rwlock_t *record) { return pthread_rwlock_destroy(&record->lock); });
}

int32_t ov_rwlock_rdlock(ov_rwlock_t *lock) noexcept {
    return pthread_rwlock_rdlock(&lock->lock);
}

int32_t ov_rwlock_wrlock(ov_rwlock_t *lock) noexcept {
    return pthread_rwlock_wrlock(&lock->lock);
}

int32_t ov_rwlock_rdunlock(ov_rwlock_t *lock) noexcept {
    return pthread_rwlock_unlock(&lock->lock);
}

int32_t ov_rwlock_wrunlock(ov_rwlock_t *lock) noexcept {
    return pthread_rwlock_unlock(&lock->lock);
}

int32_t ov_ipc_sem_open(int32_t *handle, const char *path) noexcept {
    if (handle == nullptr || path == nullptr) return EINVAL;
    key_t key = ftok(path, 1);
    if (key == -1) key = ipc_key_from_bytes(path);
    // A key of 0 is IPC_PRIVATE: every open would get a new semaphore of its
    // own, and no two processes would ever exclude each other.
    if (key == IPC_PRIVATE) return EINVAL;
    int id = -1;
    const int32_t rc = ipc_sem_get(key, &id);
    // A set that was never initialised is refused, but its id is handed
    // out: its creator may have died before initialising it, and only a
    // caller who removes it lets the path be used again.
    *handle = (rc == 0 || rc == ETIMEDOUT) ? id : 0;
    return rc;
}

int32_t ov_ipc_sem_close(int32_t /*handle*/) noexcept {
    return 0;
}

int32_t ov_ipc_sem_remove(int32_t handle) noexcept {
    if (semctl(handle, 0, IPC_RMID) != 0) return errno;
    return 0;
}

// Every operation carries SEM_UNDO, so that the kernel gives the semaphore
// back when a holder ends without unlocking it.
int32_t ov_ipc_sem_lock(int32_t handle) noexcept {
    return ipc_sem_op(handle, -1, SEM_UNDO);
}

int32_t ov_ipc_sem_trylock(int32_t handle) noexcept {
    return ipc_sem_op(handle, -1, SEM_UNDO | IPC_NOWAIT);
}

int32_t ov_ipc_sem_unlock(int32_t handle) noexcept {
    return ipc_sem_op(handle, 1, SEM_UNDO);
}

}  // extern "C"
