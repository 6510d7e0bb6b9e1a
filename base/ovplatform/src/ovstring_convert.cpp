// ovstring_convert.cpp - numbers from text, hexadecimal and Base64, wildcards and tokenizers.
//
// The second half of the string module: the parsers that read text from
// outside the program (numbers with base prefixes and size suffixes, encoded
// binary data, command lines, comma lists, wildcard patterns) and the
// encoders that write binary data as text into caller-sized buffers. Every
// parser must be exact, safe on any input and fast, so each one reads only
// the bytes it was given, computes output sizes before any write without
// overflowing, and runs in time linear in its input (the wildcard matcher in
// time bounded by pattern length times text length).
//
// Map of this file:
//   - fixed tables (digits, hexadecimal, the two Base64 alphabets)
//   - numbers (ov_str_to_size, ov_str_to_int64 and its narrower forms,
//     the C library wrappers and the number-to-text helpers)
//   - hexadecimal (ov_str_hex_encode, ov_str_hex_decode)
//   - Base64 and Base64url encoders and decoders
//   - wildcard matching (ov_str_wildcard_match, ov_str_has_wildcard)
//   - tokenizers (ov_str_tokenize, ov_str_split_commas)
//
// The bounded copies and the array release (ov_str_array_free) live in
// ovstring.cpp; the UTF-8 and UTF-16 operations have their own file.
#define OV_LOG_SOURCE "base/ovplatform/src/ovstring"

#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "internal/errno_guard.h"
#include "internal/log.h"
#include "internal/raii.h"

namespace {

using namespace ov::detail;

// ---- Fixed tables ---------------------------------------------------------------------------

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64UrlAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The value that every table below gives a byte outside its alphabet.
constexpr uint8_t kNotInTable = 0xFF;

struct ByteTable {
    uint8_t value[256];
};

// The reverse table of a Base64 alphabet: the 6-bit value of each alphabet
// character, kNotInTable for every other byte. The standard decoders read
// the padding "=" as 0 when a group needs a value for it.
constexpr ByteTable make_reverse(const char *alphabet, bool padding_is_zero) {
    ByteTable table{};
    for (uint8_t &v : table.value) v = kNotInTable;
    for (int i = 0; i < 64; ++i) table.value[static_cast<unsigned char>(alphabet[i])] = i;
    if (padding_is_zero) table.value[static_cast<unsigned char>('=')] = 0;
    return table;
}

constexpr ByteTable kBase64Reverse = make_reverse(kBase64Alphabet, true);
constexpr ByteTable kBase64UrlReverse = make_reverse(kBase64UrlAlphabet, false);

// Digit values for integer parsing: 0-9, then A-Z and a-z as 10 to 35. Any
// other byte is kNotInTable, which is not below any base.
constexpr ByteTable make_digit_values() {
    ByteTable table{};
    for (int c = 0; c < 256; ++c) {
        uint8_t v = kNotInTable;
        if (c >= '0' && c <= '9') v = static_cast<uint8_t>(c - '0');
        if (c >= 'A' && c <= 'Z') v = static_cast<uint8_t>(c - 'A' + 10);
        if (c >= 'a' && c <= 'z') v = static_cast<uint8_t>(c - 'a' + 10);
        table.value[c] = v;
    }
    return table;
}

constexpr ByteTable kDigitValue = make_digit_values();

// Hexadecimal decoding: 0-9, A-F and a-f; all else kNotInTable, whose high
// nibble marks a pair as bad once the two values are or'ed together.
constexpr ByteTable make_hex_values() {
    ByteTable table = make_digit_values();
    for (uint8_t &v : table.value)
        if (v > 15) v = kNotInTable;
    return table;
}

constexpr ByteTable kHexValue = make_hex_values();

// Two output characters per table entry, stored in the order they appear in
// memory, so that one 16-bit store writes both.
constexpr uint16_t char_pair(unsigned char first, unsigned char second) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<uint16_t>(first | second << 8);
    } else {
        return static_cast<uint16_t>(first << 8 | second);
    }
}

struct HexPairTable {
    uint16_t pair[256];
};

constexpr HexPairTable make_hex_pairs() {
    HexPairTable table{};
    for (int b = 0; b < 256; ++b)
        table.pair[b] = char_pair(static_cast<unsigned char>(kHexDigits[b >> 4]),
                                  static_cast<unsigned char>(kHexDigits[b & 15]));
    return table;
}

constexpr HexPairTable kHexPairs = make_hex_pairs();

// Base64 encoding: the two characters of every 12-bit value, so that three
// input bytes take two look-ups instead of four.
struct Base64PairTable {
    uint16_t pair[4096];
};

constexpr Base64PairTable make_base64_pairs(const char *alphabet) {
    Base64PairTable table{};
    for (int v = 0; v < 4096; ++v)
        table.pair[v] = char_pair(static_cast<unsigned char>(alphabet[v >> 6]),
                                  static_cast<unsigned char>(alphabet[v & 63]));
    return table;
}

constexpr Base64PairTable kBase64Pairs = make_base64_pairs(kBase64Alphabet);
constexpr Base64PairTable kBase64UrlPairs = make_base64_pairs(kBase64UrlAlphabet);

// Base64 decoding of whole groups: for the character at each of the four
// places of a group, its 6-bit value already placed in the group's three
// output bytes, and those bytes laid out in a uint32_t as they lie in
// memory, so that the or of a group's four entries is stored as it is. A
// byte outside the alphabet (the padding "=" included) sets a bit in the
// fourth byte instead, so that one test of the or finds any group that is
// not plain alphabet text.
constexpr uint32_t in_memory_order(uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
    if constexpr (std::endian::native == std::endian::little) {
        return b0 | b1 << 8 | b2 << 16 | b3 << 24;
    } else {
        return b0 << 24 | b1 << 16 | b2 << 8 | b3;
    }
}

constexpr uint32_t kGroupException = in_memory_order(0, 0, 0, 1);

struct GroupTable {
    uint32_t place[4][256];
};

constexpr GroupTable make_group_table(const char *alphabet) {
    const ByteTable reverse = make_reverse(alphabet, false);
    GroupTable table{};
    for (int k = 0; k < 4; ++k) {
        for (int c = 0; c < 256; ++c) {
            const uint32_t bits = uint32_t{reverse.value[c]} << (18 - 6 * k);
            table.place[k][c] =
                reverse.value[c] == kNotInTable
                    ? kGroupException
                    : in_memory_order(bits >> 16, (bits >> 8) & 0xFF, bits & 0xFF, 0);
        }
    }
    return table;
}

constexpr GroupTable kBase64Groups = make_group_table(kBase64Alphabet);
constexpr GroupTable kBase64UrlGroups = make_group_table(kBase64UrlAlphabet);

// ---- Small helpers ----------------------------------------------------------------------------

// White space in the C locale's sense, without a call per byte.
inline bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline uint64_t load_le64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline void store_le32(unsigned char *p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, sizeof v);
}

// Hexadecimal digits eight at a time, by arithmetic on the bytes of a word
// that holds them first digit lowest: a table look-up per digit costs more
// than these few operations on all eight. Letters are folded to lower case
// by setting bit 5, which maps no other byte into a-f. The sums that test
// the ranges cannot carry from one byte into the next while every byte is
// below 0x80; a byte of 0x80 or above is caught apart, and whatever its
// sums gave is then ignored.
// @return the high bit of each byte that is not a digit in the returned
// word's bits (0 when all eight are digits), and in *bytes the four bytes
// the digits give, first byte lowest.
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHigh = 0x8080808080808080;

inline uint64_t hex_digits8(uint64_t x, uint32_t *bytes) {
    constexpr uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0F;
    constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FF;
    auto at_least = [](uint64_t v, uint64_t low) { return (v + (0x80 - low) * kOnes) & kHigh; };
    auto above = [](uint64_t v, uint64_t high) { return (v + (0x7F - high) * kOnes) & kHigh; };
    const uint64_t ascii = x & ~kHigh;
    const uint64_t digit = at_least(ascii, '0') & ~above(ascii, '9');
    const uint64_t folded = ascii | 0x20 * kOnes;
    const uint64_t letter = at_least(folded, 'a') & ~above(folded, 'f');
    // Values 0-15 per byte, then each pair as one byte in the even places,
    // then those four bytes side by side.
    const uint64_t values = (x & kLowNibbles) + (letter >> 7) * 9;
    uint64_t t = (values & kEvenBytes) << 4 | ((values >> 8) & kEvenBytes);
    t = (t | t >> 8) & 0x0000FFFF0000FFFF;
    t = (t | t >> 16) & 0xFFFFFFFF;
    *bytes = static_cast<uint32_t>(t);
    return ((digit | letter) ^ kHigh) | (x & kHigh);
}

#if defined(__SSE2__)
// Sixteen hexadecimal digits at once with the SSE2 instructions that every
// x86-64 processor has: the same rules as hex_digits8, on all sixteen bytes
// in a few instructions. The signed comparisons put every byte of 0x80 or
// above outside all ranges.
// @return false when a byte is not a digit, writing nothing; else the
// eight bytes are in out.
inline bool hex_digits16(const unsigned char *in, unsigned char *out) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
    const __m128i folded = _mm_or_si128(x, _mm_set1_epi8(0x20));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(folded, _mm_set1_epi8('f' + 1)));
    if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF) return false;
    const __m128i values =
        _mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(15)), _mm_and_si128(letter, _mm_set1_epi8(9)));
    // Each 16-bit lane holds a pair, its first digit in the low byte.
    const __m128i pairs =
        _mm_or_si128(_mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 4),
                     _mm_srli_epi16(values, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(pairs, pairs));
    return true;
}
#endif

inline uint64_t load_be64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

inline uint32_t group_bits(const GroupTable &table, const unsigned char *group) {
    return table.place[0][group[0]] | table.place[1][group[1]] | table.place[2][group[2]] |
           table.place[3][group[3]];
}

// Decodes whole groups of alphabet characters from in into out, three bytes
// for four characters, and stops before the first group that holds any
// other byte. Four groups are looked up before any of them is stored; the
// first three are then stored four bytes at a time (the fourth byte is
// overwritten by the next group) and the last one exactly, so that nothing
// lands past the bytes decoded and the caller's room for the groups
// suffices.
// @return the number of groups decoded.
size_t decode_plain_groups(const GroupTable &table, const unsigned char *in, size_t groups,
                           unsigned char *out) {
    size_t g = 0;
    for (; groups - g >= 4; g += 4) {
        const unsigned char *i = in + 4 * g;
        const uint32_t x0 = group_bits(table, i);
        const uint32_t x1 = group_bits(table, i + 4);
        const uint32_t x2 = group_bits(table, i + 8);
        const uint32_t x3 = group_bits(table, i + 12);
        if ((x0 | x1 | x2 | x3) & kGroupException) break;
        unsigned char *o = out + 3 * g;
        std::memcpy(o, &x0, 4);
        std::memcpy(o + 3, &x1, 4);
        std::memcpy(o + 6, &x2, 4);
        std::memcpy(o + 9, &x3, 3);
    }
    for (; g < groups; ++g) {
        const uint32_t x = group_bits(table, in + 4 * g);
        if (x & kGroupException) break;
        std::memcpy(out + 3 * g, &x, 3);
    }
    return g;
}

// Encodes the whole three-byte groups of data with the pair table.
// @return the number of characters written (4 per group).
size_t encode_groups(const Base64PairTable &table, const unsigned char *in, size_t n, char *out) {
    char *o = out;
    size_t i = 0;
    // Six bytes per step through one 64-bit load, which reads two bytes
    // more than it uses and so needs eight left.
    while (n - i >= 8) {
        const uint64_t v = load_be64(in + i);
        const uint16_t pairs[4] = {table.pair[v >> 52], table.pair[(v >> 40) & 0xFFF],
                                   table.pair[(v >> 28) & 0xFFF], table.pair[(v >> 16) & 0xFFF]};
        std::memcpy(o, pairs, sizeof pairs);
        i += 6;
        o += 8;
    }
    while (n - i >= 3) {
        const uint32_t v = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
        const uint16_t pairs[2] = {table.pair[v >> 12], table.pair[v & 0xFFF]};
        std::memcpy(o, pairs, sizeof pairs);
        i += 3;
        o += 4;
    }
    return static_cast<size_t>(o - out);
}

// Encodes the one or two bytes that remain after the whole groups: two or
// three characters, followed by padding up to four when asked.
size_t encode_tail(const char *alphabet, const unsigned char *in, size_t rest, bool pad,
                   char *out) {
    if (rest == 0) return 0;
    const uint32_t b0 = in[0];
    const uint32_t b1 = rest == 2 ? in[1] : 0;
    out[0] = alphabet[b0 >> 2];
    out[1] = alphabet[(b0 & 3) << 4 | b1 >> 4];
    size_t written = 2;
    if (rest == 2) out[written++] = alphabet[(b1 & 15) << 2];
    if (pad)
        while (written < 4) out[written++] = '=';
    return written;
}

// Encodes all of data (length bytes, at least one) into buffer, which the
// caller has checked is large enough, and terminates it.
void encode_text(const Base64PairTable &table, const char *alphabet, bool pad, const void *data,
                 size_t length, char *buffer, size_t *out_length) {
    const auto *in = static_cast<const unsigned char *>(data);
    size_t w = encode_groups(table, in, length, buffer);
    w += encode_tail(alphabet, in + length / 3 * 3, length % 3, pad, buffer + w);
    buffer[w] = '\0';
    if (out_length != nullptr) *out_length = w;
}

// Both Base64 encoders, given the buffer size their text needs (terminator
// included; 0 when it cannot be represented): the checks, then the text. No
// bytes give the empty text, which still needs room for its terminator.
int32_t encode_base64(const Base64PairTable &table, const char *alphabet, bool pad,
                      const void *data, size_t length, size_t needed, char *buffer, size_t size,
                      size_t *out_length) {
    if (length == 0) {
        if (size == 0 || buffer == nullptr) return EINVAL;
        buffer[0] = '\0';
        if (out_length != nullptr) *out_length = 0;
        return 0;
    }
    if (data == nullptr || buffer == nullptr) return EINVAL;
    if (needed == 0 || size < needed) return EBUFFER;
    encode_text(table, alphabet, pad, data, length, buffer, out_length);
    return 0;
}

// The Base64 text length of n bytes with padding: 4 * ceil(n / 3), or 0
// when that length cannot be represented.
size_t base64_padded_length(size_t n) {
    const size_t groups = n / 3 + (n % 3 != 0 ? 1 : 0);
    return groups > SIZE_MAX / 4 ? 0 : groups * 4;
}

// The Base64url buffer size of n bytes, terminator included; 0 when it
// cannot be represented. The bound depends on the tail: with no tail byte
// the last whole group fits up to SIZE_MAX - 2.
size_t base64url_buffer_size(size_t n) {
    const size_t rest = n % 3;
    const size_t tail = (rest != 0 ? rest + 1 : 0) + 1;
    const size_t groups = n / 3;
    if (groups > (SIZE_MAX - tail) / 4) return 0;
    return groups * 4 + tail;
}

// One group of the standard decoding core. c1 is not "=" and c2 has been
// checked; see base64_decode_core.
// @return 0, or EBUFFER when the group's bytes do not fit.
int32_t decode_core_group(unsigned char c1, unsigned char c2, unsigned char c3, unsigned char c4,
                          unsigned char *out, size_t size, size_t *written) {
    size_t w = *written;
    // A group that arrives when the output is full has bytes to give and no
    // room for them: dropping them silently would report a shortened result
    // as complete.
    if (w == size) return EBUFFER;
    const uint8_t v1 = kBase64Reverse.value[c1];
    const uint8_t v2 = kBase64Reverse.value[c2];
    const uint8_t v3 = kBase64Reverse.value[c3];
    const uint8_t v4 = kBase64Reverse.value[c4];
    out[w++] = static_cast<unsigned char>(v1 << 2 | v2 >> 4);
    // The first byte of every group must leave room for another, even when
    // the group encodes only that one byte: the decoders ask for a buffer
    // one byte larger than the largest result.
    if (w == size) {
        *written = w;
        return EBUFFER;
    }
    if (c3 != '=') {
        out[w++] = static_cast<unsigned char>(v2 << 4 | v3 >> 2);
        if (c4 != '=') {
            if (w == size) {
                *written = w;
                return EBUFFER;
            }
            out[w++] = static_cast<unsigned char>(v3 << 6 | v4);
        }
    }
    *written = w;
    return 0;
}

// The decoding core of the two standard decoders. Strict mode reads every
// character as it is (the text has been checked to hold only alphabet
// characters and "="); lenient mode skips every byte outside the alphabet,
// the padding included. In both, the end of the text or a NUL reads as "=".
// A group that starts with "=" ends the decoding; one whose second
// character is "=" is malformed.
// @return 0, EINVAL or EBUFFER; out_length is set only on success.
int32_t base64_decode_core(const unsigned char *text, size_t length, bool lenient,
                           unsigned char *out, size_t size, size_t *out_length) {
    size_t i = 0;
    size_t written = 0;
    auto at_end = [&] { return i >= length || text[i] == '\0'; };
    auto skip = [&] {
        if (!lenient) return;
        while (i < length && text[i] != '\0' &&
               (kBase64Reverse.value[text[i]] == kNotInTable || text[i] == '='))
            ++i;
    };
    auto next = [&]() -> unsigned char {
        skip();
        if (at_end()) return '=';
        return text[i++];
    };
    for (;;) {
        skip();
        if (at_end()) break;
        const unsigned char c1 = next();
        const unsigned char c2 = next();
        const unsigned char c3 = next();
        const unsigned char c4 = next();
        if (c1 == '=') break;
        if (c2 == '=') return EINVAL;
        const int32_t rc = decode_core_group(c1, c2, c3, c4, out, size, &written);
        if (rc != 0) return rc;
    }
    if (out_length != nullptr) *out_length = written;
    return 0;
}

// ov_str_base64_to_buf the plain way: a scratch copy of the text without
// white space, checked for illegal bytes, then the strict core on it. The
// fast path in ov_str_base64_to_buf hands every text it does not decode
// itself to this function.
int32_t base64_to_buf_by_copy(const unsigned char *text, size_t length, unsigned char *out,
                              size_t size, size_t *out_length) {
    std::unique_ptr<unsigned char, FreeDeleter> copy(
        length < SIZE_MAX ? static_cast<unsigned char *>(std::malloc(length + 1)) : nullptr);
    if (copy == nullptr) {
        OV_LOG(kLogError, "ov_str_base64_to_buf(): malloc failed");
        return ENOMEM;
    }
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = text[i];
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
        if (kBase64Reverse.value[c] == kNotInTable) {
            OV_LOG(kLogError, "ov_str_base64_to_buf(): illegal input char %c", c);
            return EINVAL;
        }
        copy.get()[n++] = c;
    }
    copy.get()[n] = '\0';
    if (n != 0) {
        if (n % 4 != 0) return EINVAL;
        // One byte more than the largest result (see decode_core_group).
        if (size <= 3 * (n / 4)) return EBUFFER;
    }
    return base64_decode_core(copy.get(), n, false, out, size, out_length);
}

// ---- Wildcards ----------------------------------------------------------------------------------

// One pattern element that matches a single text byte: "?" any byte, a
// backslash and the byte after it that byte, any other byte itself.
// @return whether it matches *t, and sets *next past the element.
inline bool element_matches(const char *p, char t, const char **next) {
    if (*p == '?') {
        *next = p + 1;
        return true;
    }
    if (*p == '\\') {
        // A backslash at the very end escapes the terminator, which no text
        // byte equals: the pattern cannot match, and nothing past it is read.
        if (p[1] == '\0') return false;
        *next = p + 2;
        return p[1] == t;
    }
    *next = p + 1;
    return *p == t;
}

}  // namespace

extern "C" {

// ---- Numbers ----------------------------------------------------------------------------------

int32_t ov_str_to_size(const char *text, uint64_t *out) noexcept {
    if (text == nullptr || text[0] == '\0' || out == nullptr) return EINVAL;
    unsigned long long value;
    char *end;
    int err;
    {
        ErrnoGuard keep;
        errno = 0;
        value = std::strtoull(text, &end, 10);
        err = errno;
    }
    if (err != 0) return err;
    // strtoull reads no digit at all from "", "-", "K" or white space alone;
    // those are no number, not the number 0.
    if (end == text) return EINVAL;
    constexpr unsigned long long kLimit = 1ULL << 63;
    const unsigned char c = static_cast<unsigned char>(*end);
    if (c == '\0' || std::isspace(c)) {
        // strtoull turns "-1" into 2^64 - 1. The range check holds for a
        // number followed by white space too, so that a negative size is
        // never taken for a huge one.
        if (value >= kLimit) return ERANGE;
        *out = value;
        return 0;
    }
    int shift;
    switch (c) {
        case 'K':
        case 'k':
            shift = 10;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'G':
        case 'g':
            shift = 30;
            break;
        case 'T':
        case 't':
            shift = 40;
            break;
        case 'P':
        case 'p':
            shift = 50;
            break;
        case 'E':
        case 'e':
            shift = 60;
            break;
        default:
            return EINVAL;
    }
    if (value > (kLimit - 1) >> shift) return ERANGE;
    *out = value << shift;
    return 0;
}

int32_t ov_str_to_int64(const char *text, int64_t *out, char **end) noexcept {
    if (text == nullptr || out == nullptr) {
        if (end != nullptr) *end = const_cast<char *>(text);
        return EINVAL;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    auto finish = [&](int32_t rc) {
        if (end != nullptr) *end = const_cast<char *>(reinterpret_cast<const char *>(p));
        return rc;
    };
    while (is_ascii_space(*p)) ++p;
    const bool negative = *p == '-';
    if (negative) ++p;
    unsigned base = 10;
    if (p[0] == '0' && (p[1] | 0x20) == 'x') {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && static_cast<unsigned>(p[1] - '0') < 10) {
        base = 8;
        p += 1;
    } else if (p[0] == '%') {
        base = 2;
        p += 1;
    }
    if (kDigitValue.value[*p] >= base) return finish(EINVAL);

    // The magnitude, which may reach 2^63 for a negative number.
    constexpr uint64_t kMost = uint64_t{1} << 63;
    uint64_t magnitude = 0;
    if (base == 10) {
        // Eighteen decimal digits stay below 10^18 < 2^63, so the common
        // case needs no overflow test per digit.
        unsigned d;
        for (int left = 18; left > 0 && (d = static_cast<unsigned>(*p - '0')) < 10; --left) {
            magnitude = magnitude * 10 + d;
            ++p;
        }
    }
    for (;;) {
        const unsigned d = kDigitValue.value[*p];
        if (d >= base) break;
        uint64_t scaled;
        if (__builtin_mul_overflow(magnitude, uint64_t{base}, &scaled) || scaled > kMost - d)
            return finish(ERANGE);
        magnitude = scaled + d;
        ++p;
    }
    if (!negative && magnitude == kMost) return finish(ERANGE);
    // Unsigned negation and the conversion to a signed type are modular, so
    // that a magnitude of 2^63 becomes INT64_MIN.
    *out = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return finish(0);
}

int32_t ov_str_to_int32(const char *text, int32_t *out, char **end) noexcept {
    if (out == nullptr) return ov_str_to_int64(text, nullptr, end);
    int64_t value;
    const int32_t rc = ov_str_to_int64(text, &value, end);
    if (rc != 0) return rc;
    if (value < INT32_MIN || value > INT32_MAX) return ERANGE;
    *out = static_cast<int32_t>(value);
    return 0;
}

int32_t ov_str_to_uint32(const char *text, uint32_t *out, char **end) noexcept {
    if (out == nullptr) return ov_str_to_int64(text, nullptr, end);
    int64_t value;
    const int32_t rc = ov_str_to_int64(text, &value, end);
    if (rc != 0) return rc;
    if (value < 0 || value > int64_t{UINT32_MAX}) return ERANGE;
    *out = static_cast<uint32_t>(value);
    return 0;
}

int64_t ov_str_int64_value(const char *text) noexcept {
    int64_t value;
    return ov_str_to_int64(text, &value, nullptr) == 0 ? value : 0;
}

int32_t ov_str_int32_value(const char *text) noexcept {
    const int64_t value = ov_str_int64_value(text);
    return value < INT32_MIN || value > INT32_MAX ? 0 : static_cast<int32_t>(value);
}

// The C library's conversions read a null text as an address; here it is
// the number 0.
int ov_str_atoi(const char *text) noexcept {
    return text != nullptr ? std::atoi(text) : 0;
}

long ov_str_atol(const char *text) noexcept {
    return text != nullptr ? std::atol(text) : 0;
}

long long ov_str_atoll(const char *text) noexcept {
    return text != nullptr ? std::atoll(text) : 0;
}

double ov_str_atof(const char *text) noexcept {
    return text != nullptr ? std::atof(text) : 0.0;
}

char *ov_str_from_int(int value, char *buffer) noexcept {
    if (buffer != nullptr) std::sprintf(buffer, "%d", value);
    return buffer;
}

char *ov_str_from_uint(unsigned value, char *buffer) noexcept {
    if (buffer != nullptr) std::sprintf(buffer, "%u", value);
    return buffer;
}

char *ov_str_from_int64(int64_t value, char *buffer) noexcept {
    if (buffer != nullptr) std::sprintf(buffer, "%lld", static_cast<long long>(value));
    return buffer;
}

char *ov_str_from_uint64(uint64_t value, char *buffer) noexcept {
    if (buffer != nullptr) std::sprintf(buffer, "%llu", static_cast<unsigned long long>(value));
    return buffer;
}

char *ov_str_from_double(double value, char *buffer) noexcept {
    if (buffer != nullptr) std::sprintf(buffer, "%f", value);
    return buffer;
}

// ---- Hexadecimal ------------------------------------------------------------------------------

int32_t ov_str_hex_encode(const void *data, size_t length, char *buffer, size_t size) noexcept {
    if ((data == nullptr && length != 0) || buffer == nullptr) return EINVAL;
    // 2 * length + 1 overflows for lengths near SIZE_MAX / 2; this form
    // does not.
    if (size == 0 || length > (size - 1) / 2) return EBUFFER;
    const auto *in = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; ++i) std::memcpy(buffer + 2 * i, &kHexPairs.pair[in[i]], 2);
    buffer[2 * length] = '\0';
    return 0;
}

int32_t ov_str_hex_decode(const char *text, size_t length, void *buffer, size_t size,
                          size_t *out_length) noexcept {
    if (text == nullptr) return EINVAL;
    if (length == SIZE_MAX) length = std::strlen(text);
    if (length % 2 != 0) return EINVAL;
    const size_t bytes = length / 2;
    if (out_length != nullptr) *out_length = bytes;
    if (size < bytes) return EBUFFER;
    if (buffer == nullptr && bytes != 0) return EINVAL;
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    auto *out = static_cast<unsigned char *>(buffer);
    size_t i = 0;
    // Eight pairs per step, then four; a step with a bad digit anywhere is
    // left to the pair loop below, which reports it.
#if defined(__SSE2__)
    for (; bytes - i >= 8; i += 8)
        if (!hex_digits16(in + 2 * i, out + i)) break;
#endif
    for (; bytes - i >= 4; i += 4) {
        uint32_t four;
        if (hex_digits8(load_le64(in + 2 * i), &four) != 0) break;
        store_le32(out + i, four);
    }
    for (; i < bytes; ++i) {
        const unsigned char c0 = in[2 * i];
        const unsigned char c1 = in[2 * i + 1];
        const unsigned hi = kHexValue.value[c0];
        const unsigned lo = kHexValue.value[c1];
        if ((hi | lo) > 15) {
            // The message shows the byte as a signed char, so a byte of 0x80
            // or above prints as eight hexadecimal digits.
            const auto bad = static_cast<signed char>(hi > 15 ? c0 : c1);
            OV_LOG(kLogError, "Invalid char in hex string: '%c' (0x%02X)", bad,
                   static_cast<unsigned>(static_cast<int>(bad)));
            return EINVAL;
        }
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return 0;
}

// ---- Base64 and Base64url ----------------------------------------------------------------------

int32_t ov_str_base64_encode(const void *data, size_t length, char *buffer, size_t size,
                             size_t *out_length) noexcept {
    // Computed without overflow: 4 * ((length + 2) / 3) wraps for lengths
    // near SIZE_MAX and would let a small buffer through. The text's length
    // is a multiple of 4, so one more for the terminator cannot wrap.
    const size_t encoded = base64_padded_length(length);
    return encode_base64(kBase64Pairs, kBase64Alphabet, true, data, length,
                         encoded != 0 ? encoded + 1 : 0, buffer, size, out_length);
}

int32_t ov_str_base64_encode_str(const void *data, size_t length, char *buffer,
                                 size_t size) noexcept {
    return ov_str_base64_encode(data, length, buffer, size, nullptr);
}

int32_t ov_str_base64_to_buf(const char *text, size_t length, void *buffer, size_t size,
                             size_t *out_length) noexcept {
    if ((text == nullptr && length != 0) || (buffer == nullptr && size != 0)) return EINVAL;
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    auto *out = static_cast<unsigned char *>(buffer);
    // The fast path decodes straight from the text when it needs no white
    // space removed: whole groups of alphabet characters, a last group that
    // may be padded, and a buffer large enough for all of them. It then
    // gives what the copy would give, without making one. Any other text,
    // or a group it does not recognise, goes to the copy from the start;
    // the bytes already written are written again with the same values.
    if (length != 0 && length % 4 == 0 && size > 3 * (length / 4)) {
        const size_t groups = length / 4;
        const size_t plain = decode_plain_groups(kBase64Groups, in, groups, out);
        if (plain == groups) {
            if (out_length != nullptr) *out_length = 3 * groups;
            return 0;
        }
        const unsigned char *last = in + 4 * plain;
        auto alphabet_or_pad = [](unsigned char c) {
            return kBase64Reverse.value[c] != kNotInTable;
        };
        if (plain == groups - 1 && alphabet_or_pad(last[0]) && alphabet_or_pad(last[1]) &&
            alphabet_or_pad(last[2]) && alphabet_or_pad(last[3])) {
            size_t written = 3 * plain;
            if (last[0] != '=') {
                if (last[1] == '=') return EINVAL;
                // The size test above leaves room for the whole group.
                (void)decode_core_group(last[0], last[1], last[2], last[3], out, size, &written);
            }
            if (out_length != nullptr) *out_length = written;
            return 0;
        }
    }
    return base64_to_buf_by_copy(in, length, out, size, out_length);
}

int32_t ov_str_base64_decode_lenient(const char *text, size_t length, void *buffer, size_t size,
                                     size_t *out_length) noexcept {
    if ((text == nullptr && length != 0) || (buffer == nullptr && size != 0)) return EINVAL;
    return base64_decode_core(reinterpret_cast<const unsigned char *>(text), length, true,
                              static_cast<unsigned char *>(buffer), size, out_length);
}

size_t ov_str_base64url_size(size_t length) noexcept {
    const size_t size = base64url_buffer_size(length);
    return size != 0 ? size : SIZE_MAX;
}

int32_t ov_str_base64url_encode(const void *data, size_t length, char *buffer, size_t size,
                                size_t *out_length) noexcept {
    return encode_base64(kBase64UrlPairs, kBase64UrlAlphabet, false, data, length,
                         base64url_buffer_size(length), buffer, size, out_length);
}

int32_t ov_str_base64url_encode_str(const void *data, size_t length, char *buffer,
                                    size_t size) noexcept {
    return ov_str_base64url_encode(data, length, buffer, size, nullptr);
}

int32_t ov_str_base64url_decode(const char *text, size_t length, void *buffer, size_t size,
                                size_t *out_length) noexcept {
    if (length == 0) {
        if (out_length != nullptr) *out_length = 0;
        return 0;
    }
    if (text == nullptr) return EINVAL;
    if (length == 1) return EINVAL;
    // 3 * ((length + 2) / 4), without the sum that wraps near SIZE_MAX.
    const size_t needed = 3 * (length / 4 + (length % 4 >= 2 ? 1 : 0));
    if (size < needed) return EBUFFER;
    if (buffer == nullptr) return EINVAL;
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    auto *out = static_cast<unsigned char *>(buffer);
    const size_t groups = length / 4;
    if (decode_plain_groups(kBase64UrlGroups, in, groups, out) != groups) return EINVAL;
    size_t written = 3 * groups;
    const unsigned char *tail = in + 4 * groups;
    const size_t rest = length % 4;
    // A single character after the whole groups carries no whole byte and
    // is ignored; two or three carry one or two.
    if (rest >= 2) {
        uint32_t bits = 0;
        for (size_t k = 0; k < rest; ++k) {
            const uint8_t v = kBase64UrlReverse.value[tail[k]];
            if (v == kNotInTable) return EINVAL;
            bits |= uint32_t{v} << (18 - 6 * k);
        }
        out[written++] = static_cast<unsigned char>(bits >> 16);
        if (rest == 3) out[written++] = static_cast<unsigned char>(bits >> 8);
    }
    if (out_length != nullptr) *out_length = written;
    return 0;
}

// ---- Wildcards --------------------------------------------------------------------------------

// The pattern language: "*" matches any run of bytes, "?" any one byte, a
// backslash makes the next pattern byte ordinary, every other byte matches
// itself. Two details differ from the usual shell rules and are kept, since
// callers rely on them: a run of two or more stars at the end of the
// pattern needs at least one byte of text ("a**" does not match "a"), and a
// backslash at the very end matches nothing.
//
// The matcher walks both strings once and, when an element fails, goes back
// only to the most recent star, which then takes one byte more. Earlier
// stars never need to take more: whatever the text after the last star can
// match, it can match from the leftmost place the greedy walk tries first.
// So the time is bounded by pattern length times text length, linear for
// most patterns, with no recursion; the obvious recursive matcher instead
// tries every place for every star and takes exponential time on patterns
// such as "*a*a*a*a*b" against long runs of "a".
int ov_str_wildcard_match(const char *pattern, const char *text) noexcept {
    if (pattern == nullptr || text == nullptr) return 1;
    const char *p = pattern;
    const char *t = text;
    const char *star_pattern = nullptr;  // the element after the last star run
    const char *star_text = nullptr;     // where that run's match ends now
    for (;;) {
        if (*p == '*') {
            const char *q = p;
            while (*q == '*') ++q;
            if (*q == '\0') return q - p == 1 || *t != '\0' ? 0 : 1;
            star_pattern = q;
            star_text = t;
            p = q;
            continue;
        }
        if (*t == '\0') return *p == '\0' ? 0 : 1;
        const char *next;
        if (*p != '\0' && element_matches(p, *t, &next)) {
            p = next;
            ++t;
            continue;
        }
        if (star_pattern == nullptr) return 1;
        p = star_pattern;
        t = ++star_text;
    }
}

int ov_str_has_wildcard(const char *text) noexcept {
    if (text == nullptr) return 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\\') {
            if (p[1] == '\0') return 0;
            ++p;
        } else if (*p == '*' || *p == '?') {
            return 1;
        }
    }
    return 0;
}

// ---- Tokenizers -------------------------------------------------------------------------------

int32_t ov_str_tokenize(const char *line, char ***tokens, int32_t *count) noexcept {
    // At most 999 tokens; the 1000th is an error.
    constexpr int32_t kMostTokens = 999;
    if (line == nullptr || tokens == nullptr || count == nullptr) return EINVAL;
    *tokens = nullptr;
    *count = 0;
    const size_t length = std::strlen(line);
    // Every token but the last is followed by a space or lost two quotes,
    // which pays for its terminator, so the block never needs more than the
    // line's own bytes and one.
    std::unique_ptr<char, FreeDeleter> block(static_cast<char *>(std::malloc(length + 1)));
    if (block == nullptr) return ENOMEM;
    char *w = block.get();
    const char *p = line;
    int32_t n = 0;
    auto fail = [&](int32_t rc) {
        *count = 0;
        return rc;
    };
    for (;;) {
        while (*p == ' ') ++p;
        if (*p == '\0') break;
        if (n == kMostTokens) return fail(ETOKENIZER);
        const char *start;
        size_t len;
        if (*p == '"' || *p == '\'') {
            start = p + 1;
            const char *close = std::strchr(start, *p);
            if (close == nullptr) return fail(ETOKENIZER);
            len = static_cast<size_t>(close - start);
            p = close + 1;  // the next token may start right here
        } else {
            start = p;
            len = std::strcspn(p, " ");
            p += len;
        }
        std::memcpy(w, start, len);
        w[len] = '\0';
        w += len + 1;
        *count = ++n;
    }
    if (n == 0) return 0;
    auto **array = static_cast<char **>(std::malloc(static_cast<size_t>(n) * sizeof(char *)));
    if (array == nullptr) return fail(ENOMEM);
    char *token = block.release();
    for (int32_t i = 0; i < n; ++i) {
        array[i] = token;
        token += std::strlen(token) + 1;
    }
    *tokens = array;
    return 0;
}

int32_t ov_str_split_commas(char *text, char **array, int32_t max_index, int32_t *count) noexcept {
    if (text == nullptr || array == nullptr || count == nullptr) return EINVAL;
    *count = 0;
    array[0] = nullptr;
    if (max_index <= 0) return EINVAL;
    if (text[0] == '\0') return 0;
    char *save = nullptr;
    int32_t n = 0;
    for (char *piece = strtok_r(text, ",", &save); piece != nullptr;
         piece = strtok_r(nullptr, ",", &save)) {
        if (n > max_index) return EBUFFER;
        array[n++] = piece;
    }
    *count = n;
    return 0;
}

}  // extern "C"
