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
#include <stdio.h>
#include <sys/stat.h>
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

/* Owner for ov_file_chown and ov_file_lchown; 0xFFFFFFFF in either id leaves
 * that id of the file unchanged. Made by ov_file_owner_create. */
typedef struct ov_file_owner {
    uint32_t uid;
    uint32_t gid;
} ov_file_owner_t;

/* Reserved values of the time arguments of ov_file_set_times and friends. */
#define OV_FILE_TIME_NOW (-1)
#define OV_FILE_TIME_KEEP (-2)

OV_EXTERN_C_BEGIN

/* ---- Handles and data transfer ---------------------------------------- */

/* @return 0; EINVAL for a null handle. Stores -1. */
OV_API int32_t ov_file_init(ov_file_t *file) OV_NOEXCEPT;

/* The common opener: translates flags and calls open(2) with mode (which
 * matters only with OV_FILE_CREATE; the umask applies). No other open(2) flag
 * is added. @return 0 with the descriptor in *file, or errno with *file = -1;
 * EINVAL for a null handle. */
OV_API int32_t ov_file_open(const char *path, ov_file_t *file, uint32_t flags,
                            uint32_t mode) OV_NOEXCEPT;

/* Read-only. @return as ov_file_open. */
OV_API int32_t ov_file_open_read(const char *path, ov_file_t *file) OV_NOEXCEPT;

/* Write-only, created with mode when missing, truncated. @return as
 * ov_file_open. */
OV_API int32_t ov_file_create(const char *path, ov_file_t *file, uint32_t mode) OV_NOEXCEPT;

/* Write-only appending, created with mode when missing. @return as
 * ov_file_open. */
OV_API int32_t ov_file_open_append(const char *path, ov_file_t *file, uint32_t mode) OV_NOEXCEPT;

/* Read-write, creating the file with mode; mode 7 opens only an existing
 * file (ENOENT when missing). @return as ov_file_open. */
OV_API int32_t ov_file_open_rw(const char *path, ov_file_t *file, uint32_t mode) OV_NOEXCEPT;

/* Closes the descriptor and sets the handle to -1, also when close(2)
 * reports a failure: the system has released the descriptor by then, so it
 * must not be closed again.
 * @return 0 (also for a handle of -1, without a system call); EINVAL for a
 * null handle; errno when close(2) fails. */
OV_API int32_t ov_file_close(ov_file_t *file) OV_NOEXCEPT;

/* fdatasync(2). @return 0; EINVAL for a null handle or one of -1; errno. */
OV_API int32_t ov_file_sync(ov_file_t *file) OV_NOEXCEPT;

/* @return 1 when file is not null and not -1, else 0. */
OV_API int ov_file_is_open(const ov_file_t *file) OV_NOEXCEPT;

/* @return the descriptor held by the handle (-1 for a null handle). */
OV_API int32_t ov_file_fd(const ov_file_t *file) OV_NOEXCEPT;

/* Set the handle to descriptor 0, 1 or 2. @return 0; EINVAL for null. */
OV_API int32_t ov_file_stdin(ov_file_t *file) OV_NOEXCEPT;
OV_API int32_t ov_file_stdout(ov_file_t *file) OV_NOEXCEPT;
OV_API int32_t ov_file_stderr(ov_file_t *file) OV_NOEXCEPT;

/* One read(2) of at most size bytes; *count is 0 at end of file.
 * @return 0 or errno (logged at level 1, *count = 0); EINVAL for a null
 * handle. */
OV_API int32_t ov_fileread(ov_file_t *file, void *buffer, size_t size, uint64_t *count) OV_NOEXCEPT;

/* One write(2); *count may be less than length. @return 0 or errno
 * (*count = 0); EINVAL for a null handle. */
OV_API int32_t ov_file_write(ov_file_t *file, const void *data, size_t length,
                             uint64_t *count) OV_NOEXCEPT;

/* One pread(2) at offset; *count is set to 0 first. @return 0 or errno;
 * EINVAL for a null handle. */
OV_API int32_t ov_file_pread(ov_file_t *file, void *buffer, size_t size, int64_t offset,
                             uint64_t *count) OV_NOEXCEPT;

/* One pwrite(2) at offset; *count is set to 0 first. @return 0 or errno;
 * EINVAL for a null handle. */
OV_API int32_t ov_file_pwrite(ov_file_t *file, const void *data, size_t length, int64_t offset,
                              uint64_t *count) OV_NOEXCEPT;

/* lseek(2) with whence unchanged; the new position is not returned.
 * @return 0 or errno (logged at level 1); EINVAL for a null handle. */
OV_API int32_t ov_file_seek(ov_file_t *file, uint64_t offset, int whence) OV_NOEXCEPT;

/* ftruncate(2). @return 0 or errno; EINVAL for a null handle. */
OV_API int32_t ov_file_truncate(ov_file_t *file, int64_t length) OV_NOEXCEPT;

/* ---- Status and tests -------------------------------------------------- */

/* stat(2), or lstat(2) with OV_STAT_NOFOLLOW. @return 0 or errno (record
 * untouched on failure). */
OV_API int32_t ov_file_stat(const char *path, ov_stat_t *status, uint32_t flags) OV_NOEXCEPT;

/* fstat(2) of the handle's descriptor. @return 0 or errno (record untouched
 * on failure); EINVAL for a null handle. */
OV_API int32_t ov_file_fstat(ov_file_t *file, ov_stat_t *status) OV_NOEXCEPT;

/* Fills status from the system's stat data: zero-filled, then every field,
 * times cut to whole seconds. Does nothing when either pointer is null. */
OV_API void ov_file_setstat(ov_stat_t *status, const struct stat *system_status) OV_NOEXCEPT;

/* @return 1 when ov_file_stat with flags succeeds, else 0 (any failure). */
OV_API int ov_file_exists(const char *path, uint32_t flags) OV_NOEXCEPT;

/* access(2) with mode (F_OK, R_OK, W_OK, X_OK). @return 0 or errno. */
OV_API int32_t ov_file_access(const char *path, int mode) OV_NOEXCEPT;

/* Type tests on a mode value (its low 16 bits). @return 1 or 0. */
OV_API int ov_mode_is_dir(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_reg(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_chr(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_blk(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_fifo(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_sock(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_link(uint32_t mode) OV_NOEXCEPT;

/* Ten-letter listing form of the record's type and permission bits
 * ("drwxr-xr-x"; a FIFO is 'f'), written with its NUL into out.
 * @return 0; EBUFFER when size is 10 or less (nothing written); EINVAL for a
 * null argument. */
OV_API int32_t ov_file_mode_string(const ov_stat_t *status, char *out, size_t size) OV_NOEXCEPT;

/* ---- Names and links --------------------------------------------------- */

/* unlink(2). @return 0 or errno. */
OV_API int32_t ov_file_delete(const char *path) OV_NOEXCEPT;

/* rename(2). @return 0 or errno. */
OV_API int32_t ov_file_rename(const char *old_path, const char *new_path) OV_NOEXCEPT;

/* link(2): a hard link new_path to existing_path. @return 0 or errno. */
OV_API int32_t ov_file_link(const char *existing_path, const char *new_path) OV_NOEXCEPT;

/* symlink(2): link_path becomes a symbolic link holding target.
 * @return 0 or errno. */
OV_API int32_t ov_file_symlink(const char *target, const char *link_path) OV_NOEXCEPT;

/* Reads the text of the symbolic link path into out, NUL-terminated.
 * @return 0; EBUFFER for size 0, or when the text does not fit in size - 1
 * bytes (out then holds its first size - 1 bytes); errno (EINVAL when path
 * is not a symbolic link). */
OV_API int32_t ov_file_readlink(const char *path, char *out, size_t size) OV_NOEXCEPT;

/* Follows a chain of symbolic links starting at path (at most 20); out
 * receives the first target that is not a link, or a dangling target. Link
 * texts are used as they stand, relative ones not resolved against their
 * link's directory. @return 0; EINVAL when path is not a symbolic link;
 * EPATHMAX after 20 links, or for a path of 8192 bytes or more; EBUFFER when
 * a link text does not fit out; errno. */
OV_API int32_t ov_file_resolve_links(const char *path, char *out, size_t size) OV_NOEXCEPT;

/* realpath(3) of path, copied into out. @return 0; EBUFFER when the result
 * was cut to size - 1 bytes; EINVAL for a null out or size 0; errno. */
OV_API int32_t ov_file_realpath(const char *path, char *out, size_t size) OV_NOEXCEPT;

/* ---- Ownership, permissions and times ----------------------------------- */

/* Builds an owner record on the heap from a user name and a group name;
 * either may be null (that id is left unchanged), and so is a group name
 * beginning with '-'. @return 0 with *owner set; ENOMEM; EUNAME when the
 * user does not exist; ENOENT when the group does not exist; EINVAL for a
 * null owner pointer; the lookup's error code. */
OV_API int32_t ov_file_owner_create(const char *user, const char *group,
                                    ov_file_owner_t **owner) OV_NOEXCEPT;

/* Frees *owner (nothing for null) and sets it to null. @return 0. */
OV_API int32_t ov_file_owner_free(ov_file_owner_t **owner) OV_NOEXCEPT;

/* chown(2) of the file path leads to, only when an id differs from the
 * file's present one. @return 0; EINVAL for a null argument; errno. */
OV_API int32_t ov_file_chown(const ov_file_owner_t *owner, const char *path) OV_NOEXCEPT;

/* As ov_file_chown for the path itself (lstat(2), lchown(2)). */
OV_API int32_t ov_file_lchown(const ov_file_owner_t *owner, const char *path) OV_NOEXCEPT;

/* ov_file_owner_create, ov_file_chown, ov_file_owner_free. @return the first
 * failure among them, else 0. */
OV_API int32_t ov_file_chown_names(const char *path, const char *user,
                                   const char *group) OV_NOEXCEPT;

/* chmod(2). @return 0, also when the change fails. */
OV_API int32_t ov_file_chmod(const char *path, uint32_t mode) OV_NOEXCEPT;

/* umask(2); stores the previous mask in *old_mask when not null. @return 0. */
OV_API int32_t ov_umask(uint32_t mask, uint32_t *old_mask) OV_NOEXCEPT;

/* Sets the modification and access times (whole seconds) of the file path
 * leads to. OV_FILE_TIME_NOW (-1) in either sets both to the current time;
 * OV_FILE_TIME_KEEP (-2) keeps that stamp. @return 0 or errno. */
OV_API int32_t ov_file_set_times(const char *path, int64_t mtime, int64_t atime) OV_NOEXCEPT;

/* As ov_file_set_times, but a final symbolic link gets the stamps itself.
 * @return 0 or errno. */
OV_API int32_t ov_file_lset_times(const char *path, int64_t mtime, int64_t atime) OV_NOEXCEPT;

/* ov_file_set_times with time for both stamps. @return 0 or errno. */
OV_API int32_t ov_file_set_time(const char *path, int64_t time) OV_NOEXCEPT;

/* ---- Streams ------------------------------------------------------------ */

/* fopen(3) with "r" or "w"; *stream receives the stream or null.
 * @return 0; errno; EINVAL for a null slot. */
OV_API int32_t ov_file_fopen_read(const char *path, FILE **stream) OV_NOEXCEPT;
OV_API int32_t ov_file_fopen_write(const char *path, FILE **stream) OV_NOEXCEPT;

/* fclose(3) and *stream = null, also when fclose fails (the stream is gone
 * either way). @return 0; EINVAL for a null slot; EBADF for a null stream or
 * a failing fclose. */
OV_API int32_t ov_file_fclose(FILE **stream) OV_NOEXCEPT;

/* ---- Path strings (no file-system access) ------------------------------- */

/* dir + "/" + name into out, the '/' left out when dir ends with one; an
 * empty dir gives "/" + name (name unchanged when it begins with '/').
 * Nothing is normalised ("a" and "/b" give "a//b"). out may be dir itself.
 * @return 0; EINVAL for a null dir, name or out; EBUFFER when the result
 * does not fit size bytes (nothing written). */
OV_API int32_t ov_file_path_join(const char *dir, const char *name, char *out,
                                 size_t size) OV_NOEXCEPT;

/* Points *base into path at its last component. @return 0; EINVAL for a
 * null argument; EBASENAME (with *base = null) for an empty path or one that
 * ends with '/'. */
OV_API int32_t ov_file_basename(const char *path, const char **base) OV_NOEXCEPT;

/* Cuts path in place to its directory part ("/usr/lib" gives "/usr", "/usr"
 * gives "/", "foo" and "a/" give "."). @return 0. */
OV_API int32_t ov_file_dirname(char *path) OV_NOEXCEPT;

/* Byte-wise test whether path equals dir or lies beneath it.
 * @return 0; EPATHMATCH otherwise (also for an empty dir with a non-empty
 * path); EINVAL for a null argument. */
OV_API int32_t ov_file_path_within(const char *dir, const char *path) OV_NOEXCEPT;

/* ---- Copy --------------------------------------------------------------- */

/* Copies the whole file source to destination (created with mode when
 * missing, truncated otherwise), in the kernel where it can. The size is
 * read once; a source that reports a size of 0 (pseudo-files, pipes) is
 * copied until its end.
 * @return 0; the code of the failing open, status, read or write; EBUFFER
 * when the source ended before its recorded size. */
OV_API int32_t ov_copy_file(const char *source, const char *destination, uint32_t mode) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
