// internal/raii.h - owners that give a resource back when their scope ends.
//
// Descriptors, directory streams, held mutexes and malloc'ed memory are given
// back by one of these owners on every exit path, never by hand on each path.
// An owner is never copied, as a copy would give the resource back twice; the
// handle owners may be moved. Before a handle is given back the owner forgets
// it, so that a descriptor number the kernel may already have handed to
// another thread's open is never closed a second time.
#pragma once

#include <ovplatform/ovsynchron.h>

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace ov::detail {

// ---- Handles -----------------------------------------------------------------------------

// A file descriptor. Linux releases the descriptor even when close(2) fails,
// EINTR included, so a failed close is reported but never retried.
struct DescriptorTraits {
    using Handle = int;
    static constexpr Handle kNone = -1;
    static int give_back(Handle fd) noexcept { return ::close(fd) == 0 ? 0 : errno; }
};

// A directory stream. closedir(3) frees the stream even when it reports a
// failure.
struct DirStreamTraits {
    using Handle = DIR *;
    static constexpr Handle kNone = nullptr;
    static int give_back(Handle stream) noexcept { return ::closedir(stream) == 0 ? 0 : errno; }
};

// Owns one handle of the kind Traits describes and gives it back at the end
// of its scope, unless release() took it out before.
template <class Traits>
class ScopedHandle {
  public:
    using Handle = typename Traits::Handle;

    ScopedHandle() noexcept = default;
    explicit ScopedHandle(Handle handle) noexcept : handle_(handle) {}
    ScopedHandle(ScopedHandle &&other) noexcept : handle_(other.release()) {}
    ScopedHandle &operator=(ScopedHandle &&other) noexcept {
        if (this != &other) {
            (void)close();
            handle_ = other.release();
        }
        return *this;
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    ~ScopedHandle() { (void)close(); }

    Handle get() const noexcept { return handle_; }

    // Hands the handle to the caller, who gives it back from now on.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::kNone); }

    // Gives the handle back now, for a caller that wants to know whether
    // that worked. @return 0, also when nothing is owned, or the errno.
    int close() noexcept {
        const Handle handle = release();
        return handle == Traits::kNone ? 0 : Traits::give_back(handle);
    }

  private:
    Handle handle_ = Traits::kNone;
};

using FdCloser = ScopedHandle<DescriptorTraits>;
using DirCloser = ScopedHandle<DirStreamTraits>;

// ---- Locks -------------------------------------------------------------------------------

// The library's own mutex: its failures are logged, and re-locking it from
// the thread that holds it is caught.
struct LibraryMutexTraits {
    using Mutex = ov_mutex_t;
    static int lock(ov_mutex_t *mutex) noexcept { return ov_mutex_acquire(mutex); }
    static void unlock(ov_mutex_t *mutex) noexcept { (void)ov_mutex_release(mutex); }
};

// A plain system mutex, for the code that the library's logging itself runs
// through: a failure logged from there would come straight back into it.
struct SystemMutexTraits {
    using Mutex = pthread_mutex_t;
    static int lock(pthread_mutex_t *mutex) noexcept { return pthread_mutex_lock(mutex); }
    static void unlock(pthread_mutex_t *mutex) noexcept { (void)pthread_mutex_unlock(mutex); }
};

// Holds a mutex for a scope. A mutex that could not be taken is not given
// back: unlocking a mutex the thread does not hold is an error of its own.
template <class Traits>
class ScopedLock {
  public:
    using Mutex = typename Traits::Mutex;

    explicit ScopedLock(Mutex *mutex) noexcept : mutex_(mutex), result_(Traits::lock(mutex)) {}
    ~ScopedLock() {
        if (result_ == 0) Traits::unlock(mutex_);
    }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

    // 0 when the mutex is held, otherwise the locking call's error.
    int result() const noexcept { return result_; }

  private:
    Mutex *mutex_;
    int result_;
};

using MutexLock = ScopedLock<LibraryMutexTraits>;
using SystemMutexLock = ScopedLock<SystemMutexTraits>;

// ---- Memory ------------------------------------------------------------------------------

// Gives memory from malloc, calloc, realloc or strdup back to free, as the
// deleter of a std::unique_ptr.
struct FreeDeleter {
    void operator()(void *memory) const noexcept { std::free(memory); }
};

}  // namespace ov::detail
