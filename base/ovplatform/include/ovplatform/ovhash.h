/** @defgroup hash Hash table
 * ovhash.h: a generic chained hash table.
 *
 * A table maps keys to values through functions its creator supplies: a
 * hash, an equality (0 when two keys are equal), a copy and a free function
 * for keys and another pair for values. The table stores what the copy
 * functions return and gives it to the free functions when an entry goes, so
 * it owns its keys and values; the identity copy with ov_free_nop stores the
 * caller's pointers unchanged and never frees them. A copy function reports
 * a failure by returning null, so neither a key nor a value of null can be
 * stored by copying; a null value argument stores a null value, which
 * lookups do not tell from absence. Keys that equal calls equal must have
 * equal hashes.
 *
 * With a ready-made key copy (ov_hash_copy_string, ov_hash_copy_8 ... 64)
 * and free() as key free, the table keeps each key's copy inside its entry
 * instead of in a heap block of its own: the stored key is then released
 * with its entry, not by a call of free() on it.
 *
 * Bucket counts are primes (ov_next_prime). An insertion that takes the load
 * (entries per bucket) above 0.7 doubles the bucket count; a growth that
 * cannot get its memory leaves the table working at its old size. Growth
 * re-links the entries into the new buckets without copying them, so the
 * stored keys and values keep their addresses for as long as their entries
 * live.
 *
 * Walking the table: the embedded cursor (ov_hash_first, ov_hash_next) or a
 * by-value iterator (ov_hash_iter_begin, ov_hash_iter_next) visits the
 * entries in bucket order. Either is valid until the table changes: after a
 * clear, a growth or the removal of the entry it stands on, start it again.
 *
 * Null tables, null keys and null out pointers are refused with the results
 * given below and a log line at level 1.
 *
 * Threads: a table is used by one thread at a time, or under a lock of the
 * caller's. The ready-made functions and ov_next_prime() keep no state and
 * may be called from any thread.
 * @{
 */
#ifndef OVPLATFORM_OVHASH_H
#define OVPLATFORM_OVHASH_H

#include <stddef.h>
#include <stdint.h>

#include <ovplatform/ovexport.h>

/* The caller-supplied functions. A copy returns the object to store, or null
 * when it cannot make one. */
/** The hash of a key. */
typedef uint64_t (*ov_hash_fn_t)(const void *key);
/** An equality of keys: 0 when a and b are equal. */
typedef int32_t (*ov_hash_equal_fn_t)(const void *a, const void *b);
/** A copy of a key or value: the object to store, or null when it cannot
 * make one. */
typedef void *(*ov_hash_copy_fn_t)(const void *item);
/** Frees a stored key or value. */
typedef void (*ov_hash_free_fn_t)(void *item);

/** A table; only ov_hash_new and its companions make one, so its layout
 * stays private. */
typedef struct ov_hash ov_hash_t;
/** One entry of a table, reached through an iterator. */
typedef struct ov_hash_entry ov_hash_entry_t;

/** A by-value iterator: the table, the bucket index and the entry it stands
 * on; entry is null at the end. */
typedef struct ov_hash_iter {
    ov_hash_t *table;       /**< the table walked */
    uint64_t bucket;        /**< the bucket of the entry */
    ov_hash_entry_t *entry; /**< the entry, or null at the end */
} ov_hash_iter_t;

/** The load of a table, from ov_hash_stats(); the caller frees it with free(). */
typedef struct ov_hash_stats {
    double load_factor;      /**< entries / buckets */
    double used_fraction;    /**< buckets holding entries / buckets */
    double mean_chain;       /**< entries / buckets holding entries */
    uint64_t longest_chain;  /**< entries in the fullest bucket */
    uint64_t shortest_chain; /**< entries in the emptiest bucket that has any */
} ov_hash_stats_t;

OV_EXTERN_C_BEGIN

/* ---- Tables ------------------------------------------------------------- */

/** A new empty table with ov_next_prime(size - 1) buckets, or 2 when size is
 * below 2. Every function must be given.
 * @param size        the wanted number of buckets
 * @param hash        the hash of keys
 * @param equal       the equality of keys
 * @param key_copy    copies a key to store
 * @param value_copy  copies a value to store
 * @param key_free    frees a stored key
 * @param value_free  frees a stored value
 * @return the table; null when a function is null, when size - 1 lies above
 * the largest 32-bit prime, or when the memory cannot be had (logged). */
OV_API ov_hash_t *ov_hash_new(uint64_t size, ov_hash_fn_t hash, ov_hash_equal_fn_t equal,
                              ov_hash_copy_fn_t key_copy, ov_hash_copy_fn_t value_copy,
                              ov_hash_free_fn_t key_free, ov_hash_free_fn_t value_free) OV_NOEXCEPT;
/** ov_hash_new for a table whose values are stored unchanged and never freed
 * (identity copy, ov_free_nop), as a set of keys uses it.
 * @param size        the wanted number of buckets
 * @param hash        the hash of keys
 * @param equal       the equality of keys
 * @param key_copy    copies a key to store
 * @param key_free    frees a stored key
 * @return as ov_hash_new. */
OV_API ov_hash_t *ov_hash_new_keys(uint64_t size, ov_hash_fn_t hash, ov_hash_equal_fn_t equal,
                                   ov_hash_copy_fn_t key_copy,
                                   ov_hash_free_fn_t key_free) OV_NOEXCEPT;
/** ov_hash_new storing the table in *out (untouched on failure).
 * @param out         receives the table
 * @param size        the wanted number of buckets
 * @param hash        the hash of keys
 * @param equal       the equality of keys
 * @param key_copy    copies a key to store
 * @param value_copy  copies a value to store
 * @param key_free    frees a stored key
 * @param value_free  frees a stored value
 * @return 0, EINVAL when out or a function is null, ENOMEM when the table
 * cannot be made (also for a size above the largest 32-bit prime). */
OV_API int32_t ov_hash_create(ov_hash_t **out, uint64_t size, ov_hash_fn_t hash,
                              ov_hash_equal_fn_t equal, ov_hash_copy_fn_t key_copy,
                              ov_hash_copy_fn_t value_copy, ov_hash_free_fn_t key_free,
                              ov_hash_free_fn_t value_free) OV_NOEXCEPT;
/** Clears the table and frees it; nothing for null.
 * @param table  the table
 */
OV_API void ov_hash_free(ov_hash_t *table) OV_NOEXCEPT;
/** Frees every entry (value free, then key free; a null value is not given
 * to value free) and every bucket, and stops the cursor. The bucket count
 * stays.
 * @param table  the table
 */
OV_API void ov_hash_clear(ov_hash_t *table) OV_NOEXCEPT;

/* ---- Look-ups ----------------------------------------------------------- */

/** The value stored for key.
 * @param table  the table
 * @param key    the key
 * @return the stored value of key's entry; null when there is none (or its
 * value is null). */
OV_API void *ov_hash_get(const ov_hash_t *table, const void *key) OV_NOEXCEPT;
/** The key stored for key.
 * @param table  the table
 * @param key    the key
 * @return the stored key of key's entry, null when there is none: the
 * membership test of a table of keys. */
OV_API void *ov_hash_get_key(const ov_hash_t *table, const void *key) OV_NOEXCEPT;
/** An iterator on key's entry.
 * @param table  the table
 * @param key    the key
 * @return an iterator standing on key's entry, or { table, 0, null } when
 * there is none. */
OV_API ov_hash_iter_t ov_hash_find(ov_hash_t *table, const void *key) OV_NOEXCEPT;

/* ---- Changes ------------------------------------------------------------ */

/** Inserts key with value, or gives a present key the new value; a null
 * value stores null. A replaced value goes to value free (unless the new
 * stored value is the same pointer). May grow the table. *flag (when flag
 * is not null) is 1 when the value was stored, 0 when nothing changed.
 * @param table  the table
 * @param key    the key
 * @param value  the value, or null
 * @param flag   receives 1 when the value was stored; may be null
 * @return the stored value, with flag 1; the old stored value with flag 0
 * when the new value's copy failed; null with flag 0 when a new entry could
 * not be made (a copy or allocation failed, logged) or for a null table or
 * key. */
OV_API void *ov_hash_put(ov_hash_t *table, const void *key, const void *value,
                         int32_t *flag) OV_NOEXCEPT;
/** Inserts key with value unless key is present with a non-null value. May
 * grow the table. *inserted (when not null) is 1 when the value was stored.
 * @param table     the table
 * @param key       the key
 * @param value     the value, or null
 * @param inserted  receives 1 when the value was stored; may be null
 * @return the present value with inserted 0, leaving it unchanged; the
 * stored value with inserted 1, also when a present key's null value was
 * filled in; null with inserted 0 when the entry could not be made (a copy
 * or allocation failed, logged) or for a null table or key. */
OV_API void *ov_hash_insert(ov_hash_t *table, const void *key, const void *value,
                            int32_t *inserted) OV_NOEXCEPT;
/** Inserts key with a null value unless it is present. May grow the table.
 * @param table     the table
 * @param key       the key
 * @param inserted  receives 1 when the key was stored; may be null
 * @return the stored key of the present entry with inserted 0; the new
 * stored key with inserted 1; null with inserted 0 when the entry could not
 * be made (logged) or for a null table or key. */
OV_API void *ov_hash_insert_key(ov_hash_t *table, const void *key, int32_t *inserted) OV_NOEXCEPT;
/** Removes key's entry (value free, then key free); a bucket left empty is
 * freed. An embedded cursor standing on the entry is stopped.
 * @param table  the table
 * @param key    the key
 * @return 1 when an entry was removed, 0 when there was none. */
OV_API int32_t ov_hash_remove(ov_hash_t *table, const void *key) OV_NOEXCEPT;
/** Moves every entry into ov_next_prime(size - 1) buckets (2 for a size
 * below 2), which may also be fewer; the entries themselves are neither
 * copied nor moved. All or nothing: the new buckets are allocated before
 * the first entry moves. Stops the cursor on success.
 * @param table  the table
 * @param size   the wanted number of buckets
 * @return 1; 0 when the memory cannot be had or size - 1 lies above the
 * largest 32-bit prime (logged), leaving the table as it was. */
OV_API int32_t ov_hash_grow(ov_hash_t *table, uint64_t size) OV_NOEXCEPT;
/** Exchanges the complete contents of two tables: entries, buckets, cursor
 * and functions.
 * @param a  one table
 * @param b  the other
 */
OV_API void ov_hash_swap(ov_hash_t *a, ov_hash_t *b) OV_NOEXCEPT;

/* ---- Size and load ------------------------------------------------------ */

/** The number of entries.
 * @param table  the table
 * @return the number of entries (0 for null). */
OV_API uint64_t ov_hash_count(const ov_hash_t *table) OV_NOEXCEPT;
/** Whether the table is empty.
 * @param table  the table
 * @return 1 when the table has no entries (also for null), else 0. */
OV_API int32_t ov_hash_is_empty(const ov_hash_t *table) OV_NOEXCEPT;
/** The number of buckets.
 * @param table  the table
 * @return the number of buckets (0 for null). */
OV_API uint64_t ov_hash_size(const ov_hash_t *table) OV_NOEXCEPT;
/** The load of the table.
 * @param table  the table
 * @return a new statistics record for the caller to free(); null for an
 * empty or null table or when the memory cannot be had. */
OV_API ov_hash_stats_t *ov_hash_stats(const ov_hash_t *table) OV_NOEXCEPT;

/* ---- Walking ------------------------------------------------------------ */

/** Puts the embedded cursor on the first entry in bucket order (at the end
 * for an empty table).
 * @param table  the table
 */
OV_API void ov_hash_first(ov_hash_t *table) OV_NOEXCEPT;
/** Moves the cursor to the following entry.
 * @param table  the table
 * @return 1 while it stands on an entry, 0 at the end. */
OV_API int32_t ov_hash_next(ov_hash_t *table) OV_NOEXCEPT;
/** @{ */
/** The entry under the cursor.
 * @param table  the table
 * @return the key, respectively the value, under the cursor; null at the
 * end. */
OV_API void *ov_hash_cursor_key(const ov_hash_t *table) OV_NOEXCEPT;
OV_API void *ov_hash_cursor_value(const ov_hash_t *table) OV_NOEXCEPT;
/** @} */

/** Sets *iter to the end of table: { table, 0, null }.
 * @param iter   the iterator
 * @param table  the table
 */
OV_API void ov_hash_iter_end(ov_hash_iter_t *iter, ov_hash_t *table) OV_NOEXCEPT;
/** Sets *iter on the head of the first bucket that has entries (the end for
 * an empty table).
 * @param iter   the iterator
 * @param table  the table
 */
OV_API void ov_hash_iter_begin(ov_hash_iter_t *iter, ov_hash_t *table) OV_NOEXCEPT;
/** Moves *iter along its chain, then to the head of the next bucket that has
 * entries, then to the end; an iterator at the end stays there.
 * @param iter  the iterator
 */
OV_API void ov_hash_iter_next(ov_hash_iter_t *iter) OV_NOEXCEPT;
/** @{ */
/** The entry under the iterator.
 * @param iter  the iterator
 * @return the key, respectively the value, of the iterator's entry; null at
 * the end. */
OV_API void *ov_hash_iter_key(const ov_hash_iter_t *iter) OV_NOEXCEPT;
OV_API void *ov_hash_iter_value(const ov_hash_iter_t *iter) OV_NOEXCEPT;
/** @} */

/* ---- Primes ------------------------------------------------------------- */

/** The next prime.
 * @param n  the lower bound
 * @return the smallest prime not below n; 0 for n = 0 and for n above
 * 4294967291, the largest 32-bit prime. */
OV_API uint32_t ov_next_prime(uint32_t n) OV_NOEXCEPT;

/* ---- Ready-made functions ----------------------------------------------- */

/** @{ */
/** 64-bit FNV-1a (offset basis 0xcbf29ce484222325, prime 0x100000001b3) of
 * a NUL-terminated string's bytes, and of the 1, 2, 4 or 8 bytes of a
 * fixed-width key as they lie in memory.
 * @param key  the key
 * @return the hash.
 */
OV_API uint64_t ov_hash_string(const void *key) OV_NOEXCEPT;
OV_API uint64_t ov_hash_8(const void *key) OV_NOEXCEPT;
OV_API uint64_t ov_hash_16(const void *key) OV_NOEXCEPT;
OV_API uint64_t ov_hash_32(const void *key) OV_NOEXCEPT;
OV_API uint64_t ov_hash_64(const void *key) OV_NOEXCEPT;
/** @} */

/** @{ */
/** Equalities, 0 exactly when the keys are equal: strcmp for strings; the
 * difference of two signed or unsigned 8-bit or 16-bit values; the
 * difference of two 32-bit values taken modulo 2^32; for 8-byte keys 0 when
 * all eight bytes agree, else 1.
 * @param a  one key
 * @param b  the other
 * @return 0 when the keys are equal, else non-zero as described.
 */
OV_API int32_t ov_hash_equal_string(const void *a, const void *b) OV_NOEXCEPT;
OV_API int32_t ov_hash_equal_i8(const void *a, const void *b) OV_NOEXCEPT;
OV_API int32_t ov_hash_equal_u8(const void *a, const void *b) OV_NOEXCEPT;
OV_API int32_t ov_hash_equal_i16(const void *a, const void *b) OV_NOEXCEPT;
OV_API int32_t ov_hash_equal_u16(const void *a, const void *b) OV_NOEXCEPT;
OV_API int32_t ov_hash_equal_32(const void *a, const void *b) OV_NOEXCEPT;
OV_API int32_t ov_hash_equal_64(const void *a, const void *b) OV_NOEXCEPT;
/** @} */

/** @{ */
/** Copies on the heap, to be freed with free(): the string (strdup), or the
 * 1, 2, 4 or 8 bytes of a fixed-width key.
 * @param key  the key
 * @return null when the memory
 * cannot be had. */
OV_API void *ov_hash_copy_string(const void *key) OV_NOEXCEPT;
OV_API void *ov_hash_copy_8(const void *key) OV_NOEXCEPT;
OV_API void *ov_hash_copy_16(const void *key) OV_NOEXCEPT;
OV_API void *ov_hash_copy_32(const void *key) OV_NOEXCEPT;
OV_API void *ov_hash_copy_64(const void *key) OV_NOEXCEPT;
/** @} */

/** The identity copy:
 * @param item  the key or value
 * @return item itself. */
OV_API void *ov_hash_copy_identity(const void *item) OV_NOEXCEPT;
/** A free function that frees nothing.
 * @param item  ignored
 */
OV_API void ov_free_nop(void *item) OV_NOEXCEPT;

OV_EXTERN_C_END

/** @} */

#endif
