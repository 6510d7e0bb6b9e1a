/* ovstring.h - bounded string copy, append and formatting.
 *
 * Every operation writes into a caller-owned buffer of a given size and
 * leaves it NUL-terminated. Text that does not fit is cut at size - 1, never
 * inside a UTF-8 character, and the cut is reported as EBUFFER. An optional
 * position (index of the terminating NUL) lets a sequence of calls build one
 * string without rescanning it.
 */
#ifndef OVPLATFORM_OVSTRING_H
#define OVPLATFORM_OVSTRING_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/* Copies src to dst + *pos. @return 0, EBUFFER when cut, EINVAL for a null
 * argument or *pos >= size (dst is then emptied). */
OV_API int32_t ov_str_to(char *dst, const char *src, size_t size, size_t *pos) OV_NOEXCEPT;

/* vsnprintf at dst + *pos. @return 0, EBUFFER when cut, EINVAL, ENOMEM. */
OV_API int32_t ov_str_vprintf_to(char *dst, size_t size, size_t *pos, const char *format,
                                 va_list args) OV_NOEXCEPT;
OV_API int32_t ov_str_printf_to(char *dst, size_t size, size_t *pos, const char *format, ...)
    OV_NOEXCEPT OV_PRINTF(4, 5);

OV_EXTERN_C_END

#endif
