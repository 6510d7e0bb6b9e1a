// ovlockrun_etcd_test.cpp - ovlockrun's lock on a real etcd cluster.
//
// Every test starts its own three-member cluster on loopback and runs the
// real tool (ovlockrun, which execs ovlockrun-etcd) against it, with etcdctl
// as the other party where the lock must interoperate and as the witness of
// what is left on the cluster. Faults are real: members are killed and
// stopped, leases revoked behind the tool's back.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "etcd_client.h"
#include "ovsupport/etcd_cluster.h"
#include "ovsupport/files.h"
#include "ovsupport/lock_tool.h"
#include "ovsupport/process.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ovsupport::EtcdCluster;
using ovsupport::EtcdClusterOptions;
using ovsupport::ExitCode;
using ovsupport::read_file;
using ovsupport::WaitFor;
using ovtest::write_file;

constexpr char kToolName[] = "ovlockrun: ";
using ovtest::seconds_since;

// Whether any of pids still runs (a zombie does not).
std::string running(const std::vector<int> &pids) {
    std::string out;
    for (const int pid : pids) {
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z')
            out += std::to_string(pid) + " ";
    }
    return out;
}

class EtcdLockRun : public ovtest::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        start_cluster({});
    }
    void TearDown() override {
        // The tools first, while the cluster they talk to still runs.
        end_children();
        if (HasFailure() && cluster_) std::fprintf(stderr, "%s", cluster_->report().c_str());
        cluster_.reset();
        ProgramTest::TearDown();
    }
    void start_cluster(EtcdClusterOptions opt) {
        cluster_ = std::make_unique<EtcdCluster>(std::move(opt));
        std::string why;
        ASSERT_TRUE(cluster_->start(&why)) << why;
    }

    // Starts the tool with --endpoints (all members unless given) and the
    // rest of args; its output goes to files named after tag.
    pid_t start(const std::vector<std::string> &args, const std::string &tag = "tool",
                std::vector<std::string> env = {}, std::string endpoints = {}) {
        std::vector<std::string> all = {"--endpoints",
                                        endpoints.empty() ? cluster_->endpoints() : endpoints};
        all.insert(all.end(), args.begin(), args.end());
        return start_program(OVLOCKRUN_BIN, all, {.cwd = dir_, .env = std::move(env)}, tag);
    }
    int run(const std::vector<std::string> &args, const std::string &tag = "tool",
            std::vector<std::string> env = {}) {
        return finish(start(args, tag, std::move(env)));
    }

    // The tool's arguments to run a shell script under the lock NAME.
    static std::vector<std::string> script(const std::string &text,
                                           std::vector<std::string> options = {},
                                           const std::string &name = "job") {
        options.insert(options.end(), {name, "/bin/sh", "-c", text});
        return options;
    }

    static bool wait_for_file(const std::string &file) {
        return ovsupport::wait_for_file(file, 20s);
    }

    // The keys under NAME/ in create order, as etcdctl sees them.
    std::vector<std::string> keys(const std::string &name = "job") {
        std::string text;
        EXPECT_EQ(cluster_->etcdctl({"get", "--prefix", "--keys-only", "--order=ASCEND",
                                     "--sort-by=CREATE", name + "/"},
                                    &text),
                  0)
            << text;
        std::vector<std::string> out;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            if (end > start) out.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }
    bool wait_for_keys(size_t n, const std::string &name = "job") {
        const auto end = Clock::now() + 20s;
        while (keys(name).size() != n) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    // The leases the cluster knows.
    int leases() {
        std::string text;
        EXPECT_EQ(cluster_->etcdctl({"lease", "list"}, &text), 0) << text;
        int n = -1;
        EXPECT_EQ(std::sscanf(text.c_str(), "found %d leases", &n), 1) << text;
        return n;
    }
    // etcdctl's own lock on NAME around a command, started in the background.
    pid_t start_etcdctl_lock(const std::string &name, const std::string &text) {
        ovsupport::ChildOptions opt;
        opt.out = path("etcdctl.out");
        opt.err = path("etcdctl.err");
        opt.env = {"ETCDCTL_API=3"};
        return adopt(
            ovsupport::StartProgram(ovsupport::find_in_path("etcdctl"),
                                    {"--endpoints", cluster_->endpoints(), "--dial-timeout=2s",
                                     "lock", name, "--", "/bin/sh", "-c", text},
                                    opt));
    }
    // Whether every member runs and has a leader: what a test that takes
    // one member away needs of the others first.
    bool all_healthy() {
        for (size_t i = 0; i < cluster_->size(); ++i)
            if (!cluster_->healthy(i, 2s)) return false;
        return true;
    }
    size_t leader() {
        ovlockrun::etcd::Options o;
        o.endpoints = cluster_->client_urls();
        auto c = ovlockrun::etcd::Client::create(o);
        if (!c) return 0;
        for (size_t i = 0; i < cluster_->size(); ++i) {
            auto s = (*c)->status(cluster_->client_url(i));
            if (s.ok() && s->leader == s->member_id) return i;
        }
        ADD_FAILURE() << "no member leads";
        return 0;
    }

    std::unique_ptr<EtcdCluster> cluster_;
};

// ---------------------------------------------------------------------------
// Running, releasing, and what the command is told
// ---------------------------------------------------------------------------

// A command that writes its key to file whole: a reader that sees the file
// never reads it half written.
std::string write_key(const std::string &file) {
    std::string text = "echo $OVLOCK_KEY > ";
    text.append(file).append(".new; mv ").append(file).append(".new ").append(file);
    return text;
}

TEST_F(EtcdLockRun, CommandRunsUnderTheLockAndItsStatusPassesThrough) {
    const std::string seen = path("seen");
    EXPECT_EQ(
        run(script("echo \"$OVLOCK_KEY|$OVLOCK_FENCE|$OVLOCK_RECORD|${OVLOCK_FILE-none}\" > " +
                   seen + "; exit 7")),
        7)
        << err();
    const std::string line = read_file(seen);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    // job/<lease in hex>|<revision>|<pid>:<uuid>:<host>|none
    unsigned long long lease = 0;
    long long fence = 0;
    int pid = 0;
    char uuid[37] = {};
    ASSERT_EQ(
        std::sscanf(line.c_str(), "job/%llx|%lld|%d:%36[-0-9a-f]:", &lease, &fence, &pid, uuid), 4)
        << line;
    EXPECT_GT(fence, 0);
    EXPECT_NE(line.find(std::string(":") + host + "|none\n"), std::string::npos) << line;
    EXPECT_EQ(err(), "");
    // Released: no key, no lease.
    EXPECT_TRUE(keys().empty());
    EXPECT_EQ(leases(), 0);
    // Signals end the command as they would end it alone.
    EXPECT_EQ(run(script("kill -TERM $$")), 128 + SIGTERM);
    EXPECT_EQ(run({"job", "/nonexistent/command"}), 127);
    EXPECT_EQ(leases(), 0);
}

// The command inherits nothing of the tool's connections to the cluster.
TEST_F(EtcdLockRun, CommandInheritsNoDescriptorOfTheTool) {
    const std::string direct = path("direct");
    const pid_t shell = ovsupport::StartProgram("/bin/sh", {"-c", "exec ls -1 /proc/self/fd"},
                                                {.out = direct, .cwd = dir_});
    ASSERT_EQ(ExitCode(WaitFor(shell, 10s)), 0);
    // Long enough for the keep-alive thread to have its own connection.
    EXPECT_EQ(run(script("sleep 1.2; exec ls -1 /proc/self/fd", {"-e", "2"})), 0) << err();
    EXPECT_EQ(out(), read_file(direct));
}

// ---------------------------------------------------------------------------
// Busy, waiting, and leaving nothing behind
// ---------------------------------------------------------------------------

TEST_F(EtcdLockRun, BusyLockIsRefusedAndTheContenderLeavesNothing) {
    const std::string started = path("started");
    const pid_t holder = start(script("touch " + started + "; sleep 30"), "holder");
    ASSERT_TRUE(wait_for_file(started)) << err("holder");
    ASSERT_EQ(keys().size(), 1u);
    const std::string holder_key = keys()[0];

    EXPECT_EQ(run(script("exit 0")), 1);
    const std::string message = err();
    EXPECT_EQ(
        message.rfind(std::string(kToolName) + "lock busy: " + holder_key + " is held by [", 0), 0u)
        << message;
    EXPECT_EQ(run(script("exit 0", {"-q", "-E", "75"}), "quiet"), 75);
    EXPECT_EQ(err("quiet"), "");
    auto begin = Clock::now();
    EXPECT_EQ(run(script("exit 0", {"-w", "0.6"}), "waited"), 1);
    EXPECT_GE(seconds_since(begin), 0.6);
    EXPECT_LT(seconds_since(begin), 5.0);
    // None of the three left its key or its lease.
    EXPECT_EQ(keys(), std::vector<std::string>{holder_key});
    EXPECT_EQ(leases(), 1);

    // A waiter ended by a signal takes its key back too.
    const pid_t waiter = start(script("exit 0", {"-w", "30"}), "waiter");
    ASSERT_TRUE(wait_for_keys(2));
    begin = Clock::now();
    ASSERT_EQ(kill(waiter, SIGTERM), 0);
    EXPECT_EQ(finish(waiter), 128 + SIGTERM);
    EXPECT_LT(seconds_since(begin), 3.0) << "the signal must end the wait at once";
    EXPECT_EQ(keys(), std::vector<std::string>{holder_key});
    EXPECT_EQ(leases(), 1);

    // SIGTERM to the holder goes to its command.
    ASSERT_EQ(kill(holder, SIGTERM), 0);
    EXPECT_EQ(finish(holder), 128 + SIGTERM);
    EXPECT_EQ(leases(), 0);
}

TEST_F(EtcdLockRun, WaitersAreServedInArrivalOrderWithGrowingFences) {
    const std::string go = path("go");
    const std::string order = path("order");
    const pid_t holder = start(script("echo \"H $OVLOCK_FENCE\" >> " + order + "; while [ ! -e " +
                                      go + " ]; do sleep 0.01; done"),
                               "holder");
    ASSERT_TRUE(wait_for_keys(1));
    std::vector<pid_t> waiters;
    for (const char *name : {"A", "B", "C"}) {
        const size_t before = keys().size();
        waiters.push_back(start(
            script(std::string("echo \"") + name + " $OVLOCK_FENCE\" >> " + order, {"-w", "60"}),
            name));
        ASSERT_TRUE(wait_for_keys(before + 1)) << err(name);
    }
    write_file(go, "");
    EXPECT_EQ(finish(holder), 0) << err("holder");
    for (const pid_t w : waiters) EXPECT_EQ(finish(w), 0);
    const std::string text = read_file(order);
    char names[4] = {};
    long long fences[4] = {};
    ASSERT_EQ(std::sscanf(text.c_str(), "%c %lld %c %lld %c %lld %c %lld", &names[0], &fences[0],
                          &names[1], &fences[1], &names[2], &fences[2], &names[3], &fences[3]),
              8)
        << text;
    EXPECT_EQ(std::string(names, 4), "HABC") << text;
    for (int i = 1; i < 4; ++i) EXPECT_GT(fences[i], fences[i - 1]) << text;
    EXPECT_TRUE(keys().empty());
}

// ---------------------------------------------------------------------------
// etcdctl's lock on the same name
// ---------------------------------------------------------------------------

TEST_F(EtcdLockRun, ExcludesAndIsExcludedByEtcdctlLock) {
    // etcdctl holds: the tool is busy, then waits until etcdctl's command
    // has ended.
    const std::string held = path("held");
    const std::string ended = path("ended");
    const pid_t other = start_etcdctl_lock("job", "touch " + held + "; sleep 1.5; touch " + ended);
    ASSERT_TRUE(wait_for_file(held)) << read_file(path("etcdctl.err"));
    EXPECT_EQ(run(script("exit 0")), 1);
    EXPECT_NE(err().find("lock busy: job/"), std::string::npos) << err();
    EXPECT_EQ(run(script("test -e " + ended, {"-w", "30"}), "waiter"), 0) << err("waiter");
    EXPECT_EQ(finish(other), 0) << read_file(path("etcdctl.err"));

    // The tool holds: etcdctl waits until the tool's command has ended.
    const std::string mine = path("mine");
    const std::string done = path("done");
    const pid_t tool = start(script("touch " + mine + "; sleep 1.5; touch " + done), "holder");
    ASSERT_TRUE(wait_for_file(mine)) << err("holder");
    const std::string after = path("after");
    const pid_t waiter = start_etcdctl_lock("job", "test -e " + done + " && touch " + after);
    EXPECT_EQ(finish(tool), 0) << err("holder");
    EXPECT_EQ(finish(waiter), 0) << read_file(path("etcdctl.err"));
    EXPECT_EQ(access(after.c_str(), F_OK), 0) << "etcdctl ran while the tool held the lock";
}

// ---------------------------------------------------------------------------
// Losing the lock
// ---------------------------------------------------------------------------

// A killed tool's lock is freed by its lease, and its guardian stops the
// command before the lease can run out.
TEST_F(EtcdLockRun, KilledHolderIsFreedByItsLeaseAndItsCommandIsStopped) {
    const std::string pids = path("pids");
    const std::string text = "(trap '' TERM; sleep 60) & echo $$ $! > " + pids +
                             "; trap '' TERM; while :; do sleep 0.1; done";
    const pid_t tool = start(script(text, {"-e", "4", "-k", "30"}), "holder");
    ASSERT_TRUE(wait_for_file(pids)) << err("holder");
    std::this_thread::sleep_for(300ms);
    int shell = 0, child = 0;
    ASSERT_EQ(std::sscanf(read_file(pids).c_str(), "%d %d", &shell, &child), 2);
    ASSERT_EQ(kill(tool, SIGKILL), 0);
    EXPECT_EQ(finish(tool), -SIGKILL);
    const auto killed = Clock::now();

    const std::string seen = path("seen");
    const std::string look = ovsupport::list_running_command({shell, child}, seen);
    EXPECT_EQ(run(script(look, {"-w", "30"}), "successor"), 0) << err("successor");
    EXPECT_EQ(read_file(seen), "") << "alive when the lease ran out";
    // The lease ran out: not much sooner than its time to live.
    EXPECT_GE(seconds_since(killed), 2.0);
    EXPECT_EQ(running({shell, child}), "");
    EXPECT_NE(err("holder").find("ended while the command ran, and job/"), std::string::npos)
        << err("holder");
}

TEST_F(EtcdLockRun, RevokedLeaseIsALostLockAndStopsTheCommand) {
    const std::string key_file = path("key");
    const pid_t tool =
        start(script(write_key(key_file) + "; exec sleep 60", {"-e", "6", "-k", "1"}));
    ASSERT_TRUE(wait_for_file(key_file));
    std::this_thread::sleep_for(100ms);
    const std::string key = read_file(key_file);
    const std::string lease = key.substr(key.find('/') + 1, key.size() - key.find('/') - 2);
    std::string out_text;
    ASSERT_EQ(cluster_->etcdctl({"lease", "revoke", lease}, &out_text), 0) << out_text;
    const auto revoked = Clock::now();
    EXPECT_EQ(finish(tool), 3) << err();
    // Within a third of the time to live, a second, and -k.
    EXPECT_LT(seconds_since(revoked), 2.0 + 1.0 + 1.0 + 1.0);
    EXPECT_NE(err().find(std::string(kToolName) + "lock lost: the lease of job/"),
              std::string::npos)
        << err();
    EXPECT_NE(err().find("expired or was revoked; stopping the command"), std::string::npos);
}

// The tool stopped past half the time to live while its command ends: when
// it goes on, nothing tells how long the command ran unguarded, so the lock
// counts as lost although the lease (6 s) has not run out yet.
TEST_F(EtcdLockRun, CommandEndedWhileTheToolWasStoppedPastHalfTheLeaseIsALoss) {
    const std::string started = path("started");
    // The command ends while the tool is stopped; 1.5 s leaves room for a
    // loaded machine between the command's start and the stop.
    const pid_t tool = start(script("touch " + started + "; sleep 1.5", {"-e", "6", "-k", "1"}));
    ASSERT_TRUE(wait_for_file(started)) << err();
    ASSERT_EQ(kill(tool, SIGSTOP), 0);
    // Past half the time to live after the last keep-alive, within the
    // lease's time to live after it (keep-alives go every 2 s).
    std::this_thread::sleep_for(3500ms);
    ASSERT_EQ(kill(tool, SIGCONT), 0);
    EXPECT_EQ(finish(tool), 3) << err();
    EXPECT_NE(err().find(std::string(kToolName) + "lock lost: no keep-alive of job/"),
              std::string::npos)
        << err();
    EXPECT_NE(err().find("before the command ended"), std::string::npos) << err();
    EXPECT_EQ(keys().size(), 0u);
}

TEST_F(EtcdLockRun, DeletedKeyIsALostLock) {
    const std::string key_file = path("key");
    const pid_t tool =
        start(script(write_key(key_file) + "; exec sleep 60", {"-e", "3", "-k", "1"}));
    ASSERT_TRUE(wait_for_file(key_file));
    const std::string key = read_file(key_file);
    std::string text;
    ASSERT_EQ(cluster_->etcdctl({"del", key.substr(0, key.size() - 1)}, &text), 0) << text;
    EXPECT_EQ(finish(tool), 3) << err();
    EXPECT_NE(err().find("was deleted; stopping the command"), std::string::npos) << err();
    EXPECT_EQ(leases(), 0) << "the lost holder still revokes its lease";
}

TEST_F(EtcdLockRun, LeaderKilledWhileTheLockIsHeldIsNoLoss) {
    const std::string started = path("started");
    const pid_t tool = start(script("touch " + started + "; sleep 5; exit 5", {"-e", "6"}));
    ASSERT_TRUE(wait_for_file(started));
    ASSERT_TRUE(all_healthy());
    ASSERT_TRUE(cluster_->kill_member(leader()));
    EXPECT_EQ(finish(tool), 5) << err();
    EXPECT_EQ(err(), "");
}

// A holder cut off from its only endpoint stops its command, even one that
// ignores SIGTERM and a -k far too long, before the lease can run out and a
// waiter elsewhere takes the lock.
TEST_F(EtcdLockRun, HolderCutOffFromItsEndpointIsDeadBeforeAWaiterStarts) {
    const std::string alive = path("alive");
    const std::string started = path("started");
    const std::string text = "trap '' TERM; touch " + started + "; while :; do date +%s.%N >> " +
                             alive + "; sleep 0.02; done";
    const pid_t holder =
        start(script(text, {"-e", "4", "-k", "60"}), "holder", {}, cluster_->client_url(0));
    ASSERT_TRUE(wait_for_file(started)) << err("holder");
    const std::string got = path("got");
    const pid_t waiter = start(script("date +%s.%N > " + got, {"-w", "60"}), "waiter", {},
                               cluster_->client_url(1) + "," + cluster_->client_url(2));
    ASSERT_TRUE(wait_for_keys(2));
    ASSERT_TRUE(all_healthy());
    ASSERT_TRUE(cluster_->pause_member(0));
    EXPECT_EQ(finish(waiter), 0) << err("waiter");
    cluster_->resume_member(0);
    EXPECT_EQ(finish(holder), 3) << err("holder");
    EXPECT_NE(err("holder").find("lock lost: no keep-alive of job/"), std::string::npos)
        << err("holder");

    const std::string stamps = read_file(alive);
    const size_t last_line = stamps.rfind('\n', stamps.size() - 2);
    const double last_alive =
        std::atof(stamps.c_str() + (last_line == std::string::npos ? 0 : last_line + 1));
    const double taken = std::atof(read_file(got).c_str());
    EXPECT_LT(last_alive, taken) << "the command ran beside its successor";
}

// ---------------------------------------------------------------------------
// --check
// ---------------------------------------------------------------------------

TEST_F(EtcdLockRun, CheckSaysWhoHoldsAndChangesNothing) {
    EXPECT_EQ(run({"--check", "job"}), 0) << err();
    EXPECT_EQ(out(), "verdict: free\n");
    const std::string record = path("record");
    const pid_t holder =
        start(script("echo \"$OVLOCK_RECORD $OVLOCK_KEY $OVLOCK_FENCE\" > " + record + "; sleep 30",
                     {"-e", "20"}),
              "holder");
    ASSERT_TRUE(wait_for_file(record));
    std::this_thread::sleep_for(50ms);
    const pid_t waiter = start(script("exit 0", {"-w", "60"}), "waiter");
    ASSERT_TRUE(wait_for_keys(2));
    const std::vector<std::string> before = keys();

    EXPECT_EQ(run({"--check", "job"}), 1) << err();
    char rec[300] = {}, key[300] = {};
    long long fence = 0;
    ASSERT_EQ(std::sscanf(read_file(record).c_str(), "%299s %299s %lld", rec, key, &fence), 3);
    const std::string text = out();
    EXPECT_EQ(text.rfind(std::string("record: ") + rec + "\nkey: " + key +
                             "\nfence: " + std::to_string(fence) + "\ntime left: ",
                         0),
              0u)
        << text;
    long long left = -1;
    ASSERT_NE(text.find("time left: "), std::string::npos);
    std::sscanf(text.c_str() + text.find("time left: "), "time left: %lld s", &left);
    EXPECT_GT(left, 10);
    EXPECT_LE(left, 20);
    EXPECT_NE(text.find("\nwaiters: 1\nverdict: held\n"), std::string::npos) << text;
    EXPECT_EQ(keys(), before);

    EXPECT_EQ(run({"--check", "job", "extra"}, "usage"), 2);
    kill(holder, SIGTERM);
    finish(holder);
    finish(waiter);
}

// ---------------------------------------------------------------------------
// Faults, bad input, and the transport's options
// ---------------------------------------------------------------------------

TEST_F(EtcdLockRun, UnreachableEndpointsFailInBoundedTimeNamingEach) {
    const std::string a = "http://127.0.0.1:" + std::to_string(ovsupport::free_loopback_port());
    const std::string b = "http://127.0.0.1:" + std::to_string(ovsupport::free_loopback_port());
    for (const bool check : {false, true}) {
        SCOPED_TRACE(check);
        const auto begin = Clock::now();
        const pid_t tool = start(
            check ? std::vector<std::string>{"--check", "job"} : script("touch " + path("ran")),
            "tool", {}, a + "," + b);
        EXPECT_EQ(finish(tool), 4);
        EXPECT_LT(seconds_since(begin), 5.0);
        EXPECT_NE(err().find(a + ": cannot connect"), std::string::npos) << err();
        EXPECT_NE(err().find(b + ": cannot connect"), std::string::npos) << err();
    }
    EXPECT_NE(access(path("ran").c_str(), F_OK), 0);
}

TEST_F(EtcdLockRun, UsageErrorsExit2AndTouchNothing) {
    const std::string e = cluster_->endpoints();
    const std::vector<std::vector<std::string>> cases = {
        {"--endpoints", "ftp://127.0.0.1:1", "job", "true"},
        {"--endpoints", "http://127.0.0.1", "job", "true"},
        {"--endpoints", "http://127.0.0.1:1,", "job", "true"},
        {"--endpoints", e, "", "true"},
        {"--endpoints", e, "-e", "1", "job", "true"},
        {"--endpoints", e, "--cert", "c.pem", "job", "true"},
        {"--endpoints", e, "--user", "u", "job", "true"},
        {"--endpoints", e, "--password-file", "p", "job", "true"},
        {"--cacert", "ca.pem", "job", "true"},
        {"--user", "u", "job", "true"},
        {"--endpoints", e, "--check", "-w", "1", "job"},
    };
    for (const auto &args : cases) {
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        ovsupport::ChildOptions opt;
        opt.err = path("usage.err");
        opt.env = {"OVLOCK_ETCD_PASSWORD="};
        const pid_t pid = ovsupport::StartProgram(OVLOCKRUN_BIN, args, opt);
        EXPECT_EQ(ExitCode(WaitFor(pid, 20s)), 2);
        EXPECT_EQ(read_file(path("usage.err")).rfind(kToolName, 0), 0u)
            << read_file(path("usage.err"));
    }
    EXPECT_TRUE(keys().empty());
    EXPECT_EQ(leases(), 0);
    // A fraction of a second counts as a whole one.
    EXPECT_EQ(run(script("exit 0", {"-e", "2.2"})), 0) << err();

    // --etcd takes the endpoints from the environment.
    ovsupport::ChildOptions opt;
    opt.err = path("env.err");
    opt.env = {"OVLOCK_ETCD_ENDPOINTS=" + e};
    const pid_t pid = ovsupport::StartProgram(
        OVLOCKRUN_BIN, {"--etcd", "job", "/bin/sh", "-c", "test -n \"$OVLOCK_FENCE\""}, opt);
    EXPECT_EQ(ExitCode(WaitFor(pid, 20s)), 0) << read_file(path("env.err"));
    opt.env = {"OVLOCK_ETCD_ENDPOINTS=not-a-url"};
    EXPECT_EQ(ExitCode(WaitFor(
                  ovsupport::StartProgram(OVLOCKRUN_BIN, {"--etcd", "job", "true"}, opt), 20s)),
              2);
}

class EtcdLockRunTls : public EtcdLockRun {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        EtcdClusterOptions opt;
        opt.tls = true;
        start_cluster(opt);
    }
};

TEST_F(EtcdLockRunTls, ClientCertificatesAreUsedAndAWrongCaIsRefused) {
    const std::vector<std::string> tls = {"--cacert", cluster_->ca_file(),
                                          "--cert",   cluster_->client_cert(),
                                          "--key",    cluster_->client_key()};
    EXPECT_EQ(run(script("exit 3", tls)), 3) << err();
    EXPECT_EQ(err(), "");

    // Another CA, made now.
    const std::string other_key = path("other.key");
    const std::string other_ca = path("other.crt");
    const pid_t openssl =
        ovsupport::StartProgram(ovsupport::find_in_path("openssl"),
                                {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                 other_key, "-out", other_ca, "-days", "1", "-subj", "/CN=other"},
                                {.out = path("openssl.out"), .err = path("openssl.err")});
    ASSERT_EQ(ExitCode(WaitFor(openssl, 60s)), 0) << read_file(path("openssl.err"));
    std::vector<std::string> wrong = tls;
    wrong[1] = other_ca;
    EXPECT_EQ(run(script("touch " + path("ran"), wrong)), 4);
    EXPECT_NE(err().find("TLS failure"), std::string::npos) << err();
    // Without a client certificate the members refuse the handshake.
    EXPECT_EQ(run(script("touch " + path("ran"), {"--cacert", cluster_->ca_file()})), 4);
    EXPECT_NE(err().find(cluster_->client_url(0)), std::string::npos) << err();
    EXPECT_NE(access(path("ran").c_str(), F_OK), 0);
}

class EtcdLockRunAuth : public EtcdLockRun {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        EtcdClusterOptions opt;
        opt.auth = true;
        start_cluster(opt);
    }
};

TEST_F(EtcdLockRunAuth, PasswordFromTheEnvironmentOrAFileAndNeverShown) {
    const std::string env_seen = path("env");
    const std::string password = std::string("OVLOCK_ETCD_PASSWORD=") + EtcdCluster::kUserPassword;
    EXPECT_EQ(
        run(script("env > " + env_seen, {"-D", "--user", EtcdCluster::kUser}), "tool", {password}),
        0)
        << err();
    EXPECT_EQ(read_file(env_seen).find("OVLOCK_ETCD_PASSWORD"), std::string::npos)
        << "the command must not get the password";

    // Kept apart from the files searched for the password below.
    ASSERT_EQ(mkdir(path("secret").c_str(), 0700), 0);
    const std::string file = path("secret/password");
    write_file(file, std::string(EtcdCluster::kUserPassword) + "\n");
    EXPECT_EQ(run(script("exit 0", {"--user", EtcdCluster::kUser, "--password-file", file}), "tool",
                  {"OVLOCK_ETCD_PASSWORD="}),
              0)
        << err();

    const std::string wrong = "not-the-password-42";
    EXPECT_EQ(run(script("touch " + path("ran"), {"-D", "--user", EtcdCluster::kUser}), "wrong",
                  {"OVLOCK_ETCD_PASSWORD=" + wrong}),
              4);
    EXPECT_NE(err("wrong").find("authentication refused"), std::string::npos) << err("wrong");
    EXPECT_NE(access(path("ran").c_str(), F_OK), 0);
    // Neither password reaches a message or the debug log.
    std::string logs;
    for (const auto &name : ovsupport::entries(dir_)) logs += read_file(path(name));
    EXPECT_EQ(logs.find(wrong), std::string::npos);
    EXPECT_EQ(logs.find(EtcdCluster::kUserPassword), std::string::npos);
}

}  // namespace
