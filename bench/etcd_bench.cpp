// etcd_bench.cpp - ovlockrun's lock on etcd, side by side with etcdctl's own
// lock, on one three-member cluster on loopback that this program starts.
//
//   run:      `ovlockrun --endpoints E NAME true` from exec to exit, against
//             `etcdctl --endpoints E lock NAME true` and a bare `true`, in
//             interleaved rounds (medians);
//   handoff:  a waiting `ovlockrun -w 30 --endpoints E NAME STAMP` behind a
//             lock this program holds through the etcd client; the time from
//             just before this program revokes its lease to the start of the
//             waiter's command (STAMP, bench/stamp.c, writes the monotonic
//             clock into a file) -- the revocation's own round trip counts;
//   contend:  CONTENDERS contenders, each taking the lock ROUNDS times in a
//             row around `true` (ovlockrun -w 60, or etcdctl lock), all
//             started together: the total time of each tool.
//
// Usage: etcd_bench OVLOCKRUN STAMP [RUNS] [HANDOFFS] [CONTENDERS] [ROUNDS]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "etcd_client.h"
#include "ovsupport/etcd_cluster.h"
#include "spawn.h"

extern char **environ;

namespace {

using ovbench::median;
using ovbench::mono_ns;
using ovbench::spawn;
using ovbench::wait_exit;

struct Bench {
    std::string ovlockrun;
    std::string stamp;
    std::string endpoints;
    std::string etcdctl;
    std::string dir;
};

void run_bench(const Bench &b, int runs) {
    // Interleaved, after one warm-up round; each round on a name of its own.
    int serial = 0;
    std::string name;
    const auto times = ovbench::interleaved_rounds(
        1, runs,
        {[&] {
             name.assign("run").append(std::to_string(serial++));
             return ovbench::time_run({b.ovlockrun, "--endpoints", b.endpoints, name, "true"});
         },
         [&] {
             return ovbench::time_run(
                 {b.etcdctl, "--endpoints", b.endpoints, "lock", name, "true"});
         },
         [] { return ovbench::time_run({"true"}); }});
    const std::vector<double> &ours = times[0], &theirs = times[1], &bare = times[2];
    std::printf("run      ovlockrun --endpoints E NAME true: median %.2f ms\n", median(ours));
    std::printf("run      etcdctl lock NAME true:             median %.2f ms\n", median(theirs));
    std::printf("run      true:                               median %.2f ms\n", median(bare));
    std::printf("run      ratio ovlockrun / etcdctl lock:      %.2f (target at most 0.5)\n",
                median(ours) / median(theirs));
}

void handoff_bench(const Bench &b, int handoffs) {
    ovlockrun::etcd::Options o;
    size_t start = 0;
    while (start <= b.endpoints.size()) {
        size_t end = b.endpoints.find(',', start);
        if (end == std::string::npos) end = b.endpoints.size();
        o.endpoints.push_back(b.endpoints.substr(start, end - start));
        start = end + 1;
    }
    auto client = ovlockrun::etcd::Client::create(o);
    if (!client) {
        std::fprintf(stderr, "etcd client: %s\n", client.error().message().c_str());
        std::exit(2);
    }
    auto &c = **client;
    std::vector<double> ms;
    std::mt19937 random(12345);
    const std::string file = b.dir + "/stamp";
    for (int i = 0; i < handoffs; ++i) {
        const std::string name = "handoff" + std::to_string(i);
        auto lease = c.lease_grant(30);
        if (!lease) std::exit(2);
        char hex[17];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(lease->id));
        if (!c.create(name + "/" + hex, "bench", lease->id)) std::exit(2);
        unlink(file.c_str());
        const pid_t waiter =
            spawn({b.ovlockrun, "-w", "30", "--endpoints", b.endpoints, name, b.stamp, file});
        // The waiter is queued once its key is there; then a pause of 50 to
        // 300 ms, so that the release falls anywhere in its watch.
        for (;;) {
            auto r = c.range_prefix(name + "/", 0, true);
            if (r && r->count >= 2) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 250));
        const int64_t released = mono_ns();
        if (!c.lease_revoke(lease->id)) std::exit(2);
        if (wait_exit(waiter) != 0) {
            std::fprintf(stderr, "the waiter failed\n");
            std::exit(2);
        }
        const int64_t started = ovbench::read_stamp(file);
        if (started < 0) std::exit(2);
        ms.push_back(static_cast<double>(started - released) / 1e6);
    }
    std::printf(
        "handoff  release to the waiter's command: median %.2f ms, 90th %.2f ms "
        "(target median at most 10)\n",
        median(ms), ovbench::percentile(ms, 0.9));
}

// Total seconds for contenders processes each running args rounds times.
double contend(const std::vector<std::string> &args, int contenders, int rounds) {
    const int64_t t = mono_ns();
    std::vector<std::thread> threads;
    for (int i = 0; i < contenders; ++i) {
        threads.emplace_back([&] {
            for (int r = 0; r < rounds; ++r) {
                const int code = wait_exit(spawn(args));
                if (code != 0) {
                    std::fprintf(stderr, "%s exited %d under contention\n", args[0].c_str(), code);
                    std::exit(2);
                }
            }
        });
    }
    for (auto &th : threads) th.join();
    return static_cast<double>(mono_ns() - t) / 1e9;
}

void contend_bench(const Bench &b, int contenders, int rounds) {
    const double ours =
        contend({b.ovlockrun, "-w", "60", "--endpoints", b.endpoints, "contended", "true"},
                contenders, rounds);
    const double theirs = contend(
        {b.etcdctl, "--endpoints", b.endpoints, "lock", "contended2", "true"}, contenders, rounds);
    std::printf(
        "contend  %d x %d acquisitions: ovlockrun %.2f s, etcdctl lock %.2f s, ratio %.2f "
        "(target at most 0.7)\n",
        contenders, rounds, ours, theirs, ours / theirs);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: etcd_bench OVLOCKRUN STAMP [RUNS] [HANDOFFS] [CONTENDERS] [ROUNDS]\n");
        return 2;
    }
    setenv("ETCDCTL_API", "3", 1);
    const int runs = argc > 3 ? std::atoi(argv[3]) : 50;
    const int handoffs = argc > 4 ? std::atoi(argv[4]) : 50;
    const int contenders = argc > 5 ? std::atoi(argv[5]) : 8;
    const int rounds = argc > 6 ? std::atoi(argv[6]) : 100;

    ovsupport::EtcdCluster cluster;
    std::string why;
    if (!cluster.start(&why)) {
        std::fprintf(stderr, "etcd cluster: %s\n", why.c_str());
        return 2;
    }
    Bench b{argv[1], argv[2], cluster.endpoints(), "etcdctl", cluster.dir()};
    std::printf("etcd_bench: a three-member etcd cluster on loopback, %s\n", b.endpoints.c_str());
    run_bench(b, runs);
    handoff_bench(b, handoffs);
    contend_bench(b, contenders, rounds);
    return 0;
}
