// ovhash.cpp - the generic chained hash table.
//
// A table is an array of chains, a prime number of them (ov_next_prime, in
// ovhash_prime.cpp). Keys and values are opaque to the table: the creator's
// functions hash, compare, copy and free them. The module also carries
// ready-made functions for string keys and fixed-width keys of 1, 2, 4 and
// 8 bytes.
//
// A bucket is the head of its chain, kept in the array itself rather than in
// a record of its own: it exists while the head is not null, and a chain's
// length is counted where it is needed (the statistics). A look-up so saves
// a dependent memory access, an insertion into an empty chain an
// allocation, and the bucket array is the table's only large allocation.
//
// Further, without changing what a caller sees:
//   - with a ready-made key copy and free() as key free, the key's copy lives
//     inside its entry: one allocation instead of two, and the key beside the
//     entry's other fields. Fixed-width keys are then compared in place when
//     the equality is the ready-made one of their width;
//   - entries of string and copied keys keep their key's hash, so that a
//     look-up compares keys only where the hashes agree and a growth does
//     not hash them again;
//   - the ready-made hash functions are computed in place, a string's hash
//     together with its length;
//   - ov_hash_get of 8-byte keys kept in their entries, hashed and compared
//     by the ready-made functions (tables of integers), takes a path of its
//     own that decides nothing on the way and needs no stack frame;
//   - a growth moves the entries into the new array instead of copying
//     them: its one allocation is the array.
//
// Map of this file:
//   - allocation (one function, which tests can make fail)
//   - entries: their layouts, hashing, look-up, making, linking
//   - growth
//   - the C API: tables, look-ups, changes, size and load, walking
//   - ready-made hash, equality and copy functions
//
// A table is never shared between threads by the module itself; callers
// serialise their use of one table.
#define OV_LOG_SOURCE "base/ovplatform/src/ovhash"

#include <ovplatform/overror.h>
#include <ovplatform/ovhash.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "internal/hash_testing.h"
#include "internal/log.h"

// ---- Records ---------------------------------------------------------------------------------

// An entry: the next entry of its chain and the stored value (may be null),
// followed by the key part, whose layout depends on the table's KeyStorage:
//   kCopied: the key's hash, then the stored key (a pointer);
//   kString: the key's hash, then the key's bytes with the terminator;
//   kFixedN: the key's N bytes (the hash is computed again when needed).
struct ov_hash_entry {
    ov_hash_entry *next;
    void *value;
};

namespace {

// Where a table keeps its stored keys: made by the key copy function, or,
// when the key copy is a ready-made one and the key free is free(), inside
// the entry (a string with its terminator, or 1, 2, 4 or 8 bytes). The
// stored key is then not a heap block of its own, and key free is not
// called for it; nothing else differs.
enum class KeyStorage : uint32_t { kCopied, kString, kFixed1, kFixed2, kFixed4, kFixed8 };

// How a table hashes: through its function, or the ready-made FNV-1a of a
// string or of 8 bytes computed in place (the same values).
enum class HashKind : uint32_t { kFunction, kString, kFixed8 };

// How a table compares a key with an entry's: through its function; bytes
// in place (fixed-width inline keys with the ready-made equality of their
// width, which is 0 exactly for equal bytes); or strcmp called directly (the
// ready-made string equality).
enum class EqualKind : uint32_t { kFunction, kBytes, kString };

// Which look-up a table takes: the general one, or the one for 8-byte keys
// kept in the entries, hashed and compared by the ready-made functions (the
// usual table of integer keys), which has a path of its own in ov_hash_get.
enum class LookupKind : uint32_t { kGeneral, kFixed8 };

}  // namespace

// The table: its eleven public fields in their documented order
// (buckets being the chain heads), then what the module derives from the
// functions. ov_hash_swap exchanges all of it.
struct ov_hash {
    ov_hash_entry **buckets;
    uint64_t count;
    uint64_t size;
    uint64_t cursor_index;
    ov_hash_entry *cursor_node;
    ov_hash_fn_t hash;
    ov_hash_equal_fn_t equal;
    ov_hash_copy_fn_t key_copy;
    ov_hash_copy_fn_t value_copy;
    ov_hash_free_fn_t key_free;
    ov_hash_free_fn_t value_free;
    KeyStorage key_storage;
    HashKind hash_kind;
    EqualKind equal_kind;
    LookupKind lookup_kind;
};

namespace {

// ---- Allocation ------------------------------------------------------------------------------

// The test hook's state (internal/hash_testing.h). The shipped library only
// ever reads the flag, which stays false, so the common path costs one
// well-predicted branch.
std::atomic<bool> g_test_counting{false};
std::atomic<int64_t> g_test_allocations{0};
std::atomic<int64_t> g_test_fail_index{-1};

// Whether the allocation a test told to fail is this one.
bool test_fails_this_allocation() noexcept {
    if (!g_test_counting.load(std::memory_order_relaxed)) [[likely]]
        return false;
    const int64_t index = g_test_allocations.fetch_add(1, std::memory_order_relaxed);
    return index == g_test_fail_index.load(std::memory_order_relaxed);
}

// Every allocation of the module goes through here or through hash_calloc.
void *hash_malloc(size_t size) noexcept {
    if (test_fails_this_allocation()) [[unlikely]]
        return nullptr;
    return std::malloc(size);
}

// A zeroed array of count elements of size bytes (calloc checks the product
// for overflow); large arrays come as fresh zero pages, not written here.
void *hash_calloc(size_t count, size_t size) noexcept {
    if (test_fails_this_allocation()) [[unlikely]]
        return nullptr;
    return std::calloc(count, size);
}

// ---- The ready-made hashes, here for the table's own use ------------------------------------

constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

template <size_t N>
inline uint64_t fnv1a_fixed(const void *key) noexcept {
    const auto *bytes = static_cast<const unsigned char *>(key);
    uint64_t hash = kFnvOffsetBasis;
    for (size_t i = 0; i < N; ++i) {
        hash ^= bytes[i];
        hash *= kFnvPrime;
    }
    return hash;
}

// Whether inline assembly may read key bytes behind the address sanitizer's
// back: only in builds without it, which check those reads in the C++ loop.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#if defined(__SANITIZE_ADDRESS__)
#define OV_HASH_FNV_ASM 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OV_HASH_FNV_ASM 0
#endif
#endif
#ifndef OV_HASH_FNV_ASM
#define OV_HASH_FNV_ASM 1
#endif
#else
#define OV_HASH_FNV_ASM 0
#endif

// Four FNV-1a steps over bytes[at..at+3], from hash. On x86-64 a step is
// two instructions: the byte is xor-ed straight from memory into the low
// byte of the hash (which is all a byte can change), then the multiply; the
// compiler's form takes three (load, xor, multiply). A look-up that misses
// the caches holds a slot of the processor's window for every instruction
// while it waits for memory, so fewer of them let more look-ups overlap.
template <size_t at = 0>
inline uint64_t fnv1a_step4(uint64_t hash, const unsigned char *bytes) noexcept {
#if OV_HASH_FNV_ASM
    const uint64_t prime = kFnvPrime;
    asm("xorb %c[at0](%[bytes]), %b[hash]\n\t"
        "imulq %[prime], %[hash]\n\t"
        "xorb %c[at1](%[bytes]), %b[hash]\n\t"
        "imulq %[prime], %[hash]\n\t"
        "xorb %c[at2](%[bytes]), %b[hash]\n\t"
        "imulq %[prime], %[hash]\n\t"
        "xorb %c[at3](%[bytes]), %b[hash]\n\t"
        "imulq %[prime], %[hash]"
        : [hash] "+q"(hash)
        : [bytes] "r"(bytes), [prime] "r"(prime), [at0] "n"(at), [at1] "n"(at + 1),
          [at2] "n"(at + 2), [at3] "n"(at + 3),
          "m"(*reinterpret_cast<const unsigned char(*)[at + 4]>(bytes))
        : "cc");
    return hash;
#else
    for (size_t i = at; i < at + 4; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
    return hash;
#endif
}

// FNV-1a of 8 bytes: the value of fnv1a_fixed<8>, in fewer instructions.
inline uint64_t fnv1a_8(const void *key) noexcept {
    const auto *bytes = static_cast<const unsigned char *>(key);
    return fnv1a_step4<4>(fnv1a_step4(kFnvOffsetBasis, bytes), bytes);
}

// FNV-1a of a string's bytes; *length gets their number. The length comes
// first (strlen reads a word at a time), so that the loop of steps has no
// test for the terminator and runs unrolled: the same value, in fewer
// instructions waiting on the string's memory.
inline uint64_t fnv1a_string(const void *key, size_t *length) noexcept {
    const auto *bytes = static_cast<const unsigned char *>(key);
    const size_t n = std::strlen(static_cast<const char *>(key));
    *length = n;
    uint64_t hash = kFnvOffsetBasis;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) hash = fnv1a_step4(hash, bytes + i);
    for (; i < n; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
    return hash;
}

// ---- Entries ---------------------------------------------------------------------------------

constexpr uint32_t kLargestPrime32 = 4294967291u;
constexpr size_t kEntryHeader = sizeof(ov_hash_entry);

// The bucket count for a requested size: the next prime of size - 1, or 2
// for a size below 2. 0 when no 32-bit prime is large enough: handing
// ov_next_prime a truncated or too large value would give a wrong size, or
// a size of 0 and a division by zero.
uint64_t bucket_count_for(uint64_t requested) noexcept {
    if (requested < 2) return ov_next_prime(1);
    if (requested - 1 > kLargestPrime32) return 0;
    return ov_next_prime(static_cast<uint32_t>(requested - 1));
}

bool functions_given(ov_hash_fn_t hash, ov_hash_equal_fn_t equal, ov_hash_copy_fn_t key_copy,
                     ov_hash_copy_fn_t value_copy, ov_hash_free_fn_t key_free,
                     ov_hash_free_fn_t value_free) noexcept {
    return hash != nullptr && equal != nullptr && key_copy != nullptr && value_copy != nullptr &&
           key_free != nullptr && value_free != nullptr;
}

KeyStorage key_storage_for(ov_hash_copy_fn_t key_copy, ov_hash_free_fn_t key_free) noexcept {
    // The ready-made copies are heap blocks for free(); only then may the
    // table keep its own copy instead.
    if (key_free != &std::free) return KeyStorage::kCopied;
    if (key_copy == &ov_hash_copy_string) return KeyStorage::kString;
    if (key_copy == &ov_hash_copy_8) return KeyStorage::kFixed1;
    if (key_copy == &ov_hash_copy_16) return KeyStorage::kFixed2;
    if (key_copy == &ov_hash_copy_32) return KeyStorage::kFixed4;
    if (key_copy == &ov_hash_copy_64) return KeyStorage::kFixed8;
    return KeyStorage::kCopied;
}

HashKind hash_kind_for(ov_hash_fn_t hash) noexcept {
    if (hash == &ov_hash_string) return HashKind::kString;
    if (hash == &ov_hash_64) return HashKind::kFixed8;
    return HashKind::kFunction;
}

EqualKind equal_kind_for(KeyStorage storage, ov_hash_equal_fn_t equal) noexcept {
    if (equal == &ov_hash_equal_string) return EqualKind::kString;
    bool bytes = false;
    switch (storage) {
        case KeyStorage::kFixed1:
            bytes = equal == &ov_hash_equal_i8 || equal == &ov_hash_equal_u8;
            break;
        case KeyStorage::kFixed2:
            bytes = equal == &ov_hash_equal_i16 || equal == &ov_hash_equal_u16;
            break;
        case KeyStorage::kFixed4:
            bytes = equal == &ov_hash_equal_32;
            break;
        case KeyStorage::kFixed8:
            bytes = equal == &ov_hash_equal_64;
            break;
        case KeyStorage::kCopied:
        case KeyStorage::kString:
            break;
    }
    return bytes ? EqualKind::kBytes : EqualKind::kFunction;
}

LookupKind lookup_kind_for(KeyStorage storage, HashKind hash, EqualKind equal) noexcept {
    const bool fixed8 =
        storage == KeyStorage::kFixed8 && hash == HashKind::kFixed8 && equal == EqualKind::kBytes;
    return fixed8 ? LookupKind::kFixed8 : LookupKind::kGeneral;
}

size_t fixed_width(KeyStorage storage) noexcept {
    switch (storage) {
        case KeyStorage::kFixed1:
            return 1;
        case KeyStorage::kFixed2:
            return 2;
        case KeyStorage::kFixed4:
            return 4;
        case KeyStorage::kFixed8:
            return 8;
        case KeyStorage::kCopied:
        case KeyStorage::kString:
            break;
    }
    return 0;
}

bool stores_hash(KeyStorage storage) noexcept {
    return storage == KeyStorage::kCopied || storage == KeyStorage::kString;
}

char *tail_of(ov_hash_entry *entry) noexcept {
    return reinterpret_cast<char *>(entry) + kEntryHeader;
}

const char *tail_of(const ov_hash_entry *entry) noexcept {
    return reinterpret_cast<const char *>(entry) + kEntryHeader;
}

uint64_t stored_hash(const ov_hash_entry *entry) noexcept {
    uint64_t hash;
    std::memcpy(&hash, tail_of(entry), sizeof hash);
    return hash;
}

// The stored key of an entry.
void *entry_key(const ov_hash *table, const ov_hash_entry *entry) noexcept {
    auto *tail = const_cast<char *>(tail_of(entry));
    switch (table->key_storage) {
        case KeyStorage::kCopied: {
            void *key;
            std::memcpy(&key, tail + sizeof(uint64_t), sizeof key);
            return key;
        }
        case KeyStorage::kString:
            return tail + sizeof(uint64_t);
        default:
            return tail;
    }
}

// A key's hash with the table's function; for a string hashed by the
// ready-made function, *length gets its length (else it is left alone).
inline uint64_t hash_of(const ov_hash *table, const void *key, size_t *length) noexcept {
    switch (table->hash_kind) {
        case HashKind::kFixed8:
            return fnv1a_8(key);
        case HashKind::kString:
            return fnv1a_string(key, length);
        case HashKind::kFunction:
            break;
    }
    return table->hash(key);
}

// The hash of an entry's key: stored, or computed again for fixed-width keys.
uint64_t entry_hash(const ov_hash *table, const ov_hash_entry *entry) noexcept {
    if (stores_hash(table->key_storage)) return stored_hash(entry);
    size_t unused = 0;
    return hash_of(table, entry_key(table, entry), &unused);
}

// Whether entry holds key, whose hash is h; entries that keep their key's
// hash are passed over on a different one.
inline bool entry_matches(const ov_hash *table, const ov_hash_entry *entry, uint64_t h,
                          const void *key) noexcept {
    if (stores_hash(table->key_storage) && stored_hash(entry) != h) return false;
    const void *stored = entry_key(table, entry);
    if (table->equal_kind == EqualKind::kString) {
        return std::strcmp(static_cast<const char *>(key), static_cast<const char *>(stored)) == 0;
    }
    return table->equal(key, stored) == 0;
}

// The first entry of the chain from entry on whose N key bytes (kept in the
// entry) equal key's.
template <size_t N>
ov_hash_entry *find_bytes(ov_hash_entry *entry, const void *key) noexcept {
    while (entry != nullptr && std::memcmp(tail_of(entry), key, N) != 0) entry = entry->next;
    return entry;
}

// The first entry of the chain from entry on that holds the string key
// (hash h), for strings kept in the entries and compared by strcmp.
ov_hash_entry *find_string(ov_hash_entry *entry, uint64_t h, const void *key) noexcept {
    for (; entry != nullptr; entry = entry->next) {
        if (stored_hash(entry) == h &&
            std::strcmp(tail_of(entry) + sizeof(uint64_t), static_cast<const char *>(key)) == 0) {
            return entry;
        }
    }
    return nullptr;
}

// The first entry of bucket index that holds key (hash h), or null.
[[gnu::always_inline]] inline ov_hash_entry *find_entry(const ov_hash *table, uint64_t index,
                                                        uint64_t h, const void *key) noexcept {
    ov_hash_entry *entry = table->buckets[index];
    if (table->key_storage == KeyStorage::kString && table->equal_kind == EqualKind::kString) {
        return find_string(entry, h, key);
    }
    if (table->equal_kind == EqualKind::kBytes) {
        switch (table->key_storage) {
            case KeyStorage::kFixed8:
                return find_bytes<8>(entry, key);
            case KeyStorage::kFixed4:
                return find_bytes<4>(entry, key);
            case KeyStorage::kFixed2:
                return find_bytes<2>(entry, key);
            case KeyStorage::kFixed1:
                return find_bytes<1>(entry, key);
            case KeyStorage::kCopied:
            case KeyStorage::kString:
                break;
        }
    }
    while (entry != nullptr && !entry_matches(table, entry, h, key)) entry = entry->next;
    return entry;
}

// The link (the bucket's head or an entry's next) that points to the entry
// find_entry finds; it points to null when there is none.
ov_hash_entry **find_link(const ov_hash *table, uint64_t index, uint64_t h,
                          const void *key) noexcept {
    ov_hash_entry *entry = find_entry(table, index, h, key);
    ov_hash_entry **link = &table->buckets[index];
    while (*link != entry) link = &(*link)->next;
    return link;
}

// Gives an entry's value and key to the free functions and frees the entry.
// A null value was never the result of a copy, so it is not given to value
// free (which may not expect one); an inline key goes with its entry.
void destroy_entry(const ov_hash *table, ov_hash_entry *entry) noexcept {
    if (entry->value != nullptr) table->value_free(entry->value);
    if (table->key_storage == KeyStorage::kCopied) table->key_free(entry_key(table, entry));
    std::free(entry);
}

// Makes the entry for key (hash h; length: a string's length when the
// ready-made string hash measured it, else SIZE_MAX) and value through the
// copy functions, or returns null having freed whatever it made. op names
// the public operation for the log.
ov_hash_entry *make_entry(const ov_hash *table, const char *op, uint64_t h, const void *key,
                          size_t length, const void *value) noexcept {
    size_t tail = 0;
    void *stored_key = nullptr;
    switch (table->key_storage) {
        case KeyStorage::kCopied:
            stored_key = table->key_copy(key);
            if (stored_key == nullptr) {
                OV_LOG(kLogError, "%s: key copy failed err=%d", op, ENOMEM);
                return nullptr;
            }
            tail = sizeof(uint64_t) + sizeof(void *);
            break;
        case KeyStorage::kString:
            if (length == SIZE_MAX) length = std::strlen(static_cast<const char *>(key));
            tail = sizeof(uint64_t) + length + 1;
            break;
        default:
            tail = fixed_width(table->key_storage);
            break;
    }
    void *stored_value = nullptr;
    if (value != nullptr) {
        stored_value = table->value_copy(value);
        if (stored_value == nullptr) {
            if (stored_key != nullptr) table->key_free(stored_key);
            OV_LOG(kLogError, "%s: value copy failed err=%d", op, ENOMEM);
            return nullptr;
        }
    }
    // A string's length plus the entry cannot reach SIZE_MAX: the string
    // itself occupies memory.
    auto *entry = static_cast<ov_hash_entry *>(hash_malloc(kEntryHeader + tail));
    if (entry == nullptr) {
        if (stored_value != nullptr) table->value_free(stored_value);
        if (stored_key != nullptr) table->key_free(stored_key);
        OV_LOG(kLogError, "%s: cannot allocate an entry err=%d", op, ENOMEM);
        return nullptr;
    }
    entry->next = nullptr;
    entry->value = stored_value;
    char *p = tail_of(entry);
    switch (table->key_storage) {
        case KeyStorage::kCopied:
            std::memcpy(p, &h, sizeof h);
            std::memcpy(p + sizeof h, &stored_key, sizeof stored_key);
            break;
        case KeyStorage::kString:
            std::memcpy(p, &h, sizeof h);
            std::memcpy(p + sizeof h, key, length + 1);
            break;
        default:
            std::memcpy(p, key, tail);
            break;
    }
    return entry;
}

// Adds a new entry for a key known to be absent from bucket index: made,
// then pushed at the head of the chain.
// @return the entry, or null when it could not be made (table unchanged).
ov_hash_entry *add_entry(ov_hash *table, const char *op, uint64_t index, uint64_t h,
                         const void *key, size_t length, const void *value) noexcept {
    ov_hash_entry *entry = make_entry(table, op, h, key, length, value);
    if (entry == nullptr) return nullptr;
    entry->next = table->buckets[index];
    table->buckets[index] = entry;
    ++table->count;
    return entry;
}

void clear_cursor(ov_hash *table) noexcept {
    table->cursor_index = 0;
    table->cursor_node = nullptr;
}

// ---- Growth ----------------------------------------------------------------------------------

// Moves every entry into a new array of new_size chains. Its one allocation
// is the array, made before anything moves, so that a failure leaves the
// table exactly as it was. The entries stay where they are, with their keys
// and values; only their links change, so no copy can fail here and stored
// keys and values keep their addresses. The chains come out in the order a
// rebuild by insertion (bucket by bucket, along each chain, each entry
// pushed at the head) would give.
bool rebuild(ov_hash *table, uint64_t new_size) noexcept {
    auto **fresh = static_cast<ov_hash_entry **>(hash_calloc(new_size, sizeof(ov_hash_entry *)));
    if (fresh == nullptr) return false;
    for (uint64_t i = 0; i < table->size; ++i) {
        ov_hash_entry *entry = table->buckets[i];
        while (entry != nullptr) {
            ov_hash_entry *next = entry->next;
            ov_hash_entry *&head = fresh[entry_hash(table, entry) % new_size];
            entry->next = head;
            head = entry;
            entry = next;
        }
    }
    std::free(table->buckets);
    table->buckets = fresh;
    table->size = new_size;
    clear_cursor(table);
    return true;
}

// Rebuilds with the bucket count for requested. level is the severity of a
// failure: an error for the caller of ov_hash_grow, a warning for an
// insertion that goes on without growing.
bool grow_to(ov_hash *table, uint64_t requested, uint32_t level) noexcept {
    const uint64_t new_size = bucket_count_for(requested);
    if (new_size != 0 && rebuild(table, new_size)) return true;
    ov_log(level, OV_LOG_SOURCE, __LINE__, "ov_hash_grow: cannot grow to %llu buckets err=%d",
           static_cast<unsigned long long>(requested), ENOMEM);
    return false;
}

// The growth after an insertion: to twice the size once count / size passes
// 0.7. With a prime size the quotient is never exactly 0.7, so the integer
// comparison decides as the division would.
void grow_if_loaded(ov_hash *table) noexcept {
    if (table->count * 10 > table->size * 7) {
        (void)grow_to(table, table->size * 2, ov::logging::kLogWarning);
    }
}

// ---- Tables ----------------------------------------------------------------------------------

ov_hash_t *new_table(const char *op, uint64_t requested, ov_hash_fn_t hash,
                     ov_hash_equal_fn_t equal, ov_hash_copy_fn_t key_copy,
                     ov_hash_copy_fn_t value_copy, ov_hash_free_fn_t key_free,
                     ov_hash_free_fn_t value_free) noexcept {
    if (!functions_given(hash, equal, key_copy, value_copy, key_free, value_free)) {
        OV_LOG(kLogError, "%s: null function err=%d", op, EINVAL);
        return nullptr;
    }
    const uint64_t size = bucket_count_for(requested);
    if (size == 0) {
        OV_LOG(kLogError, "%s: no prime bucket count for %llu err=%d", op,
               static_cast<unsigned long long>(requested), EINVAL);
        return nullptr;
    }
    auto *table = static_cast<ov_hash *>(hash_malloc(sizeof(ov_hash)));
    auto **buckets = static_cast<ov_hash_entry **>(
        table != nullptr ? hash_calloc(size, sizeof(ov_hash_entry *)) : nullptr);
    if (buckets == nullptr) {
        std::free(table);
        OV_LOG(kLogError, "%s: cannot allocate a table of %llu buckets err=%d", op,
               static_cast<unsigned long long>(size), ENOMEM);
        return nullptr;
    }
    const KeyStorage storage = key_storage_for(key_copy, key_free);
    const HashKind hash_kind = hash_kind_for(hash);
    const EqualKind equal_kind = equal_kind_for(storage, equal);
    *table = {.buckets = buckets,
              .count = 0,
              .size = size,
              .cursor_index = 0,
              .cursor_node = nullptr,
              .hash = hash,
              .equal = equal,
              .key_copy = key_copy,
              .value_copy = value_copy,
              .key_free = key_free,
              .value_free = value_free,
              .key_storage = storage,
              .hash_kind = hash_kind,
              .equal_kind = equal_kind,
              .lookup_kind = lookup_kind_for(storage, hash_kind, equal_kind)};
    return table;
}

// The first entry at or after bucket index, with its bucket index; null and
// 0 when there is none.
std::pair<uint64_t, ov_hash_entry *> first_from(const ov_hash *table, uint64_t index) noexcept {
    for (; index < table->size; ++index) {
        if (table->buckets[index] != nullptr) return {index, table->buckets[index]};
    }
    return {0, nullptr};
}

bool refuse_null(const char *op, bool refused) noexcept {
    if (refused) [[unlikely]]
        OV_LOG(kLogError, "%s: null argument err=%d", op, EINVAL);
    return refused;
}

void set_flag(int32_t *flag, int32_t value) noexcept {
    if (flag != nullptr) *flag = value;
}

// A key's place: its hash, its bucket, and the length of a string key the
// hash measured (SIZE_MAX when it did not).
struct Place {
    uint64_t hash;
    uint64_t index;
    size_t length;
};

inline Place place_of(const ov_hash *table, const void *key) noexcept {
    Place place{0, 0, SIZE_MAX};
    place.hash = hash_of(table, key, &place.length);
    place.index = place.hash % table->size;
    return place;
}

// The look-up of a table of LookupKind::kFixed8: the same steps as
// place_of and find_entry take for it, with nothing to decide on the way.
// It calls nothing, so ov_hash_get takes it without a stack frame.
[[gnu::always_inline]] inline const ov_hash_entry *find_fixed8(const ov_hash *table,
                                                               const void *key) noexcept {
    const ov_hash_entry *entry = table->buckets[fnv1a_8(key) % table->size];
    uint64_t wanted;
    std::memcpy(&wanted, key, sizeof wanted);
    for (; entry != nullptr; entry = entry->next) {
        uint64_t stored;
        std::memcpy(&stored, tail_of(entry), sizeof stored);
        if (stored == wanted) break;
    }
    return entry;
}

// Adds the entry for a key that find_entry did not find at its place, grows
// the table when that loads it past 0.7, and sets *flag to 1. The entry
// keeps its address through the growth, which only re-links entries.
// @return the entry, or null when it could not be made (the table and *flag
// unchanged).
ov_hash_entry *insert_new(ov_hash *table, const char *op, const Place &place, const void *key,
                          const void *value, int32_t *flag) noexcept {
    ov_hash_entry *entry = add_entry(table, op, place.index, place.hash, key, place.length, value);
    if (entry == nullptr) return nullptr;
    grow_if_loaded(table);
    set_flag(flag, 1);
    return entry;
}

// ov_hash_get for every other table, and for null arguments.
[[gnu::noinline]] void *get_general(const ov_hash *table, const void *key) noexcept {
    if (refuse_null("ov_hash_get", table == nullptr || key == nullptr)) return nullptr;
    const Place place = place_of(table, key);
    const ov_hash_entry *entry = find_entry(table, place.index, place.hash, key);
    return entry != nullptr ? entry->value : nullptr;
}

// ---- Ready-made functions, their helpers ----------------------------------------------------

template <class T>
T load(const void *p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void *copy_bytes(const void *key, size_t size) noexcept {
    void *copy = hash_malloc(size);
    if (copy != nullptr) std::memcpy(copy, key, size);
    return copy;
}

}  // namespace

extern "C" {

// ---- Tables ----------------------------------------------------------------------------------

ov_hash_t *ov_hash_new(uint64_t size, ov_hash_fn_t hash, ov_hash_equal_fn_t equal,
                       ov_hash_copy_fn_t key_copy, ov_hash_copy_fn_t value_copy,
                       ov_hash_free_fn_t key_free, ov_hash_free_fn_t value_free) noexcept {
    return new_table("ov_hash_new", size, hash, equal, key_copy, value_copy, key_free, value_free);
}

ov_hash_t *ov_hash_new_keys(uint64_t size, ov_hash_fn_t hash, ov_hash_equal_fn_t equal,
                            ov_hash_copy_fn_t key_copy, ov_hash_free_fn_t key_free) noexcept {
    return new_table("ov_hash_new_keys", size, hash, equal, key_copy, ov_hash_copy_identity,
                     key_free, ov_free_nop);
}

int32_t ov_hash_create(ov_hash_t **out, uint64_t size, ov_hash_fn_t hash, ov_hash_equal_fn_t equal,
                       ov_hash_copy_fn_t key_copy, ov_hash_copy_fn_t value_copy,
                       ov_hash_free_fn_t key_free, ov_hash_free_fn_t value_free) noexcept {
    if (refuse_null("ov_hash_create", out == nullptr)) return EINVAL;
    if (!functions_given(hash, equal, key_copy, value_copy, key_free, value_free)) {
        OV_LOG(kLogError, "ov_hash_create: null function err=%d", EINVAL);
        return EINVAL;
    }
    ov_hash_t *table =
        new_table("ov_hash_create", size, hash, equal, key_copy, value_copy, key_free, value_free);
    if (table == nullptr) return ENOMEM;
    *out = table;
    return 0;
}

void ov_hash_free(ov_hash_t *table) noexcept {
    if (table == nullptr) return;
    ov_hash_clear(table);
    std::free(table->buckets);
    std::free(table);
}

void ov_hash_clear(ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_clear", table == nullptr)) return;
    for (uint64_t i = 0; i < table->size && table->count != 0; ++i) {
        ov_hash_entry *entry = table->buckets[i];
        while (entry != nullptr) {
            ov_hash_entry *next = entry->next;
            destroy_entry(table, entry);
            --table->count;
            entry = next;
        }
        table->buckets[i] = nullptr;
    }
    table->count = 0;
    clear_cursor(table);
}

// ---- Look-ups --------------------------------------------------------------------------------

void *ov_hash_get(const ov_hash_t *table, const void *key) noexcept {
    if (table != nullptr && key != nullptr && table->lookup_kind == LookupKind::kFixed8) {
        const ov_hash_entry *entry = find_fixed8(table, key);
        return entry != nullptr ? entry->value : nullptr;
    }
    return get_general(table, key);
}

void *ov_hash_get_key(const ov_hash_t *table, const void *key) noexcept {
    if (refuse_null("ov_hash_get_key", table == nullptr || key == nullptr)) return nullptr;
    const Place place = place_of(table, key);
    const ov_hash_entry *entry = find_entry(table, place.index, place.hash, key);
    return entry != nullptr ? entry_key(table, entry) : nullptr;
}

ov_hash_iter_t ov_hash_find(ov_hash_t *table, const void *key) noexcept {
    if (refuse_null("ov_hash_find", table == nullptr || key == nullptr)) {
        return {table, 0, nullptr};
    }
    const Place place = place_of(table, key);
    ov_hash_entry *entry = find_entry(table, place.index, place.hash, key);
    if (entry == nullptr) return {table, 0, nullptr};
    return {table, place.index, entry};
}

// ---- Changes ---------------------------------------------------------------------------------

void *ov_hash_put(ov_hash_t *table, const void *key, const void *value, int32_t *flag) noexcept {
    set_flag(flag, 0);
    if (refuse_null("ov_hash_put", table == nullptr || key == nullptr)) return nullptr;
    const Place place = place_of(table, key);
    ov_hash_entry *entry = find_entry(table, place.index, place.hash, key);
    if (entry != nullptr) {
        void *stored = nullptr;
        if (value != nullptr) {
            stored = table->value_copy(value);
            if (stored == nullptr) {
                OV_LOG(kLogError, "ov_hash_put: value copy failed err=%d", ENOMEM);
                return entry->value;
            }
        }
        // With the identity copy the caller may put the very value the entry
        // holds; freeing it would leave the entry pointing at freed memory.
        if (entry->value != nullptr && entry->value != stored) table->value_free(entry->value);
        entry->value = stored;
        set_flag(flag, 1);
        return stored;
    }
    entry = insert_new(table, "ov_hash_put", place, key, value, flag);
    return entry != nullptr ? entry->value : nullptr;
}

void *ov_hash_insert(ov_hash_t *table, const void *key, const void *value,
                     int32_t *inserted) noexcept {
    set_flag(inserted, 0);
    if (refuse_null("ov_hash_insert", table == nullptr || key == nullptr)) return nullptr;
    const Place place = place_of(table, key);
    ov_hash_entry *entry = find_entry(table, place.index, place.hash, key);
    if (entry != nullptr) {
        if (entry->value != nullptr) return entry->value;
        // A present key with a null value counts as absent, as ov_hash_get
        // sees it. Its entry takes the value: a second entry for the same
        // key would hide the first and outlive a removal of the key.
        if (value == nullptr) return nullptr;
        void *stored = table->value_copy(value);
        if (stored == nullptr) {
            OV_LOG(kLogError, "ov_hash_insert: value copy failed err=%d", ENOMEM);
            return nullptr;
        }
        entry->value = stored;
        set_flag(inserted, 1);
        return stored;
    }
    entry = insert_new(table, "ov_hash_insert", place, key, value, inserted);
    return entry != nullptr ? entry->value : nullptr;
}

void *ov_hash_insert_key(ov_hash_t *table, const void *key, int32_t *inserted) noexcept {
    set_flag(inserted, 0);
    if (refuse_null("ov_hash_insert_key", table == nullptr || key == nullptr)) return nullptr;
    const Place place = place_of(table, key);
    ov_hash_entry *entry = find_entry(table, place.index, place.hash, key);
    if (entry != nullptr) return entry_key(table, entry);
    entry = insert_new(table, "ov_hash_insert_key", place, key, nullptr, inserted);
    return entry != nullptr ? entry_key(table, entry) : nullptr;
}

int32_t ov_hash_remove(ov_hash_t *table, const void *key) noexcept {
    if (refuse_null("ov_hash_remove", table == nullptr || key == nullptr)) return 0;
    const Place place = place_of(table, key);
    ov_hash_entry **link = find_link(table, place.index, place.hash, key);
    ov_hash_entry *entry = *link;
    if (entry == nullptr) return 0;
    *link = entry->next;
    --table->count;
    // A cursor left on the freed entry would hand out freed memory.
    if (table->cursor_node == entry) clear_cursor(table);
    destroy_entry(table, entry);
    return 1;
}

int32_t ov_hash_grow(ov_hash_t *table, uint64_t size) noexcept {
    if (refuse_null("ov_hash_grow", table == nullptr)) return 0;
    return grow_to(table, size, ov::logging::kLogError) ? 1 : 0;
}

void ov_hash_swap(ov_hash_t *a, ov_hash_t *b) noexcept {
    if (refuse_null("ov_hash_swap", a == nullptr || b == nullptr)) return;
    std::swap(*a, *b);
}

// ---- Size and load ---------------------------------------------------------------------------

uint64_t ov_hash_count(const ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_count", table == nullptr)) return 0;
    return table->count;
}

int32_t ov_hash_is_empty(const ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_is_empty", table == nullptr)) return 1;
    return table->count == 0 ? 1 : 0;
}

uint64_t ov_hash_size(const ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_size", table == nullptr)) return 0;
    return table->size;
}

ov_hash_stats_t *ov_hash_stats(const ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_stats", table == nullptr) || table->count == 0) return nullptr;
    uint64_t used = 0;
    uint64_t longest = 0;
    uint64_t shortest = 0;
    for (uint64_t i = 0; i < table->size; ++i) {
        uint64_t chain = 0;
        for (const ov_hash_entry *e = table->buckets[i]; e != nullptr; e = e->next) ++chain;
        if (chain == 0) continue;
        if (used == 0) longest = shortest = chain;
        ++used;
        if (chain > longest) longest = chain;
        if (chain < shortest) shortest = chain;
    }
    auto *stats = static_cast<ov_hash_stats_t *>(hash_malloc(sizeof(ov_hash_stats_t)));
    if (stats == nullptr) {
        OV_LOG(kLogError, "ov_hash_stats: cannot allocate the record err=%d", ENOMEM);
        return nullptr;
    }
    const auto size = static_cast<double>(table->size);
    const auto count = static_cast<double>(table->count);
    *stats = {count / size, static_cast<double>(used) / size, count / static_cast<double>(used),
              longest, shortest};
    return stats;
}

// ---- Walking ---------------------------------------------------------------------------------

void ov_hash_first(ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_first", table == nullptr)) return;
    const auto [index, entry] = first_from(table, 0);
    table->cursor_index = index;
    table->cursor_node = entry;
}

int32_t ov_hash_next(ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_next", table == nullptr)) return 0;
    if (table->cursor_node == nullptr) return 0;
    if (table->cursor_node->next != nullptr) {
        table->cursor_node = table->cursor_node->next;
        return 1;
    }
    const auto [index, entry] = first_from(table, table->cursor_index + 1);
    table->cursor_index = index;
    table->cursor_node = entry;
    return entry != nullptr ? 1 : 0;
}

void *ov_hash_cursor_key(const ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_cursor_key", table == nullptr)) return nullptr;
    return table->cursor_node != nullptr ? entry_key(table, table->cursor_node) : nullptr;
}

void *ov_hash_cursor_value(const ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_cursor_value", table == nullptr)) return nullptr;
    return table->cursor_node != nullptr ? table->cursor_node->value : nullptr;
}

void ov_hash_iter_end(ov_hash_iter_t *iter, ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_iter_end", iter == nullptr)) return;
    *iter = {table, 0, nullptr};
}

void ov_hash_iter_begin(ov_hash_iter_t *iter, ov_hash_t *table) noexcept {
    if (refuse_null("ov_hash_iter_begin", iter == nullptr || table == nullptr)) {
        if (iter != nullptr) *iter = {table, 0, nullptr};
        return;
    }
    const auto [index, entry] = first_from(table, 0);
    *iter = {table, index, entry};
}

void ov_hash_iter_next(ov_hash_iter_t *iter) noexcept {
    if (refuse_null("ov_hash_iter_next", iter == nullptr || iter->table == nullptr)) return;
    if (iter->entry == nullptr) return;
    if (iter->entry->next != nullptr) {
        iter->entry = iter->entry->next;
        return;
    }
    const auto [index, entry] = first_from(iter->table, iter->bucket + 1);
    iter->bucket = index;
    iter->entry = entry;
}

void *ov_hash_iter_key(const ov_hash_iter_t *iter) noexcept {
    if (refuse_null("ov_hash_iter_key", iter == nullptr)) return nullptr;
    if (iter->entry == nullptr || iter->table == nullptr) return nullptr;
    return entry_key(iter->table, iter->entry);
}

void *ov_hash_iter_value(const ov_hash_iter_t *iter) noexcept {
    if (refuse_null("ov_hash_iter_value", iter == nullptr)) return nullptr;
    return iter->entry != nullptr ? iter->entry->value : nullptr;
}

// ---- Ready-made functions --------------------------------------------------------------------

uint64_t ov_hash_string(const void *key) noexcept {
    size_t length;
    return fnv1a_string(key, &length);
}

uint64_t ov_hash_8(const void *key) noexcept {
    return fnv1a_fixed<1>(key);
}

uint64_t ov_hash_16(const void *key) noexcept {
    return fnv1a_fixed<2>(key);
}

uint64_t ov_hash_32(const void *key) noexcept {
    return fnv1a_fixed<4>(key);
}

uint64_t ov_hash_64(const void *key) noexcept {
    return fnv1a_8(key);
}

int32_t ov_hash_equal_string(const void *a, const void *b) noexcept {
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

int32_t ov_hash_equal_i8(const void *a, const void *b) noexcept {
    return int32_t{load<int8_t>(a)} - int32_t{load<int8_t>(b)};
}

int32_t ov_hash_equal_u8(const void *a, const void *b) noexcept {
    return int32_t{load<uint8_t>(a)} - int32_t{load<uint8_t>(b)};
}

int32_t ov_hash_equal_i16(const void *a, const void *b) noexcept {
    return int32_t{load<int16_t>(a)} - int32_t{load<int16_t>(b)};
}

int32_t ov_hash_equal_u16(const void *a, const void *b) noexcept {
    return int32_t{load<uint16_t>(a)} - int32_t{load<uint16_t>(b)};
}

// The difference is taken modulo 2^32: a signed subtraction could overflow,
// and a wrapped difference is still 0 exactly when the values are equal.
int32_t ov_hash_equal_32(const void *a, const void *b) noexcept {
    return static_cast<int32_t>(load<uint32_t>(a) - load<uint32_t>(b));
}

// A difference would not fit the result: two values that differ only in
// their upper half would compare equal.
int32_t ov_hash_equal_64(const void *a, const void *b) noexcept {
    return load<uint64_t>(a) == load<uint64_t>(b) ? 0 : 1;
}

void *ov_hash_copy_string(const void *key) noexcept {
    return copy_bytes(key, std::strlen(static_cast<const char *>(key)) + 1);
}

void *ov_hash_copy_8(const void *key) noexcept {
    return copy_bytes(key, 1);
}

void *ov_hash_copy_16(const void *key) noexcept {
    return copy_bytes(key, 2);
}

void *ov_hash_copy_32(const void *key) noexcept {
    return copy_bytes(key, 4);
}

void *ov_hash_copy_64(const void *key) noexcept {
    return copy_bytes(key, 8);
}

void *ov_hash_copy_identity(const void *item) noexcept {
    return const_cast<void *>(item);
}

void ov_free_nop(void *) noexcept {}

// ---- Test hook (internal/hash_testing.h) -----------------------------------------------------

int64_t ov_hash_test_fail_allocation(int64_t index) {
    const int64_t counted = g_test_allocations.exchange(0, std::memory_order_relaxed);
    g_test_fail_index.store(index < 0 ? -1 : index, std::memory_order_relaxed);
    g_test_counting.store(true, std::memory_order_relaxed);
    return counted;
}

}  // extern "C"
