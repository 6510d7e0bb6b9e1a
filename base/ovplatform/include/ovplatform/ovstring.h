/** @defgroup strings Strings and encodings
 * ovstring.h: bounded string copy, append and formatting; conversions,
 * encodings, matching, and UTF-8 and UTF-16 text.
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
 *
 * Threads: no shared state; every function works only on the caller's
 * buffers and may be called from any thread, as long as callers do not
 * share a destination without a lock. The case conversions use the current
 * locale.
 * @{
 */
#ifndef OVPLATFORM_OVSTRING_H
#define OVPLATFORM_OVSTRING_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

OV_EXTERN_C_BEGIN

/* ---- Bounded copy and append ------------------------------------------- */

/** Copies src to dst + *pos (the areas may overlap) and advances *pos to the
 * terminating NUL.
 * @param dst   the buffer
 * @param src   the text copied
 * @param size  bytes of dst
 * @param pos   position of the write, advanced; may be null
 * @return 0; EBUFFER when the text was cut to fit (a UTF-8 character left
 * incomplete by the cut is dropped as well); EINVAL for a null dst or src or
 * *pos >= size: dst is then emptied (dst[0] = NUL, when size > 0) and a
 * warning is logged. */
OV_API int32_t ov_str_to(char *dst, const char *src, size_t size, size_t *pos) OV_NOEXCEPT;

/** ov_str_to taking at most limit bytes of src.
 * @param dst    the buffer
 * @param src    the text copied
 * @param limit  most bytes of src taken
 * @param size   bytes of dst
 * @param pos    position of the write, advanced; may be null
 * @return as ov_str_to. */
OV_API int32_t ov_strn_to(char *dst, const char *src, size_t limit, size_t size,
                          size_t *pos) OV_NOEXCEPT;

/** Bounded strcpy: ov_str_to at position 0.
 * @param dst   the buffer
 * @param src   the text copied
 * @param size  bytes of dst
 * @return 0, EBUFFER when cut, EINVAL for a null argument or size 0. */
OV_API int32_t ov_str_copy(char *dst, const char *src, size_t size) OV_NOEXCEPT;

/** Bounded strcat: appends src to the text in dst.
 * @param dst   the buffer holding a text
 * @param src   the text appended
 * @param size  bytes of dst
 * @return 0 (also for an empty src, which changes nothing); EBUFFER when the
 * text already fills dst (unchanged) or src was cut; EINVAL for a null
 * argument (not logged). */
OV_API int32_t ov_str_cat(char *dst, const char *src, size_t size) OV_NOEXCEPT;

/** Copies src without its leading and trailing white space to dst + *pos; an
 * all-white-space source adds an empty piece.
 * @param dst   the buffer
 * @param src   the text copied
 * @param size  bytes of dst
 * @param pos   position of the write, advanced; may be null
 * @return 0; EBUFFER when cut (trailing white space is then kept up to the
 * cut); EINVAL for a null argument or *pos >= size (dst emptied, logged). */
OV_API int32_t ov_trimmed_str_to(char *dst, const char *src, size_t size, size_t *pos) OV_NOEXCEPT;

/** vsnprintf at dst + *pos. A text that fills the free space exactly, is
 * longer, or fails to format is formatted a second time into a heap scratch
 * buffer of size - *pos + 1 bytes; a longer text is then cut as by ov_str_to.
 * @param dst     the buffer
 * @param size    bytes of dst
 * @param pos     position of the write, advanced; may be null
 * @param format  printf format
 * @param args    its arguments
 * @return 0; EBUFFER when cut; EINVAL for a null dst or format or
 * *pos >= size (dst emptied, not logged); the host's errno (EILSEQ,
 * EOVERFLOW) when formatting fails, with dst[*pos] = NUL; ENOMEM when the
 * scratch buffer cannot be allocated: dst then holds vsnprintf's own cut
 * text, which may end inside a UTF-8 character, and *pos is unchanged. */
OV_API int32_t ov_str_vprintf_to(char *dst, size_t size, size_t *pos, const char *format,
                                 va_list args) OV_NOEXCEPT;
/** Variadic form of ov_str_vprintf_to.
 * @param dst     the buffer
 * @param size    bytes of dst
 * @param pos     position of the write, advanced; may be null
 * @param format  printf format
 * @param ...     its arguments
 * @return as ov_str_vprintf_to().
 */
OV_API int32_t ov_str_printf_to(char *dst, size_t size, size_t *pos, const char *format,
                                ...) OV_NOEXCEPT OV_PRINTF(4, 5);

/** Appends up to nine strings at dst + *pos with ov_str_to. The list ends with
 * a null pointer: ov_str_concat_to(buf, sizeof buf, &pos, "a", "b", NULL).
 * A tenth non-null string stands where the terminator belongs.
 * @param dst   the buffer
 * @param size  bytes of dst
 * @param pos   position of the write, advanced; may be null
 * @param ...   up to nine strings, then a null pointer
 * @return 0 (also when the first string is null); EINVAL at once, writing
 * nothing, for more than nine strings; otherwise the first non-zero result
 * of ov_str_to (EBUFFER: the piece was cut and later pieces are not added). */
OV_API int32_t ov_str_concat_to(char *dst, size_t size, size_t *pos, ...) OV_NOEXCEPT
    __attribute__((sentinel));

/** ov_str_concat_to at the end of the text already in dst (strlen).
 * @param dst   the buffer holding a text
 * @param size  bytes of dst
 * @param ...   up to nine strings, then a null pointer
 * @return as ov_str_concat_to; EINVAL for a null dst. */
OV_API int32_t ov_str_concat(char *dst, size_t size, ...) OV_NOEXCEPT __attribute__((sentinel));

/** Removes an incomplete UTF-8 character from the end of text (a text that was
 * just cut). *length is the text's length and follows the removal; a null
 * length means strlen(text).
 * @param text    the text, changed in place
 * @param length  its length, updated; may be null
 * @return 0; EINVAL for a null text, or when the trailing continuation bytes
 * have no lead byte before them (nothing is changed then). */
OV_API int32_t ov_utf8_trim_partial(char *text, size_t *length) OV_NOEXCEPT;

/** @name Growable buffers
 * All pointer arguments are required. On ENOMEM the caller's variables keep
 * the old buffer (holding the cut text) and its old size.
 * @{ */

/** ov_str_to into *buffer of *size bytes, doubling it until src fits.
 * @param buffer  the slot holding the heap buffer (null to start)
 * @param src     the text copied
 * @param size    the slot holding its size (0 to start)
 * @param pos     position of the write, advanced
 * @return 0; ENOMEM; EINVAL for a null argument or *pos >= *size. */
OV_API int32_t ov_str_to_alloc(char **buffer, const char *src, size_t *size,
                               size_t *pos) OV_NOEXCEPT;
/** ov_strn_to into a growable buffer.
 * @param buffer  the slot holding the heap buffer (null to start)
 * @param src     the text copied
 * @param limit   most bytes of src taken
 * @param size    the slot holding its size (0 to start)
 * @param pos     position of the write, advanced
 * @return as ov_str_to_alloc. */
OV_API int32_t ov_strn_to_alloc(char **buffer, const char *src, size_t limit, size_t *size,
                                size_t *pos) OV_NOEXCEPT;
/** Appends src to the string in *buffer (a new buffer starts empty).
 * @param buffer  the slot holding the heap buffer (null to start)
 * @param src     the text appended
 * @param size    the slot holding its size (0 to start)
 * @return 0; ENOMEM; EINVAL for a null argument. */
OV_API int32_t ov_str_cat_alloc(char **buffer, const char *src, size_t *size) OV_NOEXCEPT;
/** ov_str_vprintf_to into a growable buffer.
 * @param buffer  the slot holding the heap buffer (null to start)
 * @param size    the slot holding its size (0 to start)
 * @param pos     position of the write, advanced
 * @param format  printf format
 * @param args    its arguments
 * @return 0; ENOMEM; EINVAL; the host's errno when formatting fails. */
OV_API int32_t ov_str_vprintf_alloc(char **buffer, size_t *size, size_t *pos, const char *format,
                                    va_list args) OV_NOEXCEPT;
/** Variadic form of ov_str_vprintf_alloc.
 * @param buffer  the slot holding the heap buffer (null to start)
 * @param size    the slot holding its size (0 to start)
 * @param pos     position of the write, advanced
 * @param format  printf format
 * @param ...     its arguments
 * @return as ov_str_vprintf_alloc().
 */
OV_API int32_t ov_str_printf_alloc(char **buffer, size_t *size, size_t *pos, const char *format,
                                   ...) OV_NOEXCEPT OV_PRINTF(4, 5);

/** @} */

/* ---- Recognisers ---------------------------------------------------------- */

/** Whether text begins with a URL scheme.
 * @param text    the text
 * @param length  characters looked at
 * @return 1 if the first length characters of text form a URL scheme (a
 * letter, then letters, digits, '+', '-' or '.', by the current locale's
 * character classes); 0 otherwise, and for length 0 or a null text. */
OV_API int ov_str_is_scheme(const char *text, size_t length) OV_NOEXCEPT;
/** ov_str_is_scheme over the whole string.
 * @param text  the text
 * @return as ov_str_is_scheme().
 */
OV_API int ov_str_is_scheme_str(const char *text) OV_NOEXCEPT;
/** Whether text is a URL.
 * @param text  the text
 * @return 1 if text has the form scheme "://" rest with a scheme of at least
 * two characters and no '/' before the "://" (so "c://x" and "dir/ab://x"
 * are not URLs); else 0 (also for null). */
OV_API int ov_str_is_url(const char *text) OV_NOEXCEPT;

/* ---- Small utilities ------------------------------------------------------ */

/** strnlen; 0 for a null text.
 * @param text   the text
 * @param limit  most bytes counted
 * @return the length, at most limit.
 */
OV_API size_t ov_strnlen(const char *text, size_t limit) OV_NOEXCEPT;
/** New heap string of at most limit bytes of text plus a NUL (free() it).
 * @param text   the text
 * @param limit  most bytes copied
 * @return the copy; null when allocation fails or text is null (logged). */
OV_API char *ov_str_ndup(const char *text, size_t limit) OV_NOEXCEPT;
/** The length of the leading part made of bytes of set.
 * @param data    the bytes
 * @param length  their number
 * @param set     the bytes that count
 * @return the number of leading bytes among the first length bytes of data
 * that occur in set; a NUL byte counts as occurring in set. */
OV_API size_t ov_str_span(const char *data, size_t length, const char *set) OV_NOEXCEPT;
/** @{ */
/** strdup of text with every byte passed through tolower / toupper.
 * @param text  the text
 * @return the copy (free() it); null for a null text or failed allocation. */
OV_API char *ov_str_tolower_dup(const char *text) OV_NOEXCEPT;
OV_API char *ov_str_toupper_dup(const char *text) OV_NOEXCEPT;
/** @} */
/** @{ */
/** In-place case conversion.
 * @param text  the text, changed in place
 * @return text (null for null). */
OV_API char *ov_str_tolower(char *text) OV_NOEXCEPT;
OV_API char *ov_str_toupper(char *text) OV_NOEXCEPT;
/** @} */
/** Whether text ends with suffix.
 * @param text    the text
 * @param suffix  the ending
 * @return 0 if text ends with suffix, 1 otherwise or when either is null
 * (0 is a match, in the manner of a comparison). */
OV_API int ov_str_ends_with(const char *text, const char *suffix) OV_NOEXCEPT;
/** strtok_r.
 * @param text        the text, changed in place; null to continue
 * @param delimiters  the separating bytes
 * @param save        the position between calls
 * @return the next token, or null at the end.
 */
OV_API char *ov_strtok_r(char *text, const char *delimiters, char **save) OV_NOEXCEPT;
/** Counts a byte in text.
 * @param text  the text
 * @param c     the byte counted
 * @return the number of bytes of text equal to c (0 for null). */
OV_API size_t ov_str_count_char(const char *text, char c) OV_NOEXCEPT;
/** Replaces every byte equal to from by to; nothing for a null text.
 * @param text  the text, changed in place
 * @param from  the byte replaced
 * @param to    its replacement
 */
OV_API void ov_str_replace_char(char *text, char from, char to) OV_NOEXCEPT;
/** Frees array[0] and then array (the tokenizers' arrays keep all their
 * strings in one block that the first element points to); nothing for null.
 * @param array  the array
 */
OV_API void ov_str_array_free(char **array) OV_NOEXCEPT;

/** Copies src to dst + *pos as text that is safe on a terminal and stays one
 * line, for text that came from a file or another process: printable ASCII
 * and well-formed UTF-8 characters from U+00A0 up pass unchanged; a
 * backslash becomes two (`\\`), a newline `"\n"`, a carriage return `"\r"`, a
 * tab `"\t"`, and every other byte (the other C0 controls, DEL, the C1 controls
 * U+0080 to U+009F, bytes of malformed UTF-8) `"\xHH"` in lowercase hex.
 * Advances *pos as ov_str_to does (a null pos starts at 0).
 * @param dst   the buffer
 * @param src   the text copied
 * @param size  bytes of dst
 * @param pos   position of the write, advanced; may be null
 * @return 0; EBUFFER when the text was cut to fit, never inside an escape or
 * a character; EINVAL for a null dst or src or *pos >= size (dst emptied
 * when size > 0). */
OV_API int32_t ov_str_escape_to(char *dst, const char *src, size_t size, size_t *pos) OV_NOEXCEPT;

/* ---- Conversions and encodings ------------------------------------------ */

/* Numbers ------------------------------------------------------------------ */

/** Decimal size with an optional binary-multiple suffix (K, M, G, T, P, E in
 * either case: 2^10 to 2^60). What follows a suffix is not examined; white
 * space after the number ends it.
 * @param text  the text
 * @param out   receives the value
 * @return 0; EINVAL for a null or empty text, a null out, a text without a
 * digit, or any other character after the number; ERANGE when the value is
 * 2^63 or more (a negative number among them) or the suffix takes it there. */
OV_API int32_t ov_str_to_size(const char *text, uint64_t *out) OV_NOEXCEPT;

/** Integer after optional white space and "-" ("+" is not accepted), with a
 * base prefix: "0x" or "0X" hexadecimal, "0" and a digit octal, "%" binary,
 * else decimal. *out is written only on success; *end (may be null) is set in
 * every case: past the digits, at the first character that is not a digit of
 * the base, or at the digit that overflowed.
 * @param text  the text
 * @param out   receives the value
 * @param end   receives the position where reading stopped; may be null
 * @return 0; EINVAL when no digit of the base follows the prefix, or for a
 * null text or out; ERANGE when the value does not fit a signed 64-bit
 * integer. */
OV_API int32_t ov_str_to_int64(const char *text, int64_t *out, char **end) OV_NOEXCEPT;
/** @{ */
/** ov_str_to_int64, then ERANGE when the value does not fit the type
 * (negative values do not fit the unsigned one).
 * @param text  the text
 * @param out   receives the value
 * @param end   receives the position where reading stopped; may be null
 * @return as ov_str_to_int64(); ERANGE also when the value does not fit the type.
 */
OV_API int32_t ov_str_to_int32(const char *text, int32_t *out, char **end) OV_NOEXCEPT;
OV_API int32_t ov_str_to_uint32(const char *text, uint32_t *out, char **end) OV_NOEXCEPT;
/** @} */
/**
 * @param text  the text
 * @return the value of ov_str_to_int64, or 0 when it fails. */
OV_API int64_t ov_str_int64_value(const char *text) OV_NOEXCEPT;
/**
 * @param text  the text
 * @return ov_str_int64_value, or 0 when that does not fit 32 bits. */
OV_API int32_t ov_str_int32_value(const char *text) OV_NOEXCEPT;
/** @{ */
/** atoi, atol, atoll, atof; 0 for a null text.
 * @param text  the text
 * @return the value; 0 for a null text.
 */
OV_API int ov_str_atoi(const char *text) OV_NOEXCEPT;
OV_API long ov_str_atol(const char *text) OV_NOEXCEPT;
OV_API long long ov_str_atoll(const char *text) OV_NOEXCEPT;
OV_API double ov_str_atof(const char *text) OV_NOEXCEPT;
/** @} */
/** @{ */
/** sprintf of the value with "%d", "%u", "%lld", "%llu" or "%f" into buffer,
 * which the caller makes large enough for the longest form: 12, 11, 21 and
 * 21 bytes for the integers, 318 for "%f" of any finite double.
 * @param value   the value
 * @param buffer  receives the text
 * @return buffer (null for null). */
OV_API char *ov_str_from_int(int value, char *buffer) OV_NOEXCEPT;
OV_API char *ov_str_from_uint(unsigned value, char *buffer) OV_NOEXCEPT;
OV_API char *ov_str_from_int64(int64_t value, char *buffer) OV_NOEXCEPT;
OV_API char *ov_str_from_uint64(uint64_t value, char *buffer) OV_NOEXCEPT;
OV_API char *ov_str_from_double(double value, char *buffer) OV_NOEXCEPT;
/** @} */

/* Hexadecimal -------------------------------------------------------------- */

/** Hexadecimal text of data: two upper-case digits per byte, high nibble first, then a NUL.
 * @param data    the bytes
 * @param length  their number
 * @param buffer  receives the text
 * @param size    bytes of buffer
 * @return 0; EBUFFER when size < 2 * length + 1; EINVAL for a null buffer,
 * or null data with a length. */
OV_API int32_t ov_str_hex_encode(const void *data, size_t length, char *buffer,
                                 size_t size) OV_NOEXCEPT;
/** Decodes pairs of digits (0-9, A-F, a-f) into bytes; no NUL is appended. A
 * length of SIZE_MAX means strlen(text). *out_length (may be null) is set to
 * length / 2 before the size is checked, so a caller learns what it needs.
 * @param text        the digits
 * @param length      their number, or SIZE_MAX
 * @param buffer      receives the bytes
 * @param size        bytes of buffer
 * @param out_length  receives length / 2; may be null
 * @return 0; EINVAL for an odd length, a null text, or a pair with another
 * character (logged as "Invalid char in hex string: ..."; the bytes before
 * it are written); EBUFFER when size < length / 2. */
OV_API int32_t ov_str_hex_decode(const char *text, size_t length, void *buffer, size_t size,
                                 size_t *out_length) OV_NOEXCEPT;

/* Base64 and Base64url -----------------------------------------------------
 * The encoders write NUL-terminated text; the decoders write bytes without a
 * NUL and may have written part of the output when they fail. */

/** Base64 text of data: standard alphabet with "=" padding. *out_length (may be null) gets the
 * text's length. Length 0 gives an empty string.
 * @param data        the bytes
 * @param length      their number
 * @param buffer      receives the text
 * @param size        bytes of buffer
 * @param out_length  receives the text's length; may be null
 * @return 0; EBUFFER when size <= 4 * ceil(length / 3); EINVAL for size 0
 * with length 0, a null buffer, or null data with a length. */
OV_API int32_t ov_str_base64_encode(const void *data, size_t length, char *buffer, size_t size,
                                    size_t *out_length) OV_NOEXCEPT;
/** ov_str_base64_encode without the out length.
 * @param data        the bytes
 * @param length      their number
 * @param buffer      receives the text
 * @param size        bytes of buffer
 * @return as ov_str_base64_encode().
 */
OV_API int32_t ov_str_base64_encode_str(const void *data, size_t length, char *buffer,
                                        size_t size) OV_NOEXCEPT;
/** Strict decoder: tab, line feed, carriage return and space are dropped;
 * what remains must be groups of four alphabet characters or "=". A group
 * that starts with "=" ends the text. *out_length (may be null) gets the
 * number of bytes.
 * @param text        the text
 * @param length      its length
 * @param buffer      receives the bytes
 * @param size        bytes of buffer
 * @param out_length  receives the number of bytes; may be null
 * @return 0; EINVAL for any other byte (a NUL included; logged as
 * "ov_str_base64_to_buf(): illegal input char %c"), for a length without
 * white space that is not a multiple of 4, for "=" as a group's second
 * character, or for a null text or buffer with a length or size; EBUFFER
 * unless size > 3 * (length without white space / 4): the buffer needs one
 * byte more than the largest result; ENOMEM when the scratch copy that text
 * with white space needs cannot be had (logged). */
OV_API int32_t ov_str_base64_to_buf(const char *text, size_t length, void *buffer, size_t size,
                                    size_t *out_length) OV_NOEXCEPT;
/** Lenient decoder: every byte outside the alphabet, "=" included, is
 * skipped; a NUL ends the text. A last group of two or three characters
 * gives one or two bytes.
 * @param text        the text
 * @param length      its length
 * @param buffer      receives the bytes
 * @param size        bytes of buffer
 * @param out_length  receives the number of bytes; may be null
 * @return 0; EINVAL when a group has a single character, or for a null text
 * or buffer with a length or size; EBUFFER when the bytes do not fit, and
 * also when the first byte of a group fills the buffer exactly. */
OV_API int32_t ov_str_base64_decode_lenient(const char *text, size_t length, void *buffer,
                                            size_t size, size_t *out_length) OV_NOEXCEPT;
/**
 * @param length  bytes to encode
 * @return the buffer size ov_str_base64url_encode needs for length bytes,
 * terminator included: 4 * (n / 3) + (n % 3, plus 1 when not 0) + 1; SIZE_MAX
 * when that cannot be represented. */
OV_API size_t ov_str_base64url_size(size_t length) OV_NOEXCEPT;
/** URL alphabet ("-" and "_"), no padding. *out_length (may be null) gets the
 * text's length. Length 0 gives an empty string.
 * @param data        the bytes
 * @param length      their number
 * @param buffer      receives the text
 * @param size        bytes of buffer
 * @param out_length  receives the text's length; may be null
 * @return 0; EBUFFER when size < ov_str_base64url_size(length); EINVAL for
 * size 0 with length 0, a null buffer, or null data with a length. */
OV_API int32_t ov_str_base64url_encode(const void *data, size_t length, char *buffer, size_t size,
                                       size_t *out_length) OV_NOEXCEPT;
/** ov_str_base64url_encode without the out length.
 * @param data        the bytes
 * @param length      their number
 * @param buffer      receives the text
 * @param size        bytes of buffer
 * @return as ov_str_base64url_encode().
 */
OV_API int32_t ov_str_base64url_encode_str(const void *data, size_t length, char *buffer,
                                           size_t size) OV_NOEXCEPT;
/** URL alphabet without padding: groups of four characters give three bytes,
 * a last group of three two bytes, of two one byte; a single character left
 * after the groups is ignored. *out_length (may be null) gets the number of
 * bytes.
 * @param text        the text
 * @param length      its length
 * @param buffer      receives the bytes
 * @param size        bytes of buffer
 * @param out_length  receives the number of bytes; may be null
 * @return 0 (also for length 0); EINVAL for length 1, a byte outside the URL
 * alphabet ("=" and NUL among them), or a null text or buffer; EBUFFER when
 * size < 3 * ceil(length / 4). */
OV_API int32_t ov_str_base64url_decode(const char *text, size_t length, void *buffer, size_t size,
                                       size_t *out_length) OV_NOEXCEPT;

/* Matching and splitting --------------------------------------------------- */

/** Wildcard match by bytes, case-sensitive: "*" any run, "?" any one byte, a
 * backslash makes the next pattern byte ordinary. A run of two or more stars
 * at the end needs at least one byte ("a**" does not match "a"); a backslash
 * at the very end matches nothing. Time is bounded by pattern length times
 * text length.
 * @param pattern  the pattern
 * @param text     the text
 * @return 0 if text matches pattern, 1 otherwise (also for null). */
OV_API int ov_str_wildcard_match(const char *pattern, const char *text) OV_NOEXCEPT;
/** Whether text holds a wildcard.
 * @param text  the text
 * @return 1 if text holds a "*" or "?" not escaped by a backslash, else 0. */
OV_API int ov_str_has_wildcard(const char *text) OV_NOEXCEPT;
/** Splits a command line at spaces (0x20 only). A token that starts with a
 * double or single quote runs to the next quote of that kind, both removed
 * (nothing inside is special; "" is an empty token), and the next token
 * starts right after it; quotes inside other tokens are ordinary. On success
 * *tokens holds *count strings in one block (free it with
 * ov_str_array_free), or null when the line has no token.
 * @param line    the command line
 * @param tokens  receives the tokens
 * @param count   receives their number
 * @return 0; ETOKENIZER for a quote that is not closed or a 1000th token;
 * ENOMEM; EINVAL for a null argument. On failure *tokens is null and *count
 * 0. */
OV_API int32_t ov_str_tokenize(const char *line, char ***tokens, int32_t *count) OV_NOEXCEPT;
/** Splits text in place at commas (strtok_r: runs of commas give no empty
 * piece) into array[0] .. array[max_index].
 * @param text       the text, changed in place
 * @param array      receives the pieces
 * @param max_index  the last index of array
 * @param count      receives the number of pieces
 * @return 0 with *count set; EINVAL for a null argument or max_index < 1;
 * EBUFFER for a piece beyond max_index (*count stays 0). */
OV_API int32_t ov_str_split_commas(char *text, char **array, int32_t max_index,
                                   int32_t *count) OV_NOEXCEPT;

/** @name UTF-8 and UTF-16 text
 * Well-formed UTF-8 is that of RFC 3629: characters of one to four bytes, no
 * overlong forms, no encoded surrogates (U+D800 to U+DFFF), nothing above
 * U+10FFFF. UTF-16 text is a NUL-terminated array of 16-bit units in host
 * byte order; sizes of UTF-16 buffers are in bytes. No operation here reads
 * past the terminator of its text or past a length it is given, whatever
 * the bytes, and none logs.
 * @{ */

/** Checks that the n bytes at text form one well-formed character, reading
 * none of the bytes past available (a count of 0 or less means none).
 * @param text       the character
 * @param available  bytes that may be read
 * @param n          the character's length in bytes
 * @return null when they do, and also when nothing is available or text is
 * null; otherwise a pointer to the last byte that still belonged to a valid
 * beginning, so that a caller can skip the broken part as one unit: text for
 * a bad lead byte (0x80 to 0xC1, above 0xF4) or a bad second byte, text +
 * i - 1 when byte i (2 or more) is missing or not a continuation byte. */
OV_API const char *ov_utf8_check(const char *text, int32_t available, int32_t n) OV_NOEXCEPT;
/** ov_utf8_check with n announced by the lead byte: below 0xC0 one byte, to
 * 0xDF two, to 0xEF three, to 0xF7 four (leads above are refused).
 * @param text       the character
 * @param available  bytes that may be read
 * @return as ov_utf8_check; null for a null text or nothing available. */
OV_API const char *ov_utf8_check_char(const char *text, int32_t available) OV_NOEXCEPT;

/** Reads at most max_length bytes of text (SIZE_MAX: up to the terminator).
 * @param text        the text
 * @param max_length  most bytes read, or SIZE_MAX
 * @return 1 if the terminator lies among those bytes and every character
 * before it is well-formed (the empty string is valid); 0 otherwise, and
 * for a null text. */
OV_API int ov_utf8_is_valid(const char *text, size_t max_length) OV_NOEXCEPT;
/** The well-formed prefix of text.
 * @param text        the text
 * @param max_length  most bytes read
 * @return the length in bytes of the longest prefix of text made of complete
 * well-formed characters: up to the terminator, the first bad or incomplete
 * character, or the first character that would end past max_length bytes;
 * 0 for a null or empty text. */
OV_API size_t ov_utf8_valid_prefix(const char *text, size_t max_length) OV_NOEXCEPT;

/** Counts characters by stepping over the lengths the lead bytes announce
 * (see ov_utf8_check_char; leads 0xF8 to 0xFB announce five bytes, 0xFC and
 * above six), without validating them. A step never passes the terminator:
 * a sequence cut short by it counts as one character.
 * @param text  the text
 * @return the number of characters; 0 for a null or empty text. */
OV_API size_t ov_utf8_strlen(const char *text) OV_NOEXCEPT;
/** Steps over count characters as ov_utf8_strlen does.
 * @param text   the text
 * @param count  characters to step over
 * @return the byte after them, or the terminator if it comes first; null
 * for a null or empty text. */
OV_API const char *ov_utf8_advance(const char *text, size_t count) OV_NOEXCEPT;
/** The length of a UTF-16 text.
 * @param text  the text
 * @return the number of 16-bit units before the terminator; 0 for null. */
OV_API size_t ov_utf16_strlen(const uint16_t *text) OV_NOEXCEPT;
/** strlen that takes null.
 * @param text  the text
 * @return strlen(text); 0 for null. */
OV_API size_t ov_strlen_or_zero(const char *text) OV_NOEXCEPT;

/** Copies src to dst, replacing each broken part with the replacement bytes
 * (null: U+FFFD, the bytes EF BF BD). A bad lead byte is replaced on its own;
 * a sequence that breaks after k bytes that could begin a character is
 * replaced once for those k bytes. *size is the size of dst on entry and the
 * number of bytes written, terminator excluded, on return; dst is always
 * NUL-terminated. The output is well-formed when the replacement is.
 * @param dst                 receives the copy
 * @param src                 the text
 * @param size                bytes of dst on entry; bytes written on return
 * @param replacement         the replacement bytes, or null
 * @param replacement_length  their number
 * @return 0 when nothing was replaced; EILLUTFSTR when something was;
 * EBUFFER when dst ran out (it holds the whole characters that fit); EINVAL
 * for a null dst, src or size, *size 0, or a replacement that is not
 * well-formed UTF-8 or holds a NUL byte (dst is emptied when it can be). */
OV_API int32_t ov_utf8_sanitize(char *dst, const char *src, size_t *size, const char *replacement,
                                size_t replacement_length) OV_NOEXCEPT;

/** Converts src with its terminator to UTF-16 in dst of *size bytes (dst may
 * be null when *size is 0). Every character must be well-formed, so lenient
 * has no effect in this direction; characters above U+FFFF become surrogate
 * pairs.
 * @param src      the UTF-8 text
 * @param lenient  no effect in this direction
 * @param dst      receives the UTF-16 text
 * @param size     bytes of dst on entry; see the results
 * @return 0 with *size set to the bytes written without the terminating
 * unit; ERANGE when *size is too small, with *size set to the bytes needed,
 * terminator included; EINVAL for malformed text, a null src or size, or a
 * null dst with a non-zero *size. Nothing is written on failure. */
OV_API int32_t ov_utf8_to_utf16(const char *src, int lenient, uint16_t *dst,
                                size_t *size) OV_NOEXCEPT;
/** Converts src with its terminator to UTF-8 in dst of *size bytes. A high
 * surrogate followed by a low one is one character of four bytes. A lone
 * surrogate is refused, unless lenient is non-zero: it is then written as
 * the three-byte form of its own value (which is not well-formed UTF-8). A
 * high surrogate right before the terminator is refused in either mode.
 * @param src      the UTF-16 text
 * @param lenient  non-zero to write lone surrogates
 * @param dst      receives the UTF-8 text
 * @param size     bytes of dst on entry; see the results
 * @return 0, *size unchanged; ERANGE when *size is too small, with *size
 * set to the bytes needed, terminator included; EINVAL for a refused
 * surrogate, a null src or size, or a null dst with a non-zero *size.
 * Nothing is written on failure. */
OV_API int32_t ov_utf16_to_utf8(const uint16_t *src, int lenient, char *dst,
                                size_t *size) OV_NOEXCEPT;

/** Shortens well-formed text to limit characters with "...": mode < 0 keeps
 * the end ("..." and the last limit - 3 characters), mode > 0 the start (the
 * first limit - 3 characters and "..."), mode 0 both ((limit - 3) / 2
 * characters, "...", the last (limit - 2) / 2). Text of at most limit
 * characters is copied whole. Characters are never cut. The result goes to
 * dst, or to a new heap string (free() it) when dst is null; a dst of
 * strlen(text) + 1 bytes is always large enough.
 * @param text   the text
 * @param dst    receives the result, or null for a new heap string
 * @param limit  most characters of the result
 * @param mode   which end is kept: < 0 the end, > 0 the start, 0 both
 * @return dst or the new string; null for a null or empty text, limit 2 or
 * less, text that is not well-formed, or a failed allocation. */
OV_API char *ov_utf8_ellipsize(const char *text, char *dst, size_t limit, int32_t mode) OV_NOEXCEPT;

/** @} */

OV_EXTERN_C_END

/** @} */

#endif
