/* ovuuid.h - 128-bit unique identifiers and their 36-character text form. */
#ifndef OVPLATFORM_OVUUID_H
#define OVPLATFORM_OVUUID_H

#include <stdint.h>

#include <ovplatform/ovexport.h>

/* Characters of the text form, without the terminating NUL. */
#define OV_UUID_TEXT_LEN 36

OV_EXTERN_C_BEGIN

/* Fills id with a new identifier. @return 0. */
OV_API int32_t ov_uuid_generate(uint8_t id[16]) OV_NOEXCEPT;
/* Writes the 37-byte text form (8-4-4-4-12 lowercase hex and a NUL). @return 0. */
OV_API int32_t ov_uuid_to_string(const uint8_t id[16], char *text) OV_NOEXCEPT;
/* Zeroes id. @return 0. */
OV_API int32_t ov_uuid_clear(uint8_t id[16]) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
