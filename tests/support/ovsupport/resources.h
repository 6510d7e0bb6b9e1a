// resources.h - what a process holds, for the leak checks of the tests and
// the reliability harness.
#pragma once

#include <malloc.h>

#include <cstddef>

#include "ovsupport/files.h"
#include "ovsupport/sanitizers.h"

#ifdef OV_TEST_SANITIZED
// The sanitizer runtimes export this; not every compiler ships its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace ovsupport {

// Bytes of heap in use. Under a sanitizer, whose allocator replaces the C
// library's, the sanitizer's own count.
inline size_t heap_in_use() {
#ifdef OV_TEST_SANITIZED
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// This process's open descriptors and threads, as /proc lists them.
inline size_t open_descriptors() {
    return entries("/proc/self/fd").size();
}
inline size_t thread_count() {
    return entries("/proc/self/task").size();
}

}  // namespace ovsupport
