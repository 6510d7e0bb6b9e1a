// internal/errno_guard.h - keeps the caller's errno across a scope.
#pragma once

#include <cerrno>

namespace ov::detail {

class ErrnoGuard {
  public:
    ErrnoGuard() noexcept : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard &) = delete;
    ErrnoGuard &operator=(const ErrnoGuard &) = delete;

  private:
    int saved_;
};

}  // namespace ov::detail
