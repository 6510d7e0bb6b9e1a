/* ovplatform.h - host and user identity, signal names. */
#ifndef OVPLATFORM_OVPLATFORM_H
#define OVPLATFORM_OVPLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/* The machine's host name without any domain part. @return 0 or errno. */
OV_API int32_t ov_platform_hostname(char *out, size_t size) OV_NOEXCEPT;

/* ---- Signals ------------------------------------------------------------ */

/* The symbolic name of a signal number ("SIGSEGV" for 11, "SIGPOLL" for 29).
 * Safe to call from a signal handler.
 * @return a read-only text; "UNKNOWN SIGNAL" for 0, negative numbers, 16, 30
 * and 32 and above. */
OV_API const char *ov_platform_signal_name(int signal_number) OV_NOEXCEPT;

/* The number of a signal named with or without the "SIG" prefix, in any case
 * ("hup", "SIGHUP" and "SigHup" all give 1); the whole text must match. The
 * aliases "IOT" (6) and "IO" (29) are accepted as well.
 * @return the number; -1 for any other text or a null name, logged at level 1
 * as "unrecognized signame". */
OV_API int ov_platform_signal_number(const char *name) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
