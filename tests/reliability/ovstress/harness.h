// harness.h - what the scenarios of the reliability harness share.
//
// The figures every scenario adds to and the failures it reports; the real
// tool run as a script runs it; contender processes that start together; the
// enter/exit log that detects two holders inside at once; and the entry
// point of each scenario, one per file:
//
//   contention.cpp   many processes on one lock, and the detectors' self-test
//   takeovers.cpp    simultaneous takeovers of a planted stale lock
//   holders.cpp      holders killed with SIGKILL and paused with SIGSTOP
//   clock_skew.cpp   contenders whose clocks are shifted with libfaketime
//   file_server.cpp  the ovtestfs file server: offset clock, latency, faults
//   resources.cpp    one process that holds a thousand locks, for leaks
//   etcd.cpp         the command tool's lock on an etcd cluster whose members
//                    crash, with holders paused past their lease
//   main.cpp         the modes (ci, soak, takeover) and the printed figures
#pragma once

#include <ovplatform/ovlockfile.h>

#include "ovtestfs_mount.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ovstress {

// ---------------------------------------------------------------------------
// Figures and failures
// ---------------------------------------------------------------------------

struct Figures {
    uint64_t acquisitions = 0;
    uint64_t overlaps = 0;        // two holders inside at once, no pause to explain it
    uint64_t pause_overlaps = 0;  // a holder paused past the expiration overlapped its successor
    uint64_t lost_updates = 0;
    uint64_t takeovers = 0;
    uint64_t false_takeovers = 0;  // a live lock taken over
    uint64_t rounds = 0;           // simultaneous-takeover rounds
    uint64_t slow_rounds = 0;      // of which on the slow file server
    uint64_t multi_winner_rounds = 0;
    uint64_t no_winner_rounds = 0;
    uint64_t debris = 0;
    double max_loss_ms = 0;
    double max_takeover_ms = 0;
    double takeover_bound_ms = 0;
    int64_t fds_leaked = 0;
    int64_t threads_leaked = 0;
    int64_t bytes_leaked = 0;
    uint64_t selftest_overlaps = 0;
    // The lock on etcd (etcd.cpp); its acquisitions and overlaps are also
    // in the totals above.
    bool etcd_ran = false;
    uint64_t etcd_acquisitions = 0;
    uint64_t etcd_overlaps = 0;
    uint64_t etcd_pause_overlaps = 0;
    uint64_t etcd_fence_disorders = 0;  // a later holder with a fence not above its predecessor's
    uint64_t etcd_restarts = 0;         // members killed with SIGKILL and started again
    uint64_t etcd_paused = 0;           // holders paused past the lease
    uint64_t etcd_paused_lost = 0;      // ... that reported the lost lock (exit 3)
    uint64_t etcd_paused_kept = 0;      // ... whose lease outlived the pause
    uint64_t etcd_other_lost = 0;       // losses reported by holders not paused
    uint64_t etcd_cut_off = 0;          // runs that failed to reach the cluster (exit 4)
    uint64_t etcd_superseded_accepted = 0;
    uint64_t etcd_superseded_refused = 0;
    uint64_t etcd_latest_refused = 0;  // writes of the newest holder refused
    uint64_t etcd_left = 0;            // keys and leases left on the cluster at the end
    std::vector<std::string> failures;
    std::vector<std::string> skipped;
};

extern Figures g_fig;
extern std::string g_tool;    // the lock tool
extern std::string g_run;     // the tool that runs a command under the lock
extern std::string g_testfs;  // the test file server; empty when not given
extern std::string g_self;    // this program, rerun on a shifted clock
extern bool g_without_etcd;   // built without the etcd backend

// Reports a failure on standard error and keeps it for the summary.
void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Reports progress on standard output.
void note(const char *format, ...) __attribute__((format(printf, 1, 2)));

int64_t mono_ns();
void sleep_ms(int64_t ms);

// A new directory below base; "" (and a failure) when it cannot be made.
std::string temp_dir(const std::string &base, const char *stem);

// Scratch files the lock module leaves behind by mistake: probe and moved
// files ("<lock>.<36 characters>") and breaker files; with expect_lock false,
// also a lock file nobody holds any more. They are counted in the figures.
uint64_t count_debris(const std::string &dir, const std::string &lock_name, bool expect_lock);

// Plants a dead lock: a record whose process cannot exist, older than the
// file server's clock (which need not be the host's) by age_seconds.
void plant_stale_lock(const std::string &lock_path, int64_t age_seconds = 3600);

// The ways an acquisition is turned away that a contender simply retries:
// held, created or removed by someone else between two steps, an empty file
// being written, or a file handle that went stale on a network file system
// because another client replaced the file.
bool refused(int32_t rc);

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------

// Runs body in a child process and returns its pid (-1, and a failure, when
// the fork fails); the child exits with body's result. The child is a
// subreaper, so workers that the tool forks become its children once the
// tool's first process exits.
pid_t spawn_child(const std::function<int()> &body);

// Waits for a child and returns its exit code as ovsupport::ExitCode gives it.
int wait_code(pid_t pid);

// Releases every child blocked in wait() at the same moment.
class Barrier {
  public:
    Barrier();
    ~Barrier() { open_all(); }
    Barrier(const Barrier &) = delete;
    Barrier &operator=(const Barrier &) = delete;
    // In a child.
    void wait();
    void open_all();

  private:
    int fds_[2] = {-1, -1};
};

// The real tool, run the way a script runs it: standard output to a file,
// from which the worker's pid is read once the first process has exited.
struct ToolRun {
    int code = -1;  // the first process's, as ovsupport::ExitCode gives it
    pid_t worker = -1;
    std::string err;
};

// Runs the tool on name; its output goes to "<scratch>.out" and
// "<scratch>.err" (or nowhere, without capture_err).
ToolRun run_tool(const std::string &name, int expiration, const std::string &scratch,
                 bool capture_err = true);

// Asks a worker to release its lock and returns its exit code, or
// kAskedAgain when it had to be asked more than once.
inline constexpr int kAskedAgain = -2000;
int release_worker(pid_t worker);

// The command tool: runs this program's run-holder role under the lock on
// name, with options before the name. The holder records its entry and exit
// in the log at log_path as holder, bumps the counter when one is given and
// stays inside for hold_ms, and then until the log shows refusals refusals
// (see hold_for_refusals). Returns the tool's exit code; its standard error
// goes to "<scratch>.err" and is given in *err.
inline constexpr int kRunBusy = 75;  // the tool's status for a busy lock (its -E)
int run_command_tool(const std::string &name, const std::vector<std::string> &options,
                     const std::string &log_path, const char *holder, const std::string &counter,
                     int hold_ms, int refusals, const std::string &scratch, std::string *err);

// ---------------------------------------------------------------------------
// The enter/exit log
// ---------------------------------------------------------------------------

class EventLog {
  public:
    explicit EventLog(std::string path) : path_(std::move(path)) {}
    const std::string &path() const { return path_; }

    // Appends "<kind> <holder> <time>": 'E' on entry, 'X' on exit, 'P' for a
    // holder about to be paused.
    void record(char kind, const char *holder) const;

    struct Result {
        uint64_t entries = 0;
        uint64_t overlaps = 0;
        uint64_t pause_overlaps = 0;
    };
    // An entry while another holder is still inside is an overlap; it is
    // explained by a pause when either holder was marked paused ('P').
    Result analyse() const;

    // The records of one kind so far ('R': a takeover contender refused).
    uint64_t count(char kind) const;

  private:
    std::string path_;
};

// ---------------------------------------------------------------------------
// Scenarios
// ---------------------------------------------------------------------------

// Run is the command tool; Mixed gives contender i the kind mixed_kind(i):
// the library, the lock tool and the command tool in turn, on one lock.
enum class LockKind { Library, Tool, Run, Mixed, Broken };
LockKind mixed_kind(int contender);
const char *kind_name(LockKind kind);

// How a takeover scenario's children report their one acquisition.
inline constexpr int kWon = 10;
inline constexpr int kRefused = 11;
inline constexpr int kWonButLost = 12;  // acquired, but the lock was gone at release

// The expiration of the killed, paused and skewed holders' locks.
inline constexpr int kHolderExpiration = 3;

// contention.cpp: one contender process per name (names may differ per
// contender: two mounts of one directory); the log and the counter are shared.
void contention(LockKind kind, const std::vector<std::string> &names, const std::string &work,
                const std::string &counter, int rounds, const char *label);
void self_test(const std::string &work);

// The run-holder role, run by the command tool as its command: checks that
// the lock file holds the record the tool gave it (OVLOCK_FILE,
// OVLOCK_RECORD), then records its entry, bumps the counter (if not empty),
// stays hold_ms, and records its exit. Exits 0, or 1 when the lock was not
// the tool's.
int run_holder_main(const std::string &log_path, const std::string &holder,
                    const std::string &counter, int hold_ms, int refusals);

// A takeover round's winner holds its lock until every other contender of
// the round has been refused ('R' records in the log), at most 10 s: a
// contender that tried only after the winner's release would take the then
// free lock, and count as a second winner of the round without one.
void hold_for_refusals(const EventLog &log, int refusals);

// takeovers.cpp
struct TakeoverPlan {
    const char *label;
    LockKind kind;
    int contenders;
    uint32_t max_delay_ms;  // each contender draws its own delay below this
    uint32_t probe_gap_ms;  // 0: the real gap
    bool slow;
};
void takeover_rounds(const TakeoverPlan &plan, const std::vector<std::string> &dirs,
                     const std::string &work, int rounds);
void takeover_only(const std::string &work, int rounds, uint32_t delay_ms, int latency_ms);

// holders.cpp
void killed_holder(const std::string &work);
void paused_holder(const std::string &work);

// clock_skew.cpp, and the two roles this program plays on a shifted clock.
void clock_skew(const std::string &work);
int skew_holder_main(const std::string &name, int seconds, const std::string &ready);
int skew_contender_main(const std::string &name, int seconds);

// file_server.cpp
void file_server(const std::string &work, bool soak, int takeover_count);

// Two client hosts of one file server: two mounts of one backing directory
// below work, served by ovtestfs (g_testfs) with the given options. What
// fails to mount is reported as a failure. The mounts are taken down and
// the directories removed when it goes.
class TwoClients {
  public:
    TwoClients(const std::string &work, const std::vector<std::string> &options);
    ~TwoClients();
    TwoClients(const TwoClients &) = delete;
    TwoClients &operator=(const TwoClients &) = delete;
    bool mounted() const { return mounted_; }

    const std::string backing;
    const std::string mount_a;
    const std::string mount_b;
    TestFsMount a;
    TestFsMount b;

  private:
    bool mounted_ = false;
};

// resources.cpp
void resources(const std::string &work);

// etcd.cpp: the command tool (g_run) on a three-member etcd cluster; a
// missing etcd, etcdctl or --run is a failure. The soak's holds are longer
// and its faults more. etcd_holder_main is the command the tool runs there:
// it reports its start with OVLOCK_FENCE, a write every step_ms for hold_ms,
// and its end to the fenced store at socket_path.
void etcd_lock(const std::string &work, bool soak);
int etcd_holder_main(const std::string &socket_path, const std::string &holder, int hold_ms,
                     int step_ms);

}  // namespace ovstress
