/* ovfile.h - file handles and file operations.
 *
 * A file handle is a caller-owned descriptor, -1 when closed. Every
 * operation returns 0 or the host's errno unchanged (or a library code where
 * its comment says so). Nothing retries after EINTR or loops over a short
 * read or write unless its comment says so.
 */
#ifndef OVPLATFORM_OVFILE_H
#define OVPLATFORM_OVFILE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <ovplatform/ovexport.h>

typedef int32_t ov_file_t;

/* Open flags, translated to open(2) flags by ov_file_open. */
#define OV_FILE_READ 0x001u
#define OV_FILE_WRITE 0x002u
#define OV_FILE_APPEND 0x004u
#define OV_FILE_CREATE 0x100u
#define OV_FILE_TRUNCATE 0x200u
#define OV_FILE_DIRECT 0x400u
#define OV_FILE_DSYNC 0x800u

/* Type codes of ov_stat_t.type. */
#define OV_FILE_TYPE_DIR 1u
#define OV_FILE_TYPE_REG 2u
#define OV_FILE_TYPE_CHR 3u
#define OV_FILE_TYPE_BLK 4u
#define OV_FILE_TYPE_FIFO 5u
#define OV_FILE_TYPE_SOCK 6u
#define OV_FILE_TYPE_LINK 7u
#define OV_FILE_TYPE_OTHER 0xFFFFu

/* Flag bit of ov_file_stat and ov_file_exists: describe a final symbolic
 * link itself instead of its target. */
#define OV_STAT_NOFOLLOW 0x1u

/* The library's own record of a file's status; times in whole seconds. */
typedef struct ov_stat {
    uint64_t ino;
    int64_t size;
    uint32_t type;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    int64_t ctime;
    int64_t mtime;
    int64_t atime;
    uint32_t nlink;
} ov_stat_t;

OV_EXTERN_C_BEGIN

/* @return 0; EINVAL for a null handle. Stores -1. */
OV_API int32_t ov_file_init(ov_file_t *file) OV_NOEXCEPT;

/* The common opener: translates flags and calls open(2) with mode.
 * @return 0 with the descriptor in *file, or errno with *file = -1. */
OV_API int32_t ov_file_open(const char *path, ov_file_t *file, uint32_t flags,
                            uint32_t mode) OV_NOEXCEPT;

/* Read-only. @return as ov_file_open. */
OV_API int32_t ov_file_open_read(const char *path, ov_file_t *file) OV_NOEXCEPT;

/* Read-write, creating the file with mode; mode 7 opens only an existing
 * file (ENOENT when missing). @return as ov_file_open. */
OV_API int32_t ov_file_open_rw(const char *path, ov_file_t *file, uint32_t mode) OV_NOEXCEPT;

/* @return 0 (also for a handle of -1, without a system call); EINVAL for a
 * null handle; errno when close(2) fails (the handle is then kept). */
OV_API int32_t ov_file_close(ov_file_t *file) OV_NOEXCEPT;

/* One read(2) of at most size bytes; *count is 0 at end of file.
 * @return 0 or errno (logged at level 1, *count = 0). */
OV_API int32_t ov_fileread(ov_file_t *file, void *buffer, size_t size,
                           uint64_t *count) OV_NOEXCEPT;

/* One write(2); *count may be less than length. @return 0 or errno. */
OV_API int32_t ov_file_write(ov_file_t *file, const void *data, size_t length,
                             uint64_t *count) OV_NOEXCEPT;

/* lseek(2) with whence unchanged. @return 0 or errno (logged at level 1). */
OV_API int32_t ov_file_seek(ov_file_t *file, uint64_t offset, int whence) OV_NOEXCEPT;

/* stat(2), or lstat(2) with OV_STAT_NOFOLLOW. @return 0 or errno (record
 * untouched on failure). */
OV_API int32_t ov_file_stat(const char *path, ov_stat_t *status, uint32_t flags) OV_NOEXCEPT;

/* unlink(2). @return 0 or errno. */
OV_API int32_t ov_file_delete(const char *path) OV_NOEXCEPT;

/* rename(2). @return 0 or errno. */
OV_API int32_t ov_file_rename(const char *old_path, const char *new_path) OV_NOEXCEPT;

/* umask(2); stores the previous mask in *old_mask when not null. @return 0. */
OV_API int32_t ov_umask(uint32_t mask, uint32_t *old_mask) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
