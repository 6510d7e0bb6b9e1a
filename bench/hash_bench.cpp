// hash_bench.cpp - the hash table against std::unordered_map, and the prime rule.
//
// Side by side in one program, repetitions interleaved in random order, for
// one million keys of each kind with the table's ready-made functions (FNV-1a
// hash, strcmp or 8-byte equality, copies of the keys freed with free()):
//   - 16-byte string keys, against std::unordered_map<std::string, void *>;
//   - 8-byte keys, against std::unordered_map<uint64_t, void *>;
// each for four operations: inserting every key into an empty table (growth
// included), looking every key up in random order (hits), looking up a
// million keys that are absent (misses), and removing every key in random
// order. Only the operations are timed (manual timing on the thread's CPU
// clock): filling a table for the removals and freeing it are not. Both
// sides are given ready-made keys (C strings for the table, std::string for
// the map), so that neither pays for making its query keys.
//
// The program counts the heap allocations of each timed run (it replaces
// malloc, calloc and realloc and counts before it hands on to the C
// library), since the table's entries are small and many: allocations per
// operation are printed beside the times.
//
// ov_next_prime has an absolute target: under a microsecond for any 32-bit
// value, measured at the largest 32-bit prime, after the largest gap between
// 32-bit primes (336, which follows 3842610773) and over random values (the
// last also shows the cost when branch predictors cannot learn the input).
//
// After the table the program prints each pair's ratio of median times per
// operation (table / map) with its target, the allocations per operation,
// the controls (the 8-byte look-ups against a map that hashes by FNV-1a as
// the table must, without a target) and the prime times. Google Benchmark flags may be given; the
// defaults below come first, so the caller's flags override them.
#include <ovplatform/ovhash.h>

#include <benchmark/benchmark.h>

#include "ratio_main.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <time.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// ---- Allocation count ------------------------------------------------------------------------

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *memory, size_t size);

namespace {
std::atomic<uint64_t> g_allocations{0};
}

extern "C" void *malloc(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *memory, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(memory, size);
}

namespace {

constexpr size_t kKeys = 1000000;
constexpr size_t kStringKeyLength = 16;
constexpr double kTableTarget = 1.0;
constexpr double kPrimeTargetNs = 1000.0;
constexpr uint32_t kLargestPrime32 = 4294967291u;
constexpr uint32_t kAfterLargestGap = 3842610774u;

uint64_t splitmix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// The keys: number i of each kind comes from splitmix64(i), a bijection, so
// the first kKeys (present) and the next kKeys (absent) are all distinct. A
// string key is the 16 hexadecimal digits of that number.
struct Keys {
    std::vector<char> text;             // kStringKeyLength + 1 bytes per key
    std::vector<const char *> strings;  // into text
    std::vector<std::string> std_strings;
    std::vector<uint64_t> numbers;
    std::vector<size_t> order;  // a random permutation of the present keys

    Keys() {
        text.resize(2 * kKeys * (kStringKeyLength + 1));
        for (size_t i = 0; i < 2 * kKeys; ++i) {
            const uint64_t x = splitmix64(i);
            char *key = &text[i * (kStringKeyLength + 1)];
            std::snprintf(key, kStringKeyLength + 1, "%016llx", static_cast<unsigned long long>(x));
            strings.push_back(key);
            std_strings.emplace_back(key, kStringKeyLength);
            numbers.push_back(x);
        }
        order.resize(kKeys);
        for (size_t i = 0; i < kKeys; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
    }
};

const Keys &keys() {
    static const Keys k;
    return k;
}

// A stand-in value: the table stores it unchanged (identity copy).
void *value_of(size_t i) {
    return reinterpret_cast<void *>(i + 1);
}

using StringMap = std::unordered_map<std::string, void *>;
using NumberMap = std::unordered_map<uint64_t, void *>;

// The control for the 8-byte look-ups: the map's hash for integers is the
// identity, free of cost, while the table must place keys by FNV-1a. Given
// FNV-1a too (written as a user of the map would), the map shows what the
// table's structure costs apart from its hash.
struct Fnv1a64 {
    size_t operator()(uint64_t key) const noexcept {
        uint64_t hash = 0xcbf29ce484222325ull;
        for (int i = 0; i < 8; ++i) {
            hash ^= (key >> (8 * i)) & 0xff;
            hash *= 0x100000001b3ull;
        }
        return hash;
    }
};
using FnvNumberMap = std::unordered_map<uint64_t, void *, Fnv1a64>;

ov_hash_t *new_string_table() {
    return ov_hash_new(0, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string,
                       ov_hash_copy_identity, free, ov_free_nop);
}

ov_hash_t *new_number_table() {
    return ov_hash_new(0, ov_hash_64, ov_hash_equal_64, ov_hash_copy_64, ov_hash_copy_identity,
                       free, ov_free_nop);
}

// The query key of kind String (C string) or Number (address of the 8 bytes).
enum class Kind { kString, kNumber };

const void *table_key(Kind kind, size_t i) {
    const Keys &k = keys();
    return kind == Kind::kString ? static_cast<const void *>(k.strings[i])
                                 : static_cast<const void *>(&k.numbers[i]);
}

ov_hash_t *filled_table(Kind kind) {
    ov_hash_t *table = kind == Kind::kString ? new_string_table() : new_number_table();
    for (size_t i = 0; i < kKeys; ++i) ov_hash_put(table, table_key(kind, i), value_of(i), nullptr);
    return table;
}

template <class Map>
void fill_map(Map &map) {
    const Keys &k = keys();
    for (size_t i = 0; i < kKeys; ++i) {
        if constexpr (std::is_same_v<Map, StringMap>) {
            map.emplace(k.std_strings[i], value_of(i));
        } else {
            map.emplace(k.numbers[i], value_of(i));
        }
    }
}

// Tables that the look-up benchmarks share, made on first use.
ov_hash_t *shared_table(Kind kind) {
    static ov_hash_t *tables[2] = {nullptr, nullptr};
    ov_hash_t *&table = tables[kind == Kind::kString ? 0 : 1];
    if (table == nullptr) table = filled_table(kind);
    return table;
}

template <class Map>
const Map &shared_map() {
    static const Map map = [] {
        Map m;
        fill_map(m);
        return m;
    }();
    return map;
}

// The calling thread's CPU time in seconds: both sides of a pair run on one
// thread, and preemption by the other programs of a busy machine does not
// count against either.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Times body (which performs kKeys operations) on the thread's CPU clock and
// reports the time and the allocations it made.
template <class Body>
void timed(benchmark::State &state, uint64_t *allocations, Body body) {
    const uint64_t before = g_allocations.load(std::memory_order_relaxed);
    const double start = thread_seconds();
    body();
    const double stop = thread_seconds();
    *allocations += g_allocations.load(std::memory_order_relaxed) - before;
    state.SetIterationTime(stop - start);
}

void finish(benchmark::State &state, uint64_t allocations) {
    const double operations = static_cast<double>(state.iterations()) * kKeys;
    state.counters["allocs/op"] = static_cast<double>(allocations) / operations;
}

// The look-ups of either side: kKeys keys that are present, in random order
// (hits), or absent (misses); find(index) says whether the key of that
// index was found.
template <class Find>
void lookups(benchmark::State &state, bool hit, Find find) {
    const Keys &k = keys();
    uint64_t allocations = 0;
    size_t found = 0;
    for (auto _ : state) {
        timed(state, &allocations, [&] {
            for (size_t i = 0; i < kKeys; ++i) found += find(hit ? k.order[i] : kKeys + i);
        });
    }
    if (found != (hit ? kKeys * state.iterations() : 0)) state.SkipWithError("wrong look-ups");
    finish(state, allocations);
}

// ---- The table -------------------------------------------------------------------------------

void table_insert(benchmark::State &state, Kind kind) {
    uint64_t allocations = 0;
    for (auto _ : state) {
        ov_hash_t *table = kind == Kind::kString ? new_string_table() : new_number_table();
        timed(state, &allocations, [&] {
            for (size_t i = 0; i < kKeys; ++i) {
                benchmark::DoNotOptimize(
                    ov_hash_put(table, table_key(kind, i), value_of(i), nullptr));
            }
        });
        if (ov_hash_count(table) != kKeys) state.SkipWithError("a key is missing");
        ov_hash_free(table);
    }
    finish(state, allocations);
}

void table_lookup(benchmark::State &state, Kind kind, bool hit) {
    const ov_hash_t *table = shared_table(kind);
    lookups(state, hit,
            [&](size_t index) { return ov_hash_get(table, table_key(kind, index)) != nullptr; });
}

void table_remove(benchmark::State &state, Kind kind) {
    const Keys &k = keys();
    uint64_t allocations = 0;
    for (auto _ : state) {
        ov_hash_t *table = filled_table(kind);
        size_t removed = 0;
        timed(state, &allocations, [&] {
            for (size_t i = 0; i < kKeys; ++i)
                removed += ov_hash_remove(table, table_key(kind, k.order[i]));
        });
        if (removed != kKeys) state.SkipWithError("a removal failed");
        ov_hash_free(table);
    }
    finish(state, allocations);
}

// ---- std::unordered_map ----------------------------------------------------------------------

template <class Map>
auto map_key(size_t i) {
    if constexpr (std::is_same_v<Map, StringMap>) {
        return std::cref(keys().std_strings[i]);
    } else {
        return keys().numbers[i];
    }
}

template <class Map>
void map_insert(benchmark::State &state) {
    uint64_t allocations = 0;
    for (auto _ : state) {
        auto map = std::make_unique<Map>();
        timed(state, &allocations, [&] {
            for (size_t i = 0; i < kKeys; ++i) {
                benchmark::DoNotOptimize(map->emplace(map_key<Map>(i), value_of(i)));
            }
        });
        if (map->size() != kKeys) state.SkipWithError("a key is missing");
    }
    finish(state, allocations);
}

template <class Map>
void map_lookup(benchmark::State &state, bool hit) {
    const Map &map = shared_map<Map>();
    lookups(state, hit, [&](size_t index) { return map.find(map_key<Map>(index)) != map.end(); });
}

template <class Map>
void map_remove(benchmark::State &state) {
    const Keys &k = keys();
    uint64_t allocations = 0;
    for (auto _ : state) {
        auto map = std::make_unique<Map>();
        fill_map(*map);
        size_t removed = 0;
        timed(state, &allocations, [&] {
            for (size_t i = 0; i < kKeys; ++i) removed += map->erase(map_key<Map>(k.order[i]));
        });
        if (removed != kKeys) state.SkipWithError("a removal failed");
    }
    finish(state, allocations);
}

// Registers a benchmark of the table or the map under the name the report
// pairs it by (what, then the kind of keys), timed manually (the operations
// only).
template <class Run, class... Args>
void add(const char *what, const char *keys, Run run, Args... args) {
    const std::string name = std::string(what).append(keys);
    benchmark::RegisterBenchmark(name.c_str(), run, args...)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// The table's benchmarks and the map's for one kind of key.
template <class Map>
void register_kind(Kind kind, const char *keys) {
    add("BM_ov_hash_insert_", keys, table_insert, kind);
    add("BM_map_insert_", keys, map_insert<Map>);
    add("BM_ov_hash_hit_", keys, table_lookup, kind, true);
    add("BM_map_hit_", keys, map_lookup<Map>, true);
    add("BM_ov_hash_miss_", keys, table_lookup, kind, false);
    add("BM_map_miss_", keys, map_lookup<Map>, false);
    add("BM_ov_hash_remove_", keys, table_remove, kind);
    add("BM_map_remove_", keys, map_remove<Map>);
}

void register_table_benchmarks() {
    register_kind<StringMap>(Kind::kString, "string");
    register_kind<NumberMap>(Kind::kNumber, "u64");
    // The controls: look-ups in a map that hashes by FNV-1a, as the table does.
    add("BM_map_fnv_hit_", "u64", map_lookup<FnvNumberMap>, true);
    add("BM_map_fnv_miss_", "u64", map_lookup<FnvNumberMap>, false);
}

// ---- ov_next_prime ---------------------------------------------------------------------------

void next_prime_of(benchmark::State &state, uint32_t n) {
    for (auto _ : state) {
        uint32_t value = n;
        benchmark::DoNotOptimize(value);
        benchmark::DoNotOptimize(ov_next_prime(value));
    }
}

void BM_ov_next_prime_largest(benchmark::State &s) {
    next_prime_of(s, kLargestPrime32);
}
void BM_ov_next_prime_largest_gap(benchmark::State &s) {
    next_prime_of(s, kAfterLargestGap);
}

void BM_ov_next_prime_random(benchmark::State &state) {
    std::vector<uint32_t> values(4096);
    std::mt19937 random(7);
    for (uint32_t &v : values) v = static_cast<uint32_t>(random() % (kLargestPrime32 - 211)) + 212;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_next_prime(values[i++ & (values.size() - 1)]));
    }
}

BENCHMARK(BM_ov_next_prime_largest);
BENCHMARK(BM_ov_next_prime_largest_gap);
BENCHMARK(BM_ov_next_prime_random);

// ---- Report ----------------------------------------------------------------------------------

struct Pair {
    const char *table;
    const char *map;
    const char *label;
};

constexpr Pair kPairs[] = {
    {"BM_ov_hash_insert_string", "BM_map_insert_string", "insert, 16-byte strings"},
    {"BM_ov_hash_hit_string", "BM_map_hit_string", "lookup hit, 16-byte strings"},
    {"BM_ov_hash_miss_string", "BM_map_miss_string", "lookup miss, 16-byte strings"},
    {"BM_ov_hash_remove_string", "BM_map_remove_string", "remove, 16-byte strings"},
    {"BM_ov_hash_insert_u64", "BM_map_insert_u64", "insert, 8-byte keys"},
    {"BM_ov_hash_hit_u64", "BM_map_hit_u64", "lookup hit, 8-byte keys"},
    {"BM_ov_hash_miss_u64", "BM_map_miss_u64", "lookup miss, 8-byte keys"},
    {"BM_ov_hash_remove_u64", "BM_map_remove_u64", "remove, 8-byte keys"},
};

// The controls, printed without a target.
constexpr Pair kControls[] = {
    {"BM_ov_hash_hit_u64", "BM_map_fnv_hit_u64", "lookup hit, map hashing by FNV-1a"},
    {"BM_ov_hash_miss_u64", "BM_map_fnv_miss_u64", "lookup miss, map hashing by FNV-1a"},
};

constexpr const char *kPrimeBenchmarks[] = {
    "BM_ov_next_prime_largest", "BM_ov_next_prime_largest_gap", "BM_ov_next_prime_random"};

// The console table, then the ratios per operation: the median manual time of
// a table benchmark covers kKeys operations.
class Reporter : public benchmark::ConsoleReporter {
  public:
    Reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (!((run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") ||
                  (run.run_type != Run::RT_Aggregate && run.repetitions <= 1)))
                continue;
            const std::string name = run.run_name.function_name;
            real_ns_[name] = run.GetAdjustedRealTime() * unit_ns(run.time_unit);
            cpu_ns_[name] = run.GetAdjustedCPUTime() * unit_ns(run.time_unit);
            auto allocs = run.counters.find("allocs/op");
            if (allocs != run.counters.end()) allocs_[name] = allocs->second.value;
        }
    }

    void PrintRatios() const {
        std::printf("\n");
        for (const Pair &p : kPairs) {
            double table = 0;
            double map = 0;
            if (!times_of(p, &table, &map)) continue;
            const double ratio = table / map;
            std::printf(
                "ratio %-32s %5.2f  (%7.1f ns / %7.1f ns per op, target <= %.2f: %s; "
                "allocations per op %.2f / %.2f)\n",
                p.label, ratio, table / kKeys, map / kKeys, kTableTarget,
                ratio <= kTableTarget ? "met" : "MISSED", allocs_at(p.table), allocs_at(p.map));
        }
        for (const Pair &p : kControls) {
            double table = 0;
            double map = 0;
            if (!times_of(p, &table, &map)) continue;
            std::printf("control %-30s %5.2f  (%7.1f ns / %7.1f ns per op)\n", p.label, table / map,
                        table / kKeys, map / kKeys);
        }
        for (const char *name : kPrimeBenchmarks) {
            auto t = cpu_ns_.find(name);
            if (t == cpu_ns_.end()) continue;
            std::printf("time  %-32s %7.1f ns (cpu, target <= %.0f ns: %s)\n", name + 3, t->second,
                        kPrimeTargetNs, t->second <= kPrimeTargetNs ? "met" : "MISSED");
        }
    }

  private:
    static double unit_ns(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond:
                return 1e9;
            case benchmark::kMillisecond:
                return 1e6;
            case benchmark::kMicrosecond:
                return 1e3;
            default:
                return 1;
        }
    }
    // The median times of a pair's two sides, when both ran.
    bool times_of(const Pair &p, double *table, double *map) const {
        auto t = real_ns_.find(p.table);
        auto m = real_ns_.find(p.map);
        if (t == real_ns_.end() || m == real_ns_.end() || m->second <= 0) return false;
        *table = t->second;
        *map = m->second;
        return true;
    }
    double allocs_at(const char *name) const {
        auto a = allocs_.find(name);
        return a == allocs_.end() ? -1 : a->second;
    }

    std::map<std::string, double> real_ns_;
    std::map<std::string, double> cpu_ns_;
    std::map<std::string, double> allocs_;
};

}  // namespace

int main(int argc, char **argv) {
    register_table_benchmarks();
    if (!ovbench::initialize(argc, argv)) return 1;
    (void)keys();  // made before any timing
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
