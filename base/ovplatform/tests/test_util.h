// test_util.h - helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include "test_files.h"
#include <ovplatform/overror.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovtime.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
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
#define ASSERT_OV_OK(expr)                                                             \
    do {                                                                               \
        int32_t ov_rc_ = (expr);                                                       \
        char ov_buf_[256];                                                             \
        ASSERT_EQ(ov_rc_, 0) << #expr << ": " << ov_error_name(ov_rc_) << " ("         \
                             << ov_error_text(ov_rc_, ov_buf_, sizeof ov_buf_) << ")"; \
    } while (0)
#define EXPECT_OV_OK(expr)                                                             \
    do {                                                                               \
        int32_t ov_rc_ = (expr);                                                       \
        char ov_buf_[256];                                                             \
        EXPECT_EQ(ov_rc_, 0) << #expr << ": " << ov_error_name(ov_rc_) << " ("         \
                             << ov_error_text(ov_rc_, ov_buf_, sizeof ov_buf_) << ")"; \
    } while (0)

// A fresh directory per test, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ovtest.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        // Give back permissions a test may have taken away, then remove.
        for (auto &e : std::filesystem::recursive_directory_iterator(
                 dir_, std::filesystem::directory_options::skip_permission_denied, ec)) {
            if (e.is_directory(ec) && !e.is_symlink(ec))
                std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
        }
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

// ---- Files ----------------------------------------------------------------------------------

// Creates or truncates a file with mode 0644 (less the umask) and writes
// data to it; any failure fails the calling test.
inline void write_file(const std::string &path, const std::string &data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    const ssize_t n = write(fd, data.data(), data.size());
    close(fd);
    ASSERT_EQ(n, static_cast<ssize_t>(data.size())) << path;
}

// ---- Processes ------------------------------------------------------------------------------

// The user id of 'nobody' on the usual Linux systems.
inline constexpr uid_t kNobody = 65534;

// Runs body in a forked child and returns its exit status; -1 when the child
// could not be started or did not exit normally.
inline int RunChild(const std::function<int()> &body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Runs body in a forked child that ends with _exit(0) if body returns, and
// returns the child's raw wait status (for WIFSIGNALED and WTERMSIG); -1 when
// the child could not be started or collected. The child dumps no core, so
// that a deliberate crash leaves nothing behind and ends quickly.
inline int RunChildForStatus(const std::function<void()> &body) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        body();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return status;
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
    constexpr int kCannotDrop = 2;
    const int status = RunChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            return kCannotDrop;
        return check() ? 0 : 1;
    });
    if (status < 0 || status == kCannotDrop) return false;
    *passed = status == 0;
    return true;
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

// The library's monotonic clock in microseconds, for measuring how long a
// call took with the same clock its timeouts are based on.
inline int64_t monotonic_usec() {
    ov_timeval_t t{};
    ov_time_monotonic_now(&t);
    return t.tv_sec * 1000000 + t.tv_usec;
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

// ---- Programs ------------------------------------------------------------------------------

// How StartProgram runs a program: the files that receive its standard output
// and error (created or truncated; /dev/null when empty), and, when set, its
// working directory, umask and the user it runs as.
struct ProgramOptions {
    std::string out;
    std::string err;
    std::string cwd;
    std::optional<uid_t> user;
    std::optional<mode_t> umask;
};

// Starts binary with args in a child process and returns its pid, -1 when
// the fork fails. Everything the child needs is prepared before the fork, so
// that it makes only async-signal-safe calls before the exec; it exits with
// 120 to 126 when it cannot set itself up and 127 when the exec fails.
inline pid_t StartProgram(const std::string &binary, const std::vector<std::string> &args,
                          const ProgramOptions &opt = {}) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(binary.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const char *out = opt.out.empty() ? "/dev/null" : opt.out.c_str();
    const char *err = opt.err.empty() ? "/dev/null" : opt.err.c_str();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int o = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int e = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(120);
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(121);
    if (opt.umask) umask(*opt.umask);
    if (opt.user &&
        (setgroups(0, nullptr) != 0 || setgid(*opt.user) != 0 || setuid(*opt.user) != 0))
        _exit(122);
    execv(binary.c_str(), argv.data());
    _exit(127);
}

// Waits at most limit for a child and returns its raw wait status. A child
// still running then is killed and reaped, and the result is empty.
inline std::optional<int> WaitFor(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return std::nullopt;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace ovtest
