// lockfile_testing.h - test-only timings of the lock-file module.
//
// The reliability harness and the unit tests shorten the gap between age
// probes and the keep-alive worker's refresh period, so that thousands of
// acquisitions and takeovers fit into a CI run, and can hold a contender back
// between its stale verdict and its takeover to widen the race between
// breakers. Nothing in the shipped tool calls these; a value of 0 restores
// the built-in timing.
#ifndef OV_INTERNAL_LOCKFILE_TESTING_H
#define OV_INTERNAL_LOCKFILE_TESTING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The shared library does not export this function. A test program linked
// to it defines OV_TEST_HOOK_WEAK, which makes the declaration weak: the
// program then links, and finds the function's address null at run time.
#ifdef OV_TEST_HOOK_WEAK
#define OV_TEST_HOOK __attribute__((weak))
#else
#define OV_TEST_HOOK
#endif

// probe_gap_ms: sleep between the three age probes (built in: 1000).
// refresh_ms: keep-alive worker's refresh period (built in: 1000); a worker
// reads it when it starts.
// takeover_delay_ms: pause after the third stale verdict (built in: 0).
OV_TEST_HOOK void ov_lockfile_set_test_timing(uint32_t probe_gap_ms, uint32_t refresh_ms,
                                              uint32_t takeover_delay_ms);

// The back-off of ov_lockfile_acquire_wait between tries: from first_ms,
// doubling up to max_ms (built in: 50 and 1000). A long one leaves a waiter
// nothing but the release on this host and its turn in the queue to wake
// it, which is what the tests of those watch. 0 restores the built-in value.
OV_TEST_HOOK void ov_lockfile_set_test_backoff(uint32_t first_ms, uint32_t max_ms);

#ifdef __cplusplus
}
#endif

#endif
