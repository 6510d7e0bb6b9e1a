/** @defgroup errors Errors
 * overror.h: the platform error-code space, with names and messages.
 *
 * Every operation of the library returns one signed 32-bit code:
 *
 *   0                 success ("OK")
 *   1 .. 0x6FFF       the host's errno value, passed through unchanged
 *   0x7000 .. 0x7029  the library's own conditions (OV_ERROR_LIST below)
 *   0x702A            ERR_END, end marker; never returned as an error
 *
 * A few host values carry names of the library's own: 11 is EWOULDBLOCK,
 * 16 ENOTREADY, 36 EPATHMAX, 95 ENOTSUP.
 *
 * Threads: the look-ups may be called from any thread at the same time;
 * they read constant tables and write only into the caller's buffer.
 * @{
 */
#ifndef OVPLATFORM_OVERROR_H
#define OVPLATFORM_OVERROR_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/** Success. */
#define OK 0
#ifndef ENOTREADY
/** Not ready: the host's EBUSY. */
#define ENOTREADY 16
#endif
#ifndef EPATHMAX
/** A path too long: the host's ENAMETOOLONG. */
#define EPATHMAX 36
#endif

/** The first of the library's own codes. */
#define OV_ERROR_BASE 0x7000

/** The library's own codes, in numbering order: X(name, value, message).
 * The table in @ref error_codes lists them. */
#define OV_ERROR_LIST(X)                                                     \
    X(EDOCROOT, 0x7000, "Invalid doc root path")                             \
    X(ETOKENIZER, 0x7001, "Invalid command or token separator mismatch")     \
    X(EBASENAME, 0x7002, "Base file/directory name not found in path")       \
    X(EPATHMATCH, 0x7003, "File/directory path mismatch")                    \
    X(EILLUTFSTR, 0x7004, "Illegal UTF string")                              \
    X(EBUFFER, 0x7005, "Insufficient buffer space")                          \
    X(EDIREND, 0x7006, "End or directory reached")                           \
    X(ELIBERR, 0x7007, "Library open/close failed")                          \
    X(ELIBMODERR, 0x7008, "Library module loading failed")                   \
    X(EUUID, 0x7009, "Could not create UUID string")                         \
    X(EXMLPARSER, 0x700A, "Could not parse xml file for configs")            \
    X(ELOCALE, 0x700B, "Could not read locale info")                         \
    X(EMD5SUM, 0x700C, "Could not compute md5sum")                           \
    X(EHASHSUM, 0x700D, "Could not compute SHA hash")                        \
    X(ELOG, 0x700E, "Could not log message")                                 \
    X(EUNAME, 0x700F, "Invalid user name")                                   \
    X(EUACPARSE, 0x7010, "Parse error inside UAC")                           \
    X(ENOXFER, 0x7011, "No transmitting xfer found")                         \
    X(EUNIMPL, 0x7012, "Unimplemented function")                             \
    X(EINTERNAL1, 0x7013, "Internal error")                                  \
    X(EEND, 0x7014, "Reached end")                                           \
    X(ESTORAGEINACCESSIBLE, 0x7015, "Storage inaccessible")                  \
    X(EBADPATHNAME, 0x7016, "Bad pathname")                                  \
    X(ECONNINSECURE, 0x7019, "Connection insecure")                          \
    X(EFILENOTVALID, 0x701A, "File not valid")                               \
    X(ENOTENABLED, 0x701B, "Not enabled")                                    \
    X(ENOTPRESENT, 0x701C, "Not present")                                    \
    X(ELOCKED, 0x701D, "Already locked")                                     \
    X(ELOCKINVAL, 0x701E, "Invalid lock")                                    \
    X(ELOCKSKEW, 0x701F, "Lock time skew detected")                          \
    X(EWRONGCHANNEL, 0x7020, "Incorrect channel accessed")                   \
    X(EABORTSESSION, 0x7021, "User aborted session")                         \
    X(EBADTOKEN, 0x7022, "Bad token")                                        \
    X(EILLEGALCHAR, 0x7023, "Illegal character(s) in path name")             \
    X(EDOCROOTMISSINGRESTR, 0x7024, "Missing docroot restriction")           \
    X(EDOCROOTFAILEDRESTR, 0x7025, "Failed docroot restriction check")       \
    X(EEXPIRED, 0x7026, "Expired")                                           \
    X(EUPLOADINPROGRESS, 0x7027, "File upload already in progress")          \
    X(ESSEARRETRYABLE, 0x7028, "Server-side Encryption At Rest unavailable") \
    X(ESSEARFATAL, 0x7029, "Server-side Encryption At Rest failed")

/** @cond */
enum {
#define OV_ERROR_ENUM(name, value, message) name = value,
    OV_ERROR_LIST(OV_ERROR_ENUM)
#undef OV_ERROR_ENUM
        ERR_END = 0x702A
};
/** @endcond */

OV_EXTERN_C_BEGIN

/** Symbolic name of a code ("EBUFFER", "ENOTREADY", "OK"). Codes without a
 * name of their own give the host's strerror text, or "OV_UNKNOWN_ERRNO".
 *
 * @param code  any code
 * @return the name; static, the caller never frees it. */
OV_API const char *ov_error_name(int32_t code) OV_NOEXCEPT;

/** Writes the message of a code into buffer (size bytes, always terminated;
 * a longer text is cut without splitting a UTF-8 character).
 *
 * @param code    any code
 * @param buffer  receives the message
 * @param size    bytes of buffer
 * @return 0, also when the text was cut; EINVAL for a null buffer or size 0. */
OV_API int32_t ov_error_string(int32_t code, char *buffer, size_t size) OV_NOEXCEPT;

/** ov_error_string(), returning buffer on success and otherwise the fixed text
 * "Could not retrieve error message".
 *
 * @param code    any code
 * @param buffer  receives the message
 * @param size    bytes of buffer
 * @return buffer, or the fixed text. */
OV_API const char *ov_error_text(int32_t code, char *buffer, size_t size) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
