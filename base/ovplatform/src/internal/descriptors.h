// internal/descriptors.h - closing every descriptor above a number, as a
// process about to run another program does.
//
// A loop of close(2) up to the open-file limit costs one system call per
// possible descriptor: with RLIMIT_NOFILE at 1,048,576, a common container
// default, that is a million calls for every child started. The kernel's
// close_range(2) does it in one; where it is missing, the descriptors that are
// open are read from /proc/self/fd; only where that fails too does the loop
// run. Everything here is async-signal-safe (no allocation, no locks), so a
// child of a threaded process may call it between fork and exec.
#pragma once

namespace ov::detail {

// Closes every open descriptor numbered first or higher; the same set as
// close(2) of each number from first up to the open-file limit (1024 when
// the system reports none). Nothing for first below 0.
void close_descriptors_from(int first) noexcept;

// The same, except the count descriptors of keep (in any order; numbers
// below first are ignored, and only the first eight are kept).
void close_descriptors_except(int first, const int *keep, int count) noexcept;

// The open-file limit as sysconf(_SC_OPEN_MAX) reports it, or 1024 when it
// reports none.
long open_file_limit() noexcept;

// One way of closing, for the tests that check all three close the same set.
// @return false when the way is not available here (nothing was closed).
enum class CloseWay { kCloseRange, kListed, kLoop };
bool close_descriptors_by(CloseWay way, int first) noexcept;
bool close_descriptors_except_by(CloseWay way, int first, const int *keep, int count) noexcept;

}  // namespace ov::detail
