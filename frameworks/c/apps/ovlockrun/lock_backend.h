// lock_backend.h - where ovlockrun keeps its lock.
//
// The tool runs a command under a lock; the lock itself lives in a store: a
// lock file (the file backend) or a key on an etcd cluster (the etcd
// backend). The tool's part is the same for every store: the options, the
// signals, the guardian, the command and its process group, the terminal and
// the exit statuses. A store's part is what this interface asks for, so that
// another store is one class in one file:
//
//   acquire()          take the lock, waiting as the options say
//   set_environment()  name the lock to the command (OVLOCK_* variables)
//   keep_alive()       start keeping the lock alive, once the command runs
//   lost()             whether the lock has been lost, and report_loss()
//   release()          let go of it
//   check()            --check: say who holds it, changing nothing
//
// A backend says its own messages (through ToolServices::say, so that they
// reach standard error and the debug log in the tool's one voice) and gives
// back outcomes from which the tool picks the exit status.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

namespace ovlockrun {

// Exit statuses of the tool itself; the command's own pass through.
constexpr int kExitBusy = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLost = 3;
constexpr int kExitFailure = 4;

// What the options ask of the lock, whatever the store.
struct LockRequest {
    const char *name = nullptr;  // FILE, or the lock's NAME in a store
    double wait_seconds = 0;     // -w
    int32_t expiration = 60;     // -e: a file's age limit, or a lease's time to live
    bool quiet = false;          // -q: no message when busy
};

// What the tool lends a backend.
struct ToolServices {
    // A message line on standard error and in the debug log.
    void (*say)(const char *format, ...) __attribute__((format(printf, 1, 2)));
    // A line in the debug log only, at the first debug level.
    void (*debug)(const char *format, ...) __attribute__((format(printf, 1, 2)));
    // Readable when a signal has arrived; signalled() then says whether it
    // is one that ends a wait for the lock. signalled() drains the
    // descriptor, so that a wait can poll it again.
    int wake_fd;
    bool (*signalled)();
    // Makes wake_fd readable, from any thread: a backend's own thread that
    // has news for a wait in progress.
    void (*wake)();
};

enum class Acquired { kAcquired, kBusy, kFailed, kSignalled };
enum class Released { kReleased, kLost, kFailed };

class LockBackend {
  public:
    virtual ~LockBackend() = default;

    // Takes the lock, trying until -w has passed; says why it is busy
    // (unless quiet) or why it failed. kSignalled leaves nothing held.
    virtual Acquired acquire() = 0;
    // Sets the command's OVLOCK_* variables; false, said, when it cannot.
    virtual bool set_environment() = 0;
    // How long the command runs before keep_alive() is called.
    virtual int64_t keep_alive_delay_ms() const = 0;
    // Starts keeping the lock alive; false, said, when it cannot.
    virtual bool keep_alive() = 0;
    // Whether the lock has been lost; a cheap look, made often.
    virtual bool lost() = 0;
    // Says that the lock was lost; then says what follows for the command.
    virtual void report_loss(const char *then) = 0;
    // The monotonic millisecond by which a command whose lock was lost must
    // be dead because a successor may run from then on, whatever -k says.
    virtual int64_t kill_deadline_ms() const { return std::numeric_limits<int64_t>::max(); }
    // The lock as the guardian names it: "the lock file PATH", or a key.
    virtual const char *lock_name() const = 0;
    // Lets go of the lock. quiet says nothing; otherwise a lock found lost
    // is reported as lost "before the command ended", and a failure as such.
    virtual Released release(bool quiet) = 0;
    // --check: prints what the store holds; the tool's --check status.
    virtual int check() = 0;
};

}  // namespace ovlockrun
