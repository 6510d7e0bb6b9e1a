// test_util.h - the gtest side of the helpers shared by the test programs.
//
// The helpers that need no test framework (child processes, files, the lock
// tool's output, resource counts) live in tests/support and are included
// here; this header adds what belongs to GoogleTest: assertion macros, the
// temporary-directory fixture and a file writer that fails the test. The
// threads, signal and logging helpers below serve the library's own tests.
#pragma once

#include <gtest/gtest.h>

#include "ovsupport/files.h"
#include "ovsupport/process.h"
#include "ovsupport/sanitizers.h"
#include <ovplatform/overror.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovtime.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ovtest {

// Prints the code's name and message when a call does not return 0.
#define ASSERT_OV_OK(expr) OV_CHECK_OK_(ASSERT_EQ, expr)
#define EXPECT_OV_OK(expr) OV_CHECK_OK_(EXPECT_EQ, expr)
#define OV_CHECK_OK_(check, expr)                                                  \
    do {                                                                           \
        int32_t ov_rc_ = (expr);                                                   \
        char ov_buf_[256];                                                         \
        check(ov_rc_, 0) << #expr << ": " << ov_error_name(ov_rc_) << " ("         \
                         << ov_error_text(ov_rc_, ov_buf_, sizeof ov_buf_) << ")"; \
    } while (0)

// A fresh directory per test, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = ovsupport::make_temp_dir(std::filesystem::temp_directory_path().string(), "ovtest");
        ASSERT_FALSE(dir_.empty()) << std::strerror(errno);
    }
    void TearDown() override { ovsupport::remove_tree(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

// ---- Files and processes --------------------------------------------------------------------

// Writes a file as ovsupport::write_file does; a failure fails the calling test.
inline void write_file(const std::string &path, const std::string &data) {
    ASSERT_TRUE(ovsupport::write_file(path, data)) << path << ": " << std::strerror(errno);
}

using ovsupport::kNobody;

// Sets (or, for a null value, unsets) an environment variable for a scope and
// puts the previous state back afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name)) saved_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_.c_str(), saved_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

// Runs body in a forked child and returns its exit status; -1 when the child
// could not be started or did not exit normally.
inline int RunChild(const std::function<int()> &body) {
    const pid_t pid = ovsupport::StartFunction(body);
    if (pid < 0) return -1;
    const auto status = ovsupport::Wait(pid);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

// Runs body in a forked child that ends with _exit(0) if body returns, and
// returns the child's raw wait status (for WIFSIGNALED and WTERMSIG); -1 when
// the child could not be started or collected. The child dumps no core, so
// that a deliberate crash leaves nothing behind and ends quickly.
inline int RunChildForStatus(const std::function<void()> &body) {
    const pid_t pid = ovsupport::StartFunction(
        [&] {
            body();
            return 0;
        },
        {.no_core = true});
    if (pid < 0) return -1;
    return ovsupport::Wait(pid).value_or(-1);
}

// Runs check as an unprivileged user, where root would bypass permission
// bits: in a child that drops to 'nobody', reporting through its exit
// status. Without root the check runs in this process. Returns false (and
// the caller skips) when privileges cannot be dropped.
inline bool RunUnprivileged(const std::function<bool()> &check, bool *passed) {
    if (geteuid() != 0) {
        *passed = check();
        return true;
    }
    const pid_t pid = ovsupport::StartFunction([&] { return check() ? 0 : 1; }, {.user = kNobody});
    if (pid < 0) return false;
    const int code = ovsupport::ExitCode(ovsupport::Wait(pid));
    if (code < 0 || code == ovsupport::kCannotSwitchUser) return false;
    *passed = code == 0;
    return true;
}

// Sets the process's umask for its lifetime and puts the previous one back
// afterwards; as a fixture's member, for each test of the fixture.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : saved_(umask(mask)) {}
    ~ScopedUmask() { umask(saved_); }
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

  private:
    mode_t saved_;
};

// A test that runs programs as their users run them, each as a child
// process with its standard output and error in files of the test's
// directory (TAG.out and TAG.err, "tool" unless another tag is given).
// Every child it started or adopted and did not wait for with finish() is
// killed and reaped when the test ends.
class ProgramTest : public TempDirTest {
  protected:
    void TearDown() override {
        end_children();
        TempDirTest::TearDown();
    }

    // Starts binary with args, set up as opt says, its output in the files
    // of tag.
    pid_t start_program(const std::string &binary, const std::vector<std::string> &args,
                        ovsupport::ChildOptions opt = {}, const std::string &tag = "tool") {
        opt.out = out_path(tag);
        opt.err = err_path(tag);
        return adopt(ovsupport::StartProgram(binary, args, opt));
    }
    // Makes pid (a child, or an orphan this process reaps as a subreaper) one
    // that the test ends unless it waits for it.
    pid_t adopt(pid_t pid) {
        if (pid > 0) children_.push_back(pid);
        return pid;
    }
    // Waits at most limit (generous: the point is behaviour, not speed) and
    // returns ovsupport::ExitCode of the wait; a child still running then is
    // killed.
    int finish(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        std::erase(children_, pid);
        return ovsupport::ExitCode(ovsupport::WaitFor(pid, limit));
    }
    // Kills and reaps the children still running.
    void end_children() {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        children_.clear();
    }

    std::string out_path(const std::string &tag = "tool") const { return path(tag + ".out"); }
    std::string err_path(const std::string &tag = "tool") const { return path(tag + ".err"); }
    std::string out(const std::string &tag = "tool") const {
        return ovsupport::read_file(out_path(tag));
    }
    std::string err(const std::string &tag = "tool") const {
        return ovsupport::read_file(err_path(tag));
    }

  private:
    std::vector<pid_t> children_;
};

// ---- Memory limits ---------------------------------------------------------------------------

// Caps the address space of the calling process (a death-test child) at its
// present size plus extra bytes. @return false when that cannot be done.
inline bool cap_address_space(size_t extra) {
    long pages = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return false;
    const bool read = std::fscanf(statm, "%ld", &pages) == 1;
    std::fclose(statm);
    if (!read) return false;
    const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const struct rlimit limit = {now + extra, now + extra};
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

// Runs check in a death-test child that caps its own address space
// (cap_address_space): it must print "rc=12" (ENOMEM) on standard error and
// return 0 when what it checks held. The sanitizers' shadow memory does not
// work under an address-space limit, so their builds skip this.
inline void ExpectOutOfMemoryHandled(int (*check)()) {
#ifdef OV_TEST_SANITIZED
    (void)check;
    GTEST_SKIP() << "the sanitizers' shadow memory does not work under an address-space limit";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(check()), ::testing::ExitedWithCode(0), "rc=12");
#endif
}

// ---- Threads and time -----------------------------------------------------------------------

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
    // Waits at most the given time; true when open.
    bool wait_for(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, limit, [this] { return open_; });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Catches SIGUSR1 for its lifetime with a handler installed without
// SA_RESTART, so that a caught signal ends an interruptible wait early, and
// counts the signals caught; the previous action is put back afterwards.
class Usr1Handler {
  public:
    Usr1Handler() {
        struct sigaction sa {};
        sa.sa_handler = [](int) { caught_counter().fetch_add(1); };
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ok_ = sigaction(SIGUSR1, &sa, &saved_) == 0;
    }
    ~Usr1Handler() { sigaction(SIGUSR1, &saved_, nullptr); }
    Usr1Handler(const Usr1Handler &) = delete;
    Usr1Handler &operator=(const Usr1Handler &) = delete;
    bool ok() const { return ok_; }
    static int caught() { return caught_counter().load(); }

  private:
    static std::atomic<int> &caught_counter() {
        static std::atomic<int> count{0};
        return count;
    }
    struct sigaction saved_ {};
    bool ok_ = false;
};

// Sends SIGUSR1 to target until done opens. No handshake can tell whether
// the target is already inside its wait, and a signal that arrives just
// before is simply sent again; the sends are bounded (about five seconds)
// so that a wait which ignores signals fails its test instead of hanging it.
// @return true when done opened.
inline bool InterruptUntil(pthread_t target, Gate &done) {
    for (int sends = 0; sends < 100; ++sends) {
        if (pthread_kill(target, SIGUSR1) != 0) return false;
        if (done.wait_for(std::chrono::milliseconds(50))) return true;
    }
    return false;
}

// Seconds on the steady clock since start.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The library's monotonic clock in microseconds, for measuring how long a
// call took with the same clock its timeouts are based on.
inline int64_t monotonic_usec() {
    ov_timeval_t t{};
    ov_time_monotonic_now(&t);
    return t.tv_sec * 1000000 + t.tv_usec;
}

// What a blocking call gave when signals were sent to interrupt it.
struct Interrupted {
    int32_t rc = -1;
    int64_t usec = -1;   // how long the call took
    bool ended = false;  // it returned while the signals were being sent
};

// Runs call on a thread of its own and sends that thread SIGUSR1 until the
// call returns (InterruptUntil); the caller holds a Usr1Handler, so that the
// signal is caught.
inline Interrupted InterruptCall(const std::function<int32_t()> &call) {
    Gate about_to_call, returned;
    Interrupted result;
    std::thread caller([&] {
        about_to_call.open();
        const int64_t start = monotonic_usec();
        result.rc = call();
        result.usec = monotonic_usec() - start;
        returned.open();
    });
    about_to_call.wait();
    result.ended = InterruptUntil(caller.native_handle(), returned);
    caller.join();
    return result;
}

// ---- Logging -------------------------------------------------------------------------------

// One message as the logger's callback destination received it.
struct LogLine {
    uint32_t level;
    std::string source;
    std::string text;
};

// Makes a callback the logger's destination for its lifetime and keeps every
// message that passes the threshold (5 by default, so that debug traces show
// too); afterwards the destination is closed and the threshold restored. One
// capture at a time; messages may come from any thread.
class LogCapture {
  public:
    explicit LogCapture(int threshold = 5) : saved_threshold_(ov_log_level()) {
        ov_log_set_level(threshold);
        active().store(this);
        ok_ = ov_log_set_callback(&LogCapture::record) == 0;
    }
    ~LogCapture() {
        ov_log_close();
        active().store(nullptr);
        ov_log_set_level(saved_threshold_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    bool ok() const { return ok_; }
    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(m_);
        return lines_;
    }
    // The messages with exactly this text.
    size_t count(const std::string &text) const {
        std::lock_guard<std::mutex> lock(m_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(),
                                                 [&](const LogLine &l) { return l.text == text; }));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_);
        lines_.clear();
    }

  private:
    static std::atomic<LogCapture *> &active() {
        static std::atomic<LogCapture *> capture{nullptr};
        return capture;
    }
    static void record(uint32_t level, const char *file, int, const char *format, va_list args) {
        LogCapture *self = active().load();
        if (self == nullptr) return;
        char text[8192];
        std::vsnprintf(text, sizeof text, format, args);
        std::lock_guard<std::mutex> lock(self->m_);
        self->lines_.push_back({level, file != nullptr ? file : "", text});
    }

    int saved_threshold_;
    bool ok_ = false;
    mutable std::mutex m_;
    std::vector<LogLine> lines_;
};

}  // namespace ovtest
