/** @defgroup identity Machine and identity
 * ovplatform.h: the machine, the accounts the process runs under, signal
 * names, memory helpers and thin process primitives. This page has the
 * machine and the accounts; @ref signals_memory and @ref processes have the
 * rest of the header.
 *
 * Results are platform error codes (overror.h) unless a comment says
 * otherwise: 0, or the host's errno unchanged, or a library code. Operations
 * that write text take a caller buffer and its size; text that does not fit
 * is cut at size - 1 (never inside a UTF-8 character) and the cut is
 * reported as EBUFFER. Log lines carry the source name
 * "base/ovplatform/src/ovplatform".
 *
 * Threads: user and group names are looked up with the re-entrant calls
 * of the account data base, so every operation here may be called from any
 * thread.
 */
#ifndef OVPLATFORM_OVPLATFORM_H
#define OVPLATFORM_OVPLATFORM_H

#include <grp.h>
#include <pwd.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <ovplatform/ovexport.h>

/** @addtogroup identity
 * @{ */

/* Sizes of the caller records written by ov_platform_os_name,
 * ov_platform_os_family and ov_platform_version, NUL included. */
#define OV_PLATFORM_OS_NAME_SIZE 6  /**< bytes of ov_platform_os_name()'s record */
#define OV_PLATFORM_VERSION_SIZE 16 /**< bytes of ov_platform_version()'s record */

/** Each text field of ov_locale_t holds 128 characters and a NUL. */
#define OV_PLATFORM_LOCALE_FIELD_SIZE 129

/** The text fields of ov_mount_t and ov_root_t: any path and its NUL. */
#define OV_PLATFORM_PATH_SIZE 8192

/** The parts of the current locale's name, language_territory.codeset. */
typedef struct ov_locale {
    char language[OV_PLATFORM_LOCALE_FIELD_SIZE];  /**< before '_' ("en") */
    char territory[OV_PLATFORM_LOCALE_FIELD_SIZE]; /**< between '_' and '.' ("US") */
    char codeset[OV_PLATFORM_LOCALE_FIELD_SIZE];   /**< after '.' ("UTF-8") */
} ov_locale_t;

/** One file system of "/etc/fstab", in a list made by ov_platform_mounts(). */
typedef struct ov_mount {
    char device[OV_PLATFORM_PATH_SIZE];      /**< mnt_fsname */
    char mount_point[OV_PLATFORM_PATH_SIZE]; /**< mnt_dir */
    char type[OV_PLATFORM_PATH_SIZE];        /**< mnt_type */
    uint64_t total_bytes;                    /**< f_blocks x f_bsize */
    uint64_t used_bytes;                     /**< (f_blocks - f_bfree) x f_bsize */
    uint64_t available_bytes;                /**< f_bavail x f_bsize: open to any user */
    uint64_t file_nodes;                     /**< f_files */
    /** 0, or the errno of the failed status read of the mount point; the four
     * sizes above are then 0. */
    int32_t error;
    uint64_t device_id;    /**< the mount point's st_dev */
    struct ov_mount *next; /**< the next record, or null */
} ov_mount_t;

/** One root of the file-system name space, in a list made by
 * ov_platform_root_list(). */
typedef struct ov_root {
    char path[OV_PLATFORM_PATH_SIZE]; /**< the root's path */
    struct ov_root *next;             /**< the next node, or null */
} ov_root_t;

/** @} */

/** @defgroup signals_memory Signals and memory
 * ovplatform.h: signal names and numbers, aligned blocks and call-site
 * block tables. Results as on the @ref identity page.
 *
 * Threads: the signal tables are read-only; every function may be called
 * from any thread. A call-site block table has no lock: it belongs to its
 * caller, one table per thread or per function activation.
 * @{ */

/** One slot of a caller's call-site block table (ov_platform_stack_get() and
 * ov_platform_stack_reserve()); a line of 0 marks a free slot. */
typedef struct ov_stack_slot {
    void *block;   /**< the slot's heap block */
    uint64_t size; /**< its size */
    int32_t line;  /**< the caller's line that owns the slot; 0 when free */
} ov_stack_slot_t;

/** @name Values of a call-site block table's state word
 * @{ */
#define OV_PLATFORM_STACK_UNUSED 0u /**< the table is cleared on its first use */
#define OV_PLATFORM_STACK_IN_USE 1u /**< the table is in use */
#define OV_PLATFORM_STACK_FAILED 2u /**< every request fails until the owner writes 0 */
/** @} */

/** @} */

/** @addtogroup processes
 * @{ */

/** @name States reported by ov_platform_process_poll()
 * @{ */
#define OV_PLATFORM_POLL_ENDED 0   /**< the child ended and was collected */
#define OV_PLATFORM_POLL_RUNNING 1 /**< the child runs (or is stopped) */
#define OV_PLATFORM_POLL_FAILED 3  /**< the look failed */
/** @} */

/** @name States reported by ov_platform_process_check_exit()
 * @{ */
#define OV_PLATFORM_CHILD_RUNNING 0 /**< the child runs (or is stopped) */
#define OV_PLATFORM_CHILD_EXITED 1  /**< the child exited */
#define OV_PLATFORM_CHILD_KILLED 2  /**< a signal killed the child */
/** @} */

/** The argument vector of ov_platform_process_start holds at most this many
 * entries: the program, its arguments and the terminating null. */
#define OV_PLATFORM_PROCESS_VECTOR_SIZE 200
/** ov_platform_execl() and ov_platform_execle() take at most this many
 * arguments before their terminating null. */
#define OV_PLATFORM_EXECL_MAX_ARGS 99

/** @} */

OV_EXTERN_C_BEGIN

/* ---- Host and system ---------------------------------------------------- */

/** @addtogroup identity
 * @{ */

/** The machine's host name exactly as the system reports it, without any
 * domain part.
 * @param out   receives the name
 * @param size  bytes of out
 * @return 0; EINVAL for a null out; ENAMETOOLONG when the name
 * does not fit (out is then emptied when size > 0). */
OV_API int32_t ov_platform_hostname(char *out, size_t size) OV_NOEXCEPT;

/** `"%s/%s, (%s %s)"`: program name, program version, and the system name and
 * release of uname(2), such as "ovlockfile/4.0.1.182389, (Linux 5.15.0)".
 * @param out      receives the text
 * @param size     bytes of out
 * @param name     the program's name
 * @param version  the program's version
 * @return 0; EINVAL for a null out, name or version; the errno of uname(2);
 * ERANGE when size is below strlen(system name) + strlen(release) + 18
 * (nothing written); EBUFFER when the text was cut to fit. */
OV_API int32_t ov_platform_os_describe(char *out, size_t size, const char *name,
                                       const char *version) OV_NOEXCEPT;

/** `"%s %s %s"`: the system name, release and version of uname(2).
 * @param out   receives the text
 * @param size  bytes of out
 * @return 0; EINVAL for a null out or size 0; the errno of uname(2); EBUFFER
 * when the text was cut to fit. */
OV_API int32_t ov_platform_uname(char *out, size_t size) OV_NOEXCEPT;

/** @{ */
/** Write "Linux" into a record of OV_PLATFORM_OS_NAME_SIZE bytes or more;
 * nothing for a null out.
 * @param out  receives the text */
OV_API void ov_platform_os_name(char *out) OV_NOEXCEPT;
OV_API void ov_platform_os_family(char *out) OV_NOEXCEPT;
/** @} */

/** Writes the library's version text ("4.0.1.182389"), zero-padded, into a
 * record of OV_PLATFORM_VERSION_SIZE bytes; nothing for a null out.
 * @param out  receives the text */
OV_API void ov_platform_version(char *out) OV_NOEXCEPT;

/** The installation directory, "/opt/orvane"; the logger's default log
 * directory lies below it.
 * @param out   receives the directory
 * @param size  bytes of out
 * @return 0; EBUFFER when size is 11 or less (the
 * text is cut); EINVAL for a null out or size 0. */
OV_API int32_t ov_platform_install_dir(char *out, size_t size) OV_NOEXCEPT;

/** Splits the name of the current locale (all categories) into language,
 * territory and codeset; out is zero-filled first. A name without '_', such
 * as "C" or "POSIX", fills the language alone.
 * @param out  receives the parts
 * @return 0 when one field or all three were filled; ELOCALE when there is
 * no locale name or it fills two fields or none ("en_US"); EINVAL for a
 * null out. */
OV_API int32_t ov_platform_locale(ov_locale_t *out) OV_NOEXCEPT;

/** Lists the file systems of "/etc/fstab" in file order, one record per file
 * system: an entry whose mount point is "none" (swap) is left out, and so is
 * an entry whose mount point lies on a file system listed already. A mount
 * point whose status cannot be read gets a record with its errno in error.
 * *out is set to null first and to the list on success; free it with
 * ov_platform_mounts_free.
 * @param out  receives the list
 * @return 0; EINVAL for a null out; the errno of opening the file, of
 * statvfs(2) of a mount point, or ENOMEM (no list is left behind). */
OV_API int32_t ov_platform_mounts(ov_mount_t **out) OV_NOEXCEPT;

/** Frees every record of a list made by ov_platform_mounts() and sets *list
 * to null; nothing for a null list.
 * @param list  the slot holding the list
 * @return 0. */
OV_API int32_t ov_platform_mounts_free(ov_mount_t **list) OV_NOEXCEPT;

/** statvfs(2) of path: fragment size (f_frsize), available blocks (f_bavail)
 * and total blocks (f_blocks).
 * @param path              a path on the file system
 * @param fragment_size     receives f_frsize
 * @param available_blocks  receives f_bavail
 * @param total_blocks      receives f_blocks
 * @return 0; EINVAL for a null argument or an empty path; EIO when statvfs
 * fails, whatever its errno (outputs untouched). */
OV_API int32_t ov_platform_fs_space(const char *path, uint64_t *fragment_size,
                                    uint64_t *available_blocks, uint64_t *total_blocks) OV_NOEXCEPT;

/** A list of the roots of the file-system name space: one node, "/". *out is
 * written on success only; free the list with ov_platform_root_list_free.
 * @param out  receives the list
 * @return 0; EINVAL for a null out; ENOMEM. */
OV_API int32_t ov_platform_root_list(ov_root_t **out) OV_NOEXCEPT;

/** Frees every node and sets *list to null; nothing for a null list.
 * @param list  the slot holding a list of ov_platform_root_list()
 * @return 0. */
OV_API int32_t ov_platform_root_list_free(ov_root_t **list) OV_NOEXCEPT;

/** @} */

/** @addtogroup basics
 * @{ */

/** Counts a start-up of the library. The first one also finds and keeps the
 * path of the running program (ov_path_executable), so that later look-ups
 * do not depend on the current directory. Call it and ov_platform_fini() in
 * pairs, during the single-threaded start and end of a program (the count
 * is atomic all the same).
 * @return 0. */
OV_API int32_t ov_platform_init(void) OV_NOEXCEPT;

/** Counts a shut-down.
 * @return 0; EINVAL when every start-up has been
 * counted down already (the count stays 0). */
OV_API int32_t ov_platform_fini(void) OV_NOEXCEPT;

/** @{ */
/** A 64-bit value in network byte order (big-endian) and back. Any thread.
 * @param value  the value
 * @return the value in the other byte order. */
OV_API uint64_t ov_hton64(uint64_t value) OV_NOEXCEPT;
OV_API uint64_t ov_ntoh64(uint64_t value) OV_NOEXCEPT;
/** @} */

/** @} */

/* ---- Users and groups --------------------------------------------------- */

/** @addtogroup identity
 * @{ */

/** The name of the current user. The environment wins over the account data
 * base: "USER" when it is set and not empty, else "LOGNAME" when it is set,
 * else the account name of the real user id. "LOGNAME" is used as it is even
 * when it is empty: with "USER" unset or empty and "LOGNAME" set to "", the
 * result is 0 with an empty name. A name from the environment that differs
 * from the process owner's account name is logged at level 3 as a mismatch
 * and used.
 * @param out   receives the name
 * @param size  bytes of out
 * @return 0; EINVAL for a null out or size 0, or when neither variable is
 * set (or "USER" is empty and "LOGNAME" unset) and the real user id has no
 * account; EBUFFER when the name does not fit. Failures are logged at level
 * 1 and leave out empty. */
OV_API int32_t ov_platform_usr(char *out, size_t size) OV_NOEXCEPT;

/** Stores the real user id (getuid(2)).
 * @param out  receives the id
 * @return 0; EINVAL for a null out. */
OV_API int32_t ov_platform_uid(uid_t *out) OV_NOEXCEPT;

/** The account name of a user id; an id without an account (or whose look-up
 * fails) gives the id in decimal and a level-4 line.
 * @param uid   the user id
 * @param out   receives the name
 * @param size  bytes of out
 * @return 0; EBUFFER when the text was cut; EINVAL for a null out or size 0. */
OV_API int32_t ov_platform_user_name(uid_t uid, char *out, size_t size) OV_NOEXCEPT;

/** The name of a group id, or the id in decimal as ov_platform_user_name().
 * @param gid   the group id
 * @param out   receives the name
 * @param size  bytes of out
 * @return 0; EBUFFER when the text was cut; EINVAL for a null out or size 0. */
OV_API int32_t ov_platform_group_name(gid_t gid, char *out, size_t size) OV_NOEXCEPT;

/** The account name of the real user id, as ov_platform_user_name().
 * @param out   receives the name
 * @param size  bytes of out
 * @return as ov_platform_user_name(). */
OV_API int32_t ov_platform_current_user_name(char *out, size_t size) OV_NOEXCEPT;

/** Whether a user belongs to a group.
 * @param uid  the user id
 * @param gid  the group id
 * @return 1 when the user id's account has the group as its primary group,
 * or when the group's member list names an account with that user id; else
 * 0 (also when a look-up fails). Member names without an account are
 * skipped. */
OV_API int ov_platform_user_in_group(uid_t uid, gid_t gid) OV_NOEXCEPT;

/** getpwnam_r(3) of name into the caller's entry and buffer; the entry's
 * strings point into buffer.
 * @param name    the user's name
 * @param entry   receives the entry
 * @param buffer  holds the entry's strings
 * @param size    bytes of buffer
 * @return 0; EINVAL for a null argument; ERANGE when buffer is too small
 * for the record; ENOENT when there is no such user, or its entry has no
 * name or no home directory; another error of the look-up. */
OV_API int32_t ov_platform_user_lookup(const char *name, struct passwd *entry, char *buffer,
                                       size_t size) OV_NOEXCEPT;

/** getgrnam_r(3) of name likewise.
 * @param name    the group's name
 * @param entry   receives the entry
 * @param buffer  holds the entry's strings
 * @param size    bytes of buffer
 * @return 0; EINVAL for a null argument; ERANGE when buffer is too small;
 * ENOENT when there is no such group or its entry has no name; another
 * error of the look-up. */
OV_API int32_t ov_platform_group_lookup(const char *name, struct group *entry, char *buffer,
                                        size_t size) OV_NOEXCEPT;

/** @} */

/* ---- Signals ------------------------------------------------------------ */

/** @addtogroup signals_memory
 * @{ */

/** The symbolic name of a signal number ("SIGSEGV" for 11, "SIGPOLL" for 29).
 * Safe to call from a signal handler.
 * @param signal_number  the signal
 * @return a read-only text; "UNKNOWN SIGNAL" for 0, negative numbers, 16, 30
 * and 32 and above. */
OV_API const char *ov_platform_signal_name(int signal_number) OV_NOEXCEPT;

/** The number of a signal named with or without the "SIG" prefix, in any case
 * ("hup", "SIGHUP" and "SigHup" all give 1); the whole text must match. The
 * aliases "IOT" (6) and "IO" (29) are accepted as well.
 * @param name  the signal's name
 * @return the number; -1 for any other text or a null name, logged at level 1
 * as "unrecognized signame". */
OV_API int ov_platform_signal_number(const char *name) OV_NOEXCEPT;

/** The name of an exception code, which this host does not have.
 * @param code  ignored
 * @return "UNKNOWN EXCEPTION" for every code: the host reports faults as
 * signals, not as exception codes. */
OV_API const char *ov_platform_exception_name(uint32_t code) OV_NOEXCEPT;

/* ---- Memory ------------------------------------------------------------- */

/** Stores the granularity of ov_platform_aligned_alloc()'s default
 * alignment, 65536. reserved is ignored.
 * @param reserved  ignored
 * @param out       receives the granularity
 * @return 0; EINVAL for a null out. */
OV_API int32_t ov_platform_alloc_granularity(const void *reserved, uint32_t *out) OV_NOEXCEPT;

/** A zero-filled block aligned to alignment (0 means 65536), its size
 * rounded up to a multiple of the alignment. *out is written on success
 * only; free the block with ov_platform_aligned_free.
 * @param out        receives the block
 * @param alignment  a power of two, at least the size of a pointer; 0 for 65536
 * @param size       bytes wanted
 * @return 0; EINVAL for a null out, or for an alignment that is not a power
 * of two (logged) or below the size of a pointer (logged); ENOMEM when the
 * memory cannot be had or the rounded size would not fit a size_t (logged). */
OV_API int32_t ov_platform_aligned_alloc(void **out, size_t alignment, size_t size) OV_NOEXCEPT;

/** Frees a block of ov_platform_aligned_alloc().
 * @param block  the block
 * @return 0; EINVAL for null. */
OV_API int32_t ov_platform_aligned_free(void *block) OV_NOEXCEPT;

/** A reusable heap block per call site, kept in the caller's table of count
 * slots with its state word (OV_PLATFORM_STACK_*). The caller's line number
 * is the key: the first request from a line takes the first free slot and
 * allocates size bytes (not cleared); later requests from that line get the
 * same block back, grown first (its content kept) when more than it holds is
 * asked. label and site only appear in the log lines,
 * "Out of stack slots at site::line (label)" and
 * "Out of stack memory at site::line (label)".
 * @param label  shown in the log lines
 * @param site   shown in the log lines
 * @param line   the caller's line: the key
 * @param size   bytes wanted
 * @param slots  the caller's table
 * @param count  slots in the table
 * @param state  the table's state word (OV_PLATFORM_STACK_*)
 * @return the block; null when the table is failed already (no log line),
 * or, logged and with the state set to failed, when the table has no free
 * slot left, no slots at all (count 0, null slots or a null state), the line
 * is 0, or the memory cannot be had. */
OV_API void *ov_platform_stack_get(const char *label, const char *site, int32_t line, size_t size,
                                   ov_stack_slot_t *slots, size_t count,
                                   uint32_t *state) OV_NOEXCEPT;

/** With free_blocks set, frees every block of the table and clears the slots
 * that held one, so that no freed block can be handed out again; without
 * it, nothing. The owner writes the state word back to 0 before the table
 * is used again.
 * @param slots        the caller's table
 * @param count        slots in the table
 * @param free_blocks  non-zero to free the blocks
 * @return 1. */
OV_API int32_t ov_platform_stack_release(ov_stack_slot_t *slots, size_t count,
                                         int32_t free_blocks) OV_NOEXCEPT;

/** Bookkeeping of reserved sizes per call site, without allocation: takes
 * the first slot that is free or belongs to line with a recorded size of at
 * least size, and records line and size in it.
 * @param label  shown in the log lines
 * @param site   shown in the log lines
 * @param line   the caller's line: the key
 * @param slots  the caller's table
 * @param count  slots in the table
 * @param room   room left; 0 fails
 * @param state  the table's state word (OV_PLATFORM_STACK_*)
 * @param size   the size reserved
 * @return the slot; null, with the state set to failed, when the state is
 * neither unused nor in use, and, logged, when room is 0
 * ("Out of stack memory before site::line (label)"), the table has no
 * suitable or no slots (or a null state), or the line is 0. */
OV_API ov_stack_slot_t *ov_platform_stack_reserve(const char *label, const char *site, int32_t line,
                                                  ov_stack_slot_t *slots, size_t count,
                                                  int32_t room, uint32_t *state,
                                                  uint64_t size) OV_NOEXCEPT;

/** @} */

/* ---- Processes and the environment -------------------------------------- */

/** @addtogroup processes
 * @{ */

/** fork(2). *out is the child's id in the parent, 0 in the child, -1 on
 * failure.
 * @param out  receives the id
 * @return 0; EINVAL for a null out (nothing forked); the errno of
 * fork. */
OV_API int32_t ov_platform_fork(pid_t *out) OV_NOEXCEPT;

/** execvp(3) of program with argv. Returns only on failure.
 * @param program  the program, searched in PATH
 * @param argv     its argument vector, null-terminated
 * @return EINVAL for a null program or argv; the errno of the exec. */
OV_API int32_t ov_platform_exec(const char *program, char *const argv[]) OV_NOEXCEPT;

/** As ov_platform_exec() with a null envp; otherwise program, searched in
 * PATH, runs with envp as its environment.
 * @param program  the program
 * @param argv     its argument vector, null-terminated
 * @param envp     its environment, null-terminated, or null
 * @return as ov_platform_exec(). */
OV_API int32_t ov_platform_exec_env(const char *program, char *const argv[],
                                    char *const envp[]) OV_NOEXCEPT;

/** ov_platform_exec() with the arguments up to the terminating null as argv
 * (the first is the program's name for itself).
 * @param program  the program
 * @param ...      the arguments, then a null pointer
 * @return ERANGE for more than OV_PLATFORM_EXECL_MAX_ARGS arguments (nothing
 * run); otherwise as ov_platform_exec. */
OV_API int32_t ov_platform_execl(const char *program, ...) OV_NOEXCEPT __attribute__((sentinel));

/** As ov_platform_execl(), with the environment vector after the
 * terminating null (a null environment runs with the current one).
 * @param program  the program
 * @param ...      the arguments, a null pointer, then the environment
 * @return as ov_platform_execl(). */
OV_API int32_t ov_platform_execle(const char *program, ...) OV_NOEXCEPT
    __attribute__((sentinel(1)));

/** Reads a password from the terminal without echo (getpass(3), prompt on
 * the terminal) into out. The C library's copy of the text is wiped.
 * reserved is ignored.
 * @param prompt    shown on the terminal
 * @param reserved  ignored
 * @param out       receives the text
 * @param size      bytes of out
 * @return 0; EINVAL for a null prompt or out, or size 0; EIO when no text
 * can be read; EBUFFER when the text was cut. */
OV_API int32_t ov_platform_getpass(const char *prompt, const void *reserved, char *out,
                                   size_t size) OV_NOEXCEPT;

/** Closes every descriptor from 3 up to the open-file limit (1024 when the
 * system reports none), in one system call where the kernel allows; nothing
 * when the limit is below 4. For a child about to run another program:
 * async-signal-safe. */
OV_API void ov_platform_close_inherited(void) OV_NOEXCEPT;

/** Starts program in a child with the vector [program, args..., null]; the
 * child closes every descriptor above 2 and runs it through PATH, or exits
 * with the exec's errno as its status when it cannot be run.
 * @param pid      receives the child's id
 * @param program  the program
 * @param args     its arguments
 * @param count    their number
 * @return 0 with the child's id in *pid; EINVAL for a null pid or program,
 * or null args with a count above 0; ERANGE when count + 2 exceeds
 * OV_PLATFORM_PROCESS_VECTOR_SIZE (nothing forked); the errno of fork. */
OV_API int32_t ov_platform_process_start(pid_t *pid, const char *program, const char *const *args,
                                         size_t count) OV_NOEXCEPT;

/** ov_platform_process_start() of "/bin/sh" with "-c" and command.
 * @param pid      receives the child's id
 * @param command  the shell command
 * @return as ov_platform_process_start(); EINVAL for a null command. */
OV_API int32_t ov_platform_process_start_shell(pid_t *pid, const char *command) OV_NOEXCEPT;

/** Sends SIGTERM to pid; nothing for pid 0 or below (which would name a
 * group of processes).
 * @param pid  the process
 * @return 0; the errno of kill(2). */
OV_API int32_t ov_platform_process_terminate(pid_t pid) OV_NOEXCEPT;

/** Looks once whether a child has ended, and collects it when it has: *state
 * is OV_PLATFORM_POLL_ENDED (exited or killed by a signal) or
 * OV_PLATFORM_POLL_RUNNING (also when only stopped). reserved is ignored.
 * @param pid       the child
 * @param reserved  ignored
 * @param state     receives OV_PLATFORM_POLL_*
 * @return 0; EINVAL for a null state or a pid of 0 or below (which would
 * collect any child), with *state OV_PLATFORM_POLL_FAILED; the errno of
 * waitpid(2), with *state OV_PLATFORM_POLL_FAILED. */
OV_API int32_t ov_platform_process_poll(pid_t pid, const void *reserved,
                                        int32_t *state) OV_NOEXCEPT;

/** Looks once whether a child has ended, and collects it when it has: *state
 * OV_PLATFORM_CHILD_EXITED with its exit status (0 to 255) in *exit_code,
 * OV_PLATFORM_CHILD_KILLED with -1, or OV_PLATFORM_CHILD_RUNNING (also when
 * only stopped; *exit_code untouched). exit_code may be null.
 * @param pid        the child
 * @param state      receives OV_PLATFORM_CHILD_*
 * @param exit_code  receives the exit status; may be null
 * @return 0; EINVAL for a null state or a pid of 0 or below; the errno of
 * waitpid(2). The outputs are untouched on failure. */
OV_API int32_t ov_platform_process_check_exit(pid_t pid, int32_t *state,
                                              int32_t *exit_code) OV_NOEXCEPT;

/** Waits up to timeout_ms for a child to end and collects it; its exit
 * status, or -1 when a signal killed it, goes to *exit_code (may be null).
 * @param pid         the child
 * @param timeout_ms  the longest wait in milliseconds
 * @param exit_code   receives the exit status; may be null
 * @return 0; ETIMEDOUT when the child still runs at the timeout (it keeps
 * running and can be waited for again); EINVAL for a pid of 0 or below; the
 * errno of waitpid(2). */
OV_API int32_t ov_platform_process_wait(pid_t pid, uint32_t timeout_ms,
                                        int32_t *exit_code) OV_NOEXCEPT;

/** Collects one ended child, if any, discarding its status.
 * @return 0 when one was collected; EWOULDBLOCK when children exist but none
 * has ended; ECHILD when there are none; another errno of waitpid(2). */
OV_API int32_t ov_platform_process_reap_any(void) OV_NOEXCEPT;

/** Whether a process exists (kill(2) with signal 0): *gone 0 when it does, 1
 * when it does not. A process this one may not signal exists.
 * @param pid   the process
 * @param gone  receives 0 or 1
 * @return 0; EINVAL for a null gone or a pid of 0 or below; EPERM and other
 * errors of kill(2), with *gone untouched. */
OV_API int32_t ov_platform_process_exists(pid_t pid, int32_t *gone) OV_NOEXCEPT;

/** setenv(3), replacing any value. The environment belongs to the process:
 * not while another thread reads or changes it.
 * @param name   the variable
 * @param value  its value
 * @return 0; EINVAL for a null name or
 * value, an empty name or one holding '='; ENOMEM. */
OV_API int32_t ov_platform_setenv(const char *name, const char *value) OV_NOEXCEPT;

/** Copies the value of an environment variable into out.
 * @param name  the variable
 * @param out   receives the value
 * @param size  bytes of out
 * @return 0; EINVAL for a null argument, size 0, or an unset variable;
 * EBUFFER when the value was cut. */
OV_API int32_t ov_platform_getenv(const char *name, char *out, size_t size) OV_NOEXCEPT;

/** @} */

OV_EXTERN_C_END

#endif
