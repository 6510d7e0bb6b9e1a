// utf_bench.cpp - UTF-8 validation and UTF-8/UTF-16 conversion against memchr
// and ICU.
//
// Pairs run side by side in one program, their repetitions interleaved in
// random order so that both sides see the same machine state, each over the
// same 1 MiB of NUL-terminated text:
//   - ov_utf8_is_valid of ASCII text, against memchr over the same bytes
//     (the memory-speed floor; target: at least half its throughput);
//   - ov_utf8_is_valid of mixed text (Latin with accents, Cyrillic, CJK and
//     emoji), against ICU's u_strFromUTF8 of the same bytes;
//   - ov_utf8_to_utf16 of mixed and of ASCII text, against u_strFromUTF8;
//   - ov_utf16_to_utf8 of the same texts, against u_strToUTF8.
// Both sides are given NUL-terminated text and a destination large enough.
// After the table the program prints each pair's ratio of median times
// (library / reference) with its target.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <benchmark/benchmark.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include "ratio_main.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kTextBytes = size_t{1} << 20;

// Whole sentences of each kind, repeated up to kTextBytes and cut after a
// whole character.
std::string build_text(bool mixed) {
    static const char *const kMixed[] = {
        "Le c\xC5\x93ur d\xC3\xA9\xC3\xA7u mais l'\xC3\xA2me plut\xC3\xB4t na\xC3\xAFve, "
        "Lou\xC3\xBFs r\xC3\xAAva de crapa\xC3\xBCter en cano\xC3\xAB au del\xC3\xA0 des "
        "\xC3\xAEles. Falsches \xC3\x9C"
        "ben von Xylophonmusik qu\xC3\xA4lt jeden "
        "gr\xC3\xB6\xC3\x9F"
        "eren Zwerg. ",
        "\xD0\xA1\xD1\x8A\xD0\xB5\xD1\x88\xD1\x8C \xD0\xB6\xD0\xB5 \xD0\xB5\xD1\x89\xD1\x91 "
        "\xD1\x8D\xD1\x82\xD0\xB8\xD1\x85 \xD0\xBC\xD1\x8F\xD0\xB3\xD0\xBA\xD0\xB8\xD1\x85 "
        "\xD1\x84\xD1\x80\xD0\xB0\xD0\xBD\xD1\x86\xD1\x83\xD0\xB7\xD1\x81\xD0\xBA\xD0\xB8\xD1\x85 "
        "\xD0\xB1\xD1\x83\xD0\xBB\xD0\xBE\xD0\xBA, \xD0\xB4\xD0\xB0 \xD0\xB2\xD1\x8B\xD0\xBF"
        "\xD0\xB5\xD0\xB9 \xD1\x87\xD0\xB0\xD1\x8E. ",
        "\xE6\x88\x91\xE8\x83\xBD\xE5\x90\x9E\xE4\xB8\x8B\xE7\x8E\xBB\xE7\x92\x83\xE8\x80\x8C"
        "\xE4\xB8\x8D\xE4\xBC\xA4\xE8\xBA\xAB\xE4\xBD\x93\xE3\x80\x82\xE7\xA7\x81\xE3\x81\xAF"
        "\xE3\x82\xAC\xE3\x83\xA9\xE3\x82\xB9\xE3\x82\x92\xE9\xA3\x9F\xE3\x81\xB9\xE3\x82\x89"
        "\xE3\x82\x8C\xE3\x81\xBE\xE3\x81\x99\xE3\x80\x82 ",
        "Done \xF0\x9F\x98\x80\xF0\x9F\x8E\x89 ok \xF0\x9F\x91\x8D\xF0\x9F\x9A\x80 ",
    };
    static const char kAscii[] =
        "The quick brown fox jumps over the lazy dog; pack my box with five dozen liquor jugs. ";
    std::string text;
    text.reserve(kTextBytes + 256);
    for (size_t i = 0; text.size() < kTextBytes; ++i) {
        text += mixed ? kMixed[i % 4] : kAscii;
    }
    size_t cut = kTextBytes;
    while ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    if (ov_utf8_is_valid(text.c_str(), SIZE_MAX) != 1) std::abort();
    return text;
}

const std::string &ascii_text() {
    static const std::string text = build_text(false);
    return text;
}

const std::string &mixed_text() {
    static const std::string text = build_text(true);
    return text;
}

std::vector<uint16_t> to_utf16(const std::string &text) {
    size_t size = 0;
    ov_utf8_to_utf16(text.c_str(), 0, nullptr, &size);
    std::vector<uint16_t> out(size / 2);
    if (ov_utf8_to_utf16(text.c_str(), 0, out.data(), &size) != 0) std::abort();
    return out;
}

const std::vector<uint16_t> &mixed_utf16() {
    static const std::vector<uint16_t> units = to_utf16(mixed_text());
    return units;
}

const std::vector<uint16_t> &ascii_utf16() {
    static const std::vector<uint16_t> units = to_utf16(ascii_text());
    return units;
}

void set_bytes(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// ---- Validation ---------------------------------------------------------------

void BM_ov_utf8_is_valid_ascii(benchmark::State &state) {
    const std::string &text = ascii_text();
    for (auto _ : state) {
        const char *p = text.c_str();
        benchmark::DoNotOptimize(p);
        benchmark::DoNotOptimize(ov_utf8_is_valid(p, SIZE_MAX));
    }
    set_bytes(state, text.size());
}

void BM_memchr_ascii(benchmark::State &state) {
    const std::string &text = ascii_text();
    for (auto _ : state) {
        const char *p = text.c_str();
        benchmark::DoNotOptimize(p);
        // A byte that does not occur: memchr reads every byte, terminator included.
        benchmark::DoNotOptimize(std::memchr(p, 0xFF, text.size() + 1));
    }
    set_bytes(state, text.size());
}

void BM_ov_utf8_is_valid_mixed(benchmark::State &state) {
    const std::string &text = mixed_text();
    for (auto _ : state) {
        const char *p = text.c_str();
        benchmark::DoNotOptimize(p);
        benchmark::DoNotOptimize(ov_utf8_is_valid(p, SIZE_MAX));
    }
    set_bytes(state, text.size());
}

// ---- Conversions ---------------------------------------------------------------

void ov_to_utf16(benchmark::State &state, const std::string &text) {
    std::vector<uint16_t> out(text.size() + 1);
    for (auto _ : state) {
        size_t size = out.size() * 2;
        benchmark::DoNotOptimize(ov_utf8_to_utf16(text.c_str(), 0, out.data(), &size));
        benchmark::ClobberMemory();
    }
    set_bytes(state, text.size());
}

void icu_from_utf8(benchmark::State &state, const std::string &text) {
    std::vector<UChar> out(text.size() + 1);
    for (auto _ : state) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t length = 0;
        u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, text.c_str(), -1,
                      &status);
        if (U_FAILURE(status)) std::abort();
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    set_bytes(state, text.size());
}

void ov_to_utf8(benchmark::State &state, const std::vector<uint16_t> &units,
                const std::string &text) {
    std::vector<char> out(3 * units.size() + 1);
    for (auto _ : state) {
        size_t size = out.size();
        benchmark::DoNotOptimize(ov_utf16_to_utf8(units.data(), 0, out.data(), &size));
        benchmark::ClobberMemory();
    }
    set_bytes(state, text.size());
}

void icu_to_utf8(benchmark::State &state, const std::vector<uint16_t> &units,
                 const std::string &text) {
    std::vector<char> out(3 * units.size() + 1);
    const auto *src = reinterpret_cast<const UChar *>(units.data());
    for (auto _ : state) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t length = 0;
        u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, src, -1, &status);
        if (U_FAILURE(status)) std::abort();
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    set_bytes(state, text.size());
}

void BM_icu_u_strFromUTF8_mixed(benchmark::State &state) {
    icu_from_utf8(state, mixed_text());
}
void BM_ov_utf8_to_utf16_mixed(benchmark::State &state) {
    ov_to_utf16(state, mixed_text());
}
void BM_icu_u_strFromUTF8_ascii(benchmark::State &state) {
    icu_from_utf8(state, ascii_text());
}
void BM_ov_utf8_to_utf16_ascii(benchmark::State &state) {
    ov_to_utf16(state, ascii_text());
}
void BM_icu_u_strToUTF8_mixed(benchmark::State &state) {
    icu_to_utf8(state, mixed_utf16(), mixed_text());
}
void BM_ov_utf16_to_utf8_mixed(benchmark::State &state) {
    ov_to_utf8(state, mixed_utf16(), mixed_text());
}
void BM_icu_u_strToUTF8_ascii(benchmark::State &state) {
    icu_to_utf8(state, ascii_utf16(), ascii_text());
}
void BM_ov_utf16_to_utf8_ascii(benchmark::State &state) {
    ov_to_utf8(state, ascii_utf16(), ascii_text());
}

BENCHMARK(BM_ov_utf8_is_valid_ascii);
BENCHMARK(BM_memchr_ascii);
BENCHMARK(BM_ov_utf8_is_valid_mixed);
BENCHMARK(BM_icu_u_strFromUTF8_mixed);
BENCHMARK(BM_ov_utf8_to_utf16_mixed);
BENCHMARK(BM_icu_u_strFromUTF8_ascii);
BENCHMARK(BM_ov_utf8_to_utf16_ascii);
BENCHMARK(BM_icu_u_strToUTF8_mixed);
BENCHMARK(BM_ov_utf16_to_utf8_mixed);
BENCHMARK(BM_icu_u_strToUTF8_ascii);
BENCHMARK(BM_ov_utf16_to_utf8_ascii);

// Time ratios: half of memchr's throughput is twice its time.
constexpr ovbench::Pair kPairs[] = {
    {"BM_ov_utf8_is_valid_ascii", "BM_memchr_ascii", "ov_utf8_is_valid ASCII / memchr", 2.0, true},
    {"BM_ov_utf8_is_valid_mixed", "BM_icu_u_strFromUTF8_mixed",
     "ov_utf8_is_valid mixed / u_strFromUTF8", 1.0, true},
    {"BM_ov_utf8_to_utf16_mixed", "BM_icu_u_strFromUTF8_mixed",
     "ov_utf8_to_utf16 mixed / u_strFromUTF8", 1.0, true},
    {"BM_ov_utf8_to_utf16_ascii", "BM_icu_u_strFromUTF8_ascii",
     "ov_utf8_to_utf16 ASCII / u_strFromUTF8", 1.0, true},
    {"BM_ov_utf16_to_utf8_mixed", "BM_icu_u_strToUTF8_mixed",
     "ov_utf16_to_utf8 mixed / u_strToUTF8", 1.0, true},
    {"BM_ov_utf16_to_utf8_ascii", "BM_icu_u_strToUTF8_ascii",
     "ov_utf16_to_utf8 ASCII / u_strToUTF8", 1.0, true},
};

}  // namespace

int main(int argc, char **argv) {
    return ovbench::run_with_ratios(argc, argv, kPairs);
}
