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
// The module's source name, as its other files state it; nothing here logs.
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
#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The scans of text whose length is not known yet read whole aligned blocks
// (16 bytes, or lines of 64 and 128), as the C library's strlen does: an aligned
// block that holds one byte of the text lies in the same page as that byte,
// so it cannot fault, and the bytes of the block past the terminator or past
// the given length are never used. The sanitizers, which know nothing of
// pages, are told not to watch these few functions; everything that decides
// what a byte means is outside them and watched as usual.
#if defined(__clang__)
#define OV_WHOLE_BLOCK_READS \
    __attribute__((no_sanitize("address", "hwaddress", "thread", "memory")))
#elif defined(__GNUC__)
#define OV_WHOLE_BLOCK_READS __attribute__((no_sanitize_address, no_sanitize_thread))
#else
#define OV_WHOLE_BLOCK_READS
#endif

namespace {

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
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xED)
        high = 0x9F;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define OV_UTF8_AVX2 1
#define OV_AVX2 __attribute__((target("avx2")))

// The long part of ascii_run with AVX2: from an address aligned to 128
// bytes, which two whole lines share with their page, 128 bytes a step.
// Returns the bytes scanned before the first NUL or non-ASCII byte, or
// limit when the scan got there first.
OV_WHOLE_BLOCK_READS OV_AVX2 size_t ascii_lines_avx2(const unsigned char *aligned, size_t limit) {
    const __m256i zero = _mm256_setzero_si256();
    const auto *block = reinterpret_cast<const __m256i *>(aligned);
    size_t done = 0;
    while (done < limit) {
        const __m256i a = _mm256_cmpgt_epi8(_mm256_load_si256(block), zero);
        const __m256i b = _mm256_cmpgt_epi8(_mm256_load_si256(block + 1), zero);
        const __m256i c = _mm256_cmpgt_epi8(_mm256_load_si256(block + 2), zero);
        const __m256i d = _mm256_cmpgt_epi8(_mm256_load_si256(block + 3), zero);
        const __m256i all = _mm256_and_si256(_mm256_and_si256(a, b), _mm256_and_si256(c, d));
        if (static_cast<unsigned>(_mm256_movemask_epi8(all)) != 0xFFFFFFFFu) {
            const __m256i parts[4] = {a, b, c, d};
            for (const __m256i &part : parts) {
                const unsigned stops = ~static_cast<unsigned>(_mm256_movemask_epi8(part));
                if (stops != 0) return min_size(done + __builtin_ctz(stops), limit);
                done += 32;
            }
        }
        done += 128;
        block += 4;
    }
    return limit;
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
    // Single blocks up to a 64-byte line (to two lines with AVX2), then
    // whole lines: the blocks of a line share its page.
#if defined(OV_UTF8_AVX2)
    const bool avx2 = __builtin_cpu_supports("avx2");
    const uintptr_t line = avx2 ? 127 : 63;
#else
    const uintptr_t line = 63;
#endif
    while (done < limit && (reinterpret_cast<uintptr_t>(block) & line) != 0) {
        stops = ascii_stops(_mm_load_si128(block));
        if (stops != 0) return min_size(done + __builtin_ctz(stops), limit);
        done += 16;
        ++block;
    }
#if defined(OV_UTF8_AVX2)
    if (avx2 && done < limit) {
        return done +
               ascii_lines_avx2(reinterpret_cast<const unsigned char *>(block), limit - done);
    }
#endif
    const __m128i zero = _mm_setzero_si128();
    while (done < limit) {
        const __m128i a = _mm_load_si128(block);
        const __m128i b = _mm_load_si128(block + 1);
        const __m128i c = _mm_load_si128(block + 2);
        const __m128i d = _mm_load_si128(block + 3);
        const __m128i all =
            _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi8(a, zero), _mm_cmpgt_epi8(b, zero)),
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
// n bytes at text, which hold no NUL.
size_t valid_prefix_known(const unsigned char *text, size_t n) {
    size_t pos = 0;
    while (pos < n) {
        const unsigned lead = text[pos];
        if (lead < 0x80) {
            // A lone ASCII byte (a space between words) is taken here; a run
            // of them goes to the block scan.
            ++pos;
            if (pos < n && text[pos] < 0x80) pos += ascii_run(text + pos, n - pos);
            continue;
        }
        const size_t length = multibyte_length(text + pos, n - pos);
        if (length == 0) break;
        pos += length;
    }
    return pos;
}

#if defined(OV_UTF8_AVX2)
// Validation 32 bytes at a time where the processor has AVX2. Every byte is
// judged with the three bytes before it: the high and low nibbles of the
// byte before and the high nibble of the byte itself each select a set of
// error flags from a table, and a flag that all three sets share is an
// error. The third and fourth bytes of a character are the only places
// where a continuation byte may follow another one; they are found from the
// bytes two and three back.
constexpr uint8_t kTooShort = 1 << 0;      // a lead byte not followed by a continuation
constexpr uint8_t kTooLong = 1 << 1;       // a continuation byte after ASCII
constexpr uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
constexpr uint8_t kTooLarge = 1 << 3;      // F4 90..BF, or a lead above F4
constexpr uint8_t kSurrogate = 1 << 4;     // ED A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;     // C0 or C1
constexpr uint8_t kTooLarge1000 = 1 << 6;  // a lead above F4, then 80..8F
constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr uint8_t kTwoConts = 1 << 7;      // a continuation after a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// clang-format off
// Indexed by the high nibble of the byte before.
alignas(16) constexpr uint8_t kFirstHigh[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong,              // 0_______: ASCII
    kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,          // 10______: continuation
    kTooShort | kOverlong2,                              // 1100____
    kTooShort,                                           // 1101____
    kTooShort | kOverlong3 | kSurrogate,                 // 1110____
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4}; // 1111____
// Indexed by the low nibble of the byte before.
alignas(16) constexpr uint8_t kFirstLow[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,       // ____0000
    kCarry | kOverlong2,                                 // ____0001
    kCarry, kCarry,                                      // ____001_
    kCarry | kTooLarge,                                  // ____0100
    kCarry | kTooLarge | kTooLarge1000,                  // ____0101 to ____1100
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,     // ____1101
    kCarry | kTooLarge | kTooLarge1000,                  // ____111_
    kCarry | kTooLarge | kTooLarge1000};
// Indexed by the high nibble of the byte itself.
alignas(16) constexpr uint8_t kSecondHigh[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort,          // 0_______: ASCII
    kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,  // 1000____
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,                   // 1001____
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                   // 101_____
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};         // 11______: a lead
// clang-format on

struct Avx2Tables {
    __m256i first_high;
    __m256i first_low;
    __m256i second_high;
};

OV_AVX2 inline __m256i broadcast_table(const uint8_t (&table)[16]) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(table)));
}

// The block of 32 bytes ending N bytes before the end of input.
template <int N>
OV_AVX2 inline __m256i bytes_back(__m256i input, __m256i previous) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

OV_AVX2 inline __m256i high_nibbles(__m256i v) {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Non-zero bytes where input, read after previous, breaks the rules.
OV_AVX2 inline __m256i block_errors(const Avx2Tables &t, __m256i input, __m256i previous) {
    const __m256i before = bytes_back<1>(input, previous);
    const __m256i flags = _mm256_and_si256(
        _mm256_and_si256(
            _mm256_shuffle_epi8(t.first_high, high_nibbles(before)),
            _mm256_shuffle_epi8(t.first_low, _mm256_and_si256(before, _mm256_set1_epi8(0x0F)))),
        _mm256_shuffle_epi8(t.second_high, high_nibbles(input)));
    // 0x80 where the byte two back leads three or more bytes, or the one
    // three back leads four: exactly there two continuations are right.
    const __m256i third = _mm256_subs_epu8(bytes_back<2>(input, previous),
                                           _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
    const __m256i fourth = _mm256_subs_epu8(bytes_back<3>(input, previous),
                                            _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
    const __m256i expected =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_xor_si256(expected, flags);
}

// Whether the n bytes at p (no NUL among them) are well-formed.
OV_AVX2 bool valid_avx2(const unsigned char *p, size_t n) {
    const Avx2Tables t = {broadcast_table(kFirstHigh), broadcast_table(kFirstLow),
                          broadcast_table(kSecondHigh)};
    // Non-zero in the last three bytes when a character there needs more.
    const __m256i last_leads =
        _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                         static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    __m256i error = _mm256_setzero_si256();
    __m256i previous = _mm256_setzero_si256();
    __m256i incomplete = _mm256_setzero_si256();
    size_t i = 0;
    for (; n - i >= 32; i += 32) {
        const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        if (_mm256_movemask_epi8(input) == 0) {
            // ASCII: right unless a character of the block before is open.
            error = _mm256_or_si256(error, incomplete);
        } else {
            error = _mm256_or_si256(error, block_errors(t, input, previous));
            incomplete = _mm256_subs_epu8(input, last_leads);
        }
        previous = input;
    }
    // The rest, padded with NUL bytes, which end any open character as
    // ASCII would; a rest of nothing still checks the end of the last block.
    alignas(32) unsigned char rest[32] = {};
    std::memcpy(rest, p + i, n - i);
    const __m256i input = _mm256_load_si256(reinterpret_cast<const __m256i *>(rest));
    error = _mm256_or_si256(error, block_errors(t, input, previous));
    return _mm256_testz_si256(error, error) != 0;
}
#endif

// Whether the n bytes at p (no NUL among them) are well-formed.
bool valid_known(const unsigned char *p, size_t n) {
#if defined(OV_UTF8_AVX2)
    if (n >= 64 && __builtin_cpu_supports("avx2")) return valid_avx2(p, n);
#endif
    return valid_prefix_known(p, n) == n;
}

// Length of the longest prefix of complete well-formed characters among the
// first limit bytes of text; *terminated tells whether the scan ended at the
// terminator (the whole text is then valid). Leading ASCII is taken in one
// pass; what follows is measured first (the C library's strnlen reads no
// further than the terminator) and then judged as a whole.
size_t scan_valid(const unsigned char *text, size_t limit, bool *terminated) {
    *terminated = false;
    const size_t start = ascii_run(text, limit);
    if (start == limit) return start;
    if (text[start] == 0) {
        *terminated = true;
        return start;
    }
    const size_t rest = strnlen(reinterpret_cast<const char *>(text + start), limit - start);
    if (valid_known(text + start, rest)) {
        *terminated = rest < limit - start;
        return start + rest;
    }
    return start + valid_prefix_known(text + start, rest);
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
//
// Both directions check the whole text first, so that malformed text leaves
// the destination untouched, and then convert without checking again.

// Number of UTF-16 units of the n bytes of well-formed UTF-8 at p: one per
// character, two for those of four bytes.
size_t utf16_units_of(const unsigned char *p, size_t n) {
    size_t units = 0;
    for (size_t i = 0; i < n; ++i) {
        units += (p[i] & 0xC0) != 0x80;
        units += p[i] >= 0xF0;
    }
    return units;
}

// Writes the UTF-16 form of the character at src[i] (of well-formed UTF-8)
// to out[units] and moves both on.
inline void decode_one(const unsigned char *src, size_t &i, uint16_t *out, size_t &units) {
    const unsigned lead = src[i];
    if (lead < 0x80) {
        out[units++] = static_cast<uint16_t>(lead);
        i += 1;
    } else if (lead < 0xE0) {
        out[units++] = static_cast<uint16_t>(((lead & 0x1F) << 6) | (src[i + 1] & 0x3F));
        i += 2;
    } else if (lead < 0xF0) {
        out[units++] = static_cast<uint16_t>(((lead & 0x0F) << 12) | ((src[i + 1] & 0x3F) << 6) |
                                             (src[i + 2] & 0x3F));
        i += 3;
    } else {
        const uint32_t c = ((lead & 0x07u) << 18) | ((src[i + 1] & 0x3Fu) << 12) |
                           ((src[i + 2] & 0x3Fu) << 6) | (src[i + 3] & 0x3Fu);
        out[units] = static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10));
        out[units + 1] = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
        units += 2;
        i += 4;
    }
}

#if defined(OV_UTF8_AVX2)
// For eight bytes of text made of characters of one and two bytes: the
// shuffle that puts each character that starts among them into a 16-bit
// lane (its first byte low; its second byte, or zero, high), and the number
// of such characters. Indexed by the start bits of the eight bytes and of
// the byte after them (a character of two bytes is a start followed by a
// byte that is none).
struct SpreadTable {
    alignas(16) uint8_t shuffle[512][16];
    uint8_t characters[512];
};

constexpr SpreadTable make_spread_table() {
    SpreadTable t{};
    for (unsigned index = 0; index < 512; ++index) {
        unsigned characters = 0;
        for (auto &lane : t.shuffle[index]) lane = 0x80;  // a zero byte
        for (unsigned at = 0; at < 8; ++at) {
            if (((index >> at) & 1) == 0) continue;
            t.shuffle[index][2 * characters] = static_cast<uint8_t>(at);
            if (((index >> (at + 1)) & 1) == 0) {
                t.shuffle[index][2 * characters + 1] = static_cast<uint8_t>(at + 1);
            }
            ++characters;
        }
        t.characters[index] = static_cast<uint8_t>(characters);
    }
    return t;
}

constexpr SpreadTable kSpread = make_spread_table();

// Bit k set when byte k of v starts a character (is no continuation byte).
OV_AVX2 inline unsigned starts_of(__m128i v) {
    const __m128i continuation =
        _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))),
                       _mm_set1_epi8(static_cast<char>(0x80)));
    return ~static_cast<unsigned>(_mm_movemask_epi8(continuation)) & 0xFFFFu;
}

// The characters that start among the 8 bytes at the start of window (of
// one or two bytes each), to 8 lanes of out; returns their number.
OV_AVX2 inline size_t spread_eight(__m128i window, unsigned starts, uint16_t *out) {
    const unsigned index = starts & 0x1FF;
    const __m128i lanes = _mm_shuffle_epi8(
        window, _mm_load_si128(reinterpret_cast<const __m128i *>(kSpread.shuffle[index])));
    const __m128i first = _mm_and_si128(lanes, _mm_set1_epi16(0xFF));
    const __m128i second = _mm_srli_epi16(lanes, 8);
    const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(first, _mm_set1_epi16(0x1F)), 6),
                                     _mm_and_si128(second, _mm_set1_epi16(0x3F)));
    const __m128i decoded =
        _mm_blendv_epi8(first, two, _mm_cmpgt_epi16(second, _mm_setzero_si128()));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), decoded);
    return kSpread.characters[index];
}

// decode_utf8_generic with AVX2's byte shuffle. The text goes in blocks of
// 16 bytes at a fixed stride, each block giving the characters that start
// in it (a character may end in the next block, whose continuation bytes
// then start nothing). A block of ASCII is widened at once, a block of
// characters of one and two bytes is spread into lanes in two halves, any
// other goes character by character. The stride never waits for what a
// block held, so the loads of blocks overlap.
OV_AVX2 size_t decode_utf8_avx2(const unsigned char *src, size_t n, uint16_t *out, size_t room) {
    size_t i = 0;
    size_t units = 0;
    const __m128i zero = _mm_setzero_si128();
    const __m128i long_lead = _mm_set1_epi8(static_cast<char>(0xE0));
    while (n - i >= 24 && room - units >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        if (_mm_movemask_epi8(v) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + units), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + units + 8),
                             _mm_unpackhi_epi8(v, zero));
            i += 16;
            units += 16;
            continue;
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, long_lead), v)) == 0) {
            const __m128i upper = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 8));
            units += spread_eight(v, starts_of(v), out + units);
            units += spread_eight(upper, starts_of(upper), out + units);
            i += 16;
            continue;
        }
        size_t at = i;
        while (is_continuation(src[at])) ++at;  // the end of a character from before
        while (at < i + 16) decode_one(src, at, out, units);
        i += 16;
    }
    // The rest from the first character that starts in it.
    while (i < n && is_continuation(src[i])) ++i;
    while (i < n) decode_one(src, i, out, units);
    return units;
}
#endif

// Writes the UTF-16 form of the n bytes of well-formed UTF-8 at src to out,
// which has room for it, and returns the number of units. The text goes in
// blocks of 16 bytes: a block of ASCII at once (while out has room for it),
// any other character by character. Deciding once per block keeps the
// branches predictable in text that mixes scripts.
size_t decode_utf8_generic(const unsigned char *src, size_t n, uint16_t *out, size_t room) {
    size_t i = 0;
    size_t units = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    while (n - i >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        if (_mm_movemask_epi8(bytes) == 0 && room - units >= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + units),
                             _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + units + 8),
                             _mm_unpackhi_epi8(bytes, zero));
            i += 16;
            units += 16;
            continue;
        }
        // A character that starts in the block may end past it (it lies
        // within the text, which is well-formed).
        const size_t block_end = i + 16;
        while (i < block_end) decode_one(src, i, out, units);
    }
#else
    (void)room;
#endif
    while (i < n) decode_one(src, i, out, units);
    return units;
}

size_t decode_utf8(const unsigned char *src, size_t n, uint16_t *out, size_t room) {
#if defined(OV_UTF8_AVX2)
    if (n >= 32 && __builtin_cpu_supports("avx2")) return decode_utf8_avx2(src, n, out, room);
#endif
    return decode_utf8_generic(src, n, out, room);
}

bool is_high_surrogate(uint32_t u) {
    return (u & 0xFC00) == 0xD800;
}

bool is_low_surrogate(uint32_t u) {
    return (u & 0xFC00) == 0xDC00;
}

// Whether the n units at src may be converted: every surrogate is part of a
// pair, or lenient allows it alone; a high surrogate right before the end
// is refused in either mode (in lenient mode nothing else is).
bool surrogates_allowed(const uint16_t *src, size_t n, bool lenient) {
    if (n == 0) return true;
    if (is_high_surrogate(src[n - 1])) return false;
    if (lenient) return true;
    size_t i = 0;
#if defined(__SSE2__)
    // Blocks of 16 units, one bit per unit for high and for low surrogates:
    // right when each low one follows a high one and each high one is
    // followed by a low one (carried into the next block).
    const __m128i kind = _mm_set1_epi16(static_cast<short>(0xFC00));
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i low = _mm_set1_epi16(static_cast<short>(0xDC00));
    unsigned carry = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i a =
            _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i)), kind);
        const __m128i b =
            _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 8)), kind);
        const unsigned highs = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, high), _mm_cmpeq_epi16(b, high))));
        const unsigned lows = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, low), _mm_cmpeq_epi16(b, low))));
        if ((((highs << 1) | carry) & 0xFFFF) != lows) return false;
        carry = highs >> 15;
    }
    // The unit before the rest was a high surrogate: its low one must open
    // the rest (and there is a rest: the last unit is no high surrogate).
    if (carry != 0 && !is_low_surrogate(src[i])) return false;
    if (carry != 0) ++i;
#endif
    while (i < n) {
        const uint32_t u = src[i];
        if (is_high_surrogate(u)) {
            if (!is_low_surrogate(src[i + 1])) return false;  // i + 1 < n: see above
            i += 2;
            continue;
        }
        if (is_low_surrogate(u)) return false;
        ++i;
    }
    return true;
}

// Number of UTF-8 bytes of the n units at src, which surrogates_allowed
// accepted: a pair gives four, a lone surrogate three as any other unit
// from U+0800.
size_t utf8_bytes_of(const uint16_t *src, size_t n) {
    size_t bytes = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t u = src[i];
        if (u < 0x80) {
            bytes += 1;
        } else if (u < 0x800) {
            bytes += 2;
        } else if (is_high_surrogate(u) && i + 1 < n && is_low_surrogate(src[i + 1])) {
            bytes += 4;
            ++i;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

// Writes the UTF-8 form of the unit at *p (a pair takes two; the unit after
// a high surrogate is read only before end) to o and moves both on.
inline void encode_one(const uint16_t *&p, const uint16_t *end, unsigned char *&o) {
    uint32_t c = *p++;
    if (c < 0x80) {
        *o++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
        o[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        o += 2;
    } else if (is_high_surrogate(c) && p < end && is_low_surrogate(*p)) {
        c = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00u);
        o[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
        o[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        o[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        o += 4;
    } else {
        // Three bytes, for a lone surrogate in lenient mode as well.
        o[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        o[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        o += 3;
    }
}

// Writes the UTF-8 form of the n units at src (accepted by
// surrogates_allowed) to out, which has room for it, and returns the number
// of bytes. The text goes in blocks of 16 units: a block of ASCII at once
// (while out has room for it), any other unit by unit. Deciding once per
// block keeps the branches predictable in text that mixes scripts.
size_t encode_utf8_generic(const uint16_t *src, size_t n, unsigned char *out, size_t room) {
    const uint16_t *p = src;
    const uint16_t *const end = src + n;
    unsigned char *o = out;
#if defined(__SSE2__)
    unsigned char *const o_end = out + room;
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8));
        const __m128i non_ascii = _mm_and_si128(_mm_or_si128(a, b), high);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(non_ascii, zero)) == 0xFFFF && o_end - o >= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_packus_epi16(a, b));
            p += 16;
            o += 16;
            continue;
        }
        const uint16_t *const block_end = p + 16;
        while (p < block_end) encode_one(p, end, o);
    }
#else
    (void)room;
#endif
    while (p < end) encode_one(p, end, o);
    return static_cast<size_t>(o - out);
}

#if defined(OV_UTF8_AVX2)
// For four units of one to three bytes each, with a 32-bit lane holding the
// bytes of each: the shuffle that packs their bytes together, and their
// length. Indexed by four bits "from U+0080" and four bits "from U+0800".
struct PackTable {
    alignas(16) uint8_t shuffle[256][16];
    uint8_t length[256];
};

constexpr PackTable make_pack_table() {
    PackTable t{};
    for (unsigned index = 0; index < 256; ++index) {
        unsigned at = 0;
        for (unsigned unit = 0; unit < 4; ++unit) {
            const unsigned bytes = 1 + ((index >> unit) & 1) + ((index >> (unit + 4)) & 1);
            for (unsigned k = 0; k < bytes && k < 3; ++k) {
                t.shuffle[index][at++] = static_cast<uint8_t>(4 * unit + k);
            }
        }
        t.length[index] = static_cast<uint8_t>(at);
        for (unsigned k = at; k < 16; ++k) t.shuffle[index][k] = 0x80;  // a zero byte
    }
    return t;
}

constexpr PackTable kPack = make_pack_table();

// encode_utf8_generic with AVX2: eight units without a surrogate at once,
// whatever their lengths. Each unit's one to three bytes are made in a
// 32-bit lane and the lanes' bytes packed together by a table shuffle.
OV_AVX2 size_t encode_utf8_avx2(const uint16_t *src, size_t n, unsigned char *out, size_t room) {
    const uint16_t *p = src;
    const uint16_t *const end = src + n;
    unsigned char *o = out;
    unsigned char *const o_end = out + room;
    const __m128i ascii_bits = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i surrogate_bits = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i zero = _mm_setzero_si128();
    // Two stores of 16 bytes for at most 24 bytes of output.
    while (end - p >= 8 && o_end - o >= 32) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (end - p >= 16) {
            // Sixteen units of ASCII in one store.
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8));
            const __m128i both = _mm_and_si128(_mm_or_si128(units, next), ascii_bits);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(both, zero)) == 0xFFFF) {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_packus_epi16(units, next));
                p += 16;
                o += 16;
                continue;
            }
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, ascii_bits), zero)) == 0xFFFF) {
            _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_packus_epi16(units, units));
            p += 8;
            o += 8;
            continue;
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, surrogate_bits), surrogate)) !=
            0) {
            // A pair may end one unit past the block.
            const uint16_t *const block_end = p + 8;
            while (p < block_end) encode_one(p, end, o);
            continue;
        }
        const __m256i c = _mm256_cvtepu16_epi32(units);
        const __m256i cont_low =
            _mm256_or_si256(_mm256_and_si256(c, _mm256_set1_epi32(0x3F)), _mm256_set1_epi32(0x80));
        const __m256i cont_mid =
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(c, 6), _mm256_set1_epi32(0x3F)),
                            _mm256_set1_epi32(0x80));
        const __m256i two =
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(c, 6), _mm256_set1_epi32(0xC0)),
                            _mm256_slli_epi32(cont_low, 8));
        const __m256i three = _mm256_or_si256(
            _mm256_or_si256(_mm256_srli_epi32(c, 12), _mm256_set1_epi32(0xE0)),
            _mm256_or_si256(_mm256_slli_epi32(cont_mid, 8), _mm256_slli_epi32(cont_low, 16)));
        const __m256i from_80 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7F));
        const __m256i from_800 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7FF));
        const __m256i bytes =
            _mm256_blendv_epi8(_mm256_blendv_epi8(c, two, from_80), three, from_800);
        const unsigned m80 =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(from_80)));
        const unsigned m800 =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(from_800)));
        const unsigned first = (m80 & 0xF) | ((m800 & 0xF) << 4);
        const unsigned second = (m80 >> 4) | ((m800 >> 4) << 4);
        const __m256i shuffle = _mm256_inserti128_si256(
            _mm256_castsi128_si256(
                _mm_load_si128(reinterpret_cast<const __m128i *>(kPack.shuffle[first]))),
            _mm_load_si128(reinterpret_cast<const __m128i *>(kPack.shuffle[second])), 1);
        const __m256i packed = _mm256_shuffle_epi8(bytes, shuffle);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm256_castsi256_si128(packed));
        o += kPack.length[first];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm256_extracti128_si256(packed, 1));
        o += kPack.length[second];
        p += 8;
    }
    while (p < end) encode_one(p, end, o);
    return static_cast<size_t>(o - out);
}
#endif

size_t encode_utf8(const uint16_t *src, size_t n, unsigned char *out, size_t room) {
#if defined(OV_UTF8_AVX2)
    if (n >= 16 && __builtin_cpu_supports("avx2")) return encode_utf8_avx2(src, n, out, room);
#endif
    return encode_utf8_generic(src, n, out, room);
}

}  // namespace

extern "C" {

// ---- One character ---------------------------------------------------------------

const char *ov_utf8_check(const char *text, int32_t available, int32_t n) noexcept {
    if (text == nullptr || available <= 0) return nullptr;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const auto *broken =
        check_sequence(s, static_cast<size_t>(available), n < 1 ? 1 : static_cast<size_t>(n));
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
    // scan_valid, without the search for the first bad character.
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const size_t start = ascii_run(s, max_length);
    if (start == max_length) return 0;
    if (s[start] == 0) return 1;
    const size_t rest = strnlen(text + start, max_length - start);
    if (rest == max_length - start) return 0;  // no terminator within the limit
    return valid_known(s + start, rest) ? 1 : 0;
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
    if (src == nullptr || scan_valid(reinterpret_cast<const unsigned char *>(replacement),
                                     replacement_length, &whole) != replacement_length) {
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
    if (!valid_known(s, n)) return EINVAL;

    // A destination large enough for any result (a unit per byte) takes the
    // conversion at once; otherwise the units are counted first.
    const size_t room = *size / 2;
    if (dst != nullptr && n < room) {
        const size_t units = decode_utf8(s, n, dst, room - 1);
        dst[units] = 0;
        *size = units * 2;
        return 0;
    }
    const size_t units = utf16_units_of(s, n);
    // No memory holds text this long, but the size must not wrap: report
    // the largest size, which no caller can provide.
    if (units >= SIZE_MAX / 2) {
        *size = SIZE_MAX;
        return ERANGE;
    }
    if (*size < (units + 1) * 2) {
        *size = (units + 1) * 2;
        return ERANGE;
    }
    decode_utf8(s, n, dst, units);
    dst[units] = 0;
    *size = units * 2;
    return 0;
}

int32_t ov_utf16_to_utf8(const uint16_t *src, int lenient, char *dst, size_t *size) noexcept {
    if (src == nullptr || size == nullptr || (dst == nullptr && *size != 0)) return EINVAL;
    const size_t n = utf16_length(src);
    // The byte count of text this long could wrap; no memory holds it, and
    // no caller can provide the largest size reported for it.
    if (n >= (SIZE_MAX - 1) / 4) {
        *size = SIZE_MAX;
        return ERANGE;
    }
    if (!surrogates_allowed(src, n, lenient != 0)) return EINVAL;
    auto *out = reinterpret_cast<unsigned char *>(dst);

    // Three bytes per unit are enough for any result (a pair gives four).
    if (dst != nullptr && *size > 3 * n) {
        const size_t bytes = encode_utf8(src, n, out, *size - 1);
        dst[bytes] = '\0';
        return 0;
    }
    const size_t bytes = utf8_bytes_of(src, n);
    if (*size < bytes + 1) {
        *size = bytes + 1;
        return ERANGE;
    }
    encode_utf8(src, n, out, bytes);
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
    const size_t head_bytes =
        head == 0 ? 0 : static_cast<size_t>(ov_utf8_advance(text, head) - text);
    const size_t tail_start = static_cast<size_t>(ov_utf8_advance(text, characters - tail) - text);
    const size_t tail_bytes = length - tail_start;
    // At least four characters go, so the result is shorter than the text.
    char *out =
        dst != nullptr ? dst : static_cast<char *>(std::malloc(head_bytes + 3 + tail_bytes + 1));
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
