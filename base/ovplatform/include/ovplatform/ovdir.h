/** @defgroup directories Directories
 * ovdir.h: directories: reading names, creation with parents, tree removal
 * and a depth-first walk.
 *
 * Results are 0, the host's errno unchanged, or EDIREND for the end of a
 * directory. Names and paths are at most 8191 bytes.
 *
 * Threads: no state of the module's own; every function may run in any
 * thread. Each handle, walker and removal belongs to one thread at a time.
 * Creation and removal are not atomic against other processes working in
 * the same tree: a component created or removed by someone else between a
 * status check and the system call shows up as EEXIST, ENOENT or
 * ENOTEMPTY.
 * @{
 */
#ifndef OVPLATFORM_OVDIR_H
#define OVPLATFORM_OVDIR_H

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/** Size of the name buffer of ov_dir_read and of a walk frame's path. */
#define OV_DIR_NAME_SIZE 8192

/** @name Entry types reported by ov_dir_walk_next()
 * @{ */
#define OV_DIR_WALK_FILE 1  /**< regular file, also the one entry of a single-file walk */
#define OV_DIR_WALK_DIR 2   /**< directory; the next call reads inside it */
#define OV_DIR_WALK_UP 3    /**< end of a directory: path "..", back in the enclosing one */
#define OV_DIR_WALK_OTHER 6 /**< device, FIFO, socket */
/** @} */

/** A caller-owned directory stream; null when no directory is open. */
typedef struct ov_dir {
    DIR *stream; /**< the open stream, or null */
} ov_dir_t;

/** Called by ov_dir_create_cb() for every directory it passes: created is 1
 * when the directory was made now, 0 when it existed. Its result becomes the
 * result of that step; anything but 0 ends the creation. */
typedef int32_t (*ov_dir_create_callback_t)(const char *path, int created, uint64_t user);

/** One directory being read by a walk. */
typedef struct ov_dir_frame {
    DIR *stream;                 /**< the directory's stream */
    char path[OV_DIR_NAME_SIZE]; /**< the directory's path */
    struct ov_dir_frame *up;     /**< the enclosing directory's frame, or null */
} ov_dir_frame_t;

/** A depth-first walk: the innermost open frame (null when the walk is over)
 * and whether the walk was opened on a regular file. */
typedef struct ov_dir_walk {
    ov_dir_frame_t *top; /**< the innermost open frame, or null */
    int32_t single_file; /**< 1 when the walk was opened on a regular file */
} ov_dir_walk_t;

OV_EXTERN_C_BEGIN

/** Sets the stream to null.
 * @param dir  the handle
 * @return 0; EINVAL for a null handle. */
OV_API int32_t ov_dir_init(ov_dir_t *dir) OV_NOEXCEPT;

/** opendir(3); the stream (null on failure) is stored.
 * @param path  the directory
 * @param dir   the handle
 * @return 0; EINVAL for a null handle; errno. */
OV_API int32_t ov_dir_open(const char *path, ov_dir_t *dir) OV_NOEXCEPT;

/** Whether a stream is open.
 * @param dir  the handle
 * @return 1 when a stream is open, 0 when not; EINVAL for a null handle. */
OV_API int32_t ov_dir_is_open(const ov_dir_t *dir) OV_NOEXCEPT;

/** The next entry name, in the system's order, "." and ".." included, into
 * name (OV_DIR_NAME_SIZE bytes).
 * @param dir   the handle
 * @param name  receives the name
 * @return 0; EDIREND at the end; EINVAL for
 * a null handle, stream or buffer; EIO for an empty name; errno. */
OV_API int32_t ov_dir_read(ov_dir_t *dir, char *name) OV_NOEXCEPT;

/** closedir(3) and stream = null, also when closedir reports a failure: the
 * stream is freed by then, so it must not be closed again.
 * @param dir  the handle
 * @return 0 (also when nothing is open); EINVAL for a null handle; errno. */
OV_API int32_t ov_dir_close(ov_dir_t *dir) OV_NOEXCEPT;

/** Creates path with mode (less the umask) and, when parents is non-zero,
 * its missing ancestors from the outermost inwards; callback (may be null)
 * is called for each directory passed, made or found. A path written with a
 * trailing '/' is made as its last ancestor, and then reported as EEXIST.
 * @param path      the directory
 * @param mode      its permission bits
 * @param parents   non-zero to make missing ancestors too
 * @param callback  called for each directory passed; may be null
 * @param user      given to callback
 * @return 0 (also for an existing directory or a symbolic link to one);
 * ENOTDIR when path or an ancestor names another kind of file; ENOENT for a
 * missing parent without the parents flag; EEXIST when the directory
 * appeared in the meantime; ERANGE for an ancestor longer than 8191 bytes;
 * the callback's result; errno. */
OV_API int32_t ov_dir_create_cb(const char *path, uint32_t mode, int parents,
                                ov_dir_create_callback_t callback, uint64_t user) OV_NOEXCEPT;

/** Creates path with mode (less the umask) and, when parents is non-zero,
 * its missing ancestors.
 * @param path     the directory
 * @param mode     its permission bits
 * @param parents  non-zero to make missing ancestors too
 * @return 0 (also for an existing directory),
 * ENOTDIR when path names another kind of file, or errno. */
OV_API int32_t ov_dir_create(const char *path, uint32_t mode, int parents) OV_NOEXCEPT;

/** The inside-out form: 0 at once when path exists in any form; otherwise
 * the parent (path without its last component) is made the same way first,
 * then path, and callback (may be null) is called with created = 1.
 * @param path      the directory
 * @param mode      its permission bits
 * @param callback  called for each directory made; may be null
 * @param user      given to callback
 * @return 0; EINVAL when the parent cannot be computed; the callback's
 * result; errno. */
OV_API int32_t ov_dir_create_recursive_cb(const char *path, uint32_t mode,
                                          ov_dir_create_callback_t callback,
                                          uint64_t user) OV_NOEXCEPT;

/** Removes the directory path; with recursive set, everything below it first
 * (symbolic links are removed, never followed). *count (when not null) is
 * increased by every entry and directory removed, path included. Stops at
 * the first failure and leaves the rest.
 * @param path       the directory
 * @param recursive  non-zero to remove its contents first
 * @param count      increased by the entries removed; may be null
 * @return 0; ENOTEMPTY without
 * recursive on a non-empty directory; ENOMEM; EINVAL for a null path or a
 * subdirectory name holding `\`; errno. */
OV_API int32_t ov_dir_remove(const char *path, int recursive, uint64_t *count) OV_NOEXCEPT;

/** ov_dir_remove() without a counter.
 * @param path       the directory
 * @param recursive  non-zero to remove its contents first
 * @return as ov_dir_remove(). */
OV_API int32_t ov_dir_remove_tree(const char *path, int recursive) OV_NOEXCEPT;

/** Starts a walk at path (a directory, or a regular file walked as itself).
 * @param walker  receives the walk; end it with ov_dir_walk_close()
 * @param path    where the walk starts
 * @return 0 with *walker set; ENOTDIR for another kind of file; ENOMEM;
 * EINVAL for a null argument; errno (*walker is then null). */
OV_API int32_t ov_dir_walk_open(ov_dir_walk_t **walker, const char *path) OV_NOEXCEPT;

/** The next entry of the walk as a full path in out, depth-first, parents
 * before their contents; *type (when not null) receives its OV_DIR_WALK_*
 * type. Symbolic links are followed: a link to a directory is entered.
 * @param walker  the walk
 * @param out     receives the entry's path
 * @param size    bytes of out
 * @param type    receives the OV_DIR_WALK_* type; may be null
 * @return 0; EDIREND when the walk is over; EINVAL for a null walker;
 * EBUFFER when the path does not fit; errno (a dangling link included). */
OV_API int32_t ov_dir_walk_next(ov_dir_walk_t *walker, char *out, size_t size,
                                int32_t *type) OV_NOEXCEPT;

/** Leaves the innermost directory of the walk.
 * @param walker  the walk
 * @return 0; EINVAL when no
 * frame is left or walker is null. */
OV_API int32_t ov_dir_walk_pop(ov_dir_walk_t *walker) OV_NOEXCEPT;

/** Ends a walk, closing every open stream, and sets *walker to null.
 * @param walker  the slot holding the walk
 * @return 0; EINVAL for a null pointer or walker. */
OV_API int32_t ov_dir_walk_close(ov_dir_walk_t **walker) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
