// ovhash_prime.cpp - the prime rule of the hash table's bucket counts: ov_next_prime.
//
// The answer is the smallest prime not below n:
//
//   1. n up to 211: a list (0 for 0, 2 for 1).
//   2. Above the largest 32-bit prime: 0.
//   3. Otherwise the candidates are the numbers of the wheel of 210 (those
//      without the factors 2, 3, 5 and 7) from n on. A candidate with a
//      factor among the primes 11 to 211 is passed over; below 223^2 one
//      without such a factor is prime.
//   4. Above, the strong probable-prime test to the bases 2, 7 and 61
//      decides: it is exact for every number below 4,759,123,141, so for
//      every 32-bit number. The three tests run side by side, which takes
//      about as long as one of them.
//
// The tests multiply in Montgomery form with R = 2^32: the products fit in
// 64 bits and no step divides. The whole range of candidates is checked
// against a sieve by the long test of ovhash_test (make check-long).
#include <ovplatform/ovhash.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace {

constexpr uint32_t kLargestPrime32 = 4294967291u;  // 0xFFFFFFFB

// The answers for n up to 211: the first entry not below n. Its primes from
// 11 on are the trial divisors.
constexpr std::array<uint32_t, 48> kSmallAnswers = {
    0,   2,   3,   5,   7,   11,  13,  17,  19,  23,  29,  31,  37,  41,  43,  47,
    53,  59,  61,  67,  71,  73,  79,  83,  89,  97,  101, 103, 107, 109, 113, 127,
    131, 137, 139, 149, 151, 157, 163, 167, 173, 179, 181, 191, 193, 197, 199, 211};

// A number without a prime factor up to 211 is prime below 223^2.
constexpr uint32_t kTrialDivisionProvesBelow = 223u * 223u;

// The residues modulo 210 of the numbers without the factors 2, 3, 5 and 7.
constexpr std::array<uint8_t, 48> kWheel = {
    1,   11,  13,  17,  19,  23,  29,  31,  37,  41,  43,  47,  53,  59,  61,  67,
    71,  73,  79,  83,  89,  97,  101, 103, 107, 109, 113, 121, 127, 131, 137, 139,
    143, 149, 151, 157, 163, 167, 169, 173, 179, 181, 187, 191, 193, 197, 199, 209};

// The multiplicative inverse of an odd number modulo 2^32 (Newton's method;
// each step doubles the correct low bits from 3).
constexpr uint32_t inverse_mod_2_32(uint32_t odd) noexcept {
    uint32_t inverse = odd;
    for (int i = 0; i < 4; ++i) inverse *= 2 - odd * inverse;
    return inverse;
}

// An odd prime p divides c exactly when c * p^-1 mod 2^32 is at most
// (2^32 - 1) / p: multiplying by the inverse maps the multiples of p onto
// 0, 1, ... (2^32 - 1) / p and every other number above.
struct TrialDivisor {
    uint32_t inverse;
    uint32_t largest_quotient;
};

constexpr std::array<TrialDivisor, 43> kTrialDivisors = [] {
    std::array<TrialDivisor, 43> divisors{};
    size_t count = 0;
    for (uint32_t p : kSmallAnswers) {
        if (p > 7) divisors[count++] = {inverse_mod_2_32(p), UINT32_MAX / p};
    }
    return divisors;
}();

bool has_trial_divisor(uint32_t c) noexcept {
    for (const TrialDivisor &d : kTrialDivisors) {
        if (c * d.inverse <= d.largest_quotient) return true;
    }
    return false;
}

// Arithmetic modulo an odd n in Montgomery form: a stands for a * 2^32 mod n.
struct Montgomery {
    uint32_t n;
    uint32_t n_inverse;  // n^-1 mod 2^32
    uint32_t one;        // 2^32 mod n

    explicit Montgomery(uint32_t odd) noexcept
        : n(odd), n_inverse(inverse_mod_2_32(odd)), one((0u - odd) % odd) {}

    uint32_t form_of(uint32_t a) const noexcept {
        return static_cast<uint32_t>((uint64_t{a} << 32) % n);
    }

    // a * b * 2^-32 mod n for a and b below n. With m = t * n^-1 mod 2^32,
    // t - m * n is a multiple of 2^32 whose high half is the difference of
    // the two high halves, between -n and n.
    uint32_t multiply(uint32_t a, uint32_t b) const noexcept {
        const uint64_t t = uint64_t{a} * b;
        const uint32_t m = static_cast<uint32_t>(t) * n_inverse;
        const auto high_t = static_cast<uint32_t>(t >> 32);
        const auto high_mn = static_cast<uint32_t>((uint64_t{m} * n) >> 32);
        return high_t - high_mn + (high_t < high_mn ? n : 0);
    }
};

// The strong probable-prime test of an odd c above 211 without a factor up
// to 211 to the bases 2, 7 and 61, side by side. With c - 1 = d * 2^s, d
// odd, c passes for a base a when a^d is 1 or one of a^d ... a^(d * 2^(s-1))
// is -1.
bool is_prime_above_trial_division(uint32_t c) noexcept {
    constexpr std::array<uint32_t, 3> kBases = {2, 7, 61};
    const Montgomery mod(c);
    const uint32_t minus_one = c - mod.one;
    const int s = __builtin_ctz(c - 1);
    const uint32_t d = (c - 1) >> s;

    std::array<uint32_t, 3> base{};
    std::array<uint32_t, 3> x{};
    for (size_t i = 0; i < kBases.size(); ++i) x[i] = base[i] = mod.form_of(kBases[i]);
    // a^d from the top bit of d down; the top bit is the starting a.
    for (int bit = 30 - __builtin_clz(d); bit >= 0; --bit) {
        for (size_t i = 0; i < kBases.size(); ++i) {
            x[i] = mod.multiply(x[i], x[i]);
            if ((d >> bit) & 1) x[i] = mod.multiply(x[i], base[i]);
        }
    }
    for (uint32_t value : x) {
        bool passes = value == mod.one || value == minus_one;
        for (int r = 1; r < s && !passes; ++r) {
            value = mod.multiply(value, value);
            passes = value == minus_one;
        }
        if (!passes) return false;
    }
    return true;
}

uint32_t next_prime(uint32_t n) noexcept {
    if (n <= kSmallAnswers.back()) {
        return *std::lower_bound(kSmallAnswers.begin(), kSmallAnswers.end(), n);
    }
    if (n > kLargestPrime32) return 0;
    // The walk ends at kLargestPrime32 at the latest, a wheel number
    // (210 * 20452225 + 41), so no candidate wraps.
    uint32_t base = n / 210 * 210;
    size_t i = static_cast<size_t>(std::lower_bound(kWheel.begin(), kWheel.end(), n - base) -
                                   kWheel.begin());
    for (;; ++i) {
        if (i == kWheel.size()) {
            i = 0;
            base += 210;
        }
        const uint32_t c = base + kWheel[i];
        if (has_trial_divisor(c)) continue;
        if (c < kTrialDivisionProvesBelow || is_prime_above_trial_division(c)) return c;
    }
}

}  // namespace

extern "C" uint32_t ov_next_prime(uint32_t n) noexcept {
    return next_prime(n);
}
