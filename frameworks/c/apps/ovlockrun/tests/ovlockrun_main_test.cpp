// ovlockrun_main_test.cpp - the tool that runs a command under the lock,
// run as users run it.
//
// Every test starts the real binary as a child process with its standard
// output and error captured in files; the commands it runs are small shell
// scripts that leave what they saw in files of the test's directory. Other
// holders of the lock are this test process itself (through the library),
// the ovlockfile tool, or lock files planted with a chosen age.
#include <gtest/gtest.h>

#include <ovplatform/overror.h>
#include <ovplatform/ovlockfile.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ovsupport/lock_tool.h"
#include "ovsupport/program_copy.h"
#include "ovversion.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovsupport::entries;
using ovsupport::ExitCode;
using ovsupport::kForeignRecord;
using ovsupport::read_file;
using ovsupport::WaitFor;
using ovtest::write_file;

constexpr char kToolName[] = "ovlockrun: ";
using ovtest::seconds_since;

class LockRun : public ovtest::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    }
    void TearDown() override {
        ov_lockfile_release(&held_);
        ProgramTest::TearDown();
    }

    // opt, with a child's output going to the files out() and err() read.
    ovsupport::ChildOptions options(ovsupport::ChildOptions opt = {}) const {
        opt.out = out_path();
        opt.err = err_path();
        return opt;
    }
    // Starts the tool; the test waits for it with finish().
    pid_t start(const std::vector<std::string> &args, const ovsupport::ChildOptions &opt = {}) {
        return start_program(OVLOCKRUN_BIN, args, opt);
    }
    // Runs the tool to its end; returns its exit code.
    int run(const std::vector<std::string> &args, const ovsupport::ChildOptions &opt = {}) {
        return finish(start(args, opt));
    }
    // The tool's arguments to run a shell script under the lock.
    std::vector<std::string> script(const std::string &text,
                                    std::vector<std::string> options = {}) const {
        options.insert(options.end(), {lock_name(), "/bin/sh", "-c", text});
        return options;
    }
    // Waits until a command has left a file behind.
    static bool wait_for_file(const std::string &file, std::chrono::milliseconds limit = 10s) {
        return ovsupport::wait_for_file(file, limit);
    }
    // Takes the lock in this process, with its keep-alive worker.
    void hold() { ASSERT_EQ(ov_lockfile_acquire_continuous(&held_, lock_name().c_str(), 60), 0); }

    std::string work() const { return path("work"); }
    std::string lock_name() const { return path("work/res"); }
    std::string lock_file() const { return lock_name() + ".lck"; }
    std::string marker() const { return path("marker"); }

    ov_lockfile_t held_{};
};

// ---------------------------------------------------------------------------
// The command line
// ---------------------------------------------------------------------------

TEST_F(LockRun, UsageErrorsExit2WithAMessageAndLockNothing) {
    const std::string f = lock_name();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {f},
        {"-q", f},
        {"-w", "soon", f, "true"},
        {"-w", "-1", f, "true"},
        {"-w", "nan", f, "true"},
        {"-w"},
        {"-e", "1", f, "true"},
        {"-e", "0", f, "true"},
        {"-e", "2.5", f, "true"},
        {"--expire=", f, "true"},
        {"-E", "256", f, "true"},
        {"-E", "x", f, "true"},
        {"-k", "later", f, "true"},
        {"--kill-after", "-3", f, "true"},
        {"-x", f, "true"},
        {"--bogus", f, "true"},
        {"--wait"},
        {"--check"},
        {"--check", f, "true"},
        {"--check", "-w", "1", f},
        {"--", "--check"},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        EXPECT_EQ(run(args), 2);
        EXPECT_EQ(out(), "");
        EXPECT_EQ(err().rfind(kToolName, 0), 0u) << err();
        EXPECT_NE(err().find("Usage: ovlockrun"), std::string::npos) << err();
    }
    EXPECT_TRUE(entries(work()).empty());
}

TEST_F(LockRun, HelpListsEveryOptionAndVersionNamesTheTool) {
    EXPECT_EQ(run({"--help"}), 0);
    const std::string help = out();
    for (const char *option :
         {"-w, --wait", "-e, --expire", "-E, --conflict-exit-code", "-k, --kill-after",
          "-q, --quiet", "-D, --debug", "--check", "--help", "--version", "OVLOCK_FILE",
          "OVLOCK_RECORD", "126", "127", "128+N"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_EQ(err(), "");
    EXPECT_EQ(run({"--version", lock_name(), "true"}), 0);
    EXPECT_EQ(out(), "ovlockrun version " OV_VERSION_TEXT "\n");
    EXPECT_TRUE(entries(work()).empty());
}

// Options end at FILE: what follows COMMAND is the command's, even when it
// looks like one of the tool's own options.
TEST_F(LockRun, OptionsAfterFileBelongToTheCommand) {
    EXPECT_EQ(run({"-e", "30", "--", lock_name(), "printf", "%s\\n", "-w", "--check", "-q"}), 0);
    EXPECT_EQ(out(), "-w\n--check\n-q\n");
    EXPECT_EQ(err(), "");
}

// ---------------------------------------------------------------------------
// The command: its status, environment and process group
// ---------------------------------------------------------------------------

TEST_F(LockRun, ExitStatusIsTheCommandsOwn) {
    struct Case {
        const char *script;
        int status;
    } cases[] = {
        {"exit 0", 0},
        {"exit 7", 7},
        {"exit 255", 255},
        {"kill -TERM $$", 128 + SIGTERM},
        {"kill -KILL $$", 128 + SIGKILL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        EXPECT_EQ(run(script(std::string("test -f \"$OVLOCK_FILE\" || exit 99; ") + c.script)),
                  c.status);
        EXPECT_EQ(err(), "");
        // Released, with nothing else left beside it.
        EXPECT_TRUE(entries(work()).empty());
    }
}

TEST_F(LockRun, CommandSeesTheLockInItsEnvironmentAndLeadsItsOwnGroup) {
    // A relative name, from a working directory of the test's.
    const std::string text =
        "echo \"$OVLOCK_FILE\"; echo \"$OVLOCK_RECORD\"; cat \"$OVLOCK_FILE\"; "
        "echo $$; cut -d' ' -f5 /proc/$$/stat";
    const pid_t tool = start({"work/res", "/bin/sh", "-c", text}, {.cwd = dir_});
    EXPECT_EQ(finish(tool), 0);
    std::vector<std::string> lines;
    const std::string text_out = out();
    for (size_t pos = 0; pos < text_out.size();) {
        const size_t end = text_out.find('\n', pos);
        lines.push_back(text_out.substr(pos, end - pos));
        pos = end == std::string::npos ? text_out.size() : end + 1;
    }
    ASSERT_EQ(lines.size(), 5u) << text_out;
    EXPECT_EQ(lines[0], lock_file());
    // The record without its newline, as the file holds it, naming the tool.
    EXPECT_EQ(lines[1], lines[2]);
    EXPECT_EQ(lines[1].rfind(std::to_string(tool) + ":", 0), 0u) << lines[1];
    const size_t uuid_start = std::to_string(tool).size() + 1;
    EXPECT_EQ(lines[1].find(':', uuid_start), uuid_start + 36) << lines[1];
    // The command leads a process group of its own.
    EXPECT_EQ(lines[3], lines[4]);
    EXPECT_NE(lines[4], std::to_string(getpgrp()));
    EXPECT_TRUE(entries(work()).empty());
}

// The lock stays fresh for as long as the command runs: its file's time
// advances while the content stays the record the command was given.
TEST_F(LockRun, LockIsKeptFreshWhileTheCommandRuns) {
    const std::string seen = path("seen");
    const pid_t tool =
        start(script("cp \"$OVLOCK_FILE\" " + seen + "; touch " + marker() + "; sleep 2.5"));
    ASSERT_TRUE(wait_for_file(marker()));
    const timespec first = ovsupport::mtime_of(lock_file());
    std::this_thread::sleep_for(1600ms);
    const timespec later = ovsupport::mtime_of(lock_file());
    EXPECT_TRUE(later.tv_sec > first.tv_sec ||
                (later.tv_sec == first.tv_sec && later.tv_nsec > first.tv_nsec))
        << "the lock file was not refreshed";
    EXPECT_EQ(read_file(lock_file()), read_file(seen));
    EXPECT_EQ(finish(tool), 0);
    EXPECT_EQ(err(), "");
    EXPECT_TRUE(entries(work()).empty());
}

TEST_F(LockRun, CommandThatCannotRunGives126AndOneNotFound127) {
    const std::string plain = path("plain");
    write_file(plain, "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(chmod(plain.c_str(), 0644), 0);
    struct Case {
        std::string command;
        int status;
        const char *reason;
    } cases[] = {
        {"no-such-command-anywhere", 127, "No such file or directory"},
        {path("missing/program"), 127, "No such file or directory"},
        {plain, 126, "Permission denied"},
        {work(), 126, "Permission denied"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(run({lock_name(), c.command, "arg"}), c.status);
        EXPECT_EQ(err(),
                  std::string(kToolName) + "cannot run " + c.command + ": " + c.reason + "\n");
        EXPECT_NE(access(lock_file().c_str(), F_OK), 0) << "the lock must be released";
    }
}

// Started in the foreground of a terminal, the tool gives the terminal to
// the command's group while the command runs and takes it back after: the
// command can read it (a background group that reads is stopped, and would
// hang there), and so can the shell after the tool. script(1) gives them a
// terminal of their own and feeds it two lines.
TEST_F(LockRun, CommandReadsTheTerminalItWasStartedFrom) {
    const std::string inner = std::string(OVLOCKRUN_BIN) + " " + lock_name() +
                              " sh -c 'read line; echo got \\$line'; echo tool=\\$?; "
                              "read again; echo then \\$again";
    const pid_t shell = start_program(
        "/bin/sh", {"-c", "printf 'hello\\nworld\\n' | script -qec \"" + inner + "\" /dev/null"},
        {.new_session = true});
    ASSERT_GT(shell, 0);
    const int code = finish(shell, 10s);
    kill(-shell, SIGKILL);
    EXPECT_EQ(code, 0) << out();
    EXPECT_NE(out().find("got hello"), std::string::npos) << out();
    EXPECT_NE(out().find("tool=0"), std::string::npos) << out();
    EXPECT_NE(out().find("then world"), std::string::npos) << out();
    EXPECT_TRUE(entries(work()).empty());
}

// ---------------------------------------------------------------------------
// A busy lock: one try, or a bounded wait
// ---------------------------------------------------------------------------

TEST_F(LockRun, BusyLockIsRefusedWithTheHoldersRecord) {
    hold();
    const std::string record = std::string(held_.content).substr(0, strlen(held_.content) - 1);
    const auto t0 = Clock::now();
    EXPECT_EQ(run({lock_name(), "touch", marker()}), 1);
    EXPECT_LT(seconds_since(t0), 5.0) << "without -w there is one try";
    EXPECT_EQ(err(), std::string(kToolName) + "lock busy: " + lock_file() + " is held by [" +
                         record + "]\n");
    // -E changes the status, -q silences the message.
    EXPECT_EQ(run({"-E", "42", lock_name(), "touch", marker()}), 42);
    EXPECT_NE(err(), "");
    EXPECT_EQ(run({"-q", "-E", "0", lock_name(), "touch", marker()}), 0);
    EXPECT_EQ(err(), "");
    EXPECT_NE(access(marker().c_str(), F_OK), 0) << "the command must not have run";
    EXPECT_EQ(read_file(lock_file()), held_.content);
}

TEST_F(LockRun, WaitEndsWithBusyAfterItsTime) {
    hold();
    const auto t0 = Clock::now();
    EXPECT_EQ(run({"-w", "1.5", "-q", lock_name(), "touch", marker()}), 1);
    const double waited = seconds_since(t0);
    EXPECT_GE(waited, 1.5);
    EXPECT_LT(waited, 10.0);
    EXPECT_EQ(err(), "");
    EXPECT_NE(access(marker().c_str(), F_OK), 0);
    EXPECT_EQ(run({"--wait=0.2", "--conflict-exit-code=9", lock_name(), "true"}), 9);
    EXPECT_EQ(err().rfind(std::string(kToolName) + "lock busy: ", 0), 0u) << err();
    // Nobody's probe files stay behind.
    EXPECT_EQ(entries(work()), std::vector<std::string>{"res.lck"});
}

TEST_F(LockRun, WaiterTakesTheLockWhenItsHolderReleases) {
    hold();
    const pid_t tool = start(script("cat \"$OVLOCK_FILE\" > " + marker(), {"-w", "30"}));
    std::this_thread::sleep_for(1500ms);
    ASSERT_NE(access(marker().c_str(), F_OK), 0) << "ran while the lock was held";
    const auto released = Clock::now();
    ASSERT_EQ(ov_lockfile_release(&held_), 0);
    EXPECT_EQ(finish(tool), 0);
    // Long before the wait's end: within about a back-off step at worst.
    EXPECT_LT(seconds_since(released), 5.0);
    EXPECT_EQ(read_file(marker()).rfind(std::to_string(tool) + ":", 0), 0u) << read_file(marker());
    EXPECT_TRUE(entries(work()).empty());
}

// How many of the processes watch a directory with inotify.
int watching(const std::vector<pid_t> &pids) {
    int count = 0;
    for (const pid_t pid : pids) {
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const std::string &name : entries(fds)) {
            char target[64] = {};
            const ssize_t n = readlink((fds + "/" + name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == "anon_inode:inotify") {
                ++count;
                break;
            }
        }
    }
    return count;
}

// Waits until exactly one of the processes watches; returns how many do.
int one_watching(const std::vector<pid_t> &pids) {
    const auto end = Clock::now() + 10s;
    int count = watching(pids);
    while (count != 1 && Clock::now() < end) {
        std::this_thread::sleep_for(20ms);
        count = watching(pids);
    }
    return count;
}

// Waiters on one host queue up: only the first watches the lock's
// directory, and when it gets the lock the next one takes its place; every
// waiter runs its command in turn, one at a time, and nothing stays behind.
TEST_F(LockRun, OnlyTheFirstOfTheQueuedWaitersWatchesAndHandsOnItsPlace) {
    hold();
    const std::string log = path("turns");
    const std::string text =
        "echo \"$$ start\" >> " + log + "; sleep 0.5; echo \"$$ end\" >> " + log;
    std::vector<pid_t> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(start(script(text, {"-w", "60"})));
        std::this_thread::sleep_for(200ms);
    }
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(one_watching(waiters), 1) << "a release would wake more than one";
    ASSERT_EQ(ov_lockfile_release(&held_), 0);
    ASSERT_TRUE(wait_for_file(log));
    // The new holder has handed its place on before its command started.
    EXPECT_EQ(one_watching(waiters), 1) << "nobody watches for the next release";
    for (const pid_t w : waiters) EXPECT_EQ(finish(w), 0) << err();

    std::istringstream lines(read_file(log));
    std::vector<std::string> events;
    std::string pid, what;
    while (lines >> pid >> what) events.push_back(what);
    ASSERT_EQ(events.size(), 8u) << read_file(log);
    for (size_t i = 0; i < events.size(); ++i)
        EXPECT_EQ(events[i], i % 2 == 0 ? "start" : "end") << "two commands at once: " << i;
    EXPECT_TRUE(entries(work()).empty());
}

// A waiter that has watched the holder keep its lock fresh still takes the
// lock over once that holder has died and its file has gone stale.
TEST_F(LockRun, WaiterTakesOverFromAHolderThatDiesWhileItWaits) {
    const pid_t holder = start(script("touch " + marker() + "; exec sleep 60", {"-e", "3"}));
    ASSERT_TRUE(wait_for_file(marker()));
    const pid_t waiter = start_program(
        OVLOCKRUN_BIN, {"-w", "40", "-e", "3", lock_name(), "touch", path("second")}, {}, "waiter");
    ASSERT_GT(waiter, 0);
    // The waiter sees the file refreshed a few times.
    std::this_thread::sleep_for(2500ms);
    ASSERT_NE(access(path("second").c_str(), F_OK), 0) << "ran while the lock was held";
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_EQ(finish(holder), -SIGKILL);
    const auto killed = Clock::now();
    EXPECT_EQ(finish(waiter, 40s), 0) << err("waiter");
    // Stale after 3 s, three probes a second apart, and a back-off step.
    EXPECT_LT(seconds_since(killed), 15.0);
    EXPECT_EQ(access(path("second").c_str(), F_OK), 0);
}

// ovlockrun and ovlockfile take the same lock and exclude each other.
TEST_F(LockRun, ExcludesAndIsExcludedByTheLockfileTool) {
    const pid_t tool = start(script("touch " + marker() + "; sleep 30"));
    ASSERT_TRUE(wait_for_file(marker()));
    const pid_t other = start_program(OVLOCKFILE_BIN, {lock_name()}, {}, "other");
    EXPECT_EQ(finish(other, 20s), 1);
    EXPECT_EQ(err("other"), ovsupport::acquire_failure(lock_name(), "locked by another process"));
    kill(tool, SIGTERM);
    EXPECT_EQ(finish(tool), 128 + SIGTERM);
    EXPECT_TRUE(entries(work()).empty());
}

// ---------------------------------------------------------------------------
// Signals
// ---------------------------------------------------------------------------

TEST_F(LockRun, SignalsArePassedOnToTheCommandsGroup) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string ready = path("ready");
        const std::string got = path("got");
        unlink(ready.c_str());
        unlink(got.c_str());
        // A trap in the command's shell, and a child of it in the same group.
        const std::string text = "trap 'echo $$ > " + got + "; exit 5' " + std::to_string(signal) +
                                 "; sleep 30 & touch " + ready + "; wait";
        const pid_t tool = start(script(text));
        ASSERT_TRUE(wait_for_file(ready));
        ASSERT_EQ(kill(tool, signal), 0);
        EXPECT_EQ(finish(tool, 10s), 5);
        EXPECT_NE(read_file(got), "");
        EXPECT_TRUE(entries(work()).empty());
    }
    // A command that takes the signal's default action: the status says so.
    const pid_t tool = start(script("touch " + marker() + "; exec sleep 30"));
    ASSERT_TRUE(wait_for_file(marker()));
    kill(tool, SIGINT);
    EXPECT_EQ(finish(tool, 10s), 128 + SIGINT);
    EXPECT_TRUE(entries(work()).empty());
}

// A signal while the tool still waits: it ends at once with 128 + N, and
// leaves no lock, no probe file and no command behind.
TEST_F(LockRun, SignalDuringTheWaitEndsItCleanly) {
    hold();
    const pid_t tool = start({"-w", "30", lock_name(), "touch", marker()});
    std::this_thread::sleep_for(500ms);
    const auto sent = Clock::now();
    kill(tool, SIGTERM);
    EXPECT_EQ(finish(tool, 10s), 128 + SIGTERM);
    EXPECT_LT(seconds_since(sent), 5.0);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(read_file(lock_file()), held_.content);
    EXPECT_EQ(entries(work()), std::vector<std::string>{"res.lck"});
    EXPECT_NE(access(marker().c_str(), F_OK), 0);
}

// The same while the tool probes a stale lock: the acquisition runs to its
// end (no probe file may stay), the lock it took is given back, and the
// command never starts.
TEST_F(LockRun, SignalDuringATakeoverLeavesNothingBehind) {
    write_file(lock_file(), kForeignRecord);
    ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) - 100));
    for (const int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        if (access(lock_file().c_str(), F_OK) != 0) {
            write_file(lock_file(), kForeignRecord);
            ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) - 100));
        }
        const pid_t tool = start({"-w", "30", lock_name(), "touch", marker()});
        std::this_thread::sleep_for(400ms);  // inside the probe window of about 2 s
        kill(tool, signal);
        EXPECT_EQ(finish(tool, 10s), 128 + signal);
        EXPECT_TRUE(entries(work()).empty()) << testing::PrintToString(entries(work()));
        EXPECT_NE(access(marker().c_str(), F_OK), 0);
    }
}

// ---------------------------------------------------------------------------
// A lost lock stops the command
// ---------------------------------------------------------------------------

TEST_F(LockRun, LostLockStopsTheCommandsGroupWithTermThenKill) {
    const std::string pids = path("pids");
    const std::string log = path("log");
    // The shell notes SIGTERM and carries on; its child ignores it.
    const std::string text = "trap 'echo TERM >> " + log +
                             "' TERM; (trap '' TERM; sleep 60) & echo $$ $! > " + pids +
                             "; while :; do sleep 0.1; done";
    const pid_t tool = start(script(text, {"-k", "1"}));
    ASSERT_TRUE(wait_for_file(pids));
    std::this_thread::sleep_for(100ms);
    int shell = 0, child = 0;
    ASSERT_EQ(std::sscanf(read_file(pids).c_str(), "%d %d", &shell, &child), 2);

    ASSERT_TRUE(ovsupport::replace_file(lock_file(), ovsupport::kTakeoverRecord));
    const auto replaced = Clock::now();
    EXPECT_EQ(finish(tool, 20s), 3);
    const double took = seconds_since(replaced);
    // Refresh period, the tool's look, the grace of -k 1, and slack.
    EXPECT_GE(took, 1.0);
    EXPECT_LT(took, 8.0);
    const std::string other(ovsupport::kTakeoverRecord, sizeof ovsupport::kTakeoverRecord - 2);
    // The tool's line comes first; the shell may add its own about the
    // sleep that SIGTERM ended.
    EXPECT_EQ(err().rfind(std::string(kToolName) + "lock lost: " + lock_file() +
                              " is now held by [" + other + "]; stopping the command\n",
                          0),
              0u)
        << err();
    EXPECT_NE(read_file(log).find("TERM"), std::string::npos) << "SIGTERM came first";
    // SIGKILL then took the whole group: the shell and its child.
    for (const int pid : {shell, child}) {
        const auto end = Clock::now() + 2s;
        while (kill(pid, 0) == 0 && Clock::now() < end) std::this_thread::sleep_for(10ms);
        EXPECT_NE(kill(pid, 0), 0) << pid;
    }
    EXPECT_EQ(read_file(lock_file()), ovsupport::kTakeoverRecord)
        << "the new holder's file is left alone";
}

TEST_F(LockRun, LostLockStopsACommandThatObeysTermWithoutTheGrace) {
    const pid_t tool = start(script("touch " + marker() + "; exec sleep 60", {"-k", "30"}));
    ASSERT_TRUE(wait_for_file(marker()));
    ASSERT_TRUE(ovsupport::replace_file(lock_file(), ovsupport::kTakeoverRecord));
    const auto replaced = Clock::now();
    EXPECT_EQ(finish(tool, 40s), 3);
    EXPECT_LT(seconds_since(replaced), 10.0) << "nothing was left to wait -k for";
    EXPECT_NE(err().find("is now held by [99:"), std::string::npos) << err();
}

// A job started in the background of an interactive shell whose command
// reads the terminal: the command stops, the job must show as stopped, and
// fg must bring both back with the terminal; when instead the shell exits,
// the orphaned job must not keep the lock for ever. A job whose group is
// orphaned already when its command stops (started from a subshell that
// has ended) could never be continued: its command gets SIGHUP at once,
// and the lock is gone while the shell still runs. A job whose script runs
// the tool, in the script's own group, is not orphaned: fg brings it back.
TEST_F(LockRun, BackgroundJobThatReadsTheTerminalStopsAndComesBackWithFg) {
    const std::string got = path("got");
    const std::string state = path("state");
    const std::string job = std::string(OVLOCKRUN_BIN) + " " + lock_name() +
                            " sh -c 'read x; echo \"got $x\" > " + got + "' &\nsleep 1\n";
    // Started from a subshell that ends at once; the subshell's background
    // command would read /dev/null. The shell then looks at the lock for up
    // to ten seconds. Built by appending: GCC 12 at -O3 misreads sums that
    // begin with a literal.
    std::string orphaned = "(";
    orphaned.append(OVLOCKRUN_BIN).append(" ").append(lock_name());
    orphaned.append(" sh -c 'touch ").append(marker()).append("; sleep 1; read x; ");
    orphaned.append("echo \"got $x\" > ").append(got).append("' < /dev/tty &) &\n");
    orphaned.append("while [ ! -e ").append(marker()).append(" ]; do sleep 0.1; done\n");
    orphaned.append("for i in $(seq 50); do [ -e ").append(lock_file());
    orphaned.append(" ] || break; sleep 0.2; done\nif [ -e ").append(lock_file());
    orphaned.append(" ]; then echo held; else echo released; fi > ").append(state);
    orphaned.append("\nexit\n");
    std::string by_script = "sh -c '";
    by_script.append(OVLOCKRUN_BIN).append(" ").append(lock_name());
    by_script.append(" sh -c \"read x; echo got \\$x > ").append(got).append("\"' &\nsleep 1\n");
    struct Case {
        const char *what;
        std::string typed;
        const char *seen;
        const char *state;  // what the shell saw of the lock before it exited
    } cases[] = {
        {"fg", job + "fg\nhello\nexit\n", "got hello\n", ""},
        {"fg after a script started the tool", by_script + "fg\nhello\nexit\n", "got hello\n", ""},
        {"the shell exits", job + "exit\nexit\n", "", ""},
        {"orphaned before the command stops", orphaned, "", "released\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path("typed"), c.typed);
        const pid_t shell = start_program(
            "/bin/sh",
            {"-c", "script -qec 'bash --norc --noprofile -i' /dev/null < " + path("typed")},
            {.new_session = true});
        ASSERT_GT(shell, 0);
        const int code = finish(shell, 20s);
        kill(-shell, SIGKILL);
        EXPECT_GE(code, 0) << out();
        EXPECT_EQ(read_file(got), c.seen) << out();
        EXPECT_EQ(read_file(state), c.state) << out();
        // Released: at once after fg, and once the SIGHUP that the
        // orphaned job gets has ended the command.
        const auto end = Clock::now() + 10s;
        while (!entries(work()).empty() && Clock::now() < end) std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(entries(work()).empty());
        unlink(got.c_str());
        unlink(state.c_str());
        unlink(marker().c_str());
    }
}

// ---------------------------------------------------------------------------
// A killed tool leaves no command behind
// ---------------------------------------------------------------------------

// Killed without a chance to release (kill -9, the OOM killer), the tool
// leaves its lock to go stale; its command's whole group must be gone
// before a contender can take the lock over. The contender's command looks
// at the group the moment it starts: a member that is neither gone nor a
// zombie waiting for its new parent would still be running.
TEST_F(LockRun, KilledToolLeavesNoCommandToOutliveItsLock) {
    const std::string pids = path("pids");
    const std::string seen = path("seen");
    // The shell carries on after SIGTERM; its child ignores it.
    const std::string text = "trap 'echo TERM >> " + path("log") +
                             "' TERM; (trap '' TERM; sleep 60) & echo $$ $! > " + pids +
                             "; while :; do sleep 0.1; done";
    const pid_t tool = start(script(text, {"-e", "3", "-k", "30"}));
    ASSERT_TRUE(wait_for_file(pids));
    std::this_thread::sleep_for(300ms);
    int shell = 0, child = 0;
    ASSERT_EQ(std::sscanf(read_file(pids).c_str(), "%d %d", &shell, &child), 2);
    ASSERT_EQ(kill(tool, SIGKILL), 0);
    EXPECT_EQ(finish(tool), -SIGKILL);
    const auto killed = Clock::now();

    const std::string look = ovsupport::list_running_command({shell, child}, seen);
    const int status = finish(
        start_program(OVLOCKRUN_BIN, script(look, {"-w", "30", "-e", "3"}), {}, "second"), 40s);
    EXPECT_EQ(status, 0) << err("second");
    EXPECT_EQ(read_file(seen), "") << "alive when the lock was taken over";
    // Stopped long before the lock could go stale: SIGTERM at once, SIGKILL
    // after half the expiration, whatever -k says.
    EXPECT_LT(seconds_since(killed), 20.0);
    EXPECT_NE(read_file(path("log")).find("TERM"), std::string::npos) << "SIGTERM came first";
    EXPECT_NE(
        err().find(std::string(kToolName) + "ended while the command ran, and " + lock_file() +
                   " is no longer kept fresh; stopping the command's "
                   "process group " +
                   std::to_string(shell) + "\n"),
        std::string::npos)
        << err();
}

// The guardian watches from the command's first moment: a tool killed at
// once, before the guardian has moved into memory of its own, still has
// its command's group stopped; one whose command ends normally after that
// move says nothing and stops nothing.
TEST_F(LockRun, GuardianWatchesFromTheStartAndStandsDownAfterItsMove) {
    const std::string pids = path("pids");
    const pid_t tool = start(script("echo $$ > " + pids + "; exec sleep 60", {"-k", "1"}));
    ASSERT_TRUE(wait_for_file(pids, 10s));
    ASSERT_EQ(kill(tool, SIGKILL), 0);
    EXPECT_EQ(finish(tool), -SIGKILL);
    int command = 0;
    ASSERT_EQ(std::sscanf(read_file(pids).c_str(), "%d", &command), 1);
    const auto end = Clock::now() + 10s;
    while (kill(command, 0) == 0 && Clock::now() < end) std::this_thread::sleep_for(10ms);
    // The command was the test's grandchild, adopted by the test's reaper
    // or by init: a zombie is gone as far as the lock is concerned.
    const std::string state = read_file("/proc/" + std::to_string(command) + "/stat");
    EXPECT_TRUE(state.empty() || state.find(") Z ") != std::string::npos) << state;
    EXPECT_NE(err().find("stopping the command's process group " + std::to_string(command)),
              std::string::npos)
        << err();
    // The killed tool's lock file stays until it goes stale; it is no
    // concern of the second half.
    ASSERT_EQ(unlink(lock_file().c_str()), 0);

    EXPECT_EQ(run(script("(sleep 2; touch " + marker() + ") & sleep 0.5")), 0);
    EXPECT_EQ(err(), "");
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(access(marker().c_str(), F_OK), 0) << "the background job was stopped";
    EXPECT_TRUE(entries(work()).empty());
}

// A tool that ends normally stops nothing.
TEST_F(LockRun, NormalEndLeavesTheCommandsBackgroundJobAlone) {
    // The command's group is left alone once the command itself has ended:
    // what it left in the background is its own affair, as before.
    EXPECT_EQ(run(script("(sleep 3; touch " + marker() + ") & exit 0")), 0);
    std::this_thread::sleep_for(3500ms);
    EXPECT_TRUE(access(marker().c_str(), F_OK) == 0) << "the background job was stopped";
    EXPECT_EQ(err(), "");
    EXPECT_TRUE(entries(work()).empty());
}

// ---------------------------------------------------------------------------
// --check
// ---------------------------------------------------------------------------

TEST_F(LockRun, CheckReportsTheVerdictAndChangesNothing) {
    EXPECT_EQ(run({"--check", lock_name()}), 0);
    EXPECT_EQ(out(), "verdict: free\n");
    EXPECT_EQ(err(), "");

    const std::string record(kForeignRecord, sizeof kForeignRecord - 2);
    struct Case {
        const char *what;
        std::string content;
        long offset;
        std::vector<std::string> options;
        int status;
        const char *verdict;
        long min_age, max_age;
    } cases[] = {
        {"fresh", kForeignRecord, -5, {}, 1, "held", 5, 8},
        {"stale at the default 60 s", kForeignRecord, -100, {}, 5, "stale", 100, 103},
        {"fresh at -e 200", kForeignRecord, -100, {"-e", "200"}, 1, "held", 100, 103},
        {"from the future", kForeignRecord, 3600, {}, 6, "clock skew", -3600, -3597},
        {"empty and old", "", -100, {}, 5, "stale", 100, 103},
        {"malformed and young", "not a record", -1, {}, 1, "held", 1, 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(lock_file(), c.content);
        ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) + c.offset));
        const timespec before = ovsupport::mtime_of(lock_file());
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--check", lock_name()});
        EXPECT_EQ(run(args), c.status);
        const std::string shown =
            c.content == kForeignRecord ? record : c.content;  // without the newline
        long age = 0;
        const std::string text = out();
        const std::string head = "record: " + shown + "\nage: ";
        ASSERT_EQ(text.rfind(head, 0), 0u) << text;
        ASSERT_EQ(std::sscanf(text.c_str() + head.size(), "%ld", &age), 1) << text;
        EXPECT_GE(age, c.min_age);
        EXPECT_LE(age, c.max_age);
        EXPECT_EQ(text.substr(text.find(" s\n")), std::string(" s\nverdict: ") + c.verdict + "\n");
        EXPECT_EQ(read_file(lock_file()), c.content);
        const timespec after = ovsupport::mtime_of(lock_file());
        EXPECT_EQ(after.tv_sec, before.tv_sec);
        EXPECT_EQ(after.tv_nsec, before.tv_nsec);
        EXPECT_EQ(entries(work()), std::vector<std::string>{"res.lck"});
    }
    // A lock that cannot be looked at is a failure, not a verdict.
    ASSERT_EQ(unlink(lock_file().c_str()), 0);
    ASSERT_EQ(mkdir(lock_file().c_str(), 0755), 0);
    EXPECT_EQ(run({"--check", lock_name()}), 4);
    EXPECT_EQ(err(), std::string(kToolName) + "cannot look at the lock on " + lock_name() +
                         ": Is a directory\n");
}

// ---------------------------------------------------------------------------
// Failures and the debug log
// ---------------------------------------------------------------------------

TEST_F(LockRun, AcquisitionFailureExits4WithTheCodesText) {
    ASSERT_EQ(mkdir(lock_file().c_str(), 0755), 0);
    EXPECT_EQ(run({"-w", "5", lock_name(), "touch", marker()}), 4);
    EXPECT_EQ(err(), std::string(kToolName) + "cannot acquire the lock on " + lock_name() +
                         ": Is a directory\n");
    ASSERT_EQ(rmdir(lock_file().c_str()), 0);
    write_file(lock_file(), kForeignRecord);
    ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) + 3600));
    EXPECT_EQ(run({lock_name(), "touch", marker()}), 4);
    EXPECT_EQ(err(), std::string(kToolName) + "cannot acquire the lock on " + lock_name() +
                         ": clock skew detected\n");
    EXPECT_NE(access(marker().c_str(), F_OK), 0);
}

// A lock whose directory cannot hold it is a failure with its cause, never
// "busy" (with -q -E 75 a cron job would look "already running" for ever),
// and --check does not call it free. A missing directory is no fault:
// acquisition makes it.
TEST_F(LockRun, UnusableDirectoryIsAFailureNotBusy) {
    ASSERT_EQ(symlink(path("gone").c_str(), path("work/dangling").c_str()), 0);
    write_file(path("work/file"), "");
    ASSERT_EQ(symlink("loop", path("work/loop").c_str()), 0);
    const std::string long_name(300, 'x');
    struct Case {
        std::string name;
        std::string directory;  // the one at fault
        const char *cause;
    } cases[] = {
        {"dangling/m", "dangling", "No such file or directory"},
        {"dangling/sub/m", "dangling", "No such file or directory"},
        {"file/m", "file", "Not a directory"},
        {"loop/m", "loop", "Too many levels of symbolic links"},
        {long_name + "/m", long_name, "File name too long"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ovsupport::ChildOptions in_work{.cwd = work()};
        EXPECT_EQ(run({"-q", "-E", "75", "-w", "1", c.name, "touch", marker()}, in_work), 4);
        const std::string acquire = err();
        EXPECT_EQ(run({"--check", c.name}, in_work), 4);
        EXPECT_EQ(out(), "");
        // The cause, named at the directory where it lies when the lock
        // module's own code does not already say it.
        for (const auto &[said, what] :
             {std::pair{acquire, "cannot acquire"}, std::pair{err(), "cannot look at"}}) {
            EXPECT_EQ(
                said.rfind(std::string(kToolName) + what + " the lock on " + c.name + ": ", 0), 0u)
                << said;
            EXPECT_NE(said.find(c.cause), std::string::npos) << said;
        }
        EXPECT_NE(access(marker().c_str(), F_OK), 0);
    }
    EXPECT_EQ(read_file(path("gone")), "") << "nothing was made through the link";

    EXPECT_EQ(run({"--check", path("new/dirs/m")}), 0);
    EXPECT_EQ(out(), "verdict: free\n");
    EXPECT_EQ(run({path("new/dirs/m"), "touch", marker()}), 0);
    EXPECT_EQ(access(marker().c_str(), F_OK), 0);
}

// A directory the user may not write cannot hold the lock either: --check
// says so with the cause instead of "free", as acquisition does, also for
// a lock whose directories are still to be made there. Root may write any
// directory, so as root the tool runs as nobody, from a copy that nobody
// can reach wherever the build tree is.
TEST_F(LockRun, DirectoryTheUserMayNotWriteIsNotFree) {
    const std::string locked = path("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    const ovsupport::ProgramCopy tool(OVLOCKRUN_BIN);
    ASSERT_TRUE(tool.ok()) << tool.error();
    ovsupport::ChildOptions opt = options();
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        opt.user = ovsupport::kNobody;
    } else {
        ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    }
    const auto run_copy = [&](const std::vector<std::string> &args) {
        return ExitCode(WaitFor(ovsupport::StartProgram(tool.path(), args, opt), 30s));
    };
    for (const std::string &name : {locked + "/m", locked + "/sub/m"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run_copy({"--check", name}), 4);
        EXPECT_EQ(out(), "");
        EXPECT_EQ(err(), std::string(kToolName) + "cannot look at the lock on " + name + ": " +
                             locked + ": access denied\n");
        EXPECT_EQ(run_copy({"-q", "-E", "75", name, "touch", marker()}), 4);
        EXPECT_EQ(err(), std::string(kToolName) + "cannot acquire the lock on " + name +
                             ": access denied\n");
    }
    EXPECT_TRUE(entries(locked).empty());
    EXPECT_NE(access(marker().c_str(), F_OK), 0);
}

// Another user who may write the lock's directory can plant anything under
// its names: a link to a secret, a FIFO, a record full of terminal escapes.
// The tool neither follows nor waits on what it finds, ends within its wait
// with a clear failure, and spells out every byte of what it prints.
TEST_F(LockRun, PlantedFilesAreReportedNeverFollowedOrWaitedOn) {
    const std::string secret = path("secret");
    write_file(secret, "TOPSECRET\n");
    struct Case {
        const char *what;
        std::function<void()> plant;
        std::string culprit;
    } cases[] = {
        {"a link to a secret", [&] { ASSERT_EQ(symlink(secret.c_str(), lock_file().c_str()), 0); },
         lock_file()},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(lock_file().c_str(), 0666), 0); }, lock_file()},
        {"a FIFO as the takeover marker",
         [&] {
             write_file(lock_file(), kForeignRecord);
             ASSERT_TRUE(ovsupport::set_mtime(lock_file(), time(nullptr) - 100));
             ASSERT_EQ(mkfifo((lock_file() + ".brk").c_str(), 0666), 0);
         },
         lock_file() + ".brk"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.plant();
        const auto begun = Clock::now();
        EXPECT_EQ(run({"-w", "1", "-q", lock_name(), "touch", marker()}), 4);
        EXPECT_EQ(err(), std::string(kToolName) + "cannot acquire the lock on " + lock_name() +
                             ": " + c.culprit + " is not a regular file\n");
        EXPECT_EQ(run({"--check", lock_name()}), c.culprit == lock_file() ? 4 : 5);
        if (c.culprit == lock_file()) {
            EXPECT_EQ(err(), std::string(kToolName) + "cannot look at the lock on " + lock_name() +
                                 ": " + c.culprit + " is not a regular file\n");
        }
        EXPECT_LT(seconds_since(begun), 15.0);
        EXPECT_EQ(out().find("TOPSECRET"), std::string::npos);
        EXPECT_NE(access(marker().c_str(), F_OK), 0);
        unlink(lock_file().c_str());
        unlink((lock_file() + ".brk").c_str());
    }

    // A record of terminal escapes, C1 controls and broken UTF-8.
    write_file(lock_file(), "1:\x1b]0;owned\x07\x1b[2J\xc2\x9b\x9b\xff:h\xc3\xa9\n");
    EXPECT_EQ(run({lock_name(), "true"}), 1);
    const std::string shown = "1:\\x1b]0;owned\\x07\\x1b[2J\\xc2\\x9b\\x9b\\xff:h\xc3\xa9";
    EXPECT_EQ(err(), std::string(kToolName) + "lock busy: " + lock_file() + " is held by [" +
                         shown + "]\n");
    EXPECT_EQ(run({"--check", lock_name()}), 1);
    EXPECT_EQ(out().rfind("record: " + shown + "\nage: ", 0), 0u) << out();

    // A name the tool cannot lock is a usage error that says why.
    EXPECT_EQ(run({path("a\nb"), "true"}), 2);
    EXPECT_NE(err().find("a\\nb': a lock's name cannot hold a newline"), std::string::npos)
        << err();
}

// A held lock file replaced under its holder, in a directory that others
// may write, by a link to a file the holder may read or by a FIFO: the
// refreshes fail and the lock is lost, and the message that says so neither
// reads the link's target nor waits on the FIFO. The two run side by side,
// since each takes ten failed refreshes (about ten seconds).
TEST_F(LockRun, LockFileReplacedByALinkOrFifoIsLostWithoutBeingRead) {
    const std::string secret = path("secret");
    write_file(secret, "TOPSECRET\n");
    struct Case {
        const char *what;
        std::function<int(const char *)> plant;
        pid_t tool = -1;
    } cases[] = {
        {"a link to a secret", [&](const char *at) { return symlink(secret.c_str(), at); }},
        {"a FIFO", [](const char *at) { return mkfifo(at, 0666); }},
    };
    const auto name = [&](size_t i) { return path("work/res" + std::to_string(i)); };
    const auto err_of = [&](size_t i) { return path("err" + std::to_string(i)); };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string started = path("started" + std::to_string(i));
        cases[i].tool = ovsupport::StartProgram(
            OVLOCKRUN_BIN,
            {"-k", "1", name(i), "/bin/sh", "-c", "touch " + started + "; exec sleep 60"},
            ovsupport::ChildOptions{.out = out_path(), .err = err_of(i)});
        ASSERT_GT(cases[i].tool, 0);
        adopt(cases[i].tool);
        ASSERT_TRUE(wait_for_file(started));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string planted = name(i) + ".new";
        ASSERT_EQ(cases[i].plant(planted.c_str()), 0) << cases[i].what;
        ASSERT_EQ(rename(planted.c_str(), (name(i) + ".lck").c_str()), 0);
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(finish(cases[i].tool, 40s), 3);
        const std::string said = read_file(err_of(i));
        EXPECT_EQ(said.rfind(std::string(kToolName) + "lock lost: " + name(i) +
                                 ".lck could not be kept fresh; stopping the command\n",
                             0),
                  0u)
            << said;
        EXPECT_EQ(said.find("TOPSECRET"), std::string::npos) << said;
    }
    EXPECT_EQ(read_file(secret), "TOPSECRET\n");
}

// The same as a hostile local user would play it: a sticky directory that
// everybody may write, the attacker's steps run as nobody, the victim as
// the test's own user. Every case ends at once with status 4 and a message
// that says what is wrong, or (a record of escapes) as busy with the
// record spelled out; nothing outside the directory is read or created.
TEST_F(LockRun, HostileNeighbourInAStickyDirectoryGetsNoFurtherThanADenial) {
    ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
    const std::string shared = path("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string secret = path("secret");
    write_file(secret, "TOPSECRET\n");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const std::string name = shared + "/job";
    const std::string lock = name + ".lck";
    const std::string stale = "echo 1:x:h > " + lock + "; touch -d @1000 " + lock + "; ";
    struct Case {
        const char *what;
        std::string attack;  // run by nobody in the shared directory
        int status;
        std::string said;  // what standard error must hold
    } cases[] = {
        {"a link to root's secret", "ln -s " + secret + " " + lock, 4,
         lock + " is not a regular file"},
        {"a dangling link to a file to be made", "ln -s " + path("made") + " " + lock, 4,
         lock + " is not a regular file"},
        {"a FIFO", "mkfifo " + lock, 4, lock + " is not a regular file"},
        {"a FIFO as the takeover marker", stale + "mkfifo " + lock + ".brk", 4,
         lock + ".brk is not a regular file"},
        {"a directory as the takeover marker", stale + "mkdir " + lock + ".brk", 4,
         "Is a directory"},
        {"a lock from the far future", "echo 1:x:h > " + lock + "; touch -d @4000000000 " + lock, 4,
         "clock skew detected"},
        {"a record of terminal escapes", "printf '1:\\033]0;owned\\007:h\\n' > " + lock, 1,
         "[1:\\x1b]0;owned\\x07:h]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const pid_t attacker = ovsupport::StartProgram("/bin/sh", {"-c", c.attack},
                                                       {.cwd = shared, .user = ovsupport::kNobody});
        ASSERT_EQ(ovsupport::ExitCode(ovsupport::WaitFor(attacker, 10s)), 0) << c.attack;
        const auto begun = Clock::now();
        EXPECT_EQ(run({"-w", "2", name, "touch", marker()}), c.status);
        EXPECT_NE(err().find(c.said), std::string::npos) << err();
        EXPECT_LT(seconds_since(begun), 15.0);
        EXPECT_EQ(err().find("TOPSECRET"), std::string::npos);
        EXPECT_NE(access(marker().c_str(), F_OK), 0);
        EXPECT_NE(access(path("made").c_str(), F_OK), 0);
        ASSERT_EQ(system(("rm -rf " + shared + "/*").c_str()), 0);
    }

    // The attacker's stale lock, which a victim other than root may not
    // move aside in the sticky directory: refused with the cause within
    // the probe window, never taken for busy. The victim is a third user,
    // running a copy of the tool that it can reach.
    {
        const ovsupport::ProgramCopy tool(OVLOCKRUN_BIN);
        ASSERT_TRUE(tool.ok()) << tool.error();
        const pid_t attacker = ovsupport::StartProgram("/bin/sh", {"-c", stale},
                                                       {.cwd = shared, .user = ovsupport::kNobody});
        ASSERT_EQ(ExitCode(WaitFor(attacker, 10s)), 0);
        const auto begun = Clock::now();
        const pid_t victim =
            ovsupport::StartProgram(tool.path(), {"-w", "2", name, "touch", marker()},
                                    options({.user = ovsupport::kNobody - 1}));
        EXPECT_EQ(ExitCode(WaitFor(victim, 30s)), 4);
        EXPECT_EQ(err(), std::string(kToolName) + "cannot acquire the lock on " + name +
                             ": permission denied\n");
        EXPECT_LT(seconds_since(begun), 15.0);
        EXPECT_EQ(read_file(lock), "1:x:h\n") << "the attacker's file stays as it was";
        ASSERT_EQ(system(("rm -rf " + shared + "/*").c_str()), 0);
    }

    // The debug log's names, planted as links to root's files: root's
    // "ovlockrun -D" run there neither writes to the target nor creates it.
    const pid_t attacker = ovsupport::StartProgram(
        "/bin/sh",
        {"-c", "ln -s " + secret + " ovlockrun.0.log; ln -s " + path("made") + " ovlockrun.log"},
        {.cwd = shared, .user = ovsupport::kNobody});
    ASSERT_EQ(ovsupport::ExitCode(ovsupport::WaitFor(attacker, 10s)), 0);
    EXPECT_EQ(run({"-D", name, "touch", marker()}, {.cwd = shared}), 0);
    EXPECT_EQ(access(marker().c_str(), F_OK), 0) << "the run goes on without its log";
    // Refused by the logger, or by the kernel where fs.protected_symlinks
    // is on ("Cannot open log file (13)"): either way it is said.
    EXPECT_NE(err().find("log file"), std::string::npos) << err();
    EXPECT_EQ(read_file(secret), "TOPSECRET\n");
    EXPECT_NE(access(path("made").c_str(), F_OK), 0);
}

// The command inherits the tool's standard streams and nothing else: not
// the debug log (a command that drops privileges could write root's log
// through it), not the lock's files, the guardian's socket or the wake pipe.
TEST_F(LockRun, CommandInheritsNoDescriptorOfTheTool) {
    // What the same command sees when this test runs it directly: whatever
    // the test itself was given passes through the tool too.
    const std::vector<std::string> list = {"sh", "-c", "exec ls -1 /proc/self/fd"};
    const pid_t direct = start_program("/bin/sh", {list.begin() + 1, list.end()}, {.cwd = dir_});
    ASSERT_EQ(finish(direct, 10s), 0);
    const std::string expected = out();
    std::vector<std::string> args = {"-D", lock_name()};
    args.insert(args.end(), list.begin(), list.end());
    EXPECT_EQ(run(args, {.cwd = dir_}), 0);
    EXPECT_EQ(out(), expected);
}

// Started with its standard streams closed, the tool must not hand their
// numbers to the files it opens, where the command would find them.
TEST_F(LockRun, ClosedStandardStreamsAreOpenedOnDevNull) {
    const std::string result = path("fds");
    const std::string inner =
        "readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 | cat > " + result;
    const pid_t shell =
        start_program("/bin/sh",
                      {"-c", "exec 0<&- 1>&- 2>&-; exec \"$0\" -D \"$1\" /bin/sh -c \"$2\"",
                       OVLOCKRUN_BIN, lock_name(), inner},
                      {.cwd = dir_});
    EXPECT_EQ(finish(shell, 30s), 0);
    EXPECT_EQ(read_file(result), "/dev/null\n/dev/null\n/dev/null\n");
}

// --check judges age by its own -e; when the record names a process of
// this host it says whether that process still runs.
TEST_F(LockRun, CheckSaysWhetherALocalHolderRuns) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string uuid = "11111111-2222-3333-4444-555555555555";
    struct Case {
        pid_t pid;
        const char *host;
        const char *line;
    } cases[] = {
        {getpid(), host, "running"},
        {gone, host, "not running"},
        {getpid(), "elsewhere", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.pid) + " on " + c.host);
        write_file(lock_file(), std::to_string(c.pid) + ":" + uuid + ":" + c.host + "\n");
        EXPECT_EQ(run({"--check", lock_name()}), 1);
        const std::string text = out();
        const std::string tail = c.line == nullptr
                                     ? "verdict: held\n"
                                     : "verdict: held\nholder pid " + std::to_string(c.pid) +
                                           " on this host: " + c.line + "\n";
        ASSERT_GE(text.size(), tail.size()) << text;
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    }
}

TEST_F(LockRun, DebugSwitchWritesTheLogRingInTheWorkingDirectory) {
    // Long enough for the keep-alive thread to start.
    EXPECT_EQ(run({"-D", "-D", lock_name(), "sleep", "0.5"}, {.cwd = dir_}), 0);
    const std::string log = read_file(path("ovlockrun.log"));
    EXPECT_NE(log.find("Lockfile worker thread started"), std::string::npos) << log;
    // The first debug level already tells the course of a clean run.
    const std::string first = path("first");
    ASSERT_EQ(mkdir(first.c_str(), 0755), 0);
    EXPECT_EQ(run({"-D", lock_name(), "sh", "-c", "sleep 0.5; exit 3"}, {.cwd = first}), 3);
    const std::string course = read_file(first + "/ovlockrun.log");
    for (const std::string &line : std::vector<std::string>{
             "Acquired " + lock_file() + " [", "Keep-alive worker started for " + lock_file(),
             "Command sh ended with status 3", "Released " + lock_file()})
        EXPECT_NE(course.find(line), std::string::npos) << line << "\n" << course;
    struct stat a {
    }, b{};
    ASSERT_EQ(stat(path("ovlockrun.log").c_str(), &a), 0);
    ASSERT_EQ(stat(path("ovlockrun.0.log").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    // Without -D no log at all.
    const std::string quiet = path("quiet");
    ASSERT_EQ(mkdir(quiet.c_str(), 0755), 0);
    EXPECT_EQ(run({lock_name(), "true"}, {.cwd = quiet}), 0);
    EXPECT_TRUE(entries(quiet).empty());
}

}  // namespace
