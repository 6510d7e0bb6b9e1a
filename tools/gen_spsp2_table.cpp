// gen_spsp2_table.cpp - writes base/ovplatform/src/internal/hash_spsp2_table.h.
//
// Lists the odd composites below 2^32 that pass the strong probable-prime
// test to base 2 (there are 2314; the first is 2047 = 23 * 89), which
// ov_next_prime needs to make that test exact. Every odd number from 3 up is
// tested; a number that passes is composite when the strong test to base 7
// or 61 fails (2, 7 and 61 together decide every number below
// 4,759,123,141) or when it has one of the three bases as a factor.
//
//   g++ -O2 -std=c++20 -pthread tools/gen_spsp2_table.cpp -o /tmp/gen_spsp2_table
//   /tmp/gen_spsp2_table > base/ovplatform/src/internal/hash_spsp2_table.h
//
// It takes some minutes of two cores.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

uint32_t power_mod(uint64_t base, uint32_t exponent, uint32_t n) {
    uint64_t x = 1;
    base %= n;
    for (; exponent != 0; exponent >>= 1) {
        if (exponent & 1) x = x * base % n;
        base = base * base % n;
    }
    return static_cast<uint32_t>(x);
}

bool strong_probable_prime(uint32_t n, uint32_t base) {
    uint32_t d = n - 1;
    int s = 0;
    while (d % 2 == 0) d /= 2, ++s;
    uint64_t x = power_mod(base, d, n);
    if (x == 1 || x == n - 1) return true;
    for (int r = 1; r < s; ++r) {
        x = x * x % n;
        if (x == n - 1) return true;
    }
    return false;
}

bool composite(uint32_t n) {
    for (uint32_t p : {2u, 7u, 61u}) {
        if (n == p) return false;
        if (n % p == 0) return true;
    }
    return !strong_probable_prime(n, 7) || !strong_probable_prime(n, 61);
}

}  // namespace

int main() {
    constexpr int kThreads = 2;
    std::vector<uint32_t> found[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &found] {
            for (uint64_t n = 3 + 2 * t; n < (uint64_t{1} << 32); n += 2 * kThreads) {
                const auto v = static_cast<uint32_t>(n);
                if (strong_probable_prime(v, 2) && composite(v)) found[t].push_back(v);
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    std::vector<uint32_t> all;
    for (const auto &f : found) all.insert(all.end(), f.begin(), f.end());
    std::sort(all.begin(), all.end());

    std::printf(
        "// hash_spsp2_table.h - the odd composites below 2^32 that pass the strong\n"
        "// probable-prime test to base 2, ascending (%zu of them).\n"
        "//\n"
        "// Written by tools/gen_spsp2_table.cpp; ov_next_prime (ovhash_prime.cpp)\n"
        "// takes a number that passes the test for prime unless it is listed here.\n"
        "#pragma once\n\n#include <cstdint>\n\nnamespace ov::detail {\n\n"
        "inline constexpr uint32_t kBase2StrongPseudoprimes[] = {\n",
        all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        std::printf("%s%u,%s", i % 8 == 0 ? "    " : " ", all[i],
                    i % 8 == 7 || i + 1 == all.size() ? "\n" : "");
    }
    std::printf("};\n\n}  // namespace ov::detail\n");
    return 0;
}
