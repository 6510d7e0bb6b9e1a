// ovlockfile_test.cpp - lock files: acquisition, age test, takeover, release,
// messages and the keep-alive worker.
//
// Lock files are aged by setting their times instead of sleeping. The gaps
// between age probes and the worker's refresh period are shortened through
// the module's test-only hook, and the tests step in at the moment the module
// logs a given line rather than sleeping until it gets there. Run against the
// shared library, which hides the hook, the same tests take the built-in
// timings of a second.
#include <ovplatform/ovlockfile.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovplatform.h>

#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "internal/lockfile_testing.h"
#include "ovsupport/lock_tool.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovsupport::entries;
using ovsupport::kForeignRecord;
using ovsupport::kTakeoverRecord;
using ovsupport::mtime_of;
using ovsupport::read_file;
using ovtest::write_file;

// Replaces a file atomically, as another holder taking the lock over would.
void replace_file(const std::string &path, const std::string &data) {
    ASSERT_TRUE(ovsupport::replace_file(path, data)) << path << ": " << std::strerror(errno);
}

// Sets a file's modification time to offset_seconds relative to now.
void set_age(const std::string &path, time_t now, long offset_seconds) {
    ASSERT_TRUE(ovsupport::set_mtime(path, now + offset_seconds)) << path;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string host_name() {
    char host[8192] = {};
    ov_platform_hostname(host, sizeof host);
    return host;
}

// The module's probe gap and refresh period for one test, restored to the
// built-in ones afterwards. The program linked to the static library
// shortens them through the test-only hook. The shared library hides the
// hook (the program declares it weak and finds its address null): the same
// tests then run at the built-in timings, and that run covers those.
class Timing {
  public:
    explicit Timing(std::chrono::milliseconds probe_gap, std::chrono::milliseconds refresh = 0ms) {
        if (!hook_present()) return;
        ov_lockfile_set_test_timing(static_cast<uint32_t>(probe_gap.count()),
                                    static_cast<uint32_t>(refresh.count()), 0);
        if (probe_gap > 0ms) probe_gap_ = probe_gap;
        if (refresh > 0ms) refresh_ = refresh;
    }
    ~Timing() {
        if (hook_present()) ov_lockfile_set_test_timing(0, 0, 0);
    }
    Timing(const Timing &) = delete;
    Timing &operator=(const Timing &) = delete;

    // The timings in force.
    std::chrono::milliseconds probe_gap() const { return probe_gap_; }
    std::chrono::milliseconds refresh() const { return refresh_; }

    static bool hook_present() {
#ifdef OV_TEST_HOOK_WEAK
        return &ov_lockfile_set_test_timing != nullptr;
#else
        return true;
#endif
    }

  private:
    // The built-in timings.
    std::chrono::milliseconds probe_gap_ = 1000ms;
    std::chrono::milliseconds refresh_ = 1000ms;
};

// Short enough to keep the program fast; every test that uses them waits
// for events, not for a number of periods.
constexpr auto kShortGap = 50ms;
constexpr auto kShortRefresh = 50ms;

// Runs an action on the thread that logs a given line (told by its format),
// at the moment it logs it, with the number of the hit counted from 1: the
// way these tests step in between two probes, between the stale verdict, the
// second look and the move, or between a worker's refreshes, without racing
// a sleeping thread. One at a time; one that watches a worker must outlive
// it.
class StepIn {
  public:
    StepIn(const char *format, std::function<void(int hit)> action) : saved_level_(ov_log_level()) {
        format_ = format;
        action_ = std::move(action);
        started_ = 0;
        hits_ = 0;
        ov_log_set_level(5);
        ov_log_set_callback(&StepIn::record);
    }
    ~StepIn() {
        ov_log_close();
        ov_log_set_level(saved_level_);
        action_ = nullptr;
    }
    StepIn(const StepIn &) = delete;
    StepIn &operator=(const StepIn &) = delete;
    static int hits() { return hits_.load(); }

  private:
    // A hit counts once its action is done: a test that waits for a number
    // of hits then sees what the last action did (a file put back, say),
    // never the moment before it.
    static void record(uint32_t, const char *, int, const char *format, va_list) {
        if (action_ && std::strcmp(format, format_) == 0) {
            action_(++started_);
            ++hits_;
        }
    }
    static inline const char *format_ = nullptr;
    static inline std::function<void(int)> action_;
    static inline std::atomic<int> started_{0};
    static inline std::atomic<int> hits_{0};
    int saved_level_;
};

class LockFile : public ovtest::TempDirTest {
  protected:
    void TearDown() override {
        ov_lockfile_release(&lock_);
        TempDirTest::TearDown();
    }
    std::string name() const { return path("res"); }
    std::string lockpath() const { return path("res.lck"); }
    // Leaves only the lock file (or nothing) beside it: no probe or temporary file.
    void expect_no_leftovers() {
        for (const auto &e : entries(dir_)) EXPECT_EQ(e, "res.lck") << "left behind: " << e;
    }
    // A lock file with the given record that has not been refreshed for 100
    // seconds: stale at any expiration the tests use.
    void plant_stale(const std::string &record) {
        write_file(lockpath(), record);
        set_age(lockpath(), time(nullptr), -100);
    }
    // The file system's clock, by which acquisition judges ages: the time it
    // stamps on a file created now. It is coarse and may lag the wall clock.
    time_t fs_now() const {
        const std::string clock = path("clock");
        EXPECT_TRUE(ovsupport::write_file(clock, "")) << std::strerror(errno);
        const time_t now = mtime_of(clock).tv_sec;
        unlink(clock.c_str());
        return now;
    }
    ov_lockfile_t lock_{};
    // A step-in that watches a keep-alive worker: destroyed after TearDown
    // has stopped the worker, however the test ended.
    std::optional<StepIn> worker_step_in_;
};

// ---------------------------------------------------------------------------
// Acquisition and release
// ---------------------------------------------------------------------------

TEST_F(LockFile, AcquireWritesOwnRecordAndReleaseDeletesIt) {
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    EXPECT_EQ(lock_.locked, 1u);
    EXPECT_EQ(std::string(lock_.path), lockpath());
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    EXPECT_STREQ(lock_.last_seen, "");
    expect_no_leftovers();

    ASSERT_OV_OK(ov_lockfile_release(&lock_));
    EXPECT_EQ(lock_.locked, 0u);
    EXPECT_TRUE(entries(dir_).empty());
    // Nothing held: a second release does nothing.
    EXPECT_OV_OK(ov_lockfile_release(&lock_));
}

TEST_F(LockFile, RecordIsPidUuidHostAndNewline) {
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    const std::string record = lock_.content;
    const std::string pid = std::to_string(getpid());
    const std::string host = host_name().substr(0, 138);
    ASSERT_EQ(record.size(), pid.size() + 1 + 36 + 1 + host.size() + 1) << record;
    EXPECT_EQ(record.substr(0, pid.size() + 1), pid + ":");
    EXPECT_EQ(std::string(lock_.holder_uuid), record.substr(pid.size() + 1, 36));
    const std::string uuid = lock_.holder_uuid;
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(uuid[i], '-');
        else
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(uuid[i])) &&
                        !std::isupper(uuid[i]))
                << uuid;
    }
    EXPECT_EQ(record.substr(pid.size() + 37), ":" + host + "\n");
    EXPECT_EQ(lock_.holder_pid, getpid());

    // A fresh identifier for every acquisition.
    const std::string first = lock_.holder_uuid;
    ASSERT_OV_OK(ov_lockfile_release(&lock_));
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    EXPECT_NE(first, lock_.holder_uuid);
}

// In namespaces of its own a process can run as pid 4242 on a host named
// "alpha": its record is then "4242:<36 characters>:alpha\n", 48 in all.
TEST_F(LockFile, RecordForPid4242OnAlphaIs48Characters) {
    const pid_t outer = fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        if (unshare(CLONE_NEWUTS | CLONE_NEWPID) != 0 || sethostname("alpha", 5) != 0) _exit(77);
        const pid_t init = fork();  // pid 1 of the new namespace
        if (init < 0) _exit(77);
        if (init == 0) {
            const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
            if (fd < 0 || write(fd, "4241", 4) != 4) _exit(77);
            close(fd);
            const pid_t holder = fork();
            if (holder == 0) {
                if (getpid() != 4242) _exit(77);
                ov_lockfile_t lock{};
                if (ov_lockfile_acquire(&lock, name().c_str(), 60) != 0) _exit(1);
                const std::string record = read_file(lockpath());
                const bool ok = record == std::string("4242:") + lock.holder_uuid + ":alpha\n" &&
                                record.size() == 48 && record == lock.content;
                ov_lockfile_release(&lock);
                _exit(ok ? 0 : 2);
            }
            int status = 0;
            if (holder < 0 || waitpid(holder, &status, 0) != holder) _exit(77);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(outer, &status, 0), outer);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot create PID and UTS namespaces here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LockFile, BadArgumentsLeaveHandleUntouched) {
    ov_lockfile_t pattern;
    std::memset(&pattern, 0xA5, sizeof pattern);
    struct Case {
        const char *what;
        const char *name;
        int32_t expiration;
    } cases[] = {
        {"expiration 1", "x", 1},   {"expiration 0", "x", 0}, {"negative", "x", -5},
        {"null name", nullptr, 60}, {"empty name", "", 60},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ov_lockfile_t handle;
        std::memcpy(&handle, &pattern, sizeof handle);
        std::string n = c.name ? (c.name[0] ? path(c.name) : std::string()) : std::string();
        EXPECT_EQ(ov_lockfile_acquire(&handle, c.name ? n.c_str() : nullptr, c.expiration), EINVAL);
        EXPECT_EQ(std::memcmp(&handle, &pattern, sizeof handle), 0);
    }
    EXPECT_EQ(ov_lockfile_acquire(nullptr, name().c_str(), 60), EINVAL);
    EXPECT_TRUE(entries(dir_).empty());

    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 2));
}

TEST_F(LockFile, NameWithoutRoomForProbeNamesIsRefused) {
    // The lock file's name plus ".<uuid>" must fit in 255 bytes.
    const std::string longest(255 - 4 - 37, 'n');
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, path(longest).c_str(), 60));
    ASSERT_OV_OK(ov_lockfile_release(&lock_));

    const std::string too_long = longest + "n";
    EXPECT_EQ(ov_lockfile_acquire(&lock_, path(too_long).c_str(), 60), EPATHMAX);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, path("deep/" + std::string(8192, 'x')).c_str(), 60),
              EPATHMAX);
    EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(LockFile, MissingParentsAreCreatedWithModesLessUmask) {
    struct Case {
        mode_t umask_value, dir_mode, file_mode;
    } cases[] = {{022, 0755, 0644}, {077, 0700, 0600}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.umask_value);
        const mode_t old = umask(c.umask_value);
        // Appended: gcc 12 at -O3 warns falsely (-Wrestrict) about a literal
        // put in front of a temporary string.
        const std::string base = path("u").append(std::to_string(c.umask_value));
        const std::string n = base + "/a/b/res";
        const int32_t rc = ov_lockfile_acquire(&lock_, n.c_str(), 60);
        umask(old);
        ASSERT_OV_OK(rc);
        struct stat st {};
        for (const std::string &d : {base, base + "/a", base + "/a/b"}) {
            ASSERT_EQ(stat(d.c_str(), &st), 0) << d;
            EXPECT_EQ(st.st_mode & 07777, c.dir_mode) << d;
        }
        ASSERT_EQ(stat((n + ".lck").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.file_mode);
        ASSERT_OV_OK(ov_lockfile_release(&lock_));
    }
}

TEST_F(LockFile, NameWithNewlineHasNoParent) {
    const std::string n = path("a\nb/res");
    EXPECT_EQ(ov_lockfile_acquire(&lock_, n.c_str(), 60), ENOBUFS);
    EXPECT_EQ(lock_.locked, 0u);
    EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(LockFile, LockPathThatIsADirectoryFailsWithTheReadError) {
    ASSERT_EQ(mkdir(lockpath().c_str(), 0755), 0);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), EISDIR);
    EXPECT_EQ(lock_.locked, 0u);
}

// Whatever else another user may plant under the lock's names in a shared
// directory (a link to a secret or to a device, a FIFO) is refused with
// EFILENOTVALID: never followed, never read, never waited on. A FIFO that
// the call did block on is opened from here after the bound, so that a
// failing test ends.
TEST_F(LockFile, PlantedFilesAreNeitherFollowedNorRead) {
    const Timing timing(20ms);
    const std::string secret = path("secret");
    write_file(secret, "TOPSECRET\n");
    const std::string breaker = lockpath() + ".brk";
    const auto bounded = [](const std::string &fifo, const std::function<int32_t()> &call) {
        std::atomic<bool> done{false};
        int32_t rc = -1;
        std::thread caller([&] {
            rc = call();
            done = true;
        });
        const auto end = Clock::now() + 5s;
        while (!done && Clock::now() < end) std::this_thread::sleep_for(5ms);
        EXPECT_TRUE(done) << "blocked on " << fifo;
        while (!done) {
            const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) close(fd);
            std::this_thread::sleep_for(5ms);
        }
        caller.join();
        return rc;
    };
    struct Case {
        const char *what;
        std::function<void()> plant;
        std::string fifo;     // what a blocked call waits on
        bool marker = false;  // planted as the takeover marker beside a stale lock
    } cases[] = {
        {"a link to a secret", [&] { ASSERT_EQ(symlink(secret.c_str(), lockpath().c_str()), 0); },
         ""},
        {"a link to nothing",
         [&] { ASSERT_EQ(symlink(path("nowhere").c_str(), lockpath().c_str()), 0); }, ""},
        {"a link to a device", [&] { ASSERT_EQ(symlink("/dev/zero", lockpath().c_str()), 0); }, ""},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(lockpath().c_str(), 0666), 0); }, lockpath()},
        {"a FIFO as the takeover marker beside a stale lock",
         [&] {
             plant_stale(kForeignRecord);
             ASSERT_EQ(mkfifo(breaker.c_str(), 0666), 0);
         },
         breaker, true},
        {"a link to a secret as the takeover marker",
         [&] {
             plant_stale(kForeignRecord);
             ASSERT_EQ(symlink(secret.c_str(), breaker.c_str()), 0);
         },
         "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.plant();
        EXPECT_EQ(bounded(c.fifo, [&] { return ov_lockfile_acquire(&lock_, name().c_str(), 60); }),
                  EFILENOTVALID);
        EXPECT_EQ(lock_.locked, 0u);
        EXPECT_EQ(std::string(lock_.last_seen).find("TOPSECRET"), std::string::npos);
        if (!c.marker) {
            ov_lockfile_info_t info{};
            EXPECT_EQ(
                bounded(c.fifo, [&] { return ov_lockfile_inspect(name().c_str(), 60, &info); }),
                EFILENOTVALID);
            EXPECT_EQ(std::string(info.record).find("TOPSECRET"), std::string::npos);
        } else {
            EXPECT_EQ(read_file(lockpath()), kForeignRecord) << "the stale lock stays";
        }
        EXPECT_EQ(read_file(secret), "TOPSECRET\n");
        EXPECT_NE(access(path("nowhere").c_str(), F_OK), 0) << "created through the link";
        unlink(lockpath().c_str());
        unlink(breaker.c_str());
        for (const auto &e : entries(dir_)) EXPECT_EQ(e, "secret") << "left behind: " << e;
    }
    char text[128];
    EXPECT_STREQ(ov_lockfile_strerror(EFILENOTVALID, text, sizeof text),
                 "lock file is not a regular file");
}

// ---------------------------------------------------------------------------
// The age test and the takeover
// ---------------------------------------------------------------------------

TEST_F(LockFile, FreshForeignLockIsReportedAsHeld) {
    write_file(lockpath(), kForeignRecord);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
    EXPECT_EQ(lock_.locked, 0u);
    EXPECT_EQ(std::string(lock_.last_seen), kForeignRecord);
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);
    expect_no_leftovers();
}

TEST_F(LockFile, AgeEqualToExpirationIsFreshOneSecondMoreIsStale) {
    const Timing timing(kShortGap);
    for (int tries = 0;; ++tries) {
        ASSERT_LT(tries, 5) << "could not probe within one second of the file system's clock";
        ov_lockfile_release(&lock_);
        write_file(lockpath(), kForeignRecord);
        const time_t now = fs_now();
        set_age(lockpath(), now, -30);
        const int32_t rc = ov_lockfile_acquire(&lock_, name().c_str(), 30);
        // The probe ran between the two readings of the clock: when they
        // agree, it found an age of exactly 30 seconds.
        if (fs_now() != now) continue;
        EXPECT_EQ(rc, ELOCKED);
        break;
    }
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);

    set_age(lockpath(), fs_now(), -31);
    const auto start = Clock::now();
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 30));
    // Three probes with two full gaps between them.
    EXPECT_GE(Clock::now() - start, timing.probe_gap() * 19 / 10);
    EXPECT_EQ(std::string(lock_.last_seen), kForeignRecord);
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    expect_no_leftovers();
}

TEST_F(LockFile, EmptyLockFileIsJudgedByItsAge) {
    const Timing timing(kShortGap);
    write_file(lockpath(), "");
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
    EXPECT_STREQ(lock_.last_seen, "");

    set_age(lockpath(), time(nullptr), -100);
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    expect_no_leftovers();
}

TEST_F(LockFile, LockFromTheFutureIsClockSkew) {
    write_file(lockpath(), "1:x:y\n");
    set_age(lockpath(), time(nullptr), +120);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKSKEW);
    char text[64];
    EXPECT_STREQ(ov_lockfile_strerror(ELOCKSKEW, text, sizeof text), "clock skew detected");
    EXPECT_EQ(read_file(lockpath()), "1:x:y\n");
    expect_no_leftovers();
}

constexpr char kFoundStale[] = "_fs_age_stale: File appears to be stale";
constexpr char kTakingOver[] = "Lock file is stale, taking over.";
constexpr char kMovingAside[] = "Moving stale lockfile %s aside";

TEST_F(LockFile, HolderThatRefreshesBetweenProbesKeepsItsLock) {
    const Timing timing(kShortGap);
    plant_stale(kForeignRecord);
    int32_t rc = -1;
    {
        // The holder refreshes its file once the first probe has found it
        // stale, before the second probe.
        StepIn in(kFoundStale, [&](int hit) {
            if (hit == 1) utimes(lockpath().c_str(), nullptr);
        });
        rc = ov_lockfile_acquire(&lock_, name().c_str(), 60);
        EXPECT_EQ(StepIn::hits(), 1) << "only the first probe may find the file stale";
    }
    EXPECT_EQ(rc, ELOCKED);
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);
    expect_no_leftovers();
}

// Two contenders judged the same file stale; the faster one has already
// replaced it with its own lock when the slower one gets to its takeover.
// The slower one must leave that lock alone, whether the replacement comes
// before its second look or between the second look and the move.
TEST_F(LockFile, SlowContenderNeverRemovesTheLockAFasterOneCreated) {
    const Timing timing(20ms);
    for (const char *step : {kTakingOver, kMovingAside}) {
        SCOPED_TRACE(step);
        plant_stale(kForeignRecord);
        {
            StepIn in(step, [&](int) { replace_file(lockpath(), kTakeoverRecord); });
            EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
            EXPECT_EQ(StepIn::hits(), 1);
        }
        EXPECT_EQ(lock_.locked, 0u);
        EXPECT_EQ(read_file(lockpath()), kTakeoverRecord);
        expect_no_leftovers();
    }
}

// The holder of a lock that looked stale wakes up and refreshes it just
// before the takeover: same file, new modification time. It keeps its lock.
TEST_F(LockFile, HolderThatRefreshesBeforeTheMoveKeepsItsLock) {
    const Timing timing(20ms);
    for (const char *step : {kTakingOver, kMovingAside}) {
        SCOPED_TRACE(step);
        plant_stale(kForeignRecord);
        struct stat before {};
        ASSERT_EQ(stat(lockpath().c_str(), &before), 0);
        {
            StepIn in(step, [&](int) { utimes(lockpath().c_str(), nullptr); });
            EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
        }
        struct stat after {};
        ASSERT_EQ(stat(lockpath().c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "the holder's file must be the same file";
        EXPECT_EQ(read_file(lockpath()), kForeignRecord);
        expect_no_leftovers();
    }
}

// The breaker file beside the lock: a live one (another contender is taking
// over right now) turns a takeover away; one older than the expiration was
// left by a contender that died and is cleared.
TEST_F(LockFile, BreakerFileLetsOneContenderTakeOverAtATime) {
    const std::string breaker = lockpath() + ".brk";
    const std::string marker = "5:99999999-8888-7777-6666-555555555555:breaker\n";
    const Timing timing(20ms);
    plant_stale(kForeignRecord);
    write_file(breaker, marker);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
    EXPECT_EQ(read_file(breaker), marker);
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);

    set_age(breaker, time(nullptr), -100);
    EXPECT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    expect_no_leftovers();
}

TEST_F(LockFile, LongForeignRecordIsReadUpTo186Bytes) {
    const std::string foreign(300, 'r');
    write_file(lockpath(), foreign);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
    EXPECT_EQ(std::string(lock_.last_seen), foreign.substr(0, 186));
}

// ---------------------------------------------------------------------------
// Inspection: the age test without its consequences
// ---------------------------------------------------------------------------

// What a look at the lock found, with the call's code.
struct Look {
    int32_t rc;
    ov_lockfile_info_t info;
};

Look inspect(const std::string &name, int32_t expiration) {
    Look look{};
    look.rc = ov_lockfile_inspect(name.c_str(), expiration, &look.info);
    return look;
}

TEST_F(LockFile, InspectionGivesStateAgeAndRecordAndChangesNothing) {
    // No lock file, not even its directory: free, and the directory is not made.
    Look look = inspect(path("missing/res"), 60);
    ASSERT_OV_OK(look.rc);
    EXPECT_EQ(look.info.state, OV_LOCKFILE_FREE);
    EXPECT_EQ(look.info.age_seconds, 0);
    EXPECT_STREQ(look.info.record, "");
    EXPECT_NE(access(path("missing").c_str(), F_OK), 0);

    struct Case {
        const char *what;
        std::string record;
        long offset;  // the lock file's time relative to the file system's clock
        int32_t state;
        int64_t min_age, max_age;
    } cases[] = {
        {"fresh", kForeignRecord, -3, OV_LOCKFILE_HELD, 3, 5},
        {"stale", kForeignRecord, -100, OV_LOCKFILE_STALE, 100, 102},
        {"from the future", kForeignRecord, +120, OV_LOCKFILE_SKEWED, -120, -118},
        {"empty and fresh", "", -1, OV_LOCKFILE_HELD, 1, 3},
        {"empty and stale", "", -100, OV_LOCKFILE_STALE, 100, 102},
        {"not a record", "garbage", -100, OV_LOCKFILE_STALE, 100, 102},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(lockpath(), c.record);
        set_age(lockpath(), fs_now(), c.offset);
        const timespec before = mtime_of(lockpath());
        look = inspect(name(), 60);
        ASSERT_OV_OK(look.rc);
        EXPECT_EQ(look.info.state, c.state);
        EXPECT_GE(look.info.age_seconds, c.min_age);
        EXPECT_LE(look.info.age_seconds, c.max_age);
        EXPECT_EQ(std::string(look.info.record), c.record);
        // The lock is left exactly as it was: not refreshed, not taken over.
        EXPECT_EQ(read_file(lockpath()), c.record);
        EXPECT_TRUE(same_time(mtime_of(lockpath()), before));
        expect_no_leftovers();
    }
}

// A lock that inspection calls stale is one acquisition takes over, and one
// it calls held is refused: both judge through the same age test.
TEST_F(LockFile, InspectionAndAcquisitionAgreeAtTheExpiration) {
    const Timing timing(kShortGap);
    write_file(lockpath(), kForeignRecord);
    for (int tries = 0;; ++tries) {
        ASSERT_LT(tries, 5) << "could not probe within one second of the file system's clock";
        const time_t now = fs_now();
        set_age(lockpath(), now, -30);
        const Look look = inspect(name(), 30);
        if (fs_now() != now) continue;
        ASSERT_OV_OK(look.rc);
        EXPECT_EQ(look.info.state, OV_LOCKFILE_HELD);
        EXPECT_EQ(look.info.age_seconds, 30);
        break;
    }
    set_age(lockpath(), fs_now(), -32);
    const Look look = inspect(name(), 30);
    ASSERT_OV_OK(look.rc);
    EXPECT_EQ(look.info.state, OV_LOCKFILE_STALE);
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 30));
}

TEST_F(LockFile, InspectionCreatesOnlyTheProbeFileAndRemovesIt) {
    write_file(lockpath(), kForeignRecord);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir_.c_str(),
                                IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY),
              0);
    ASSERT_OV_OK(inspect(name(), 60).rc);
    alignas(inotify_event) char buffer[4096];
    std::vector<std::string> events;
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(p);
            const std::string what = (e->mask & IN_CREATE)   ? "create "
                                     : (e->mask & IN_DELETE) ? "delete "
                                     : (e->mask & IN_MODIFY) ? "modify "
                                                             : "move ";
            events.push_back(what + (e->len ? e->name : ""));
            p += sizeof *e + e->len;
        }
    }
    close(watch);
    // Created, written, deleted: one probe file named beside the lock.
    ASSERT_EQ(events.size(), 3u) << testing::PrintToString(events);
    const std::string probe = events[0].substr(sizeof "create " - 1);
    EXPECT_EQ(events[0], "create " + probe);
    EXPECT_EQ(events[1], "modify " + probe);
    EXPECT_EQ(events[2], "delete " + probe);
    EXPECT_EQ(probe.size(), std::string("res.lck.").size() + 36) << probe;
    EXPECT_EQ(probe.rfind("res.lck.", 0), 0u) << probe;
}

TEST_F(LockFile, InspectionRefusesWhatAcquisitionRefuses) {
    ov_lockfile_info_t info;
    std::memset(&info, 0x5a, sizeof info);
    EXPECT_EQ(ov_lockfile_inspect(nullptr, 60, &info), EINVAL);
    EXPECT_EQ(ov_lockfile_inspect("", 60, &info), EINVAL);
    EXPECT_EQ(ov_lockfile_inspect(name().c_str(), 1, &info), EINVAL);
    EXPECT_EQ(ov_lockfile_inspect(name().c_str(), 60, nullptr), EINVAL);
    EXPECT_EQ(info.state, 0x5a5a5a5a) << "untouched";
    EXPECT_EQ(inspect(path(std::string(250, 'n')), 60).rc, EPATHMAX);
    EXPECT_EQ(inspect(dir_ + std::string(8190, '/') + "res", 60).rc, EBUFFER);
    ASSERT_EQ(mkdir(lockpath().c_str(), 0755), 0);
    EXPECT_EQ(inspect(name(), 60).rc, EISDIR);
}

TEST_F(LockFile, InspectionNeedsToWriteTheProbeAsNonRoot) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    write_file(lockpath(), kForeignRecord);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const int code = ovtest::RunChild([&] {
        if (setgid(ovsupport::kNobody) != 0 || setuid(ovsupport::kNobody) != 0) return 99;
        ov_lockfile_info_t info{};
        return ov_lockfile_inspect(name().c_str(), 60, &info) == EACCES ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);
}

// ---------------------------------------------------------------------------
// Ownership at release
// ---------------------------------------------------------------------------

TEST_F(LockFile, ReleaseAfterReplacementLeavesTheOtherHoldersFile) {
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    replace_file(lockpath(), kTakeoverRecord);
    EXPECT_EQ(ov_lockfile_release(&lock_), ELOCKED);
    EXPECT_EQ(lock_.locked, 1u);
    EXPECT_EQ(read_file(lockpath()), kTakeoverRecord);
    unlink(lockpath().c_str());
}

TEST_F(LockFile, ReleaseAfterDeletionIsENOENT) {
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    ASSERT_EQ(unlink(lockpath().c_str()), 0);
    EXPECT_EQ(ov_lockfile_release(&lock_), ENOENT);
    EXPECT_EQ(lock_.locked, 1u);
    lock_.locked = 0;
}

// ---------------------------------------------------------------------------
// Exclusive creation never leaves a partial lock file
// ---------------------------------------------------------------------------

// Runs an acquisition in a child process whose file-size limit cuts the
// record's write short (limit > 0) or makes it fail (limit 0).
int acquire_with_file_size_limit(const std::string &n, rlim_t limit) {
    return ovtest::RunChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 250;
        ov_lockfile_t lock{};
        const int32_t rc = ov_lockfile_acquire(&lock, n.c_str(), 60);
        return rc == ENOSPC ? 1 : rc == EFBIG ? 2 : rc == 0 ? 0 : 3;
    });
}

TEST_F(LockFile, ShortOrFailedWriteDeletesTheNewFile) {
    EXPECT_EQ(acquire_with_file_size_limit(name(), 10), 1) << "short write gives ENOSPC";
    EXPECT_TRUE(entries(dir_).empty());
    EXPECT_EQ(acquire_with_file_size_limit(name(), 0), 2) << "failed write gives its errno";
    EXPECT_TRUE(entries(dir_).empty());
}

// ---------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------

TEST(LockFileMessages, TextsForEveryCodeClass) {
    struct Case {
        int32_t code;
        const char *text;
    } cases[] = {
        {EPERM, "permission denied"},
        {EIO, "I/O error"},
        {ENOMEM, "out of memory"},
        {EACCES, "access denied"},
        {ENOSPC, "out of disk space"},
        {ELOCKED, "locked by another process"},
        {ELOCKINVAL, "invalid lock file"},
        {ELOCKSKEW, "clock skew detected"},
        {EBUFFER, "Insufficient buffer space"},
        {EINVAL, "Invalid argument"},
        {ENOENT, "No such file or directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        char buf[8192];
        EXPECT_STREQ(ov_lockfile_strerror(c.code, buf, sizeof buf), c.text);
    }
    char small[5];
    EXPECT_STREQ(ov_lockfile_strerror(ELOCKED, small, sizeof small), "lock");
    EXPECT_EQ(ov_lockfile_strerror(ELOCKED, nullptr, 10), nullptr);
}

// ---------------------------------------------------------------------------
// The keep-alive worker
// ---------------------------------------------------------------------------

bool wait_for(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

uint32_t lost(ov_lockfile_t *h) {
    return static_cast<uint32_t>(ov_lockfile_is_lost(h));
}

constexpr char kRefreshFailed[] = "Unable to update lock file %s err=%d count=%d";

TEST_F(LockFile, WorkerRefreshesEveryPeriodWithoutChangingContent) {
    const Timing timing(kShortGap, kShortRefresh);
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60));
    EXPECT_EQ(ov_lockfile_is_worker_running(&lock_), 1);
    EXPECT_EQ(ov_lockfile_is_locked(&lock_), 1);
    const std::string content = read_file(lockpath());
    // The file's time moves with every refresh, each within a few periods:
    // a worker that refreshed at a third of its rate would miss.
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const timespec before = mtime_of(lockpath());
        EXPECT_TRUE(wait_for([&] { return !same_time(mtime_of(lockpath()), before); },
                             timing.refresh() * 3 + 500ms))
            << "the file's time should move with every refresh";
        EXPECT_EQ(read_file(lockpath()), content);
    }
    EXPECT_EQ(lost(&lock_), 0u);
    ASSERT_OV_OK(ov_lockfile_release(&lock_));
    EXPECT_EQ(ov_lockfile_is_worker_running(&lock_), 0);
    EXPECT_EQ(ov_lockfile_is_locked(&lock_), 0);
    EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(LockFile, WorkerNoticesTakeoverAndReleaseLeavesNewHolder) {
    // The worker may read its file once before the replacement and then
    // notice it only at its next refresh.
    const Timing timing(kShortGap, kShortRefresh);
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60));
    replace_file(lockpath(), kTakeoverRecord);
    ASSERT_TRUE(wait_for([&] { return lost(&lock_) != 0; }, 3000ms));
    EXPECT_EQ(std::string(lock_.last_seen), kTakeoverRecord);
    EXPECT_EQ(ov_lockfile_release(&lock_), ELOCKED);
    EXPECT_EQ(read_file(lockpath()), kTakeoverRecord);
    EXPECT_EQ(ov_lockfile_is_worker_running(&lock_), 0);
    EXPECT_EQ(ov_lockfile_is_locked(&lock_), 1) << "a lost lock stays locked until released";
    EXPECT_EQ(ov_lockfile_is_lost(&lock_), 1);
    lock_.locked = 0;
}

TEST_F(LockFile, WorkerGivesUpAfterTenFailedRefreshes) {
    const Timing timing(kShortGap, kShortRefresh);
    const std::string before = "5:prior:holder\n";
    plant_stale(before);
    // The lost flag as each failed refresh is reported, read by the worker
    // itself; shared, as the worker may outlive this body should it fail.
    auto lost_at_failure = std::make_shared<std::vector<uint32_t>>();
    worker_step_in_.emplace(
        kRefreshFailed, [this, lost_at_failure](int) { lost_at_failure->push_back(lost(&lock_)); });
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 2));
    ASSERT_EQ(std::string(lock_.last_seen), before);
    ASSERT_EQ(unlink(lockpath().c_str()), 0);
    // Ten failures a period apart, the lock kept through each, then lost.
    ASSERT_TRUE(wait_for([&] { return lost(&lock_) != 0; }, 10s + timing.refresh() * 12));
    EXPECT_EQ(*lost_at_failure, std::vector<uint32_t>(10, 0u));
    EXPECT_EQ(std::string(lock_.last_seen), before) << "last_seen keeps what acquisition found";
    EXPECT_EQ(ov_lockfile_release(&lock_), ENOENT);
    lock_.locked = 0;
}

TEST_F(LockFile, WorkerFailureCountRestartsWhenTheFileComesBack) {
    const Timing timing(kShortGap, kShortRefresh);
    // Seven failures, then our own record again, then seven more: never ten
    // in a row. The record comes back at the seventh failure of each run,
    // put there by the worker's own thread as it reports that failure.
    worker_step_in_.emplace(kRefreshFailed, [this](int hit) {
        if (hit % 7 == 0) ovsupport::write_file(lockpath(), lock_.content);
    });
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60));
    const auto limit = 10s + timing.refresh() * 12;
    // Waits until the worker has refreshed the file, and so read it back.
    const auto refreshed = [&] {
        const timespec before = mtime_of(lockpath());
        return wait_for([&] { return !same_time(mtime_of(lockpath()), before); }, limit);
    };
    for (const int failures : {7, 14}) {
        SCOPED_TRACE(failures);
        ASSERT_EQ(unlink(lockpath().c_str()), 0);
        ASSERT_TRUE(wait_for([&] { return StepIn::hits() >= failures || lost(&lock_); }, limit));
        ASSERT_EQ(lost(&lock_), 0u);
        ASSERT_TRUE(refreshed());
    }
    EXPECT_EQ(StepIn::hits(), 14);
    EXPECT_EQ(lost(&lock_), 0u);
    ASSERT_OV_OK(ov_lockfile_release(&lock_));
}

TEST_F(LockFile, WorkerStartIsRefusedTwiceAndWithoutALock) {
    EXPECT_EQ(ov_lockfile_start_worker(nullptr), EINVAL);
    EXPECT_EQ(ov_lockfile_is_locked(nullptr), 0);
    EXPECT_EQ(ov_lockfile_is_lost(nullptr), 0);
    EXPECT_EQ(ov_lockfile_is_worker_running(nullptr), 0);
    ov_lockfile_t unlocked{};
    EXPECT_EQ(ov_lockfile_start_worker(&unlocked), EINVAL);
    EXPECT_EQ(unlocked.worker_running, 0u);

    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    ASSERT_OV_OK(ov_lockfile_start_worker(&lock_));
    EXPECT_EQ(ov_lockfile_start_worker(&lock_), EINVAL);
    ASSERT_OV_OK(ov_lockfile_release(&lock_));
}

TEST_F(LockFile, ReleaseRightAfterStartDoesNotWaitForTheRefreshPeriod) {
    for (int i = 0; i < 5; ++i) {
        ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60));
        if (i % 2) std::this_thread::sleep_for(200ms);  // worker inside its wait
        const auto start = Clock::now();
        ASSERT_OV_OK(ov_lockfile_release(&lock_));
        EXPECT_LT(Clock::now() - start, 500ms);
        EXPECT_TRUE(entries(dir_).empty());
    }
}

TEST_F(LockFile, AcquireContinuousReportsAcquisitionFailure) {
    write_file(lockpath(), "1:x:y\n");
    EXPECT_EQ(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60), ELOCKED);
    EXPECT_EQ(ov_lockfile_is_worker_running(&lock_), 0);
}

// ---------------------------------------------------------------------------
// The waiting acquisition
// ---------------------------------------------------------------------------

// The waiting acquisition's back-off for one test, restored afterwards. A
// long back-off leaves a waiter only the release on this host and its turn
// in the queue to wake it: a wait that ends within the tests' bounds was
// woken by those. Against the shared library, which hides the hook, the
// built-in back-off of at most a second is in force.
class Backoff {
  public:
    explicit Backoff(std::chrono::milliseconds step) {
        if (!hook_present()) return;
        const auto ms = static_cast<uint32_t>(step.count());
        ov_lockfile_set_test_backoff(ms, ms);
    }
    ~Backoff() {
        if (hook_present()) ov_lockfile_set_test_backoff(0, 0);
    }
    Backoff(const Backoff &) = delete;
    Backoff &operator=(const Backoff &) = delete;

    static bool hook_present() {
#ifdef OV_TEST_HOOK_WEAK
        return &ov_lockfile_set_test_backoff != nullptr;
#else
        return true;
#endif
    }
};

// Longer than any bound below: a waiter that is not woken sleeps past them.
constexpr auto kSleepyBackoff = 120s;
// How long a woken waiter may take, on a loaded machine, to get the lock.
constexpr auto kWakeBound = 15s;

// This process's descriptors whose link reads as target begins.
int descriptors(const std::string &target_prefix) {
    int count = 0;
    for (const std::string &fd : entries("/proc/self/fd")) {
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + fd;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind(target_prefix, 0) == 0)
            ++count;
    }
    return count;
}

int all_descriptors() {
    return descriptors("");
}

// inotify instances of this process that watch something.
int inotify_watches() {
    int count = 0;
    for (const std::string &fd : entries("/proc/self/fd")) {
        char target[64] = {};
        const ssize_t n = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)) != "anon_inode:inotify") continue;
        if (read_file("/proc/self/fdinfo/" + fd).find("inotify wd:") != std::string::npos) ++count;
    }
    return count;
}

ov_lockfile_wait_t wait_options(int64_t timeout_ms, int cancel_fd = -1) {
    ov_lockfile_wait_t wait = OV_LOCKFILE_WAIT_INIT;
    wait.timeout_ms = timeout_ms;
    wait.cancel_fd = cancel_fd;
    return wait;
}

// A waiter on a thread of its own, with a handle of its own: it waits for
// the lock and, once it has it, holds it until let go. Waiters that get the
// lock note their number in a shared list, in the order they got it.
// Without a cancel descriptor of the test's, a waiter has one of its own,
// through which a test that fails ends the wait rather than hang on it.
class Waiter {
  public:
    Waiter(const std::string &name, int number, int64_t timeout_ms, int cancel_fd = -1,
           std::vector<int> *order = nullptr, std::mutex *order_mutex = nullptr)
        : own_cancel_(cancel_fd < 0 ? make_pipe() : std::array<int, 2>{-1, -1}), thread_([=, this] {
              const int fd = cancel_fd < 0 ? own_cancel_[0] : cancel_fd;
              const ov_lockfile_wait_t wait = wait_options(timeout_ms, fd);
              const int32_t rc = ov_lockfile_acquire_wait(&lock_, name.c_str(), 60, &wait);
              if (rc == 0 && order != nullptr) {
                  const std::lock_guard<std::mutex> guard(*order_mutex);
                  order->push_back(number);
              }
              std::unique_lock<std::mutex> lock(mutex_);
              rc_ = rc;
              done_.notify_all();
              done_.wait(lock, [this] { return let_go_; });
              if (rc == 0) release_rc_ = ov_lockfile_release(&lock_);
          }) {}
    ~Waiter() {
        if (own_cancel_[1] >= 0) {
            EXPECT_EQ(write(own_cancel_[1], "x", 1), 1);
        }
        let_go();
        for (const int fd : own_cancel_) {
            if (fd >= 0) close(fd);
        }
    }
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;

    // The wait's result, once it has one within limit.
    std::optional<int32_t> result(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait_for(lock, limit, [this] { return rc_.has_value(); });
        return rc_;
    }
    // Lets a holder release its lock; returns once it has.
    int32_t let_go() {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            if (let_go_) return release_rc_;
            let_go_ = true;
        }
        done_.notify_all();
        if (thread_.joinable()) thread_.join();
        return release_rc_;
    }
    bool locked() const { return ov_lockfile_is_locked(&lock_) != 0; }

  private:
    static std::array<int, 2> make_pipe() {
        std::array<int, 2> ends{-1, -1};
        EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC), 0) << std::strerror(errno);
        return ends;
    }

    std::array<int, 2> own_cancel_;
    ov_lockfile_t lock_{};
    std::mutex mutex_;
    std::condition_variable done_;
    std::optional<int32_t> rc_;
    bool let_go_ = false;
    int32_t release_rc_ = 0;
    std::thread thread_;
};

TEST_F(LockFile, WaitingAcquisitionTakesAFreeLockAndAStaleOne) {
    const Timing timing(kShortGap);
    char fault[64] = "stale text";
    ov_lockfile_wait_t wait = wait_options(0);
    wait.fault_dir = fault;
    wait.fault_dir_size = sizeof fault;
    ASSERT_OV_OK(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait));
    EXPECT_EQ(ov_lockfile_is_locked(&lock_), 1);
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    EXPECT_STREQ(fault, "") << "no directory at fault";
    ASSERT_OV_OK(ov_lockfile_release(&lock_));

    // Stale at the first try: taken over.
    plant_stale(kForeignRecord);
    ASSERT_OV_OK(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait));
    EXPECT_EQ(std::string(lock_.last_seen), kForeignRecord);
    expect_no_leftovers();
    ASSERT_OV_OK(ov_lockfile_release(&lock_));

    // Fresh at first, and then nobody refreshes it: the waiter goes on
    // looking at a file that does not change, and takes it over once stale.
    write_file(lockpath(), kForeignRecord);
    set_age(lockpath(), fs_now(), -1);
    const ov_lockfile_wait_t patient = wait_options(30000);
    const auto start = Clock::now();
    ASSERT_OV_OK(ov_lockfile_acquire_wait(&lock_, name().c_str(), 3, &patient));
    EXPECT_LT(Clock::now() - start, 25s);
    EXPECT_EQ(std::string(lock_.last_seen), kForeignRecord);
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    expect_no_leftovers();
}

// A lock file that goes between two steps of a try changed hands at that
// moment: the try ends in ENOENT, and the wait tries again at once, even
// with a timeout of 0.
TEST_F(LockFile, LockThatChangesHandsDuringATryIsTriedAgainAtOnce) {
    const Timing timing(kShortGap);
    plant_stale(kForeignRecord);
    const StepIn step_in("_fs_age_stale: File appears to be stale", [this](int hit) {
        if (hit == 1) unlink(lockpath().c_str());
    });
    const ov_lockfile_wait_t wait = wait_options(0);
    ASSERT_OV_OK(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait));
    EXPECT_EQ(StepIn::hits(), 1);
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    expect_no_leftovers();
}

TEST_F(LockFile, WaitingAcquisitionTimesOutOnAHeldLockAndLeavesNothingBehind) {
    ov_lockfile_t holder{};
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&holder, name().c_str(), 60));
    const int open_before = all_descriptors();

    auto start = Clock::now();
    ov_lockfile_wait_t wait = wait_options(0);
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait), ELOCKED);
    EXPECT_LT(Clock::now() - start, 5s) << "a timeout of 0 is one try";
    EXPECT_EQ(ov_lockfile_is_locked(&lock_), 0);
    EXPECT_EQ(std::string(lock_.last_seen), holder.content);

    wait.timeout_ms = 1500;
    start = Clock::now();
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait), ELOCKED);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 1500ms);
    EXPECT_LT(waited, 12s);
    EXPECT_EQ(ov_lockfile_is_locked(&lock_), 0);

    // No probe file, no queue socket, no watch stays behind; the holder's
    // file is as it was.
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"res.lck"});
    EXPECT_EQ(all_descriptors(), open_before);
    EXPECT_EQ(inotify_watches(), 0);
    EXPECT_EQ(read_file(lockpath()), holder.content);
    ASSERT_OV_OK(ov_lockfile_release(&holder));
}

TEST_F(LockFile, ReleaseOnThisHostWakesTheWaiterAtOnce) {
    const Backoff backoff(kSleepyBackoff);
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    Waiter waiter(name(), 1, 300000);
    // It waits once it watches the lock's directory.
    ASSERT_TRUE(wait_for([] { return inotify_watches() == 1; }, kWakeBound));
    EXPECT_FALSE(waiter.result(300ms).has_value());
    const auto released = Clock::now();
    ASSERT_OV_OK(ov_lockfile_release(&lock_));
    EXPECT_EQ(waiter.result(kWakeBound), std::optional<int32_t>(0));
    EXPECT_LT(Clock::now() - released, kWakeBound);
    EXPECT_TRUE(waiter.locked());
    EXPECT_EQ(inotify_watches(), 0) << "the holder stopped watching";
    EXPECT_OV_OK(waiter.let_go());
    EXPECT_TRUE(entries(dir_).empty());
}

// Waiters on one host queue up: only the first watches the directory, one
// release wakes one waiter, the new holder hands its place on, and they get
// the lock in the order they came. The order holds while only the queue
// wakes anyone: every waiter also tries at the end of each back-off step of
// its own, so against the shared library, whose steps cannot be slowed down
// from here, a waiter in line whose step ends right after a release may
// come first; each still gets the lock once, one release at a time.
TEST_F(LockFile, QueuedWaitersTakeTheLockOneAtATimeInTheOrderTheyCame) {
    const Backoff backoff(kSleepyBackoff);
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    const int sockets_before = descriptors("socket:");
    std::vector<int> order;
    std::mutex order_mutex;
    const auto acquired = [&] {
        const std::lock_guard<std::mutex> guard(order_mutex);
        return order.size();
    };
    constexpr int kWaiters = 4;
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(std::make_unique<Waiter>(name(), i, -1, -1, &order, &order_mutex));
        // In line once it has its socket: the head's listening one, or its
        // connection to the head.
        ASSERT_TRUE(
            wait_for([&] { return descriptors("socket:") == sockets_before + i + 1; }, kWakeBound))
            << "waiter " << i << " did not join the queue";
    }
    EXPECT_EQ(inotify_watches(), 1) << "a release would wake more than one waiter";

    ASSERT_OV_OK(ov_lockfile_release(&lock_));
    for (size_t turn = 1; turn <= kWaiters; ++turn) {
        SCOPED_TRACE(turn);
        ASSERT_TRUE(wait_for([&] { return acquired() >= turn; }, kWakeBound));
        // The others wait on: one release, one waiter.
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(acquired(), turn);
        if (turn < kWaiters) {
            EXPECT_EQ(inotify_watches(), 1) << "nobody watches for the next release";
        }
        const std::lock_guard<std::mutex> guard(order_mutex);
        if (Backoff::hook_present()) {
            EXPECT_EQ(order.back(), static_cast<int>(turn) - 1);
        }
        EXPECT_OV_OK(waiters[static_cast<size_t>(order.back())]->let_go());
    }
    EXPECT_EQ(descriptors("socket:"), sockets_before);
    EXPECT_EQ(inotify_watches(), 0);
    EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(LockFile, CancelDescriptorEndsTheWaitAndLeavesNothingHeld) {
    const Backoff backoff(kSleepyBackoff);
    int cancel[2];
    ASSERT_EQ(pipe2(cancel, O_CLOEXEC), 0);
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    {
        Waiter waiter(name(), 1, -1, cancel[0]);
        ASSERT_TRUE(wait_for([] { return inotify_watches() == 1; }, kWakeBound));
        EXPECT_FALSE(waiter.result(300ms).has_value()) << "no limit: it waits on";
        ASSERT_EQ(write(cancel[1], "x", 1), 1);
        EXPECT_EQ(waiter.result(kWakeBound), std::optional<int32_t>(ECANCELED));
        EXPECT_FALSE(waiter.locked());
    }
    EXPECT_EQ(inotify_watches(), 0);
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    ASSERT_OV_OK(ov_lockfile_release(&lock_));

    // Ready at the call: not even a free lock is taken.
    ov_lockfile_wait_t wait = wait_options(0, cancel[0]);
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait), ECANCELED);
    EXPECT_TRUE(entries(dir_).empty());

    // Ready while a try takes a stale lock over: the try ends, and what it
    // got is released again.
    int late[2];
    ASSERT_EQ(pipe2(late, O_CLOEXEC), 0);
    const Timing timing(kShortGap);
    plant_stale(kForeignRecord);
    {
        const StepIn step_in("Lock file is stale, taking over.",
                             [&](int) { ASSERT_EQ(write(late[1], "x", 1), 1); });
        wait = wait_options(0, late[0]);
        EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait), ECANCELED);
        EXPECT_EQ(StepIn::hits(), 1);
    }
    EXPECT_EQ(ov_lockfile_is_locked(&lock_), 0);
    EXPECT_TRUE(entries(dir_).empty()) << "the lock the try got was released";

    for (const int fd : {cancel[0], cancel[1], late[0], late[1]}) close(fd);
    wait = wait_options(0, cancel[0]);
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, name().c_str(), 60, &wait), EBADF);
}

TEST_F(LockFile, WaitingAcquisitionRefusesBadArgumentsWithoutTouchingTheHandle) {
    ov_lockfile_t pattern;
    std::memset(&pattern, 0xA5, sizeof pattern);
    // A caller built against a later header: known fields, then one more.
    struct Later {
        ov_lockfile_wait_t known;
        uint64_t added;
    };
    Later later{wait_options(0), 0};
    later.known.size = sizeof later;
    ov_lockfile_wait_t small = wait_options(0);
    small.size = sizeof small - 1;
    ov_lockfile_wait_t zero = wait_options(0);
    zero.size = 0;
    const ov_lockfile_wait_t below = wait_options(0, -2);
    const ov_lockfile_wait_t good = wait_options(0);
    const std::string n = name();
    struct Case {
        const char *what;
        const char *name;
        int32_t expiration;
        const ov_lockfile_wait_t *wait;
    } cases[] = {
        {"null name", nullptr, 60, &good},       {"empty name", "", 60, &good},
        {"expiration 1", n.c_str(), 1, &good},   {"null wait", n.c_str(), 60, nullptr},
        {"size 0", n.c_str(), 60, &zero},        {"size too small", n.c_str(), 60, &small},
        {"cancel_fd -2", n.c_str(), 60, &below},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ov_lockfile_t handle;
        std::memcpy(&handle, &pattern, sizeof handle);
        EXPECT_EQ(ov_lockfile_acquire_wait(&handle, c.name, c.expiration, c.wait), EINVAL);
        EXPECT_EQ(std::memcmp(&handle, &pattern, sizeof handle), 0);
    }
    EXPECT_EQ(ov_lockfile_acquire_wait(nullptr, n.c_str(), 60, &good), EINVAL);
    // A field this library does not know, set: refused rather than ignored.
    later.added = 1;
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, n.c_str(), 60, &later.known), EINVAL);
    EXPECT_TRUE(entries(dir_).empty());
    // Left at its default, it asks nothing new.
    later.added = 0;
    ASSERT_OV_OK(ov_lockfile_acquire_wait(&lock_, n.c_str(), 60, &later.known));
}

TEST_F(LockFile, DirectoryThatCannotHoldTheLockIsAFaultNotBusy) {
    ASSERT_EQ(symlink("nowhere", path("gone").c_str()), 0);
    write_file(path("plain"), "");
    struct Case {
        const char *what;
        std::string name;
        int32_t fault;
        std::string where;
    } cases[] = {
        {"missing directories are made", path("a/b/res"), 0, ""},
        {"a bare name", "res", 0, ""},
        {"a link to nothing", path("gone/res"), ENOENT, path("gone")},
        {"a link to nothing further up", path("gone/deeper/res"), ENOENT, path("gone")},
        {"a file where a directory should be", path("plain/sub/res"), ENOTDIR, path("plain/sub")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        char where[8192] = "stale text";
        EXPECT_EQ(ov_lockfile_directory_fault(c.name.c_str(), where, sizeof where), c.fault);
        EXPECT_EQ(std::string(where), c.where);
    }
    EXPECT_NE(access(path("a").c_str(), F_OK), 0) << "nothing is made";

    // The waiting acquisition fails at once, naming the directory.
    char where[8192] = "";
    ov_lockfile_wait_t wait = wait_options(30000);
    wait.fault_dir = where;
    wait.fault_dir_size = sizeof where;
    const auto start = Clock::now();
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, path("gone/res").c_str(), 60, &wait), ENOENT);
    EXPECT_LT(Clock::now() - start, 10s) << "not waited on as busy";
    EXPECT_EQ(std::string(where), path("gone"));
    // Cut to the room given; a failure that is not the directory's names none.
    wait.fault_dir_size = 4;
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, path("gone/res").c_str(), 60, &wait), ENOENT);
    EXPECT_EQ(std::string(where), path("gone").substr(0, 3));
    wait.fault_dir_size = sizeof where;
    EXPECT_EQ(ov_lockfile_acquire_wait(&lock_, path("plain/res").c_str(), 60, &wait), ENOTDIR);
    EXPECT_STREQ(where, "");

    EXPECT_EQ(ov_lockfile_directory_fault(nullptr, where, sizeof where), EINVAL);
    EXPECT_EQ(ov_lockfile_directory_fault("", where, sizeof where), EINVAL);
    EXPECT_EQ(ov_lockfile_directory_fault("res", nullptr, 5), EINVAL);
    EXPECT_EQ(ov_lockfile_directory_fault(path("gone/res").c_str(), nullptr, 0), ENOENT);
}

}  // namespace
