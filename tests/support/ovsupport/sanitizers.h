// sanitizers.h - whether this program is built with a sanitizer that keeps
// its own allocator and shadow memory (address or thread), under GCC's name
// for it or clang's. Tests that replace malloc or cap the address space are
// skipped there.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OV_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OV_TEST_SANITIZED 1
#endif
#endif
