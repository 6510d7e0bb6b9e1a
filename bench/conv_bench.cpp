// conv_bench.cpp - the string conversions and encodings against OpenSSL and
// the C library.
//
// Pairs run side by side in one program, their repetitions interleaved in
// random order so that both sides see the same machine state:
//   - ov_str_base64_encode of 1 MiB against OpenSSL's EVP_EncodeBlock;
//   - ov_str_base64_to_buf of the same text back to 1 MiB against
//     EVP_DecodeBlock;
//   - ov_str_hex_decode of 2 MiB of digits against OPENSSL_hexstr2buf
//     (which allocates its result; that is part of using it);
//   - ov_str_to_int64 against strtoll in base 10 over the same 1024 numbers
//     of one to nineteen digits, half of them negative.
// One absolute target: ov_str_wildcard_match of "*a*a*a*a*a*a*a*a*b"
// against 10,000 "a", under 1 ms. After the table the program prints each
// pair's ratio of median CPU times (library / reference) with its target,
// the throughputs, and the wildcard time. Google Benchmark flags may be
// given; the defaults come first, so the caller's flags override them.
#include <ovplatform/ovstring.h>

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "ratio_main.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kDataSize = 1 << 20;
constexpr char kStarPattern[] = "*a*a*a*a*a*a*a*a*b";
constexpr size_t kStarText = 10000;
constexpr double kWildcardTargetNs = 1e6;

const std::vector<unsigned char> &data() {
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> v(kDataSize);
        uint32_t x = 2463534242u;
        for (auto &b : v) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x);
        }
        return v;
    }();
    return bytes;
}

const std::string &base64_text() {
    static const std::string text = [] {
        std::vector<char> buf(4 * (kDataSize + 2) / 3 + 1);
        ov_str_base64_encode_str(data().data(), kDataSize, buf.data(), buf.size());
        return std::string(buf.data());
    }();
    return text;
}

const std::string &hex_text() {
    static const std::string text = [] {
        std::vector<char> buf(2 * kDataSize + 1);
        ov_str_hex_encode(data().data(), kDataSize, buf.data(), buf.size());
        return std::string(buf.data());
    }();
    return text;
}

// Numbers of 1 to 19 digits, every second one negative, each terminated.
const std::vector<std::string> &numbers() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> v;
        uint64_t x = 88172645463325252ull;
        for (int i = 0; i < 1024; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            const int digits = 1 + i % 19;
            std::string s = i % 2 ? "-" : "";
            s += static_cast<char>('1' + x % 9);
            for (int d = 1; d < digits; ++d) s += static_cast<char>('0' + (x >> (3 * d)) % 10);
            v.push_back(s);
        }
        return v;
    }();
    return list;
}

void set_bytes(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_ov_str_base64_encode(benchmark::State &state) {
    std::vector<char> out(base64_text().size() + 1);
    for (auto _ : state) {
        size_t n;
        benchmark::DoNotOptimize(
            ov_str_base64_encode(data().data(), kDataSize, out.data(), out.size(), &n));
        benchmark::ClobberMemory();
    }
    set_bytes(state, kDataSize);
}

void BM_EVP_EncodeBlock(benchmark::State &state) {
    std::vector<unsigned char> out(base64_text().size() + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_EncodeBlock(out.data(), data().data(), static_cast<int>(kDataSize)));
        benchmark::ClobberMemory();
    }
    set_bytes(state, kDataSize);
}

void BM_ov_str_base64_to_buf(benchmark::State &state) {
    const std::string &text = base64_text();
    // The strict decoder asks for a byte more than the largest result.
    std::vector<unsigned char> out(3 * (text.size() / 4) + 1);
    for (auto _ : state) {
        size_t n;
        benchmark::DoNotOptimize(
            ov_str_base64_to_buf(text.data(), text.size(), out.data(), out.size(), &n));
        benchmark::ClobberMemory();
    }
    set_bytes(state, kDataSize);
}

void BM_EVP_DecodeBlock(benchmark::State &state) {
    const std::string &text = base64_text();
    std::vector<unsigned char> out(kDataSize + 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(text.data()),
                            static_cast<int>(text.size())));
        benchmark::ClobberMemory();
    }
    set_bytes(state, kDataSize);
}

void BM_ov_str_hex_decode(benchmark::State &state) {
    const std::string &text = hex_text();
    std::vector<unsigned char> out(kDataSize);
    for (auto _ : state) {
        size_t n;
        benchmark::DoNotOptimize(
            ov_str_hex_decode(text.data(), text.size(), out.data(), out.size(), &n));
        benchmark::ClobberMemory();
    }
    set_bytes(state, kDataSize);
}

void BM_OPENSSL_hexstr2buf(benchmark::State &state) {
    const std::string &text = hex_text();
    for (auto _ : state) {
        long n;
        unsigned char *out = OPENSSL_hexstr2buf(text.c_str(), &n);
        benchmark::DoNotOptimize(out);
        OPENSSL_free(out);
    }
    set_bytes(state, kDataSize);
}

void BM_ov_str_to_int64(benchmark::State &state) {
    const auto &list = numbers();
    for (auto _ : state) {
        for (const std::string &s : list) {
            int64_t v;
            benchmark::DoNotOptimize(ov_str_to_int64(s.c_str(), &v, nullptr));
            benchmark::DoNotOptimize(v);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * list.size()));
}

void BM_strtoll(benchmark::State &state) {
    const auto &list = numbers();
    for (auto _ : state) {
        for (const std::string &s : list)
            benchmark::DoNotOptimize(std::strtoll(s.c_str(), nullptr, 10));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * list.size()));
}

void BM_ov_str_wildcard_match_stars(benchmark::State &state) {
    const std::string text(kStarText, 'a');
    for (auto _ : state)
        benchmark::DoNotOptimize(ov_str_wildcard_match(kStarPattern, text.c_str()));
}

BENCHMARK(BM_ov_str_base64_encode);
BENCHMARK(BM_EVP_EncodeBlock);
BENCHMARK(BM_ov_str_base64_to_buf);
BENCHMARK(BM_EVP_DecodeBlock);
BENCHMARK(BM_ov_str_hex_decode);
BENCHMARK(BM_OPENSSL_hexstr2buf);
BENCHMARK(BM_ov_str_to_int64);
BENCHMARK(BM_strtoll);
BENCHMARK(BM_ov_str_wildcard_match_stars);

// Library time / reference time, by CPU time: single-threaded work.
constexpr ovbench::Pair kPairs[] = {
    {"BM_ov_str_base64_encode", "BM_EVP_EncodeBlock", "base64_encode / EVP_EncodeBlock (1 MiB)",
     1.0, true},
    {"BM_ov_str_base64_to_buf", "BM_EVP_DecodeBlock", "base64_to_buf / EVP_DecodeBlock (1 MiB)",
     1.0, true},
    {"BM_ov_str_hex_decode", "BM_OPENSSL_hexstr2buf", "hex_decode / OPENSSL_hexstr2buf (1 MiB)",
     0.2, true},
    {"BM_ov_str_to_int64", "BM_strtoll", "str_to_int64 / strtoll (per number)", 1.1, true},
};

// The throughputs and the wildcard target, from the median CPU times.
void print_figures(const ovbench::RatioReporter &reporter) {
    for (const char *name :
         {"BM_ov_str_base64_encode", "BM_EVP_EncodeBlock", "BM_ov_str_base64_to_buf",
          "BM_EVP_DecodeBlock", "BM_ov_str_hex_decode", "BM_OPENSSL_hexstr2buf"}) {
        const double ns = reporter.median_cpu(name);
        if (ns > 0)
            std::printf("speed %-48s %6.2f GB/s of binary data (cpu)\n", name + 3, kDataSize / ns);
    }
    for (const char *name : {"BM_ov_str_to_int64", "BM_strtoll"}) {
        const double ns = reporter.median_cpu(name);
        if (ns >= 0)
            std::printf("time  %-48s %6.2f ns per number (cpu)\n", name + 3,
                        ns / static_cast<double>(numbers().size()));
    }
    const double wildcard_ns = reporter.median_cpu("BM_ov_str_wildcard_match_stars");
    if (wildcard_ns >= 0)
        ovbench::print_target("wildcard *a*a*a*a*a*a*a*a*b / 10,000 a", wildcard_ns,
                              kWildcardTargetNs);
}

}  // namespace

int main(int argc, char **argv) {
    // Built before the timing starts, and each library call checked once, so
    // that no time is taken of a call that fails.
    (void)numbers();
    std::vector<unsigned char> back(3 * (base64_text().size() / 4) + 1);
    size_t n = 0;
    if (ov_str_base64_to_buf(base64_text().data(), base64_text().size(), back.data(), back.size(),
                             &n) != 0 ||
        n != kDataSize || std::memcmp(back.data(), data().data(), kDataSize) != 0 ||
        ov_str_hex_decode(hex_text().data(), hex_text().size(), back.data(), back.size(), &n) !=
            0 ||
        n != kDataSize || std::memcmp(back.data(), data().data(), kDataSize) != 0) {
        std::fprintf(stderr, "conv_bench: a decoder did not give the data back\n");
        return 1;
    }
    return ovbench::run_with_ratios(argc, argv, kPairs, print_figures);
}
