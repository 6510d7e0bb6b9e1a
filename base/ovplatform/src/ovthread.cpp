// ovthread.cpp - starting, joining and identifying threads; sleeping.
//
// Starts POSIX threads with one piece of policy, a minimum stack of 256 KiB,
// joins and identifies them, and puts the calling thread to sleep for a
// number of milliseconds. The sleep is a single usleep on purpose: a signal
// handler that runs during it ends the sleep early, which is what lets a
// polling loop react to a signal at once.
#include <ovplatform/ovthread.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#define OV_LOG_SOURCE "base/ovplatform/src/ovthread"
#include "internal/log.h"

namespace {

// Set at the first failed stack resize so that the warning appears once per
// process, whichever thread spawns.
std::atomic<bool> g_stack_warning_logged{false};

// Owns a thread-attributes object for the length of one spawn.
class ThreadAttr {
  public:
    ThreadAttr() noexcept : rc_(pthread_attr_init(&attr_)) {}
    ~ThreadAttr() {
        if (rc_ == 0) pthread_attr_destroy(&attr_);
    }
    ThreadAttr(const ThreadAttr &) = delete;
    ThreadAttr &operator=(const ThreadAttr &) = delete;
    int init_result() const { return rc_; }
    pthread_attr_t *get() { return &attr_; }

  private:
    pthread_attr_t attr_;
    int rc_;
};

// Raises a small default stack to the minimum. Some systems default to stacks
// too small for the library's 8 KiB path and text buffers; a default of 0
// means the system chooses and is left alone, as is any larger default.
void ensure_min_stack(pthread_attr_t *attr) {
    size_t size = 0;
    if (pthread_attr_getstacksize(attr, &size) != 0) return;
    if (size == 0 || size >= OV_THREAD_MIN_STACK) return;
    const int rc = pthread_attr_setstacksize(attr, OV_THREAD_MIN_STACK);
    if (rc != 0 && !g_stack_warning_logged.exchange(true, std::memory_order_relaxed))
        OV_LOG(kLogInfo, "ov_thread_spawn: pthread_attr_setstacksize(%zu) error %d",
               static_cast<size_t>(OV_THREAD_MIN_STACK), rc);
}

}  // namespace

extern "C" {

int32_t ov_thread_spawn(ov_thread_t *thread, ov_thread_start_t start, void *arg) noexcept {
    if (start == nullptr) return EINVAL;
    ThreadAttr attr;
    if (attr.init_result() != 0) {
        OV_LOG(kLogError, "ov_thread_spawn: pthread_attr_init() error %d", attr.init_result());
        return attr.init_result();
    }
    ensure_min_stack(attr.get());
    if (thread == nullptr) {
        const int rc = pthread_attr_setdetachstate(attr.get(), PTHREAD_CREATE_DETACHED);
        if (rc != 0) return rc;
        pthread_t detached;
        return pthread_create(&detached, attr.get(), start, arg);
    }
    // The caller logs a failure to create: it knows what the thread was for.
    return pthread_create(thread, attr.get(), start, arg);
}

int32_t ov_thread_join(ov_thread_t *thread) noexcept {
    if (thread == nullptr || *thread == 0) return ESRCH;
    const int rc = pthread_join(*thread, nullptr);
    // After a join the identifier may be reused for a new thread; clearing it
    // keeps a second join or an is-alive check from reaching that thread.
    if (rc == 0) *thread = 0;
    return rc;
}

int32_t ov_thread_sleep_ms(uint32_t ms) noexcept {
    // No retry after EINTR: the early return is the point of this sleep.
    if (usleep(ms * 1000u) != 0) return errno;
    return 0;
}

ov_thread_t ov_thread_self(void) noexcept {
    return pthread_self();
}

ov_thread_t ov_thread_id(const ov_thread_t *thread) noexcept {
    return thread == nullptr ? 0 : *thread;
}

void ov_thread_exit(int32_t status) noexcept {
    pthread_exit(reinterpret_cast<void *>(static_cast<intptr_t>(status)));
}

int ov_thread_is_alive(const ov_thread_t *thread) noexcept {
    if (thread == nullptr || *thread == 0) return 0;
    return pthread_kill(*thread, 0) == 0 ? 1 : 0;
}

}  // extern "C"
