/* ovexport.h - visibility and attribute macros shared by the public headers. */
#ifndef OVPLATFORM_OVEXPORT_H
#define OVPLATFORM_OVEXPORT_H

/* Every public declaration carries OV_API; the library is built with hidden
 * visibility, so nothing else leaves the shared object. */
#define OV_API __attribute__((visibility("default")))

#define OV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

#ifdef __cplusplus
#define OV_EXTERN_C_BEGIN extern "C" {
#define OV_EXTERN_C_END }
#define OV_NOEXCEPT noexcept
#else
#define OV_EXTERN_C_BEGIN
#define OV_EXTERN_C_END
#define OV_NOEXCEPT
#endif

#endif
