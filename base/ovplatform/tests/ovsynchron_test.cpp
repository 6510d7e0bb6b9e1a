// ovsynchron_test.cpp - mutexes, condition records, counting semaphores,
// read-write locks and system-wide semaphores, driven from threads that move
// in lock-step and from child processes.
#include <ovplatform/ovlog.h>
#include <ovplatform/ovsynchron.h>

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using ovtest::Gate;
using ovtest::LogCapture;
using ovtest::monotonic_usec;

constexpr char kSource[] = "base/ovplatform/src/ovsynchron";
constexpr char kBtraceSource[] = "base/ovplatform/src/ovbtrace";

// Expects lines[at] to open the backtrace report: a level-1 line of the
// backtrace module with the frames' hash, followed by frame lines.
void expect_backtrace_at(const std::vector<ovtest::LogLine> &lines, size_t at) {
    ASSERT_GT(lines.size(), at + 1) << "no backtrace after the message";
    EXPECT_EQ(lines[at].level, 1u);
    EXPECT_EQ(lines[at].source, kBtraceSource);
    EXPECT_EQ(lines[at].text.rfind("Backtrace hash:0x", 0), 0u) << lines[at].text;
    EXPECT_EQ(lines[at + 1].text.rfind(" 0:0x", 0), 0u) << lines[at + 1].text;
}

int sem_value(ov_sem_t *sem) {
    int value = -1;
    EXPECT_EQ(sem_getvalue(sem, &value), 0);
    return value;
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

// The dying child's log goes to its standard error, one "level|text" line
// per message, where the death test's pattern can see it.
void log_to_stderr(uint32_t level, const char *, int, const char *format, va_list args) {
    std::fprintf(stderr, "%u|", level);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

TEST_F(MutexDeathTest, ReacquireWithoutHookLogsABacktraceAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(ov_mutex_set_reacquire_hook(nullptr), nullptr);
    EXPECT_EXIT(
        {
            if (ov_log_set_callback(log_to_stderr) != 0) std::exit(2);
            ov_mutex_acquire(&mutex_);
            ov_mutex_acquire(&mutex_);
            // Reaching this line means the second acquire returned.
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGABRT),
        "1\\|ov_mutex_acquire: attempt to reacquire non-recursive mutex\\.  Aborting\\.\n"
        "1\\|Backtrace hash:0x[^\n]*\n"
        "1\\| 0:0x");
}

std::atomic<int> g_hook_calls{0};
void count_hook() {
    g_hook_calls.fetch_add(1);
}

TEST_F(MutexTest, ReacquireWithHookReturnsDeadlockAndKeepsOneHold) {
    g_hook_calls = 0;
    ASSERT_EQ(ov_mutex_set_reacquire_hook(count_hook), nullptr);
    LogCapture log;
    ASSERT_TRUE(log.ok());
    ASSERT_OV_OK(ov_mutex_acquire(&mutex_));
    EXPECT_EQ(ov_mutex_acquire(&mutex_), EDEADLK);
    EXPECT_EQ(g_hook_calls.load(), 1);
    EXPECT_TRUE(log.lines().empty()) << "the hook replaces the report";
    // Held exactly once: one release frees it.
    EXPECT_EQ(try_from_other_thread(&mutex_), EBUSY);
    EXPECT_OV_OK(ov_mutex_release(&mutex_));
    EXPECT_EQ(try_from_other_thread(&mutex_), 0);
    EXPECT_EQ(ov_mutex_set_reacquire_hook(nullptr), &count_hook);
}

// Callers get the successful lock and unlock inlined; the exported
// functions, reached here through their parenthesised names, must behave
// the same for code that calls them by address.
TEST_F(MutexTest, ExportedFunctionsMatchTheInlineForms) {
    g_hook_calls = 0;
    ASSERT_EQ(ov_mutex_set_reacquire_hook(count_hook), nullptr);
    int32_t (*const acquire)(ov_mutex_t *) = (ov_mutex_acquire);
    int32_t (*const release)(ov_mutex_t *) = (ov_mutex_release);
    ASSERT_OV_OK(acquire(&mutex_));
    EXPECT_EQ(acquire(&mutex_), EDEADLK);
    EXPECT_EQ(g_hook_calls.load(), 1);
    EXPECT_EQ(try_from_other_thread(&mutex_), EBUSY);
    EXPECT_OV_OK(release(&mutex_));
    EXPECT_EQ(try_from_other_thread(&mutex_), 0);
    if (!under_thread_sanitizer()) {
        EXPECT_EQ(release(&mutex_), EPERM);
    }
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
    {
        LogCapture log;
        ASSERT_TRUE(log.ok());
        EXPECT_EQ(ov_mutex_acquire_nb(&mutex_), EBUSY);
        EXPECT_TRUE(log.lines().empty()) << "a busy mutex is an answer, not a failure";
        if (!under_thread_sanitizer()) {
            EXPECT_EQ(ov_mutex_release(&mutex_), EPERM);
            const auto lines = log.lines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].level, 3u);
            EXPECT_EQ(lines[0].source, kSource);
            EXPECT_EQ(lines[0].text, "ov_mutex_release failed. err=1");
        }
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
    LogCapture log;
    ASSERT_TRUE(log.ok());
    EXPECT_EQ(ov_mutex_acquire(&mutex), EINVAL);
    auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[0].source, kSource);
    EXPECT_EQ(lines[0].text, "ov_mutex_acquire: err=22");
    expect_backtrace_at(lines, 1);

    // The try reports the same mutex with one line and no backtrace.
    log.clear();
    EXPECT_EQ(ov_mutex_acquire_nb(&mutex), EINVAL);
    lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[0].text, "ov_mutex_acquire_nb: err=22");
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

TEST(Semaphore, CountsPostsAndTakes) {
    ov_sem_t sem;
    ASSERT_OV_OK(ov_sem_init(&sem, 2));
    EXPECT_OV_OK(ov_sem_trywait(&sem, 0));
    EXPECT_OV_OK(ov_sem_wait(&sem));
    EXPECT_EQ(ov_sem_trywait(&sem, 0), EAGAIN);
    EXPECT_OV_OK(ov_sem_post(&sem));
    EXPECT_EQ(sem_value(&sem), 1);
    ASSERT_OV_OK(ov_sem_destroy(&sem));
    // The destroyed object is left all zero bytes.
    const ov_sem_t zero{};
    EXPECT_EQ(std::memcmp(&sem, &zero, sizeof sem), 0);
}

TEST(Semaphore, CreateAndFreeClearThePointer) {
    ov_sem_t *sem = nullptr;
    ASSERT_OV_OK(ov_sem_create(&sem, 3));
    ASSERT_NE(sem, nullptr);
    EXPECT_EQ(sem_value(sem), 3);
    ov_sem_free(&sem);
    EXPECT_EQ(sem, nullptr);
    ov_sem_free(&sem);
    ov_sem_free(nullptr);
}

TEST(Semaphore, BlockingTakeIsWokenByAPost) {
    ov_sem_t sem;
    ASSERT_OV_OK(ov_sem_init(&sem, 0));
    Gate started;
    std::thread poster([&] {
        started.wait();
        EXPECT_OV_OK(ov_sem_post(&sem));
    });
    started.open();
    EXPECT_OV_OK(ov_sem_wait(&sem));
    poster.join();
    EXPECT_OV_OK(ov_sem_destroy(&sem));
}

TEST(Semaphore, TimedTakePollsEveryHalfSecond) {
    ov_sem_t sem;
    ASSERT_OV_OK(ov_sem_init(&sem, 0));
    // The timeout buys whole half-second polls, rounded down, and one try
    // more than polls. A take that counted one poll too many or too few would
    // end half a second away from where these bounds expect it.
    struct Case {
        uint32_t timeout_ms;
        int64_t polls;
    };
    for (const Case c : {Case{499, 0}, Case{1000, 2}, Case{1499, 2}}) {
        SCOPED_TRACE(c.timeout_ms);
        const int64_t start = monotonic_usec();
        EXPECT_EQ(ov_sem_trywait(&sem, c.timeout_ms), EAGAIN);
        const int64_t waited = monotonic_usec() - start;
        EXPECT_GE(waited, c.polls * 500000);
        EXPECT_LT(waited, (c.polls + 1) * 500000);
    }

    // A post during the polling is found by the next try.
    Gate started;
    std::thread poster([&] {
        started.wait();
        EXPECT_OV_OK(ov_sem_post(&sem));
    });
    started.open();
    EXPECT_OV_OK(ov_sem_trywait(&sem, 20000));
    poster.join();
    EXPECT_OV_OK(ov_sem_destroy(&sem));
}

// A signal caught during a poll's pause ends the whole take, without a try
// after the pause, as a caller that polls for a shutdown signal expects.
TEST(Semaphore, CaughtSignalEndsATimedTake) {
    ovtest::Usr1Handler handler;
    ASSERT_TRUE(handler.ok());
    ov_sem_t sem;
    ASSERT_OV_OK(ov_sem_init(&sem, 0));
    const ovtest::Interrupted take =
        ovtest::InterruptCall([&] { return ov_sem_trywait(&sem, 60000); });
    EXPECT_TRUE(take.ended);
    EXPECT_EQ(take.rc, EAGAIN);
    EXPECT_LT(take.usec, 30 * 1000000);
    EXPECT_EQ(sem_value(&sem), 0);
    EXPECT_OV_OK(ov_sem_destroy(&sem));
}

TEST(Semaphore, SeveralTakesShareOneTimeout) {
    ov_sem_t sem;
    ASSERT_OV_OK(ov_sem_init(&sem, 2));
    EXPECT_OV_OK(ov_sem_ntrywait(&sem, 0, 1000));
    EXPECT_EQ(sem_value(&sem), 2) << "no take for a count of 0";
    const int64_t start = monotonic_usec();
    EXPECT_EQ(ov_sem_ntrywait(&sem, 3, 1000), EAGAIN);
    EXPECT_GE(monotonic_usec() - start, 1000000);
    EXPECT_EQ(sem_value(&sem), 0) << "the two takes that succeeded are kept";
    EXPECT_OV_OK(ov_sem_destroy(&sem));
}

TEST(ReadWriteLock, ReadersShareAndWritersAlternate) {
    ov_rwlock_t *lock = nullptr;
    ASSERT_OV_OK(ov_rwlock_create(&lock));
    ASSERT_NE(lock, nullptr);

    ASSERT_OV_OK(ov_rwlock_rdlock(lock));
    Gate second_reader_in;
    std::thread reader([&] {
        EXPECT_OV_OK(ov_rwlock_rdlock(lock));
        second_reader_in.open();
        EXPECT_OV_OK(ov_rwlock_rdunlock(lock));
    });
    // The second reader gets in while the first still holds its read lock.
    second_reader_in.wait();
    reader.join();
    EXPECT_OV_OK(ov_rwlock_rdunlock(lock));

    int shared = 0;
    std::thread writer([&] {
        EXPECT_OV_OK(ov_rwlock_wrlock(lock));
        ++shared;
        EXPECT_OV_OK(ov_rwlock_wrunlock(lock));
    });
    EXPECT_OV_OK(ov_rwlock_wrlock(lock));
    ++shared;
    EXPECT_OV_OK(ov_rwlock_wrunlock(lock));
    writer.join();
    EXPECT_EQ(shared, 2);

    ov_rwlock_free(&lock);
    EXPECT_EQ(lock, nullptr);
    ov_rwlock_free(&lock);
    ov_rwlock_free(nullptr);
}

// System V semaphores outlive the process; every test removes what it opened.
class IpcSemTest : public ovtest::TempDirTest {
  protected:
    void TearDown() override {
        for (int32_t handle : opened_) ov_ipc_sem_remove(handle);
        TempDirTest::TearDown();
    }
    int32_t open_sem(const std::string &path) {
        int32_t handle = -1;
        EXPECT_OV_OK(ov_ipc_sem_open(&handle, path.c_str()));
        opened_.push_back(handle);
        return handle;
    }
    std::string existing_file() {
        const std::string file = path("sem");
        ovtest::write_file(file, "");
        return file;
    }
    std::vector<int32_t> opened_;
};

TEST_F(IpcSemTest, LocksLikeABinarySemaphore) {
    const int32_t sem = open_sem(existing_file());
    EXPECT_OV_OK(ov_ipc_sem_trylock(sem));
    EXPECT_EQ(ov_ipc_sem_trylock(sem), EAGAIN);
    EXPECT_OV_OK(ov_ipc_sem_unlock(sem));
    EXPECT_OV_OK(ov_ipc_sem_lock(sem));
    EXPECT_EQ(ov_ipc_sem_trylock(sem), EAGAIN);
    EXPECT_OV_OK(ov_ipc_sem_unlock(sem));
    EXPECT_OV_OK(ov_ipc_sem_close(sem));
    // Close leaves the semaphore in the system.
    EXPECT_OV_OK(ov_ipc_sem_trylock(sem));
    EXPECT_OV_OK(ov_ipc_sem_unlock(sem));
}

TEST_F(IpcSemTest, EveryOpenOfAPathMeetsTheSameSemaphoreAsItIs) {
    const std::string file = existing_file();
    const int32_t first = open_sem(file);
    ASSERT_OV_OK(ov_ipc_sem_lock(first));
    const int32_t second = open_sem(file);
    EXPECT_EQ(second, first);
    EXPECT_EQ(ov_ipc_sem_trylock(second), EAGAIN) << "opening again freed a held semaphore";
    EXPECT_OV_OK(ov_ipc_sem_unlock(first));
    EXPECT_OV_OK(ov_ipc_sem_trylock(second));
    EXPECT_OV_OK(ov_ipc_sem_unlock(second));
}

// A second process opens the path on its own while the first holds the
// semaphore: its try is refused, and its blocking lock returns only after the
// holder has let go. The holder announces its release on a pipe before it
// unlocks, so a lock granted any earlier finds the pipe still empty.
TEST_F(IpcSemTest, SecondProcessOpensAHeldSemaphoreWithoutFreeingIt) {
    const std::string file = existing_file();
    const int32_t sem = open_sem(file);
    ASSERT_OV_OK(ov_ipc_sem_lock(sem));
    int busy[2], released[2];
    ASSERT_EQ(pipe(busy), 0);
    ASSERT_EQ(pipe(released), 0);
    static const char *const kChildFailures[] = {
        "",
        "its open failed",
        "its open met another semaphore",
        "its try took the semaphore the first process holds",
        "it could not report back",
        "its blocking lock failed",
        "its blocking lock returned before the holder let go",
    };
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A child whose parent test has failed must not outlive it for long.
        alarm(60);
        close(busy[0]);
        close(released[1]);
        int32_t own = -1;
        if (ov_ipc_sem_open(&own, file.c_str()) != 0) _exit(1);
        if (own != sem) _exit(2);
        if (ov_ipc_sem_trylock(own) != EAGAIN) _exit(3);
        const char seen = 'b';
        if (write(busy[1], &seen, 1) != 1) _exit(4);
        if (ov_ipc_sem_lock(own) != 0) _exit(5);
        char announced = 0;
        if (fcntl(released[0], F_SETFL, O_NONBLOCK) != 0 || read(released[0], &announced, 1) != 1)
            _exit(6);
        ov_ipc_sem_unlock(own);
        _exit(0);
    }
    // The parent keeps its own reading end of released open until it has
    // written, so that a child that has already ended cannot turn the write
    // into SIGPIPE.
    close(busy[1]);
    char byte = 0;
    // Without the byte the child has ended early; its status says why.
    if (read(busy[0], &byte, 1) == 1) {
        EXPECT_EQ(semctl(sem, 0, GETVAL), 0) << "the second open changed the value";
        // The child is seen waiting in its lock before the holder lets go.
        const int64_t limit = monotonic_usec() + 10000000;
        while (semctl(sem, 0, GETNCNT) != 1 && monotonic_usec() < limit) usleep(1000);
        EXPECT_EQ(semctl(sem, 0, GETNCNT), 1) << "the child is not waiting for the semaphore";
    }
    const char release = 'r';
    EXPECT_EQ(write(released[1], &release, 1), 1);
    EXPECT_OV_OK(ov_ipc_sem_unlock(sem));
    close(busy[0]);
    close(released[0]);
    close(released[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    const int code = WEXITSTATUS(status);
    EXPECT_EQ(code, 0) << "second process: "
                       << (code < static_cast<int>(std::size(kChildFailures)) ? kChildFailures[code]
                                                                              : "unexpected exit");
    EXPECT_OV_OK(ov_ipc_sem_trylock(sem));
    EXPECT_OV_OK(ov_ipc_sem_unlock(sem));
}

// A set that exists but whose creator has not set it up yet (or died before
// it could) is waited for, about a second, and then refused: its value 0
// would read as held by nobody who could ever free it. The handle then holds
// the set's id, so that the caller may remove it.
TEST_F(IpcSemTest, OpenWaitsForTheCreatorToInitialiseTheSet) {
    const std::string file = existing_file();
    const key_t key = ftok(file.c_str(), 1);
    ASSERT_NE(key, -1) << std::strerror(errno);
    const int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(id, -1) << std::strerror(errno);
    opened_.push_back(id);

    int32_t handle = -1;
    const int64_t start = monotonic_usec();
    EXPECT_EQ(ov_ipc_sem_open(&handle, file.c_str()), ETIMEDOUT);
    EXPECT_GE(monotonic_usec() - start, 500000) << "gave up without waiting";
    EXPECT_EQ(handle, id);
    EXPECT_EQ(semctl(id, 0, GETVAL), 0) << "an uninitialised set must be left as it is";

    // The creator initialises it while an opener waits; the opener meets it
    // with the creator's value.
    int32_t rc = -1;
    handle = -1;
    Gate started;
    std::thread opener([&] {
        started.open();
        rc = ov_ipc_sem_open(&handle, file.c_str());
    });
    started.wait();
    struct sembuf init {};
    init.sem_num = 0;
    init.sem_op = 1;
    init.sem_flg = 0;
    EXPECT_EQ(semop(id, &init, 1), 0) << std::strerror(errno);
    opener.join();
    EXPECT_OV_OK(rc);
    EXPECT_EQ(handle, id);
    EXPECT_EQ(semctl(id, 0, GETVAL), 1);
}

// Earlier builds freed a new set with SETVAL, which leaves its time of last
// operation at 0: such a set, free and never taken, opens at once as it is.
TEST_F(IpcSemTest, SetFreedByAnEarlierBuildOpensAsItIs) {
    const std::string file = existing_file();
    const key_t key = ftok(file.c_str(), 1);
    ASSERT_NE(key, -1) << std::strerror(errno);
    const int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0777);
    ASSERT_NE(id, -1) << std::strerror(errno);
    opened_.push_back(id);
    ASSERT_EQ(semctl(id, 0, SETVAL, 1), 0) << std::strerror(errno);

    int32_t handle = -1;
    const int64_t start = monotonic_usec();
    EXPECT_OV_OK(ov_ipc_sem_open(&handle, file.c_str()));
    EXPECT_LT(monotonic_usec() - start, 100000) << "waited for an initialisation already done";
    EXPECT_EQ(handle, id);
    EXPECT_OV_OK(ov_ipc_sem_trylock(handle));
    EXPECT_EQ(ov_ipc_sem_trylock(handle), EAGAIN);
    EXPECT_OV_OK(ov_ipc_sem_unlock(handle));
}

TEST_F(IpcSemTest, MissingPathIsKeyedByItsBytes) {
    const std::string missing = path("no-such-file");
    const int32_t first = open_sem(missing);
    EXPECT_EQ(open_sem(missing), first);
    EXPECT_OV_OK(ov_ipc_sem_trylock(first));
    EXPECT_EQ(ov_ipc_sem_trylock(first), EAGAIN);

    // Keys that fold to 0 would name a private semaphore per open.
    int32_t handle = -1;
    EXPECT_EQ(ov_ipc_sem_open(&handle, ""), EINVAL);
    // A missing path of two equal halves of a multiple of four bytes folds to 0.
    EXPECT_EQ(ov_ipc_sem_open(&handle, "/zz-no-such-dir//zz-no-such-dir/"), EINVAL);
    EXPECT_EQ(ov_ipc_sem_open(nullptr, missing.c_str()), EINVAL);
    EXPECT_EQ(ov_ipc_sem_open(&handle, nullptr), EINVAL);
}

TEST_F(IpcSemTest, ExcludesOtherProcessesAndIsReturnedWhenAHolderEnds) {
    const std::string file = existing_file();
    const int32_t sem = open_sem(file);
    ASSERT_OV_OK(ov_ipc_sem_lock(sem));
    EXPECT_EQ(ovtest::RunChild([&] { return ov_ipc_sem_trylock(sem) == EAGAIN ? 0 : 1; }), 0);
    ASSERT_OV_OK(ov_ipc_sem_unlock(sem));

    // A holder that ends without unlocking gives the semaphore back.
    EXPECT_EQ(ovtest::RunChild([&] { return ov_ipc_sem_lock(sem) == 0 ? 0 : 1; }), 0);
    EXPECT_OV_OK(ov_ipc_sem_trylock(sem));
    EXPECT_OV_OK(ov_ipc_sem_unlock(sem));
}

// A holder in another process that opened the path on its own and is then
// killed outright, with no chance to unlock: the kernel's undo record gives
// the semaphore back.
TEST_F(IpcSemTest, HolderKilledBySigkillGivesItBack) {
    const std::string file = existing_file();
    const int32_t sem = open_sem(file);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A child whose parent test has failed must not outlive it for long.
        alarm(60);
        int32_t own = -1;
        if (ov_ipc_sem_open(&own, file.c_str()) != 0 || ov_ipc_sem_lock(own) != 0) _exit(1);
        const char held = 'h';
        if (write(ready[1], &held, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    const bool held = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (held) {
        // The child's own open met the parent's semaphore, which it now holds.
        EXPECT_EQ(ov_ipc_sem_trylock(sem), EAGAIN);
    }
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(held) << "the child could not take the semaphore";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_OV_OK(ov_ipc_sem_trylock(sem));
    EXPECT_EQ(ov_ipc_sem_trylock(sem), EAGAIN) << "given back once, not twice";
    EXPECT_OV_OK(ov_ipc_sem_unlock(sem));
}

TEST_F(IpcSemTest, RemovedSemaphoreIsGone) {
    int32_t sem = -1;
    ASSERT_OV_OK(ov_ipc_sem_open(&sem, existing_file().c_str()));
    ASSERT_OV_OK(ov_ipc_sem_remove(sem));
    EXPECT_EQ(ov_ipc_sem_trylock(sem), EINVAL);
    EXPECT_EQ(ov_ipc_sem_remove(sem), EINVAL);
}

}  // namespace
