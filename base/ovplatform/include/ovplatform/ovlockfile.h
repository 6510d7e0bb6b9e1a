/** @defgroup lockfiles Lock files
 * ovlockfile.h: advisory lock files shared by processes and hosts.
 *
 * A lock is the file NAME.lck holding one record, `pid:uuid:host\n`. A holder
 * keeps the file's modification time advancing (the keep-alive worker); a
 * file older than a contender's expiration, measured on the file system's own
 * clock, is stale and may be taken over.
 *
 * Two results of acquisition mean that another holder has the lock:
 * ELOCKED, when the lock file is there and fresh, and EEXIST, when another
 * contender created the file in the same moment. Every other failure is a
 * failure to look at the lock at all.
 *
 * Threads: acquisition and release run on the caller's thread; distinct
 * handles are independent. While the keep-alive worker runs it shares the
 * handle with the caller: acquisition must not be called on that handle,
 * and release stops and joins the worker before it touches the file. A
 * thread does not survive a fork: a program that acquires a lock and then
 * forks starts the worker in the process that goes on holding the lock.
 * ov_lockfile_inspect() and ov_lockfile_strerror() may be called from any
 * thread.
 * @{
 */
#ifndef OVPLATFORM_OVLOCKFILE_H
#define OVPLATFORM_OVLOCKFILE_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>
#include <ovplatform/ovsynchron.h>
#include <ovplatform/ovthread.h>

/** Bytes of a lock file's path, NUL included. */
#define OV_LOCKFILE_PATH_SIZE 8192
/** A record is at most 186 characters; the arrays hold it and a NUL. */
#define OV_LOCKFILE_RECORD_MAX 186
/** Bytes of a record array: OV_LOCKFILE_RECORD_MAX and the NUL. */
#define OV_LOCKFILE_RECORD_SIZE 187
/** The most characters of the host's name that a record keeps. */
#define OV_LOCKFILE_HOST_MAX 138

/** One lock, owned by the caller. Acquisition clears it first. lost and
 * stop_requested are shared with the keep-alive worker: read the flags with
 * ov_lockfile_is_locked, ov_lockfile_is_lost and
 * ov_lockfile_is_worker_running, which load them atomically. */
typedef struct ov_lockfile {
    char path[OV_LOCKFILE_PATH_SIZE]; /**< the lock file's path: the name and ".lck" */
    uint32_t stop_requested;          /**< set by release to make the worker finish */
    uint32_t worker_running;          /**< the keep-alive worker runs */
    uint32_t locked; /**< this handle created the lock file and has not deleted it */
    /** Set by the worker when the lock was taken over or its refresh kept
     * failing. */
    uint32_t lost;
    int32_t holder_pid;                    /**< the process id in the record */
    char holder_uuid[37];                  /**< the identifier in the record, as text */
    char content[OV_LOCKFILE_RECORD_SIZE]; /**< the record this handle wrote */
    /** A record read from the file that is not this handle's: the one
     * acquisition found in an existing lock file, or the new holder's after
     * a takeover. */
    char last_seen[OV_LOCKFILE_RECORD_SIZE];
    ov_thread_t worker_thread; /**< the keep-alive worker */
    ov_mutex_t worker_mutex;   /**< held by the worker except while it waits */
    ov_cond_t worker_cond;     /**< wakes the worker early */
} ov_lockfile_t;

/**
 * @file
 * @par Which codes mean that another process holds the lock
 *
 * - ELOCKED: another holder's lock file is fresh. Every call that tries for
 *   a lock gives it; ov_lockfile_acquire_wait gives it for a lock that was
 *   still busy at its deadline.
 * - EEXIST: from ov_lockfile_acquire and ov_lockfile_acquire_continuous
 *   only, when another contender created the lock file between this call's
 *   look and its own exclusive creation. The other contender holds the lock
 *   now; treat EEXIST as ELOCKED.
 * - ENOENT: from the same two calls, when the lock file went between two
 *   steps of the call (its holder released it, or a contender moved a stale
 *   one aside). Nobody may hold the lock any more, and a new try may get it;
 *   but ENOENT is also the code of a lock whose directory cannot be reached
 *   (ov_lockfile_directory_fault tells the two apart).
 *
 * ov_lockfile_acquire_wait tries again by itself after EEXIST and ENOENT,
 * so it reports a busy lock as ELOCKED only. ELOCKED from
 * ov_lockfile_release means something else: the lock file holds another
 * holder's record, so this handle has lost its lock.
 *
 * @par Threads
 *
 * Calls on distinct handles are independent and may run on any threads at
 * once; ov_lockfile_inspect, ov_lockfile_directory_fault and
 * ov_lockfile_strerror use no handle and may run anywhere at any time. One
 * handle takes one call at a time, from the thread that owns it, except for
 * the flag accessors (ov_lockfile_is_locked, ov_lockfile_is_lost,
 * ov_lockfile_is_worker_running), which any thread may call while no
 * acquisition runs on the handle. A handle whose keep-alive worker runs is
 * shared with that worker thread: it may be released, and read through the
 * accessors, but not acquired again until it has been released. No call is
 * safe inside a signal handler.
 */

OV_EXTERN_C_BEGIN

/** Acquires the lock NAME.lck, taking over a lock whose file has not changed
 * for more than expiration_seconds (measured three times, a second apart).
 * @param handle              the caller's lock; cleared first
 * @param name                the lock's name; the file is NAME.lck
 * @param expiration_seconds  age after which a lock is stale; at least 2
 * @return 0; EINVAL for a null handle or name, an empty name or an expiration
 * below 2 (handle untouched); EPATHMAX when the name's last component leaves
 * no room for the probe names beside it; ELOCKED when another holder's lock
 * is fresh; ELOCKSKEW when the lock's time lies after the file system's
 * clock; ENOBUFS for a path too long or without a parent; EEXIST when another
 * contender created the file first; EFILENOTVALID when NAME.lck (or the
 * takeover marker NAME.lck.brk) is a symbolic link, FIFO, socket or device:
 * such a file is never followed nor read; or the failing call's errno. */
OV_API int32_t ov_lockfile_acquire(ov_lockfile_t *handle, const char *name,
                                   int32_t expiration_seconds) OV_NOEXCEPT;

/** Stops the keep-alive worker if it runs, then deletes the lock file if it
 * still holds this handle's record.
 * @param handle  the caller's lock
 * @return 0 (also when nothing is held); ELOCKED when another holder's
 * record is in the file (left alone); ENOENT when the file is gone; or
 * errno. */
OV_API int32_t ov_lockfile_release(ov_lockfile_t *handle) OV_NOEXCEPT;

/** Starts the keep-alive worker on a held lock.
 * @param handle  a held lock
 * @return 0; EINVAL for a null handle, a lock not held or a worker already
 * running; or the thread error (the lock file is then deleted). */
OV_API int32_t ov_lockfile_start_worker(ov_lockfile_t *handle) OV_NOEXCEPT;

/** ov_lockfile_acquire() then ov_lockfile_start_worker().
 * @param handle              the caller's lock; cleared first
 * @param name                the lock's name; the file is NAME.lck
 * @param expiration_seconds  age after which a lock is stale; at least 2
 * @return their code. */
OV_API int32_t ov_lockfile_acquire_continuous(ov_lockfile_t *handle, const char *name,
                                              int32_t expiration_seconds) OV_NOEXCEPT;

/** @name States of a lock as ov_lockfile_inspect() finds it
 * @{ */
#define OV_LOCKFILE_FREE 0   /**< no lock file */
#define OV_LOCKFILE_HELD 1   /**< changed within the expiration */
#define OV_LOCKFILE_STALE 2  /**< older than the expiration: acquisition would take it over */
#define OV_LOCKFILE_SKEWED 3 /**< its time lies after the file system's clock */
/** @} */

/** A lock as one look at it found it. */
typedef struct ov_lockfile_info {
    int32_t state; /**< OV_LOCKFILE_FREE, _HELD, _STALE or _SKEWED */
    /** Seconds since the lock file last changed, by the file system's clock;
     * negative for a skewed lock (how far it lies ahead), 0 for a free one. */
    int64_t age_seconds;
    /** The record read, as read (with its newline); empty for a free lock
     * and for an empty lock file. */
    char record[OV_LOCKFILE_RECORD_SIZE];
} ov_lockfile_info_t;

/** Looks at the lock NAME.lck without changing it: reads its record and
 * judges its age against expiration_seconds with the probe acquisition
 * uses (one probe file beside the lock, created and removed again). Nothing
 * else is created, not even a missing directory, and no lock is taken.
 * @param name                the lock's name; the file is NAME.lck
 * @param expiration_seconds  age after which a lock is stale; at least 2
 * @param info                receives what was found
 * @return 0 with *info filled; EINVAL for a null name or info, an empty name
 * or an expiration below 2 (info untouched); EPATHMAX when the name's last
 * component leaves no room for the probe's name; EBUFFER when the lock's
 * path does not fit OV_LOCKFILE_PATH_SIZE; or the failing call's errno (for
 * example EACCES when the probe cannot be created beside the lock, or
 * EISDIR when the lock's name is a directory); EFILENOTVALID when NAME.lck
 * is a symbolic link, FIFO, socket or device, which is not read. */
OV_API int32_t ov_lockfile_inspect(const char *name, int32_t expiration_seconds,
                                   ov_lockfile_info_t *info) OV_NOEXCEPT;

/**
 * How ov_lockfile_acquire_wait waits.
 *
 * Start from OV_LOCKFILE_WAIT_INIT and set the fields you need. Later
 * versions of the library may add fields at the end; a library reads only
 * the fields that @c size covers and takes the defaults of
 * OV_LOCKFILE_WAIT_INIT for the others, so a program built against this
 * header keeps working with every later libovplatform.so.4.
 */
typedef struct ov_lockfile_wait {
    /** sizeof (ov_lockfile_wait_t) as the program was built; set by OV_LOCKFILE_WAIT_INIT. */
    uint32_t size;
    /** A descriptor whose readiness to read ends the wait (the read end of a
     *  pipe that a signal handler writes to, an eventfd), or -1 for none.
     *  The call polls it and never reads from it. */
    int32_t cancel_fd;
    /** How long to keep trying, in milliseconds: 0 for one try, a negative
     *  value for no limit. */
    int64_t timeout_ms;
    /** Where to name the directory at fault when the lock's directory cannot
     *  hold a lock file (NUL-terminated, cut to fault_dir_size); made empty
     *  on every other outcome. NULL when not wanted. */
    char *fault_dir;
    /** The size of fault_dir in bytes, its NUL included. */
    size_t fault_dir_size;
} ov_lockfile_wait_t;

/** One try, no cancel descriptor, no directory name wanted. */
#define OV_LOCKFILE_WAIT_INIT \
    { sizeof(ov_lockfile_wait_t), -1, 0, NULL, 0 }

/**
 * Acquires the lock NAME.lck, waiting for it while another process holds it.
 *
 * Each try is an ov_lockfile_acquire, which takes a stale lock over. While
 * the lock is busy the call tries again after a pause that grows from 50 ms
 * to 1 s, drawn at random from the upper half of the step so that waiters
 * that started together spread out. A release on this host ends a pause at
 * once: the waiters of one host, in any processes, queue up in the order
 * they came, and only the first one watches the lock's directory (with
 * inotify); when it gets the lock, gives up or fails, the next one in line
 * takes its place, so that one release wakes one waiter. Every waiter
 * still tries at the end of each of its own pauses, so the queue decides
 * who is woken, not who may take the lock: one whose pause ends just after
 * a release may come before the first in line. A release on another host
 * sharing the file system is seen at the next try. Between tries, a lock
 * file that was seen to change recently costs one status read, not a whole
 * try.
 *
 * A lock file that vanishes or appears between two steps of a try (ENOENT
 * or EEXIST from ov_lockfile_acquire) changed hands at that moment; the
 * call tries again at once, up to three times in a row, and then counts the
 * lock as busy. When its directory cannot hold a lock file, the call fails
 * instead (see ov_lockfile_directory_fault).
 *
 * The wait ends at the deadline, but a try that has begun runs to its end
 * (a takeover takes about two seconds), and so does one in progress when
 * cancel_fd becomes ready; a lock that such a try got is released again.
 * Signals do not end the wait: an interrupted poll goes on waiting.
 *
 * Threads: runs on the calling thread; waiters on other threads, each with
 * a handle of its own, queue up as other processes' waiters do.
 *
 * @param handle             the caller's lock handle, as for ov_lockfile_acquire
 * @param name               the name to lock; the lock file is NAME.lck
 * @param expiration_seconds the age after which a lock file is stale, at least 2
 * @param wait               how to wait (OV_LOCKFILE_WAIT_INIT and changes)
 * @return 0 with the lock held;
 *         ELOCKED when the lock was still busy at the deadline (after the
 *         one try when timeout_ms is 0);
 *         ECANCELED when cancel_fd became ready to read; nothing is held;
 *         EINVAL for a null handle, name or wait, an empty name, an
 *         expiration below 2, a size below that of this header's
 *         ov_lockfile_wait_t or one whose bytes past the known fields are
 *         not zero, or a cancel_fd below -1 (the handle is then untouched);
 *         EBADF when cancel_fd is not an open descriptor;
 *         the directory's fault (ENOENT, ENOTDIR, ELOOP, EACCES,
 *         ENAMETOOLONG, ...) with the directory in fault_dir when the lock's
 *         directory cannot hold a lock file;
 *         or any other code of ov_lockfile_acquire but ELOCKED, EEXIST and
 *         ENOENT, at once.
 */
OV_API int32_t ov_lockfile_acquire_wait(ov_lockfile_t *handle, const char *name,
                                        int32_t expiration_seconds,
                                        const ov_lockfile_wait_t *wait) OV_NOEXCEPT;

/**
 * Says why the directory of the lock NAME.lck cannot hold a lock file.
 *
 * A missing directory is no fault as long as acquisition can make it: its
 * nearest existing ancestor is a directory. A dangling link in its place
 * (a /var/lock whose target is gone), a file where a directory should be, a
 * loop of links, a name too long or a directory this process may not
 * search is a fault. Nothing is created or changed.
 *
 * Threads: any thread, at any time.
 *
 * @param name  the lock's name, as for ov_lockfile_acquire
 * @param where receives the directory at fault, NUL-terminated and cut to
 *              size (EBUFFER is not reported); made empty when there is
 *              none; may be NULL when size is 0
 * @param size  the size of where in bytes
 * @return 0 when the directory can hold the lock file; the errno value of
 *         the fault (ENOENT, ENOTDIR, ELOOP, EACCES, ENAMETOOLONG, ...);
 *         EINVAL for a null or empty name, or a null where with a size.
 */
OV_API int32_t ov_lockfile_directory_fault(const char *name, char *where, size_t size) OV_NOEXCEPT;

/**
 * Whether the handle holds its lock: set by a successful acquisition and
 * cleared by a successful release. A lost lock stays locked until released.
 *
 * Threads: any thread while no acquisition runs on the handle; an atomic load.
 *
 * @param handle the lock handle, or NULL
 * @return 1 or 0; 0 for NULL.
 */
OV_API int ov_lockfile_is_locked(const ov_lockfile_t *handle) OV_NOEXCEPT;

/**
 * Whether the keep-alive worker has found the lock lost: another holder's
 * record in the file (then in last_seen), or ten refreshes in a row failed.
 * Once set it stays set until the handle is acquired again.
 *
 * Threads: any thread while no acquisition runs on the handle; a load with
 * acquire ordering, so that a caller that sees 1 reads a complete last_seen.
 *
 * @param handle the lock handle, or NULL
 * @return 1 or 0; 0 for NULL.
 */
OV_API int ov_lockfile_is_lost(const ov_lockfile_t *handle) OV_NOEXCEPT;

/**
 * Whether a keep-alive worker was started on the handle and not yet stopped
 * by ov_lockfile_release. A worker that ended on its own after a loss still
 * counts until the release joins it (ov_lockfile_is_lost is then 1).
 *
 * Threads: any thread while no acquisition runs on the handle; an atomic load.
 *
 * @param handle the lock handle, or NULL
 * @return 1 or 0; 0 for NULL.
 */
OV_API int ov_lockfile_is_worker_running(const ov_lockfile_t *handle) OV_NOEXCEPT;

/** Writes a short English text for code into buffer (size bytes with the
 * NUL).
 * @param code    a result of this area's functions
 * @param buffer  receives the text
 * @param size    bytes of buffer
 * @return buffer. */
OV_API char *ov_lockfile_strerror(int32_t code, char *buffer, size_t size) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
