// internal/ovlog_parts.h - how the parts of the logging module reach each other.
//
// The logger (ovlog.cpp) filters and dispatches messages and owns the set-up
// calls; it hands file lines to the line writer (ovlog_writer.cpp), which
// writes through the log file ring (ovlog_ring.cpp), and system-log messages
// to the syslog transport (ovlog_syslog.cpp). Both put the level's tag in
// front of a message that the formatter (ovlog_format.cpp) formats. Nothing
// here is public.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "internal/log_levels.h"

namespace ov::logging {

// ---- Log file ring (ovlog_ring.cpp) ------------------------------------------------------

// Initialises the file mutex. @return 0 or the mutex error.
int32_t ring_init() noexcept;
// Destroys the file mutex after a set-up that failed; no file is open then.
void ring_abandon() noexcept;
// Derives the base log path from the configured path (size suffix, default
// log directory). @return 0, EPATHMAX, ERANGE or the directory creation's code.
int32_t ring_locate(const char *path) noexcept;
// Opens the ring when no file is current and rotates when the current file is
// full. @return 0, the fstat or mutex error, or the ring opening's code.
int32_t ring_check_size() noexcept;
// Forces both descriptors to disk, closes them and destroys the file mutex.
void ring_close() noexcept;
// The current descriptor, -1 when no file is open.
int ring_current_fd() noexcept;
// fdatasync of the current file, when there is one.
void ring_flush() noexcept;
// True while the calling thread runs a size check: a log call made from
// inside it (by a module the ring uses) must not start another one.
bool ring_in_size_check() noexcept;
// Stores the ring's open descriptors (the current file, and the previous one
// while writers may still hold it) in out. @return how many, at most 2.
int ring_descriptors(int out[2]) noexcept;

// ---- Message formatter (ovlog_format.cpp) -------------------------------------------------

// vsnprintf's contract and output, faster for the usual messages.
// @return the full length, or a negative value when formatting fails.
int format_message(char *buffer, size_t size, const char *format, va_list args) noexcept
    __attribute__((format(printf, 3, 0)));

// ---- Line writer (ovlog_writer.cpp) ------------------------------------------------------

// Size of the tagged-message buffer of file lines.
inline constexpr size_t kLogTaggedSize = 4094;

// Writes the level's tag and a blank, then the formatted message, into buffer.
// @return 4 plus the untruncated message length, or a negative value when
// the buffer is smaller than the tag or the message cannot be formatted.
int format_tagged(char *buffer, size_t size, uint32_t level, const char *format,
                  va_list args) noexcept __attribute__((format(printf, 4, 0)));
// Escapes the control characters (0x00 to 0x1f and DEL) of the first length
// bytes of text in place, as \n, \r, \t or \xHH, keeping at most room bytes;
// an escape that does not fit whole is left out with everything after it.
// text must have room for room bytes. @return the new length.
size_t escape_controls(char *text, size_t length, size_t room) noexcept;
// Writes one message as a file line (or to standard error alone), with
// repeat suppression, echo, prefix and the size check every 64 KiB.
void write_line(uint32_t level, const char *format, va_list args) noexcept
    __attribute__((format(printf, 2, 0)));
// Writer settings taken by the logger's set-up and close.
void writer_set_pid(int pid) noexcept;
void writer_set_stderr_only(bool on) noexcept;
bool writer_stderr_only() noexcept;
void writer_set_stderr_level(int level) noexcept;

// ---- Syslog transport (ovlog_syslog.cpp) -------------------------------------------------

// Chooses the host interface or UDP from the presence of "/dev/log".
void syslog_setup(const char *identity) noexcept;
// @return 0, or ELOG when the message cannot be formatted.
int syslog_send(uint32_t level, const char *format, va_list args) noexcept
    __attribute__((format(printf, 2, 0)));
void syslog_close() noexcept;
// The UDP transport's socket, or -1.
int syslog_descriptor() noexcept;

// ---- The logger as a whole (ovlog.cpp) ---------------------------------------------------

// Stores every descriptor the logger writes through (ring files, the UDP
// socket) in out, for a caller that closes all other descriptors of the
// process. @return how many, at most kLoggerDescriptorsMost.
inline constexpr int kLoggerDescriptorsMost = 3;
int logger_descriptors(int out[kLoggerDescriptorsMost]) noexcept;

}  // namespace ov::logging
