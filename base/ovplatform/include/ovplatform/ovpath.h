/* ovpath.h - the lexical canonical form of paths and its companions. */
#ifndef OVPLATFORM_OVPATH_H
#define OVPLATFORM_OVPATH_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/* Canonical form of in, written to out (may be the same buffer).
 * @return 0, also for an empty or null input (empty output); -1 on failure. */
OV_API int ov_path_canonical(const char *in, char *out, size_t size) OV_NOEXCEPT;

/* The path without its last component, in canonical form ("x" gives ".",
 * "/" gives "/"). @return the length of the result, or -1. */
OV_API int ov_path_parent(const char *path, char *out, size_t size) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
