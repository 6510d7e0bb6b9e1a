// ovlockfile.cpp - advisory lock files shared by processes and hosts.
//
// A lock is one small file beside the protected name (NAME.lck) whose content,
// the record "pid:uuid:host\n", names its holder. A holder owns the lock while
// the file exists, holds exactly the record it wrote, and keeps advancing the
// file's modification time. Staleness is judged against the file system's own
// clock: a contender creates a probe file beside the lock and compares the two
// modification times, so hosts whose clocks differ still agree.
//
// Mutual exclusion rests on three things: exclusive creation of the lock
// file; moving a stale lock file to a private temporary name before deleting
// it, so only one contender can remove a given stale file; and ownership by
// whole-record comparison, so a holder whose file was replaced never deletes
// the new holder's file.
//
// The second half of the file is the keep-alive worker: one thread per held
// lock that refreshes the file about once a second and notices a takeover.
//
// The module keeps no global state and allocates nothing on the heap: every
// buffer is a fixed array in the handle or on the stack.
#include <ovplatform/ovlockfile.h>

#include <ovplatform/ovdir.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovthread.h>
#include <ovplatform/ovtime.h>
#include <ovplatform/ovuuid.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#define OV_LOG_SOURCE "base/ovplatform/src/ovlockfile"
#include "internal/log.h"

namespace {

constexpr size_t kPathSize = OV_LOCKFILE_PATH_SIZE;
constexpr size_t kRecordMax = OV_LOCKFILE_RECORD_MAX;
constexpr size_t kRecordSize = OV_LOCKFILE_RECORD_SIZE;
// Records read back at release (and by the worker) go into this much room.
constexpr size_t kReadBufferSize = 192;
constexpr char kLockSuffix[] = ".lck";
constexpr char kProbeContent[] = "tmp";
constexpr int kHostMax = 138;
// A parent is formed by appending "/.." to the path inside an 8192-byte buffer.
constexpr size_t kParentPathMax = 8186;
// Longest file name the file system takes (Linux: 255 bytes). The probe and
// temporary names are the lock file's name plus "." and 36 characters, so the
// lock file's own name must leave room for them.
constexpr size_t kNameMax = NAME_MAX;
constexpr size_t kTempSuffixLength = 1 + OV_UUID_TEXT_LEN;
constexpr int kProbeCount = 3;
constexpr uint32_t kProbeIntervalMs = 1000;
constexpr int kRefreshFailureLimit = 10;
constexpr ov_timeval_t kRefreshPeriod = {1, 0};

// The flags that the keep-alive worker shares with the owner's thread.
std::atomic_ref<uint32_t> lost_flag(ov_lockfile_t *h) {
    return std::atomic_ref<uint32_t>(h->lost);
}
std::atomic_ref<uint32_t> stop_flag(ov_lockfile_t *h) {
    return std::atomic_ref<uint32_t>(h->stop_requested);
}

// Length of the last component of a path: what the file system must accept
// as one name.
size_t last_component_length(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return std::strlen(slash ? slash + 1 : path);
}

// Sleeps a whole interval on the monotonic clock. A signal handler in the
// calling program ends a single sleep early; the probes of a stale lock must
// still be spread over the full interval, or a live holder could lose its
// lock before it had the chance to refresh it.
void sleep_full_interval(uint32_t ms) {
    ov_timeval_t start{};
    if (ov_time_monotonic_now(&start) != 0) {
        ov_thread_sleep_ms(ms);
        return;
    }
    const int64_t total_us = static_cast<int64_t>(ms) * 1000;
    for (;;) {
        ov_timeval_t now{};
        if (ov_time_monotonic_now(&now) != 0) return;
        const int64_t elapsed =
            (now.tv_sec - start.tv_sec) * 1000000 + (now.tv_usec - start.tv_usec);
        if (elapsed >= total_us) return;
        const int64_t left_ms = (total_us - elapsed + 999) / 1000;
        ov_thread_sleep_ms(static_cast<uint32_t>(left_ms));
    }
}

}  // namespace

// Internal operations, also used by the keep-alive worker below. They have C
// linkage names of their own but are not part of the public interface.
extern "C" {

// Reads a record into buffer (at least 187 bytes). With refresh the file is
// opened read-write, and its first byte is written back in place so that its
// modification time advances while the content stays the same.
static int32_t _lockfile_read(const char *path, int refresh, char *buffer) noexcept {
    if (path == nullptr || buffer == nullptr) return EINVAL;
    buffer[0] = '\0';

    ov_file_t file = -1;
    int32_t rc = refresh ? ov_file_open_rw(path, &file, 7) : ov_file_open_read(path, &file);
    if (rc != 0) return rc;

    uint64_t count = 0;
    rc = ov_fileread(&file, buffer, kRecordMax, &count);
    if (rc != 0) {
        OV_LOG(1, "Failed to read lockfile %s (e=%d)", path, rc);
        ov_file_close(&file);
        return rc;
    }
    if (count == 0) {
        OV_LOG(1, "Read invalid lockfile %s", path);
        ov_file_close(&file);
        return ELOCKINVAL;
    }
    buffer[count] = '\0';

    if (refresh) {
        rc = ov_file_seek(&file, 0, SEEK_SET);
        if (rc == 0) {
            uint64_t written = 0;
            rc = ov_file_write(&file, buffer, 1, &written);
        }
        // The refresh itself is best effort: the record was read, so the lock
        // is still ours; the next refresh tries again.
        if (rc != 0) OV_LOG(1, "Failed to update lockfile %s (e=%d)", path, rc);
    }

    rc = ov_file_close(&file);
    if (rc != 0) {
        OV_LOG(1, "Failed to close lockfile %s (e=%d)", path, rc);
        return rc;
    }
    return 0;
}

// Forms "<path>.<uuid>" into an 8192-byte buffer: the probe file's name and
// the name a stale lock file is moved to before it is deleted.
static int32_t _lockfile_tmpname(const ov_lockfile_t *handle, char *buffer) noexcept {
    if (handle == nullptr || buffer == nullptr) return EINVAL;
    uint8_t id[16];
    char text[OV_UUID_TEXT_LEN + 1];
    ov_uuid_generate(id);
    ov_uuid_to_string(id, text);
    ov_uuid_clear(id);

    size_t pos = 0;
    int32_t rc = ov_str_to(buffer, handle->path, kPathSize, &pos);
    if (rc == 0) rc = ov_str_to(buffer, ".", kPathSize, &pos);
    if (rc == 0) rc = ov_str_to(buffer, text, kPathSize, &pos);
    return rc;
}

// Creates path exclusively and writes length bytes into it with one write.
// A file that this call created but could not fill completely is deleted
// again: an empty or partial lock file would otherwise block every contender
// until it went stale, and nobody would ever refresh it.
static int32_t _lockfile_create(const char *path, const char *bytes, size_t length) noexcept {
    ov_file_t file = open(path, O_RDWR | O_CREAT | O_EXCL, 0644);
    if (file < 0) return errno;

    uint64_t written = 0;
    int32_t rc = ov_file_write(&file, bytes, length, &written);
    if (rc == 0 && written < length) rc = ENOSPC;
    const int32_t close_rc = ov_file_close(&file);
    if (rc == 0) rc = close_rc;
    if (rc != 0) {
        // The descriptor is gone even when close reported an error.
        file = -1;
        ov_file_delete(path);
    }
    return rc;
}

// One age probe of the lock at handle->path. Returns 0 when the lock file is
// stale, ELOCKED when it changed within the expiration, or the code of the
// failing step (ELOCKSKEW when the lock's time lies after the probe's).
static int32_t _fs_age_stale(ov_lockfile_t *handle, int32_t expiration) noexcept {
    ov_stat_t lock_status{};
    int32_t rc = ov_file_stat(handle->path, &lock_status, 0);
    if (rc != 0) return rc;

    char probe[kPathSize];
    rc = _lockfile_tmpname(handle, probe);
    if (rc != 0) return rc;
    rc = _lockfile_create(probe, kProbeContent, sizeof kProbeContent - 1);
    if (rc != 0) return rc;
    ov_stat_t probe_status{};
    rc = ov_file_stat(probe, &probe_status, 0);
    // The probe goes in every case, so that no scratch file stays behind.
    const int32_t delete_rc = ov_file_delete(probe);
    if (rc == 0) rc = delete_rc;
    if (rc != 0) return rc;

    if (lock_status.mtime > probe_status.mtime) return ELOCKSKEW;
    const int64_t age = probe_status.mtime - lock_status.mtime;
    if (age <= expiration) {
        OV_LOG(5, "_fs_age_stale: File has changed recently (%d <= %d)", static_cast<int>(age),
               expiration);
        OV_LOG(3, "Lockfile valid: %s", handle->last_seen);
        return ELOCKED;
    }
    OV_LOG(5, "_fs_age_stale: File appears to be stale");
    return 0;
}

}  // extern "C"

namespace {

// Step A of acquisition: creates the lock file's parent directory with its
// missing ancestors.
int32_t make_parent_directory(const ov_lockfile_t *handle) {
    int32_t rc = 0;
    char parent[kPathSize];
    if (std::strlen(handle->path) > kParentPathMax ||
        ov_path_parent(handle->path, parent, sizeof parent) < 0) {
        rc = ENOBUFS;
    } else {
        rc = ov_dir_create(parent, 0755, 1);
        if (rc == EEXIST) rc = 0;
        if (rc != 0) OV_LOG(1, "Failed to create parent directory for %s err=%d", handle->path, rc);
    }
    if (rc != 0) OV_LOG(1, "Failed to make lockfile parent directory %s err=%d", handle->path, rc);
    return rc;
}

// Step B: three probes a second apart. Returns 0 once the lock has been found
// stale three times in a row.
int32_t judge_age(ov_lockfile_t *handle, int32_t expiration) {
    for (int probe = 1; probe <= kProbeCount; ++probe) {
        const int32_t rc = _fs_age_stale(handle, expiration);
        if (rc == ELOCKED) return rc;
        if (rc != 0) {
            OV_LOG(5, "_fs_age_stale: Unable to determine age (error %d)", rc);
            OV_LOG(1, "Failed to determine age of lockfile %s err=%d", handle->path, rc);
            return rc;
        }
        if (probe < kProbeCount) sleep_full_interval(kProbeIntervalMs);
    }
    return 0;
}

// Step C: moves the stale lock file to a private name, then deletes it. Of
// several contenders only one can move a given file; the others get ENOENT.
int32_t take_over(ov_lockfile_t *handle) {
    OV_LOG(5, "_fs_age_stale: File is stale");
    OV_LOG(3, "Lock file is stale, taking over.");
    char moved[kPathSize];
    int32_t rc = _lockfile_tmpname(handle, moved);
    if (rc == 0) rc = ov_file_rename(handle->path, moved);
    if (rc == 0) rc = ov_file_delete(moved);
    if (rc != 0) OV_LOG(1, "Failed to delete lockfile %s err=%d", handle->path, rc);
    return rc;
}

// Step D: writes this acquisition's record into a new lock file.
int32_t write_lock(ov_lockfile_t *handle) {
    handle->holder_pid = static_cast<int32_t>(getpid());
    uint8_t id[16];
    ov_uuid_generate(id);
    ov_uuid_to_string(id, handle->holder_uuid);
    ov_uuid_clear(id);

    char host[kPathSize] = {};
    if (ov_platform_hostname(host, sizeof host) != 0) host[0] = '\0';
    ov_str_printf_to(handle->content, kRecordSize, nullptr, "%d:%s:%.*s\n", handle->holder_pid,
                     handle->holder_uuid, kHostMax, host);

    const int32_t rc =
        _lockfile_create(handle->path, handle->content, std::strlen(handle->content));
    if (rc != 0) {
        OV_LOG(1, "Failed to write lock file err=%d", rc);
        return rc;
    }
    handle->locked = 1;
    return 0;
}

// The stop sequence of the keep-alive worker. The worker holds the mutex at
// all times except inside its timed wait, so taking it here waits until the
// worker is waiting (or finished); the signal then wakes it, and it sees the
// stop request as soon as it has the mutex again.
void stop_worker(ov_lockfile_t *handle) {
    handle->worker_running = 0;
    stop_flag(handle).store(1, std::memory_order_release);
    ov_mutex_acquire(&handle->worker_mutex);
    ov_cond_signal(&handle->worker_cond);
    ov_mutex_release(&handle->worker_mutex);
    ov_thread_join(&handle->worker_thread);
    ov_cond_destroy(&handle->worker_cond);
    ov_mutex_destroy(&handle->worker_mutex);
}

}  // namespace

extern "C" {

int32_t ov_lockfile_acquire(ov_lockfile_t *handle, const char *name,
                            int32_t expiration_seconds) noexcept {
    if (handle == nullptr || name == nullptr || name[0] == '\0' || expiration_seconds < 2)
        return EINVAL;
    // A lock file whose name leaves no room for ".<uuid>" could be created
    // while free, but never probed or moved aside once stale: refuse it
    // before anything touches the file system.
    if (last_component_length(name) + sizeof kLockSuffix - 1 + kTempSuffixLength > kNameMax)
        return EPATHMAX;

    std::memset(handle, 0, sizeof *handle);
    ov_str_printf_to(handle->path, sizeof handle->path, nullptr, "%s%s", name, kLockSuffix);

    int32_t rc = _lockfile_read(handle->path, 0, handle->last_seen);
    if (rc == ENOENT) {
        rc = make_parent_directory(handle);
        if (rc != 0) return rc;
    } else if (rc == 0 || rc == ELOCKINVAL) {
        rc = judge_age(handle, expiration_seconds);
        if (rc == 0) rc = take_over(handle);
        if (rc != 0) return rc;
    } else {
        OV_LOG(1, "Failed to read lock file err=%d", rc);
        return rc;
    }
    return write_lock(handle);
}

int32_t ov_lockfile_release(ov_lockfile_t *handle) noexcept {
    if (handle == nullptr) return EINVAL;
    if (handle->worker_running) stop_worker(handle);
    if (!handle->locked) return 0;

    char record[kReadBufferSize];
    int32_t rc = _lockfile_read(handle->path, 0, record);
    if (rc != 0) {
        OV_LOG(1, "Unable to check lock file before release %s err=%d", handle->path, rc);
        return rc;
    }
    if (std::strcmp(record, handle->content) != 0) {
        OV_LOG(1, "Lockfile was taken over by another process: %s", record);
        return ELOCKED;
    }
    rc = ov_file_delete(handle->path);
    if (rc != 0) {
        OV_LOG(1, "Failed to delete lockfile %s err=%d", handle->path, rc);
        return rc;
    }
    handle->locked = 0;
    return 0;
}

char *ov_lockfile_strerror(int32_t code, char *buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) return buffer;
    const char *text = nullptr;
    switch (code) {
        case EPERM:
            text = "permission denied";
            break;
        case EIO:
            text = "I/O error";
            break;
        case ENOMEM:
            text = "out of memory";
            break;
        case EACCES:
            text = "access denied";
            break;
        case ENOSPC:
            text = "out of disk space";
            break;
        case ELOCKED:
            text = "locked by another process";
            break;
        case ELOCKINVAL:
            text = "invalid lock file";
            break;
        case ELOCKSKEW:
            text = "clock skew detected";
            break;
        default:
            break;
    }
    if (text != nullptr) {
        size_t pos = 0;
        ov_str_to(buffer, text, size, &pos);
    } else {
        ov_error_string(code, buffer, size);
    }
    return buffer;
}

// ---------------------------------------------------------------------------
// Keep-alive worker
// ---------------------------------------------------------------------------

// The thread body. It holds worker_mutex from start to end except inside its
// timed waits, so a stop request can never fall between its check of
// stop_requested and its wait.
static void *_lockfile_worker(void *arg) noexcept {
    auto *handle = static_cast<ov_lockfile_t *>(arg);
    OV_LOG(4, "Lockfile worker thread started");
    ov_mutex_acquire(&handle->worker_mutex);

    int failures = 0;
    char record[kReadBufferSize];
    while (stop_flag(handle).load(std::memory_order_acquire) == 0) {
        const int32_t rc = _lockfile_read(handle->path, 1, record);
        if (rc == 0) {
            if (std::strcmp(record, handle->content) != 0) {
                OV_LOG(1, "Lockfile was taken over by another process: %s", record);
                // last_seen is complete before lost is published; the owner
                // reads it only after it has seen lost set.
                size_t pos = 0;
                ov_str_to(handle->last_seen, record, kRecordSize - 1, &pos);
                lost_flag(handle).store(1, std::memory_order_release);
                break;
            }
            ov_cond_timedwait(&handle->worker_cond, &kRefreshPeriod);
            failures = 0;
            continue;
        }

        OV_LOG(1, "Unable to update lock file %s err=%d count=%d", handle->path, rc, failures);
        ++failures;
        ov_cond_timedwait(&handle->worker_cond, &kRefreshPeriod);
        if (failures >= kRefreshFailureLimit) {
            OV_LOG(1, "Unable to update lock file");
            lost_flag(handle).store(1, std::memory_order_release);
            break;
        }
    }

    ov_mutex_release(&handle->worker_mutex);
    OV_LOG(4, "Lockfile worker thread finished");
    return nullptr;
}

int32_t ov_lockfile_start_worker(ov_lockfile_t *handle) noexcept {
    if (handle == nullptr) {
        OV_LOG(1, "Invalid lock structure");
        return EINVAL;
    }
    if (!handle->locked) {
        OV_LOG(1, "Lockfile is not locked by me");
        return EINVAL;
    }
    if (handle->worker_running) {
        OV_LOG(1, "Lockfile worker is already running");
        return EINVAL;
    }

    // A handle whose earlier release failed still carries the old stop request.
    stop_flag(handle).store(0, std::memory_order_relaxed);
    ov_mutex_init(&handle->worker_mutex);
    ov_cond_init(&handle->worker_cond, &handle->worker_mutex);
    const int32_t rc = ov_thread_spawn(&handle->worker_thread, _lockfile_worker, handle);
    if (rc != 0) {
        OV_LOG(1, "Failed to spawn thread for lock file updating err=%d", rc);
        // Nobody would refresh the lock: give it up at once.
        ov_file_delete(handle->path);
        ov_cond_destroy(&handle->worker_cond);
        ov_mutex_destroy(&handle->worker_mutex);
        return rc;
    }
    handle->worker_running = 1;
    return 0;
}

int32_t ov_lockfile_acquire_continuous(ov_lockfile_t *handle, const char *name,
                                       int32_t expiration_seconds) noexcept {
    int32_t rc = ov_lockfile_acquire(handle, name, expiration_seconds);
    if (rc != 0) {
        OV_LOG(1, "Unable to acquire lockfile (err=%d)", rc);
        return rc;
    }
    rc = ov_lockfile_start_worker(handle);
    if (rc != 0) {
        OV_LOG(1, "Unable to acquire continuous lock (err=%d)", rc);
        return rc;
    }
    return 0;
}

}  // extern "C"
