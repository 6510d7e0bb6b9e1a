/* ovplatform.h - host and user identity. */
#ifndef OVPLATFORM_OVPLATFORM_H
#define OVPLATFORM_OVPLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/* The machine's host name without any domain part. @return 0 or errno. */
OV_API int32_t ov_platform_hostname(char *out, size_t size) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
