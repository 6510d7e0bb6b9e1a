// ovsynchron_test.cpp - mutexes and condition records, driven from two
// threads that move in lock-step.
#include <ovplatform/ovsynchron.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

// A one-way handshake: one thread opens it, others wait until it is open.
class Gate {
  public:
    void open() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

int64_t monotonic_usec() {
    ov_timeval_t t{};
    ov_time_monotonic_now(&t);
    return t.tv_sec * 1000000 + t.tv_usec;
}

// ThreadSanitizer reports a release by a non-owner or the use of a destroyed
// mutex as a bug of the program before the call even reaches the system;
// tests that commit these errors on purpose run in the other builds only.
bool under_thread_sanitizer() {
#if defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return true;
#endif
#endif
    return false;
}

// Tries the mutex from a fresh thread, giving it back if taken: EBUSY while
// any other thread holds it, 0 when it is free.
int32_t try_from_other_thread(ov_mutex_t *mutex) {
    int32_t rc = -1;
    std::thread([&] {
        rc = ov_mutex_acquire_nb(mutex);
        if (rc == 0) EXPECT_OV_OK(ov_mutex_release(mutex));
    }).join();
    return rc;
}

class MutexTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_OV_OK(ov_mutex_init(&mutex_)); }
    void TearDown() override { EXPECT_OV_OK(ov_mutex_destroy(&mutex_)); }
    ov_mutex_t mutex_;
};

using MutexDeathTest = MutexTest;

TEST_F(MutexDeathTest, ReacquireWithoutHookAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(ov_mutex_set_reacquire_hook(nullptr), nullptr);
    EXPECT_EXIT(
        {
            ov_mutex_acquire(&mutex_);
            ov_mutex_acquire(&mutex_);
            // Reaching this line means the second acquire returned.
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGABRT), "");
}

std::atomic<int> g_hook_calls{0};
void count_hook() {
    g_hook_calls.fetch_add(1);
}

TEST_F(MutexTest, ReacquireWithHookReturnsDeadlockAndKeepsOneHold) {
    g_hook_calls = 0;
    ASSERT_EQ(ov_mutex_set_reacquire_hook(count_hook), nullptr);
    ASSERT_OV_OK(ov_mutex_acquire(&mutex_));
    EXPECT_EQ(ov_mutex_acquire(&mutex_), EDEADLK);
    EXPECT_EQ(g_hook_calls.load(), 1);
    // Held exactly once: one release frees it.
    EXPECT_EQ(try_from_other_thread(&mutex_), EBUSY);
    EXPECT_OV_OK(ov_mutex_release(&mutex_));
    EXPECT_EQ(try_from_other_thread(&mutex_), 0);
    EXPECT_EQ(ov_mutex_set_reacquire_hook(nullptr), &count_hook);
}

TEST(MutexRecursive, OwnerMayLockAgainAndUnlocksAsOften) {
    ov_mutex_t mutex;
    ASSERT_OV_OK(ov_mutex_init_recursive(&mutex));
    ASSERT_OV_OK(ov_mutex_acquire(&mutex));
    ASSERT_OV_OK(ov_mutex_acquire(&mutex));
    EXPECT_OV_OK(ov_mutex_acquire_nb(&mutex));
    EXPECT_OV_OK(ov_mutex_release(&mutex));
    EXPECT_OV_OK(ov_mutex_release(&mutex));
    EXPECT_EQ(try_from_other_thread(&mutex), EBUSY) << "one hold is left";
    EXPECT_OV_OK(ov_mutex_release(&mutex));
    EXPECT_EQ(try_from_other_thread(&mutex), 0);
    EXPECT_OV_OK(ov_mutex_destroy(&mutex));
}

TEST_F(MutexTest, TryLockAndReleaseAgainstAnotherHolder) {
    Gate held, done;
    std::thread holder([&] {
        EXPECT_OV_OK(ov_mutex_acquire(&mutex_));
        held.open();
        done.wait();
        EXPECT_OV_OK(ov_mutex_release(&mutex_));
    });
    held.wait();
    EXPECT_EQ(ov_mutex_acquire_nb(&mutex_), EBUSY);
    if (!under_thread_sanitizer()) {
        EXPECT_EQ(ov_mutex_release(&mutex_), EPERM);
    }
    done.open();
    holder.join();

    // Free again: the try takes it. A second try by the owner only finds the
    // mutex busy (the system does not tell owner from stranger here) and,
    // unlike a blocking acquire, never aborts.
    EXPECT_OV_OK(ov_mutex_acquire_nb(&mutex_));
    EXPECT_EQ(ov_mutex_acquire_nb(&mutex_), EBUSY);
    EXPECT_OV_OK(ov_mutex_release(&mutex_));
    EXPECT_EQ(try_from_other_thread(&mutex_), 0);
}

TEST_F(MutexTest, ReleaseOfAFreeMutexIsRefused) {
    if (under_thread_sanitizer()) GTEST_SKIP() << "deliberate release of a free mutex";
    EXPECT_EQ(ov_mutex_release(&mutex_), EPERM);
}

TEST(MutexDestroyed, AcquireReportsInvalid) {
    if (under_thread_sanitizer()) GTEST_SKIP() << "deliberate use of a destroyed mutex";
    ov_mutex_t mutex;
    ASSERT_OV_OK(ov_mutex_init(&mutex));
    ASSERT_OV_OK(ov_mutex_destroy(&mutex));
    EXPECT_EQ(ov_mutex_acquire(&mutex), EINVAL);
    EXPECT_EQ(ov_mutex_acquire_nb(&mutex), EINVAL);
}

TEST(MutexHeap, CreateAndFreeClearThePointer) {
    ov_mutex_t *mutex = nullptr;
    ASSERT_OV_OK(ov_mutex_create(&mutex));
    ASSERT_NE(mutex, nullptr);
    // Error-checking like a mutex made in place: the owner's second acquire
    // is caught (here by the hook) instead of deadlocking or nesting.
    g_hook_calls = 0;
    ASSERT_EQ(ov_mutex_set_reacquire_hook(count_hook), nullptr);
    ASSERT_OV_OK(ov_mutex_acquire(mutex));
    EXPECT_EQ(ov_mutex_acquire(mutex), EDEADLK);
    EXPECT_EQ(g_hook_calls.load(), 1);
    ov_mutex_set_reacquire_hook(nullptr);
    EXPECT_EQ(try_from_other_thread(mutex), EBUSY);
    ASSERT_OV_OK(ov_mutex_release(mutex));
    ov_mutex_free(&mutex);
    EXPECT_EQ(mutex, nullptr);
    ov_mutex_free(&mutex);
    ov_mutex_free(nullptr);
}

// A condition record with its mutex, as the keep-alive worker uses them.
class CondTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_OV_OK(ov_mutex_init(&mutex_));
        ASSERT_OV_OK(ov_cond_init(&cond_, &mutex_));
        ASSERT_EQ(cond_.mutex, &mutex_);
    }
    void TearDown() override {
        EXPECT_OV_OK(ov_cond_destroy(&cond_));
        EXPECT_OV_OK(ov_mutex_destroy(&mutex_));
    }

    // Runs wait on a second thread until the main thread sets a flag and
    // signals; returns the wait's result and how long the waiter waited.
    std::pair<int32_t, int64_t> wake_waiter(const std::function<int32_t(ov_cond_t *)> &wait) {
        Gate waiting;
        bool flag = false;  // protected by mutex_
        int32_t rc = -1;
        int64_t waited_usec = -1;
        std::thread waiter([&] {
            EXPECT_OV_OK(ov_mutex_acquire(&mutex_));
            // Opened while holding the mutex: the main thread's acquire below
            // can only succeed once this thread is inside its wait.
            waiting.open();
            const int64_t start = monotonic_usec();
            while (!flag) {
                rc = wait(&cond_);
                if (rc != 0) break;
            }
            waited_usec = monotonic_usec() - start;
            // Whatever the result, the wait returns with the mutex held.
            EXPECT_OV_OK(ov_mutex_release(&mutex_));
        });
        waiting.wait();
        EXPECT_OV_OK(ov_mutex_acquire(&mutex_));
        flag = true;
        EXPECT_OV_OK(ov_cond_signal(&cond_));
        EXPECT_OV_OK(ov_mutex_release(&mutex_));
        waiter.join();
        return {rc, waited_usec};
    }

    ov_mutex_t mutex_;
    ov_cond_t cond_;
};

TEST_F(CondTest, TimedWaitTimesOutWithTheMutexHeldAgain) {
    const ov_timeval_t timeout{0, 200000};
    ASSERT_OV_OK(ov_mutex_acquire(&mutex_));
    const int64_t start = monotonic_usec();
    EXPECT_EQ(ov_cond_timedwait(&cond_, &timeout), ETIMEDOUT);
    EXPECT_GE(monotonic_usec() - start, 200000);
    EXPECT_EQ(try_from_other_thread(&mutex_), EBUSY) << "the waiter holds the mutex again";
    EXPECT_OV_OK(ov_mutex_release(&mutex_));
}

TEST_F(CondTest, WaitsThatEndAtOnce) {
    const ov_timeval_t zero{0, 0}, minus_infinite{INT64_MIN, 0}, negative{-5, 0};
    for (const auto *timeout : {&zero, &minus_infinite, &negative}) {
        SCOPED_TRACE(std::to_string(timeout->tv_sec));
        ASSERT_OV_OK(ov_mutex_acquire(&mutex_));
        EXPECT_EQ(ov_cond_timedwait(&cond_, timeout), ETIMEDOUT);
        EXPECT_OV_OK(ov_mutex_release(&mutex_));
    }
    ASSERT_OV_OK(ov_mutex_acquire(&mutex_));
    EXPECT_EQ(ov_cond_wait_ms(&cond_, 0), ETIMEDOUT);
    EXPECT_EQ(ov_cond_wait_ms(&cond_, 50), ETIMEDOUT);
    EXPECT_OV_OK(ov_mutex_release(&mutex_));
}

TEST_F(CondTest, EveryWaitIsEndedByASignal) {
    // Long and endless timeouts alike must end with the signal, not with the
    // deadline: an infinite or huge timeout must not wrap into the past.
    const ov_timeval_t thirty{30, 0}, infinite{INT64_MAX, 999999}, huge{INT64_MAX - 1, 0};
    const std::vector<std::pair<const char *, std::function<int32_t(ov_cond_t *)>>> waits = {
        {"timedwait 30 s", [&](ov_cond_t *c) { return ov_cond_timedwait(c, &thirty); }},
        {"timedwait infinite", [&](ov_cond_t *c) { return ov_cond_timedwait(c, &infinite); }},
        {"timedwait huge", [&](ov_cond_t *c) { return ov_cond_timedwait(c, &huge); }},
        {"timedwait null", [](ov_cond_t *c) { return ov_cond_timedwait(c, nullptr); }},
        {"wait_ms 30000", [](ov_cond_t *c) { return ov_cond_wait_ms(c, 30000); }},
        {"wait_ms -1", [](ov_cond_t *c) { return ov_cond_wait_ms(c, -1); }},
        {"wait", [](ov_cond_t *c) { return ov_cond_wait(c); }},
    };
    for (const auto &[name, wait] : waits) {
        SCOPED_TRACE(name);
        const auto [rc, waited_usec] = wake_waiter(wait);
        EXPECT_EQ(rc, 0);
        EXPECT_LT(waited_usec, 20 * 1000000);
    }
}

TEST_F(CondTest, BroadcastWakesEveryWaiter) {
    constexpr int kWaiters = 3;
    int waiting = 0;  // protected by mutex_
    bool go = false;  // protected by mutex_
    Gate all_waiting;
    std::vector<std::thread> threads;
    std::atomic<int> woken{0};
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back([&] {
            EXPECT_OV_OK(ov_mutex_acquire(&mutex_));
            if (++waiting == kWaiters) all_waiting.open();
            int32_t rc = 0;
            while (!go && rc == 0) rc = ov_cond_wait(&cond_);
            EXPECT_OV_OK(rc);
            woken.fetch_add(1);
            EXPECT_OV_OK(ov_mutex_release(&mutex_));
        });
    }
    all_waiting.wait();
    // Taking the mutex proves that the last waiter is inside its wait.
    ASSERT_OV_OK(ov_mutex_acquire(&mutex_));
    go = true;
    EXPECT_OV_OK(ov_cond_broadcast(&cond_));
    EXPECT_OV_OK(ov_mutex_release(&mutex_));
    for (auto &t : threads) t.join();
    EXPECT_EQ(woken.load(), kWaiters);
}

}  // namespace
