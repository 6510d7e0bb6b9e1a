// ovfile.cpp - file handles and file operations over the POSIX calls.
//
// Every other module reaches the file system through this one: handles
// opened in a few fixed ways, one-shot and positioned transfers, seek, the
// library's own status record, links, ownership, permissions and time stamps,
// stdio streams, a few path-string helpers and a whole-file copy. Results are
// the host's errno unchanged or one of the library's codes. Nothing here
// retries after EINTR or loops over a short transfer, except the copy: the
// caller decides. Directory work lives in ovdir and lexical path work in
// ovpath.
//
// Divisions: handles and transfers; status and tests; names and links;
// ownership, permissions and times; streams; path strings; copy.
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovstring.h>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#define OV_LOG_SOURCE "base/ovplatform/src/ovfile"
#include "internal/account.h"
#include "internal/allocation.h"
#include "internal/limits.h"
#include "internal/log.h"
#include "internal/raii.h"

namespace {

using namespace ov::detail;

// The bits without an open(2) counterpart on this platform; the fixed
// openers set them so that their flag values match the other platforms.
constexpr uint32_t kFlagPlatform1 = 0x010;
constexpr uint32_t kFlagPlatform2 = 0x020;

// The mode value with which ov_file_open_rw opens only an existing file.
constexpr uint32_t kOpenExistingMode = 7;

constexpr int kMaxLinks = 20;
constexpr size_t kCopyBlock = 4096;
// The most that one sendfile(2) call moves on Linux.
constexpr int64_t kSendfileChunk = 0x7FFFF000;

constexpr uint32_t kNoId = 0xFFFFFFFFu;

int open_flags(uint32_t flags) {
    int result;
    if (flags & OV_FILE_READ)
        result = (flags & OV_FILE_WRITE) ? O_RDWR : O_RDONLY;
    else
        result = (flags & OV_FILE_WRITE) ? O_WRONLY : O_RDONLY;
    // Spelled out although it is implied on 64-bit hosts: every file of
    // this library is opened with 64-bit offsets.
    result |= O_LARGEFILE;
    if (flags & OV_FILE_APPEND) result |= O_APPEND;
    if (flags & OV_FILE_CREATE) result |= O_CREAT;
    if (flags & OV_FILE_TRUNCATE) result |= O_TRUNC;
    if (flags & OV_FILE_DIRECT) result |= O_DIRECT;
    if (flags & OV_FILE_DSYNC) result |= O_DSYNC;
    return result;
}

uint32_t type_code(uint32_t mode) {
    switch (mode & 0xF000u) {
        case 0x4000u:
            return OV_FILE_TYPE_DIR;
        case 0x8000u:
            return OV_FILE_TYPE_REG;
        case 0x2000u:
            return OV_FILE_TYPE_CHR;
        case 0x6000u:
            return OV_FILE_TYPE_BLK;
        case 0x1000u:
            return OV_FILE_TYPE_FIFO;
        case 0xC000u:
            return OV_FILE_TYPE_SOCK;
        case 0xA000u:
            return OV_FILE_TYPE_LINK;
        default:
            return OV_FILE_TYPE_OTHER;
    }
}

bool mode_type_is(uint32_t mode, uint32_t bits) {
    return ((mode & 0xFFFFu) & 0xF000u) == bits;
}

// Both set_times variants build their -2 replacements from a status read.
int32_t set_times_follow(const char *path, int64_t mtime, int64_t atime) {
    if (mtime == OV_FILE_TIME_KEEP && atime == OV_FILE_TIME_KEEP) return 0;
    if (mtime == OV_FILE_TIME_NOW || atime == OV_FILE_TIME_NOW) {
        if (utime(path, nullptr) != 0) return errno;
        return 0;
    }
    if (mtime == OV_FILE_TIME_KEEP || atime == OV_FILE_TIME_KEEP) {
        struct stat st;
        if (stat(path, &st) != 0) return errno;
        if (mtime == OV_FILE_TIME_KEEP) mtime = st.st_mtime;
        if (atime == OV_FILE_TIME_KEEP) atime = st.st_atime;
    }
    struct utimbuf times;
    times.actime = static_cast<time_t>(atime);
    times.modtime = static_cast<time_t>(mtime);
    if (utime(path, &times) != 0) return errno;
    return 0;
}

int32_t chown_if_needed(const ov_file_owner_t *owner, const char *path, bool follow) {
    if (owner == nullptr || path == nullptr) return EINVAL;
    struct stat st;
    int rc = follow ? stat(path, &st) : lstat(path, &st);
    if (rc == 0 && (owner->uid == kNoId || owner->uid == st.st_uid) &&
        (owner->gid == kNoId || owner->gid == st.st_gid))
        return 0;
    // A failed status read still ends in the system call, so that the
    // caller gets the system's own verdict on the path.
    rc = follow ? chown(path, owner->uid, owner->gid) : lchown(path, owner->uid, owner->gid);
    if (rc != 0) return errno;
    return 0;
}

int32_t open_stream(const char *path, FILE **stream, const char *mode) {
    if (stream == nullptr) return EINVAL;
    *stream = fopen(path, mode);
    if (*stream == nullptr) return errno;
    return 0;
}

// The user-space half of ov_copy_file, for files the kernel refuses to move
// with sendfile(2) (some pseudo and network file systems).
int32_t copy_user_mode(ov_file_t *in, ov_file_t *out) {
    ov_file_seek(in, 0, SEEK_SET);
    ov_file_seek(out, 0, SEEK_SET);
    char block[kCopyBlock];
    for (;;) {
        uint64_t got = 0;
        int32_t rc = ov_fileread(in, block, sizeof block, &got);
        if (rc != 0) return rc;
        if (got == 0) return 0;
        uint64_t done = 0;
        while (done < got) {
            uint64_t written = 0;
            rc = ov_file_write(out, block + done, got - done, &written);
            if (rc != 0) return rc;
            done += written;
        }
    }
}

}  // namespace

extern "C" {

// ---- Handles and data transfer ---------------------------------------------

int32_t ov_file_init(ov_file_t *file) noexcept {
    if (file == nullptr) return EINVAL;
    *file = -1;
    return 0;
}

int32_t ov_file_open(const char *path, ov_file_t *file, uint32_t flags, uint32_t mode) noexcept {
    if (file == nullptr) return EINVAL;
    int fd = open(path, open_flags(flags), static_cast<mode_t>(mode));
    if (fd < 0) {
        int err = errno;
        *file = -1;
        return err;
    }
    *file = fd;
    return 0;
}

int32_t ov_file_open_read(const char *path, ov_file_t *file) noexcept {
    return ov_file_open(path, file, OV_FILE_READ | kFlagPlatform1, 0);
}

int32_t ov_file_create(const char *path, ov_file_t *file, uint32_t mode) noexcept {
    return ov_file_open(
        path, file,
        OV_FILE_WRITE | OV_FILE_CREATE | OV_FILE_TRUNCATE | kFlagPlatform1 | kFlagPlatform2, mode);
}

int32_t ov_file_open_append(const char *path, ov_file_t *file, uint32_t mode) noexcept {
    return ov_file_open(
        path, file,
        OV_FILE_WRITE | OV_FILE_APPEND | OV_FILE_CREATE | kFlagPlatform1 | kFlagPlatform2, mode);
}

int32_t ov_file_open_rw(const char *path, ov_file_t *file, uint32_t mode) noexcept {
    uint32_t flags = OV_FILE_READ | OV_FILE_WRITE | kFlagPlatform1 | kFlagPlatform2;
    // Mode 7 is no sensible permission set for a new file; callers pass it
    // to say "the file must already exist", so O_CREAT is left out.
    if (mode != kOpenExistingMode) flags |= OV_FILE_CREATE;
    return ov_file_open(path, file, flags, mode);
}

int32_t ov_file_close(ov_file_t *file) noexcept {
    if (file == nullptr) return EINVAL;
    if (*file == -1) return 0;
    // Linux releases the descriptor even when close(2) fails, EINTR
    // included. Keeping it for a retry would close whatever file the number
    // is given to next, possibly in another thread, so the handle is
    // cleared whatever the result.
    const int fd = *file;
    *file = -1;
    if (close(fd) != 0) return errno;
    return 0;
}

int32_t ov_file_sync(ov_file_t *file) noexcept {
    if (file == nullptr || *file == -1) return EINVAL;
    if (fdatasync(*file) != 0) return errno;
    return 0;
}

int ov_file_is_open(const ov_file_t *file) noexcept {
    return (file != nullptr && *file != -1) ? 1 : 0;
}

int32_t ov_file_fd(const ov_file_t *file) noexcept {
    return file == nullptr ? -1 : *file;
}

int32_t ov_file_stdin(ov_file_t *file) noexcept {
    if (file == nullptr) return EINVAL;
    *file = STDIN_FILENO;
    return 0;
}

int32_t ov_file_stdout(ov_file_t *file) noexcept {
    if (file == nullptr) return EINVAL;
    *file = STDOUT_FILENO;
    return 0;
}

int32_t ov_file_stderr(ov_file_t *file) noexcept {
    if (file == nullptr) return EINVAL;
    *file = STDERR_FILENO;
    return 0;
}

int32_t ov_fileread(ov_file_t *file, void *buffer, size_t size, uint64_t *count) noexcept {
    if (file == nullptr) return EINVAL;
    ssize_t n = read(*file, buffer, size);
    if (n < 0) {
        int err = errno;
        OV_LOG(kLogError, "ov_fileread: read failed. error=%d", err);
        if (count != nullptr) *count = 0;
        return err;
    }
    if (count != nullptr) *count = static_cast<uint64_t>(n);
    return 0;
}

int32_t ov_file_write(ov_file_t *file, const void *data, size_t length, uint64_t *count) noexcept {
    if (file == nullptr) return EINVAL;
    ssize_t n = write(*file, data, length);
    if (n < 0) {
        int err = errno;
        if (count != nullptr) *count = 0;
        return err;
    }
    if (count != nullptr) *count = static_cast<uint64_t>(n);
    return 0;
}

int32_t ov_file_pread(ov_file_t *file, void *buffer, size_t size, int64_t offset,
                      uint64_t *count) noexcept {
    if (count != nullptr) *count = 0;
    if (file == nullptr) return EINVAL;
    ssize_t n = pread(*file, buffer, size, static_cast<off_t>(offset));
    if (n < 0) return errno;
    if (count != nullptr) *count = static_cast<uint64_t>(n);
    return 0;
}

int32_t ov_file_pwrite(ov_file_t *file, const void *data, size_t length, int64_t offset,
                       uint64_t *count) noexcept {
    if (count != nullptr) *count = 0;
    if (file == nullptr) return EINVAL;
    ssize_t n = pwrite(*file, data, length, static_cast<off_t>(offset));
    if (n < 0) return errno;
    if (count != nullptr) *count = static_cast<uint64_t>(n);
    return 0;
}

int32_t ov_file_seek(ov_file_t *file, uint64_t offset, int whence) noexcept {
    if (file == nullptr) return EINVAL;
    if (lseek(*file, static_cast<off_t>(offset), whence) == static_cast<off_t>(-1)) {
        int err = errno;
        OV_LOG(kLogError, "ov_file_seek: seek to %llu failed. error=%d",
               static_cast<unsigned long long>(offset), err);
        return err;
    }
    return 0;
}

int32_t ov_file_truncate(ov_file_t *file, int64_t length) noexcept {
    if (file == nullptr) return EINVAL;
    if (ftruncate(*file, static_cast<off_t>(length)) != 0) return errno;
    return 0;
}

// ---- Status and tests --------------------------------------------------------

int32_t ov_file_stat(const char *path, ov_stat_t *status, uint32_t flags) noexcept {
    struct stat st;
    int rc = (flags & OV_STAT_NOFOLLOW) ? lstat(path, &st) : stat(path, &st);
    if (rc != 0) return errno;
    ov_file_setstat(status, &st);
    return 0;
}

int32_t ov_file_fstat(ov_file_t *file, ov_stat_t *status) noexcept {
    if (file == nullptr) return EINVAL;
    struct stat st;
    if (fstat(*file, &st) != 0) return errno;
    ov_file_setstat(status, &st);
    return 0;
}

void ov_file_setstat(ov_stat_t *status, const struct stat *system_status) noexcept {
    if (status == nullptr || system_status == nullptr) {
        OV_LOG(kLogTrace, "ov_file_setstat called with null pointer.");
        return;
    }
    std::memset(status, 0, sizeof *status);
    status->ino = static_cast<uint64_t>(system_status->st_ino);
    status->size = static_cast<int64_t>(system_status->st_size);
    status->mode = static_cast<uint32_t>(system_status->st_mode);
    status->type = type_code(status->mode);
    status->uid = static_cast<uint32_t>(system_status->st_uid);
    status->gid = static_cast<uint32_t>(system_status->st_gid);
    status->ctime = static_cast<int64_t>(system_status->st_ctime);
    status->mtime = static_cast<int64_t>(system_status->st_mtime);
    status->atime = static_cast<int64_t>(system_status->st_atime);
    status->nlink = static_cast<uint32_t>(system_status->st_nlink);
}

int ov_file_exists(const char *path, uint32_t flags) noexcept {
    ov_stat_t st;
    return ov_file_stat(path, &st, flags) == 0 ? 1 : 0;
}

int32_t ov_file_access(const char *path, int mode) noexcept {
    if (access(path, mode) != 0) return errno;
    return 0;
}

int ov_mode_is_dir(uint32_t mode) noexcept {
    return mode_type_is(mode, 0x4000u);
}
int ov_mode_is_reg(uint32_t mode) noexcept {
    return mode_type_is(mode, 0x8000u);
}
int ov_mode_is_chr(uint32_t mode) noexcept {
    return mode_type_is(mode, 0x2000u);
}
int ov_mode_is_blk(uint32_t mode) noexcept {
    return mode_type_is(mode, 0x6000u);
}
int ov_mode_is_fifo(uint32_t mode) noexcept {
    return mode_type_is(mode, 0x1000u);
}
int ov_mode_is_sock(uint32_t mode) noexcept {
    return mode_type_is(mode, 0xC000u);
}
int ov_mode_is_link(uint32_t mode) noexcept {
    return mode_type_is(mode, 0xA000u);
}

int32_t ov_file_mode_string(const ov_stat_t *status, char *out, size_t size) noexcept {
    if (status == nullptr || out == nullptr) return EINVAL;
    if (size <= 10) return EBUFFER;
    char type = '-';
    switch (status->type) {
        case OV_FILE_TYPE_DIR:
            type = 'd';
            break;
        case OV_FILE_TYPE_CHR:
            type = 'c';
            break;
        case OV_FILE_TYPE_BLK:
            type = 'b';
            break;
        case OV_FILE_TYPE_FIFO:
            type = 'f';
            break;
        case OV_FILE_TYPE_SOCK:
            type = 's';
            break;
        case OV_FILE_TYPE_LINK:
            type = 'l';
            break;
        default:
            break;
    }
    out[0] = type;
    static constexpr char kLetters[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        uint32_t bit = 0400u >> i;
        out[1 + i] = (status->mode & bit) ? kLetters[i] : '-';
    }
    out[10] = '\0';
    return 0;
}

// ---- Names and links -----------------------------------------------------------

int32_t ov_file_delete(const char *path) noexcept {
    if (unlink(path) != 0) return errno;
    return 0;
}

int32_t ov_file_rename(const char *old_path, const char *new_path) noexcept {
    if (rename(old_path, new_path) != 0) return errno;
    return 0;
}

int32_t ov_file_link(const char *existing_path, const char *new_path) noexcept {
    if (link(existing_path, new_path) != 0) return errno;
    return 0;
}

int32_t ov_file_symlink(const char *target, const char *link_path) noexcept {
    if (symlink(target, link_path) != 0) return errno;
    return 0;
}

int32_t ov_file_readlink(const char *path, char *out, size_t size) noexcept {
    if (size == 0) return EBUFFER;
    // readlink(2) gets the whole buffer: a count that fills it means the
    // text did not fit with its NUL, which is reported instead of handing a
    // cut path back as if it were the link's target.
    ssize_t n = readlink(path, out, size);
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (static_cast<size_t>(n) >= size) {
        out[size - 1] = '\0';
        return EBUFFER;
    }
    out[n] = '\0';
    return 0;
}

int32_t ov_file_resolve_links(const char *path, char *out, size_t size) noexcept {
    if (path == nullptr || out == nullptr) return EINVAL;
    char work[kPathSize];
    size_t length = strnlen(path, kPathSize);
    if (length >= kPathSize) return EPATHMAX;
    std::memcpy(work, path, length + 1);
    for (int i = 0; i < kMaxLinks; ++i) {
        int32_t rc = ov_file_readlink(work, out, size);
        if (rc != 0) return rc;
        struct stat st;
        if (lstat(out, &st) != 0) {
            int err = errno;
            // A dangling final target is still the end of the chain.
            return err == ENOENT ? 0 : err;
        }
        if (!S_ISLNK(st.st_mode)) return 0;
        length = strnlen(out, kPathSize);
        if (length >= kPathSize) return EPATHMAX;
        std::memcpy(work, out, length + 1);
    }
    return EPATHMAX;
}

int32_t ov_file_realpath(const char *path, char *out, size_t size) noexcept {
    if (out == nullptr || size == 0) return EINVAL;
    const std::unique_ptr<char, FreeDeleter> resolved(realpath(path, nullptr));
    if (resolved == nullptr) return errno;
    return ov_str_copy(out, resolved.get(), size);
}

// ---- Ownership, permissions and times ---------------------------------------------

int32_t ov_file_owner_create(const char *user, const char *group,
                             ov_file_owner_t **owner) noexcept {
    if (owner == nullptr) return EINVAL;
    Created<ov_file_owner_t> record(create<ov_file_owner_t>());
    if (record == nullptr) return ENOMEM;
    record->uid = kNoId;
    record->gid = kNoId;
    if (user != nullptr) {
        UserEntry entry;
        const int32_t rc = find_user_by_name(user, &entry);
        if (rc != 0 || entry.get() == nullptr) return rc != 0 ? rc : EUNAME;
        record->uid = static_cast<uint32_t>(entry.get()->pw_uid);
    }
    // A group name beginning with '-' is how callers spell "no group" on
    // command lines, so it leaves the group alone like a missing name.
    if (group != nullptr && group[0] != '-') {
        GroupEntry entry;
        const int32_t rc = find_group_by_name(group, &entry);
        if (rc != 0 || entry.get() == nullptr) return rc != 0 ? rc : ENOENT;
        record->gid = static_cast<uint32_t>(entry.get()->gr_gid);
    }
    *owner = record.release();
    return 0;
}

int32_t ov_file_owner_free(ov_file_owner_t **owner) noexcept {
    if (owner == nullptr) return 0;
    destroy(*owner);
    *owner = nullptr;
    return 0;
}

int32_t ov_file_chown(const ov_file_owner_t *owner, const char *path) noexcept {
    return chown_if_needed(owner, path, true);
}

int32_t ov_file_lchown(const ov_file_owner_t *owner, const char *path) noexcept {
    return chown_if_needed(owner, path, false);
}

int32_t ov_file_chown_names(const char *path, const char *user, const char *group) noexcept {
    ov_file_owner_t *owner = nullptr;
    int32_t rc = ov_file_owner_create(user, group, &owner);
    if (rc != 0) return rc;
    rc = ov_file_chown(owner, path);
    int32_t freed = ov_file_owner_free(&owner);
    return rc != 0 ? rc : freed;
}

int32_t ov_file_chmod(const char *path, uint32_t mode) noexcept {
    // Callers use this for best-effort permission fixes; a failure is
    // deliberately not reported.
    (void)chmod(path, static_cast<mode_t>(mode));
    return 0;
}

int32_t ov_umask(uint32_t mask, uint32_t *old_mask) noexcept {
    mode_t previous = umask(static_cast<mode_t>(mask));
    if (old_mask != nullptr) *old_mask = static_cast<uint32_t>(previous);
    return 0;
}

int32_t ov_file_set_times(const char *path, int64_t mtime, int64_t atime) noexcept {
    return set_times_follow(path, mtime, atime);
}

int32_t ov_file_lset_times(const char *path, int64_t mtime, int64_t atime) noexcept {
    if (mtime == OV_FILE_TIME_KEEP && atime == OV_FILE_TIME_KEEP) return 0;
    struct stat st;
    if (lstat(path, &st) != 0) return errno;
    if (!S_ISLNK(st.st_mode)) return set_times_follow(path, mtime, atime);
    if (mtime == OV_FILE_TIME_NOW || atime == OV_FILE_TIME_NOW) {
        if (lutimes(path, nullptr) != 0) return errno;
        return 0;
    }
    if (mtime == OV_FILE_TIME_KEEP) mtime = st.st_mtime;
    if (atime == OV_FILE_TIME_KEEP) atime = st.st_atime;
    struct timeval times[2];
    times[0].tv_sec = static_cast<time_t>(atime);
    times[0].tv_usec = 0;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_usec = 0;
    if (lutimes(path, times) != 0) return errno;
    return 0;
}

int32_t ov_file_set_time(const char *path, int64_t time) noexcept {
    return ov_file_set_times(path, time, time);
}

// ---- Streams ---------------------------------------------------------------------

int32_t ov_file_fopen_read(const char *path, FILE **stream) noexcept {
    return open_stream(path, stream, "r");
}

int32_t ov_file_fopen_write(const char *path, FILE **stream) noexcept {
    return open_stream(path, stream, "w");
}

int32_t ov_file_fclose(FILE **stream) noexcept {
    if (stream == nullptr) return EINVAL;
    if (*stream == nullptr) return EBADF;
    int rc = fclose(*stream);
    // fclose(3) releases the stream even when it fails; keeping the pointer
    // would invite a second fclose on freed memory.
    *stream = nullptr;
    return rc == 0 ? 0 : EBADF;
}

// ---- Path strings ------------------------------------------------------------------

int32_t ov_file_path_join(const char *dir, const char *name, char *out, size_t size) noexcept {
    if (dir == nullptr || name == nullptr || out == nullptr) return EINVAL;
    // Even an empty result needs its NUL; a buffer without room cannot hold
    // any join, so it is refused rather than reported as a success.
    if (size == 0) return EBUFFER;
    size_t name_length = std::strlen(name);
    size_t dir_length = std::strlen(dir);
    if (dir_length == 0) {
        size_t slash = name[0] == '/' ? 0 : 1;
        if (slash + name_length + 1 > size) return EBUFFER;
        std::memmove(out + slash, name, name_length + 1);
        if (slash) out[0] = '/';
        return 0;
    }
    size_t separator = dir[dir_length - 1] == '/' ? 0 : 1;
    if (dir_length + separator + name_length + 1 > size) return EBUFFER;
    // The name goes to its place first: when out is dir itself the
    // directory text is already where it belongs.
    std::memmove(out + dir_length + separator, name, name_length + 1);
    if (out != dir) std::memmove(out, dir, dir_length);
    if (separator) out[dir_length] = '/';
    return 0;
}

int32_t ov_file_basename(const char *path, const char **base) noexcept {
    if (path == nullptr || base == nullptr) return EINVAL;
    const char *slash = std::strrchr(path, '/');
    if (slash != nullptr) {
        if (slash[1] == '\0') {
            *base = nullptr;
            return EBASENAME;
        }
        *base = slash + 1;
        return 0;
    }
    if (path[0] == '\0') {
        *base = nullptr;
        return EBASENAME;
    }
    *base = path;
    return 0;
}

int32_t ov_file_dirname(char *path) noexcept {
    if (path == nullptr || path[0] == '\0') return 0;
    char *part = path;
    bool trim_trailing = true;
    if (path[0] == '/') {
        part = path + 1;
        // A leading "//" may name a network root; its slashes stay.
        if (path[1] == '/') trim_trailing = false;
    } else if (path[0] == '.' && path[1] == '/') {
        part = path + 2;
    } else if (std::strchr(path, '/') == nullptr) {
        path[0] = '.';
        path[1] = '\0';
        return 0;
    }
    size_t length = std::strlen(part);
    if (trim_trailing)
        while (length > 0 && part[length - 1] == '/') --length;
    size_t last = length;
    for (size_t i = length; i > 1; --i) {
        if (part[i - 1] == '/') {
            last = i - 1;
            break;
        }
    }
    if (last == length) {
        // No '/' after the first character: nothing of the part remains.
        length = 0;
    } else {
        length = last;
        while (length > 0 && part[length - 1] == '/') --length;
    }
    part[length] = '\0';
    // A relative path that loses its only component ("a/") still names a
    // directory: the current one.
    if (path[0] == '\0') {
        path[0] = '.';
        path[1] = '\0';
    }
    return 0;
}

int32_t ov_file_path_within(const char *dir, const char *path) noexcept {
    if (dir == nullptr || path == nullptr) return EINVAL;
    size_t dir_length = std::strlen(dir);
    size_t path_length = std::strlen(path);
    if (dir_length < path_length) {
        // An empty directory text names no directory at all.
        if (dir_length == 0) return EPATHMATCH;
        if (std::memcmp(dir, path, dir_length) != 0) return EPATHMATCH;
        if (dir[dir_length - 1] == '/' || path[dir_length] == '/') return 0;
        return EPATHMATCH;
    }
    if (dir_length == path_length && std::memcmp(dir, path, dir_length) == 0) return 0;
    return EPATHMATCH;
}

// ---- Copy ----------------------------------------------------------------------------

int32_t ov_copy_file(const char *source, const char *destination, uint32_t mode) noexcept {
    ov_file_t in = -1;
    int32_t rc = ov_file_open_read(source, &in);
    if (rc != 0) return rc;
    // Every exit path from here on gives both descriptors back.
    const FdCloser close_in(in);
    ov_file_t out = -1;
    rc = ov_file_create(destination, &out, mode);
    if (rc != 0) return rc;
    const FdCloser close_out(out);
    ov_stat_t status;
    rc = ov_file_stat(source, &status, 0);
    if (rc != 0) return rc;
    // The size is taken once: data appended during the copy is not copied.
    // Pseudo-files and pipes report a size of 0 whatever they hold, so a
    // size of 0 is no promise either way: such a source is copied until it
    // reports its end, and an empty file simply ends at once.
    const int64_t size = status.size;
    const bool sized = size > 0;
    off_t offset = 0;
    while (!sized || offset < size) {
        size_t chunk = static_cast<size_t>(sized ? std::min<int64_t>(size - offset, kSendfileChunk)
                                                 : kSendfileChunk);
        ssize_t sent = sendfile(out, in, &offset, chunk);
        if (sent > 0) continue;
        if (sent == 0 && !sized) break;
        if (offset == 0) {
            // Refused before the first byte: the kernel cannot copy between
            // these two files, so the data goes through user space instead.
            OV_LOG(kLogDebug, "sendfile() rejected.  Falling back to user mode copy.");
            return copy_user_mode(&in, &out);
        }
        if (sent == 0) {
            OV_LOG(kLogDebug, "ov_copy_file():  Premature EOF");
            rc = EBUFFER;
        } else {
            rc = errno;
        }
        OV_LOG(kLogInfo, "sendfile() failed with %d", rc);
        return rc;
    }
    OV_LOG(kLogDebug, "sendfile() succeeded");
    return 0;
}

}  // extern "C"
