/* ovbtrace.h - backtraces and the fatal-signal report. */
#ifndef OVPLATFORM_OVBTRACE_H
#define OVPLATFORM_OVBTRACE_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/** @addtogroup logging
 * @{ */

/** Most frames a report captures. */
#define OV_BACKTRACE_MAX_FRAMES 66

/** Called after each text line of a formatted backtrace with the line buffer,
 * its size and the position (write offset) in it. */
typedef void (*ov_backtrace_line_end_t)(char *buffer, size_t size, size_t *position);

OV_EXTERN_C_BEGIN

/** Captures up to max return addresses of the calling thread; stores the
 * 32-bit FNV-1a hash of the frames in *hash when hash is not null. Works on
 * the caller's stack: any thread.
 * @param frames  receives the addresses
 * @param max     room in frames
 * @param hash    receives the hash; may be null
 * @return the number of frames (0 when none). */
OV_API int ov_backtrace_capture(void **frames, int max, uint32_t *hash) OV_NOEXCEPT;

/** Formats a hash line and one line per frame, calling line_end after each.
 * Any thread.
 * @param frames    the addresses of ov_backtrace_capture()
 * @param count     their number
 * @param hash      the hash printed first
 * @param line_end  called after each line
 * @param buffer    receives the lines
 * @param size      bytes of buffer
 * @param position  the write offset in buffer, advanced
 * @return the number of frame lines written. */
OV_API int ov_backtrace_format(void *const *frames, int count, uint32_t hash,
                               ov_backtrace_line_end_t line_end, char *buffer, size_t size,
                               size_t *position) OV_NOEXCEPT;

/** Writes the calling thread's backtrace into buffer at *position (0 when
 * position is null), one line per frame, each ended by a newline. Any
 * thread.
 * @param buffer    receives the lines
 * @param size      bytes of buffer
 * @param position  the write offset, advanced; may be null
 * @return 0; EINVAL for a null buffer. Truncation is not reported. */
OV_API int32_t ov_backtrace_to_buffer(char *buffer, size_t size, size_t *position) OV_NOEXCEPT;

/** Logs the calling thread's backtrace at level 1, one log message per line.
 * Any thread. */
OV_API void ov_log_backtrace(void) OV_NOEXCEPT;

/** Installs the fatal-signal handler for SIGSEGV, SIGILL, SIGFPE, SIGBUS and
 * SIGQUIT once per set-up cycle of the logger. Any thread: the installed
 * flag is atomic, so only the first call of a cycle installs. */
OV_API void ov_fatal_signals_install(void) OV_NOEXCEPT;
/** Lets the next logger set-up install the handler again. Any thread. */
OV_API void ov_fatal_signals_reset(void) OV_NOEXCEPT;
/** Logs the signal and the backtrace, flushes the log file and aborts. info is
 * the handler's siginfo_t (kept untyped so that strict C programs can include
 * this header); only the signal number is used. It runs in the thread that
 * caused the signal.
 * @param signal_number  the signal
 * @param info           the handler's siginfo_t; unused
 * @param context        the handler's context; unused */
OV_API void ov_fatal_signal_handler(int signal_number, void *info, void *context) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
