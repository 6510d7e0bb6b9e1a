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

/** One lock, owned by the caller. Acquisition clears it first. lost and
 * stop_requested are shared with the keep-alive worker: read them with
 * acquire ordering (__atomic_load_n(&h.lost, __ATOMIC_ACQUIRE)). */
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
