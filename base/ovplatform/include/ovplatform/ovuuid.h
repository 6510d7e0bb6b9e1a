/** @defgroup identifiers Identifiers
 * ovuuid.h: 128-bit unique identifiers and their 36-character text form.
 *
 * The 16 bytes come from libuuid (random when the system has a random
 * source, time-based otherwise). The text form is 36 lowercase hexadecimal
 * digits in groups of 8-4-4-4-12 separated by hyphens, then a NUL.
 *
 * Threads: every function may be called from any thread; none keeps state
 * of its own.
 * @{
 */
#ifndef OVPLATFORM_OVUUID_H
#define OVPLATFORM_OVUUID_H

#include <stdint.h>

#include <ovplatform/ovexport.h>

/** Characters of the text form, without the terminating NUL. */
#define OV_UUID_TEXT_LEN 36

OV_EXTERN_C_BEGIN

/** Fills id with a new identifier.
 * @param id  receives the 16 bytes
 * @return 0; EINVAL for a null id. */
OV_API int32_t ov_uuid_generate(uint8_t id[16]) OV_NOEXCEPT;
/** Writes the 37-byte text form (8-4-4-4-12 lowercase hex and a NUL) at the
 * start of text, which must hold 37 bytes (its size is not checked).
 * @param id    the identifier
 * @param text  receives the text form
 * @return 0; EINVAL for a null argument. */
OV_API int32_t ov_uuid_to_string(const uint8_t id[16], char *text) OV_NOEXCEPT;
/** Zeroes id (a clear the compiler cannot leave out).
 * @param id  the identifier to clear
 * @return 0; EINVAL for null. */
OV_API int32_t ov_uuid_clear(uint8_t id[16]) OV_NOEXCEPT;
/** Writes the text of a fresh identifier at buffer + *pos (at 0 for a null
 * pos) and advances *pos by 36, to the NUL, so that appends continue the
 * string. The identifier's bytes are cleared afterwards.
 * @param buffer  the string being built
 * @param size    bytes of buffer
 * @param pos     position of the write; advanced; may be null
 * @return 0; EBUFFER when fewer than 37 bytes are free (size - *pos <= 36,
 * also for a negative size), writing nothing; EINVAL for a null buffer. */
OV_API int32_t ov_uuid_append(char *buffer, int64_t size, uint64_t *pos) OV_NOEXCEPT;
/** Reads 32 hexadecimal digits (either case) into id, two per byte, the high
 * nibble first. Hyphens are skipped wherever they stand; text after the
 * 32nd digit is ignored.
 * @param text  the text form
 * @param id    receives the 16 bytes
 * @return 0; EINVAL for a null argument or a character that is neither a
 * digit nor a hyphen (bytes completed before it stay written); ERANGE for a
 * text that ends before 32 digits (also an empty one). */
OV_API int32_t ov_uuid_parse(const char *text, uint8_t id[16]) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
