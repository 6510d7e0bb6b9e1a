/* ovdir.h - directories: creation with parents. */
#ifndef OVPLATFORM_OVDIR_H
#define OVPLATFORM_OVDIR_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/* Creates path with mode (less the umask) and, when parents is non-zero,
 * its missing ancestors. @return 0 (also for an existing directory),
 * ENOTDIR when path names another kind of file, or errno. */
OV_API int32_t ov_dir_create(const char *path, uint32_t mode, int parents) OV_NOEXCEPT;

OV_EXTERN_C_END

#endif
