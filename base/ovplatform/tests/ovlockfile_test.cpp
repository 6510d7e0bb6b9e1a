// ovlockfile_test.cpp - lock files: acquisition, age test, takeover, release,
// messages and the keep-alive worker.
//
// Lock files are aged with utimes() instead of sleeping; the only real waits
// are the one-second gaps between age probes and the worker's refresh period.
#include <ovplatform/ovlockfile.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovplatform.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "internal/lockfile_testing.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovsupport::entries;
using ovsupport::read_file;
using ovtest::write_file;

// Replaces a file atomically, as another holder taking the lock over would.
void replace_file(const std::string &path, const std::string &data) {
    const std::string tmp = path + ".replacement";
    write_file(tmp, data);
    ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

// Sets a file's modification time to `seconds` relative to now.
void set_age(const std::string &path, time_t now, long offset_seconds) {
    struct timeval tv[2] = {{now + offset_seconds, 0}, {now + offset_seconds, 0}};
    ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

timespec mtime_of(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtim;
}

// The record of a holder elsewhere, found in place before a test begins.
const std::string kForeignRecord = "77:11111111-2222-3333-4444-555555555555:elsewhere\n";
// The record of a holder that takes the lock over while the test holds it.
const std::string kTakeoverRecord = "99:aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee:other\n";

std::string host_name() {
    char host[8192] = {};
    ov_platform_hostname(host, sizeof host);
    return host;
}

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
    ov_lockfile_t lock_{};
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

// ---------------------------------------------------------------------------
// The age test and the takeover
// ---------------------------------------------------------------------------

// Waits until just after the start of a wall-clock second, so that the
// file system's second does not tick between setting an age and probing it.
// The file system's clock is coarse and may lag by a few milliseconds.
time_t start_of_second() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::this_thread::sleep_for(std::chrono::microseconds(1000000 - tv.tv_usec + 20000));
    return time(nullptr);
}

TEST_F(LockFile, FreshForeignLockIsReportedAsHeld) {
    write_file(lockpath(), kForeignRecord);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
    EXPECT_EQ(lock_.locked, 0u);
    EXPECT_EQ(std::string(lock_.last_seen), kForeignRecord);
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);
    expect_no_leftovers();
}

TEST_F(LockFile, AgeEqualToExpirationIsFreshOneSecondMoreIsStale) {
    write_file(lockpath(), kForeignRecord);
    for (int tries = 0;; ++tries) {
        ASSERT_LT(tries, 5) << "could not probe within one wall-clock second";
        ov_lockfile_release(&lock_);
        write_file(lockpath(), kForeignRecord);
        const time_t now = start_of_second();
        set_age(lockpath(), now, -30);
        const int32_t rc = ov_lockfile_acquire(&lock_, name().c_str(), 30);
        if (time(nullptr) != now) continue;
        EXPECT_EQ(rc, ELOCKED);
        break;
    }
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);

    set_age(lockpath(), time(nullptr), -31);
    const auto start = Clock::now();
    ASSERT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 30));
    // Three probes with two one-second sleeps between them.
    EXPECT_GE(Clock::now() - start, 1900ms);
    EXPECT_EQ(std::string(lock_.last_seen), kForeignRecord);
    EXPECT_EQ(read_file(lockpath()), lock_.content);
    expect_no_leftovers();
}

TEST_F(LockFile, EmptyLockFileIsJudgedByItsAge) {
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

TEST_F(LockFile, HolderThatRefreshesBetweenProbesKeepsItsLock) {
    write_file(lockpath(), kForeignRecord);
    set_age(lockpath(), time(nullptr), -100);
    std::atomic<int32_t> rc{-1};
    std::thread contender([&] { rc = ov_lockfile_acquire(&lock_, name().c_str(), 60); });
    // The first probe runs at once; the second follows a second later.
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(utimes(lockpath().c_str(), nullptr), 0);
    contender.join();
    EXPECT_EQ(rc.load(), ELOCKED);
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);
    expect_no_leftovers();
}

// Runs an action on the acquiring thread at the moment acquisition logs a
// given line: the way these tests step in between the stale verdict, the
// second look and the move without racing a sleeping thread.
class StepIn {
  public:
    StepIn(const char *format, std::function<void()> action) {
        format_ = format;
        action_ = std::move(action);
        ov_log_set_level(5);
        ov_log_set_callback(&StepIn::record);
        ov_lockfile_set_test_timing(20, 0, 0);
    }
    ~StepIn() {
        ov_log_close();
        ov_lockfile_set_test_timing(0, 0, 0);
        action_ = nullptr;
    }
    static int hits() { return hits_; }

  private:
    static void record(uint32_t, const char *, int, const char *format, va_list) {
        if (action_ && std::strcmp(format, format_) == 0) {
            ++hits_;
            action_();
        }
    }
    static inline const char *format_ = nullptr;
    static inline std::function<void()> action_;
    static inline int hits_ = 0;
};

constexpr char kTakingOver[] = "Lock file is stale, taking over.";
constexpr char kMovingAside[] = "Moving stale lockfile %s aside";

// Two contenders judged the same file stale; the faster one has already
// replaced it with its own lock when the slower one gets to its takeover.
// The slower one must leave that lock alone, whether the replacement comes
// before its second look or between the second look and the move.
TEST_F(LockFile, SlowContenderNeverRemovesTheLockAFasterOneCreated) {
    for (const char *step : {kTakingOver, kMovingAside}) {
        SCOPED_TRACE(step);
        write_file(lockpath(), kForeignRecord);
        set_age(lockpath(), time(nullptr), -100);
        const int before = StepIn::hits();
        {
            StepIn in(step, [&] { replace_file(lockpath(), kTakeoverRecord); });
            EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
        }
        EXPECT_EQ(StepIn::hits(), before + 1);
        EXPECT_EQ(lock_.locked, 0u);
        EXPECT_EQ(read_file(lockpath()), kTakeoverRecord);
        expect_no_leftovers();
    }
}

// The holder of a lock that looked stale wakes up and refreshes it just
// before the takeover: same file, new modification time. It keeps its lock.
TEST_F(LockFile, HolderThatRefreshesBeforeTheMoveKeepsItsLock) {
    for (const char *step : {kTakingOver, kMovingAside}) {
        SCOPED_TRACE(step);
        write_file(lockpath(), kForeignRecord);
        set_age(lockpath(), time(nullptr), -100);
        struct stat before {};
        ASSERT_EQ(stat(lockpath().c_str(), &before), 0);
        {
            StepIn in(step, [&] { utimes(lockpath().c_str(), nullptr); });
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
    ov_lockfile_set_test_timing(20, 0, 0);
    write_file(lockpath(), kForeignRecord);
    set_age(lockpath(), time(nullptr), -100);
    write_file(breaker, marker);
    EXPECT_EQ(ov_lockfile_acquire(&lock_, name().c_str(), 60), ELOCKED);
    EXPECT_EQ(read_file(breaker), marker);
    EXPECT_EQ(read_file(lockpath()), kForeignRecord);

    set_age(breaker, time(nullptr), -100);
    EXPECT_OV_OK(ov_lockfile_acquire(&lock_, name().c_str(), 60));
    ov_lockfile_set_test_timing(0, 0, 0);
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
    return __atomic_load_n(&h->lost, __ATOMIC_ACQUIRE);
}

TEST_F(LockFile, WorkerRefreshesAboutOnceASecondWithoutChangingContent) {
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60));
    EXPECT_EQ(lock_.worker_running, 1u);
    const std::string content = read_file(lockpath());
    std::vector<timespec> stamps;
    for (int i = 0; i < 4; ++i) {
        stamps.push_back(mtime_of(lockpath()));
        std::this_thread::sleep_for(1000ms);
    }
    int advanced = 0;
    for (size_t i = 1; i < stamps.size(); ++i) {
        if (stamps[i].tv_sec != stamps[i - 1].tv_sec || stamps[i].tv_nsec != stamps[i - 1].tv_nsec)
            ++advanced;
    }
    EXPECT_GE(advanced, 2) << "the file's time should move with every refresh";
    EXPECT_EQ(read_file(lockpath()), content);
    EXPECT_EQ(lost(&lock_), 0u);
    ASSERT_OV_OK(ov_lockfile_release(&lock_));
    EXPECT_EQ(lock_.worker_running, 0u);
    EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(LockFile, WorkerNoticesTakeoverAndReleaseLeavesNewHolder) {
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60));
    replace_file(lockpath(), kTakeoverRecord);
    ASSERT_TRUE(wait_for([&] { return lost(&lock_) != 0; }, 3000ms));
    EXPECT_EQ(std::string(lock_.last_seen), kTakeoverRecord);
    EXPECT_EQ(ov_lockfile_release(&lock_), ELOCKED);
    EXPECT_EQ(read_file(lockpath()), kTakeoverRecord);
    EXPECT_EQ(lock_.worker_running, 0u);
    lock_.locked = 0;
}

TEST_F(LockFile, WorkerGivesUpAfterTenFailedRefreshes) {
    const std::string before = "5:prior:holder\n";
    write_file(lockpath(), before);
    set_age(lockpath(), time(nullptr), -100);
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 2));
    ASSERT_EQ(std::string(lock_.last_seen), before);
    ASSERT_EQ(unlink(lockpath().c_str()), 0);
    // Ten failures a second apart: not lost after a few seconds, lost after ten.
    std::this_thread::sleep_for(4000ms);
    EXPECT_EQ(lost(&lock_), 0u);
    ASSERT_TRUE(wait_for([&] { return lost(&lock_) != 0; }, 10000ms));
    EXPECT_EQ(std::string(lock_.last_seen), before) << "last_seen keeps what acquisition found";
    EXPECT_EQ(ov_lockfile_release(&lock_), ENOENT);
    lock_.locked = 0;
}

TEST_F(LockFile, WorkerFailureCountRestartsWhenTheFileComesBack) {
    ASSERT_OV_OK(ov_lockfile_acquire_continuous(&lock_, name().c_str(), 60));
    const std::string content = lock_.content;
    // Seven failures, then our own record again, then seven more: never ten in a row.
    ASSERT_EQ(unlink(lockpath().c_str()), 0);
    std::this_thread::sleep_for(6500ms);
    write_file(lockpath(), content);
    std::this_thread::sleep_for(2000ms);
    ASSERT_EQ(unlink(lockpath().c_str()), 0);
    std::this_thread::sleep_for(6500ms);
    EXPECT_EQ(lost(&lock_), 0u);
    write_file(lockpath(), content);
    ASSERT_OV_OK(ov_lockfile_release(&lock_));
}

TEST_F(LockFile, WorkerStartIsRefusedTwiceAndWithoutALock) {
    EXPECT_EQ(ov_lockfile_start_worker(nullptr), EINVAL);
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
    EXPECT_EQ(lock_.worker_running, 0u);
}

}  // namespace
