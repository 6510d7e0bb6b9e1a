/* ovstring.h - bounded string copy, append and formatting.
 *
 * Every operation writes into a caller-owned buffer of a given size and
 * leaves it NUL-terminated. Text that does not fit is cut at size - 1, never
 * inside a UTF-8 character, and the cut is reported as EBUFFER; the shortened
 * text is valid and may be used. An optional position (index of the
 * terminating NUL, which is also the length of the text assembled so far)
 * lets a sequence of calls build one string without rescanning it; a null
 * position means "start at 0 and do not report the new length".
 *
 * Growable variants (_alloc) keep a heap buffer and its size in the caller's
 * variables (a null buffer and a size of 0 are a fine start; 0 means 1024)
 * and double the buffer until the text fits. The caller frees the buffer.
 *
 * Results are platform error codes: 0, EINVAL (22), ENOMEM (12), EBUFFER.
 */
#ifndef OVPLATFORM_OVSTRING_H
#define OVPLATFORM_OVSTRING_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/* ---- Bounded copy and append ------------------------------------------- */

/* Copies src to dst + *pos (the areas may overlap) and advances *pos to the
 * terminating NUL.
 * @return 0; EBUFFER when the text was cut to fit (a UTF-8 character left
 * incomplete by the cut is dropped as well); EINVAL for a null dst or src or
 * *pos >= size: dst is then emptied (dst[0] = NUL, when size > 0) and a
 * warning is logged. */
OV_API int32_t ov_str_to(char *dst, const char *src, size_t size, size_t *pos) OV_NOEXCEPT;

/* ov_str_to taking at most limit bytes of src.
 * @return as ov_str_to. */
OV_API int32_t ov_strn_to(char *dst, const char *src, size_t limit, size_t size,
                          size_t *pos) OV_NOEXCEPT;

/* Bounded strcpy: ov_str_to at position 0.
 * @return 0, EBUFFER when cut, EINVAL for a null argument or size 0. */
OV_API int32_t ov_str_copy(char *dst, const char *src, size_t size) OV_NOEXCEPT;

/* Bounded strcat: appends src to the text in dst.
 * @return 0 (also for an empty src, which changes nothing); EBUFFER when the
 * text already fills dst (unchanged) or src was cut; EINVAL for a null
 * argument (not logged). */
OV_API int32_t ov_str_cat(char *dst, const char *src, size_t size) OV_NOEXCEPT;

/* Copies src without its leading and trailing white space to dst + *pos; an
 * all-white-space source adds an empty piece.
 * @return 0; EBUFFER when cut (trailing white space is then kept up to the
 * cut); EINVAL for a null argument or *pos >= size (dst emptied, logged). */
OV_API int32_t ov_trimmed_str_to(char *dst, const char *src, size_t size, size_t *pos) OV_NOEXCEPT;

/* vsnprintf at dst + *pos. A text that fills the free space exactly, is
 * longer, or fails to format is formatted a second time into a heap scratch
 * buffer of size - *pos + 1 bytes; a longer text is then cut as by ov_str_to.
 * @return 0; EBUFFER when cut; EINVAL for a null dst or format or
 * *pos >= size (dst emptied, not logged); the host's errno (EILSEQ,
 * EOVERFLOW) when formatting fails, with dst[*pos] = NUL; ENOMEM when the
 * scratch buffer cannot be allocated: dst then holds vsnprintf's own cut
 * text, which may end inside a UTF-8 character, and *pos is unchanged. */
OV_API int32_t ov_str_vprintf_to(char *dst, size_t size, size_t *pos, const char *format,
                                 va_list args) OV_NOEXCEPT;
/* Variadic form of ov_str_vprintf_to. */
OV_API int32_t ov_str_printf_to(char *dst, size_t size, size_t *pos, const char *format,
                                ...) OV_NOEXCEPT OV_PRINTF(4, 5);

/* Appends up to nine strings at dst + *pos with ov_str_to. The list ends with
 * a null pointer: ov_str_concat_to(buf, sizeof buf, &pos, "a", "b", NULL).
 * A tenth non-null string stands where the terminator belongs.
 * @return 0 (also when the first string is null); EINVAL at once, writing
 * nothing, for more than nine strings; otherwise the first non-zero result
 * of ov_str_to (EBUFFER: the piece was cut and later pieces are not added). */
OV_API int32_t ov_str_concat_to(char *dst, size_t size, size_t *pos, ...) OV_NOEXCEPT
    __attribute__((sentinel));

/* ov_str_concat_to at the end of the text already in dst (strlen).
 * @return as ov_str_concat_to; EINVAL for a null dst. */
OV_API int32_t ov_str_concat(char *dst, size_t size, ...) OV_NOEXCEPT __attribute__((sentinel));

/* Removes an incomplete UTF-8 character from the end of text (a text that was
 * just cut). *length is the text's length and follows the removal; a null
 * length means strlen(text).
 * @return 0; EINVAL for a null text, or when the trailing continuation bytes
 * have no lead byte before them (nothing is changed then). */
OV_API int32_t ov_utf8_trim_partial(char *text, size_t *length) OV_NOEXCEPT;

/* ---- Growable buffers ----------------------------------------------------
 * All pointer arguments are required. On ENOMEM the caller's variables keep
 * the old buffer (holding the cut text) and its old size. */

/* ov_str_to into *buffer of *size bytes, doubling it until src fits.
 * @return 0; ENOMEM; EINVAL for a null argument or *pos >= *size. */
OV_API int32_t ov_str_to_alloc(char **buffer, const char *src, size_t *size,
                               size_t *pos) OV_NOEXCEPT;
/* ov_strn_to into a growable buffer. @return as ov_str_to_alloc. */
OV_API int32_t ov_strn_to_alloc(char **buffer, const char *src, size_t limit, size_t *size,
                                size_t *pos) OV_NOEXCEPT;
/* Appends src to the string in *buffer (a new buffer starts empty).
 * @return 0; ENOMEM; EINVAL for a null argument. */
OV_API int32_t ov_str_cat_alloc(char **buffer, const char *src, size_t *size) OV_NOEXCEPT;
/* ov_str_vprintf_to into a growable buffer.
 * @return 0; ENOMEM; EINVAL; the host's errno when formatting fails. */
OV_API int32_t ov_str_vprintf_alloc(char **buffer, size_t *size, size_t *pos, const char *format,
                                    va_list args) OV_NOEXCEPT;
/* Variadic form of ov_str_vprintf_alloc. */
OV_API int32_t ov_str_printf_alloc(char **buffer, size_t *size, size_t *pos, const char *format,
                                   ...) OV_NOEXCEPT OV_PRINTF(4, 5);

/* ---- Recognisers ---------------------------------------------------------- */

/* @return 1 if the first length characters of text form a URL scheme (a
 * letter, then letters, digits, '+', '-' or '.', by the current locale's
 * character classes); 0 otherwise, and for length 0 or a null text. */
OV_API int ov_str_is_scheme(const char *text, size_t length) OV_NOEXCEPT;
/* ov_str_is_scheme over the whole string. */
OV_API int ov_str_is_scheme_str(const char *text) OV_NOEXCEPT;
/* @return 1 if text has the form scheme "://" rest with a scheme of at least
 * two characters and no '/' before the "://" (so "c://x" and "dir/ab://x"
 * are not URLs); else 0 (also for null). */
OV_API int ov_str_is_url(const char *text) OV_NOEXCEPT;

/* ---- Small utilities ------------------------------------------------------ */

/* strnlen; 0 for a null text. */
OV_API size_t ov_strnlen(const char *text, size_t limit) OV_NOEXCEPT;
/* New heap string of at most limit bytes of text plus a NUL (free() it).
 * @return the copy; null when allocation fails or text is null (logged). */
OV_API char *ov_str_ndup(const char *text, size_t limit) OV_NOEXCEPT;
/* @return the number of leading bytes among the first length bytes of data
 * that occur in set; a NUL byte counts as occurring in set. */
OV_API size_t ov_str_span(const char *data, size_t length, const char *set) OV_NOEXCEPT;
/* strdup of text with every byte passed through tolower / toupper.
 * @return the copy (free() it); null for a null text or failed allocation. */
OV_API char *ov_str_tolower_dup(const char *text) OV_NOEXCEPT;
OV_API char *ov_str_toupper_dup(const char *text) OV_NOEXCEPT;
/* In-place case conversion. @return text (null for null). */
OV_API char *ov_str_tolower(char *text) OV_NOEXCEPT;
OV_API char *ov_str_toupper(char *text) OV_NOEXCEPT;
/* @return 0 if text ends with suffix, 1 otherwise or when either is null
 * (0 is a match, in the manner of a comparison). */
OV_API int ov_str_ends_with(const char *text, const char *suffix) OV_NOEXCEPT;
/* strtok_r. */
OV_API char *ov_strtok_r(char *text, const char *delimiters, char **save) OV_NOEXCEPT;
/* @return the number of bytes of text equal to c (0 for null). */
OV_API size_t ov_str_count_char(const char *text, char c) OV_NOEXCEPT;
/* Replaces every byte equal to from by to; nothing for a null text. */
OV_API void ov_str_replace_char(char *text, char from, char to) OV_NOEXCEPT;
/* Frees array[0] and then array (the tokenizers' arrays keep all their
 * strings in one block that the first element points to); nothing for null. */
OV_API void ov_str_array_free(char **array) OV_NOEXCEPT;

/* ---- Conversions and encodings ------------------------------------------ */

/* ---- UTF-8 and UTF-16 text ---------------------------------------------- */

OV_EXTERN_C_END

#endif
