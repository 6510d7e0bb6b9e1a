// fuzz_hash_table.cpp - libFuzzer target for the hash table, against std::unordered_map.
//
// Each input is a sequence of operations (put, insert, insert_key, remove,
// get, grow, clear, a walk with the cursor and with an iterator, swap) on
// four tables at once, each with a model: an unordered_map from key to an
// optional value.
//   - Table A copies keys and values with ov_hash_copy_string and frees them
//     with its own function, so that the keys are heap blocks of their own.
//   - Table B keeps its keys inside its entries (ov_hash_copy_string with
//     free()) and stores its values, small numbers, as given.
//   - Tables C and D have 8-byte keys (a key's text padded with zero bytes)
//     with the ready-made 8-byte functions and numbers as values; C frees
//     its keys with free(), so it keeps them inside its entries and takes
//     the table's own look-up for integer keys, D with its own function.
// Keys come from a small alphabet, so that they repeat and chains form.
// Before an operation the input may make one of the module's allocations
// fail (the test hook); the operation's result then says what happened, and
// the table must match the model updated accordingly: a failed entry leaves
// everything as it was, a failed growth leaves the size. After every
// operation the counts must agree, and a walk must visit exactly the model's
// entries, each once. AddressSanitizer watches the frees and the leaks.
#include <ovplatform/ovhash.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_util.h"
#include "internal/hash_testing.h"

namespace {

using Model = std::unordered_map<std::string, std::optional<std::string>>;

void own_free(void *p) {
    std::free(p);
}

// A table, its model and how its values are written and read.
struct Subject {
    ov_hash_t *table = nullptr;
    Model model;
    bool numeric_values = false;  // tables B, C, D: values are numbers, not strings
    bool fixed_keys = false;      // tables C, D: keys are 8 bytes, not strings
    char key_buffer[9] = {};      // the last key given in 8-byte form

    // The table's form of a key: the text itself, or its 8-byte form (valid
    // until the next call).
    const void *key_arg(const std::string &key) {
        if (!fixed_keys) return key.c_str();
        std::memset(key_buffer, 0, sizeof key_buffer);
        std::memcpy(key_buffer, key.data(), key.size());  // keys are at most 4 bytes
        return key_buffer;
    }
    // The text of a key the table gives back.
    std::string key_text(const void *stored) const {
        const auto *text = static_cast<const char *>(stored);
        return fixed_keys ? std::string(text, strnlen(text, 8)) : std::string(text);
    }

    // The table's form of a value ("7" becomes the pointer 7 in table B).
    const void *value_arg(const std::optional<std::string> &value) const {
        if (!value) return nullptr;
        if (!numeric_values) return value->c_str();
        return reinterpret_cast<const void *>(static_cast<uintptr_t>(std::stoul(*value)));
    }
    std::optional<std::string> value_of(const void *stored) const {
        if (stored == nullptr) return std::nullopt;
        if (!numeric_values) return std::string(static_cast<const char *>(stored));
        return std::to_string(reinterpret_cast<uintptr_t>(stored));
    }
};

ov_hash_t *new_table(int kind, uint64_t size) {
    if (kind == 2 || kind == 3) {
        return ov_hash_new(size, ov_hash_64, ov_hash_equal_64, ov_hash_copy_64,
                           ov_hash_copy_identity, kind == 2 ? free : own_free, ov_free_nop);
    }
    if (kind == 1) {
        return ov_hash_new(size, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string,
                           ov_hash_copy_identity, free, ov_free_nop);
    }
    return ov_hash_new(size, ov_hash_string, ov_hash_equal_string, ov_hash_copy_string,
                       ov_hash_copy_string, own_free, own_free);
}

std::string make_key(FuzzedDataProvider &data) {
    const size_t length = data.ConsumeIntegralInRange<size_t>(0, 4);
    std::string key;
    for (size_t i = 0; i < length; ++i)
        key += static_cast<char>('a' + data.ConsumeIntegralInRange(0, 3));
    return key;
}

std::optional<std::string> make_value(FuzzedDataProvider &data) {
    if (data.ConsumeIntegralInRange(0, 5) == 0) return std::nullopt;
    return std::to_string(data.ConsumeIntegralInRange(1, 1000));
}

// The walk with an iterator and with the cursor: each model entry once.
void check_walk(Subject &s) {
    std::map<std::string, std::optional<std::string>> seen;
    uint64_t visited = 0;
    ov_hash_iter_t it;
    for (ov_hash_iter_begin(&it, s.table); it.entry != nullptr; ov_hash_iter_next(&it)) {
        ++visited;
        const std::string key = s.key_text(ov_hash_iter_key(&it));
        CHECK(seen.emplace(key, s.value_of(ov_hash_iter_value(&it))).second);
    }
    CHECK(visited == s.model.size());
    for (const auto &[key, value] : s.model) {
        auto found = seen.find(key);
        CHECK(found != seen.end());
        CHECK(found->second == value);
    }
    uint64_t by_cursor = 0;
    ov_hash_first(s.table);
    if (ov_hash_cursor_key(s.table) != nullptr) {
        do {
            ++by_cursor;
            CHECK(s.model.count(s.key_text(ov_hash_cursor_key(s.table))) == 1);
        } while (ov_hash_next(s.table) == 1);
    }
    CHECK(by_cursor == s.model.size());
}

void check_key(Subject &s, const std::string &key) {
    auto found = s.model.find(key);
    void *stored_key = ov_hash_get_key(s.table, s.key_arg(key));
    if (found == s.model.end()) {
        CHECK(stored_key == nullptr);
        CHECK(ov_hash_get(s.table, s.key_arg(key)) == nullptr);
        ov_hash_iter_t it = ov_hash_find(s.table, s.key_arg(key));
        CHECK(it.entry == nullptr && it.bucket == 0 && it.table == s.table);
        return;
    }
    CHECK(stored_key != nullptr && key == s.key_text(stored_key));
    CHECK(s.value_of(ov_hash_get(s.table, s.key_arg(key))) == found->second);
    ov_hash_iter_t it = ov_hash_find(s.table, s.key_arg(key));
    CHECK(it.entry != nullptr && ov_hash_iter_key(&it) == stored_key);
}

void run(Subject &s, FuzzedDataProvider &data) {
    const bool inject = data.ConsumeIntegralInRange(0, 7) == 0;
    if (inject) ov_hash_test_fail_allocation(data.ConsumeIntegralInRange<int64_t>(0, 4));
    const uint64_t size_before = ov_hash_size(s.table);
    const std::string key = make_key(data);
    const auto model_entry = s.model.find(key);
    const bool present = model_entry != s.model.end();

    switch (data.ConsumeIntegralInRange(0, 9)) {
        case 0:
        case 1: {  // put
            const std::optional<std::string> value = make_value(data);
            int32_t flag = -1;
            void *stored = ov_hash_put(s.table, s.key_arg(key), s.value_arg(value), &flag);
            if (flag == 1) {
                CHECK(s.value_of(stored) == value);
                s.model[key] = value;
            } else {
                CHECK(flag == 0);
                CHECK(inject && (value || !present));
                if (present)
                    CHECK(s.value_of(stored) == model_entry->second);
                else
                    CHECK(stored == nullptr);
            }
            break;
        }
        case 2:
        case 3: {  // insert
            const std::optional<std::string> value = make_value(data);
            int32_t inserted = -1;
            void *stored = ov_hash_insert(s.table, s.key_arg(key), s.value_arg(value), &inserted);
            if (present && model_entry->second) {
                CHECK(inserted == 0);
                CHECK(s.value_of(stored) == model_entry->second);
            } else if (inserted == 1) {
                CHECK(s.value_of(stored) == value);
                s.model[key] = value;
            } else {
                // Nothing to store (a present null value and a null value), or
                // the entry could not be made.
                CHECK(inserted == 0 && stored == nullptr);
                CHECK(inject || (present && !value));
            }
            break;
        }
        case 4: {  // insert_key
            int32_t inserted = -1;
            void *stored = ov_hash_insert_key(s.table, s.key_arg(key), &inserted);
            if (present) {
                CHECK(inserted == 0 && stored != nullptr && key == s.key_text(stored));
            } else if (inserted == 1) {
                CHECK(stored != nullptr && key == s.key_text(stored));
                s.model[key] = std::nullopt;
            } else {
                CHECK(inserted == 0 && stored == nullptr && inject);
            }
            break;
        }
        case 5:
        case 6:  // remove
            CHECK(ov_hash_remove(s.table, s.key_arg(key)) == (present ? 1 : 0));
            s.model.erase(key);
            break;
        case 7: {  // grow, or shrink
            const uint64_t requested = data.ConsumeIntegralInRange<uint64_t>(0, 3000);
            const int32_t grown = ov_hash_grow(s.table, requested);
            if (grown == 1) {
                CHECK(ov_hash_size(s.table) ==
                      ov_next_prime(requested < 2 ? 1 : static_cast<uint32_t>(requested - 1)));
            } else {
                CHECK(inject && ov_hash_size(s.table) == size_before);
            }
            break;
        }
        case 8:
            if (data.ConsumeBool()) {
                ov_hash_clear(s.table);
                s.model.clear();
            } else {
                ov_hash_stats_t *stats = ov_hash_stats(s.table);
                if (s.model.empty()) CHECK(stats == nullptr);
                if (stats != nullptr) {
                    CHECK(stats->shortest_chain >= 1 &&
                          stats->shortest_chain <= stats->longest_chain);
                    CHECK(stats->load_factor * static_cast<double>(ov_hash_size(s.table)) >
                          static_cast<double>(s.model.size()) - 0.5);
                    std::free(stats);
                } else {
                    CHECK(s.model.empty() || inject);
                }
            }
            break;
        default:
            check_walk(s);
            break;
    }
    ov_hash_test_fail_allocation(-1);
    CHECK(ov_hash_count(s.table) == s.model.size());
    CHECK(ov_hash_is_empty(s.table) == (s.model.empty() ? 1 : 0));
    check_key(s, key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    constexpr int kTables = 4;
    Subject subjects[kTables];
    for (int i = 0; i < kTables; ++i) {
        subjects[i].numeric_values = i != 0;
        subjects[i].fixed_keys = i >= 2;
        subjects[i].table = new_table(i, data.ConsumeIntegralInRange(0, 40));
        CHECK(subjects[i].table != nullptr);
    }
    while (data.remaining_bytes() > 0) {
        if (data.ConsumeIntegralInRange(0, 30) == 0) {
            // Swap exchanges everything, the functions included.
            Subject &a = subjects[data.ConsumeIntegralInRange(0, kTables - 1)];
            Subject &b = subjects[data.ConsumeIntegralInRange(0, kTables - 1)];
            ov_hash_swap(a.table, b.table);
            std::swap(a.table, b.table);
            continue;
        }
        run(subjects[data.ConsumeIntegralInRange(0, kTables - 1)], data);
    }
    for (Subject &s : subjects) {
        check_walk(s);
        ov_hash_free(s.table);
    }
    return 0;
}
