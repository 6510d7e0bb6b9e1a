// string_bench.cpp - the string, message and identifier calls against the C
// library calls they stand in for.
//
// Three pairs run side by side in one program, their repetitions interleaved
// in random order so that both sides of a pair see the same machine state:
//   - ov_str_to of a 64-byte piece at a position, against strlen and memcpy
//     of the same bytes (terminator included);
//   - ov_error_string of a library code, against memcpy of the message whose
//     address and length are already known;
//   - ov_uuid_append, against libuuid's uuid_generate and uuid_unparse_lower.
// After the table the program prints each pair's ratio of median times
// (library / C) with its target. Google Benchmark flags may be given; the
// defaults below come first, so the caller's flags override them.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovuuid.h>

#include <benchmark/benchmark.h>

#include "ratio_main.h"
#include <uuid/uuid.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t kBufferSize = 8192;
constexpr size_t kPosition = 100;
// 64 bytes of text, as a path component or a log field might be.
constexpr char kPiece[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
static_assert(sizeof kPiece == 65);
constexpr int32_t kCode = EBUFFER;
constexpr char kMessage[] = "Insufficient buffer space";  // kCode's message

void BM_ov_str_to(benchmark::State &state) {
    static char buf[kBufferSize];
    for (auto _ : state) {
        const char *src = kPiece;
        benchmark::DoNotOptimize(src);  // so the length cannot be folded
        size_t pos = kPosition;
        benchmark::DoNotOptimize(ov_str_to(buf, src, sizeof buf, &pos));
        benchmark::DoNotOptimize(pos);
        benchmark::ClobberMemory();
    }
}

void BM_strlen_memcpy(benchmark::State &state) {
    static char buf[kBufferSize];
    for (auto _ : state) {
        const char *src = kPiece;
        benchmark::DoNotOptimize(src);
        size_t n = std::strlen(src);
        std::memcpy(buf + kPosition, src, n + 1);
        size_t pos = kPosition + n;
        benchmark::DoNotOptimize(pos);
        benchmark::ClobberMemory();
    }
}

void BM_ov_error_string(benchmark::State &state) {
    char buf[256];
    for (auto _ : state) {
        int32_t code = kCode;
        benchmark::DoNotOptimize(code);
        benchmark::DoNotOptimize(ov_error_string(code, buf, sizeof buf));
        benchmark::ClobberMemory();
    }
}

void BM_message_memcpy(benchmark::State &state) {
    char buf[256];
    for (auto _ : state) {
        const char *msg = kMessage;
        size_t len = sizeof kMessage - 1;
        benchmark::DoNotOptimize(msg);
        benchmark::DoNotOptimize(len);
        std::memcpy(buf, msg, len + 1);
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}

void BM_ov_uuid_append(benchmark::State &state) {
    char buf[64];
    for (auto _ : state) {
        uint64_t pos = 0;
        benchmark::DoNotOptimize(ov_uuid_append(buf, sizeof buf, &pos));
        benchmark::ClobberMemory();
    }
}

void BM_uuid_generate_unparse(benchmark::State &state) {
    char buf[64];
    for (auto _ : state) {
        uuid_t id;
        uuid_generate(id);
        uuid_unparse_lower(id, buf);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_ov_str_to);
BENCHMARK(BM_strlen_memcpy);
BENCHMARK(BM_ov_error_string);
BENCHMARK(BM_message_memcpy);
BENCHMARK(BM_ov_uuid_append);
BENCHMARK(BM_uuid_generate_unparse);

constexpr ovbench::Pair kPairs[] = {
    {"BM_ov_str_to", "BM_strlen_memcpy", "ov_str_to / strlen+memcpy", 2.0},
    {"BM_ov_error_string", "BM_message_memcpy", "ov_error_string / memcpy", 2.0},
    {"BM_ov_uuid_append", "BM_uuid_generate_unparse",
     "ov_uuid_append / uuid_generate+unparse_lower", 1.5},
};

}  // namespace

int main(int argc, char **argv) {
    return ovbench::run_with_ratios(argc, argv, kPairs);
}
