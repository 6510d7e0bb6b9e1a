// ovtestfs_test.cpp - the test file system, mounted and used as its clients use it.
//
// Every test mounts ovtestfs over a backing directory inside its temporary
// directory, works through the mount point with plain system calls, and
// compares what it sees with the backing directory and with the host's
// clock. The mounts are taken down in TearDown whatever happened, and each
// test checks that nothing stays mounted. Without FUSE the tests skip with
// the reason TestFsMount::available gives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ovtestfs_mount.h"
#include "test_util.h"

namespace {

using ovsupport::entries;
using ovsupport::read_file;
using ovtest::write_file;

int64_t ns(const timespec &t) {
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int64_t host_now_ns() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return ns(t);
}

constexpr int64_t kSec = 1000000000LL;

// The stat of a path, or a zeroed one that fails the calling test.
struct stat stat_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
    return st;
}

void set_mtime(const std::string &path, time_t sec, long nsec) {
    const timespec t[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0) << path;
}

class TestFsTest : public ovtest::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        std::string why;
        if (!TestFsMount::available(&why)) GTEST_SKIP() << why;
        // Other users must be able to reach the mount points.
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        backing_ = path("backing");
        m1_ = path("m1");
        m2_ = path("m2");
        for (const std::string &d : {backing_, m1_, m2_}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    }
    void TearDown() override {
        a_.unmount();
        b_.unmount();
        EXPECT_FALSE(TestFsMount::is_mounted(m1_));
        EXPECT_FALSE(TestFsMount::is_mounted(m2_));
        TempDirTest::TearDown();
    }
    std::string backing(const std::string &name) const { return backing_ + "/" + name; }
    std::string in1(const std::string &name) const { return m1_ + "/" + name; }
    std::string in2(const std::string &name) const { return m2_ + "/" + name; }

    std::string backing_, m1_, m2_;
    TestFsMount a_, b_;
};

// Whatever creates a name or changes content is stamped by the server's
// clock, seen through the mount exactly as the backing file holds it.
TEST_F(TestFsTest, StampsComeFromTheServerClock) {
    struct Change {
        const char *name;
        std::function<int(const std::string &)> run;  // -1 and errno on failure
    };
    const std::vector<Change> changes = {
        {"create",
         [](const std::string &p) {
             const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
             return fd < 0 ? -1 : close(fd);
         }},
        {"write",
         [](const std::string &p) {
             const int fd = open(p.c_str(), O_WRONLY);
             if (fd < 0) return -1;
             const ssize_t n = write(fd, "x", 1);
             close(fd);
             return n == 1 ? 0 : -1;
         }},
        {"truncate", [](const std::string &p) { return truncate(p.c_str(), 1); }},
        {"open O_TRUNC",
         [](const std::string &p) {
             const int fd = open(p.c_str(), O_WRONLY | O_TRUNC);
             return fd < 0 ? -1 : close(fd);
         }},
        {"touch", [](const std::string &p) { return utimensat(AT_FDCWD, p.c_str(), nullptr, 0); }},
        {"mkdir", [](const std::string &p) { return mkdir(p.c_str(), 0755); }},
    };
    bool saw_nanoseconds = false;
    for (const int offset : {3600, -3600, 300}) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        ASSERT_TRUE(a_.mount(backing_, m1_, {"--offset=" + std::to_string(offset)}));
        for (const Change &c : changes) {
            SCOPED_TRACE(c.name);
            const std::string name = std::string(c.name) + std::to_string(offset);
            // Files that exist beforehand carry an old stamp that must go.
            if (c.name != std::string("create") && c.name != std::string("mkdir")) {
                write_file(backing(name), "old content");
                set_mtime(backing(name), 1000000000, 0);
            }
            const int64_t before = host_now_ns();
            ASSERT_EQ(c.run(in1(name)), 0) << std::strerror(errno);
            const int64_t after = host_now_ns();
            const struct stat seen = stat_of(in1(name));
            const struct stat held = stat_of(backing(name));
            EXPECT_GE(ns(seen.st_mtim), before + offset * kSec - 2 * kSec);
            EXPECT_LE(ns(seen.st_mtim), after + offset * kSec + 2 * kSec);
            EXPECT_EQ(ns(seen.st_atim), ns(seen.st_mtim));
            EXPECT_EQ(ns(seen.st_mtim), ns(held.st_mtim));
            EXPECT_EQ(seen.st_ino, held.st_ino);
            saw_nanoseconds = saw_nanoseconds || seen.st_mtim.tv_nsec != 0;
        }
        // A new name changes its directory's mtime by the same clock.
        const int64_t dir_mtime = ns(stat_of(m1_).st_mtim);
        EXPECT_GE(dir_mtime, host_now_ns() + offset * kSec - 60 * kSec);
        EXPECT_LE(dir_mtime, host_now_ns() + offset * kSec + 2 * kSec);
        a_.unmount();
        EXPECT_EQ(a_.exit_status(), 0);
    }
    // Eighteen stamps that all fall on whole seconds mean they were cut.
    EXPECT_TRUE(saw_nanoseconds);
}

// Explicit times are kept to the nanosecond; renaming and linking leave the
// file's mtime alone, as on a server; existing names are refused.
TEST_F(TestFsTest, ExplicitTimesRenamesAndLinks) {
    ASSERT_TRUE(a_.mount(backing_, m1_, {"--offset=300"}));
    write_file(in1("f"), "data");
    const timespec both[2] = {{1234567890, 123456789}, {1000000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, in1("f").c_str(), both, 0), 0);
    struct stat st = stat_of(in1("f"));
    EXPECT_EQ(ns(st.st_atim), ns(both[0]));
    EXPECT_EQ(ns(st.st_mtim), ns(both[1]));

    const timespec mtime_only[2] = {{0, UTIME_OMIT}, {1100000000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, in1("f").c_str(), mtime_only, 0), 0);
    st = stat_of(in1("f"));
    EXPECT_EQ(ns(st.st_atim), ns(both[0]));
    EXPECT_EQ(ns(st.st_mtim), ns(mtime_only[1]));

    ASSERT_EQ(rename(in1("f").c_str(), in1("g").c_str()), 0);
    EXPECT_EQ(ns(stat_of(in1("g")).st_mtim), ns(mtime_only[1]));
    ASSERT_EQ(link(in1("g").c_str(), in1("h").c_str()), 0);
    EXPECT_EQ(ns(stat_of(in1("h")).st_mtim), ns(mtime_only[1]));
    EXPECT_EQ(stat_of(in1("h")).st_nlink, 2u);

    errno = 0;
    EXPECT_EQ(link(in1("g").c_str(), in1("h").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    write_file(in1("other"), "x");
    errno = 0;
    EXPECT_EQ(
        renameat2(AT_FDCWD, in1("other").c_str(), AT_FDCWD, in1("g").c_str(), RENAME_NOREPLACE),
        -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(
        renameat2(AT_FDCWD, in1("other").c_str(), AT_FDCWD, in1("g").c_str(), RENAME_EXCHANGE), 0);
    EXPECT_EQ(read_file(in1("g")), "x");
    EXPECT_EQ(read_file(in1("other")), "data");
}

// The control file changes delay and clock of the running server, and an
// empty one goes back to the command line's values.
TEST_F(TestFsTest, ControlFileChangesTheRunningServer) {
    write_file(backing("f"), "data");
    ASSERT_TRUE(a_.mount(backing_, m1_, {"--latency-ms=20", "--offset=3600"}));
    auto stat_takes_usec = [&] {
        const int64_t start = ovtest::monotonic_usec();
        stat_of(in1("f"));
        return ovtest::monotonic_usec() - start;
    };
    auto new_file_offset_sec = [&](const std::string &name) {
        const int64_t before = host_now_ns();
        write_file(in1(name), "");
        return (ns(stat_of(in1(name)).st_mtim) - before) / kSec;
    };
    EXPECT_GE(stat_takes_usec(), 20000);
    EXPECT_NEAR(new_file_offset_sec("a"), 3600, 2);

    ASSERT_TRUE(a_.set_control("latency_ms=60\noffset=-600\n"));
    EXPECT_GE(stat_takes_usec(), 60000);
    EXPECT_NEAR(new_file_offset_sec("b"), -600, 2);

    ASSERT_TRUE(a_.set_control(""));
    EXPECT_GE(stat_takes_usec(), 20000);
    EXPECT_NEAR(new_file_offset_sec("c"), 3600, 2);
}

// Requests are served side by side: four delayed ones at once take about as
// long as one, not four times as long.
TEST_F(TestFsTest, ServesRequestsConcurrently) {
    constexpr int kThreads = 4;
    constexpr int64_t kLatencyMs = 300;
    std::vector<int> fds;
    for (int i = 0; i < kThreads; ++i) write_file(backing("f" + std::to_string(i)), "x");
    ASSERT_TRUE(a_.mount(backing_, m1_, {}));
    for (int i = 0; i < kThreads; ++i) {
        fds.push_back(open(in1("f" + std::to_string(i)).c_str(), O_RDONLY));
        ASSERT_GE(fds.back(), 0);
    }
    ASSERT_TRUE(a_.set_control("latency_ms=" + std::to_string(kLatencyMs)));
    ovtest::Gate go;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            go.wait();
            struct stat st {};
            if (fstat(fds[static_cast<size_t>(i)], &st) != 0) failures.fetch_add(1);
        });
    }
    const int64_t start = ovtest::monotonic_usec();
    go.open();
    for (std::thread &t : threads) t.join();
    const int64_t took = ovtest::monotonic_usec() - start;
    ASSERT_TRUE(a_.set_control(""));
    for (const int fd : fds) close(fd);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(took, kLatencyMs * 1000);
    EXPECT_LT(took, 3 * kLatencyMs * 1000) << "requests were served one after another";
}

// Each injected error reaches the client from the named operation, leaves
// others alone, and ends when the control file is cleared.
TEST_F(TestFsTest, InjectedFaultsHitOnlyTheNamedOperation) {
    struct Ctx {
        int fd;  // opened read-write on "f" before the fault is set
        std::string f, d, m;
    };
    using Call = std::function<int(const Ctx &)>;  // -1 and errno on failure
    auto ok = [](int rc) { return rc < 0 ? -1 : 0; };
    const Call stat_f = [](const Ctx &c) {
        struct stat st {};
        return stat(c.f.c_str(), &st);
    };
    const Call read_fd = [ok](const Ctx &c) {
        char b;
        return ok(static_cast<int>(pread(c.fd, &b, 1, 0)));
    };
    const Call write_fd = [ok](const Ctx &c) {
        return ok(static_cast<int>(pwrite(c.fd, "y", 1, 0)));
    };
    const Call create_new = [](const Ctx &c) {
        const int fd = open((c.m + "/new").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        return fd < 0 ? -1 : close(fd);
    };
    struct Row {
        const char *control;
        int err;
        Call fails;
        Call still_works;
    };
    const std::vector<Row> rows = {
        {"fail=ESTALE:getattr", ESTALE, stat_f, read_fd},
        {"fail=EACCES:open", EACCES,
         [](const Ctx &c) {
             const int fd = open(c.f.c_str(), O_RDONLY);
             return fd < 0 ? -1 : close(fd);
         },
         stat_f},
        {"fail=EROFS:create", EROFS, create_new, write_fd},
        {"fail=EIO:read", EIO, read_fd, write_fd},
        {"fail=ENOSPC:write", ENOSPC, write_fd, read_fd},
        {"fail=EIO:rename", EIO,
         [](const Ctx &c) { return rename(c.f.c_str(), (c.m + "/g").c_str()); },
         [](const Ctx &c) { return link(c.f.c_str(), (c.m + "/h").c_str()); }},
        {"fail=EROFS:unlink", EROFS, [](const Ctx &c) { return unlink(c.f.c_str()); }, create_new},
        {"fail=ESTALE:link", ESTALE,
         [](const Ctx &c) { return link(c.f.c_str(), (c.m + "/h").c_str()); }, create_new},
        {"fail=ENOSPC:mkdir", ENOSPC,
         [](const Ctx &c) { return mkdir((c.m + "/x").c_str(), 0755); }, create_new},
        {"fail=EACCES:rmdir", EACCES, [](const Ctx &c) { return rmdir(c.d.c_str()); },
         [](const Ctx &c) { return unlink(c.f.c_str()); }},
        {"fail=EIO:utimens", EIO,
         [](const Ctx &c) { return utimensat(AT_FDCWD, c.f.c_str(), nullptr, 0); }, write_fd},
        {"fail=ENOSPC:truncate", ENOSPC, [](const Ctx &c) { return truncate(c.f.c_str(), 0); },
         write_fd},
        {"fail=EIO:release", EIO,
         [](const Ctx &c) {
             const int fd = open(c.f.c_str(), O_RDONLY);
             return fd < 0 ? -2 : close(fd);
         },
         stat_f},
        {"fail=EIO:read\nfail=ENOSPC:write", ENOSPC, write_fd, stat_f},
        {"fail=EIO:read\nfail=ENOSPC:write", EIO, read_fd, stat_f},
        {"fail=EACCES:all", EACCES, stat_f, nullptr},
        {"fail=EACCES:all", EACCES, read_fd, nullptr},
    };
    ASSERT_TRUE(a_.mount(backing_, m1_, {}));
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.control) + " -> " + std::strerror(row.err));
        // Every row starts from the same backing directory.
        for (const std::string &name : entries(backing_))
            std::filesystem::remove_all(backing(name));
        write_file(backing("f"), "data");
        ASSERT_EQ(mkdir(backing("d").c_str(), 0755), 0);
        const Ctx ctx{open(in1("f").c_str(), O_RDWR), in1("f"), in1("d"), m1_};
        ASSERT_GE(ctx.fd, 0);

        ASSERT_TRUE(a_.set_control(row.control));
        errno = 0;
        EXPECT_EQ(row.fails(ctx), -1);
        EXPECT_EQ(errno, row.err) << std::strerror(errno);
        if (row.still_works) {
            EXPECT_EQ(row.still_works(ctx), 0) << std::strerror(errno);
        }

        ASSERT_TRUE(a_.set_control(""));
        EXPECT_EQ(row.fails(ctx), 0) << "after clearing: " << std::strerror(errno);
        close(ctx.fd);
    }
}

// Two mounts of one backing directory are two clients of one server that
// cache nothing: each sees what the other did at once.
TEST_F(TestFsTest, TwoMountsSeeEachOtherAtOnce) {
    ASSERT_TRUE(a_.mount(backing_, m1_, {"--offset=300"}));
    ASSERT_TRUE(b_.mount(backing_, m2_, {"--offset=300"}));
    struct stat st {};
    EXPECT_EQ(stat(in2("f").c_str(), &st), -1);  // a negative answer that must not stick

    write_file(in1("f"), "one");
    EXPECT_EQ(stat(in2("f").c_str(), &st), 0);
    EXPECT_EQ(read_file(in2("f")), "one");
    errno = 0;
    EXPECT_EQ(open(in2("f").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), -1);
    EXPECT_EQ(errno, EEXIST);

    // Both by name and through a descriptor held open on the other mount.
    const int held = open(in2("f").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    set_mtime(in1("f"), 1000000000, 0);
    EXPECT_EQ(stat_of(in2("f")).st_mtim.tv_sec, 1000000000);
    const int fd = open(in1("f").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "T", 1, 0), 1);
    ASSERT_EQ(fstat(held, &st), 0);
    const struct stat after_b = stat_of(in2("f"));
    EXPECT_EQ(ns(st.st_mtim), ns(after_b.st_mtim));
    EXPECT_EQ(ns(after_b.st_mtim), ns(stat_of(in1("f")).st_mtim));
    EXPECT_GT(after_b.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(read_file(in2("f")), "Tne");
    close(fd);
    close(held);

    ASSERT_EQ(rename(in1("f").c_str(), in1("g").c_str()), 0);
    EXPECT_EQ(stat(in2("f").c_str(), &st), -1);
    EXPECT_EQ(read_file(in2("g")), "Tne");
    write_file(in2("taken"), "");
    errno = 0;
    EXPECT_EQ(link(in1("g").c_str(), in1("taken").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(unlink(in2("g").c_str()), 0);
    EXPECT_EQ(stat(in1("g").c_str(), &st), -1);
    ASSERT_EQ(mkdir(in2("d").c_str(), 0755), 0);
    EXPECT_EQ(entries(m1_), (std::vector<std::string>{"d", "taken"}));
}

// A write and the stamp after it are two steps on the backing file; no
// client, on this mount or another, may see the host's time in between.
TEST_F(TestFsTest, NoClientSeesAWriteBeforeItsStamp) {
    constexpr int kOffset = 3600;
    ASSERT_TRUE(a_.mount(backing_, m1_, {"--offset=" + std::to_string(kOffset)}));
    ASSERT_TRUE(b_.mount(backing_, m2_, {"--offset=" + std::to_string(kOffset)}));
    write_file(in1("f"), "0");
    const int writer_fd = open(in1("f").c_str(), O_WRONLY);
    const int reader_fd = open(in2("f").c_str(), O_RDONLY);
    ASSERT_GE(writer_fd, 0);
    ASSERT_GE(reader_fd, 0);
    std::atomic<bool> done{false};
    std::atomic<int> write_failures{0};
    std::thread writer([&] {
        for (int i = 0; i < 3000; ++i)
            if (pwrite(writer_fd, "x", 1, 0) != 1) write_failures.fetch_add(1);
        done.store(true);
    });
    int host_stamps = 0, looks = 0;
    while (!done.load()) {
        struct stat same {
        }, other{};
        const int64_t limit = host_now_ns() + kOffset / 2 * kSec;
        if (stat(in1("f").c_str(), &same) == 0 && ns(same.st_mtim) < limit) ++host_stamps;
        if (fstat(reader_fd, &other) == 0 && ns(other.st_mtim) < limit) ++host_stamps;
        ++looks;
    }
    writer.join();
    close(writer_fd);
    close(reader_fd);
    EXPECT_EQ(write_failures.load(), 0);
    EXPECT_GT(looks, 0);
    EXPECT_EQ(host_stamps, 0) << "in " << looks << " looks";
}

// The kernel checks other users against the mode bits, and what they create
// is theirs.
TEST_F(TestFsTest, OtherUsersMeetThePermissionBits) {
    ASSERT_EQ(mkdir(backing("closed").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(backing("open").c_str(), 0777), 0);
    ASSERT_EQ(chmod(backing("open").c_str(), 0777), 0);
    write_file(backing("mine"), "root's");
    ASSERT_TRUE(a_.mount(backing_, m1_, {}));
    bool passed = false;
    const std::string closed = in1("closed/x"), open_dir = in1("open/y"), mine = in1("mine");
    const bool ran = ovtest::RunUnprivileged(
        [&] {
            errno = 0;
            const bool refused =
                open(closed.c_str(), O_WRONLY | O_CREAT, 0644) == -1 && errno == EACCES;
            errno = 0;
            const bool not_written = open(mine.c_str(), O_WRONLY) == -1 && errno == EACCES;
            const int fd = open(open_dir.c_str(), O_WRONLY | O_CREAT, 0640);
            return refused && not_written && fd >= 0 && close(fd) == 0;
        },
        &passed);
    if (!ran) GTEST_SKIP() << "cannot switch to user nobody";
    EXPECT_TRUE(passed);
    if (geteuid() == 0) {
        EXPECT_EQ(stat_of(backing("open/y")).st_uid, ovsupport::kNobody);
        EXPECT_EQ(stat_of(backing("open/y")).st_mode & 07777, 0640u);
        EXPECT_EQ(access(backing("closed/x").c_str(), F_OK), -1);
    }
}

// However the mount ends, nothing stays mounted and the daemon is collected.
TEST_F(TestFsTest, TakedownLeavesNothingMounted) {
    {
        SCOPED_TRACE("unmount() with a file open inside");
        ASSERT_TRUE(a_.mount(backing_, m1_, {}));
        EXPECT_TRUE(TestFsMount::is_mounted(m1_));
        const int fd = open(in1("busy").c_str(), O_WRONLY | O_CREAT, 0644);
        EXPECT_GE(fd, 0);
        a_.unmount();
        EXPECT_FALSE(TestFsMount::is_mounted(m1_));
        EXPECT_EQ(a_.exit_status(), 0);
        if (fd >= 0) close(fd);
    }
    {
        SCOPED_TRACE("the destructor");
        {
            TestFsMount scoped;
            ASSERT_TRUE(scoped.mount(backing_, m1_, {}));
            EXPECT_TRUE(TestFsMount::is_mounted(m1_));
        }
        EXPECT_FALSE(TestFsMount::is_mounted(m1_));
    }
    {
        SCOPED_TRACE("unmounted from outside");
        ASSERT_TRUE(a_.mount(backing_, m1_, {}));
        const std::string mp = m1_;
        const int rc = ovtest::RunChild([&] {
            execlp("fusermount3", "fusermount3", "-u", mp.c_str(), static_cast<char *>(nullptr));
            return 127;
        });
        if (rc == 127) {
            GTEST_SKIP() << "fusermount3 not found";
        }
        EXPECT_EQ(rc, 0);
        a_.unmount();
        EXPECT_FALSE(TestFsMount::is_mounted(m1_));
        EXPECT_EQ(a_.exit_status(), 0);
    }
    {
        SCOPED_TRACE("the daemon killed");
        ASSERT_TRUE(a_.mount(backing_, m1_, {}));
        ASSERT_EQ(kill(a_.pid(), SIGKILL), 0);
        a_.unmount();
        EXPECT_FALSE(TestFsMount::is_mounted(m1_));
        EXPECT_TRUE(WIFSIGNALED(a_.exit_status()));
    }
    {
        SCOPED_TRACE("a backing directory that does not exist");
        EXPECT_FALSE(a_.mount(path("missing"), m1_, {}));
        EXPECT_FALSE(a_.mounted());
        EXPECT_FALSE(TestFsMount::is_mounted(m1_));
        EXPECT_TRUE(WIFEXITED(a_.exit_status()) && WEXITSTATUS(a_.exit_status()) != 0);
    }
}

}  // namespace
