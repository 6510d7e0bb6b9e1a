// ovlockfile_main_test.cpp - the lock tool, run as users run it.
//
// Every test starts the real binary as a child process with its standard
// output and error captured in files. The test process is a child subreaper,
// so the worker that the tool forks is reparented to it once the first
// process exits, and the worker's real exit status can be checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <ctime>
#include <unistd.h>
#include <utility>
#include <vector>

#include "ovsupport/lock_tool.h"
#include "ovsupport/program_copy.h"
#include "ovversion.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovsupport::acquire_failure;
using ovsupport::entries;
using ovsupport::ExitCode;
using ovsupport::kForeignRecord;
using ovsupport::kTakeoverRecord;
using ovsupport::read_file;
using ovsupport::WaitFor;
using ovtest::write_file;

constexpr char kUsage[] = "Usage: ovlockfile [-AD] file [expiration_seconds]\n";
constexpr char kVersionLine[] = "ovlockfile version " OV_VERSION_TEXT "\n";
constexpr char kSighupLine[] = "SIGHUP: Received termination signal. Lock will be released.\n";

class Tool : public ovtest::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    // The tool's set-up beyond what ProgramTest gives it.
    static ovsupport::ChildOptions tool_options(ovsupport::ChildOptions opt) {
        // A sanitizer's leak check at exit needs a process of its own.
        if (opt.nproc_limit) opt.env.push_back("ASAN_OPTIONS=detect_leaks=0");
        return opt;
    }

    // Starts the tool as a child process.
    pid_t start(const std::vector<std::string> &args, const ovsupport::ChildOptions &opt = {}) {
        return start_program(tool_, args, tool_options(opt));
    }

    // In a child process: becomes the tool, its output in the test's files.
    [[noreturn]] void exec_tool(const std::vector<std::string> &args) {
        ovsupport::ExecProgram(tool_, args, {.out = out_path(), .err = err_path()});
    }

    // Runs the tool's first process to its end; returns its exit code.
    int run(const std::vector<std::string> &args, const ovsupport::ChildOptions &opt = {}) {
        first_pid_ = start(args, opt);
        return finish(first_pid_, 20s);
    }

    // After a successful run: the worker's pid from stdout.
    pid_t worker() { return adopt(ovsupport::worker_pid(out())); }

    // Waits for the worker (reparented to us) and returns its exit code.
    int reap_worker(pid_t w, std::chrono::milliseconds limit = 10s) { return finish(w, limit); }

    std::string lock_name() const { return path("work/res"); }
    std::string lock_file() const { return lock_name() + ".lck"; }
    std::string work() const { return path("work"); }

    // The program that start() runs: a test that runs it as another user
    // points this at a copy that user can reach (see program_copy.h).
    std::string tool_ = OVLOCKFILE_BIN;
    pid_t first_pid_ = -1;
};

std::optional<uid_t> unprivileged_user() {
    if (const passwd *pw = getpwnam("nobody")) return pw->pw_uid;
    return ovsupport::kNobody;
}

// ---------------------------------------------------------------------------
// Usage, version and help
// ---------------------------------------------------------------------------

TEST_F(Tool, UsageVersionAndHelp) {
    struct Case {
        std::vector<std::string> args;
        const char *out;
        int status;
    } cases[] = {
        {{}, kUsage, 1},
        {{"-h"}, kUsage, 0},
        {{"--help"}, kUsage, 0},
        {{"-A"}, kVersionLine, 0},
        {{"--version"}, kVersionLine, 0},
        {{"somefile", "-A"}, kVersionLine, 0},
        {{"-D", "f", "30", "--version"}, kVersionLine, 0},
        {{"f", "30", "-h"}, kUsage, 0},
        {{"a", "b", "c", "-A"}, kUsage, 1},  // the third argument ends the walk
        {{"-D"}, kUsage, 1},
        {{"--debug", "-D"}, kUsage, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(run(c.args, {.cwd = dir_}), c.status);
        EXPECT_EQ(out(), c.out);
        EXPECT_EQ(err(), "");
    }
    // Nothing was locked by any of them.
    for (const auto &e : entries(dir_)) EXPECT_TRUE(e == "tool.out" || e == "tool.err") << e;
}

TEST_F(Tool, CombinedOptionIsAFileName) {
    ASSERT_EQ(run({"-AD"}, {.cwd = dir_}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0) << out();
    EXPECT_EQ(read_file(path("-AD.lck")).substr(0, std::to_string(first_pid_).size() + 1),
              std::to_string(first_pid_) + ":");
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);
    EXPECT_NE(access(path("-AD.lck").c_str(), F_OK), 0);
}

// ---------------------------------------------------------------------------
// Acquisition failures: one line on stderr, status 1, nothing left behind
// ---------------------------------------------------------------------------

TEST_F(Tool, AcquisitionErrorsAreOneLineOnStderr) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("work/dir.lck").c_str(), 0755), 0);
    const std::string long_name = work() + "/" + std::string(8192, 'n');
    const std::string newline_name = work() + "/a\nb/res";
    struct Case {
        std::vector<std::string> args;
        std::string file;
        const char *text;
    } cases[] = {
        {{lock_name(), "1"}, lock_name(), "Invalid argument"},
        {{lock_name(), "0"}, lock_name(), "Invalid argument"},
        {{lock_name(), "-3"}, lock_name(), "Invalid argument"},
        {{lock_name(), "soon"}, lock_name(), "Invalid argument"},
        {{""}, "", "Invalid argument"},
        {{long_name}, long_name, "File name too long"},
        {{newline_name}, work() + "/a\\nb/res", "a lock's name cannot hold a newline"},
        {{path("work/dir")}, path("work/dir"), "Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 80));
        EXPECT_EQ(run(c.args), 1);
        EXPECT_EQ(out(), "");
        EXPECT_EQ(err(), acquire_failure(c.file, c.text));
    }
    const auto left = entries(work());
    EXPECT_EQ(left, std::vector<std::string>{"dir.lck"});
}

TEST_F(Tool, FreshLockHeldElsewhereIsRefused) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    const std::string foreign = kForeignRecord;
    write_file(lock_file(), foreign);
    EXPECT_EQ(run({lock_name()}), 1);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), acquire_failure(lock_name(), "locked by another process"));
    EXPECT_EQ(read_file(lock_file()), foreign);
    EXPECT_EQ(entries(work()), std::vector<std::string>{"res.lck"});
}

TEST_F(Tool, UnwritableDirectoryIsReportedAsNonRoot) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    const ovsupport::ProgramCopy tool(OVLOCKFILE_BIN);
    ASSERT_TRUE(tool.ok()) << tool.error();
    tool_ = tool.path();
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);  // owned by root: not writable for nobody
    const ovsupport::ChildOptions as_nobody = {.user = unprivileged_user()};
    EXPECT_EQ(run({lock_name()}, as_nobody), 1);
    EXPECT_EQ(err(), acquire_failure(lock_name(), "access denied"));
    // An existing lock there cannot be probed either.
    write_file(lock_file(), "1:x:y\n");
    ASSERT_TRUE(ovsupport::set_mtime(lock_file(), 1000));
    EXPECT_EQ(run({lock_name()}, as_nobody), 1);
    EXPECT_EQ(err(), acquire_failure(lock_name(), "access denied"));
    EXPECT_EQ(entries(work()), std::vector<std::string>{"res.lck"});
}

// ---------------------------------------------------------------------------
// The worker: SIGHUP, caller death, lost lock
// ---------------------------------------------------------------------------

TEST_F(Tool, HoldsUntilSighupThenReleases) {
    // A deep directory that does not exist yet is created.
    const std::string name = path("work/a/b/c/res");
    ASSERT_EQ(run({name, "30"}), 0);
    const std::string stdout_text = out();
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    EXPECT_EQ(stdout_text, std::to_string(w) + "\n") << "exactly one line: the worker's id";
    EXPECT_EQ(err(), "");
    const std::string record = read_file(name + ".lck");
    EXPECT_EQ(record.substr(0, record.find(':')), std::to_string(first_pid_));

    // A second contender is refused while the worker keeps the lock.
    ASSERT_EQ(run({name}), 1);
    EXPECT_EQ(err(), acquire_failure(name, "locked by another process"));

    const auto start = Clock::now();
    ASSERT_EQ(kill(w, SIGHUP), 0);
    EXPECT_EQ(reap_worker(w), 0);
    // The signal ends the watch loop's wait at once, not at its next pass.
    EXPECT_LT(Clock::now() - start, 400ms);
    EXPECT_NE(out().find(std::string(kSighupLine) + "Release lockfile\n"), std::string::npos)
        << out();
    EXPECT_NE(access((name + ".lck").c_str(), F_OK), 0);
    EXPECT_EQ(entries(path("work/a/b/c")), std::vector<std::string>{});
}

// A script that releases and exits at once, as the usual pattern ends: its
// SIGHUP and its exit reach the worker together. The worker must take that
// as the release it is, quietly, and not report the caller as gone (which
// under cron mails a false alarm for every normal run). It loses that race
// only when it runs after the script has ended, so the script, the tool and
// the worker share one CPU, with the tool and worker at the lowest priority,
// as on a busy machine. Each case is repeated: the release right after the
// tool returns, before the worker has run, and after some work, while the
// worker waits in its watch loop. Whether the worker first looks at the
// caller before or after the script has ended is the scheduler's choice:
// after it in only two to six rounds of ten on a loaded machine, and in
// none of ten now and then. The first case therefore gets thirty rounds,
// so that a worker that calls its caller gone at its start fails the test
// in nearly every run.
TEST_F(Tool, ScriptThatReleasesAndExitsAtOnceGetsNoMessage) {
    cpu_set_t allowed, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    const std::string pid_file = path("lockpid");
    const std::string script =
        "nice -n 19 \"$0\" \"$1\" > \"$2\" || exit 1\n"
        "read -r worker < \"$2\"\n"
        "[ \"$3\" = 0 ] || sleep \"$3\"\n"
        "kill -HUP \"$worker\"\n";
    const std::pair<const char *, int> cases[] = {{"0", 30}, {"0.1", 10}};
    for (const auto &[work, rounds] : cases) {
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(std::string("work ") + work + " s, round " + std::to_string(round));
            const pid_t shell = fork();
            ASSERT_GE(shell, 0);
            if (shell == 0) {
                if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(99);
                ovsupport::ExecProgram("/bin/sh",
                                       {"-c", script, OVLOCKFILE_BIN, lock_name(), pid_file, work},
                                       {.out = out_path(), .err = err_path()});
            }
            ASSERT_EQ(ExitCode(WaitFor(shell, 20s)), 0) << err();
            const pid_t w = ovsupport::worker_pid(read_file(pid_file));
            ASSERT_GT(w, 0) << read_file(pid_file);
            adopt(w);
            EXPECT_EQ(reap_worker(w), 0);
            EXPECT_EQ(err(), "");
            EXPECT_EQ(read_file(pid_file),
                      std::to_string(w) + "\n" + kSighupLine + "Release lockfile\n");
            EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
        }
    }
}

TEST_F(Tool, ReleasesWhenTheCallerExits) {
    // An intermediate caller runs the tool and exits; the worker watches it.
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        const pid_t tool = start({lock_name()});
        int status = 0;
        waitpid(tool, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    ASSERT_EQ(ExitCode(WaitFor(caller, 20s)), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    EXPECT_EQ(reap_worker(w, 5s), 0);
    EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(caller) + " not found\n");
    EXPECT_EQ(out(), std::to_string(w) + "\nRelease lockfile\n");
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
}

// A caller that ends while the tool is still probing a stale lock: the tool
// is adopted by this test (a subreaper) before it forks, yet its worker must
// watch the process that ran it, find it gone and give the lock back at once.
TEST_F(Tool, CallerGoneDuringAcquisitionLeavesNoLock) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    write_file(lock_file(), "1:x:y\n");
    ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) - 100));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        close(fds[0]);
        const pid_t tool = start({lock_name(), "5"});
        const ssize_t ignored = write(fds[1], &tool, sizeof tool);
        (void)ignored;
        // Well inside the probe window of about two seconds.
        usleep(300 * 1000);
        _exit(0);
    }
    close(fds[1]);
    pid_t tool = -1;
    ASSERT_EQ(read(fds[0], &tool, sizeof tool), static_cast<ssize_t>(sizeof tool));
    close(fds[0]);
    ASSERT_EQ(ExitCode(WaitFor(caller, 5s)), 0);

    // The tool is now this process's child; its acquisition ends with status 0.
    EXPECT_EQ(ExitCode(WaitFor(tool, 20s)), 0);
    const auto acquired = Clock::now();
    const pid_t w = worker();
    ASSERT_GT(w, 0) << out();
    while (access(lock_file().c_str(), F_OK) == 0 && Clock::now() - acquired < 1s)
        std::this_thread::sleep_for(5ms);
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0) << "lock left one second after acquisition";
    EXPECT_EQ(reap_worker(w, 5s), 0);
    EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(caller) + " not found\n");
    const std::string id = std::to_string(w) + "\n";
    EXPECT_TRUE(out() == id + "Release lockfile\n" || out() == "Release lockfile\n" + id) << out();
    EXPECT_TRUE(entries(work()).empty());
}

// A caller that is gone before the tool even runs (a script that starts it
// in the background and exits): the tool finds its adopter as its parent, in
// another session, and must not keep the lock for it.
TEST_F(Tool, AdoptedBeforeItStartsReleasesAtOnce) {
    int go[2], told[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(told), 0);
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        // The script's own session, as a terminal or a service manager gives it.
        if (setsid() < 0) _exit(98);
        const pid_t tool = fork();
        if (tool == 0) {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 1) _exit(97);
            exec_tool({lock_name()});
        }
        const ssize_t ignored = write(told[1], &tool, sizeof tool);
        (void)ignored;
        _exit(tool > 0 ? 0 : 96);
    }
    close(go[0]);
    close(told[1]);
    pid_t tool = -1;
    ASSERT_EQ(read(told[0], &tool, sizeof tool), static_cast<ssize_t>(sizeof tool));
    close(told[0]);
    ASSERT_EQ(ExitCode(WaitFor(caller, 5s)), 0);
    // The caller is gone: only now does its child become the tool, adopted
    // by this process, which reaps it and its worker.
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    EXPECT_EQ(ExitCode(WaitFor(tool, 10s)), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0) << out();
    EXPECT_EQ(reap_worker(w, 5s), 0);
    EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(getpid()) + " not found\n");
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
}

// A tool that leads a session of its own was started by its parent as it is
// (a service manager does this), and keeps the lock while that parent lives.
TEST_F(Tool, ASessionLeaderWatchesTheParentItHas) {
    ASSERT_EQ(run({lock_name()}, {.new_session = true}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(access(lock_file().c_str(), F_OK), 0);
    EXPECT_EQ(err(), "");
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0);
}

// The caller's exit is seen as it happens, not at the next half-second look.
TEST_F(Tool, CallerExitIsNoticedAtOnce) {
    std::vector<double> latencies;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t caller = fork();
        ASSERT_GE(caller, 0);
        if (caller == 0) {
            close(ready[0]);
            const pid_t tool = start({lock_name()});
            int status = 0;
            waitpid(tool, &status, 0);
            const char code = WIFEXITED(status) ? static_cast<char>(WEXITSTATUS(status)) : 99;
            const ssize_t ignored = write(ready[1], &code, 1);
            (void)ignored;
            pause();  // until killed
            _exit(0);
        }
        close(ready[1]);
        char code = -1;
        ASSERT_EQ(read(ready[0], &code, 1), 1);
        close(ready[0]);
        ASSERT_EQ(code, 0);
        const pid_t w = worker();
        ASSERT_GT(w, 0);
        ASSERT_EQ(access(lock_file().c_str(), F_OK), 0);

        const auto killed = Clock::now();
        ASSERT_EQ(kill(caller, SIGKILL), 0);
        ASSERT_EQ(waitpid(caller, nullptr, 0), caller);
        while (access(lock_file().c_str(), F_OK) == 0 && Clock::now() - killed < 5s)
            std::this_thread::sleep_for(1ms);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - killed).count());
        EXPECT_EQ(reap_worker(w, 5s), 0);
        EXPECT_EQ(err(), "ovlockfile: Parent process " + std::to_string(caller) + " not found\n");
    }
    std::string shown;
    for (double ms : latencies) shown += std::to_string(static_cast<int>(ms)) + " ms ";
    std::printf("caller exit to release: %s\n", shown.c_str());
    // A look every 500 ms would give about 250 ms on average; four rounds all
    // below 200 ms would happen by chance about once in forty runs.
    EXPECT_LT(*std::max_element(latencies.begin(), latencies.end()), 200.0) << shown;
}

TEST_F(Tool, LostLockIsReportedAndTheWorkerExits255) {
    ASSERT_EQ(run({lock_name()}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    const std::string other = kTakeoverRecord;
    write_file(lock_file() + ".new", other);
    ASSERT_EQ(rename((lock_file() + ".new").c_str(), lock_file().c_str()), 0);
    EXPECT_EQ(reap_worker(w, 5s), 255);
    EXPECT_EQ(err(), "ovlockfile: Lock file now locked by [" + other +
                         "]\novlockfile: Unable to release lockfile (locked by another process)\n");
    EXPECT_EQ(out(), std::to_string(w) + "\nRelease lockfile\n");
    EXPECT_EQ(read_file(lock_file()), other);
}

// What another user wrote into a lock file, or a name that came with
// control characters, reaches the terminal spelled out; an ordinary record
// prints exactly as before, its newline included.
TEST_F(Tool, RecordsAndNamesReachTheTerminalSpelledOut) {
    ASSERT_EQ(run({lock_name()}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    write_file(lock_file() + ".new", "1:\x1b]0;owned\x07\x1b[2J\xc2\x9b:h\n");
    ASSERT_EQ(rename((lock_file() + ".new").c_str(), lock_file().c_str()), 0);
    EXPECT_EQ(reap_worker(w, 5s), 255);
    EXPECT_EQ(err().substr(0, err().find('\n') + 1),
              "ovlockfile: Lock file now locked by [1:\\x1b]0;owned\\x07\\x1b[2J\\xc2\\x9b:h\n");
    EXPECT_EQ(err().find('\x1b'), std::string::npos);

    write_file(path("work/file"), "");
    EXPECT_EQ(run({path("work/file/\x1b[2Jx")}), 1);
    EXPECT_EQ(err(), acquire_failure(path("work/file/\\x1b[2Jx"), "Not a directory"));
}

// A caller that reads the pid through a pipe and closes it must still be
// able to release: the worker's SIGHUP line then meets a closed pipe.
TEST_F(Tool, ReleaseWorksAfterTheReaderOfTheOutputHasGone) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    // The script stays until the worker has had time to release.
    const pid_t shell = ovsupport::StartProgram(
        "/bin/sh",
        {"-c", "\"$0\" \"$1\" | head -1 > \"$2\"; read w < \"$2\"; kill -HUP $w; sleep 1", tool_,
         lock_name(), path("pid")},
        {.err = err_path()});
    ASSERT_EQ(ExitCode(WaitFor(shell, 20s)), 0);
    const pid_t w = ovsupport::worker_pid(read_file(path("pid")));
    ASSERT_GT(w, 0);
    adopt(w);
    EXPECT_EQ(reap_worker(w), 0);
    EXPECT_NE(access(lock_file().c_str(), F_OK), 0) << "the lock stayed";
    EXPECT_EQ(err(), "");
}

// Started with standard input and output closed, the tool's first file (here the
// debug log) must not take its number: the worker's pid and its lines
// would be written into that file.
TEST_F(Tool, ClosedStandardOutputIsNotGivenToTheDebugLog) {
    const pid_t shell = ovsupport::StartProgram(
        "/bin/sh", {"-c", "exec 0<&- 1>&-; exec \"$0\" -D \"$1\"", tool_, lock_name()},
        {.err = err_path(), .cwd = dir_});
    ASSERT_EQ(ExitCode(WaitFor(shell, 20s)), 0);
    // The worker releases by itself: its caller, the shell, is gone.
    const std::string log = read_file(path("ovlockfile.0.log"));
    for (size_t at = 0; at < log.size();) {
        const size_t next = log.find('\n', at);
        const std::string line = log.substr(at, next - at);
        EXPECT_FALSE(!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            << "the pid went into the log: " << log;
        if (next == std::string::npos) break;
        at = next + 1;
    }
}

TEST_F(Tool, StaleLockOfAKilledHolderIsTakenOver) {
    ASSERT_EQ(run({lock_name(), "2"}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    kill(w, SIGKILL);
    EXPECT_EQ(reap_worker(w), -SIGKILL);
    const std::string dead = read_file(lock_file());
    ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) - 10));

    ASSERT_EQ(run({lock_name(), "2"}), 0);
    const pid_t w2 = worker();
    ASSERT_GT(w2, 0);
    const std::string record = read_file(lock_file());
    EXPECT_NE(record, dead);
    EXPECT_EQ(record.substr(0, record.find(':')), std::to_string(first_pid_));
    kill(w2, SIGHUP);
    EXPECT_EQ(reap_worker(w2), 0);
    EXPECT_TRUE(entries(work()).empty());
}

TEST_F(Tool, FailedForkGivesTheLockBack) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    const ovsupport::ProgramCopy tool(OVLOCKFILE_BIN);
    ASSERT_TRUE(tool.ok()) << tool.error();
    tool_ = tool.path();
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    // One process allowed for the user: the tool itself. Its fork fails.
    const ovsupport::ChildOptions limited = {.user = unprivileged_user(), .nproc_limit = 1};
    const int status = run({path("res")}, limited);
    if (status == 0) {
        worker();
        GTEST_SKIP() << "the process limit did not stop the fork here";
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err(), "ovlockfile: Unable to fork worker process\n");
    EXPECT_NE(access(path("res.lck").c_str(), F_OK), 0) << "the lock must not stay behind";
}

TEST_F(Tool, DebugSwitchesDoNotChangeTheOutcome) {
    ASSERT_EQ(run({"-D", "-D", lock_name(), "30"}, {.cwd = dir_}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    EXPECT_EQ(err(), "");
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);

    // Without a debug switch the logger is never set up: no log file at all
    // (in a directory of its own, away from the debug run's log).
    const std::string quiet = path("quiet");
    ASSERT_EQ(mkdir(quiet.c_str(), 0755), 0);
    ASSERT_EQ(run({lock_name()}, {.cwd = quiet}), 0);
    const pid_t w2 = worker();
    kill(w2, SIGHUP);
    EXPECT_EQ(reap_worker(w2), 0);
    EXPECT_EQ(entries(quiet), std::vector<std::string>{});
}

TEST_F(Tool, DebugLogIsARingLinkedFromItsName) {
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    // A stale lock from elsewhere, so that its age is judged and traced.
    write_file(lock_file(), kForeignRecord);
    ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) - 3600));
    ASSERT_EQ(run({"-D", "-D", lock_name(), "30"}, {.cwd = dir_}), 0);
    const pid_t w = worker();
    ASSERT_GT(w, 0);
    const std::string log = path("ovlockfile.0.log");
    const auto end = Clock::now() + 10s;
    while (read_file(log).find("Lockfile worker thread started") == std::string::npos &&
           Clock::now() < end)
        std::this_thread::sleep_for(10ms);
    kill(w, SIGHUP);
    EXPECT_EQ(reap_worker(w), 0);

    struct stat link_status {
    }, file_status{};
    ASSERT_EQ(stat(path("ovlockfile.log").c_str(), &link_status), 0);
    ASSERT_EQ(stat(log.c_str(), &file_status), 0);
    EXPECT_EQ(link_status.st_ino, file_status.st_ino);
    const std::string text = read_file(log);
    EXPECT_NE(text.find("] DBG Lockfile worker thread started\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] DBG _fs_age_stale: File is stale\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] LOG Lock file is stale, taking over.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] DBG Lockfile worker thread finished\n"), std::string::npos) << text;
}

}  // namespace
