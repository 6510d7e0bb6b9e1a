// file_server.cpp - the lock on a file server of our own: the ovtestfs FUSE
// file system, mounted twice as two client hosts.
//
// The server's clock is an hour ahead of the host's, then an hour behind, so
// every age the lock judges must come from the server's clock. Through it
// the two clients contend, take a stale lock over at the same moment through
// a slow server, meet a lock stamped in the server's future, and see
// acquisitions fail with the errors the server injects, leaving nothing
// behind; and a holder whose refreshes fail for a few seconds keeps its lock.
#include "harness.h"

#include "ovsupport/files.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace ovstress {

TwoClients::TwoClients(const std::string &work, const std::vector<std::string> &options)
    : backing(temp_dir(work, "server")),
      mount_a(temp_dir(work, "client-a")),
      mount_b(temp_dir(work, "client-b")),
      a(g_testfs),
      b(g_testfs) {
    mounted_ = a.mount(backing, mount_a, options) && b.mount(backing, mount_b, options);
    if (!mounted_) fail("file server: mount failed");
}

TwoClients::~TwoClients() {
    a.unmount();
    b.unmount();
    ovsupport::remove_tree(backing);
    rmdir(mount_a.c_str());
    rmdir(mount_b.c_str());
}

void file_server(const std::string &work, bool soak, int takeover_count) {
    std::string why;
    if (g_testfs.empty() || !TestFsMount::available(g_testfs, &why)) {
        g_fig.skipped.emplace_back("file server: " + (g_testfs.empty() ? "no ovtestfs" : why));
        return;
    }
    for (const char *offset : {"--offset=3600", "--offset=-3600"}) {
        TwoClients server(work, {offset});
        if (!server.mounted()) return;
        const std::string &backing = server.backing;
        const std::string &mount_a = server.mount_a;
        const std::string &mount_b = server.mount_b;
        TestFsMount &a = server.a;
        TestFsMount &b = server.b;
        const std::string label = std::string("server clock ") + (offset + 9) + " s";

        // Two client hosts contend for one lock.
        contention(LockKind::Library,
                   {mount_a + "/x", mount_b + "/x", mount_a + "/x", mount_b + "/x"}, work,
                   mount_a + "/counter", soak ? 50 : 25, (label + ", two clients").c_str());
        unlink((backing + "/counter").c_str());

        // Simultaneous takeovers through a slow server, from both clients.
        a.set_control("latency_ms=5\n");
        b.set_control("latency_ms=5\n");
        // Through the library the server clock behind the clients' also gets
        // a delay between the stale verdict and the takeover, which spreads
        // the contenders out the way unequal clients would.
        const bool ahead = offset[9] != '-';
        const TakeoverPlan slow{ahead ? "slow server" : "slow server, delay before the takeover",
                                soak ? LockKind::Tool : LockKind::Library,
                                8,
                                soak || ahead ? 0u : 60u,
                                soak ? 0u : 100u,
                                true};
        takeover_rounds(slow, {mount_a, mount_b}, work, takeover_count);
        a.set_control("");
        b.set_control("");

        // A lock stamped in the future by the server's own clock.
        const std::string future = mount_a + "/f.lck";
        ovsupport::write_file(future, "1:00000000-0000-0000-0000-000000000000:elsewhere\n");
        ovsupport::set_mtime(future, ovsupport::mtime_of(future).tv_sec + 120);
        const ToolRun skewed = run_tool(mount_b + "/f", 10, work + "/future");
        if (skewed.code != 1 || skewed.err.find("clock skew detected") == std::string::npos)
            fail("%s: a lock from the future gave code %d: %s", label.c_str(), skewed.code,
                 skewed.err.c_str());
        unlink(future.c_str());

        // Faults: acquisition reports the server's error and leaves nothing.
        struct Fault {
            const char *control;
            const char *text;
        };
        const Fault faults[] = {{"fail=ENOSPC:create\n", "out of disk space"},
                                {"fail=EROFS:create,mkdir\n", "Read-only file system"},
                                {"fail=EIO:create\n", "I/O error"},
                                {"fail=ESTALE:open,getattr\n", "Stale file handle"}};
        for (const auto &fault : faults) {
            for (bool stale_lock : {false, true}) {
                if (stale_lock) plant_stale_lock(mount_a + "/y.lck");
                b.set_control(fault.control);
                const ToolRun run = run_tool(mount_b + "/y", 10, work + "/fault");
                b.set_control("");
                if (run.code != 1 || run.err.find(fault.text) == std::string::npos)
                    fail("%s: %s gave code %d: %s", label.c_str(), fault.control, run.code,
                         run.err.c_str());
                unlink((backing + "/y.lck").c_str());
                count_debris(backing, "y", true);
            }
        }
        // A holder whose refreshes fail for a few seconds keeps its lock.
        const ToolRun held = run_tool(mount_a + "/z", 10, work + "/hold");
        if (held.code == 0 && held.worker > 0) {
            a.set_control("fail=EIO:open\n");
            sleep_ms(3000);
            a.set_control("");
            sleep_ms(1200);
            if (kill(held.worker, 0) != 0)
                fail("%s: a holder lost its lock after 3 s of failed refreshes", label.c_str());
            if (release_worker(held.worker) != 0)
                fail("%s: the holder could not release after the faults", label.c_str());
        } else {
            fail("%s: holder: %s", label.c_str(), held.err.c_str());
        }
        note("%s: two clients, future stamp, %zu fault kinds, refresh faults: done", label.c_str(),
             sizeof faults / sizeof faults[0]);
        count_debris(backing, "x", false);
        count_debris(backing, "z", false);
    }
}

}  // namespace ovstress
