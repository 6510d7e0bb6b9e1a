/** @defgroup logging Logging and backtraces
 * ovlog.h and ovbtrace.h: the process-wide logger, backtraces and the
 * fatal-signal report.
 *
 * Levels are small unsigned integers, smaller is more severe: 0 and 1 are
 * errors (tag "ERR"), 2 and 3 warnings and notable events ("LOG"), 4 and
 * above debug traces ("DBG"). The threshold is the highest level logged
 * (3 by default, -1 turns logging off). Nothing is written until a
 * destination is chosen: a ring of numbered log files (or standard error
 * alone), the system log, or a caller's function. Until then messages are
 * dropped, or held in memory after ov_log_start_queue and replayed when the
 * destination is chosen. The log call never changes errno.
 *
 * Threads: the log call may come from any thread; no lock is held while a
 * message is formatted or written. The destination and the settings are
 * process-wide values meant to be set at start-up, before other threads
 * log. The backtrace functions work on the caller's stack and may run in
 * any thread.
 * @{
 */
#ifndef OVPLATFORM_OVLOG_H
#define OVPLATFORM_OVLOG_H

#include <stdarg.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/** @name Destination kinds of ov_log_open() and ov_log_kind()
 * @{ */
#define OV_LOG_NONE 0     /**< no destination chosen yet */
#define OV_LOG_SYSLOG 1   /**< the system log */
#define OV_LOG_FILE 2     /**< a ring of log files, or standard error alone */
#define OV_LOG_CALLBACK 3 /**< a caller's function (ov_log_set_callback()) */
/** @} */

/** A caller's destination: receives the level, the caller's source name and
 * line, and the unformatted format with its arguments. */
typedef void (*ov_log_callback_t)(uint32_t level, const char *file, int line, const char *format,
                                  va_list args);

OV_EXTERN_C_BEGIN

/* ---- The log call ------------------------------------------------------ */

/** Logs one line (no trailing newline) from source file and line when level is
 * within the threshold (every level passes while the early queue is on).
 * A message is always one line: its control characters (0x00 to 0x1f and
 * DEL) reach log files, standard error and the system log escaped, as `\n`,
 * `\r`, `\t` or `\xHH` (lower-case hexadecimal); every other byte, the backslash
 * included, is written as it is. A callback receives the format and
 * arguments unchanged. The log call never changes errno.
 * @param level   the message's level; smaller is more severe
 * @param file    the caller's source name (__FILE__)
 * @param line    the caller's line (__LINE__)
 * @param format  printf format of the message
 * @param ...     its arguments
 * @return informative only: -1 when logging is off; 0; ELOG when a system-log
 * message cannot be formatted; ENOMEM when a queued message is lost. */
OV_API int ov_log(uint32_t level, const char *file, int line, const char *format, ...) OV_NOEXCEPT
    OV_PRINTF(4, 5);

/** Filters like ov_log() with level, then logs the message at level 3 with no
 * source name (null) and line -1.
 * @param level   the level the filter judges
 * @param format  printf format of the message
 * @param args    its arguments
 * @return as ov_log(). */
OV_API int ov_log_va(uint32_t level, const char *format, va_list args) OV_NOEXCEPT OV_PRINTF(2, 0);

/** Queues the message while the early queue is on, whatever the threshold;
 * does nothing otherwise.
 * @param level   the message's level
 * @param format  printf format of the message
 * @param ...     its arguments
 * @return 0; ENOMEM when the message is lost. */
OV_API int ov_log_queued(uint32_t level, const char *format, ...) OV_NOEXCEPT OV_PRINTF(2, 3);

/* ---- Destinations ------------------------------------------------------ */

/** Chooses the destination once per set-up cycle. OV_LOG_FILE takes a log
 * path: "-" for standard error alone; a name without '/' goes to
 * /opt/orvane/var/log (created when missing); a ":N" suffix after the name
 * sets a limit of N MiB per file. Lines go to NAME.0.EXT, NAME.1.EXT, ...,
 * with the given name a hard link to the newest. Any other kind but
 * OV_LOG_CALLBACK chooses the system log. Installs the fatal-signal handler,
 * and replays the early queue in order under the threshold in force.
 * A second call after a successful one returns 0 and changes nothing.
 *
 * The log directory may be one that others can write. A file of the ring is
 * never written to when it is a symbolic link, a FIFO or anything else but
 * a regular file of the effective user, or when it has a hard link besides
 * the given name: one line "ovplatform: refusing log file PATH: REASON" on
 * standard error says so, and the ring stops as if the file could not be
 * opened (met at a rotation, file lines are dropped from then on). The log
 * files are close-on-exec.
 *
 * Threads: set-up, during start-up.
 * @param kind  OV_LOG_FILE; OV_LOG_CALLBACK is refused; anything else
 *              chooses the system log
 * @param path  the log path (OV_LOG_FILE)
 * @return 0; EINVAL for a null file path, for OV_LOG_CALLBACK, or when no
 * file of the ring can be opened or one is refused; EPATHMAX for a path
 * longer than 8191 characters; ERANGE when the default log directory cannot
 * be joined with the name; the code of a failed directory creation,
 * directory opening or mutex operation. The destination stays unset after a
 * failure. */
OV_API int32_t ov_log_open(int kind, const char *path) OV_NOEXCEPT;

/** Chooses the system log with identity (null: the program's name), which
 * must stay valid while the system log is in use. Does not install the
 * fatal-signal handler or end the early queue. Nothing happens when a
 * destination is already set.
 * @param identity  the name the system log shows, or null
 * @return 0. */
OV_API int32_t ov_log_open_syslog(const char *identity) OV_NOEXCEPT;

/** Chooses callback as the destination and installs the fatal-signal handler;
 * the early queue is neither replayed nor ended. Nothing happens when a
 * destination is already set.
 * @param callback  receives every message within the threshold
 * @return 0; ERANGE for a null callback. */
OV_API int32_t ov_log_set_callback(ov_log_callback_t callback) OV_NOEXCEPT;

/** Ends the destination: log files are forced to disk and closed, the system
 * log closed, the callback forgotten; the standard-error echo is turned off,
 * the early queue discarded, and the next set-up installs the fatal-signal
 * handler again. The threshold and the file settings stay. Threads:
 * shut-down, when no other thread logs.
 * @return 0; the error of destroying the early queue's mutex. */
OV_API int32_t ov_log_close(void) OV_NOEXCEPT;

/** Forces the current log file's data to disk (file destination only). Any
 * thread. */
OV_API void ov_log_flush(void) OV_NOEXCEPT;

/** Holds messages in memory, whatever their level, until ov_log_open() chooses
 * a destination.
 * @return 0; the error of initialising the queue's mutex. */
OV_API int32_t ov_log_start_queue(void) OV_NOEXCEPT;

/** The destination kind.
 * @return the kind (OV_LOG_NONE until one is chosen). */
OV_API int ov_log_kind(void) OV_NOEXCEPT;

/* ---- Settings ---------------------------------------------------------- */

/* Threshold settings: the threshold is the highest level logged, -1 is off. */

/** Sets the threshold to 3, or to -1 (off) when flag is 0.
 * @param flag  0 turns logging off */
OV_API void ov_log_enable(int flag) OV_NOEXCEPT;
/** Sets the threshold to level, at least -1.
 * @param level  the highest level logged */
OV_API void ov_log_set_level(int level) OV_NOEXCEPT;
/** Sets the threshold to 4, or to 3 when flag is 0.
 * @param flag  0 turns the debug levels off */
OV_API void ov_log_set_debug(int flag) OV_NOEXCEPT;
/** Sets the threshold to 3 + level for level > 0, else 3.
 * @param level  debug levels to log */
OV_API void ov_log_set_debug_level(int level) OV_NOEXCEPT;
/** The threshold.
 * @return the highest level logged, -1 when logging is off. */
OV_API int ov_log_level(void) OV_NOEXCEPT;
/** Whether logging is on.
 * @return 1 unless logging is off (threshold -1), else 0. */
OV_API int ov_log_enabled(void) OV_NOEXCEPT;
/** Whether debug levels are logged.
 * @return 1 when the threshold is above 3, so that debug levels are logged;
 * else 0. */
OV_API int ov_log_debug_enabled(void) OV_NOEXCEPT;
/** Whether the threshold is the default.
 * @return 1 when the threshold is the default, 3; else 0. */
OV_API int ov_log_at_default_level(void) OV_NOEXCEPT;

/** File destination: messages at or below level are also written to standard
 * error, without the line prefix (-1, the default, echoes nothing; lower
 * values become -1). An echo that cannot be written is dropped; the line
 * still goes to the log file.
 * @param level  the highest level echoed */
OV_API void ov_log_set_stderr_level(int level) OV_NOEXCEPT;

/** A log file at or above mb MiB is full (default 10). Values from 1 to 4095
 * are taken; others leave the limit unchanged.
 * @param mb  the size limit in MiB */
OV_API void ov_log_set_max_file_mb(int mb) OV_NOEXCEPT;

/** The ring uses the file numbers 0 to n (default 9, at most 250); values
 * below 1 leave it unchanged.
 * @param n  the highest file number */
OV_API void ov_log_set_max_file_number(int n) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
