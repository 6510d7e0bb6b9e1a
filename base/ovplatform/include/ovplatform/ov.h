/** @defgroup basics Library basics
 * ov.h and ovexport.h: the whole public interface in one header, and the
 * macros every public declaration carries.
 *
 * A program includes `<ovplatform/ov.h>` for the whole interface,
 * or the header of one area. Every header compiles as C11 and as C++; in C++
 * the functions have C linkage and are declared noexcept. The library's
 * start-up count (ov_platform_init(), ov_platform_fini()) and the 64-bit
 * byte-order helpers also belong here.
 *
 * Threads: ov_platform_init() and ov_platform_fini() belong to the
 * single-threaded start and end of a program; the byte-order helpers may be
 * called from any thread.
 */
#ifndef OVPLATFORM_OV_H
#define OVPLATFORM_OV_H

#include <ovplatform/ovexport.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovuuid.h>
#include <ovplatform/ovtime.h>
#include <ovplatform/ovsynchron.h>
#include <ovplatform/ovthread.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovdir.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovprocess.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovbtrace.h>
#include <ovplatform/ovlockfile.h>
#include <ovplatform/ovhash.h>

#endif
