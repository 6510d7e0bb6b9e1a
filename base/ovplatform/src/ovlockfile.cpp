// ovlockfile.cpp - advisory lock files shared by processes and hosts.
//
// A lock is one small file beside the protected name (NAME.lck) whose content,
// the record "pid:uuid:host\n", names its holder. A holder owns the lock while
// the file exists, holds exactly the record it wrote, and keeps advancing the
// file's modification time. Staleness is judged against the file system's own
// clock: a contender creates a probe file beside the lock and compares the two
// modification times, so hosts whose clocks differ still agree.
//
// Mutual exclusion rests on four things: exclusive creation of the lock
// file; a short-lived breaker file ("NAME.lck.brk", created exclusively) that
// lets one contender at a time take a stale lock over, after a second look
// that the file is still the one it judged stale; moving the stale file to a
// private temporary name and checking what was moved before deleting it, so
// that a live lock moved by mistake is put back with link(2); and ownership by
// whole-record comparison, so a holder whose file was replaced never deletes
// the new holder's file.
//
// The second half of the file is the keep-alive worker: one thread per held
// lock that refreshes the file about once a second and notices a takeover.
//
// The module allocates nothing on the heap: every buffer is a fixed array in
// the handle or on the stack. Its only global state is the test-only timing
// of internal/lockfile_testing.h.
//
// Divisions: timing and small helpers; reading, naming and creating lock
// files, and the age probe; the steps of an acquisition (A: parent
// directory, B: age, C: takeover, D: the new lock); acquire, release and
// messages; the keep-alive worker.
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

#include "internal/lockfile_testing.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define OV_LOG_SOURCE "base/ovplatform/src/ovlockfile"
#include "internal/limits.h"
#include "internal/log.h"
#include "internal/raii.h"

namespace {

using namespace ov::detail;

static_assert(OV_LOCKFILE_PATH_SIZE == kPathSize, "a lock file's name is a path");
constexpr size_t kRecordMax = OV_LOCKFILE_RECORD_MAX;
constexpr size_t kRecordSize = OV_LOCKFILE_RECORD_SIZE;
// Records read back at release (and by the worker) go into this much room.
constexpr size_t kReadBufferSize = 192;
constexpr char kLockSuffix[] = ".lck";
constexpr char kBreakerSuffix[] = ".brk";
constexpr char kProbeContent[] = "tmp";
constexpr int kHostMax = OV_LOCKFILE_HOST_MAX;
// A parent is formed inside a path buffer by appending "/.." to the
// canonical form of the path, which may itself gain a leading "./"; with the
// NUL, a lock path leaves that much of the buffer free.
constexpr size_t kParentPathMax = kPathSize - (sizeof "/.." + sizeof "./" - 1);
// Longest file name the file system takes (Linux: 255 bytes). The probe and
// temporary names are the lock file's name plus "." and 36 characters, so the
// lock file's own name must leave room for them.
constexpr size_t kNameMax = NAME_MAX;
constexpr size_t kTempSuffixLength = 1 + OV_UUID_TEXT_LEN;
constexpr int kProbeCount = 3;
constexpr uint32_t kProbeIntervalMs = 1000;
constexpr uint32_t kRefreshPeriodMs = 1000;
constexpr int kRefreshFailureLimit = 10;

// Test-only timing (internal/lockfile_testing.h); 0 means the built-in value.
std::atomic<uint32_t> g_test_probe_gap_ms{0};
std::atomic<uint32_t> g_test_refresh_ms{0};
std::atomic<uint32_t> g_test_takeover_delay_ms{0};

uint32_t probe_gap_ms() {
    const uint32_t ms = g_test_probe_gap_ms.load(std::memory_order_relaxed);
    return ms != 0 ? ms : kProbeIntervalMs;
}

ov_timeval_t refresh_period() {
    uint32_t ms = g_test_refresh_ms.load(std::memory_order_relaxed);
    if (ms == 0) ms = kRefreshPeriodMs;
    return ov_timeval_t{ms / 1000, (ms % 1000) * 1000};
}

// The flags that the keep-alive worker shares with the owner's thread.
std::atomic_ref<uint32_t> lost_flag(ov_lockfile_t *h) {
    return std::atomic_ref<uint32_t>(h->lost);
}
std::atomic_ref<uint32_t> stop_flag(ov_lockfile_t *h) {
    return std::atomic_ref<uint32_t>(h->stop_requested);
}
// The flags that other threads may read through the accessors
// (ov_lockfile_is_locked and its companions) while the owner changes them.
void set_locked(ov_lockfile_t *h, uint32_t value) {
    std::atomic_ref<uint32_t>(h->locked).store(value, std::memory_order_release);
}
void set_worker_running(ov_lockfile_t *h, uint32_t value) {
    std::atomic_ref<uint32_t>(h->worker_running).store(value, std::memory_order_release);
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

// ---- Lock files and the age probe ----------------------------------------------------------

// Opens a lock or breaker file as one that anybody who may write its
// directory could have planted: a link is not followed, a FIFO or device
// does not block the open nor become a controlling terminal, and whatever
// is neither a regular file nor a directory is refused unread with
// EFILENOTVALID. A directory is opened, and its read then fails with
// EISDIR, as for any reader.
int32_t open_lockfile(const char *path, int refresh, ov_file_t *file) noexcept {
    const int flags =
        (refresh ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = open(path, flags);
    if (fd < 0) {
        const int error = errno;
        struct stat link {};
        if (error == ELOOP && lstat(path, &link) == 0 && S_ISLNK(link.st_mode))
            return EFILENOTVALID;
        return error;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        // A network or user-space file system may no longer know a file
        // that was deleted since the open: the lock changed hands.
        const int error = errno;
        close(fd);
        return error;
    }
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        close(fd);
        return EFILENOTVALID;
    }
    *file = fd;
    return 0;
}

// Reads a record into buffer (at least 187 bytes). With refresh the file is
// opened read-write, and its first byte is written back in place so that its
// modification time advances while the content stays the same.
// Kept out of line: inlined into the keep-alive worker, its null-path
// branch lets GCC 12 at -O3 take the worker's own path for null.
[[gnu::noinline]] int32_t read_lockfile(const char *path, int refresh, char *buffer) noexcept {
    if (path == nullptr || buffer == nullptr) return EINVAL;
    buffer[0] = '\0';

    ov_file_t file = -1;
    int32_t rc = open_lockfile(path, refresh, &file);
    if (rc != 0) return rc;
    FdCloser closer(file);

    uint64_t count = 0;
    rc = ov_fileread(&file, buffer, kRecordMax, &count);
    if (rc != 0) {
        OV_LOG(kLogError, "Failed to read lockfile %s (e=%d)", path, rc);
        return rc;
    }
    if (count == 0) {
        OV_LOG(kLogError, "Read invalid lockfile %s", path);
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
        if (rc != 0) OV_LOG(kLogError, "Failed to update lockfile %s (e=%d)", path, rc);
    }

    rc = closer.close();
    if (rc != 0) {
        OV_LOG(kLogError, "Failed to close lockfile %s (e=%d)", path, rc);
        return rc;
    }
    return 0;
}

// Forms "<lock path>.<uuid>" into a kPathSize buffer: the probe file's name
// and the name a stale lock file is moved to before it is deleted.
int32_t temp_name(const char *lock_path, char *buffer) noexcept {
    if (lock_path == nullptr || buffer == nullptr) return EINVAL;
    uint8_t id[16];
    char text[OV_UUID_TEXT_LEN + 1];
    ov_uuid_generate(id);
    ov_uuid_to_string(id, text);
    ov_uuid_clear(id);

    size_t pos = 0;
    int32_t rc = ov_str_to(buffer, lock_path, kPathSize, &pos);
    if (rc == 0) rc = ov_str_to(buffer, ".", kPathSize, &pos);
    if (rc == 0) rc = ov_str_to(buffer, text, kPathSize, &pos);
    return rc;
}

// Creates path exclusively and writes length bytes into it with one write.
// A file that this call created but could not fill completely is deleted
// again: an empty or partial lock file would otherwise block every contender
// until it went stale, and nobody would ever refresh it.
int32_t create_exclusive(const char *path, const char *bytes, size_t length) noexcept {
    ov_file_t file = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file < 0) return errno;
    FdCloser closer(file);

    uint64_t written = 0;
    int32_t rc = ov_file_write(&file, bytes, length, &written);
    if (rc == 0 && written < length) rc = ENOSPC;
    const int32_t close_rc = closer.close();
    if (rc == 0) rc = close_rc;
    if (rc != 0) ov_file_delete(path);
    return rc;
}

// One age probe of the file at target, measured against the file system's
// clock: a probe file is created beside the lock at lock_path and the two
// modification times compared. Gives the target's status and its age in
// whole seconds, or ELOCKSKEW when the target's time lies after the probe's
// (the age, then negative, says by how much).
int32_t fs_age_probe(const char *lock_path, const char *target, ov_stat_t *target_status,
                     int64_t *age) noexcept {
    int32_t rc = ov_file_stat(target, target_status, 0);
    if (rc != 0) return rc;

    char probe[kPathSize];
    rc = temp_name(lock_path, probe);
    if (rc != 0) return rc;
    rc = create_exclusive(probe, kProbeContent, sizeof kProbeContent - 1);
    if (rc != 0) return rc;
    ov_stat_t probe_status{};
    rc = ov_file_stat(probe, &probe_status, 0);
    // The probe goes in every case, so that no scratch file stays behind.
    const int32_t delete_rc = ov_file_delete(probe);
    if (rc == 0) rc = delete_rc;
    if (rc != 0) return rc;

    *age = probe_status.mtime - target_status->mtime;
    return *age < 0 ? ELOCKSKEW : 0;
}

// The age test: one probe of the lock file at path, judged against the
// expiration. Returns 0 when the file is stale, ELOCKED when it changed
// within the expiration (an age equal to it is still fresh), or the probe's
// code. Acquisition and inspection both judge through here, so that a
// lock inspection calls stale is one that acquisition would take over.
int32_t judge_lock_age(const char *path, int32_t expiration, ov_stat_t *status,
                       int64_t *age) noexcept {
    const int32_t rc = fs_age_probe(path, path, status, age);
    if (rc != 0) return rc;
    return *age <= expiration ? ELOCKED : 0;
}

// One age probe of the lock at handle->path. Returns 0 when the lock file is
// stale, ELOCKED when it changed within the expiration, or the code of the
// failing step (ELOCKSKEW when the lock's time lies after the probe's). The
// lock file's status goes to lock_status: the takeover checks that the file
// it moves is still the one judged here.
int32_t fs_age_stale(ov_lockfile_t *handle, int32_t expiration, ov_stat_t *lock_status) noexcept {
    int64_t age = 0;
    const int32_t rc = judge_lock_age(handle->path, expiration, lock_status, &age);
    if (rc == ELOCKED) {
        OV_LOG(kLogTrace, "_fs_age_stale: File has changed recently (%d <= %d)",
               static_cast<int>(age), expiration);
        OV_LOG(kLogInfo, "Lockfile valid: %s", handle->last_seen);
        return ELOCKED;
    }
    if (rc != 0) return rc;
    OV_LOG(kLogTrace, "_fs_age_stale: File appears to be stale");
    return 0;
}

// ---- The steps of an acquisition ------------------------------------------------------------

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
        if (rc != 0)
            OV_LOG(kLogError, "Failed to create parent directory for %s err=%d", handle->path, rc);
    }
    if (rc != 0)
        OV_LOG(kLogError, "Failed to make lockfile parent directory %s err=%d", handle->path, rc);
    return rc;
}

// Step B: three probes a second apart. Returns 0 once the lock has been found
// stale three times in a row, with the file's status at the last probe.
int32_t judge_age(ov_lockfile_t *handle, int32_t expiration, ov_stat_t *judged) {
    for (int probe = 1; probe <= kProbeCount; ++probe) {
        const int32_t rc = fs_age_stale(handle, expiration, judged);
        if (rc == ELOCKED) return rc;
        if (rc != 0) {
            OV_LOG(kLogTrace, "_fs_age_stale: Unable to determine age (error %d)", rc);
            OV_LOG(kLogError, "Failed to determine age of lockfile %s err=%d", handle->path, rc);
            return rc;
        }
        if (probe < kProbeCount) sleep_full_interval(probe_gap_ms());
    }
    return 0;
}

// Forms "<path><suffix>" into a kPathSize buffer.
int32_t name_beside(char *buffer, const char *path, const char *suffix) {
    size_t pos = 0;
    int32_t rc = ov_str_to(buffer, path, kPathSize, &pos);
    if (rc == 0) rc = ov_str_to(buffer, suffix, kPathSize, &pos);
    return rc;
}

// Reads a record for comparison; an empty file reads as the empty record.
int32_t read_record(const char *path, char *buffer) {
    const int32_t rc = read_lockfile(path, 0, buffer);
    return rc == ELOCKINVAL ? 0 : rc;
}

// The same file, unchanged since it was judged: a holder's refresh moves the
// modification time, and a new lock file is a new inode.
bool unchanged(const ov_stat_t &now, const ov_stat_t &judged) {
    return now.ino == judged.ino && now.mtime == judged.mtime && now.size == judged.size;
}

// Formats "pid:uuid:host\n" with a fresh identifier: the lock record, and the
// content of a breaker file.
void format_record(char *record, int32_t pid, char *uuid_text) {
    uint8_t id[16];
    ov_uuid_generate(id);
    ov_uuid_to_string(id, uuid_text);
    ov_uuid_clear(id);

    char host[kPathSize] = {};
    if (ov_platform_hostname(host, sizeof host) != 0) host[0] = '\0';
    ov_str_printf_to(record, kRecordSize, nullptr, "%d:%s:%.*s\n", pid, uuid_text, kHostMax, host);
}

// Removes the file at target, which was judged stale holding expected with
// the status judged: it is moved to a private name, and deleted only if what
// was moved is that very file. Anything else (a lock created or refreshed
// since the verdict) is put back with link(2), which never replaces a file
// that appeared meanwhile, and the result is ELOCKED.
int32_t remove_judged(ov_lockfile_t *handle, const char *target, const char *expected,
                      const ov_stat_t &judged) {
    char moved[kPathSize];
    int32_t rc = temp_name(handle->path, moved);
    if (rc == 0) rc = ov_file_rename(target, moved);
    if (rc != 0) return rc;

    char record[kReadBufferSize];
    ov_stat_t now{};
    rc = read_record(moved, record);
    if (rc == 0) rc = ov_file_stat(moved, &now, 0);
    if (rc == 0 && std::strcmp(record, expected) == 0 && unchanged(now, judged))
        return ov_file_delete(moved);

    int32_t back = ov_file_link(moved, target);
    if (back != 0 && back != EEXIST && !ov_file_exists(target, 0)) {
        // A file system without hard links: a rename is the only way back.
        back = ov_file_rename(moved, target);
    }
    // After a link the private name is a second name of the restored file;
    // after EEXIST the moved file's holder has lost it either way.
    if (back != 0 || ov_file_exists(moved, 0)) ov_file_delete(moved);
    if (back != 0) {
        OV_LOG(kLogError, "Unable to restore live lockfile %s err=%d", target, back);
    } else {
        OV_LOG(kLogInfo, "Lockfile %s changed before takeover; put back: %s", target, record);
    }
    return ELOCKED;
}

// Creates the breaker file exclusively. A breaker older than the expiration
// by the file system's clock belongs to a contender that died while taking
// over; it is removed like a stale lock, and the creation tried once more.
int32_t claim_breaker(ov_lockfile_t *handle, const char *breaker, const char *record,
                      int32_t expiration) {
    const size_t length = std::strlen(record);
    int32_t rc = create_exclusive(breaker, record, length);
    if (rc != EEXIST) return rc;

    char seen[kReadBufferSize];
    ov_stat_t status{};
    int64_t age = 0;
    rc = read_record(breaker, seen);
    if (rc == 0) rc = fs_age_probe(handle->path, breaker, &status, &age);
    if (rc == ENOENT) return create_exclusive(breaker, record, length);
    if (rc == ELOCKSKEW || (rc == 0 && age <= expiration)) return ELOCKED;
    if (rc != 0) return rc;

    OV_LOG(kLogInfo, "Removing abandoned takeover marker %s: %s", breaker, seen);
    rc = remove_judged(handle, breaker, seen, status);
    if (rc != 0 && rc != ENOENT) return rc;
    return create_exclusive(breaker, record, length);
}

// Deletes our breaker file, unless a contender has meanwhile judged it
// abandoned and put its own in its place.
void drop_breaker(const char *breaker, const char *record) {
    char seen[kReadBufferSize];
    if (read_record(breaker, seen) == 0 && std::strcmp(seen, record) == 0) {
        ov_file_delete(breaker);
    } else {
        OV_LOG(kLogError, "Takeover marker %s is no longer ours: %s", breaker, seen);
    }
}

int32_t write_lock(ov_lockfile_t *handle);

// Step C, under the breaker: a second look at the lock file, then the move
// aside, the check of what was moved, and the new lock.
int32_t replace_stale_lock(ov_lockfile_t *handle, const ov_stat_t &judged) {
    char current[kReadBufferSize];
    ov_stat_t now{};
    int32_t rc = read_record(handle->path, current);
    if (rc == 0) rc = ov_file_stat(handle->path, &now, 0);
    if (rc != 0) return rc;
    if (std::strcmp(current, handle->last_seen) != 0 || !unchanged(now, judged)) {
        // Another contender took the lock over first, or its holder woke up.
        OV_LOG(kLogInfo, "Lockfile valid: %s", current);
        size_t pos = 0;
        ov_str_to(handle->last_seen, current, kRecordSize, &pos);
        return ELOCKED;
    }
    OV_LOG(kLogDebug, "Moving stale lockfile %s aside", handle->path);
    rc = remove_judged(handle, handle->path, handle->last_seen, judged);
    if (rc != 0) return rc;
    return write_lock(handle);
}

// Step C: takes a lock over that three probes found stale. Contenders that
// judged the same file stale take turns through the breaker file; each one
// looks again before it moves anything, so a slow contender never removes the
// fresh lock that a faster one has just created. A contender that finds the
// breaker held by a live contender gets ELOCKED.
int32_t take_over(ov_lockfile_t *handle, int32_t expiration, const ov_stat_t &judged) {
    OV_LOG(kLogTrace, "_fs_age_stale: File is stale");
    OV_LOG(kLogInfo, "Lock file is stale, taking over.");
    const uint32_t delay = g_test_takeover_delay_ms.load(std::memory_order_relaxed);
    if (delay != 0) sleep_full_interval(delay);

    char breaker[kPathSize];
    char breaker_record[kRecordSize];
    char breaker_uuid[OV_UUID_TEXT_LEN + 1];
    format_record(breaker_record, static_cast<int32_t>(getpid()), breaker_uuid);
    int32_t rc = name_beside(breaker, handle->path, kBreakerSuffix);
    if (rc == 0) rc = claim_breaker(handle, breaker, breaker_record, expiration);
    if (rc == EEXIST) rc = ELOCKED;
    if (rc == 0) {
        rc = replace_stale_lock(handle, judged);
        drop_breaker(breaker, breaker_record);
        if (rc == 0 || rc == ELOCKED) return rc;
    }
    if (rc == ELOCKED) {
        OV_LOG(kLogInfo, "Another process is taking over %s", handle->path);
    } else {
        OV_LOG(kLogError, "Failed to delete lockfile %s err=%d", handle->path, rc);
    }
    return rc;
}

// Step D: writes this acquisition's record into a new lock file.
int32_t write_lock(ov_lockfile_t *handle) {
    handle->holder_pid = static_cast<int32_t>(getpid());
    format_record(handle->content, handle->holder_pid, handle->holder_uuid);
    const int32_t rc =
        create_exclusive(handle->path, handle->content, std::strlen(handle->content));
    if (rc != 0) {
        OV_LOG(kLogError, "Failed to write lock file err=%d", rc);
        return rc;
    }
    set_locked(handle, 1);
    return 0;
}

// The stop sequence of the keep-alive worker. The worker holds the mutex at
// all times except inside its timed wait, so taking it here waits until the
// worker is waiting (or finished); the signal then wakes it, and it sees the
// stop request as soon as it has the mutex again.
void stop_worker(ov_lockfile_t *handle) {
    set_worker_running(handle, 0);
    stop_flag(handle).store(1, std::memory_order_release);
    {
        const MutexLock lock(&handle->worker_mutex);
        ov_cond_signal(&handle->worker_cond);
    }
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

    int32_t rc = read_lockfile(handle->path, 0, handle->last_seen);
    if (rc == ENOENT) {
        rc = make_parent_directory(handle);
        if (rc != 0) return rc;
    } else if (rc == 0 || rc == ELOCKINVAL) {
        ov_stat_t judged{};
        rc = judge_age(handle, expiration_seconds, &judged);
        if (rc != 0) return rc;
        return take_over(handle, expiration_seconds, judged);
    } else {
        OV_LOG(kLogError, "Failed to read lock file err=%d", rc);
        return rc;
    }
    return write_lock(handle);
}

int32_t ov_lockfile_release(ov_lockfile_t *handle) noexcept {
    if (handle == nullptr) return EINVAL;
    if (handle->worker_running) stop_worker(handle);
    if (!handle->locked) return 0;

    char record[kReadBufferSize];
    int32_t rc = read_lockfile(handle->path, 0, record);
    if (rc != 0) {
        OV_LOG(kLogError, "Unable to check lock file before release %s err=%d", handle->path, rc);
        return rc;
    }
    if (std::strcmp(record, handle->content) != 0) {
        OV_LOG(kLogError, "Lockfile was taken over by another process: %s", record);
        return ELOCKED;
    }
    rc = ov_file_delete(handle->path);
    if (rc != 0) {
        OV_LOG(kLogError, "Failed to delete lockfile %s err=%d", handle->path, rc);
        return rc;
    }
    set_locked(handle, 0);
    return 0;
}

// The same path, probe and age test as an acquisition, without its
// consequences: no directory is made, no stale file moved, no lock written.
// A file that vanishes between the read and the probe was released
// meanwhile, and the lock is free.
int32_t ov_lockfile_inspect(const char *name, int32_t expiration_seconds,
                            ov_lockfile_info_t *info) noexcept {
    if (name == nullptr || info == nullptr || name[0] == '\0' || expiration_seconds < 2)
        return EINVAL;
    if (last_component_length(name) + sizeof kLockSuffix - 1 + kTempSuffixLength > kNameMax)
        return EPATHMAX;
    char path[kPathSize];
    if (name_beside(path, name, kLockSuffix) != 0) return EBUFFER;

    std::memset(info, 0, sizeof *info);
    int32_t rc = read_lockfile(path, 0, info->record);
    if (rc == ELOCKINVAL) rc = 0;
    if (rc == ENOENT) {
        info->state = OV_LOCKFILE_FREE;
        return 0;
    }
    if (rc != 0) return rc;

    ov_stat_t status{};
    int64_t age = 0;
    rc = judge_lock_age(path, expiration_seconds, &status, &age);
    if (rc == ENOENT) {
        info->record[0] = '\0';
        info->state = OV_LOCKFILE_FREE;
        return 0;
    }
    switch (rc) {
        case 0:
            info->state = OV_LOCKFILE_STALE;
            break;
        case ELOCKED:
            info->state = OV_LOCKFILE_HELD;
            break;
        case ELOCKSKEW:
            info->state = OV_LOCKFILE_SKEWED;
            break;
        default:
            return rc;
    }
    info->age_seconds = age;
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
        case EFILENOTVALID:
            text = "lock file is not a regular file";
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

}  // extern "C"

// ---- Keep-alive worker ----------------------------------------------------------------------

namespace {

// The thread body. It holds worker_mutex from start to end except inside its
// timed waits, so a stop request can never fall between its check of
// stop_requested and its wait.
void *keep_alive_worker(void *arg) noexcept {
    auto *handle = static_cast<ov_lockfile_t *>(arg);
    OV_LOG(kLogDebug, "Lockfile worker thread started");
    {
        const MutexLock lock(&handle->worker_mutex);
        int failures = 0;
        char record[kReadBufferSize];
        const ov_timeval_t period = refresh_period();
        while (stop_flag(handle).load(std::memory_order_acquire) == 0) {
            const int32_t rc = read_lockfile(handle->path, 1, record);
            if (rc == 0) {
                if (std::strcmp(record, handle->content) != 0) {
                    OV_LOG(kLogError, "Lockfile was taken over by another process: %s", record);
                    // last_seen is complete before lost is published; the
                    // owner reads it only after it has seen lost set.
                    size_t pos = 0;
                    ov_str_to(handle->last_seen, record, kRecordSize - 1, &pos);
                    lost_flag(handle).store(1, std::memory_order_release);
                    break;
                }
                ov_cond_timedwait(&handle->worker_cond, &period);
                failures = 0;
                continue;
            }

            OV_LOG(kLogError, "Unable to update lock file %s err=%d count=%d", handle->path, rc,
                   failures);
            ++failures;
            ov_cond_timedwait(&handle->worker_cond, &period);
            if (failures >= kRefreshFailureLimit) {
                OV_LOG(kLogError, "Unable to update lock file");
                lost_flag(handle).store(1, std::memory_order_release);
                break;
            }
        }
    }
    OV_LOG(kLogDebug, "Lockfile worker thread finished");
    return nullptr;
}

}  // namespace

extern "C" {

int32_t ov_lockfile_start_worker(ov_lockfile_t *handle) noexcept {
    if (handle == nullptr) {
        OV_LOG(kLogError, "Invalid lock structure");
        return EINVAL;
    }
    if (!handle->locked) {
        OV_LOG(kLogError, "Lockfile is not locked by me");
        return EINVAL;
    }
    if (handle->worker_running) {
        OV_LOG(kLogError, "Lockfile worker is already running");
        return EINVAL;
    }

    // A handle whose earlier release failed still carries the old stop request.
    stop_flag(handle).store(0, std::memory_order_relaxed);
    ov_mutex_init(&handle->worker_mutex);
    ov_cond_init(&handle->worker_cond, &handle->worker_mutex);
    const int32_t rc = ov_thread_spawn(&handle->worker_thread, keep_alive_worker, handle);
    if (rc != 0) {
        OV_LOG(kLogError, "Failed to spawn thread for lock file updating err=%d", rc);
        // Nobody would refresh the lock: give it up at once.
        ov_file_delete(handle->path);
        ov_cond_destroy(&handle->worker_cond);
        ov_mutex_destroy(&handle->worker_mutex);
        return rc;
    }
    set_worker_running(handle, 1);
    return 0;
}

void ov_lockfile_set_test_timing(uint32_t probe_gap_ms, uint32_t refresh_ms,
                                 uint32_t takeover_delay_ms) {
    g_test_probe_gap_ms.store(probe_gap_ms, std::memory_order_relaxed);
    g_test_refresh_ms.store(refresh_ms, std::memory_order_relaxed);
    g_test_takeover_delay_ms.store(takeover_delay_ms, std::memory_order_relaxed);
}

int32_t ov_lockfile_acquire_continuous(ov_lockfile_t *handle, const char *name,
                                       int32_t expiration_seconds) noexcept {
    int32_t rc = ov_lockfile_acquire(handle, name, expiration_seconds);
    if (rc != 0) {
        OV_LOG(kLogError, "Unable to acquire lockfile (err=%d)", rc);
        return rc;
    }
    rc = ov_lockfile_start_worker(handle);
    if (rc != 0) {
        OV_LOG(kLogError, "Unable to acquire continuous lock (err=%d)", rc);
        return rc;
    }
    return 0;
}

}  // extern "C"
