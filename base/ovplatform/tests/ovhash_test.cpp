// Tests of the hash table (ovhash.h) and of ov_next_prime.
#include <ovplatform/ovhash.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "internal/hash_testing.h"
#include "test_util.h"

namespace {

// ---- Helpers ---------------------------------------------------------------------------------

// Counting stand-ins for the caller's functions. A copy fails when its
// countdown reaches zero (a negative countdown never fails it).
struct Calls {
    int key_copies = 0;
    int value_copies = 0;
    int key_frees = 0;
    int value_frees = 0;
    int key_copy_fails_in = -1;
    int value_copy_fails_in = -1;
    std::vector<std::string> order;  // "value", "key": the order of the frees
};
Calls g_calls;

bool countdown_hits(int *countdown) {
    if (*countdown < 0) return false;
    return (*countdown)-- == 0;
}

void *counting_key_copy(const void *key) {
    ++g_calls.key_copies;
    if (countdown_hits(&g_calls.key_copy_fails_in)) return nullptr;
    return strdup(static_cast<const char *>(key));
}
void *counting_value_copy(const void *value) {
    ++g_calls.value_copies;
    if (countdown_hits(&g_calls.value_copy_fails_in)) return nullptr;
    return strdup(static_cast<const char *>(value));
}
void counting_key_free(void *key) {
    ++g_calls.key_frees;
    g_calls.order.push_back("key");
    free(key);
}
void counting_value_free(void *value) {
    ++g_calls.value_frees;
    g_calls.order.push_back("value");
    free(value);
}

// A table of string keys and string values that both the table copies and
// frees through the counting functions.
ov_hash_t *counting_table(uint64_t size = 0) {
    return ov_hash_new(size, ov_hash_string, ov_hash_equal_string, counting_key_copy,
                       counting_value_copy, counting_key_free, counting_value_free);
}

// A table of string keys with the ready-made functions (keys kept in the
// entries) and values stored as given.
ov_hash_t *string_table(uint64_t size = 0) {
    return ov_hash_new(size, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string,
                       ov_hash_copy_identity, free, ov_free_nop);
}

// Keys whose hash is the number they spell, so that a test places them in
// buckets of its choice.
uint64_t number_hash(const void *key) {
    return std::strtoull(static_cast<const char *>(key), nullptr, 10);
}

// prefix followed by n, built by appending: GCC 12's optimiser takes a
// literal-plus-string sum for overlapping copies and warns.
std::string numbered(const char *prefix, int64_t n) {
    std::string text = prefix;
    text += std::to_string(n);
    return text;
}

void *value_of(uintptr_t n) {
    return reinterpret_cast<void *>(n);
}

// Everything a caller can see of a table: count, size, and the entries in
// walking order with the addresses of their stored keys and values.
struct Snapshot {
    uint64_t count = 0;
    uint64_t size = 0;
    std::vector<std::pair<std::string, std::string>> entries;
    std::vector<std::pair<const void *, const void *>> addresses;
    bool operator==(const Snapshot &) const = default;
};

void PrintTo(const Snapshot &s, std::ostream *out) {
    *out << "{count " << s.count << ", size " << s.size << ",";
    for (size_t i = 0; i < s.entries.size(); ++i) {
        *out << " " << s.entries[i].first << "=" << s.entries[i].second << "@"
             << s.addresses[i].first << "/" << s.addresses[i].second;
    }
    *out << "}";
}

Snapshot snapshot(ov_hash_t *table, bool string_values) {
    Snapshot s;
    s.count = ov_hash_count(table);
    s.size = ov_hash_size(table);
    ov_hash_iter_t it;
    for (ov_hash_iter_begin(&it, table); ov_hash_iter_key(&it) != nullptr; ov_hash_iter_next(&it)) {
        const char *key = static_cast<const char *>(ov_hash_iter_key(&it));
        const void *value = ov_hash_iter_value(&it);
        std::string value_text;
        if (value != nullptr) {
            value_text = string_values ? static_cast<const char *>(value)
                                       : std::to_string(reinterpret_cast<uintptr_t>(value));
        }
        s.entries.emplace_back(key, value_text);
        s.addresses.emplace_back(key, value);
    }
    return s;
}

class HashTest : public ::testing::Test {
  protected:
    void SetUp() override { g_calls = Calls{}; }
    void TearDown() override { ov_hash_test_fail_allocation(-1); }
};

// ---- Sizes and primes ------------------------------------------------------------------------

TEST_F(HashTest, NewTableSizeIsNextPrimeOfRequestMinusOne) {
    const std::pair<uint64_t, uint64_t> cases[] = {{16, 17}, {17, 17}, {2, 2},   {3, 2},
                                                   {0, 2},   {1, 2},   {18, 17}, {19, 19}};
    for (const auto &[requested, expected] : cases) {
        ov_hash_t *table = string_table(requested);
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(ov_hash_size(table), expected) << requested;
        EXPECT_EQ(ov_hash_count(table), 0u);
        EXPECT_EQ(ov_hash_is_empty(table), 1);
        ov_hash_free(table);
    }
}

// The bucket count is the next prime of the request minus one, a 32-bit
// value: a request beyond it would be truncated (2^32 + 10 would give 11 buckets) or
// give a size of 0 and a division by zero. Such requests are refused.
TEST_F(HashTest, RequestsBeyondThe32BitPrimesAreRefused) {
    ovtest::LogCapture log;
    for (uint64_t requested : {uint64_t{4294967293}, (uint64_t{1} << 32) + 10, UINT64_MAX}) {
        EXPECT_EQ(string_table(requested), nullptr) << requested;
        ov_hash_t *out = reinterpret_cast<ov_hash_t *>(&log);
        EXPECT_EQ(ov_hash_create(&out, requested, ov_hash_string, ov_hash_equal_string,
                                 ov_hash_copy_string, ov_hash_copy_identity, free, ov_free_nop),
                  ENOMEM);
        EXPECT_EQ(out, reinterpret_cast<ov_hash_t *>(&log)) << "out written on failure";
    }
    EXPECT_EQ(log.count("ov_hash_new: no prime bucket count for 4294967293 err=22"), 1u);
}

TEST_F(HashTest, NextPrimeEdges) {
    // clang-format off
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0, 0},       {1, 2},         {2, 2},         {3, 3},         {4, 5},
        {210, 211},   {211, 211},     {212, 223},     {223, 223},     {224, 227},
        {49728, 49739 /* past 223^2 = 49729 */},      {65536, 65537},
        {3842610774u, 3842611109u},   {3842610773u, 3842610773u},
        {4294967290u, 4294967291u},   {4294967291u, 4294967291u},
        {4294967292u, 0},             {UINT32_MAX, 0}};
    // clang-format on
    for (const auto &[n, expected] : cases) EXPECT_EQ(ov_next_prime(n), expected) << n;
}

bool is_prime_by_trial(uint32_t n) {
    if (n < 2) return false;
    if (n % 2 == 0) return n == 2;
    for (uint32_t d = 3; uint64_t{d} * d <= n; d += 2) {
        if (n % d == 0) return false;
    }
    return true;
}

uint32_t next_prime_by_trial(uint32_t n) {
    if (n == 0 || n > 4294967291u) return 0;
    for (uint64_t v = n;; ++v) {
        if (is_prime_by_trial(static_cast<uint32_t>(v))) return static_cast<uint32_t>(v);
    }
}

// Whether odd n above the base passes the strong probable-prime test to the
// base, in plain arithmetic.
bool strong_probable_prime(uint32_t n, uint64_t base) {
    uint32_t d = n - 1;
    int s = 0;
    while (d % 2 == 0) d /= 2, ++s;
    uint64_t x = 1;
    for (uint64_t b = base % n, e = d; e != 0; e >>= 1, b = b * b % n) {
        if (e & 1) x = x * b % n;
    }
    bool passes = x == 1 || x == n - 1;
    for (int r = 1; r < s && !passes; ++r) {
        x = x * x % n;
        passes = x == n - 1;
    }
    return passes;
}

// Composites without a factor up to 211 that pass the test to base 2, two
// of them to no other base, the others to base 7 or base 61 as well: each is
// found out only by a base it does not fool.
TEST_F(HashTest, NextPrimePassesOverCompositesThatFoolTwoOfTheBases) {
    struct Liar {
        uint32_t n;
        uint64_t also_fooled;  // a second base it passes, or 0
    };
    const Liar liars[] = {{104653, 0},       {4278305651u, 0}, {2269093, 7}, {2284453, 7},
                          {4187360341u, 7},  {4206295433u, 7}, {916327, 61}, {2205967, 61},
                          {4121286907u, 61}, {4251904273u, 61}};
    for (const Liar &liar : liars) {
        // What makes the case: composite, no small factor, the bases it passes.
        ASSERT_FALSE(is_prime_by_trial(liar.n)) << liar.n;
        for (uint32_t d = 2; d <= 211; ++d) ASSERT_NE(liar.n % d, 0u) << liar.n;
        for (uint64_t base : {2, 7, 61}) {
            ASSERT_EQ(strong_probable_prime(liar.n, base), base == 2 || base == liar.also_fooled)
                << liar.n << " base " << base;
        }

        EXPECT_EQ(ov_next_prime(liar.n), next_prime_by_trial(liar.n)) << liar.n;
        EXPECT_EQ(ov_next_prime(liar.n - 1), next_prime_by_trial(liar.n)) << liar.n;
    }
}

// Every n up to 2^17 against a sieve (the range that trial division alone
// decides and the start of the one the strong tests decide), and random n
// across the 32-bit range, the end of the range and the longest gap below
// 2^32 against trial division.
TEST_F(HashTest, NextPrimeAgreesWithTrialDivision) {
    constexpr uint32_t kSieved = 1u << 17;
    std::vector<bool> composite(kSieved + 64, false);
    for (uint32_t p = 2; p * p < composite.size(); ++p) {
        if (composite[p]) continue;
        for (uint32_t m = p * p; m < composite.size(); m += p) composite[m] = true;
    }
    uint32_t following = 0;
    for (uint32_t v = static_cast<uint32_t>(composite.size()) - 1; v >= 2; --v) {
        if (!composite[v]) following = v;
        if (v <= kSieved) {
            ASSERT_EQ(ov_next_prime(v), following) << v;
        }
    }
    EXPECT_EQ(ov_next_prime(0), 0u);
    EXPECT_EQ(ov_next_prime(1), 2u);

    std::vector<uint32_t> sample;
    std::mt19937 random(20240611);
    for (int i = 0; i < 1000; ++i) sample.push_back(static_cast<uint32_t>(random()));
    for (uint32_t n = 4294967291u - 600; n != 0; ++n) sample.push_back(n);
    for (uint32_t n = 3842610700u; n < 3842611200u; n += 3) sample.push_back(n);  // the longest gap
    for (uint32_t n : sample) ASSERT_EQ(ov_next_prime(n), next_prime_by_trial(n)) << n;
}

// Every prime below 2^32 from a segmented sieve of Eratosthenes: from each
// prime p, ov_next_prime(p + 1) must be the prime that follows, which takes
// the search over every candidate of the range. Some minutes of one core,
// so it is left out of make check: make check-long runs it.
TEST(HashLongTest, DISABLED_NextPrimeFindsEveryPrimeBelow2To32) {
    constexpr uint64_t kEnd = uint64_t{1} << 32;
    std::vector<uint32_t> base_primes;  // the odd primes below 2^16
    for (uint32_t p = 3; p < 65536; p += 2) {
        if (is_prime_by_trial(p)) base_primes.push_back(p);
    }
    // A segment holds the odd numbers low, low + 2, ... below low + 2 * kSpan.
    constexpr uint64_t kSpan = uint64_t{1} << 18;
    std::vector<unsigned char> composite(kSpan);
    uint64_t primes = 1;  // 2
    uint32_t previous = 2;
    int failures = 0;
    for (uint64_t low = 3; low < kEnd; low += 2 * kSpan) {
        std::fill(composite.begin(), composite.end(), 0);
        for (uint64_t p : base_primes) {
            uint64_t first = std::max(p * p, (low + p - 1) / p * p);
            if (first % 2 == 0) first += p;
            for (uint64_t m = first; m < low + 2 * kSpan; m += 2 * p) composite[(m - low) / 2] = 1;
        }
        for (uint64_t i = 0; i < kSpan && low + 2 * i < kEnd; ++i) {
            if (composite[i]) continue;
            const auto prime = static_cast<uint32_t>(low + 2 * i);
            ++primes;
            const uint32_t found = ov_next_prime(previous + 1);
            if (found != prime) {
                ADD_FAILURE() << "ov_next_prime(" << previous + 1 << ") gave " << found << ", want "
                              << prime;
                if (++failures == 10) return;
            }
            previous = prime;
        }
    }
    EXPECT_EQ(primes, 203280221u);  // the primes below 2^32
    EXPECT_EQ(previous, 4294967291u);
    EXPECT_EQ(ov_next_prime(previous + 1), 0u);
}

// ---- Ready-made functions --------------------------------------------------------------------

TEST_F(HashTest, FnvHashesOfStringsAndFixedWidthKeys) {
    EXPECT_EQ(ov_hash_string(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(ov_hash_string("a"), 0xaf63dc4c8601ec8cull);
    const uint8_t a = 'a';
    EXPECT_EQ(ov_hash_8(&a), 0xaf63dc4c8601ec8cull);
    // The fixed-width hashes take the bytes as they lie in memory.
    const char bytes[9] = "abcdefgh";
    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    std::memcpy(&v16, bytes, 2);
    std::memcpy(&v32, bytes, 4);
    std::memcpy(&v64, bytes, 8);
    EXPECT_EQ(ov_hash_16(&v16), ov_hash_string("ab"));
    EXPECT_EQ(ov_hash_32(&v32), ov_hash_string("abcd"));
    EXPECT_EQ(ov_hash_64(&v64), ov_hash_string("abcdefgh"));
}

// Against the definition, step by step, for every string length up to 40
// (whole groups of four bytes and every tail) and for 8-byte keys at every
// offset of a buffer, with bytes above 0x7f among them.
TEST_F(HashTest, FnvHashesFollowTheDefinitionForEveryLengthAndByte) {
    const auto reference = [](const unsigned char *bytes, size_t n) {
        uint64_t hash = 0xcbf29ce484222325ull;
        for (size_t i = 0; i < n; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
        return hash;
    };
    unsigned char text[48];
    for (size_t i = 0; i < sizeof text; ++i) text[i] = static_cast<unsigned char>(1 + i * 37 % 255);
    for (size_t n = 0; n <= 40; ++n) {
        char copy[48] = {};
        std::memcpy(copy, text, n);
        EXPECT_EQ(ov_hash_string(copy), reference(text, n)) << n;
    }
    for (size_t at = 0; at + 8 <= sizeof text; ++at) {
        EXPECT_EQ(ov_hash_64(text + at), reference(text + at, 8)) << at;
    }
    const uint64_t ones = ~0ull;
    EXPECT_EQ(ov_hash_64(&ones), reference(reinterpret_cast<const unsigned char *>(&ones), 8));
}

TEST_F(HashTest, EqualitiesAreZeroExactlyForEqualKeys) {
    const int8_t i8[] = {-128, 127, -128};
    EXPECT_EQ(ov_hash_equal_i8(&i8[0], &i8[2]), 0);
    EXPECT_EQ(ov_hash_equal_i8(&i8[0], &i8[1]), -255);
    const uint8_t u8[] = {0, 255};
    EXPECT_EQ(ov_hash_equal_u8(&u8[1], &u8[0]), 255);
    const int16_t i16[] = {-32768, 32767};
    EXPECT_EQ(ov_hash_equal_i16(&i16[0], &i16[1]), -65535);
    const uint16_t u16[] = {65535, 65535};
    EXPECT_EQ(ov_hash_equal_u16(&u16[0], &u16[1]), 0);
    // A signed difference of these would overflow; the result is still
    // non-zero.
    const int32_t i32[] = {INT32_MIN, 1, INT32_MIN};
    EXPECT_NE(ov_hash_equal_32(&i32[0], &i32[1]), 0);
    EXPECT_EQ(ov_hash_equal_32(&i32[0], &i32[2]), 0);
    // 8-byte keys that differ only in the upper four bytes.
    const uint64_t u64[] = {0x0000000100000005ull, 0x0000000200000005ull};
    EXPECT_NE(ov_hash_equal_64(&u64[0], &u64[1]), 0);
    EXPECT_EQ(ov_hash_equal_64(&u64[0], &u64[0]), 0);
    EXPECT_LT(ov_hash_equal_string("a", "b"), 0);
    EXPECT_EQ(ov_hash_equal_string("ab", "ab"), 0);
}

TEST_F(HashTest, CopiesAreHeapCopies) {
    const char *text = "text";
    auto *copy = static_cast<char *>(ov_hash_copy_string(text));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, "text");
    free(copy);
    const uint64_t value = 0x1122334455667788ull;
    void *copies[] = {ov_hash_copy_8(&value), ov_hash_copy_16(&value), ov_hash_copy_32(&value),
                      ov_hash_copy_64(&value)};
    const size_t widths[] = {1, 2, 4, 8};
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_NE(copies[i], nullptr);
        EXPECT_EQ(std::memcmp(copies[i], &value, widths[i]), 0);
        free(copies[i]);
    }
    int dummy = 0;
    EXPECT_EQ(ov_hash_copy_identity(&dummy), &dummy);
    ov_free_nop(&dummy);
}

// ---- Put, insert, get and remove -------------------------------------------------------------

TEST_F(HashTest, PutInsertsThenReplacesAndFreesTheOldValue) {
    ov_hash_t *table = counting_table(16);
    int32_t flag = -1;
    auto *stored = static_cast<char *>(ov_hash_put(table, "k", "one", &flag));
    ASSERT_NE(stored, nullptr);
    EXPECT_STREQ(stored, "one");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(g_calls.key_copies, 1);
    EXPECT_EQ(g_calls.value_copies, 1);

    stored = static_cast<char *>(ov_hash_put(table, "k", "two", &flag));
    EXPECT_STREQ(stored, "two");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(g_calls.value_frees, 1);  // "one"
    EXPECT_EQ(g_calls.key_copies, 1);   // the key stays
    EXPECT_EQ(ov_hash_count(table), 1u);
    EXPECT_EQ(ov_hash_get(table, "k"), stored);

    // A null value replaces the old one; the key stays present.
    EXPECT_EQ(ov_hash_put(table, "k", nullptr, &flag), nullptr);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(g_calls.value_frees, 2);
    EXPECT_EQ(ov_hash_get(table, "k"), nullptr);
    EXPECT_STREQ(static_cast<char *>(ov_hash_get_key(table, "k")), "k");
    ov_hash_free(table);
    EXPECT_EQ(g_calls.key_frees, 1);
    EXPECT_EQ(g_calls.value_frees, 2) << "a null value is not given to value free";
}

// With the identity copy, putting the value an entry already holds must not
// free it (freeing it would leave the entry holding a freed pointer).
TEST_F(HashTest, PutOfTheHeldValueWithIdentityCopyKeepsIt) {
    ov_hash_t *table = ov_hash_new(0, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string,
                                   ov_hash_copy_identity, free, free);
    char *value = strdup("v");
    int32_t flag = 0;
    EXPECT_EQ(ov_hash_put(table, "k", value, &flag), value);
    EXPECT_EQ(ov_hash_put(table, "k", value, &flag), value);
    EXPECT_EQ(flag, 1);
    EXPECT_STREQ(static_cast<char *>(ov_hash_get(table, "k")), "v");
    ov_hash_free(table);  // frees value once (ASan would report a second free)
}

TEST_F(HashTest, InsertKeepsAPresentValue) {
    ov_hash_t *table = counting_table();
    int32_t inserted = -1;
    auto *first = ov_hash_insert(table, "k", "one", &inserted);
    EXPECT_EQ(inserted, 1);
    EXPECT_EQ(ov_hash_insert(table, "k", "two", &inserted), first);
    EXPECT_EQ(inserted, 0);
    EXPECT_STREQ(static_cast<char *>(ov_hash_get(table, "k")), "one");
    EXPECT_EQ(g_calls.value_copies, 1);
    EXPECT_EQ(g_calls.value_frees, 0);
    ov_hash_free(table);
}

// An insert that looked a key up by its value would not find a key whose
// value is null and would add a second entry for it, which hides the first
// and outlives a removal of the key. The present entry takes the value.
TEST_F(HashTest, InsertFillsAPresentKeysNullValueWithoutASecondEntry) {
    ov_hash_t *table = counting_table();
    ov_hash_put(table, "k", nullptr, nullptr);
    int32_t inserted = 0;
    auto *stored = static_cast<char *>(ov_hash_insert(table, "k", "v", &inserted));
    ASSERT_NE(stored, nullptr);
    EXPECT_STREQ(stored, "v");
    EXPECT_EQ(inserted, 1);
    EXPECT_EQ(ov_hash_count(table), 1u);
    EXPECT_EQ(ov_hash_remove(table, "k"), 1);
    EXPECT_EQ(ov_hash_get_key(table, "k"), nullptr);
    EXPECT_EQ(ov_hash_count(table), 0u);
    ov_hash_free(table);
}

TEST_F(HashTest, InsertKeyIsAMembershipSet) {
    ov_hash_t *set = ov_hash_new_keys(0, ov_hash_string, ov_hash_equal_string, counting_key_copy,
                                      counting_key_free);
    int32_t inserted = -1;
    void *stored = ov_hash_insert_key(set, "member", &inserted);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(inserted, 1);
    EXPECT_EQ(ov_hash_insert_key(set, "member", &inserted), stored);
    EXPECT_EQ(inserted, 0);
    EXPECT_EQ(ov_hash_get_key(set, "member"), stored);
    EXPECT_EQ(ov_hash_get_key(set, "stranger"), nullptr);
    EXPECT_EQ(ov_hash_get(set, "member"), nullptr);
    EXPECT_EQ(g_calls.key_copies, 1);
    ov_hash_free(set);
    EXPECT_EQ(g_calls.key_frees, 1);
}

TEST_F(HashTest, EightByteKeysDifferingInTheUpperHalfAreTwoEntries) {
    ov_hash_t *table = ov_hash_new(0, ov_hash_64, ov_hash_equal_64, ov_hash_copy_64,
                                   ov_hash_copy_identity, free, ov_free_nop);
    const uint64_t a = 0x0000000100000005ull, b = 0x0000000200000005ull;
    ov_hash_put(table, &a, value_of(1), nullptr);
    ov_hash_put(table, &b, value_of(2), nullptr);
    EXPECT_EQ(ov_hash_count(table), 2u);
    EXPECT_EQ(ov_hash_get(table, &a), value_of(1));
    EXPECT_EQ(ov_hash_get(table, &b), value_of(2));
    ov_hash_free(table);
}

// Every key width with its ready-made functions, and a key copy that is not
// free()'s: the same behaviour, whether the table keeps its keys inside its
// entries or not.
TEST_F(HashTest, FixedWidthKeysWithTheirFunctions) {
    struct Kind {
        ov_hash_fn_t hash;
        ov_hash_equal_fn_t equal;
        ov_hash_copy_fn_t copy;
        size_t width;
    };
    const Kind kinds[] = {{ov_hash_8, ov_hash_equal_u8, ov_hash_copy_8, 1},
                          {ov_hash_8, ov_hash_equal_i8, ov_hash_copy_8, 1},
                          {ov_hash_16, ov_hash_equal_u16, ov_hash_copy_16, 2},
                          {ov_hash_16, ov_hash_equal_i16, ov_hash_copy_16, 2},
                          {ov_hash_32, ov_hash_equal_32, ov_hash_copy_32, 4},
                          {ov_hash_64, ov_hash_equal_64, ov_hash_copy_64, 8}};
    for (const Kind &kind : kinds) {
        for (ov_hash_free_fn_t key_free :
             {static_cast<ov_hash_free_fn_t>(free), counting_key_free}) {
            g_calls = Calls{};
            ov_hash_t *table = ov_hash_new(0, kind.hash, kind.equal, kind.copy,
                                           ov_hash_copy_identity, key_free, ov_free_nop);
            ASSERT_NE(table, nullptr);
            const int n = kind.width == 1 ? 256 : 1000;
            for (int i = 0; i < n; ++i) {
                uint64_t key = static_cast<uint64_t>(i) * 0x0101010101010101ull;
                if (kind.width == 1) key = static_cast<uint64_t>(i);
                ASSERT_NE(
                    ov_hash_put(table, &key, value_of(static_cast<uintptr_t>(i) + 1), nullptr),
                    nullptr);
            }
            EXPECT_EQ(ov_hash_count(table), static_cast<uint64_t>(n));
            for (int i = 0; i < n; i += 7) {
                uint64_t key = kind.width == 1 ? static_cast<uint64_t>(i)
                                               : static_cast<uint64_t>(i) * 0x0101010101010101ull;
                void *stored = ov_hash_get_key(table, &key);
                ASSERT_NE(stored, nullptr);
                EXPECT_NE(stored, &key);
                EXPECT_EQ(std::memcmp(stored, &key, kind.width), 0);
                EXPECT_EQ(ov_hash_get(table, &key), value_of(static_cast<uintptr_t>(i) + 1));
                EXPECT_EQ(ov_hash_remove(table, &key), 1);
                EXPECT_EQ(ov_hash_get(table, &key), nullptr);
            }
            ov_hash_free(table);
            if (key_free == counting_key_free) {
                EXPECT_EQ(g_calls.key_frees, n);
            }
        }
    }
}

TEST_F(HashTest, RemoveFreesValueThenKeyAndAnEmptiedBucket) {
    // Keys "0", "17" and "1" with the number as hash: two share bucket 0 of 17.
    ov_hash_t *table = ov_hash_new(17, number_hash, ov_hash_equal_string, counting_key_copy,
                                   counting_value_copy, counting_key_free, counting_value_free);
    for (const char *key : {"0", "17", "1"}) ov_hash_put(table, key, "v", nullptr);
    ov_hash_stats_t *stats = ov_hash_stats(table);
    ASSERT_NE(stats, nullptr);
    EXPECT_DOUBLE_EQ(stats->used_fraction, 2.0 / 17);
    free(stats);

    EXPECT_EQ(ov_hash_remove(table, "absent"), 0);
    EXPECT_EQ(ov_hash_remove(table, "1"), 1);
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"value", "key"}));
    stats = ov_hash_stats(table);
    EXPECT_DOUBLE_EQ(stats->used_fraction, 1.0 / 17) << "the emptied bucket went";
    free(stats);
    EXPECT_EQ(ov_hash_remove(table, "0"), 1);
    EXPECT_EQ(ov_hash_remove(table, "0"), 0);
    EXPECT_STREQ(static_cast<char *>(ov_hash_get_key(table, "17")), "17");
    EXPECT_EQ(ov_hash_remove(table, "17"), 1);
    EXPECT_EQ(ov_hash_stats(table), nullptr) << "empty table";
    EXPECT_EQ(g_calls.key_frees, 3);
    EXPECT_EQ(g_calls.value_frees, 3);
    ov_hash_free(table);
}

TEST_F(HashTest, ClearFreesEveryEntryAndKeepsTheSize) {
    ov_hash_t *table = counting_table(16);
    ov_hash_put(table, "a", "1", nullptr);
    ov_hash_put(table, "b", nullptr, nullptr);
    ov_hash_first(table);
    ov_hash_clear(table);
    EXPECT_EQ(ov_hash_count(table), 0u);
    EXPECT_EQ(ov_hash_size(table), 17u);
    EXPECT_EQ(ov_hash_cursor_key(table), nullptr);
    EXPECT_EQ(g_calls.key_frees, 2);
    EXPECT_EQ(g_calls.value_frees, 1);
    EXPECT_EQ(ov_hash_get(table, "a"), nullptr);
    ov_hash_put(table, "a", "2", nullptr);
    EXPECT_STREQ(static_cast<char *>(ov_hash_get(table, "a")), "2");
    ov_hash_free(table);
}

// ---- Growth ----------------------------------------------------------------------------------

TEST_F(HashTest, SeventeenBucketsGrowAtTheTwelfthEntryTo37) {
    ov_hash_t *table = string_table(16);
    for (int i = 0; i < 11; ++i)
        ov_hash_put(table, std::to_string(i).c_str(), value_of(1), nullptr);
    EXPECT_EQ(ov_hash_size(table), 17u);
    ov_hash_put(table, "11", value_of(1), nullptr);
    EXPECT_EQ(ov_hash_size(table), 37u);
    ov_hash_free(table);

    // The same for the two inserts.
    table = string_table(16);
    for (int i = 0; i < 12; ++i)
        ov_hash_insert(table, std::to_string(i).c_str(), value_of(1), nullptr);
    EXPECT_EQ(ov_hash_size(table), 37u);
    ov_hash_free(table);
    table = string_table(16);
    for (int i = 0; i < 11; ++i) ov_hash_insert_key(table, std::to_string(i).c_str(), nullptr);
    EXPECT_EQ(ov_hash_size(table), 17u);
    ov_hash_insert_key(table, "11", nullptr);
    EXPECT_EQ(ov_hash_size(table), 37u);
    ov_hash_free(table);
}

// Growth moves the entries: every key and value stays, at its address, and
// the walk keeps visiting each entry once. It also works for a table with a
// null value, which a rebuild by re-inserting every value could never grow.
TEST_F(HashTest, GrowthKeepsEveryEntryAtItsAddress) {
    ov_hash_t *table = counting_table();
    ov_hash_put(table, "null", nullptr, nullptr);
    std::map<std::string, void *> stored;
    for (int i = 0; i < 5000; ++i) {
        const std::string key = numbered("key", i);
        stored[key] = ov_hash_put(table, key.c_str(), key.c_str(), nullptr);
    }
    EXPECT_EQ(ov_hash_count(table), 5001u);
    EXPECT_GT(ov_hash_size(table), 5001u / 0.7);
    EXPECT_EQ(g_calls.key_copies, 5001) << "growth copies nothing";
    for (const auto &[key, value] : stored) ASSERT_EQ(ov_hash_get(table, key.c_str()), value);
    EXPECT_NE(ov_hash_get_key(table, "null"), nullptr);

    // Shrinking is a growth to a smaller size.
    const Snapshot before = snapshot(table, true);
    ASSERT_EQ(ov_hash_grow(table, 100), 1);
    EXPECT_EQ(ov_hash_size(table), 101u);
    Snapshot after = snapshot(table, true);
    EXPECT_EQ(after.count, before.count);
    std::vector<std::pair<std::string, std::string>> a = before.entries, b = after.entries;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
    ov_hash_free(table);
}

TEST_F(HashTest, GrowBeyondThe32BitPrimesFailsAndKeepsTheTable) {
    ovtest::LogCapture log;
    ov_hash_t *table = string_table();
    ov_hash_put(table, "k", value_of(1), nullptr);
    const Snapshot before = snapshot(table, false);
    EXPECT_EQ(ov_hash_grow(table, 4294967293u), 0);
    EXPECT_EQ(ov_hash_grow(table, UINT64_MAX), 0);
    EXPECT_EQ(snapshot(table, false), before);
    EXPECT_EQ(log.count("ov_hash_grow: cannot grow to 4294967293 buckets err=12"), 1u);
    ov_hash_free(table);
}

// ---- Walking ---------------------------------------------------------------------------------

TEST_F(HashTest, CursorAndIteratorVisitEachEntryOnceInTheSameOrder) {
    ov_hash_t *table = string_table();
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) keys.push_back(numbered("k", i));
    for (const std::string &key : keys) ov_hash_put(table, key.c_str(), value_of(1), nullptr);

    std::vector<std::string> by_cursor;
    ov_hash_first(table);
    if (ov_hash_cursor_key(table) != nullptr) {
        do {
            by_cursor.push_back(static_cast<char *>(ov_hash_cursor_key(table)));
            EXPECT_EQ(ov_hash_cursor_value(table), value_of(1));
        } while (ov_hash_next(table) == 1);
    }
    EXPECT_EQ(ov_hash_cursor_key(table), nullptr);
    EXPECT_EQ(ov_hash_next(table), 0) << "stays at the end";

    std::vector<std::string> by_iterator;
    ov_hash_iter_t it;
    for (ov_hash_iter_begin(&it, table); it.entry != nullptr; ov_hash_iter_next(&it)) {
        by_iterator.push_back(static_cast<char *>(ov_hash_iter_key(&it)));
    }
    EXPECT_EQ(by_iterator, by_cursor);
    std::vector<std::string> sorted = by_cursor;
    std::sort(sorted.begin(), sorted.end());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(sorted, keys);
    ov_hash_free(table);
}

TEST_F(HashTest, IteratorsOfEmptyTablesAndFind) {
    ov_hash_t *table = ov_hash_new(17, number_hash, ov_hash_equal_string, ov_hash_copy_string,
                                   ov_hash_copy_identity, free, ov_free_nop);
    ov_hash_iter_t it;
    ov_hash_iter_begin(&it, table);
    EXPECT_EQ(it.table, table);
    EXPECT_EQ(it.bucket, 0u);
    EXPECT_EQ(it.entry, nullptr);
    ov_hash_first(table);
    EXPECT_EQ(ov_hash_cursor_key(table), nullptr);
    EXPECT_EQ(ov_hash_next(table), 0);

    // Bucket 3 holds "20" then "3" (pushed at the head); bucket 5 holds "5".
    for (const char *key : {"3", "20", "5"}) ov_hash_put(table, key, value_of(1), nullptr);
    it = ov_hash_find(table, "20");
    EXPECT_EQ(it.bucket, 3u);
    ASSERT_NE(it.entry, nullptr);
    EXPECT_STREQ(static_cast<char *>(ov_hash_iter_key(&it)), "20");
    ov_hash_iter_next(&it);
    EXPECT_STREQ(static_cast<char *>(ov_hash_iter_key(&it)), "3");
    ov_hash_iter_next(&it);
    EXPECT_EQ(it.bucket, 5u);
    EXPECT_STREQ(static_cast<char *>(ov_hash_iter_key(&it)), "5");
    ov_hash_iter_next(&it);
    EXPECT_EQ(it.entry, nullptr);
    EXPECT_EQ(ov_hash_iter_key(&it), nullptr);
    EXPECT_EQ(ov_hash_iter_value(&it), nullptr);

    it = ov_hash_find(table, "4");
    EXPECT_EQ(it.table, table);
    EXPECT_EQ(it.bucket, 0u);
    EXPECT_EQ(it.entry, nullptr);
    ov_hash_iter_end(&it, table);
    EXPECT_EQ(it.table, table);
    EXPECT_EQ(it.entry, nullptr);
    ov_hash_free(table);
}

// A cursor on the entry that a removal frees would hand out freed memory;
// the cursor is stopped instead.
TEST_F(HashTest, RemovingTheCursorsEntryStopsTheCursor) {
    ov_hash_t *table = counting_table();
    ov_hash_put(table, "a", "1", nullptr);
    ov_hash_put(table, "b", "2", nullptr);
    ov_hash_first(table);
    const std::string key = static_cast<char *>(ov_hash_cursor_key(table));
    EXPECT_EQ(ov_hash_remove(table, key.c_str()), 1);
    EXPECT_EQ(ov_hash_cursor_key(table), nullptr);
    EXPECT_EQ(ov_hash_cursor_value(table), nullptr);
    EXPECT_EQ(ov_hash_next(table), 0);
    ov_hash_free(table);
}

// ---- Statistics and swap ---------------------------------------------------------------------

TEST_F(HashTest, StatsDescribeTheChains) {
    ov_hash_t *table = ov_hash_new(17, number_hash, ov_hash_equal_string, ov_hash_copy_string,
                                   ov_hash_copy_identity, free, ov_free_nop);
    for (const char *key : {"0", "17", "34", "1"}) ov_hash_put(table, key, value_of(1), nullptr);
    ov_hash_stats_t *stats = ov_hash_stats(table);
    ASSERT_NE(stats, nullptr);
    EXPECT_DOUBLE_EQ(stats->load_factor, 4.0 / 17);
    EXPECT_DOUBLE_EQ(stats->used_fraction, 2.0 / 17);
    EXPECT_DOUBLE_EQ(stats->mean_chain, 2.0);
    EXPECT_EQ(stats->longest_chain, 3u);
    EXPECT_EQ(stats->shortest_chain, 1u);
    free(stats);
    ov_hash_free(table);
}

TEST_F(HashTest, SwapExchangesEverything) {
    ov_hash_t *strings = string_table(16);
    ov_hash_t *numbers = ov_hash_new(40, ov_hash_64, ov_hash_equal_64, ov_hash_copy_64,
                                     ov_hash_copy_identity, free, ov_free_nop);
    ov_hash_put(strings, "s", value_of(1), nullptr);
    const uint64_t n = 7;
    ov_hash_put(numbers, &n, value_of(2), nullptr);
    ov_hash_put(numbers, &n + 0, value_of(3), nullptr);
    ov_hash_first(strings);
    ov_hash_swap(strings, numbers);
    EXPECT_EQ(ov_hash_size(strings), 41u);
    EXPECT_EQ(ov_hash_size(numbers), 17u);
    EXPECT_EQ(ov_hash_get(strings, &n), value_of(3)) << "the functions moved too";
    EXPECT_EQ(ov_hash_get(numbers, "s"), value_of(1));
    EXPECT_STREQ(static_cast<char *>(ov_hash_cursor_key(numbers)), "s") << "and the cursor";
    ov_hash_free(strings);
    ov_hash_free(numbers);
}

// ---- Failures --------------------------------------------------------------------------------

TEST_F(HashTest, NullArgumentsAreRefusedAndLogged) {
    ovtest::LogCapture log;
    ov_hash_t *table = string_table();
    int32_t flag = 7;
    EXPECT_EQ(ov_hash_put(nullptr, "k", nullptr, &flag), nullptr);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(ov_hash_put(table, nullptr, nullptr, &flag), nullptr);
    EXPECT_EQ(ov_hash_insert(table, nullptr, nullptr, &flag), nullptr);
    EXPECT_EQ(ov_hash_insert_key(nullptr, "k", &flag), nullptr);
    EXPECT_EQ(ov_hash_get(table, nullptr), nullptr);
    EXPECT_EQ(ov_hash_remove(nullptr, "k"), 0);
    EXPECT_EQ(ov_hash_grow(nullptr, 10), 0);
    EXPECT_EQ(ov_hash_count(nullptr), 0u);
    EXPECT_EQ(ov_hash_is_empty(nullptr), 1);
    EXPECT_EQ(ov_hash_stats(nullptr), nullptr);
    EXPECT_EQ(ov_hash_new(0, nullptr, ov_hash_equal_string, ov_hash_copy_string,
                          ov_hash_copy_identity, free, ov_free_nop),
              nullptr);
    EXPECT_EQ(ov_hash_create(nullptr, 0, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string,
                             ov_hash_copy_identity, free, ov_free_nop),
              EINVAL);
    ov_hash_free(nullptr);
    EXPECT_EQ(ov_hash_count(table), 0u);
    EXPECT_EQ(log.count("ov_hash_put: null argument err=22"), 2u);
    EXPECT_EQ(log.count("ov_hash_new: null function err=22"), 1u);
    ov_hash_free(table);
}

TEST_F(HashTest, FailingCopiesLeaveTheTableAsItWas) {
    ovtest::LogCapture log;
    ov_hash_t *table = counting_table();
    ov_hash_put(table, "present", "old", nullptr);
    const Snapshot before = snapshot(table, true);
    int32_t flag = -1;

    g_calls.key_copy_fails_in = 0;
    EXPECT_EQ(ov_hash_put(table, "new", "v", &flag), nullptr);
    EXPECT_EQ(flag, 0);
    g_calls.value_copy_fails_in = 0;
    EXPECT_EQ(ov_hash_insert(table, "new", "v", &flag), nullptr);
    EXPECT_EQ(flag, 0) << "(null, 1) would report the failure as an insertion";
    g_calls.key_copy_fails_in = 0;
    EXPECT_EQ(ov_hash_insert_key(table, "new", &flag), nullptr);
    EXPECT_EQ(flag, 0);
    // A present key whose new value cannot be copied keeps its old value.
    g_calls.value_copy_fails_in = 0;
    auto *kept = static_cast<char *>(ov_hash_put(table, "present", "newer", &flag));
    EXPECT_STREQ(kept, "old");
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(snapshot(table, true), before);
    // The key copied before the value copy failed was freed again.
    EXPECT_EQ(g_calls.key_frees, 1);
    EXPECT_EQ(log.count("ov_hash_put: key copy failed err=12"), 1u);
    EXPECT_EQ(log.count("ov_hash_insert: value copy failed err=12"), 1u);
    ov_hash_free(table);
}

// The operation runs once to count its allocations, then again on fresh
// tables with each allocation failing in turn; check gets the table, its
// snapshot from just before the operation, and the operation's result.
template <class Make, class Operation, class Check>
void fail_each_allocation(bool string_values, Make make, Operation operation, Check check) {
    ov_hash_t *table = make();
    ov_hash_test_fail_allocation(-1);
    operation(table);
    const int64_t allocations = ov_hash_test_fail_allocation(-1);
    ov_hash_free(table);
    ASSERT_GT(allocations, 0);
    for (int64_t i = 0; i < allocations; ++i) {
        std::string trace = numbered("allocation ", i);
        trace += numbered(" of ", allocations);
        SCOPED_TRACE(trace);
        table = make();
        const Snapshot before = snapshot(table, string_values);
        ov_hash_test_fail_allocation(i);
        const auto result = operation(table);
        ov_hash_test_fail_allocation(-1);
        check(table, before, result);
        ov_hash_free(table);
    }
}

// A table one entry short of its growth: 11 entries in 17 buckets.
template <class Table>
ov_hash_t *eleven_of_seventeen(Table new_table) {
    ov_hash_t *table = new_table();
    for (int i = 0; i < 11; ++i) {
        const std::string key = numbered("key", i);
        ov_hash_put(table, key.c_str(), "v", nullptr);
    }
    return table;
}

TEST_F(HashTest, EachFailedAllocationOfAPutLeavesTheTableAsItWas) {
    ovtest::LogCapture log;
    const auto tables = {+[] { return counting_table(16); },
                         +[] {
                             return ov_hash_new(16, ov_hash_string, ov_hash_equal_string,
                                                ov_hash_copy_string, ov_hash_copy_string, free,
                                                free);
                         }};
    for (auto new_table : tables) {
        const auto make = [&] { return eleven_of_seventeen(new_table); };
        int failures_in_growth = 0;
        fail_each_allocation(
            true, make,
            [](ov_hash_t *table) {
                int32_t flag = -1;
                void *stored = ov_hash_put(table, "twelfth", "v", &flag);
                return std::make_pair(stored, flag);
            },
            [&](ov_hash_t *table, const Snapshot &before, std::pair<void *, int32_t> result) {
                Snapshot now = snapshot(table, true);
                if (result.first == nullptr) {
                    // The entry could not be made: nothing changed.
                    EXPECT_EQ(result.second, 0);
                    EXPECT_EQ(now, before);
                    return;
                }
                // The entry was made and the growth failed: the table keeps
                // the entry at the old size, the others as they were.
                ++failures_in_growth;
                EXPECT_EQ(result.second, 1);
                EXPECT_EQ(now.size, 17u);
                EXPECT_EQ(now.count, 12u);
                EXPECT_STREQ(static_cast<char *>(ov_hash_get(table, "twelfth")), "v");
                now.entries.erase(
                    std::find(now.entries.begin(), now.entries.end(),
                              std::make_pair(std::string("twelfth"), std::string("v"))));
                EXPECT_EQ(now.entries, before.entries);
            });
        EXPECT_EQ(failures_in_growth, 1) << "the growth's one allocation: its array";
    }
}

TEST_F(HashTest, EachFailedAllocationOfAnInsertLeavesTheTableAsItWas) {
    ovtest::LogCapture log;
    const auto make = [] { return eleven_of_seventeen([] { return counting_table(16); }); };
    fail_each_allocation(
        true, make,
        [](ov_hash_t *table) {
            int32_t inserted = -1;
            void *stored = ov_hash_insert(table, "twelfth", "v", &inserted);
            return std::make_pair(stored, inserted);
        },
        [&](ov_hash_t *table, const Snapshot &before, std::pair<void *, int32_t> result) {
            if (result.first == nullptr) {
                EXPECT_EQ(result.second, 0);
                EXPECT_EQ(snapshot(table, true), before);
            } else {
                EXPECT_EQ(ov_hash_size(table), 17u);
                EXPECT_EQ(ov_hash_count(table), 12u);
            }
        });
    // The same for a key-only insert into a table that keeps its keys in
    // its entries.
    const auto make_set = [] {
        ov_hash_t *set =
            ov_hash_new_keys(16, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string, free);
        for (int i = 0; i < 11; ++i) ov_hash_insert_key(set, std::to_string(i).c_str(), nullptr);
        return set;
    };
    fail_each_allocation(
        false, make_set,
        [](ov_hash_t *table) {
            int32_t inserted = -1;
            void *stored = ov_hash_insert_key(table, "11", &inserted);
            return std::make_pair(stored, inserted);
        },
        [&](ov_hash_t *table, const Snapshot &before, std::pair<void *, int32_t> result) {
            if (result.first == nullptr) {
                EXPECT_EQ(result.second, 0);
                EXPECT_EQ(snapshot(table, false), before);
            } else {
                EXPECT_EQ(result.second, 1);
                EXPECT_EQ(ov_hash_size(table), 17u);
            }
        });
}

TEST_F(HashTest, EachFailedAllocationOfAGrowthLeavesTheTableAsItWas) {
    ovtest::LogCapture log;
    const auto make = [] {
        ov_hash_t *table = counting_table(1000);
        for (int i = 0; i < 700; ++i) {
            const std::string key = numbered("key", i);
            ov_hash_put(table, key.c_str(), "v", nullptr);
        }
        return table;
    };
    for (uint64_t size : {uint64_t{4000}, uint64_t{300}}) {
        fail_each_allocation(
            true, make, [size](ov_hash_t *table) { return ov_hash_grow(table, size); },
            [&](ov_hash_t *table, const Snapshot &before, int32_t grown) {
                EXPECT_EQ(grown, 0);
                // Order of the walk and addresses of keys and values included.
                EXPECT_EQ(snapshot(table, true), before);
            });
    }
}

TEST_F(HashTest, FailedAllocationsOfCreateAndStats) {
    ovtest::LogCapture log;
    for (int64_t i = 0; i < 2; ++i) {
        ov_hash_test_fail_allocation(i);
        ov_hash_t *out = nullptr;
        EXPECT_EQ(ov_hash_create(&out, 10, ov_hash_string, ov_hash_equal_string,
                                 ov_hash_copy_string, ov_hash_copy_identity, free, ov_free_nop),
                  ENOMEM);
        EXPECT_EQ(out, nullptr);
    }
    ov_hash_test_fail_allocation(-1);
    ov_hash_t *table = nullptr;
    ASSERT_EQ(ov_hash_create(&table, 10, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string,
                             ov_hash_copy_identity, free, ov_free_nop),
              0);
    ov_hash_put(table, "k", value_of(1), nullptr);
    ov_hash_test_fail_allocation(0);
    EXPECT_EQ(ov_hash_stats(table), nullptr);
    ov_hash_test_fail_allocation(-1);
    ov_hash_free(table);
    EXPECT_EQ(log.count("ov_hash_stats: cannot allocate the record err=12"), 1u);
}

}  // namespace
