// resources.cpp - one process that takes a thousand locks with their
// keep-alive workers and gives them back: descriptors, threads and heap
// bytes must come back to where they were.
#include "harness.h"

#include "ovsupport/files.h"
#include "ovsupport/resources.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <vector>

namespace ovstress {

void resources(const std::string &work) {
    const std::string dir = temp_dir(work, "many");
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    const pid_t pid = spawn_child([&] {
        close(report[0]);
        constexpr int kLocks = 1000;
        std::vector<ov_lockfile_t> locks(kLocks);
        auto round = [&](int64_t *fds, int64_t *threads) {
            for (int i = 0; i < kLocks; ++i) {
                const std::string name = dir + "/l" + std::to_string(i);
                if (ov_lockfile_acquire_continuous(&locks[static_cast<size_t>(i)], name.c_str(),
                                                   10) != 0)
                    return false;
            }
            *fds = static_cast<int64_t>(ovsupport::open_descriptors());
            *threads = static_cast<int64_t>(ovsupport::thread_count());
            for (auto &lock : locks) {
                if (ov_lockfile_release(&lock) != 0) return false;
            }
            return true;
        };
        int64_t held_fds = 0;
        int64_t held_threads = 0;
        // A first round warms up whatever the C library caches.
        if (!round(&held_fds, &held_threads)) return 1;
        const auto fds = static_cast<int64_t>(ovsupport::open_descriptors());
        const auto threads = static_cast<int64_t>(ovsupport::thread_count());
        const auto bytes = static_cast<int64_t>(ovsupport::heap_in_use());
        if (!round(&held_fds, &held_threads)) return 1;
        const int64_t out[4] = {static_cast<int64_t>(ovsupport::open_descriptors()) - fds,
                                static_cast<int64_t>(ovsupport::thread_count()) - threads,
                                static_cast<int64_t>(ovsupport::heap_in_use()) - bytes,
                                held_threads};
        const ssize_t ignored = write(report[1], out, sizeof out);
        (void)ignored;
        return 0;
    });
    close(report[1]);
    int64_t out[4] = {-1, -1, -1, -1};
    const bool got = read(report[0], out, sizeof out) == sizeof out;
    close(report[0]);
    const int code = wait_code(pid);
    if (!got || code != 0) {
        fail("resources: the child failed (code %d)", code);
    } else {
        g_fig.fds_leaked = out[0];
        g_fig.threads_leaked = out[1];
        g_fig.bytes_leaked = out[2];
        g_fig.acquisitions += 2000;
        note("resources: 1000 locks held with %" PRId64 " threads, released; leaked %" PRId64
             " descriptors, %" PRId64 " threads, %" PRId64 " bytes",
             out[3], out[0], out[1], out[2]);
        if (out[0] != 0 || out[1] != 0 || out[2] != 0) fail("resources: leak");
        if (out[3] < 1000)
            fail("resources: only %" PRId64 " threads while holding 1000 locks", out[3]);
    }
    count_debris(dir, "l", false);
    if (!ovsupport::entries(dir).empty())
        fail("resources: %zu files left", ovsupport::entries(dir).size());
    ovsupport::remove_tree(dir);
}

}  // namespace ovstress
