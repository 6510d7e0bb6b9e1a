// ovhash_prime.cpp - the prime rule of the hash table's bucket counts: ov_next_prime.
//
// The answer is the smallest prime not below n, the one a search along the
// wheel of 210 with trial division up to its square root would find; only
// the way to it is faster, so that any 32-bit value takes well under a
// microsecond:
//
//   1. n up to 211: a list (0 for 0, 2 for 1).
//   2. Above: the odd numbers from n on are sieved, 256 at a time, with the
//      odd primes up to 211, which leaves the numbers the wheel of 210 would
//      try and have no factor up to 211. 256 odd numbers span 512, more
//      than the longest gap between 32-bit primes (336).
//   3. Below 223^2 a survivor of the sieve is prime. Above, the survivors
//      are tested in ascending batches of up to 32 with the strong
//      probable-prime test to base 2, side by side in vector registers where
//      the processor has AVX-512 (which sieves too) or AVX2. The first
//      survivor that passes and is not one of the 2314 odd composites below
//      2^32 that pass that test (internal/hash_spsp2_table.h) is the answer.
//
// The test is exact for 32-bit numbers with the table; without it a base-2
// test alone would let those composites through. The unit tests check the
// table's entries and compare the results of every kernel with plain trial
// division; the whole 32-bit range was checked against a sieve of
// Eratosthenes when the table was made.
//
// Nothing here branches on the sieve's bits or the tests' lanes except to
// collect the survivors, so that the time hardly depends on n: about one
// sieve of 256 odd numbers and one batch of tests, whatever the gap.
#include <ovplatform/ovhash.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "internal/hash_spsp2_table.h"
#include "internal/hash_testing.h"

namespace {

constexpr uint32_t kLargestPrime32 = 4294967291u;  // 0xFFFFFFFB

// The answers for n up to 211: the first entry not below n.
constexpr std::array<uint32_t, 48> kSmallAnswers = {
    0,   2,   3,   5,   7,   11,  13,  17,  19,  23,  29,  31,  37,  41,  43,  47,
    53,  59,  61,  67,  71,  73,  79,  83,  89,  97,  101, 103, 107, 109, 113, 127,
    131, 137, 139, 149, 151, 157, 163, 167, 173, 179, 181, 191, 193, 197, 199, 211};

// ---- Sieve -----------------------------------------------------------------------------------

// The sieve works on words of 64 odd numbers: bit b of the word that starts
// at 2m + 1 stands for 2(m + b) + 1. An odd prime p divides that number
// exactly when m + b = (p - 1) / 2 modulo p, so the bits of its multiples
// start at b0 = ((p - 1) / 2 - m) mod p and repeat every p bits. For the
// primes below 64 the masks for each b0 are tabled; the larger ones mark at
// most one bit. No branch depends on the numbers, so that a search costs the
// same whatever it is given.

// An odd prime of the sieve with its constant for the remainder by
// multiplication (Lemire's fastmod: a mod p = ((a * m mod 2^64) * p) >> 64
// for a below 2^32, with m = 2^64 / p rounded up), and for the primes below
// 64 the offset of its masks in kSieveMasks.
struct SievePrime {
    uint64_t m;
    uint32_t p;
    uint32_t masks;
};

constexpr size_t kSievePrimeCount = 46;   // the odd primes up to 211
constexpr size_t kMaskedPrimeCount = 17;  // the odd primes up to 61
constexpr size_t kMaskCount = 499;        // their sum

constexpr std::array<SievePrime, kSievePrimeCount> kSievePrimes = [] {
    std::array<SievePrime, kSievePrimeCount> primes{};
    size_t count = 0;
    uint32_t masks = 0;
    for (uint32_t p : kSmallAnswers) {
        if (p < 3) continue;
        primes[count++] = {UINT64_MAX / p + 1, p, masks};
        if (p < 64) masks += p;
    }
    return primes;
}();
static_assert(kSievePrimes.back().p == 211 && kSievePrimes[kMaskedPrimeCount].p == 67);

constexpr std::array<uint64_t, kMaskCount> kSieveMasks = [] {
    std::array<uint64_t, kMaskCount> masks{};
    for (size_t i = 0; i < kMaskedPrimeCount; ++i) {
        const uint32_t p = kSievePrimes[i].p;
        for (uint32_t first = 0; first < p; ++first) {
            uint64_t mask = 0;
            for (uint32_t bit = first; bit < 64; bit += p) mask |= uint64_t{1} << bit;
            masks[kSievePrimes[i].masks + first] = mask;
        }
    }
    return masks;
}();
static_assert(kSievePrimes[kMaskedPrimeCount - 1].masks + 61 == kMaskCount);

// A number without a prime factor up to 211 is prime below 223^2.
constexpr uint64_t kSieveProvesBelow = 223ull * 223ull;

// Words sieved at once: 256 odd numbers, a range of 512.
constexpr uint32_t kWordsPerRound = 4;

inline uint32_t remainder_of(uint32_t a, const SievePrime &prime) noexcept {
    const uint64_t low = prime.m * a;
    return static_cast<uint32_t>((static_cast<unsigned __int128>(low) * prime.p) >> 64);
}

// The first bit of p's multiples in the word of m.
inline uint32_t first_multiple(uint32_t m, const SievePrime &prime) noexcept {
    const uint32_t p = prime.p;
    const uint32_t first = (p - 1) / 2 + p - remainder_of(m, prime);
    return first >= p ? first - p : first;
}

// The bits of the word of m (the odd numbers 2(m + b) + 1, all above 211)
// that a sieve prime divides.
uint64_t composite_word(uint32_t m) noexcept {
    uint64_t composite = 0;
    size_t i = 0;
    for (; i < kMaskedPrimeCount; ++i) {
        composite |= kSieveMasks[kSievePrimes[i].masks + first_multiple(m, kSievePrimes[i])];
    }
    for (; i < kSievePrimeCount; ++i) {
        const uint32_t first = first_multiple(m, kSievePrimes[i]);
        composite |= first < 64 ? uint64_t{1} << first : 0;
    }
    return composite;
}

// ---- Strong probable-prime test to base 2 ------------------------------------------------------

// The multiplicative inverse of an odd number modulo 2^32 (Newton's method;
// each step doubles the correct low bits from 3).
constexpr uint32_t inverse_mod_2_32(uint32_t odd) noexcept {
    uint32_t inverse = odd;
    for (int i = 0; i < 4; ++i) inverse *= 2 - odd * inverse;
    return inverse;
}

// Montgomery reduction with R = 2^32 for an odd n below 2^32: t * R^-1 mod n
// for t below n * R. With m = t * n^-1 mod R, t - m * n is a multiple of R
// whose high half is the difference of the two high halves, between -n and n.
inline uint32_t redc(uint64_t t, uint32_t n, uint32_t n_inverse) noexcept {
    const uint32_t m = static_cast<uint32_t>(t) * n_inverse;
    const auto high_t = static_cast<uint32_t>(t >> 32);
    const auto high_mn = static_cast<uint32_t>((static_cast<uint64_t>(m) * n) >> 32);
    return high_t - high_mn + (high_t < high_mn ? n : 0);
}

// The values a lane needs: n, its inverse, 1 and -1 in Montgomery form
// (R mod n and n - R mod n), and s with n - 1 = d * 2^s, d odd.
struct Lane {
    uint32_t n;
    uint32_t n_inverse;
    uint32_t one;
    uint32_t minus_one;
    uint32_t s;
};

inline Lane lane_of(uint32_t n) noexcept {
    const uint32_t one = (0u - n) % n;  // 2^32 mod n
    return {n, inverse_mod_2_32(n), one, n - one, static_cast<uint32_t>(__builtin_ctz(n - 1))};
}

// The test on one odd n above 2. The exponent n - 1 is taken from its top bit
// down: each step squares, and doubles where the bit is set (the base is 2).
// After the step for bit b the value is 2^((n - 1) >> b): 2^d after bit s,
// then its squares. n passes when 2^d is 1, or one of 2^d ... 2^(d * 2^(s-1))
// is -1.
bool strong_base2(uint32_t n) noexcept {
    const Lane lane = lane_of(n);
    const uint32_t exponent = n - 1;
    uint32_t x = lane.one;
    for (int bit = 31 - __builtin_clz(exponent); bit >= 0; --bit) {
        x = redc(static_cast<uint64_t>(x) * x, n, lane.n_inverse);
        if ((exponent >> bit) & 1u) {
            const uint64_t twice = uint64_t{x} * 2;
            x = static_cast<uint32_t>(twice >= n ? twice - n : twice);
        }
        const auto b = static_cast<uint32_t>(bit);
        if (b == lane.s && x == lane.one) return true;
        if (b >= 1 && b <= lane.s && x == lane.minus_one) return true;
    }
    return false;
}

// A batch: up to 32 odd numbers above 2, ascending. The kernels return a mask
// of the ones that pass.
constexpr size_t kBatch = 32;

uint32_t strong_base2_scalar(const uint32_t *numbers, size_t count) noexcept {
    uint32_t passed = 0;
    for (size_t i = 0; i < count; ++i) {
        if (strong_base2(numbers[i])) passed |= 1u << i;
    }
    return passed;
}

#if defined(__x86_64__)

// ---- AVX2 ------------------------------------------------------------------------------------

// The lanes of a batch as columns of 64-bit numbers; unused lanes repeat the
// last number.
struct Columns {
    alignas(64) uint64_t n[kBatch];
    alignas(64) uint64_t n_inverse[kBatch];
    alignas(64) uint64_t one[kBatch];
    alignas(64) uint64_t minus_one[kBatch];
    alignas(64) uint64_t s[kBatch];
    alignas(64) uint64_t exponent[kBatch];  // n - 1 in the upper half: its top bit first
};

void fill_columns(Columns &c, const uint32_t *numbers, size_t count, size_t lanes) noexcept {
    Lane lane{};
    for (size_t i = 0; i < lanes; ++i) {
        if (i < count) lane = lane_of(numbers[i]);
        c.n[i] = lane.n;
        c.n_inverse[i] = lane.n_inverse;
        c.one[i] = lane.one;
        c.minus_one[i] = lane.minus_one;
        c.s[i] = lane.s;
        c.exponent[i] = static_cast<uint64_t>(lane.n - 1) << 32;
    }
}

// Four lanes per register, the steps of strong_base2 side by side: all 32
// for every lane (a number below 2^31 starts with squarings of 1, which stay
// 1), with comparisons for the corrections (the values stay below 2^33, so
// signed comparisons serve).
__attribute__((target("avx2"))) uint32_t strong_base2_avx2(const uint32_t *numbers,
                                                           size_t count) noexcept {
    constexpr size_t kLanes = 4;
    constexpr size_t kRegisters = kBatch / kLanes;
    const size_t registers = (count + kLanes - 1) / kLanes;
    Columns c;
    fill_columns(c, numbers, count, registers * kLanes);

    __m256i n[kRegisters] = {}, n_inverse[kRegisters] = {}, x[kRegisters] = {};
    __m256i exponent[kRegisters] = {}, one[kRegisters] = {}, minus_one[kRegisters] = {};
    __m256i s[kRegisters] = {}, passed[kRegisters] = {};
    for (size_t r = 0; r < registers; ++r) {
        n[r] = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.n + r * kLanes));
        n_inverse[r] =
            _mm256_load_si256(reinterpret_cast<const __m256i *>(c.n_inverse + r * kLanes));
        one[r] = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.one + r * kLanes));
        minus_one[r] =
            _mm256_load_si256(reinterpret_cast<const __m256i *>(c.minus_one + r * kLanes));
        s[r] = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.s + r * kLanes));
        exponent[r] = _mm256_load_si256(reinterpret_cast<const __m256i *>(c.exponent + r * kLanes));
        x[r] = one[r];
    }
    const __m256i zero = _mm256_setzero_si256();
    for (int bit = 31; bit >= 0; --bit) {
        const __m256i b = _mm256_set1_epi64x(bit);
        const __m256i b_minus_one = _mm256_set1_epi64x(bit - 1);
        for (size_t r = 0; r < registers; ++r) {
            const __m256i t = _mm256_mul_epu32(x[r], x[r]);
            const __m256i m = _mm256_mul_epu32(t, n_inverse[r]);
            const __m256i mn = _mm256_mul_epu32(m, n[r]);
            const __m256i difference =
                _mm256_sub_epi64(_mm256_srli_epi64(t, 32), _mm256_srli_epi64(mn, 32));
            const __m256i y = _mm256_add_epi64(
                difference, _mm256_and_si256(_mm256_cmpgt_epi64(zero, difference), n[r]));
            const __m256i twice = _mm256_add_epi64(y, y);
            const __m256i reduced = _mm256_sub_epi64(twice, n[r]);
            const __m256i doubled =
                _mm256_blendv_epi8(reduced, twice, _mm256_cmpgt_epi64(zero, reduced));
            // The sign of each 64-bit exponent lane picks the doubled value.
            x[r] = _mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(y),
                                                        _mm256_castsi256_pd(doubled),
                                                        _mm256_castsi256_pd(exponent[r])));
            exponent[r] = _mm256_slli_epi64(exponent[r], 1);
            const __m256i at_s = _mm256_cmpeq_epi64(s[r], b);
            const __m256i upto_s =
                bit >= 1 ? _mm256_cmpgt_epi64(s[r], b_minus_one) : _mm256_setzero_si256();
            passed[r] = _mm256_or_si256(
                passed[r],
                _mm256_or_si256(_mm256_and_si256(at_s, _mm256_cmpeq_epi64(x[r], one[r])),
                                _mm256_and_si256(upto_s, _mm256_cmpeq_epi64(x[r], minus_one[r]))));
        }
    }
    uint32_t mask = 0;
    for (size_t r = 0; r < registers; ++r) {
        const auto lanes =
            static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(passed[r])));
        mask |= lanes << (r * kLanes);
    }
    return count < 32 ? mask & ((1u << count) - 1) : mask;
}

// ---- AVX-512 ---------------------------------------------------------------------------------

// GCC 12 takes the deliberately undefined operand of its AVX-512 intrinsics
// for an uninitialised variable (its bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The sieve primes as columns, eight to a register: 46 primes and two lanes
// that mark nothing. Per prime: p; ceil(2^32 / p), whose product with m,
// shifted, is m / p or one more; (p - 1) / 2 + p; and the bits 0, p, 2p ...
// below 64 (1 for the primes above 64), which shifted by the first multiple
// mark a word.
struct SieveColumns {
    alignas(64) uint64_t p[48];
    alignas(64) uint64_t reciprocal[48];
    alignas(64) uint64_t half[48];
    alignas(64) uint64_t pattern[48];
};

constexpr SieveColumns kSieveColumns = [] {
    SieveColumns c{};
    for (size_t i = 0; i < 48; ++i) {
        const uint32_t p = i < kSievePrimeCount ? kSievePrimes[i].p : 3;
        c.p[i] = p;
        c.reciprocal[i] = ((uint64_t{1} << 32) + p - 1) / p;
        c.half[i] = (p - 1) / 2 + p;
        uint64_t pattern = 0;
        if (i < kSievePrimeCount) {
            for (uint32_t bit = 0; bit < 64; bit += p) pattern |= uint64_t{1} << bit;
        }
        c.pattern[i] = pattern;
    }
    return c;
}();

// composite_word for the four words from m on (m + 64 below 2^31 + 256).
__attribute__((target("avx512f"))) void sieve_avx512(uint32_t m, uint64_t *composite) noexcept {
    __m512i marks[kWordsPerRound];
    for (auto &mark : marks) mark = _mm512_setzero_si512();
    for (size_t v = 0; v < 48; v += 8) {
        const __m512i p = _mm512_load_si512(kSieveColumns.p + v);
        const __m512i reciprocal = _mm512_load_si512(kSieveColumns.reciprocal + v);
        const __m512i half = _mm512_load_si512(kSieveColumns.half + v);
        const __m512i pattern = _mm512_load_si512(kSieveColumns.pattern + v);
        for (uint32_t w = 0; w < kWordsPerRound; ++w) {
            const __m512i word = _mm512_set1_epi64(m + 64 * w);
            const __m512i quotient = _mm512_srli_epi64(_mm512_mul_epu32(word, reciprocal), 32);
            // word - quotient * p lies in [-p, p): plus p where it is negative.
            __m512i rest = _mm512_sub_epi64(word, _mm512_mul_epu32(quotient, p));
            rest = _mm512_min_epu64(rest, _mm512_add_epi64(rest, p));
            __m512i first = _mm512_sub_epi64(half, rest);
            first = _mm512_min_epu64(first, _mm512_sub_epi64(first, p));
            marks[w] = _mm512_or_si512(marks[w], _mm512_sllv_epi64(pattern, first));
        }
    }
    for (uint32_t w = 0; w < kWordsPerRound; ++w) composite[w] = _mm512_reduce_or_epi64(marks[w]);
}

// One step of the exponentiation for register r: square (Montgomery: high
// half of t minus high half of m * n, plus n where that wraps, as an unsigned
// minimum), then double where the exponent's bit is set.
#define OV_STRONG_STEP_AVX512(r)                                                                 \
    do {                                                                                         \
        const __m512i t = _mm512_mul_epu32(x[r], x[r]);                                          \
        const __m512i mn = _mm512_mul_epu32(_mm512_mul_epu32(t, n_inverse[r]), n[r]);            \
        const __m512i d = _mm512_sub_epi64(_mm512_srli_epi64(t, 32), _mm512_srli_epi64(mn, 32)); \
        const __m512i y = _mm512_min_epu64(d, _mm512_add_epi64(d, n[r]));                        \
        const __m512i twice = _mm512_add_epi64(y, y);                                            \
        const __mmask8 set = _mm512_test_epi64_mask(exponent[r], bit_mask);                      \
        x[r] = _mm512_mask_min_epu64(y, set, twice, _mm512_sub_epi64(twice, n[r]));              \
    } while (0)

// R registers of eight lanes for up to 8R numbers. The lanes are set up in
// the registers too: the inverse by Newton's steps, 2^32 mod n from a
// quotient in double precision. The comparisons of the strong test run only
// in the last steps, from the largest s of the batch down.
template <size_t R>
__attribute__((target("avx512f"))) uint32_t strong_base2_avx512(const uint32_t *numbers,
                                                                size_t count) noexcept {
    alignas(32) uint32_t lanes[R * 8];
    alignas(64) uint64_t s_column[R * 8];
    int max_s = 0;
    for (size_t i = 0; i < R * 8; ++i) {
        lanes[i] = numbers[i < count ? i : count - 1];
        const int s = __builtin_ctz(lanes[i] - 1);
        s_column[i] = static_cast<uint64_t>(s);
        max_s = s > max_s ? s : max_s;
    }
    const __m512i two = _mm512_set1_epi64(2);
    const __m512i two_32 = _mm512_set1_epi64(int64_t{1} << 32);
    const __m512d two_32_d = _mm512_set1_pd(4294967296.0);
    __m512i n[R], n_inverse[R], one[R], x[R], exponent[R];
    for (size_t r = 0; r < R; ++r) {
        const __m256i n32 = _mm256_load_si256(reinterpret_cast<const __m256i *>(lanes + 8 * r));
        n[r] = _mm512_cvtepu32_epi64(n32);
        __m512i inverse = n[r];  // right in the low 3 bits; each step doubles that
        for (int i = 0; i < 4; ++i) {
            inverse =
                _mm512_mul_epu32(inverse, _mm512_sub_epi64(two, _mm512_mul_epu32(n[r], inverse)));
        }
        n_inverse[r] = inverse;
        const __m512d quotient =
            _mm512_roundscale_pd(_mm512_div_pd(two_32_d, _mm512_cvtepu32_pd(n32)),
                                 _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        // 2^32 - q * n, with q possibly one off: into [0, n).
        __m512i r1 = _mm512_sub_epi64(
            two_32, _mm512_mul_epu32(_mm512_cvtepu32_epi64(_mm512_cvttpd_epu32(quotient)), n[r]));
        r1 = _mm512_min_epu64(r1, _mm512_add_epi64(r1, n[r]));
        one[r] = _mm512_min_epu64(r1, _mm512_sub_epi64(r1, n[r]));
        x[r] = one[r];
        exponent[r] = _mm512_sub_epi64(n[r], _mm512_set1_epi64(1));
    }
    int bit = 31;
    for (; bit > max_s; --bit) {
        const __m512i bit_mask = _mm512_set1_epi64(int64_t{1} << bit);
        for (size_t r = 0; r < R; ++r) OV_STRONG_STEP_AVX512(r);
    }
    __mmask8 passed[R] = {};
    for (; bit >= 0; --bit) {
        const __m512i bit_mask = _mm512_set1_epi64(int64_t{1} << bit);
        const __m512i b = _mm512_set1_epi64(bit);
        for (size_t r = 0; r < R; ++r) {
            OV_STRONG_STEP_AVX512(r);
            const __m512i s = _mm512_load_si512(s_column + 8 * r);
            const __mmask8 at_s = _mm512_cmpeq_epu64_mask(s, b);
            const __mmask8 upto_s = bit >= 1 ? _mm512_cmpge_epu64_mask(s, b) : 0;
            passed[r] |= _mm512_mask_cmpeq_epu64_mask(at_s, x[r], one[r]) |
                         _mm512_mask_cmpeq_epu64_mask(upto_s, x[r], _mm512_sub_epi64(n[r], one[r]));
        }
    }
    uint32_t mask = 0;
    for (size_t r = 0; r < R; ++r) mask |= static_cast<uint32_t>(passed[r]) << (r * 8);
    return count < 32 ? mask & ((1u << count) - 1) : mask;
}

#undef OV_STRONG_STEP_AVX512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// As many registers as the batch needs.
uint32_t strong_base2_avx512_batch(const uint32_t *numbers, size_t count) noexcept {
    switch ((count + 7) / 8) {
        case 1:
            return strong_base2_avx512<1>(numbers, count);
        case 2:
            return strong_base2_avx512<2>(numbers, count);
        case 3:
            return strong_base2_avx512<3>(numbers, count);
        default:
            return strong_base2_avx512<4>(numbers, count);
    }
}

#endif

// ---- The search ------------------------------------------------------------------------------

void sieve_scalar(uint32_t m, uint64_t *composite) noexcept {
    for (uint32_t w = 0; w < kWordsPerRound; ++w) composite[w] = composite_word(m + 64 * w);
}

// How this processor sieves and tests, chosen on first use (two threads
// that choose at once choose the same).
struct Engine {
    void (*sieve)(uint32_t m, uint64_t *composite) noexcept;
    uint32_t (*test)(const uint32_t *numbers, size_t count) noexcept;
};

constexpr Engine kScalarEngine{sieve_scalar, strong_base2_scalar};
#if defined(__x86_64__)
constexpr Engine kAvx2Engine{sieve_scalar, strong_base2_avx2};
constexpr Engine kAvx512Engine{sieve_avx512, strong_base2_avx512_batch};
#endif

std::atomic<const Engine *> g_engine{nullptr};

const Engine &best_engine() noexcept {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return kAvx512Engine;
    if (__builtin_cpu_supports("avx2")) return kAvx2Engine;
#endif
    return kScalarEngine;
}

const Engine &engine() noexcept {
    const Engine *chosen = g_engine.load(std::memory_order_relaxed);
    if (chosen != nullptr) [[likely]]
        return *chosen;
    chosen = &best_engine();
    g_engine.store(chosen, std::memory_order_relaxed);
    return *chosen;
}

// Whether a number that passed the base-2 test is one of the composites
// that do.
bool is_base2_pseudoprime(uint32_t n) noexcept {
    return std::binary_search(std::begin(ov::detail::kBase2StrongPseudoprimes),
                              std::end(ov::detail::kBase2StrongPseudoprimes), n);
}

// The first prime among numbers (ascending odd survivors of the sieve, all
// at least 223^2), or 0.
uint32_t first_prime_of(const Engine &e, const uint32_t *numbers, size_t count) noexcept {
    for (size_t done = 0; done < count; done += kBatch) {
        const size_t batch = std::min(count - done, kBatch);
        uint32_t passed = e.test(numbers + done, batch);
        while (passed != 0) {
            const uint32_t n = numbers[done + static_cast<size_t>(__builtin_ctz(passed))];
            if (!is_base2_pseudoprime(n)) return n;
            passed &= passed - 1;
        }
    }
    return 0;
}

uint32_t next_prime(uint32_t n) noexcept {
    if (n <= kSmallAnswers.back()) {
        return *std::lower_bound(kSmallAnswers.begin(), kSmallAnswers.end(), n);
    }
    if (n > kLargestPrime32) return 0;
    // From here the search ends at kLargestPrime32 at the latest. The words
    // start at the first odd number not below n, above 211.
    const Engine &e = engine();
    uint32_t m = n / 2;  // 2m + 1 = n | 1
    for (;;) {
        uint64_t composite[kWordsPerRound];
        e.sieve(m, composite);
        uint32_t survivors[kWordsPerRound * 64];
        size_t count = 0;
        bool at_end = false;
        for (uint32_t w = 0; w < kWordsPerRound && !at_end; ++w) {
            const uint64_t first = 2 * (uint64_t{m} + 64 * w) + 1;
            uint64_t open = ~composite[w];
            at_end = first + 2 * 63 >= kLargestPrime32;
            if (at_end) {
                // Only the numbers up to the largest 32-bit prime.
                const uint64_t bits = (kLargestPrime32 - first) / 2 + 1;
                open &= bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
            }
            for (; open != 0; open &= open - 1) {
                const uint64_t v = first + 2 * static_cast<uint64_t>(__builtin_ctzll(open));
                if (count == 0 && v < kSieveProvesBelow) return static_cast<uint32_t>(v);
                survivors[count++] = static_cast<uint32_t>(v);
            }
        }
        const uint32_t prime = first_prime_of(e, survivors, count);
        if (prime != 0) return prime;
        if (at_end) return 0;  // not reached: kLargestPrime32 is prime
        m += 64 * kWordsPerRound;
    }
}

}  // namespace

extern "C" {

uint32_t ov_next_prime(uint32_t n) noexcept {
    return next_prime(n);
}

int32_t ov_hash_test_prime_kernel(int32_t kernel) {
    const Engine *chosen = nullptr;
    switch (kernel) {
        case -1:
            break;
        case 0:
            chosen = &kScalarEngine;
            break;
#if defined(__x86_64__)
        case 1:
            __builtin_cpu_init();
            if (!__builtin_cpu_supports("avx2")) return 0;
            chosen = &kAvx2Engine;
            break;
        case 2:
            __builtin_cpu_init();
            if (!__builtin_cpu_supports("avx512f")) return 0;
            chosen = &kAvx512Engine;
            break;
#endif
        default:
            return 0;
    }
    g_engine.store(chosen, std::memory_order_relaxed);  // null: chosen again on next use
    return 1;
}

}  // extern "C"
