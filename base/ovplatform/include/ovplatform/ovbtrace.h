/* ovbtrace.h - backtraces and the fatal-signal report. */
#ifndef OVPLATFORM_OVBTRACE_H
#define OVPLATFORM_OVBTRACE_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/* Most frames a report captures. */
#define OV_BACKTRACE_MAX_FRAMES 66

/* Called after each text line of a formatted backtrace with the line buffer,
 * its size and the position (write offset) in it. */
typedef void (*ov_backtrace_line_end_t)(char *buffer, size_t size, size_t *position);

OV_EXTERN_C_BEGIN

/* Captures up to max return addresses of the calling thread; stores the
 * 32-bit FNV-1a hash of the frames in *hash when hash is not null.
 * @return the number of frames (0 when none). */
OV_API int ov_backtrace_capture(void **frames, int max, uint32_t *hash) OV_NOEXCEPT;

/* Formats a hash line and one line per frame, calling line_end after each.
 * @return the number of frame lines written. */
OV_API int ov_backtrace_format(void *const *frames, int count, uint32_t hash,
                               ov_backtrace_line_end_t line_end, char *buffer, size_t size,
                               size_t *position) OV_NOEXCEPT;

/* Writes the calling thread's backtrace into buffer at *position (0 when
 * position is null), one line per frame, each ended by a newline.
 * @return 0; EINVAL for a null buffer. Truncation is not reported. */
OV_API int32_t ov_backtrace_to_buffer(char *buffer, size_t size, size_t *position) OV_NOEXCEPT;

/* Logs the calling thread's backtrace at level 1, one log message per line. */
OV_API void ov_log_backtrace(void) OV_NOEXCEPT;

/* Installs the fatal-signal handler for SIGSEGV, SIGILL, SIGFPE, SIGBUS and
 * SIGQUIT once per set-up cycle of the logger. */
OV_API void ov_fatal_signals_install(void) OV_NOEXCEPT;
/* Lets the next logger set-up install the handler again. */
OV_API void ov_fatal_signals_reset(void) OV_NOEXCEPT;
/* Logs the signal and the backtrace, flushes the log file and aborts. info is
 * the handler's siginfo_t (kept untyped so that strict C programs can include
 * this header); only the signal number is used. */
OV_API void ov_fatal_signal_handler(int signal_number, void *info, void *context) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
