// reliability_faults_test.cpp - the lock tool and module under faults and resource strain.
//
// The tool is run as users run it, as a child process with its output in
// files; the test process is a child subreaper, so the worker each
// successful run leaves behind is reparented to it and its real exit status
// can be checked. The faults: a held lock file deleted, replaced or turned
// into a directory; file systems without a free block or inode, mounted
// read-only, or not writable for the user; directories that do not exist
// yet; and SIGINT, SIGTERM and SIGHUP arriving while the tool acquires.
// After each, the directory is listed: no probe, temporary or breaker file,
// and no partial lock file, may stay behind. Last, one process holds a
// thousand locks with their keep-alive workers and must give back every
// descriptor, thread and byte once it has released them.
//
// Mounting needs root (or CAP_SYS_ADMIN); those cases skip without it.
#include <gtest/gtest.h>
#include <ovplatform/ovlockfile.h>

#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ovsupport/lock_tool.h"
#include "ovsupport/program_copy.h"
#include "ovsupport/resources.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovsupport::acquire_failure;
using ovsupport::DescribeStatus;
using ovsupport::entries;
using ovsupport::ExitedWith;
using ovsupport::KilledBy;
using ovsupport::mtime_of;
using ovsupport::read_file;
using ovtest::write_file;

constexpr const char *kForeign = ovsupport::kForeignRecord;

// The stem followed by the decimal number. Written out instead of as
// stem + std::to_string(number): where GCC 12 inlines that operator into a
// test body at -O3 it reports a false -Wrestrict overlap, which breaks a
// build with -Werror.
std::string numbered(const char *stem, uint64_t number) {
    std::string text = stem;
    text += std::to_string(number);
    return text;
}

int64_t ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A lock file from a holder that stopped refreshing it an hour ago.
void plant_stale(const std::string &lock_file) {
    write_file(lock_file, kForeign);
    ASSERT_TRUE(ovsupport::set_mtime(lock_file, time(nullptr) - 3600)) << std::strerror(errno);
}

// Whether the process has a handler installed for signal, from the SigCgt
// mask of /proc/<pid>/status.
bool catches(pid_t pid, int signal) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("SigCgt:");
    if (at == std::string::npos) return false;
    const uint64_t mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
    return (mask >> (signal - 1)) & 1;
}

class Faults : public ovtest::TempDirTest {
  protected:
    // One run of the tool: its pid, where its output goes, and how it ended.
    struct Run {
        pid_t pid = -1;
        std::string out_path, err_path;
        std::optional<int> status;
        std::string out() const { return read_file(out_path); }
        std::string err() const { return read_file(err_path); }
        // The worker's pid, which a successful first process prints.
        pid_t worker() const { return ovsupport::worker_pid(out()); }
    };

    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        // Runs as an unprivileged user must reach the directories below.
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(path("io").c_str(), 0755), 0);
    }

    void TearDown() override {
        // Tools that a failed assertion left running, then their workers.
        for (pid_t p : started_) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        for (pid_t w : workers_) {
            kill(w, SIGKILL);
            waitpid(w, nullptr, 0);
        }
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
            if (umount2(it->c_str(), 0) != 0) umount2(it->c_str(), MNT_DETACH);
        }
        TempDirTest::TearDown();
    }

    // Starts the tool; its output goes to files of its own under io/.
    Run start(const std::vector<std::string> &args, ovsupport::ChildOptions opt = {}) {
        Run run;
        const std::string stem = path(numbered("io/", ++runs_));
        run.out_path = opt.out = stem + ".out";
        run.err_path = opt.err = stem + ".err";
        run.pid = ovsupport::StartProgram(tool_, args, opt);
        if (run.pid > 0) started_.push_back(run.pid);
        return run;
    }

    // Waits for a started tool's first process to end.
    void finish(Run &r, std::chrono::milliseconds limit = 20s) {
        r.status = ovsupport::WaitFor(r.pid, limit);
        std::erase(started_, r.pid);
    }

    // Runs the tool's first process to its end.
    Run run(const std::vector<std::string> &args, const ovsupport::ChildOptions &opt = {}) {
        Run r = start(args, opt);
        finish(r);
        return r;
    }

    // Runs the tool expecting it to hold the lock; returns the worker's pid,
    // which TearDown kills should the test end early.
    pid_t hold(const std::vector<std::string> &args, const ovsupport::ChildOptions &opt = {}) {
        const Run r = run(args, opt);
        const pid_t w = r.worker();
        EXPECT_TRUE(ExitedWith(r.status, 0)) << DescribeStatus(r.status) << ": " << r.err();
        EXPECT_GT(w, 0) << r.out();
        if (w > 0) workers_.push_back(w);
        return w;
    }

    // Waits for a worker that the test process reaped as its subreaper.
    std::optional<int> reap(pid_t w, std::chrono::milliseconds limit = 10s) {
        const auto status = ovsupport::WaitFor(w, limit);
        std::erase(workers_, w);
        return status;
    }

    // Mounts a file system; on failure returns the reason for a skip.
    std::optional<std::string> mount_at(const std::string &where, const char *source,
                                        const char *type, unsigned long flags,
                                        const char *options) {
        if (mount(source, where.c_str(), type, flags, options) != 0) {
            return std::string("mount ") + (type ? type : "") + " at " + where +
                   " not permitted: " + std::strerror(errno);
        }
        if (std::find(mounts_.begin(), mounts_.end(), where) == mounts_.end())
            mounts_.push_back(where);
        return std::nullopt;
    }

    // The program that start() runs: a case that runs it as another user
    // points this at a copy that user can reach (see program_copy.h).
    std::string tool_ = OVLOCKFILE_BIN;
    std::vector<pid_t> started_;  // first processes not yet reaped
    std::vector<pid_t> workers_;
    std::vector<std::string> mounts_;
    int runs_ = 0;
};

// ---------------------------------------------------------------------------
// A held lock file changed under its live holder
// ---------------------------------------------------------------------------

// The three changes run side by side, since two of them take ten failed
// refreshes (about ten seconds) to be given up on.
TEST_F(Faults, LossOfAHeldLockIsReportedAndTheReplacementKept) {
    struct Case {
        const char *name;
        std::function<void(const std::string &)> change;
        std::string report;  // what the worker prints on stderr
        std::vector<std::string> left;
        int64_t min_ms;  // the worker must not give up earlier than this
        pid_t worker = -1;
        std::string err_path;
        int64_t reported_ms = -1;
        std::optional<int> status;
        Clock::time_point changed;
    };
    const std::string replaced_report = std::string("ovlockfile: Lock file now locked by [") +
                                        kForeign +
                                        "]\novlockfile: Unable to release lockfile (locked by "
                                        "another process)\n";
    Case cases[] = {
        {"replaced",
         [](const std::string &lock) {
             write_file(lock + ".new", kForeign);
             ASSERT_EQ(rename((lock + ".new").c_str(), lock.c_str()), 0);
         },
         replaced_report,
         {"res.lck"},
         0},
        {"deleted",
         [](const std::string &lock) { ASSERT_EQ(unlink(lock.c_str()), 0); },
         "ovlockfile: Lock file now locked by []\n"
         "ovlockfile: Unable to release lockfile (No such file or directory)\n",
         {},
         8000},
        {"directory",
         [](const std::string &lock) {
             ASSERT_EQ(unlink(lock.c_str()), 0);
             ASSERT_EQ(mkdir(lock.c_str(), 0755), 0);
         },
         "ovlockfile: Lock file now locked by []\n"
         "ovlockfile: Unable to release lockfile (Is a directory)\n",
         {"res.lck"},
         8000},
    };
    for (auto &c : cases) {
        const std::string name = path(std::string(c.name) + "/res");
        const Run r = run({name});
        ASSERT_TRUE(ExitedWith(r.status, 0)) << c.name << ": " << r.err();
        c.worker = r.worker();
        ASSERT_GT(c.worker, 0);
        workers_.push_back(c.worker);
        c.err_path = r.err_path;
    }
    for (auto &c : cases) {
        c.change(path(std::string(c.name) + "/res.lck"));
        c.changed = Clock::now();
    }
    // Poll all three: when the report appears on stderr, and how each ends.
    const auto end = Clock::now() + 30s;
    for (size_t open = std::size(cases); open > 0 && Clock::now() < end;) {
        open = 0;
        for (auto &c : cases) {
            if (c.status) continue;
            if (c.reported_ms < 0 &&
                read_file(c.err_path).find("Lock file now locked by") != std::string::npos)
                c.reported_ms = ms_since(c.changed);
            int status = 0;
            if (waitpid(c.worker, &status, WNOHANG) == c.worker) {
                c.status = status;
                std::erase(workers_, c.worker);
            } else {
                ++open;
            }
        }
        std::this_thread::sleep_for(5ms);
    }
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::printf("loss of the lock (%s) reported after %" PRId64 " ms\n", c.name, c.reported_ms);
        EXPECT_TRUE(ExitedWith(c.status, 255)) << DescribeStatus(c.status);
        EXPECT_EQ(read_file(c.err_path), c.report);
        EXPECT_GE(c.reported_ms, c.min_ms);
        const std::string dir = path(c.name);
        EXPECT_EQ(entries(dir), c.left);
    }
    // The replacement stays byte for byte; the directory stays, empty.
    EXPECT_EQ(read_file(path("replaced/res.lck")), kForeign);
    struct stat st {};
    ASSERT_EQ(stat(path("directory/res.lck").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(entries(path("directory/res.lck")), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// File systems without room, without write access, or without the directory
// ---------------------------------------------------------------------------

// Fills a file system until no block is left: one file written until the
// write fails with ENOSPC.
void fill_blocks(const std::string &fs) {
    const int fd = open((fs + "/fill").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    std::vector<char> chunk(4096, 'x');
    int err = 0;
    while (err == 0) {
        if (write(fd, chunk.data(), chunk.size()) < 0) err = errno;
    }
    while (write(fd, "x", 1) == 1) {
    }
    close(fd);
    ASSERT_EQ(err, ENOSPC);
}

// Uses up every inode: empty files until their creation fails with ENOSPC.
void fill_inodes(const std::string &fs) {
    int err = 0;
    for (int i = 0; err == 0 && i < 100000; ++i) {
        const int fd = open((fs + "/i" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) {
            err = errno;
        } else {
            close(fd);
        }
    }
    ASSERT_EQ(err, ENOSPC);
}

TEST_F(Faults, FullFileSystemRefusesNewLocksAndKeepsAHeldOne) {
    struct Case {
        const char *name;
        const char *options;
        void (*fill)(const std::string &);
        bool missing_dir_fails;  // creating a directory needs what is used up
    } cases[] = {
        {"no block left", "size=64k,mode=0755", fill_blocks, false},
        {"no inode left", "nr_inodes=32,mode=0755", fill_inodes, true},
    };
    int index = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fs = path(numbered("fs", index++));
        ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
        if (auto why = mount_at(fs, "tmpfs", "tmpfs", 0, c.options)) GTEST_SKIP() << *why;

        plant_stale(fs + "/stale.lck");
        const timespec stale_time = mtime_of(fs + "/stale.lck");
        const pid_t holder = hold({fs + "/held"});
        ASSERT_GT(holder, 0);
        const std::string held = read_file(fs + "/held.lck");
        c.fill(fs);
        if (HasFatalFailure()) return;
        const std::vector<std::string> full = entries(fs);

        std::vector<std::string> names = {fs + "/new", fs + "/stale"};
        if (c.missing_dir_fails) names.push_back(fs + "/sub/dir/new");
        for (const auto &name : names) {
            SCOPED_TRACE(name);
            const Run r = run({name});
            EXPECT_TRUE(ExitedWith(r.status, 1)) << DescribeStatus(r.status);
            EXPECT_EQ(r.out(), "");
            EXPECT_EQ(r.err(), acquire_failure(name, "out of disk space"));
        }
        EXPECT_EQ(entries(fs), full) << "nothing left behind";
        EXPECT_EQ(read_file(fs + "/stale.lck"), kForeign);
        EXPECT_TRUE(same_time(mtime_of(fs + "/stale.lck"), stale_time));

        // The holder's refreshes rewrite one byte in place and need no room:
        // the modification time keeps advancing and the record stays.
        const timespec before = mtime_of(fs + "/held.lck");
        const auto limit = Clock::now() + 10s;
        while (same_time(mtime_of(fs + "/held.lck"), before) && Clock::now() < limit)
            std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(same_time(mtime_of(fs + "/held.lck"), before)) << "no refresh on a full fs";
        EXPECT_EQ(read_file(fs + "/held.lck"), held);
        ASSERT_EQ(kill(holder, SIGHUP), 0);
        const auto status = reap(holder);
        EXPECT_TRUE(ExitedWith(status, 0)) << DescribeStatus(status);
        EXPECT_EQ(access((fs + "/held.lck").c_str(), F_OK), -1);
    }
}

// A directory where the lock cannot be written: a read-only mount (as root)
// and a directory without write permission (as an unprivileged user). A new
// lock, a stale lock's probe and a missing subdirectory all fail with the
// file system's reason, and the stale lock stays as it was.
TEST_F(Faults, UnwritableDirectoryRefusesEveryAcquisition) {
    struct Case {
        const char *name;
        const char *reason;
    } cases[] = {
        {"read-only mount", "Read-only file system"},
        {"no write permission", "access denied"},
    };
    // A copy of the tool that nobody can reach, wherever the build tree is.
    const ovsupport::ProgramCopy tool(OVLOCKFILE_BIN);
    ASSERT_TRUE(tool.ok()) << tool.error();
    tool_ = tool.path();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ovsupport::ChildOptions opt;
        std::string dir;
        if (std::string(c.name) == "read-only mount") {
            const std::string source = path("rw"), target = path("ro");
            ASSERT_EQ(mkdir(source.c_str(), 0755), 0);
            ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
            plant_stale(source + "/stale.lck");
            if (auto why = mount_at(target, source.c_str(), nullptr, MS_BIND, nullptr)) {
                GTEST_SKIP() << *why;
            }
            if (auto why =
                    mount_at(target, nullptr, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)) {
                GTEST_SKIP() << *why;
            }
            dir = target;
        } else {
            dir = path("locked");
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
            plant_stale(dir + "/stale.lck");
            // Root ignores mode bits, so it runs the tool as nobody in a
            // directory that only root may write; others lose write access.
            if (geteuid() == 0) {
                opt.user = ovsupport::kNobody;
            } else {
                ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
            }
        }
        const timespec stale_time = mtime_of(dir + "/stale.lck");
        for (const std::string &name : {dir + "/new", dir + "/stale", dir + "/sub/dir/new"}) {
            SCOPED_TRACE(name);
            const Run r = run({name}, opt);
            EXPECT_TRUE(ExitedWith(r.status, 1)) << DescribeStatus(r.status);
            EXPECT_EQ(r.out(), "");
            EXPECT_EQ(r.err(), acquire_failure(name, c.reason));
        }
        EXPECT_EQ(entries(dir), std::vector<std::string>{"stale.lck"});
        EXPECT_EQ(read_file(dir + "/stale.lck"), kForeign);
        EXPECT_TRUE(same_time(mtime_of(dir + "/stale.lck"), stale_time));
    }
}

TEST_F(Faults, MissingDirectoriesAreCreatedUnderTheUmask) {
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}}) {
        const std::string top = path(numbered("u", mask));
        SCOPED_TRACE(top);
        const std::string name = top + "/a/b/res";
        const pid_t w = hold({name, "30"}, {.umask = mask});
        ASSERT_GT(w, 0);
        for (const std::string &dir : {top, top + "/a", top + "/a/b"}) {
            struct stat st {};
            ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
            EXPECT_EQ(st.st_mode & 07777, 0755 & ~mask) << dir;
        }
        struct stat st {};
        ASSERT_EQ(stat((name + ".lck").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644 & ~mask);
        ASSERT_EQ(kill(w, SIGHUP), 0);
        const auto status = reap(w);
        EXPECT_TRUE(ExitedWith(status, 0)) << DescribeStatus(status);
        EXPECT_EQ(entries(top + "/a/b"), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------
// Signals during acquisition
// ---------------------------------------------------------------------------

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Rounds per signal in the randomised loops; OV_FAULT_SIGNAL_ROUNDS raises
// it for a longer stress run by hand.
int signal_rounds(int fallback) {
    const char *text = std::getenv("OV_FAULT_SIGNAL_ROUNDS");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : fallback;
}

// A stale lock keeps the tool in its probe window for about two seconds.
// Once the tool has its handlers in place, each signal is sent at a moment
// spread over that window: the tool must finish the acquisition, give the
// lock back and end killed by the signal, leaving the directory empty (the
// stale lock taken over and the new one released). All rounds run at once.
TEST_F(Faults, StopSignalInTheProbeWindowEndsTheToolCleanly) {
    constexpr int kPerSignal = 17;
    // The window lasts at least two seconds from the handlers' installation;
    // the margin covers a late look at /proc on a loaded machine.
    constexpr int64_t kWindowMs = 1700;
    struct Round {
        int signal;
        int64_t delay_ms;
        std::string dir;
        Run run;
        std::optional<Clock::time_point> armed, sent;
        int64_t end_ms = -1;
    };
    std::vector<Round> rounds;
    for (int signal : kStopSignals) {
        for (int i = 0; i < kPerSignal; ++i) {
            Round r{
                signal, kWindowMs * i / (kPerSignal - 1), path(numbered("p", rounds.size())), {}};
            ASSERT_EQ(mkdir(r.dir.c_str(), 0755), 0);
            plant_stale(r.dir + "/res.lck");
            rounds.push_back(std::move(r));
        }
    }

    // A round is armed once its handler shows; its signal goes when its delay
    // has passed. The next tool starts only when all earlier ones are armed,
    // so that each is seen armed within a millisecond or so.
    const auto limit = Clock::now() + 30s;
    size_t started = 0;
    for (size_t pending = rounds.size(); pending > 0 && Clock::now() < limit;) {
        pending = 0;
        bool all_armed = true;
        for (size_t i = 0; i < started; ++i) {
            Round &r = rounds[i];
            if (r.sent) continue;
            ++pending;
            if (!r.armed) {
                if (catches(r.run.pid, r.signal)) {
                    r.armed = Clock::now();
                } else {
                    all_armed = false;
                }
            } else if (ms_since(*r.armed) >= r.delay_ms) {
                kill(r.run.pid, r.signal);
                r.sent = Clock::now();
            }
        }
        if (started < rounds.size()) {
            ++pending;
            if (all_armed) {
                rounds[started].run = start({rounds[started].dir + "/res"});
                ++started;
                continue;
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    int64_t slowest = 0;
    for (auto &r : rounds) {
        SCOPED_TRACE(std::string(sigabbrev_np(r.signal)) + " after " + std::to_string(r.delay_ms) +
                     " ms in " + r.dir);
        ASSERT_TRUE(r.armed) << "the tool never caught the signal";
        ASSERT_TRUE(r.sent) << "the time limit passed before the signal was sent";
        finish(r.run);
        r.end_ms = ms_since(*r.sent);
        slowest = std::max(slowest, r.end_ms);
        EXPECT_TRUE(KilledBy(r.run.status, r.signal)) << DescribeStatus(r.run.status);
        EXPECT_EQ(entries(r.dir), std::vector<std::string>{}) << r.run.err();
    }
    std::printf("signals in the probe window: rounds=%zu, slowest end %" PRId64
                " ms after its signal\n",
                rounds.size(), slowest);
}

// Short acquisitions, each hit by a signal at a random moment of its run:
// against a live lock (one probe, then "locked by another process") and
// against a free lock (create, fork, print the worker). A round either ends
// killed by the signal or, when the signal came too late, finishes as it
// would have without it. Either way no scratch file may stay, the live lock
// stays untouched, and a free lock is left neither held by a lone file nor
// by a worker nobody knows of.
TEST_F(Faults, StopSignalAtRandomMomentsLeavesNoDebris) {
    const int per_signal = signal_rounds(30);
    std::mt19937 random(std::random_device{}());
    const std::string live = path("live"), free_dir = path("free");
    ASSERT_EQ(mkdir(live.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(free_dir.c_str(), 0755), 0);
    write_file(live + "/res.lck", kForeign);
    const timespec live_time = mtime_of(live + "/res.lck");

    // Ends a finished free round: its worker is sent away and must release.
    auto release_worker = [&](const Run &r) {
        const pid_t w = r.worker();
        ASSERT_GT(w, 0) << r.out();
        workers_.push_back(w);
        kill(w, SIGHUP);
        const auto status = reap(w);
        EXPECT_TRUE(ExitedWith(status, 0)) << DescribeStatus(status);
    };
    // The length of an undisturbed run, from start to end of the first process.
    auto typical_us = [&](bool free_lock) {
        std::vector<int64_t> times;
        for (int i = 0; i < 5; ++i) {
            const auto t0 = Clock::now();
            Run r = run({(free_lock ? free_dir : live) + "/res"});
            times.push_back(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
            if (free_lock) release_worker(r);
        }
        std::sort(times.begin(), times.end());
        return times[2];
    };

    for (const bool free_lock : {false, true}) {
        const std::string dir = free_lock ? free_dir : live;
        const int64_t span_us = typical_us(free_lock) * 5 / 4;
        for (int signal : kStopSignals) {
            SCOPED_TRACE(std::string(free_lock ? "free lock, " : "live lock, ") +
                         sigabbrev_np(signal));
            int killed = 0, finished = 0;
            for (int i = 0; i < per_signal && !HasFailure(); ++i) {
                const int64_t delay = std::uniform_int_distribution<int64_t>(0, span_us)(random);
                Run r = start({dir + "/res"});
                std::this_thread::sleep_for(std::chrono::microseconds(delay));
                kill(r.pid, signal);
                finish(r);
                SCOPED_TRACE("round " + std::to_string(i) + ", signal after " +
                             std::to_string(delay) + " us");
                if (KilledBy(r.status, signal)) {
                    ++killed;
                } else if (free_lock && ExitedWith(r.status, 0)) {
                    ++finished;
                    release_worker(r);
                } else if (!free_lock && ExitedWith(r.status, 1)) {
                    ++finished;
                    EXPECT_EQ(r.err(), acquire_failure(dir + "/res", "locked by another process"));
                } else {
                    ADD_FAILURE() << DescribeStatus(r.status) << ": " << r.err();
                }
                if (free_lock) {
                    EXPECT_EQ(entries(dir), std::vector<std::string>{});
                } else {
                    EXPECT_EQ(entries(dir), std::vector<std::string>{"res.lck"});
                    EXPECT_EQ(read_file(dir + "/res.lck"), kForeign);
                    EXPECT_TRUE(same_time(mtime_of(dir + "/res.lck"), live_time));
                }
            }
            std::printf("signals at random moments (%s, %s, within %" PRId64
                        " us): rounds=%d killed=%d finished=%d\n",
                        free_lock ? "free lock" : "live lock", sigabbrev_np(signal), span_us,
                        per_signal, killed, finished);
        }
    }
}

// ---------------------------------------------------------------------------
// Resources: a thousand held locks in one process
// ---------------------------------------------------------------------------

// The resident set size in KiB, from /proc/self/status.
long resident_kib() {
    const std::string status = read_file("/proc/self/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

TEST_F(Faults, ThousandHeldLocksGiveBackEveryResource) {
    constexpr int kLocks = 1000;
    // Each worker opens a descriptor only for a moment per refresh, but a
    // thousand of them may do so at the same moment.
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 4096 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(4096, files.rlim_max);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    }
    const std::string dir = path("many");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    auto locks = std::make_unique<ov_lockfile_t[]>(kLocks);

    auto hold_and_release_all = [&] {
        const size_t threads = ovsupport::thread_count();
        for (int i = 0; i < kLocks; ++i) {
            ASSERT_OV_OK(ov_lockfile_acquire_continuous(
                &locks[i], (dir + "/l" + std::to_string(i)).c_str(), 60));
        }
        // Every lock held, each by a worker thread of its own.
        EXPECT_EQ(ovsupport::thread_count(), threads + kLocks);
        EXPECT_EQ(entries(dir).size(), static_cast<size_t>(kLocks));
        for (int i = 0; i < kLocks; ++i) {
            ASSERT_EQ(read_file(locks[i].path), locks[i].content) << locks[i].path;
            ASSERT_EQ(std::atomic_ref<uint32_t>(locks[i].lost).load(), 0u) << locks[i].path;
        }
        for (int i = 0; i < kLocks; ++i) ASSERT_OV_OK(ov_lockfile_release(&locks[i]));
        EXPECT_EQ(entries(dir), std::vector<std::string>{});
    };

    std::printf("resources: measuring\n");  // stdout's buffer exists before the figures
    // A runtime that starts a helper thread with the program's first thread
    // (ThreadSanitizer's background thread) does so before the counting.
    std::thread([] {}).join();
    const size_t fds_before = ovsupport::open_descriptors();
    const size_t threads_before = ovsupport::thread_count();
    hold_and_release_all();
    if (HasFatalFailure()) return;
    const size_t bytes_before = ovsupport::heap_in_use();
    const long rss_before = resident_kib();
    hold_and_release_all();
    if (HasFatalFailure()) return;
    const size_t bytes_after = ovsupport::heap_in_use();
    const long rss_after = resident_kib();

    // A joined thread may linger in /proc/self/task for a moment.
    const auto limit = Clock::now() + 5s;
    while (ovsupport::thread_count() != threads_before && Clock::now() < limit)
        std::this_thread::sleep_for(10ms);
    const long fds_leaked =
        static_cast<long>(ovsupport::open_descriptors()) - static_cast<long>(fds_before);
    const long threads_leaked =
        static_cast<long>(ovsupport::thread_count()) - static_cast<long>(threads_before);
    const long bytes_leaked = static_cast<long>(bytes_after) - static_cast<long>(bytes_before);
    std::printf("resources: locks=%d fds_leaked=%ld threads_leaked=%ld bytes_leaked=%ld\n", kLocks,
                fds_leaked, threads_leaked, bytes_leaked);
    std::printf(
        "resources: heap in use %zu bytes and VmRSS %ld KiB after the first round, %zu "
        "bytes and %ld KiB after the second\n",
        bytes_before, rss_before, bytes_after, rss_after);
    EXPECT_EQ(fds_leaked, 0);
    EXPECT_EQ(threads_leaked, 0);
    // Generous: a leak of a few hundred bytes per lock would still show.
    EXPECT_LT(std::labs(bytes_leaked), 64 * 1024);
}

}  // namespace
