/** @defgroup processes Processes
 * ovprocess.h and part of ovplatform.h: daemons, pid files, running as
 * another user, child programs, and thin process primitives.
 *
 * Threads: the calls of ovprocess.h change process-wide state (umask, identity, working directory,
 * environment, root directory, standard streams) and are meant for
 * single-threaded moments such as program start. The starting calls may be
 * used from threaded programs: between fork and exec a child makes only
 * async-signal-safe calls, everything it needs is prepared before the fork,
 * and the pipe ends the caller keeps are close-on-exec.
 *
 * Every call returns 0 or a code: the host's errno unchanged, or one of the
 * library's codes where its comment says so. Failures that need explaining
 * are logged at level 1 with the source "base/ovplatform/src/ovprocess".
 *
 * The primitives of ovplatform.h (fork, exec, starting, polling and waiting
 * for children, the environment) keep no state of their own and may be
 * called from any thread, except where a function says otherwise.
 * @{
 */
#ifndef OVPLATFORM_OVPROCESS_H
#define OVPLATFORM_OVPROCESS_H

#include <stdint.h>
#include <sys/types.h>

#include <ovplatform/ovexport.h>
#include <ovplatform/ovfile.h>

/** Flag of ov_process_daemonize(): the daemon exits when done, with the step
 * code or the function's result as its status, instead of returning. */
#define OV_DAEMON_EXIT_WHEN_DONE 0x1u

/** @name Steps of ov_process_daemonize()
 * The steps of ov_process_daemonize() that can fail, by the code it reports
 * (the letters 'B' to 'F'): starting a session, changing to "/", and
 * reopening standard input, output and error on "/dev/null".
 * @{ */
#define OV_DAEMON_STEP_SETSID 66 /**< starting a session */
#define OV_DAEMON_STEP_CHDIR 67  /**< changing to "/" */
#define OV_DAEMON_STEP_STDIN 68  /**< reopening standard input */
#define OV_DAEMON_STEP_STDOUT 69 /**< reopening standard output */
#define OV_DAEMON_STEP_STDERR 70 /**< reopening standard error */
/** @} */

/** @name Flags of ov_process_spawn(); they combine by bitwise or
 * @{ */
#define OV_SPAWN_CLOSE_DESCRIPTORS 0x02u /**< the child keeps only 0, 1 and 2 */
#define OV_SPAWN_STDOUT_NULL 0x08u       /**< the child's standard output is /dev/null */
#define OV_SPAWN_STDERR_NULL 0x10u       /**< the child's standard error is /dev/null */
/** @} */

/** @name Argument limits
 * The most arguments (besides the program) that a start takes, directly and
 * through "sudo" (which takes three entries of the vector for itself).
 * @{ */
#define OV_SPAWN_MAX_ARGS 198      /**< directly */
#define OV_SPAWN_MAX_SUDO_ARGS 195 /**< through "sudo" */
/** @} */

/** The work of a daemon: called with the int and pointer arguments given to
 * ov_process_daemonize. */
typedef int32_t (*ov_daemon_fn_t)(int32_t arg, void *data);

/** Run in a started child before its program: pid points to 0 there. A
 * result other than 0 ends the child with that status. It runs between fork
 * and exec, so in a threaded program it must make only async-signal-safe
 * calls. */
typedef int32_t (*ov_spawn_fn_t)(pid_t *pid, void *data);

OV_EXTERN_C_BEGIN

/** Turns the calling process into a daemon: forks, the parent exits with
 * status 0 (without running its exit handlers), and the child sets the umask
 * to 0, starts a session, changes to "/", closes every descriptor from 3 up
 * and reopens standard input, output and error on "/dev/null". Pending
 * standard I/O output is flushed before the fork, so that it is written once.
 * Then fn, when given, runs with arg and data. With OV_DAEMON_EXIT_WHEN_DONE
 * the daemon exits instead of returning: with the step code of a failed step,
 * with fn's result, or with 0.
 * @param fn     the daemon's work; may be null
 * @param arg    given to fn
 * @param data   given to fn
 * @param flags  0 or OV_DAEMON_EXIT_WHEN_DONE
 * @return in the daemon: 0; fn's result when 0 or negative, negated when
 * positive; the negated step code (-66 to -70, see OV_DAEMON_STEP_*) of a
 * failed step. In the caller: EINVAL when the process (or a process it
 * descends from) already became a daemon; errno when the fork fails (the
 * process may try again). */
OV_API int32_t ov_process_daemonize(ov_daemon_fn_t fn, int32_t arg, void *data,
                                    uint32_t flags) OV_NOEXCEPT;

/** Writes the pid file `<prefix>/var/run/orvane/<name>.pid` (mode 0644 less
 * the umask) holding the calling process's id and a newline. *path receives
 * the file's path, an 8192-byte heap buffer that ov_pidfile_remove frees.
 * @param prefix  the installation prefix
 * @param name    the program's name
 * @param path    receives the file's path
 * @return 0 with *path set; EINVAL for a null argument or an empty name;
 * ENOMEM; errno of the open (ENOENT when the directory is missing,
 * EPATHMAX for a path of 4096 bytes or more), of a write, of the truncation or
 * of the close. On every failure *path is null and no file is left behind
 * (the open's failure leaves whatever was there). */
OV_API int32_t ov_pidfile_create(const char *prefix, const char *name, char **path) OV_NOEXCEPT;

/** Deletes the pid file *path, frees the path and sets *path to null, also
 * when the delete fails.
 * @param path  the slot holding the path of ov_pidfile_create()
 * @return 0; EINVAL for a null pointer or a null *path; errno of the delete. */
OV_API int32_t ov_pidfile_remove(char **path) OV_NOEXCEPT;

/** Switches the calling process to the user's identity. A home directory of
 * the form `<jail>/./<home>` names a root directory and a home inside it:
 * the root is changed to `<jail>` first, while the process is still
 * privileged, and the home is then `<home>` relative to the new root. The
 * umask becomes 0. As root, the user's supplementary groups are installed,
 * then the group id and the user id are set, and root must no longer be
 * regainable. "USER" and "LOGNAME" become the name, "HOME" the home; the
 * working directory becomes the home, or "/" when that fails.
 * @param user  the user's name
 * @return 0; EINVAL for a null name; ENOENT when the user does not exist (an
 * empty name included) or its entry has no name or home directory; ERANGE
 * when the user is in more than 65536 groups; errno of the change of root
 * (nothing else is changed then), of the group or user switch, of setting
 * the environment or of the change to "/"; EPERM when root can be regained
 * after the switch. */
OV_API int32_t ov_process_runas(const char *user) OV_NOEXCEPT;

/** Starts program with args[0..argc-1] in a child process.
 *
 * A process that does not run as root and is asked for a user (a non-empty
 * name) other than its real user's runs the program through "sudo -u user";
 * without env the child then gets the user's "USER", "LOGNAME" and "HOME".
 * As root, or without a name, the program runs directly as the caller and
 * the name is not used.
 *
 * For each of in, out and err that is given a pipe is made: the child's
 * standard input, output or error is the pipe, and the caller receives the
 * other end (the write end for in, the read ends for out and err), opened
 * close-on-exec. The child then applies flags (OV_SPAWN_*), runs fn with its
 * data (not when "sudo" is used), changes to dir when given and executes the
 * program: without env through a search of PATH as execvp does, with env by
 * ov_path_exec. A failure in the child ends it with the errno as its exit
 * status.
 * @param pid      receives the child's id; may be null
 * @param program  the program
 * @param args     its arguments
 * @param argc     their number
 * @param dir      the child's working directory; may be null
 * @param env      the child's environment, null-terminated; may be null
 * @param flags    OV_SPAWN_* flags
 * @param fn       run in the child before its program; may be null
 * @param data     given to fn
 * @param in       receives the write end of the child's standard input; may be null
 * @param out      receives the read end of the child's standard output; may be null
 * @param err      receives the read end of the child's standard error; may be null
 * @param user     the user the program runs as; may be null
 * @return 0 with the child's id in *pid (when pid is given) and the pipe ends
 * stored; EINVAL for a null program, a negative argc or null args with
 * argc > 0; ERANGE for more than OV_SPAWN_MAX_ARGS arguments, or more than
 * OV_SPAWN_MAX_SUDO_ARGS through "sudo"; ENOENT when the user of "sudo"
 * does not exist; errno of a pipe or of the fork. Nothing is left open or
 * running after a failure. */
OV_API int32_t ov_process_spawn(pid_t *pid, const char *program, char *const args[], int32_t argc,
                                const char *dir, char *const env[], uint32_t flags,
                                ov_spawn_fn_t fn, void *data, ov_file_t *in, ov_file_t *out,
                                ov_file_t *err, const char *user) OV_NOEXCEPT;

/** Starts program with args[0..argc-1] fully detached: in a new session, as
 * the child of a short-lived intermediate process, so that it is never the
 * caller's child and the caller does not learn its id. Pipes and "sudo" as
 * for ov_process_spawn. The program keeps only descriptors 0, 1 and 2. When
 * a user is asked for and "sudo" is not used (the caller is root, or already
 * that user), the program runs as ov_process_runas would make it: switched
 * to the user, in the user's home, and without env with the user's "USER",
 * "LOGNAME" and "HOME".
 * @param program  the program
 * @param args     its arguments
 * @param argc     their number
 * @param env      the program's environment, null-terminated; may be null
 * @param user     the user the program runs as; may be null
 * @param in       receives the write end of its standard input; may be null
 * @param out      receives the read end of its standard output; may be null
 * @param err      receives the read end of its standard error; may be null
 * @return 0 once the program has been executed; EINVAL, ERANGE and ENOENT as
 * for ov_process_spawn; the errno of a failure before the program ran (the
 * fork of either process, the user switch, the exec: ENOENT for a program
 * that is not found); ERANGE when the user is in more than 65536 groups;
 * EINTR when the intermediate process was killed by a signal other than
 * SIGTRAP. */
OV_API int32_t ov_process_spawn_detached(const char *program, char *const args[], int32_t argc,
                                         char *const env[], const char *user, ov_file_t *in,
                                         ov_file_t *out, ov_file_t *err) OV_NOEXCEPT;

/** ov_process_spawn_detached() without pipes.
 * @param program  the program
 * @param args     its arguments
 * @param argc     their number
 * @param env      the program's environment, null-terminated; may be null
 * @param user     the user the program runs as; may be null
 * @return as that call. */
OV_API int32_t ov_process_spawn_detached_user(const char *program, char *const args[], int32_t argc,
                                              char *const env[], const char *user) OV_NOEXCEPT;

/** ov_process_spawn_detached() without pipes and without a user.
 * @param program  the program
 * @param args     its arguments
 * @param argc     their number
 * @param env      the program's environment, null-terminated; may be null
 * @return as that call. */
OV_API int32_t ov_process_spawn_detached_simple(const char *program, char *const args[],
                                                int32_t argc, char *const env[]) OV_NOEXCEPT;

/** Splits a command line into words. Spaces (only the space character)
 * separate words; a part in double or single quotes runs to the next quote
 * of the same kind and joins the current word without its quotes and without
 * escape processing; "''" alone is an empty word. *words receives an array of
 * *count heap strings (not null-terminated; null for no words), freed with
 * ov_process_split_args_free.
 * @param text   the command line
 * @param words  receives the words
 * @param count  receives their number
 * @return 0 (a null text gives no words); EINVAL for a null words or count
 * pointer, or an unmatched quote; ENOMEM. On failure *words is null and
 * *count 0. */
OV_API int32_t ov_process_split_args(const char *text, char ***words, int32_t *count) OV_NOEXCEPT;

/** Frees the words of ov_process_split_args() and the array, and sets *words
 * to null and *count to 0; nothing for null pointers.
 * @param words  the slot holding the words
 * @param count  the slot holding their number */
OV_API void ov_process_split_args_free(char ***words, int32_t *count) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
