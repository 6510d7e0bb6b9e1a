// clock_skew.cpp - a live holder and contenders on clocks shifted with
// libfaketime.
//
// The lock judges a file's age against the file system's clock, not the
// contender's, so no contender may take a live lock over however far its
// own clock is off, and a contender on a shifted clock must still take a dead
// lock over. This program plays the shifted holder and contender itself, run
// again with libfaketime preloaded as "skew-holder" or "skew-contender".
#include "harness.h"

#include "ovsupport/files.h"
#include "ovsupport/process.h"

#include <glob.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace ovstress {
namespace {

std::string faketime_library() {
    glob_t found{};
    std::string path;
    if (glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &found) == 0 && found.gl_pathc > 0)
        path = found.gl_pathv[0];
    globfree(&found);
    return path;
}

// Runs this program as "skew-holder" or "skew-contender" with its clock
// shifted; returns the child's pid.
pid_t spawn_skewed(const std::string &offset, const std::vector<std::string> &args) {
    const pid_t pid = ovsupport::StartProgram(
        g_self, args,
        {.env = {"LD_PRELOAD=" + faketime_library(), "FAKETIME=" + offset, "NO_FAKE_STAT=1"}});
    if (pid < 0) fail("spawn skewed child: %s", std::strerror(errno));
    return pid;
}

}  // namespace

// skew-holder NAME SECONDS READY: holds the lock with its worker for SECONDS
// and exits 0 if it still owns it, 2 if it lost it.
int skew_holder_main(const std::string &name, int seconds, const std::string &ready) {
    ov_lockfile_t lock;
    int32_t rc = ov_lockfile_acquire_continuous(&lock, name.c_str(), kHolderExpiration);
    if (rc != 0) return 1;
    ovsupport::write_file(ready, std::to_string(time(nullptr)));
    sleep_ms(seconds * 1000LL);
    const bool lost = std::atomic_ref<uint32_t>(lock.lost).load() != 0;
    rc = ov_lockfile_release(&lock);
    return lost || rc != 0 ? 2 : 0;
}

// skew-contender NAME SECONDS: tries for SECONDS; exits kWon if it acquired
// (and released), kRefused if it never did.
int skew_contender_main(const std::string &name, int seconds) {
    ov_lockfile_t lock;
    const int64_t until = mono_ns() + seconds * 1000000000LL;
    do {
        const int32_t rc = ov_lockfile_acquire(&lock, name.c_str(), kHolderExpiration);
        if (rc == 0) return ov_lockfile_release(&lock) == 0 ? kWon : 1;
        if (!refused(rc)) return 1;
        sleep_ms(200);
    } while (mono_ns() < until);
    return kRefused;
}

// A live holder and contenders on shifted clocks: no contender may take the
// live lock, and a skewed contender still takes a dead lock over.
void clock_skew(const std::string &work) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer runtime must come first among the libraries and refuses
    // a preloaded one.
    g_fig.skipped.emplace_back(
        "clock skew: libfaketime cannot be preloaded into a sanitizer build");
    return;
#endif
    if (faketime_library().empty()) {
        g_fig.skipped.emplace_back("clock skew: libfaketime is not installed");
        return;
    }
    const char *offsets[] = {"+300s", "-300s", "+1h", "-1h"};
    const int window = kHolderExpiration + 5;
    for (const char *offset : offsets) {
        const std::string dir = temp_dir(work, "skew");
        const std::string name = dir + "/x";
        const std::string ready = dir + "/ready";
        // The holder runs on the shifted clock, contenders on both.
        const pid_t holder =
            spawn_skewed(offset, {"skew-holder", name, std::to_string(window + 1), ready});
        const int64_t deadline = mono_ns() + 10 * 1000000000LL;
        while (access(ready.c_str(), F_OK) != 0 && mono_ns() < deadline) sleep_ms(20);
        if (access(ready.c_str(), F_OK) != 0) {
            fail("skew %s: the holder did not start (code %d)", offset, wait_code(holder));
            ovsupport::remove_tree(dir);
            continue;
        }
        const long skew =
            std::atol(ovsupport::read_file(ready).c_str()) - static_cast<long>(time(nullptr));
        if (std::labs(skew) < 200)
            fail("skew %s: the holder's clock is not shifted (%ld s)", offset, skew);
        std::vector<pid_t> contenders;
        contenders.push_back(
            spawn_skewed(offset, {"skew-contender", name, std::to_string(window)}));
        contenders.push_back(spawn_child([&] { return skew_contender_main(name, window); }));
        int wins = 0;
        for (const pid_t pid : contenders) {
            const int code = wait_code(pid);
            if (code == kWon)
                ++wins;
            else if (code != kRefused)
                fail("skew %s: a contender ended with %d", offset, code);
        }
        const int held = wait_code(holder);
        g_fig.false_takeovers += static_cast<uint64_t>(wins);
        g_fig.acquisitions++;
        if (wins != 0 || held != 0)
            fail("skew %s: live lock taken over (%d wins, holder %d)", offset, wins, held);

        // A dead lock on the same directory: the skewed contender takes it.
        plant_stale_lock(name + ".lck");
        const int code = wait_code(spawn_skewed(offset, {"skew-contender", name, "10"}));
        if (code == kWon) {
            g_fig.takeovers++;
            g_fig.acquisitions++;
        } else {
            fail("skew %s: a dead lock was not taken over (%d)", offset, code);
        }
        note("skew %s: live lock kept against %zu contenders for %d s; dead lock taken over: %s",
             offset, contenders.size(), window, code == kWon ? "yes" : "no");
        unlink(ready.c_str());
        count_debris(dir, "x", false);
        ovsupport::remove_tree(dir);
    }
}

}  // namespace ovstress
