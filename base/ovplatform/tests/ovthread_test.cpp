// ovthread_test.cpp - spawning, joining, identifying and sleeping threads.
#include <ovplatform/ovthread.h>
#include <ovplatform/ovtime.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "test_util.h"

namespace {

using ovtest::Gate;
using ovtest::monotonic_usec;

// What a started thread reports about itself.
struct Probe {
    Gate started;
    Gate finish;
    pthread_t self{};
    size_t stack_size = 0;
    int detach_state = -1;
};

void record_attributes(Probe *probe) {
    probe->self = ov_thread_self();
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &probe->stack_size);
        pthread_attr_getdetachstate(&attr, &probe->detach_state);
        pthread_attr_destroy(&attr);
    }
}

void *probe_and_wait(void *arg) {
    auto *probe = static_cast<Probe *>(arg);
    record_attributes(probe);
    probe->started.open();
    probe->finish.wait();
    return nullptr;
}

void *probe_and_exit(void *arg) {
    auto *probe = static_cast<Probe *>(arg);
    record_attributes(probe);
    probe->started.open();
    ov_thread_exit(7);
}

TEST(ThreadSpawn, JoinableThreadRunsAndIsJoinedOnce) {
    Probe probe;
    ov_thread_t thread{};
    ASSERT_OV_OK(ov_thread_spawn(&thread, probe_and_wait, &probe));
    probe.started.wait();
    EXPECT_EQ(ov_thread_id(&thread), probe.self);
    EXPECT_NE(ov_thread_self(), probe.self);
    EXPECT_EQ(ov_thread_is_alive(&thread), 1);
    EXPECT_EQ(probe.detach_state, PTHREAD_CREATE_JOINABLE);
    probe.finish.open();
    ASSERT_OV_OK(ov_thread_join(&thread));
    // A joined handle no longer names a thread.
    EXPECT_EQ(ov_thread_id(&thread), 0u);
    EXPECT_EQ(ov_thread_is_alive(&thread), 0);
    EXPECT_EQ(ov_thread_join(&thread), ESRCH);
}

TEST(ThreadSpawn, ThreadEndedByExitIsJoined) {
    Probe probe;
    ov_thread_t thread{};
    ASSERT_OV_OK(ov_thread_spawn(&thread, probe_and_exit, &probe));
    probe.started.wait();
    EXPECT_EQ(ov_thread_id(&thread), probe.self);
    ASSERT_OV_OK(ov_thread_join(&thread));
}

TEST(ThreadSpawn, NullHandleStartsADetachedThread) {
    // The detached thread may outlive this test body, so it shares ownership
    // of what it touches.
    auto probe = std::make_shared<Probe>();
    auto *keep = new std::shared_ptr<Probe>(probe);
    const auto body = [](void *arg) -> void * {
        std::unique_ptr<std::shared_ptr<Probe>> owned(static_cast<std::shared_ptr<Probe> *>(arg));
        record_attributes(owned->get());
        (*owned)->started.open();
        return nullptr;
    };
    ASSERT_OV_OK(ov_thread_spawn(nullptr, body, keep));
    probe->started.wait();
    EXPECT_EQ(probe->detach_state, PTHREAD_CREATE_DETACHED);
}

TEST(ThreadSpawn, RefusesANullStartRoutine) {
    ov_thread_t thread{};
    EXPECT_EQ(ov_thread_spawn(&thread, nullptr, nullptr), EINVAL);
    EXPECT_EQ(ov_thread_id(nullptr), 0u);
    EXPECT_EQ(ov_thread_is_alive(nullptr), 0);
    EXPECT_EQ(ov_thread_join(nullptr), ESRCH);
}

// Sets the process-wide default thread attributes for the length of a test.
class DefaultStack {
  public:
    explicit DefaultStack(size_t size) {
        ok_ = pthread_getattr_default_np(&saved_) == 0;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size);
        ok_ = ok_ && pthread_setattr_default_np(&attr) == 0;
        pthread_attr_destroy(&attr);
    }
    ~DefaultStack() {
        pthread_setattr_default_np(&saved_);
        pthread_attr_destroy(&saved_);
    }
    bool ok() const { return ok_; }

  private:
    pthread_attr_t saved_;
    bool ok_ = false;
};

size_t spawned_stack_size() {
    Probe probe;
    ov_thread_t thread{};
    EXPECT_OV_OK(ov_thread_spawn(&thread, probe_and_wait, &probe));
    probe.started.wait();
    probe.finish.open();
    EXPECT_OV_OK(ov_thread_join(&thread));
    return probe.stack_size;
}

TEST(ThreadSpawn, SmallDefaultStackIsRaisedToTheMinimum) {
    DefaultStack small(64 * 1024);
    ASSERT_TRUE(small.ok());
    EXPECT_GE(spawned_stack_size(), OV_THREAD_MIN_STACK);
}

TEST(ThreadSpawn, LargeDefaultStackIsKept) {
    DefaultStack large(8 * 1024 * 1024);
    ASSERT_TRUE(large.ok());
    EXPECT_GE(spawned_stack_size(), 8u * 1024 * 1024);
}

TEST(ThreadSleep, ZeroReturnsAtOnce) {
    EXPECT_OV_OK(ov_thread_sleep_ms(0));
}

TEST(ThreadSleep, ShortSleepLastsAtLeastItsTime) {
    const int64_t start = monotonic_usec();
    EXPECT_OV_OK(ov_thread_sleep_ms(20));
    EXPECT_GE(monotonic_usec() - start, 20000);
}

TEST(ThreadSleep, CaughtSignalEndsTheSleepEarly) {
    ovtest::Usr1Handler handler;
    ASSERT_TRUE(handler.ok());
    constexpr uint32_t kRequestedMs = 20000;
    const int caught_before = ovtest::Usr1Handler::caught();
    const ovtest::Interrupted slept =
        ovtest::InterruptCall([] { return ov_thread_sleep_ms(kRequestedMs); });
    EXPECT_TRUE(slept.ended);
    EXPECT_EQ(slept.rc, EINTR);
    EXPECT_GT(ovtest::Usr1Handler::caught(), caught_before);
    EXPECT_LT(slept.usec, int64_t{kRequestedMs} * 1000 / 2);
}

}  // namespace
