/* ovlog.h - the process-wide logger.
 *
 * Levels are small unsigned integers, smaller is more severe: 0 and 1 are
 * errors, 2 and 3 warnings and notable events, 4 and above debug traces.
 * Nothing is written until a destination is chosen. The log call never
 * changes errno.
 */
#ifndef OVPLATFORM_OVLOG_H
#define OVPLATFORM_OVLOG_H

#include <stdarg.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/* Destination kinds of ov_log_open and ov_log_kind. */
#define OV_LOG_NONE 0
#define OV_LOG_SYSLOG 1
#define OV_LOG_FILE 2
#define OV_LOG_CALLBACK 3

OV_EXTERN_C_BEGIN

/* Logs one line (no trailing newline) from source file and line when level is
 * within the threshold. @return informative only: -1 when logging is off. */
OV_API int ov_log(uint32_t level, const char *file, int line, const char *format, ...)
    OV_NOEXCEPT OV_PRINTF(4, 5);

/* Chooses the destination once per set-up cycle; kind OV_LOG_FILE takes the
 * base log path. A second call after a successful one changes nothing.
 * @return 0; EINVAL for a null file path; EPATHMAX for a path longer than
 * 8192 characters; EUNIMPL for a destination this build cannot write to. */
OV_API int32_t ov_log_open(int kind, const char *path) OV_NOEXCEPT;

/* @return the destination kind (OV_LOG_NONE until one is chosen). */
OV_API int ov_log_kind(void) OV_NOEXCEPT;

/* Threshold settings: the threshold is the highest level logged, -1 is off. */
OV_API void ov_log_enable(int flag) OV_NOEXCEPT;           /* 3, or -1 when flag is 0 */
OV_API void ov_log_set_level(int level) OV_NOEXCEPT;       /* level, at least -1 */
OV_API void ov_log_set_debug(int flag) OV_NOEXCEPT;        /* 4, or 3 when flag is 0 */
OV_API void ov_log_set_debug_level(int level) OV_NOEXCEPT; /* 3 + level for level > 0, else 3 */
OV_API int ov_log_level(void) OV_NOEXCEPT;
OV_API int ov_log_enabled(void) OV_NOEXCEPT;
OV_API int ov_log_debug_enabled(void) OV_NOEXCEPT;
OV_API int ov_log_at_default_level(void) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
