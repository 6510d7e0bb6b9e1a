// sync_bench.cpp - mutexes, the monotonic clock and condition records
// against the POSIX calls they wrap.
//
// Four pairs run side by side in one program, their repetitions interleaved
// in random order so that both sides of a pair see the same machine state:
//   - ov_mutex_acquire and ov_mutex_release of a free mutex, against
//     pthread_mutex_lock and pthread_mutex_unlock of an error-checking one;
//   - ov_time_monotonic_now, against clock_gettime(CLOCK_MONOTONIC);
//   - a ping-pong between two threads on a condition record and its mutex
//     (ov_cond_wait, ov_cond_signal), against the same exchange on a
//     pthread condition variable with the monotonic clock and an
//     error-checking mutex;
//   - the same ping-pong with timed waits (ov_cond_wait_ms against
//     clock_gettime, deadline arithmetic and pthread_cond_timedwait), as
//     the lock-file worker waits.
// After the table the program prints each pair's ratio of median times
// (library / POSIX) with its target. Google Benchmark flags may be given;
// the defaults below come first, so the caller's flags override them.
#include <ovplatform/ovsynchron.h>
#include <ovplatform/ovtime.h>

#include <benchmark/benchmark.h>

#include "ratio_main.h"
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- Mutexes ------------------------------------------------------------------------------------

void BM_ov_mutex_acquire_release(benchmark::State &state) {
    ov_mutex_t mutex;
    ov_mutex_init(&mutex);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_mutex_acquire(&mutex));
        benchmark::DoNotOptimize(ov_mutex_release(&mutex));
    }
    ov_mutex_destroy(&mutex);
}

void BM_pthread_mutex_lock_unlock(benchmark::State &state) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_mutex_lock(&mutex));
        benchmark::DoNotOptimize(pthread_mutex_unlock(&mutex));
    }
    pthread_mutex_destroy(&mutex);
}

// ---- Clock --------------------------------------------------------------------------------------

void BM_ov_time_monotonic_now(benchmark::State &state) {
    ov_timeval_t now;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ov_time_monotonic_now(&now));
        benchmark::DoNotOptimize(now);
    }
}

void BM_clock_gettime_monotonic(benchmark::State &state) {
    struct timespec now;
    for (auto _ : state) {
        benchmark::DoNotOptimize(clock_gettime(CLOCK_MONOTONIC, &now));
        benchmark::DoNotOptimize(now);
    }
}

// ---- Ping-pong ----------------------------------------------------------------------------------

// One round trip per iteration: the main thread hands the turn to the
// partner and waits until the partner hands it back. The partner lives for
// one benchmark run; stop is set under the mutex and signalled like a turn.
// Both sides of a pair share this driver and differ only in the operations.
template <typename Ops>
void ping_pong(benchmark::State &state) {
    Ops ops;
    bool partner_turn = false;  // protected by the mutex
    bool stop = false;          // protected by the mutex
    std::thread partner([&] {
        ops.lock();
        for (;;) {
            while (!partner_turn && !stop) ops.wait();
            if (stop) break;
            partner_turn = false;
            ops.signal();
        }
        ops.unlock();
    });
    for (auto _ : state) {
        ops.lock();
        partner_turn = true;
        ops.signal();
        while (partner_turn) ops.wait();
        ops.unlock();
    }
    ops.lock();
    stop = true;
    ops.signal();
    ops.unlock();
    partner.join();
}

// A condition record and its mutex. The timeout of the timed variant is
// far beyond any round trip, so every wait ends by a signal.
template <bool kTimed>
struct OvOps {
    ov_mutex_t mutex;
    ov_cond_t cond;
    OvOps() {
        ov_mutex_init(&mutex);
        ov_cond_init(&cond, &mutex);
    }
    ~OvOps() {
        ov_cond_destroy(&cond);
        ov_mutex_destroy(&mutex);
    }
    void lock() { ov_mutex_acquire(&mutex); }
    void unlock() { ov_mutex_release(&mutex); }
    void signal() { ov_cond_signal(&cond); }
    void wait() {
        if constexpr (kTimed)
            ov_cond_wait_ms(&cond, 5000);
        else
            ov_cond_wait(&cond);
    }
};

// The same objects made and used with the POSIX calls directly: an
// error-checking mutex and a condition variable on the monotonic clock, the
// timed wait computing its deadline from a fresh clock reading.
template <bool kTimed>
struct PthreadOps {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    PthreadOps() {
        pthread_mutexattr_t mattr;
        pthread_mutexattr_init(&mattr);
        pthread_mutexattr_settype(&mattr, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex, &mattr);
        pthread_mutexattr_destroy(&mattr);
        pthread_condattr_t cattr;
        pthread_condattr_init(&cattr);
        pthread_condattr_setclock(&cattr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &cattr);
        pthread_condattr_destroy(&cattr);
    }
    ~PthreadOps() {
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }
    void lock() { pthread_mutex_lock(&mutex); }
    void unlock() { pthread_mutex_unlock(&mutex); }
    void signal() { pthread_cond_signal(&cond); }
    void wait() {
        if constexpr (kTimed) {
            struct timespec deadline;
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += 5;
            pthread_cond_timedwait(&cond, &mutex, &deadline);
        } else {
            pthread_cond_wait(&cond, &mutex);
        }
    }
};

void BM_ov_cond_ping_pong(benchmark::State &state) {
    ping_pong<OvOps<false>>(state);
}
void BM_pthread_cond_ping_pong(benchmark::State &state) {
    ping_pong<PthreadOps<false>>(state);
}
void BM_ov_cond_timed_ping_pong(benchmark::State &state) {
    ping_pong<OvOps<true>>(state);
}
void BM_pthread_cond_timed_ping_pong(benchmark::State &state) {
    ping_pong<PthreadOps<true>>(state);
}

BENCHMARK(BM_ov_mutex_acquire_release);
BENCHMARK(BM_pthread_mutex_lock_unlock);
BENCHMARK(BM_ov_time_monotonic_now);
BENCHMARK(BM_clock_gettime_monotonic);
// Real time: the round trip is spent mostly asleep, which CPU time misses.
BENCHMARK(BM_ov_cond_ping_pong)->UseRealTime();
BENCHMARK(BM_pthread_cond_ping_pong)->UseRealTime();
BENCHMARK(BM_ov_cond_timed_ping_pong)->UseRealTime();
BENCHMARK(BM_pthread_cond_timed_ping_pong)->UseRealTime();

// ---- Ratios -------------------------------------------------------------------------------------

constexpr ovbench::Pair kPairs[] = {
    {"BM_ov_mutex_acquire_release", "BM_pthread_mutex_lock_unlock",
     "ov_mutex_acquire+release / pthread lock+unlock", 1.2, true},
    {"BM_ov_time_monotonic_now", "BM_clock_gettime_monotonic",
     "ov_time_monotonic_now / clock_gettime", 1.2, true},
    {"BM_ov_cond_ping_pong", "BM_pthread_cond_ping_pong", "ov_cond ping-pong / pthread_cond", 1.3,
     false},
    {"BM_ov_cond_timed_ping_pong", "BM_pthread_cond_timed_ping_pong",
     "ov_cond timed ping-pong / pthread_cond", 1.3, false},
};

}  // namespace

int main(int argc, char **argv) {
    return ovbench::run_with_ratios(argc, argv, kPairs);
}
