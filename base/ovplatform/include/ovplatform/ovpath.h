/** @defgroup paths Paths
 * ovpath.h: the lexical canonical form of paths and its companions.
 *
 * The canonical form is purely textual: `\` becomes '/', runs of '/'
 * collapse, "." is dropped, ".." removes the component before it, nothing
 * climbs above a root ("/", a drive root "D:/" or a network root
 * "//server/share/"), there is no trailing '/' except for a root alone, and
 * an empty result is ".". A relative result whose first name looks like a
 * drive prefix keeps a leading "./" ("./x:" stays "./x:"; "x:" would be read
 * as a drive root). URLs pass unchanged. The file system is never
 * consulted. No path of 8192 bytes or more is handled.
 *
 * Threads: every function may run in any thread. All but the search
 * functions are pure functions of their arguments; the searches read the
 * environment, the current directory and the file system. The path of the
 * running program is found once and cached under a lock.
 * @{
 */
#ifndef OVPLATFORM_OVPATH_H
#define OVPLATFORM_OVPATH_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/** Canonical form of in, written to out (may be the same buffer). A URL, and
 * any text beginning with "vlxp://", is copied unchanged (cut to size - 1
 * bytes without failure). The input must be shorter than size and than 8192
 * bytes, and the output must not fill its size - 1 bytes before the whole
 * input has been read.
 * @param in    the path
 * @param out   receives the canonical form
 * @param size  bytes of out
 * @return 0, also for an empty or null input (empty output); -1 on failure
 * (a newline in the input, a network root without a share, no room, a null
 * out or a size of 0); out is then emptied. */
OV_API int ov_path_canonical(const char *in, char *out, size_t size) OV_NOEXCEPT;

/** The path without its last component, in canonical form ("x" gives ".",
 * "/" gives "/"): the canonical form of the path's canonical form with
 * "/.." appended.
 * @param path  the path
 * @param out   receives the parent
 * @param size  bytes of out
 * @return the length of the result, or -1 (also for a path
 * of 8192 bytes or more, or one without a canonical form). */
OV_API int ov_path_parent(const char *path, char *out, size_t size) OV_NOEXCEPT;

/** Formats a path printf-style and writes its canonical form into out.
 * *error (when error is not null) receives 0; EINVAL for a null out (logged)
 * or a failed canonical form; ERANGE when the formatted text is longer than
 * 8191 bytes.
 * @param out     receives the canonical form
 * @param size    bytes of out
 * @param error   receives the code; may be null
 * @param format  printf format of the path
 * @param ...     its arguments
 * @return out, or null on failure. */
OV_API char *ov_path_build_canonical_path(char *out, size_t size, int32_t *error,
                                          const char *format, ...) OV_NOEXCEPT OV_PRINTF(4, 5);

/** Canonical form of dir + '/' + name, with the leading '/' characters of
 * name skipped when strip is non-zero. An empty dir, dir "." with a relative
 * name, and dir "/" with an absolute name give the canonical form of name.
 * @param dir    the directory
 * @param name   the name
 * @param out    receives the path
 * @param size   bytes of out
 * @param strip  non-zero to skip the leading '/' characters of name
 * @return 0, or -1 (null argument, size 0 or below strlen(dir) + 1, no room,
 * failed canonical form). */
OV_API int ov_path_join_ex(const char *dir, const char *name, char *out, size_t size,
                           int strip) OV_NOEXCEPT;

/** ov_path_join_ex() with strip set.
 * @param dir   the directory
 * @param name  the name
 * @param out   receives the path
 * @param size  bytes of out
 * @return 0 or -1. */
OV_API int ov_path_join(const char *dir, const char *name, char *out, size_t size) OV_NOEXCEPT;

/** Whether path is relative.
 * @param path  the path
 * @return 1 when path is relative (empty, white space only, "D:x", "x"),
 * 0 when it is a URL or begins with '/', `\`, "D:/" or `D:\`. */
OV_API int ov_path_is_relative(const char *path) OV_NOEXCEPT;

/** The separator after the leading run of '/'.
 * @param path  the path
 * @return a pointer to the first '/' after the run of '/' that begins the
 * path, or null when there is none or path is null. */
OV_API const char *ov_path_next_separator(const char *path) OV_NOEXCEPT;

/** Whether a relative text leads out of its directory.
 * @param rel  the text, taken relative
 * @return 1 when a text taken relative to a directory leads out of it
 * ("..", "x/../.."), else 0 ("x/..", "/etc" is taken relative). A text the
 * canonical form refuses (a newline) or a null text gives 1. */
OV_API int ov_path_escapes(const char *rel) OV_NOEXCEPT;

/** Whether path has a ".." component.
 * @param path  the path
 * @return 1 when path has a ".." component, else 0. */
OV_API int ov_path_has_dotdot(const char *path) OV_NOEXCEPT;

/** Makes path absolute in place: leading white space dropped, `\` turned
 * into '/', and a '/' put in front unless the text begins with '/' or a
 * drive root ("D:/").
 * @param path  the path, changed in place
 * @param size  bytes of path's buffer
 * @return 0; EINVAL for a null path or a drive letter
 * without '/' after its ':' ("D:x"); EPATHMAX when the '/' does not fit. */
OV_API int32_t ov_path_force_absolute(char *path, size_t size) OV_NOEXCEPT;

/** Replaces every run of '/' within the first length bytes by one '/',
 * keeping a leading "//", and terminates the result.
 * @param path    the path, changed in place
 * @param length  bytes of path to look at
 * @return the new length (0 for a null path). */
OV_API size_t ov_path_collapse_slashes(char *path, size_t length) OV_NOEXCEPT;

/** Whether path is a directory.
 * @param path  the path
 * @return 1 when path's status (following links) can be read and it is a
 * directory, else 0. */
OV_API int ov_path_is_dir(const char *path) OV_NOEXCEPT;

/** Copies path into out and removes its trailing '/' characters.
 * @param path  the path
 * @param out   receives the copy
 * @param size  bytes of out
 * @return the remaining length (0 for "/" only), or -1 when it had to be cut
 * or an argument is null. */
OV_API int ov_path_copy_trimmed(const char *path, char *out, size_t size) OV_NOEXCEPT;

/** The full path of the running program, found once (from /proc/self/exe,
 * else by searching argv[0]) and cached for the life of the process.
 * @param out   receives the path
 * @param size  bytes of out
 * @return its length; EINVAL (22) for a null out once the path is known;
 * -1 when it cannot be found or does not fit size; the negative result of
 * ov_path_find_program when the fallback search fails. */
OV_API int ov_path_executable(char *out, size_t size) OV_NOEXCEPT;

/** The directory that holds the running program.
 * @param out   receives the directory
 * @param size  bytes of out
 * @return its length, or a negative value. */
OV_API int ov_path_executable_dir(char *out, size_t size) OV_NOEXCEPT;

/** Where the program name is: a name with '/' taken as it stands (relative
 * to the current directory), otherwise searched in PATH; the result is the
 * canonical form of its real path.
 * @param name  the program's name
 * @param out   receives the path
 * @param size  bytes of out
 * @return its length; -1 for a bad name,
 * no current directory or no room; -2 when the PATH search finds nothing;
 * -3 when the real path cannot be found; -4 when its canonical form does
 * not fit. */
OV_API int ov_path_find_program(const char *name, char *out, size_t size) OV_NOEXCEPT;

/** Tries element + '/' + name for every element of the ':'-separated list
 * in order (an empty element gives "/" + name) and stops at the first that
 * exists, left in out.
 * @param name  the name
 * @param list  the directories, separated by ':'
 * @param out   receives the path found
 * @param size  bytes of out
 * @return 0; -1 for a null or empty name, a null list,
 * nothing found, or an element that does not fit size. */
OV_API int ov_path_search_list(const char *name, const char *list, char *out,
                               size_t size) OV_NOEXCEPT;

/** The canonical form of $HOME.
 * @param out   receives the directory
 * @param size  bytes of out
 * @return its length; -1 for a null out, size
 * 0, HOME unset or longer than 8191 bytes, or no room. */
OV_API int ov_path_home(char *out, size_t size) OV_NOEXCEPT;

/** The canonical form of the home directory of user (out is emptied first).
 * @param user  the user's name
 * @param out   receives the directory
 * @param size  bytes of out
 * @return 0; EINVAL for a null argument or size 0; ENOENT when no such user
 * exists; EBUFFER when the directory does not fit; the lookup's error. */
OV_API int32_t ov_path_user_home(const char *user, char *out, size_t size) OV_NOEXCEPT;

/** execve(2) of name with argv and envp; a name without '/' is searched in
 * PATH (".:/bin:/usr/bin" when PATH is unset or empty). Returns only on
 * failure.
 * @param name  the program
 * @param argv  its argument vector, null-terminated
 * @param envp  its environment, null-terminated
 * @return -1, with errno EACCES when any candidate was refused for
 * permission, else the errno of the last attempt. */
OV_API int ov_path_exec(const char *name, char *const argv[], char *const envp[]) OV_NOEXCEPT;

/* Tests with an out flag: *flag is set to 0 first and to 1 when the test
 * holds. They return 0; EINVAL for a null flag, and as each comment says. */

/** Tests for an absolute path: a URL, a network prefix ("//server/..."), a
 * drive letter and ':' after optional white space ("D:x" counts), or a
 * leading '/'.
 * @param path  the path
 * @param flag  set to 0, then to 1 when the test holds
 * @return 0; EINVAL for a null flag, or a null or empty path or one
 * holding a newline or carriage return. */
OV_API int32_t ov_path_is_absolute(const char *path, int32_t *flag) OV_NOEXCEPT;

/** Tests for exactly one leading '/' (not "//").
 * @param path  the path
 * @param flag  set to 0, then to 1 when the test holds
 * @return 0; EINVAL as ov_path_is_absolute(). */
OV_API int32_t ov_path_is_rooted(const char *path, int32_t *flag) OV_NOEXCEPT;

/** Tests whether the path equals its canonical form.
 * @param path  the path
 * @param flag  set to 0, then to 1 when the test holds
 * @return 0; EINVAL for a null flag or path or a failed canonical form. */
OV_API int32_t ov_path_is_canonical(const char *path, int32_t *flag) OV_NOEXCEPT;

/** ov_path_is_canonical() and then ov_path_is_absolute().
 * @param path  the path
 * @param flag  set to 0, then to 1 when both tests hold
 * @return 0; EINVAL as those tests. */
OV_API int32_t ov_path_is_canonical_absolute(const char *path, int32_t *flag) OV_NOEXCEPT;

/** ov_path_is_canonical() and then ov_path_is_rooted().
 * @param path  the path
 * @param flag  set to 0, then to 1 when both tests hold
 * @return 0; EINVAL as those tests. */
OV_API int32_t ov_path_is_canonical_rooted(const char *path, int32_t *flag) OV_NOEXCEPT;

/** Tests for a single name: no newline, carriage return, `\` or '/',
 * neither "." nor "..".
 * @param path  the name
 * @param flag  set to 0, then to 1 when the test holds
 * @return 0; EINVAL for a null flag or a null or empty path. */
OV_API int32_t ov_path_is_plain_name(const char *path, int32_t *flag) OV_NOEXCEPT;

/** Tests for a URL (scheme "://" rest, or "vlxp://").
 * @param path  the text
 * @param flag  set to 0, then to 1 when the test holds
 * @return 0; EINVAL for a null flag, or a null or empty path or one
 * holding a newline, carriage return or `\`. */
OV_API int32_t ov_path_is_url(const char *path, int32_t *flag) OV_NOEXCEPT;

/** Tests whether the path is acceptable to file systems with the stricter
 * naming rules: after leading "./" and "../", a "//?/" and a drive prefix,
 * no byte below 0x20 or above 0x7F, none of `"` `*` `:` `<` `>` `?` `\`
 * `|`, no component ending with '.' or ' ' and none of spaces only.
 * @param path  the path
 * @param flag  set to 0, then to 1 when the test holds
 * @return 0; EINVAL for a null flag, or a null or empty path or one
 * holding a newline or carriage return. */
OV_API int32_t ov_path_is_portable(const char *path, int32_t *flag) OV_NOEXCEPT;

/** Writes a copy of in into out in which everything ov_path_is_portable()
 * rejects is replaced by ch (ch 0: a plain copy); the prefixes that test
 * skips are kept.
 * @param in    the path
 * @param out   receives the copy
 * @param size  bytes of out
 * @param ch    the replacement character, or 0
 * @return 0; EINVAL for a newline or carriage return in in,
 * a copy that had to be cut, or a ch that is itself not allowed (also '.'
 * and ' ', which would leave a component ending in them). */
OV_API int32_t ov_path_sanitize(const char *in, char *out, size_t size, char ch) OV_NOEXCEPT;

/** @name Installation paths
 * An installation is recognised by its root's marker
 * file "product-info.mf" and by the configuration file "orvane.conf"; both
 * are looked up around a start path inside the installation, usually the
 * running program (ov_path_executable), trying the start path's own
 * directory first and then up to two levels above it. Without a marker the
 * layout root/bin/program, root/etc, root/lib is assumed. out needs room
 * for the found file's path plus "/.." while the parent is taken.
 * @{ */

/** The marker file's name.
 * @return the marker file name "product-info.mf". */
OV_API const char *ov_path_product_info_name(void) OV_NOEXCEPT;

/** Tries dir + '/' + name for every directory of the null-terminated list in
 * order (a directory that ends with '/', a root, gets no second '/') and
 * stops at the first that exists, following links; that path is left in
 * out.
 * @param name  the name
 * @param dirs  the directories, null-terminated
 * @param out   receives the path found
 * @param size  bytes of out
 * @return 0; -1 for a null or empty name, a null list or out, nothing
 * found, or a directory for which strlen(dir) + strlen(name) + 2 > size
 * (the search ends there). */
OV_API int ov_path_search_dirs(const char *name, const char *const *dirs, char *out,
                               size_t size) OV_NOEXCEPT;

/** The installation root: the directory that holds "product-info.mf",
 * looked for in the start path's directory D, in D/.. and in D/../..
 * @param start  a path inside the installation
 * @param out    receives the root
 * @param size   bytes of out
 * @return the root's length when the marker was found; without a marker
 * out becomes D/.. and the result is 0, or EBUFFER when it had to be cut;
 * -1 for a null argument, size 0 or a start path without a parent. */
OV_API int ov_path_product_root(const char *start, char *out, size_t size) OV_NOEXCEPT;

/** The full path of the configuration file name, looked for in D, D/etc,
 * D/.., D/../etc, D/../.. and D/../../etc, D being the start path's
 * directory.
 * @param name   the configuration file's name
 * @param start  a path inside the installation
 * @param out    receives the path found
 * @param size   bytes of out
 * @return its length, or -1 when it is not found or does not
 * fit. */
OV_API int ov_path_find_config(const char *name, const char *start, char *out,
                               size_t size) OV_NOEXCEPT;

/** The configuration directory: the directory of "orvane.conf", or else the
 * installation root + "/etc".
 * @param start  a path inside the installation
 * @param out    receives the directory
 * @param size   bytes of out
 * @return its length, or a negative value; -1
 * when the root's length + 5 exceeds size. */
OV_API int ov_path_config_dir(const char *start, char *out, size_t size) OV_NOEXCEPT;

/** The library directory: two levels above "orvane.conf" (root/etc/orvane.conf
 * gives root), or else the installation root, + "/lib".
 * @param start  a path inside the installation
 * @param out    receives the directory
 * @param size   bytes of out
 * @return its length,
 * or a negative value; -1 when the root's length + 5 exceeds size. */
OV_API int ov_path_lib_dir(const char *start, char *out, size_t size) OV_NOEXCEPT;

/** @} */

OV_EXTERN_C_END

/** @} */

#endif
