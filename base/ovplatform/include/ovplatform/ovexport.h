/* ovexport.h - visibility and attribute macros shared by the public headers. */
#ifndef OVPLATFORM_OVEXPORT_H
#define OVPLATFORM_OVEXPORT_H

/** @addtogroup basics
 * @{ */

/** Every public declaration carries OV_API; the library is built with hidden
 * visibility, so nothing else leaves the shared object. */
#define OV_API __attribute__((visibility("default")))

/** Marks a printf-like function: its format is argument fmt_index, the
 * arguments it formats begin at first_arg (0 for a va_list), so that the
 * compiler checks calls. */
#define OV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

#ifdef __cplusplus
#define OV_EXTERN_C_BEGIN extern "C" {
#define OV_EXTERN_C_END }
#define OV_NOEXCEPT noexcept
#else
/** Opens the C-linkage block of a header in C++ (extern "C" {); empty in C. */
#define OV_EXTERN_C_BEGIN
/** Closes the block that OV_EXTERN_C_BEGIN opened. */
#define OV_EXTERN_C_END
/** noexcept in C++, empty in C: no function of the library lets a C++
 * exception out. */
#define OV_NOEXCEPT
#endif

/** @} */

#endif
