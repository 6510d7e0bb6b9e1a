// hash_testing.h - the test-only hook of the hash table module.
//
// Every allocation the hash table module makes (tables, bucket arrays,
// buckets, entries, statistics records and the copies of its ready-made
// copy functions) goes through one function, which a test can tell to fail
// once. A test counts the allocations an operation makes, then repeats the
// operation with each of them failing in turn and checks that the table is
// exactly as it was. Nothing in the shipped library calls this; until a
// test does, allocations are neither counted nor failed.
#ifndef OV_INTERNAL_HASH_TESTING_H
#define OV_INTERNAL_HASH_TESTING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The shared library does not export this function. A test program linked
// to it defines OV_TEST_HOOK_WEAK, which makes the declaration weak: the
// program then links, and finds the function's address null at run time.
#ifndef OV_TEST_HOOK
#ifdef OV_TEST_HOOK_WEAK
#define OV_TEST_HOOK __attribute__((weak))
#else
#define OV_TEST_HOOK
#endif
#endif

// Starts counting the module's allocations from 0 and makes the one numbered
// index fail (once); a negative index fails none. The count and the failure
// are process-wide: use it from one thread at a time.
// @return the allocations counted since the previous call (0 the first time).
OV_TEST_HOOK int64_t ov_hash_test_fail_allocation(int64_t index);

#ifdef __cplusplus
}
#endif

#endif
