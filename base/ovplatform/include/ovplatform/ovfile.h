/** @defgroup files Files
 * ovfile.h: file handles and file operations.
 *
 * A file handle is a caller-owned descriptor, -1 when closed. Every
 * operation returns 0 or the host's errno unchanged (or a library code where
 * its comment says so). Nothing retries after EINTR or loops over a short
 * read or write unless its comment says so.
 *
 * Threads: no shared state but what the system keeps per process
 * (descriptors, the umask); every operation may run in any thread at the
 * same time, and the owner look-ups use the re-entrant calls. A handle is
 * not protected: one handle is used by one thread at a time, or under a
 * lock of the caller's.
 * @{
 */
#ifndef OVPLATFORM_OVFILE_H
#define OVPLATFORM_OVFILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <ovplatform/ovexport.h>

/** A file handle: a descriptor, -1 when closed. */
typedef int32_t ov_file_t;

/** @name Open flags, translated to open(2) flags by ov_file_open()
 * @{ */
#define OV_FILE_READ 0x001u     /**< reading (O_RDONLY, or O_RDWR with OV_FILE_WRITE) */
#define OV_FILE_WRITE 0x002u    /**< writing (O_WRONLY, or O_RDWR with OV_FILE_READ) */
#define OV_FILE_APPEND 0x004u   /**< O_APPEND */
#define OV_FILE_CREATE 0x100u   /**< O_CREAT */
#define OV_FILE_TRUNCATE 0x200u /**< O_TRUNC */
#define OV_FILE_DIRECT 0x400u   /**< O_DIRECT */
#define OV_FILE_DSYNC 0x800u    /**< O_DSYNC */
/** @} */

/** @name Type codes of ov_stat_t.type
 * @{ */
#define OV_FILE_TYPE_DIR 1u        /**< directory */
#define OV_FILE_TYPE_REG 2u        /**< regular file */
#define OV_FILE_TYPE_CHR 3u        /**< character device */
#define OV_FILE_TYPE_BLK 4u        /**< block device */
#define OV_FILE_TYPE_FIFO 5u       /**< FIFO */
#define OV_FILE_TYPE_SOCK 6u       /**< socket */
#define OV_FILE_TYPE_LINK 7u       /**< symbolic link */
#define OV_FILE_TYPE_OTHER 0xFFFFu /**< anything else */
/** @} */

/** Flag bit of ov_file_stat and ov_file_exists: describe a final symbolic
 * link itself instead of its target. */
#define OV_STAT_NOFOLLOW 0x1u

/** The library's own record of a file's status; times in whole seconds. */
typedef struct ov_stat {
    uint64_t ino;   /**< inode number */
    int64_t size;   /**< size in bytes */
    uint32_t type;  /**< OV_FILE_TYPE_* */
    uint32_t mode;  /**< st_mode: type and permission bits */
    uint32_t uid;   /**< owner */
    uint32_t gid;   /**< group */
    int64_t ctime;  /**< last status change */
    int64_t mtime;  /**< last modification */
    int64_t atime;  /**< last access */
    uint32_t nlink; /**< hard links */
} ov_stat_t;

/** Owner for ov_file_chown() and ov_file_lchown(); 0xFFFFFFFF in either id
 * leaves that id of the file unchanged. Made by ov_file_owner_create(). */
typedef struct ov_file_owner {
    uint32_t uid; /**< user id, or 0xFFFFFFFF */
    uint32_t gid; /**< group id, or 0xFFFFFFFF */
} ov_file_owner_t;

/** @name Reserved values of the time arguments of ov_file_set_times() and friends
 * @{ */
#define OV_FILE_TIME_NOW (-1)  /**< the current time */
#define OV_FILE_TIME_KEEP (-2) /**< the stamp stays as it is */
/** @} */

OV_EXTERN_C_BEGIN

/* ---- Handles and data transfer ---------------------------------------- */

/** Sets the handle to closed: stores -1.
 * @param file  the handle
 * @return 0; EINVAL for a null handle. */
OV_API int32_t ov_file_init(ov_file_t *file) OV_NOEXCEPT;

/** The common opener: translates flags and calls open(2) with mode (which
 * matters only with OV_FILE_CREATE; the umask applies). No other open(2) flag
 * is added.
 * @param path   the file
 * @param file   receives the descriptor
 * @param flags  OV_FILE_* open flags
 * @param mode   permission bits of a created file
 * @return 0 with the descriptor in *file, or errno with *file = -1;
 * EINVAL for a null handle. */
OV_API int32_t ov_file_open(const char *path, ov_file_t *file, uint32_t flags,
                            uint32_t mode) OV_NOEXCEPT;

/** Opens path read-only.
 * @param path  the file
 * @param file  receives the descriptor
 * @return as ov_file_open(). */
OV_API int32_t ov_file_open_read(const char *path, ov_file_t *file) OV_NOEXCEPT;

/** Opens path write-only, created with mode when missing, truncated.
 * @param path  the file
 * @param file  receives the descriptor
 * @param mode  permission bits of a created file
 * @return as ov_file_open(). */
OV_API int32_t ov_file_create(const char *path, ov_file_t *file, uint32_t mode) OV_NOEXCEPT;

/** Opens path write-only appending, created with mode when missing.
 * @param path  the file
 * @param file  receives the descriptor
 * @param mode  permission bits of a created file
 * @return as ov_file_open(). */
OV_API int32_t ov_file_open_append(const char *path, ov_file_t *file, uint32_t mode) OV_NOEXCEPT;

/** Opens path read-write, creating the file with mode; mode 7 opens only an
 * existing file (ENOENT when missing).
 * @param path  the file
 * @param file  receives the descriptor
 * @param mode  permission bits of a created file, or 7
 * @return as ov_file_open(). */
OV_API int32_t ov_file_open_rw(const char *path, ov_file_t *file, uint32_t mode) OV_NOEXCEPT;

/** Closes the descriptor and sets the handle to -1, also when close(2)
 * reports a failure: the system has released the descriptor by then, so it
 * must not be closed again.
 * @param file  the handle
 * @return 0 (also for a handle of -1, without a system call); EINVAL for a
 * null handle; errno when close(2) fails. */
OV_API int32_t ov_file_close(ov_file_t *file) OV_NOEXCEPT;

/** fdatasync(2) of the handle's descriptor.
 * @param file  the handle
 * @return 0; EINVAL for a null handle or one of -1; errno. */
OV_API int32_t ov_file_sync(ov_file_t *file) OV_NOEXCEPT;

/** Whether the handle holds a descriptor.
 * @param file  the handle
 * @return 1 when file is not null and not -1, else 0. */
OV_API int ov_file_is_open(const ov_file_t *file) OV_NOEXCEPT;

/** The handle's descriptor.
 * @param file  the handle
 * @return the descriptor held by the handle (-1 for a null handle). */
OV_API int32_t ov_file_fd(const ov_file_t *file) OV_NOEXCEPT;

/** @{ */
/** Set the handle to descriptor 0, 1 or 2.
 * @param file  the handle
 * @return 0; EINVAL for null. */
OV_API int32_t ov_file_stdin(ov_file_t *file) OV_NOEXCEPT;
OV_API int32_t ov_file_stdout(ov_file_t *file) OV_NOEXCEPT;
OV_API int32_t ov_file_stderr(ov_file_t *file) OV_NOEXCEPT;
/** @} */

/** One read(2) of at most size bytes; *count is 0 at end of file.
 * @param file    the handle
 * @param buffer  receives the bytes
 * @param size    bytes of buffer
 * @param count   receives the number of bytes read
 * @return 0 or errno (logged at level 1, *count = 0); EINVAL for a null
 * handle. */
OV_API int32_t ov_fileread(ov_file_t *file, void *buffer, size_t size, uint64_t *count) OV_NOEXCEPT;

/** One write(2); *count may be less than length.
 * @param file    the handle
 * @param data    the bytes
 * @param length  their number
 * @param count   receives the number of bytes written
 * @return 0 or errno (*count = 0); EINVAL for a null handle. */
OV_API int32_t ov_file_write(ov_file_t *file, const void *data, size_t length,
                             uint64_t *count) OV_NOEXCEPT;

/** One pread(2) at offset; *count is set to 0 first.
 * @param file    the handle
 * @param buffer  receives the bytes
 * @param size    bytes of buffer
 * @param offset  the file position read from
 * @param count   receives the number of bytes read
 * @return 0 or errno; EINVAL for a null handle. */
OV_API int32_t ov_file_pread(ov_file_t *file, void *buffer, size_t size, int64_t offset,
                             uint64_t *count) OV_NOEXCEPT;

/** One pwrite(2) at offset; *count is set to 0 first.
 * @param file    the handle
 * @param data    the bytes
 * @param length  their number
 * @param offset  the file position written to
 * @param count   receives the number of bytes written
 * @return 0 or errno; EINVAL for a null handle. */
OV_API int32_t ov_file_pwrite(ov_file_t *file, const void *data, size_t length, int64_t offset,
                              uint64_t *count) OV_NOEXCEPT;

/** lseek(2) with whence unchanged; the new position is not returned.
 * @param file    the handle
 * @param offset  the offset
 * @param whence  SEEK_SET, SEEK_CUR or SEEK_END
 * @return 0 or errno (logged at level 1); EINVAL for a null handle. */
OV_API int32_t ov_file_seek(ov_file_t *file, uint64_t offset, int whence) OV_NOEXCEPT;

/** ftruncate(2) of the handle's file.
 * @param file    the handle
 * @param length  the new size
 * @return 0 or errno; EINVAL for a null handle. */
OV_API int32_t ov_file_truncate(ov_file_t *file, int64_t length) OV_NOEXCEPT;

/* ---- Status and tests -------------------------------------------------- */

/** stat(2), or lstat(2) with OV_STAT_NOFOLLOW.
 * @param path    the file
 * @param status  receives the record
 * @param flags   0 or OV_STAT_NOFOLLOW
 * @return 0 or errno (record untouched on failure). */
OV_API int32_t ov_file_stat(const char *path, ov_stat_t *status, uint32_t flags) OV_NOEXCEPT;

/** fstat(2) of the handle's descriptor.
 * @param file    the handle
 * @param status  receives the record
 * @return 0 or errno (record untouched on failure); EINVAL for a null
 * handle. */
OV_API int32_t ov_file_fstat(ov_file_t *file, ov_stat_t *status) OV_NOEXCEPT;

/** Fills status from the system's stat data: zero-filled, then every field,
 * times cut to whole seconds. Does nothing when either pointer is null.
 * @param status         receives the record
 * @param system_status  the system's record */
OV_API void ov_file_setstat(ov_stat_t *status, const struct stat *system_status) OV_NOEXCEPT;

/** Whether path exists.
 * @param path   the file
 * @param flags  0 or OV_STAT_NOFOLLOW
 * @return 1 when ov_file_stat() with flags succeeds, else 0 (any failure). */
OV_API int ov_file_exists(const char *path, uint32_t flags) OV_NOEXCEPT;

/** access(2) with mode (F_OK, R_OK, W_OK, X_OK).
 * @param path  the file
 * @param mode  the access tested
 * @return 0 or errno. */
OV_API int32_t ov_file_access(const char *path, int mode) OV_NOEXCEPT;

/** @{ */
/** Type tests on a mode value (its low 16 bits).
 * @param mode  a mode, as in ov_stat_t.mode
 * @return 1 or 0. */
OV_API int ov_mode_is_dir(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_reg(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_chr(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_blk(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_fifo(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_sock(uint32_t mode) OV_NOEXCEPT;
OV_API int ov_mode_is_link(uint32_t mode) OV_NOEXCEPT;
/** @} */

/** Ten-letter listing form of the record's type and permission bits
 * ("drwxr-xr-x"; a FIFO is 'f'), written with its NUL into out.
 * @param status  the record
 * @param out     receives the text
 * @param size    bytes of out
 * @return 0; EBUFFER when size is 10 or less (nothing written); EINVAL for a
 * null argument. */
OV_API int32_t ov_file_mode_string(const ov_stat_t *status, char *out, size_t size) OV_NOEXCEPT;

/* ---- Names and links --------------------------------------------------- */

/** unlink(2).
 * @param path  the file
 * @return 0 or errno. */
OV_API int32_t ov_file_delete(const char *path) OV_NOEXCEPT;

/** rename(2).
 * @param old_path  the present name
 * @param new_path  the new name
 * @return 0 or errno. */
OV_API int32_t ov_file_rename(const char *old_path, const char *new_path) OV_NOEXCEPT;

/** link(2): a hard link new_path to existing_path.
 * @param existing_path  the file
 * @param new_path       the new name
 * @return 0 or errno. */
OV_API int32_t ov_file_link(const char *existing_path, const char *new_path) OV_NOEXCEPT;

/** symlink(2): link_path becomes a symbolic link holding target.
 * @param target     the link's text
 * @param link_path  the link
 * @return 0 or errno. */
OV_API int32_t ov_file_symlink(const char *target, const char *link_path) OV_NOEXCEPT;

/** Reads the text of the symbolic link path into out, NUL-terminated.
 * @param path  the link
 * @param out   receives the text
 * @param size  bytes of out
 * @return 0; EBUFFER for size 0, or when the text does not fit in size - 1
 * bytes (out then holds its first size - 1 bytes); errno (EINVAL when path
 * is not a symbolic link). */
OV_API int32_t ov_file_readlink(const char *path, char *out, size_t size) OV_NOEXCEPT;

/** Follows a chain of symbolic links starting at path (at most 20); out
 * receives the first target that is not a link, or a dangling target. Link
 * texts are used as they stand, relative ones not resolved against their
 * link's directory.
 * @param path  the first link
 * @param out   receives the target
 * @param size  bytes of out
 * @return 0; EINVAL when path is not a symbolic link;
 * EPATHMAX after 20 links, or for a path of 8192 bytes or more; EBUFFER when
 * a link text does not fit out; errno. */
OV_API int32_t ov_file_resolve_links(const char *path, char *out, size_t size) OV_NOEXCEPT;

/** realpath(3) of path, copied into out.
 * @param path  the path
 * @param out   receives the real path
 * @param size  bytes of out
 * @return 0; EBUFFER when the result
 * was cut to size - 1 bytes; EINVAL for a null out or size 0; errno. */
OV_API int32_t ov_file_realpath(const char *path, char *out, size_t size) OV_NOEXCEPT;

/* ---- Ownership, permissions and times ----------------------------------- */

/** Builds an owner record on the heap from a user name and a group name;
 * either may be null (that id is left unchanged), and so is a group name
 * beginning with '-'.
 * @param user   a user name, or null
 * @param group  a group name, or null
 * @param owner  receives the record; free it with ov_file_owner_free()
 * @return 0 with *owner set; ENOMEM; EUNAME when the
 * user does not exist; ENOENT when the group does not exist; EINVAL for a
 * null owner pointer; the lookup's error code. */
OV_API int32_t ov_file_owner_create(const char *user, const char *group,
                                    ov_file_owner_t **owner) OV_NOEXCEPT;

/** Frees *owner (nothing for null) and sets it to null.
 * @param owner  the slot holding a record of ov_file_owner_create()
 * @return 0. */
OV_API int32_t ov_file_owner_free(ov_file_owner_t **owner) OV_NOEXCEPT;

/** chown(2) of the file path leads to, only when an id differs from the
 * file's present one.
 * @param owner  the new owner
 * @param path   the file
 * @return 0; EINVAL for a null argument; errno. */
OV_API int32_t ov_file_chown(const ov_file_owner_t *owner, const char *path) OV_NOEXCEPT;

/** As ov_file_chown() for the path itself (lstat(2), lchown(2)).
 * @param owner  the new owner
 * @param path   the file or link
 * @return 0; EINVAL for a null argument; errno. */
OV_API int32_t ov_file_lchown(const ov_file_owner_t *owner, const char *path) OV_NOEXCEPT;

/** ov_file_owner_create(), ov_file_chown(), ov_file_owner_free().
 * @param path   the file
 * @param user   a user name, or null
 * @param group  a group name, or null
 * @return the first failure among them, else 0. */
OV_API int32_t ov_file_chown_names(const char *path, const char *user,
                                   const char *group) OV_NOEXCEPT;

/** chmod(2).
 * @param path  the file
 * @param mode  the permission bits
 * @return 0, also when the change fails. */
OV_API int32_t ov_file_chmod(const char *path, uint32_t mode) OV_NOEXCEPT;

/** umask(2); stores the previous mask in *old_mask when not null. The mask
 * belongs to the process: a change affects every thread's file creation.
 * @param mask      the new mask
 * @param old_mask  receives the previous mask; may be null
 * @return 0. */
OV_API int32_t ov_umask(uint32_t mask, uint32_t *old_mask) OV_NOEXCEPT;

/** Sets the modification and access times (whole seconds) of the file path
 * leads to. OV_FILE_TIME_NOW (-1) in either sets both to the current time;
 * OV_FILE_TIME_KEEP (-2) keeps that stamp.
 * @param path   the file
 * @param mtime  the modification time
 * @param atime  the access time
 * @return 0 or errno. */
OV_API int32_t ov_file_set_times(const char *path, int64_t mtime, int64_t atime) OV_NOEXCEPT;

/** As ov_file_set_times(), but a final symbolic link gets the stamps itself.
 * @param path   the file or link
 * @param mtime  the modification time
 * @param atime  the access time
 * @return 0 or errno. */
OV_API int32_t ov_file_lset_times(const char *path, int64_t mtime, int64_t atime) OV_NOEXCEPT;

/** ov_file_set_times() with time for both stamps.
 * @param path  the file
 * @param time  both stamps
 * @return 0 or errno. */
OV_API int32_t ov_file_set_time(const char *path, int64_t time) OV_NOEXCEPT;

/* ---- Streams ------------------------------------------------------------ */

/** @{ */
/** fopen(3) with "r" or "w"; *stream receives the stream or null.
 * @param path    the file
 * @param stream  receives the stream
 * @return 0; errno; EINVAL for a null slot. */
OV_API int32_t ov_file_fopen_read(const char *path, FILE **stream) OV_NOEXCEPT;
OV_API int32_t ov_file_fopen_write(const char *path, FILE **stream) OV_NOEXCEPT;
/** @} */

/** fclose(3) and *stream = null, also when fclose fails (the stream is gone
 * either way).
 * @param stream  the slot holding the stream
 * @return 0; EINVAL for a null slot; EBADF for a null stream or
 * a failing fclose. */
OV_API int32_t ov_file_fclose(FILE **stream) OV_NOEXCEPT;

/* ---- Path strings (no file-system access) ------------------------------- */

/** dir + "/" + name into out, the '/' left out when dir ends with one; an
 * empty dir gives "/" + name (name unchanged when it begins with '/').
 * Nothing is normalised ("a" and "/b" give "a//b"). out may be dir itself.
 * @param dir   the directory
 * @param name  the name
 * @param out   receives the path
 * @param size  bytes of out
 * @return 0; EINVAL for a null dir, name or out; EBUFFER when the result
 * does not fit size bytes (nothing written). */
OV_API int32_t ov_file_path_join(const char *dir, const char *name, char *out,
                                 size_t size) OV_NOEXCEPT;

/** Points *base into path at its last component.
 * @param path  the path
 * @param base  receives a pointer into path
 * @return 0; EINVAL for a
 * null argument; EBASENAME (with *base = null) for an empty path or one that
 * ends with '/'. */
OV_API int32_t ov_file_basename(const char *path, const char **base) OV_NOEXCEPT;

/** Cuts path in place to its directory part ("/usr/lib" gives "/usr", "/usr"
 * gives "/", "foo" and "a/" give ".").
 * @param path  the path, changed in place
 * @return 0. */
OV_API int32_t ov_file_dirname(char *path) OV_NOEXCEPT;

/** Byte-wise test whether path equals dir or lies beneath it.
 * @param dir   the directory
 * @param path  the path tested
 * @return 0; EPATHMATCH otherwise (also for an empty dir with a non-empty
 * path); EINVAL for a null argument. */
OV_API int32_t ov_file_path_within(const char *dir, const char *path) OV_NOEXCEPT;

/* ---- Copy --------------------------------------------------------------- */

/** Copies the whole file source to destination (created with mode when
 * missing, truncated otherwise), in the kernel where it can. The size is
 * read once; a source that reports a size of 0 (pseudo-files, pipes) is
 * copied until its end.
 * @param source       the file copied
 * @param destination  the copy
 * @param mode         permission bits of a created copy
 * @return 0; the code of the failing open, status, read or write; EBUFFER
 * when the source ended before its recorded size. */
OV_API int32_t ov_copy_file(const char *source, const char *destination, uint32_t mode) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
