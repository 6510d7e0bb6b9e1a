// ovstring_utf.cpp - validation, repair, conversion, counting and shortening of UTF-8 text.
//
// The library keeps all text as NUL-terminated UTF-8. This part of the string
// module keeps that text well-formed (RFC 3629: one to four bytes per
// character, no overlong forms, no encoded surrogates, nothing above
// U+10FFFF): it checks single characters and whole strings, replaces broken
// sequences, converts to and from NUL-terminated UTF-16 for interfaces that
// need 16-bit text, counts and steps by characters, and shortens text for
// display without cutting a character. Text comes from anywhere, so every
// loop here stops at the terminator and at the length it was given, and every
// size is computed so that it cannot overflow.
//
// Map of this file:
//   - fast scans: runs of ASCII bytes, the end of UTF-16 text
//   - one character: the check with its broken-part pointer, the well-formed
//     length used by the hot loops
//   - whole strings: validity, valid prefix, counting and stepping
//   - the sanitiser
//   - UTF-8 to UTF-16 and back
//   - the ellipsis
//
// The cut of a partial character at the end of a shortened copy
// (ov_utf8_trim_partial) lives with the bounded copies in ovstring.cpp.
#define OV_LOG_SOURCE "base/ovplatform/src/ovstring"

#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The scans of text whose length is not known yet read whole aligned blocks
// (16 bytes, or a 64-byte line), as the C library's strlen does: an aligned
// block that holds one byte of the text lies in the same page as that byte,
// so it cannot fault, and the bytes of the block past the terminator or past
// the given length are never used. The sanitizers, which know nothing of
// pages, are told not to watch these few functions; everything that decides
// what a byte means is outside them and watched as usual.
#if defined(__clang__)
#define OV_WHOLE_BLOCK_READS __attribute__((no_sanitize("address", "hwaddress", "thread", "memory")))
#elif defined(__GNUC__)
#define OV_WHOLE_BLOCK_READS __attribute__((no_sanitize_address, no_sanitize_thread))
#else
#define OV_WHOLE_BLOCK_READS
#endif

namespace {

constexpr size_t kNotValid = SIZE_MAX;

// The replacement character U+FFFD.
constexpr char kReplacement[] = "\xEF\xBF\xBD";

bool is_continuation(unsigned b) {
    return (b & 0xC0) == 0x80;
}

size_t min_size(size_t a, size_t b) {
    return a < b ? a : b;
}

// Length of the sequence that a lead byte announces, for stepping: a stray
// continuation byte steps as one, leads from 0xF8 announce five and six.
size_t announced_length(unsigned lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    if (lead < 0xFC) return 5;
    return 6;
}

// The range a character's second byte must lie in after lead (0xC2 to 0xF4):
// narrower after 0xE0 and 0xF0 (no overlong forms), 0xED (no surrogates) and
// 0xF4 (nothing above U+10FFFF).
bool second_byte_fits(unsigned lead, unsigned second) {
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    else if (lead == 0xED) high = 0x9F;
    else if (lead == 0xF0) low = 0x90;
    else if (lead == 0xF4) high = 0x8F;
    return second >= low && second <= high;
}

// ---- Fast scans ---------------------------------------------------------------

#if defined(__SSE2__)
// Bit i set when byte i of the block is NUL or not ASCII: the bytes that
// are not greater than 0 as signed values.
unsigned ascii_stops(__m128i block) {
    const __m128i positive = _mm_cmpgt_epi8(block, _mm_setzero_si128());
    return ~static_cast<unsigned>(_mm_movemask_epi8(positive)) & 0xFFFFu;
}
#endif

// Number of bytes at p, at most limit, before the first byte that is NUL or
// not ASCII. Reads whole aligned blocks (see OV_WHOLE_BLOCK_READS); a block
// is read only when its first byte of interest lies before the terminator
// and within limit.
OV_WHOLE_BLOCK_READS size_t ascii_run(const unsigned char *p, size_t limit) {
    if (limit == 0) return 0;
#if defined(__SSE2__)
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    const size_t head = address & 15;
    const __m128i *block = reinterpret_cast<const __m128i *>(address - head);
    unsigned stops = ascii_stops(_mm_load_si128(block)) >> head;
    if (stops != 0) return min_size(static_cast<size_t>(__builtin_ctz(stops)), limit);
    size_t done = 16 - head;
    ++block;
    // Single blocks up to a 64-byte line, then whole lines: the four blocks
    // of a line share its page.
    while (done < limit && (reinterpret_cast<uintptr_t>(block) & 63) != 0) {
        stops = ascii_stops(_mm_load_si128(block));
        if (stops != 0) return min_size(done + __builtin_ctz(stops), limit);
        done += 16;
        ++block;
    }
    const __m128i zero = _mm_setzero_si128();
    while (done < limit) {
        const __m128i a = _mm_load_si128(block);
        const __m128i b = _mm_load_si128(block + 1);
        const __m128i c = _mm_load_si128(block + 2);
        const __m128i d = _mm_load_si128(block + 3);
        const __m128i all = _mm_and_si128(
            _mm_and_si128(_mm_cmpgt_epi8(a, zero), _mm_cmpgt_epi8(b, zero)),
            _mm_and_si128(_mm_cmpgt_epi8(c, zero), _mm_cmpgt_epi8(d, zero)));
        if (_mm_movemask_epi8(all) != 0xFFFF) {
            for (int i = 0; i < 4; ++i, done += 16) {
                stops = ascii_stops(_mm_load_si128(block + i));
                if (stops != 0) return min_size(done + __builtin_ctz(stops), limit);
            }
        }
        done += 64;
        block += 4;
    }
    return limit;
#else
    // Eight bytes at a time in aligned words; a word with a byte of interest
    // is looked at byte by byte.
    typedef uint64_t __attribute__((may_alias)) word_t;
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    size_t done = 0;
    while (done < limit && (reinterpret_cast<uintptr_t>(p + done) & 7) != 0) {
        if (p[done] == 0 || p[done] >= 0x80) return done;
        ++done;
    }
    while (done < limit) {
        const uint64_t w = *reinterpret_cast<const word_t *>(p + done);
        if ((((w - kOnes) & ~w) | w) & kHighs) break;
        done += 8;
    }
    while (done < limit && p[done] != 0 && p[done] < 0x80) ++done;
    return min_size(done, limit);
#endif
}

// Number of units before the terminator of UTF-16 text.
OV_WHOLE_BLOCK_READS size_t utf16_length(const uint16_t *text) {
#if defined(__SSE2__)
    const uintptr_t address = reinterpret_cast<uintptr_t>(text);
    if ((address & 1) == 0) {
        const size_t head = address & 15;
        const __m128i zero = _mm_setzero_si128();
        const __m128i *block = reinterpret_cast<const __m128i *>(address - head);
        // Two mask bits per unit; the units before text are shifted out.
        unsigned zeros =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zero)));
        zeros >>= head;
        if (zeros != 0) return __builtin_ctz(zeros) / 2;
        size_t done = (16 - head) / 2;
        for (++block;; ++block, done += 8) {
            zeros = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zero)));
            if (zeros != 0) return done + __builtin_ctz(zeros) / 2;
        }
    }
#endif
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// ---- One character ---------------------------------------------------------------

// The check of the n bytes at s with available bytes readable; see
// ov_utf8_check. Byte i is read only when i < available and bytes 1 to i - 1
// were continuation bytes, so a terminator stops it as well.
const unsigned char *check_sequence(const unsigned char *s, size_t available, size_t n) {
    if (available == 0) return nullptr;
    const unsigned lead = s[0];
    if ((lead >= 0x80 && lead <= 0xC1) || lead > 0xF4) return s;
    if (n <= 1) return nullptr;
    if (available < 2) return s;
    const unsigned second = s[1];
    if (lead < 0xC2 ? !is_continuation(second) : !second_byte_fits(lead, second)) return s;
    for (size_t i = 2; i < n; ++i) {
        if (available < i + 1 || !is_continuation(s[i])) return s + i - 1;
    }
    return nullptr;
}

// Length of the well-formed character of two to four bytes at p (p[0] is
// 0x80 or above), or 0 when it is broken or does not fit in room bytes. As
// in check_sequence, a byte is read only after the ones before it passed.
inline size_t multibyte_length(const unsigned char *p, size_t room) {
    const unsigned lead = p[0];
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return room >= 2 && is_continuation(p[1]) ? 2 : 0;
    if (lead < 0xF0) {
        if (room < 3 || !second_byte_fits(lead, p[1])) return 0;
        return is_continuation(p[2]) ? 3 : 0;
    }
    if (lead > 0xF4 || room < 4 || !second_byte_fits(lead, p[1])) return 0;
    if (!is_continuation(p[2])) return 0;
    return is_continuation(p[3]) ? 4 : 0;
}

// ---- Whole strings ---------------------------------------------------------------

// Length of the longest prefix of complete well-formed characters among the
// first limit bytes of text; *terminated tells whether the scan ended at the
// terminator (the whole text is then valid).
size_t scan_valid(const unsigned char *text, size_t limit, bool *terminated) {
    size_t pos = 0;
    *terminated = false;
    while (pos < limit) {
        const unsigned lead = text[pos];
        if (lead < 0x80) {
            if (lead == 0) {
                *terminated = true;
                break;
            }
            // A lone ASCII byte (a space between words) is taken here; a run
            // of them goes to the block scan.
            ++pos;
            if (pos < limit && text[pos] - 1u < 0x7Fu) pos += ascii_run(text + pos, limit - pos);
            continue;
        }
        const size_t n = multibyte_length(text + pos, limit - pos);
        if (n == 0) break;
        pos += n;
    }
    return pos;
}

// Steps over the character at p, which is not NUL, by its announced length
// but never past the terminator.
const unsigned char *step_char(const unsigned char *p) {
    const size_t length = announced_length(*p);
    ++p;
    for (size_t k = 1; k < length && *p != 0; ++k) ++p;
    return p;
}

// ---- UTF-8 to UTF-16 and back ---------------------------------------------------------

// Converts the n bytes of src (its terminator follows them) to UTF-16 at out,
// of room units, and returns the number of units, or kNotValid for malformed
// text. A null out only counts. The caller makes room large enough for the
// result; the block stores below check for themselves, since they write up
// to 16 units at a time.
size_t utf8_to_utf16_units(const unsigned char *src, size_t n, uint16_t *out, size_t room) {
    size_t i = 0;
    size_t units = 0;
    while (i < n) {
        const unsigned lead = src[i];
        if (lead < 0x80) {
#if defined(__SSE2__)
            if (n - i >= 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
                const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
                const size_t ascii = high == 0 ? 16 : __builtin_ctz(high);
                if (out != nullptr && room - units >= 16) {
                    const __m128i zero = _mm_setzero_si128();
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + units),
                                     _mm_unpacklo_epi8(bytes, zero));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + units + 8),
                                     _mm_unpackhi_epi8(bytes, zero));
                } else if (out != nullptr) {
                    for (size_t k = 0; k < ascii; ++k) out[units + k] = src[i + k];
                }
                i += ascii;
                units += ascii;
                continue;
            }
#endif
            if (out != nullptr) out[units] = static_cast<uint16_t>(lead);
            ++units;
            ++i;
            continue;
        }
        const size_t left = n - i;
        const unsigned char *p = src + i;
        if (lead < 0xE0) {
            if (lead < 0xC2 || left < 2 || !is_continuation(p[1])) return kNotValid;
            if (out != nullptr) out[units] = static_cast<uint16_t>(((lead & 0x1F) << 6) | (p[1] & 0x3F));
            ++units;
            i += 2;
        } else if (lead < 0xF0) {
            if (left < 3 || !second_byte_fits(lead, p[1]) || !is_continuation(p[2]))
                return kNotValid;
            if (out != nullptr) {
                out[units] = static_cast<uint16_t>(((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) |
                                                   (p[2] & 0x3F));
            }
            ++units;
            i += 3;
        } else {
            if (lead > 0xF4 || left < 4 || !second_byte_fits(lead, p[1]) ||
                !is_continuation(p[2]) || !is_continuation(p[3]))
                return kNotValid;
            if (out != nullptr) {
                const uint32_t c = ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) |
                                   ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
                out[units] = static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10));
                out[units + 1] = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
            }
            units += 2;
            i += 4;
        }
    }
    return units;
}

// Converts the n units of src (its terminator follows them) to UTF-8 at out,
// of room bytes, and returns the number of bytes, or kNotValid for a refused
// surrogate. A null out only counts.
size_t utf16_to_utf8_bytes(const uint16_t *src, size_t n, bool lenient, unsigned char *out,
                           size_t room) {
    size_t i = 0;
    size_t bytes = 0;
    while (i < n) {
        uint32_t c = src[i];
        if (c < 0x80) {
#if defined(__SSE2__)
            if (n - i >= 16) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 8));
                const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
                const __m128i zero = _mm_setzero_si128();
                // One bit per byte of the 16 units' ASCII flags, in unit order.
                const __m128i ascii_a = _mm_cmpeq_epi16(_mm_and_si128(a, high), zero);
                const __m128i ascii_b = _mm_cmpeq_epi16(_mm_and_si128(b, high), zero);
                const unsigned flags =
                    static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii_a, ascii_b)));
                const size_t ascii = flags == 0xFFFF ? 16 : __builtin_ctz(~flags);
                if (out != nullptr && room - bytes >= 16) {
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + bytes),
                                     _mm_packus_epi16(a, b));
                } else if (out != nullptr) {
                    for (size_t k = 0; k < ascii; ++k) out[bytes + k] = static_cast<unsigned char>(src[i + k]);
                }
                i += ascii;
                bytes += ascii;
                continue;
            }
#endif
            if (out != nullptr) out[bytes] = static_cast<unsigned char>(c);
            ++bytes;
            ++i;
            continue;
        }
        if (c < 0x800) {
            if (out != nullptr) {
                out[bytes] = static_cast<unsigned char>(0xC0 | (c >> 6));
                out[bytes + 1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            }
            bytes += 2;
            ++i;
            continue;
        }
        size_t consumed = 1;
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF) {
                if (i + 1 == n) return kNotValid;  // a pair cut by the terminator
                const uint32_t low = src[i + 1];
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    consumed = 2;
                } else if (!lenient) {
                    return kNotValid;
                }
            } else if (!lenient) {
                return kNotValid;
            }
        }
        if (consumed == 2) {
            if (out != nullptr) {
                out[bytes] = static_cast<unsigned char>(0xF0 | (c >> 18));
                out[bytes + 1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
                out[bytes + 2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                out[bytes + 3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            }
            bytes += 4;
        } else {
            // Three bytes, for a lone surrogate in lenient mode as well.
            if (out != nullptr) {
                out[bytes] = static_cast<unsigned char>(0xE0 | (c >> 12));
                out[bytes + 1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                out[bytes + 2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            }
            bytes += 3;
        }
        i += consumed;
    }
    return bytes;
}

}  // namespace

extern "C" {

// ---- One character ---------------------------------------------------------------

const char *ov_utf8_check(const char *text, int32_t available, int32_t n) noexcept {
    if (text == nullptr || available <= 0) return nullptr;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const auto *broken = check_sequence(s, static_cast<size_t>(available),
                                        n < 1 ? 1 : static_cast<size_t>(n));
    return reinterpret_cast<const char *>(broken);
}

const char *ov_utf8_check_char(const char *text, int32_t available) noexcept {
    if (text == nullptr || available <= 0) return nullptr;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const auto *broken = check_sequence(s, static_cast<size_t>(available), announced_length(*s));
    return reinterpret_cast<const char *>(broken);
}

// ---- Whole strings ---------------------------------------------------------------

int ov_utf8_is_valid(const char *text, size_t max_length) noexcept {
    if (text == nullptr) return 0;
    bool terminated = false;
    scan_valid(reinterpret_cast<const unsigned char *>(text), max_length, &terminated);
    return terminated ? 1 : 0;
}

size_t ov_utf8_valid_prefix(const char *text, size_t max_length) noexcept {
    if (text == nullptr) return 0;
    bool terminated = false;
    return scan_valid(reinterpret_cast<const unsigned char *>(text), max_length, &terminated);
}

size_t ov_utf8_strlen(const char *text) noexcept {
    if (text == nullptr) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    size_t count = 0;
    for (;;) {
        const size_t run = ascii_run(p, SIZE_MAX);
        count += run;
        p += run;
        if (*p == 0) return count;
        p = step_char(p);
        ++count;
    }
}

const char *ov_utf8_advance(const char *text, size_t count) noexcept {
    if (text == nullptr || *text == '\0') return nullptr;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (count > 0 && *p != 0) {
        if (*p < 0x80) {
            const size_t run = ascii_run(p, count);
            p += run;
            count -= run;
        } else {
            p = step_char(p);
            --count;
        }
    }
    return reinterpret_cast<const char *>(p);
}

size_t ov_utf16_strlen(const uint16_t *text) noexcept {
    return text == nullptr ? 0 : utf16_length(text);
}

size_t ov_strlen_or_zero(const char *text) noexcept {
    return text == nullptr ? 0 : std::strlen(text);
}

// ---- The sanitiser ---------------------------------------------------------------

int32_t ov_utf8_sanitize(char *dst, const char *src, size_t *size, const char *replacement,
                         size_t replacement_length) noexcept {
    if (dst == nullptr || size == nullptr || *size == 0) return EINVAL;
    if (replacement == nullptr) {
        replacement = kReplacement;
        replacement_length = sizeof kReplacement - 1;
    }
    // The output is well-formed only if what stands in for the broken parts
    // is; a NUL in it would end the output early.
    bool whole = false;
    if (src == nullptr ||
        scan_valid(reinterpret_cast<const unsigned char *>(replacement), replacement_length,
                   &whole) != replacement_length) {
        dst[0] = '\0';
        *size = 0;
        return EINVAL;
    }

    const auto *p = reinterpret_cast<const unsigned char *>(src);
    const size_t last = *size - 1;  // room for the text; the terminator follows
    size_t written = 0;
    int32_t rc = 0;
    for (;;) {
        const size_t run = ascii_run(p, SIZE_MAX);
        if (run > last - written) {
            std::memcpy(dst + written, p, last - written);
            written = last;
            rc = EBUFFER;
            break;
        }
        std::memcpy(dst + written, p, run);
        written += run;
        p += run;
        if (*p == 0) break;
        const size_t length = multibyte_length(p, SIZE_MAX);
        if (length != 0) {
            if (length > last - written) {
                rc = EBUFFER;
                break;
            }
            std::memcpy(dst + written, p, length);
            written += length;
            p += length;
            continue;
        }
        if (replacement_length > last - written) {
            rc = EBUFFER;
            break;
        }
        std::memcpy(dst + written, replacement, replacement_length);
        written += replacement_length;
        rc = EILLUTFSTR;
        p = check_sequence(p, SIZE_MAX, announced_length(*p)) + 1;
    }
    dst[written] = '\0';
    *size = written;
    return rc;
}

// ---- UTF-8 to UTF-16 and back ---------------------------------------------------------

int32_t ov_utf8_to_utf16(const char *src, int lenient, uint16_t *dst, size_t *size) noexcept {
    // Well-formed UTF-8 carries nothing that UTF-16 cannot, so lenient text
    // is converted exactly as strict text is.
    (void)lenient;
    if (src == nullptr || size == nullptr || (dst == nullptr && *size != 0)) return EINVAL;
    const auto *s = reinterpret_cast<const unsigned char *>(src);
    const size_t n = std::strlen(src);
    const size_t room = *size / 2;  // whole units

    // A destination large enough for any result (a unit per byte) takes the
    // conversion in one pass; if the text proves malformed, it is left empty.
    if (dst != nullptr && n < room) {
        const size_t units = utf8_to_utf16_units(s, n, dst, room);
        if (units == kNotValid) {
            dst[0] = 0;
            return EINVAL;
        }
        dst[units] = 0;
        *size = units * 2;
        return 0;
    }

    // Otherwise count first, so that nothing is written unless it all fits.
    const size_t units = utf8_to_utf16_units(s, n, nullptr, 0);
    if (units == kNotValid) return EINVAL;
    // No memory holds text this long, but the size must not wrap: report
    // the largest size, which no caller can provide.
    if (units >= SIZE_MAX / 2) {
        *size = SIZE_MAX;
        return ERANGE;
    }
    const size_t needed = (units + 1) * 2;
    if (*size < needed) {
        *size = needed;
        return ERANGE;
    }
    utf8_to_utf16_units(s, n, dst, units);
    dst[units] = 0;
    *size = units * 2;
    return 0;
}

int32_t ov_utf16_to_utf8(const uint16_t *src, int lenient, char *dst, size_t *size) noexcept {
    if (src == nullptr || size == nullptr || (dst == nullptr && *size != 0)) return EINVAL;
    const size_t n = utf16_length(src);
    auto *out = reinterpret_cast<unsigned char *>(dst);
    // The byte count of text this long could wrap; no memory holds it, and
    // no caller can provide the largest size reported for it.
    if (n >= (SIZE_MAX - 1) / 4) {
        *size = SIZE_MAX;
        return ERANGE;
    }

    // Three bytes per unit are enough for any result (a pair gives four).
    if (dst != nullptr && *size > 3 * n) {
        const size_t bytes = utf16_to_utf8_bytes(src, n, lenient != 0, out, *size - 1);
        if (bytes == kNotValid) {
            dst[0] = '\0';
            return EINVAL;
        }
        dst[bytes] = '\0';
        return 0;
    }

    const size_t bytes = utf16_to_utf8_bytes(src, n, lenient != 0, nullptr, 0);
    if (bytes == kNotValid) return EINVAL;
    if (*size < bytes + 1) {
        *size = bytes + 1;
        return ERANGE;
    }
    utf16_to_utf8_bytes(src, n, lenient != 0, out, bytes);
    dst[bytes] = '\0';
    return 0;
}

// ---- The ellipsis ---------------------------------------------------------------

char *ov_utf8_ellipsize(const char *text, char *dst, size_t limit, int32_t mode) noexcept {
    if (text == nullptr || *text == '\0' || limit <= 2) return nullptr;
    const size_t length = std::strlen(text);
    if (ov_utf8_valid_prefix(text, length) != length) return nullptr;
    // Every step of well-formed text is one whole character.
    const size_t characters = ov_utf8_strlen(text);

    if (limit >= characters) {
        char *copy = dst != nullptr ? dst : static_cast<char *>(std::malloc(length + 1));
        if (copy != nullptr) std::memmove(copy, text, length + 1);
        return copy;
    }

    size_t head = 0;
    size_t tail = 0;
    if (mode < 0) {
        tail = limit - 3;
    } else if (mode == 0) {
        head = (limit - 3) / 2;
        tail = (limit - 2) / 2;
    } else {
        head = limit - 3;
    }
    const size_t head_bytes = head == 0 ? 0 : static_cast<size_t>(ov_utf8_advance(text, head) - text);
    const size_t tail_start = static_cast<size_t>(ov_utf8_advance(text, characters - tail) - text);
    const size_t tail_bytes = length - tail_start;
    // At least four characters go, so the result is shorter than the text.
    char *out = dst != nullptr ? dst : static_cast<char *>(std::malloc(head_bytes + 3 + tail_bytes + 1));
    if (out == nullptr) return nullptr;
    // The tail first: for a destination that is the text itself, it moves
    // towards the start and the dots then overwrite only moved bytes.
    std::memmove(out, text, head_bytes);
    std::memmove(out + head_bytes + 3, text + tail_start, tail_bytes);
    std::memcpy(out + head_bytes, "...", 3);
    out[head_bytes + 3 + tail_bytes] = '\0';
    return out;
}

}  // extern "C"
