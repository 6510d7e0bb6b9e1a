// internal/limits.h - the sizes that the library's fixed buffers are built from.
//
// Each limit has its name here, once; a module that needs a buffer a little
// larger or a text a little shorter derives its size from these and says why
// beside it. The public headers keep their own documented constants, and the
// modules that use those check that they agree with the names here.
#pragma once

#include <cstddef>

namespace ov::detail {

// A buffer that holds any path the library handles, with its terminating
// NUL: paths are at most kPathSize - 1 bytes long.
inline constexpr size_t kPathSize = 8192;

// The scratch of one account look-up (internal/account.h). A record of the
// account data base rarely needs more than the first size, which is kept in
// the result itself; a larger one grows on the heap by doubling up to the
// most, beyond which no sane record lies (a group with tens of thousands of
// members still fits).
inline constexpr size_t kAccountScratchFirst = 1024;
inline constexpr size_t kAccountScratchMost = size_t{1} << 20;

}  // namespace ov::detail
