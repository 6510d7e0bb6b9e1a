// ovlog_test.cpp - the logger: threshold, destinations, file lines, the ring, syslog.
#include <ovplatform/overror.h>
#include <ovplatform/ovlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cwchar>
#include <cstdarg>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "ovsupport/sanitizers.h"
#include "test_util.h"

// Allocations made by this thread while counting is on. The test program's
// own malloc family stands in front of the C library's, so every allocation
// of the library code under test passes through here. Sanitizer builds keep
// their own allocator: the count is taken only in plain builds.
#ifdef OV_TEST_SANITIZED
#define OV_TEST_COUNTS_ALLOCATIONS 0
#else
#define OV_TEST_COUNTS_ALLOCATIONS 1
thread_local bool t_counting = false;
thread_local long t_allocations = 0;

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

extern "C" void *malloc(size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *block, size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_realloc(block, size);
}
#endif

namespace {

using ovsupport::read_file;
using ovtest::write_file;

constexpr char kSource[] = "base/ovplatform/tests/ovlog_test";

class LogThreshold : public ::testing::Test {
  protected:
    void TearDown() override { ov_log_set_level(3); }
};

TEST_F(LogThreshold, SettingsMoveTheThresholdAsDocumented) {
    EXPECT_EQ(ov_log_level(), 3);
    EXPECT_TRUE(ov_log_at_default_level());
    ov_log_enable(0);
    EXPECT_EQ(ov_log_level(), -1);
    EXPECT_FALSE(ov_log_enabled());
    EXPECT_EQ(ov_log(0, "t", 1, "x"), -1);
    ov_log_enable(1);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_debug(1);
    EXPECT_EQ(ov_log_level(), 4);
    EXPECT_TRUE(ov_log_debug_enabled());
    ov_log_set_debug(0);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_debug_level(2);
    EXPECT_EQ(ov_log_level(), 5);
    ov_log_set_debug_level(0);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_debug_level(-4);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_level(-7);
    EXPECT_EQ(ov_log_level(), -1);
}

TEST_F(LogThreshold, UnconfiguredLoggerDropsAndKeepsErrno) {
    errno = ENOSPC;
    EXPECT_EQ(ov_log(1, "t", 1, "message %d", 1), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
}

TEST_F(LogThreshold, OpenRejectsBadArguments) {
    EXPECT_EQ(ov_log_open(OV_LOG_FILE, nullptr), EINVAL);
    std::string longpath(8193, 'a');
    EXPECT_EQ(ov_log_open(OV_LOG_FILE, longpath.c_str()), EPATHMAX);
    EXPECT_EQ(ov_log_open(OV_LOG_CALLBACK, "x"), EINVAL);
    EXPECT_EQ(ov_log_set_callback(nullptr), ERANGE);
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
}

// ---- Helpers ----------------------------------------------------------------------------------

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The message part of a file line ("ERR text"), or "" when the line has no
// prefix of the expected form.
std::string message_of(const std::string &line) {
    static const std::regex prefix(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9a-f]+-[0-9a-f]{8,}\] )");
    std::smatch m;
    if (!std::regex_search(line, m, prefix)) return "";
    return m.suffix().str();
}

// The messages of a log file, summaries kept as they stand.
std::vector<std::string> messages(const std::string &path) {
    std::vector<std::string> out;
    for (const auto &line : lines_of(read_file(path))) {
        const std::string m = message_of(line);
        out.push_back(m.empty() ? line : m);
    }
    return out;
}

ino_t inode(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Sends descriptor 2 to a file for the scope; text() reads what arrived.
class StderrCapture {
  public:
    explicit StderrCapture(std::string path) : path_(std::move(path)) {
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        saved_ = dup(2);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        dup2(saved_, 2);
        close(saved_);
    }
    std::string text() const { return read_file(path_); }

  private:
    std::string path_;
    int saved_;
};

// Every test leaves the logger closed and at its default settings. The
// writer's last message outlives close, so each test logs texts of its own.
class Log : public ovtest::TempDirTest {
  protected:
    void TearDown() override {
        // A run of repeats left open would be summarised in the next test's
        // file: end it here, in this test's own.
        ov_log_set_stderr_level(-1);
        if (ov_log_kind() == OV_LOG_FILE) ov_log(0, kSource, __LINE__, "end of the test");
        ov_log_close();
        ov_log_set_level(3);
        ov_log_set_max_file_mb(10);
        ov_log_set_max_file_number(9);
        TempDirTest::TearDown();
    }
    // Opens the file destination at dir/name.
    void open_file(const std::string &name = "app.log") {
        ASSERT_OV_OK(ov_log_open(OV_LOG_FILE, path(name).c_str()));
    }
    // A file of the given size (sparse), standing in for a full log file.
    void make_file(const std::string &name, off_t size = 4) {
        write_file(path(name), "old\n");
        ASSERT_EQ(truncate(path(name).c_str(), size), 0);
    }
};

// ---- The ring ---------------------------------------------------------------------------------

TEST_F(Log, FirstOpenCreatesFileZeroAndTheLink) {
    open_file();
    ov_log(1, kSource, __LINE__, "first %s", "line");
    EXPECT_EQ(ovsupport::entries(dir_), (std::vector<std::string>{"app.0.log", "app.log"}));
    EXPECT_EQ(inode(path("app.log")), inode(path("app.0.log")));
    EXPECT_EQ(messages(path("app.log")), std::vector<std::string>{"ERR first line"});
}

TEST_F(Log, TheCurrentFileIsChosenFromWhatIsOnDisk) {
    constexpr off_t kFull = 1048576;
    struct Case {
        const char *what;
        std::string base;                                  // configured name
        std::vector<std::pair<std::string, off_t>> files;  // on disk before the open
        int highest;
        std::string current;               // where the line goes
        std::vector<std::string> deleted;  // gone afterwards
        bool relinked;                     // base name is a link to current
    } cases[] = {
        {"empty directory", "app.log", {}, 9, "app.0.log", {}, true},
        {"0 to 4, room in 4",
         "app.log",
         {{"app.0.log", 4}, {"app.1.log", 4}, {"app.2.log", 4}, {"app.3.log", 4}, {"app.4.log", 4}},
         9,
         "app.4.log",
         {},
         false},
        {"0 to 4, 4 full",
         "app.log",
         {{"app.0.log", 4},
          {"app.1.log", 4},
          {"app.2.log", 4},
          {"app.3.log", 4},
          {"app.4.log", kFull}},
         9,
         "app.5.log",
         {"app.6.log"},
         true},
        {"all but 3",
         "app.log",
         {{"app.0.log", 4},
          {"app.1.log", 4},
          {"app.2.log", 4},
          {"app.4.log", 4},
          {"app.5.log", 4},
          {"app.6.log", 4},
          {"app.7.log", 4},
          {"app.8.log", 4},
          {"app.9.log", 4}},
         9,
         "app.2.log",
         {},
         false},
        {"all but 3, 2 full",
         "app.log",
         {{"app.0.log", 4},
          {"app.1.log", 4},
          {"app.2.log", kFull},
          {"app.4.log", 4},
          {"app.5.log", 4},
          {"app.6.log", 4},
          {"app.7.log", 4},
          {"app.8.log", 4},
          {"app.9.log", 4}},
         9,
         "app.3.log",
         {"app.4.log"},
         true},
        {"1 to 9, 0 missing",
         "app.log",
         {{"app.1.log", 4},
          {"app.2.log", 4},
          {"app.3.log", 4},
          {"app.4.log", 4},
          {"app.5.log", 4},
          {"app.6.log", 4},
          {"app.7.log", 4},
          {"app.8.log", 4},
          {"app.9.log", 4}},
         9,
         "app.9.log",
         {},
         false},
        {"0 to 9, 9 full wraps",
         "app.log",
         {{"app.0.log", 4},
          {"app.1.log", 4},
          {"app.2.log", 4},
          {"app.3.log", 4},
          {"app.4.log", 4},
          {"app.5.log", 4},
          {"app.6.log", 4},
          {"app.7.log", 4},
          {"app.8.log", 4},
          {"app.9.log", kFull}},
         9,
         "app.0.log",
         {"app.1.log"},
         true},
        {"strangers are not members",
         "app.log",
         {{"app.x.log", 4},
          {"app.12.log", 4},
          {"app.3.log.bak", 4},
          {"app.log", 4},
          {"app.5.txt", 4},
          {"app..log", 4},
          {"other.4.log", 4}},
         9,
         "app.0.log",
         {},
         true},
        {"12 is a member of a longer ring",
         "app.log",
         {{"app.12.log", 4}},
         12,
         "app.12.log",
         {},
         false},
        {"no extension", "app", {}, 9, "app.0", {}, true},
        {"no extension, continued",
         "app",
         {{"app.0", 4}, {"app.1", 4}, {"app.1.log", 4}},
         9,
         "app.1",
         {},
         false},
        {"long extension is cut", "data.backup1", {}, 9, "data.0.backup", {}, true},
        {"long extension, continued",
         "data.backup1",
         {{"data.0.backup", 4}, {"data.1.backup", 4}, {"data.2.backup1", 4}},
         9,
         "data.1.backup",
         {},
         false},
    };
    int round = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sub = "case" + std::to_string(round++);
        ASSERT_EQ(mkdir(path(sub).c_str(), 0755), 0);
        for (const auto &[name, size] : c.files) make_file(sub + "/" + name, size);
        ov_log_set_max_file_mb(1);
        ov_log_set_max_file_number(c.highest);
        ASSERT_OV_OK(ov_log_open(OV_LOG_FILE, path(sub + "/" + c.base).c_str()));
        const std::string text = "marker of " + std::string(c.what);
        ov_log(1, kSource, __LINE__, "%s", text.c_str());
        ASSERT_OV_OK(ov_log_close());

        const std::string current = path(sub + "/" + c.current);
        const auto lines = lines_of(read_file(current));
        ASSERT_FALSE(lines.empty()) << c.current;
        EXPECT_EQ(message_of(lines.back()), "ERR " + text);
        for (const auto &d : c.deleted)
            EXPECT_NE(access(path(sub + "/" + d).c_str(), F_OK), 0) << d;
        if (c.relinked) {
            EXPECT_EQ(inode(path(sub + "/" + c.base)), inode(current));
        }
        // Only the chosen file (and the link) received the line.
        for (const auto &name : ovsupport::entries(path(sub))) {
            if (name == c.current || (c.relinked && name == c.base)) continue;
            EXPECT_EQ(read_file(path(sub + "/" + name)).find(text), std::string::npos) << name;
        }
    }
}

TEST_F(Log, SizeSuffixIsTakenOffTheName) {
    struct Case {
        const char *given;
        const char *file;
    } cases[] = {
        {"a.log:0", "a.0.log"},
        {"b.log:3", "b.0.log"},
        {"c:2.log", "c.0.log"},    // what follows the digits stays
        {"d.log:x", "d.0.log:x"},  // no digits: the colon is part of the name
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given);
        open_file(c.given);
        ov_log(3, kSource, __LINE__, "suffix %s", c.given);
        ASSERT_OV_OK(ov_log_close());
        EXPECT_EQ(messages(path(c.file)),
                  std::vector<std::string>{std::string("LOG suffix ") + c.given});
    }
}

TEST_F(Log, BareNameGoesToTheInstallationLogDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "creating /opt/orvane needs root";
    if (access("/opt/orvane", F_OK) == 0)
        GTEST_SKIP() << "/opt/orvane exists already; this test creates and removes it";
    // In a child, so that the size limit the suffix sets stays there.
    const int status = ovtest::RunChild([] {
        if (ov_log_open(OV_LOG_FILE, "ovlog_test_bare.log:5") != 0) return 1;
        ov_log(1, kSource, __LINE__, "bare name");
        ov_log_close();
        return 0;
    });
    const std::string text = read_file("/opt/orvane/var/log/ovlog_test_bare.0.log");
    const ino_t link = inode("/opt/orvane/var/log/ovlog_test_bare.log");
    std::error_code ec;
    std::filesystem::remove_all("/opt/orvane", ec);
    EXPECT_EQ(status, 0);
    EXPECT_NE(text.find("ERR bare name\n"), std::string::npos) << text;
    EXPECT_NE(link, 0u);
}

TEST_F(Log, MissingDirectoryAndUnopenableFileFailTheOpen) {
    StderrCapture capture(path("stderr"));
    EXPECT_EQ(ov_log_open(OV_LOG_FILE, path("missing/app.log").c_str()), ENOENT);
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
    ASSERT_EQ(mkdir(path("app.0.log").c_str(), 0755), 0);  // a directory cannot be appended to
    EXPECT_EQ(ov_log_open(OV_LOG_FILE, path("app.log").c_str()), EINVAL);
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
    EXPECT_EQ(capture.text(), "Error opening log directory " + path("missing") +
                                  "\nCannot open log file (21): " + path("app.0.log") + "\n");
}

// The descriptors of this process whose target (as /proc shows it) starts
// with prefix: a path, or "socket:".
std::set<int> descriptors_to(const std::string &prefix) {
    std::set<int> out;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(e.path(), ec);
        if (!ec && target.string().rfind(prefix, 0) == 0)
            out.insert(std::atoi(e.path().filename().c_str()));
    }
    return out;
}

// Descriptors of this process open on files in dir.
int open_files_in(const std::string &dir) {
    return static_cast<int>(descriptors_to(dir + "/").size());
}

TEST_F(Log, RotationFillsTheRingAndKeepsThePreviousFileOpen) {
    ov_log_set_max_file_number(2);
    open_file("app.log:1");
    const std::string pad(900, 'r');
    EXPECT_EQ(open_files_in(dir_), 1);
    int line = 0;
    // Until the first rotation: one file open. From then on: two.
    while (access(path("app.1.log").c_str(), F_OK) != 0 && line < 5000)
        ov_log(3, kSource, __LINE__, "rotation %d %s", line++, pad.c_str());
    EXPECT_EQ(open_files_in(dir_), 2);
    // Three more rotations: around the ring, app.0.log written again.
    for (int i = 0; i < 3500; ++i)
        ov_log(3, kSource, __LINE__, "rotation %d %s", line++, pad.c_str());
    EXPECT_EQ(open_files_in(dir_), 2);

    // Three numbers, two files: the gap follows the newest file, which has
    // the last line and is the one the link names. Each full file went past
    // the limit by less than 64 KiB and a line.
    const char *const ring[] = {"app.0.log", "app.1.log", "app.2.log"};
    int gap = -1;
    for (int n = 0; n < 3; ++n) {
        if (access(path(ring[n]).c_str(), F_OK) != 0) {
            EXPECT_EQ(gap, -1) << "two gaps";
            gap = n;
            continue;
        }
        EXPECT_LT(std::filesystem::file_size(path(ring[n])), 1048576u + 65536u + 1000u) << ring[n];
    }
    ASSERT_NE(gap, -1);
    const std::string newest = ring[(gap + 2) % 3];
    const auto m = messages(path(newest));
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m.back(), "LOG rotation " + std::to_string(line - 1) + " " + pad);
    EXPECT_EQ(inode(path("app.log")), inode(path(newest)));
    ASSERT_OV_OK(ov_log_close());
    EXPECT_EQ(open_files_in(dir_), 0);
}

TEST_F(Log, SizeCheckRunsAfterTheLineThatCrosses64KiB) {
    ov_log_set_max_file_mb(1);
    make_file("app.0.log", 1048575);  // one byte short of full
    open_file();
    const std::string pad(950, 'k');
    // Log until a size check rotates: from then on the byte count is zero.
    int line = 0;
    while (access(path("app.1.log").c_str(), F_OK) != 0 && line < 100)
        ov_log(3, kSource, __LINE__, "drain %04d %s", line++, pad.c_str());
    ASSERT_EQ(access(path("app.1.log").c_str(), F_OK), 0);
    // Make the new file full too: the next check rotates again, which shows
    // when it ran.
    ASSERT_EQ(truncate(path("app.1.log").c_str(), 1048576), 0);
    int count = 0;
    while (access(path("app.2.log").c_str(), F_OK) != 0 && count < 100)
        ov_log(3, kSource, __LINE__, "count %04d %s", count++, pad.c_str());
    const auto size = std::filesystem::file_size(path("app.1.log")) - 1048576;
    ASSERT_GT(count, 0);
    const auto line_size = size / static_cast<unsigned>(count);
    EXPECT_EQ(line_size * static_cast<unsigned>(count), size) << "lines of one length";
    EXPECT_GT(size, 65535u);
    EXPECT_LE(size - line_size, 65535u) << "no check before the crossing line";
}

// ---- A directory others can write -------------------------------------------------------------
//
// Root's jobs log into directories that everyone can write. Each case plants
// something under a name of the ring, before the set-up or before a rotation
// reaches it, then logs through the ring in a child process that must end in
// time, with a text that tries to add a line of its own. The file behind the
// name stays as it was, nothing is created through it, and standard error
// carries exactly one line that refuses the name.

constexpr char kVictimText[] = "root:x:0:0::/root:/bin/sh\n";
constexpr char kInjected[] = "x\nevil::0:0::/root:/bin/sh";
constexpr char kNotOwnFile[] = "not a regular file owned by this user";
constexpr char kForeignLinks[] = "it has hard links outside the log ring";

class LogAttack : public Log {
  protected:
    void SetUp() override {
        Log::SetUp();
        ASSERT_EQ(mkdir(path("outside").c_str(), 0755), 0);
    }
    std::string victim() const { return path("outside/victim"); }

    // A fresh directory for the ring of the next case, and the victim's
    // file as it was before any case.
    std::string next_case() {
        const std::string ring = path("case" + std::to_string(cases_++));
        EXPECT_EQ(mkdir(ring.c_str(), 0755), 0) << ring;
        unlink(path("outside/created").c_str());
        write_file(victim(), kVictimText);
        return ring;
    }

    // Opens ring/app.log in a child with files of 1 MiB, runs plant, makes
    // the current file full and logs past the next size check, so that the
    // ring moves on to app.1.log; then logs the injected text. The child
    // exits 0 when the set-up succeeded, 1 when it failed. @return its wait
    // status (empty when it was still running after 10 seconds) and its
    // standard error.
    std::pair<std::optional<int>, std::string> log_through_the_ring(
        const std::string &ring, const std::function<void()> &plant = {}) {
        const std::string log = ring + "/app.log";
        const std::string first = ring + "/app.0.log";
        const pid_t pid = ovsupport::StartFunction(
            [&] {
                ov_log_set_max_file_mb(1);
                if (ov_log_open(OV_LOG_FILE, log.c_str()) != 0) {
                    ov_log(1, kSource, __LINE__, "%s", kInjected);
                    return 1;
                }
                if (plant) plant();
                if (truncate(first.c_str(), 1048576) != 0) return 2;
                const std::string pad(950, 'p');
                for (int i = 0; i < 100; ++i)
                    ov_log(3, kSource, __LINE__, "fill %d %s", i, pad.c_str());
                ov_log(1, kSource, __LINE__, "%s", kInjected);
                ov_log_close();
                return 0;
            },
            {.err = path("stderr")});
        if (pid < 0) return {std::nullopt, "cannot fork"};
        const auto status = ovsupport::WaitFor(pid, std::chrono::seconds(10));
        return {status, read_file(path("stderr"))};
    }
    static std::string refusal(const std::string &file, const char *reason) {
        return "ovplatform: refusing log file " + file + ": " + reason + "\n";
    }

  private:
    int cases_ = 0;
};

TEST_F(LogAttack, PlantedNamesAtTheSetUpAreRefused) {
    const bool root = geteuid() == 0;
    struct Case {
        const char *what;
        // Plants at app.0.log in the ring's directory.
        std::function<bool(const std::string &ring)> plant;
        const char *reason;
        bool needs_root;
    } cases[] = {
        {"symbolic link to a file outside",
         [&](const std::string &ring) {
             return symlink(victim().c_str(), (ring + "/app.0.log").c_str()) == 0;
         },
         kNotOwnFile, false},
        {"dangling symbolic link",
         [&](const std::string &ring) {
             return symlink(path("outside/created").c_str(), (ring + "/app.0.log").c_str()) == 0;
         },
         kNotOwnFile, false},
        {"hard link to a file outside",
         [&](const std::string &ring) {
             return link(victim().c_str(), (ring + "/app.0.log").c_str()) == 0;
         },
         kForeignLinks, false},
        {"hard link at the current and the base name",
         [&](const std::string &ring) {
             return link(victim().c_str(), (ring + "/app.0.log").c_str()) == 0 &&
                    link(victim().c_str(), (ring + "/app.log").c_str()) == 0;
         },
         kForeignLinks, false},
        {"FIFO nobody reads",
         [](const std::string &ring) { return mkfifo((ring + "/app.0.log").c_str(), 0666) == 0; },
         kNotOwnFile, false},
        {"file of another user",
         [&](const std::string &ring) {
             const std::string at = ring + "/app.0.log";
             return ovsupport::write_file(at, kVictimText) &&
                    chown(at.c_str(), ovsupport::kNobody, ovsupport::kNobody) == 0;
         },
         kNotOwnFile, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && !root) {
            std::printf("skipped '%s': giving a file away needs root\n", c.what);
            continue;
        }
        const std::string ring = next_case();
        ASSERT_TRUE(c.plant(ring)) << std::strerror(errno);
        const auto [status, err] = log_through_the_ring(ring);
        EXPECT_TRUE(ovsupport::ExitedWith(status, 1)) << ovsupport::DescribeStatus(status);
        EXPECT_EQ(read_file(victim()), kVictimText);
        EXPECT_NE(access(path("outside/created").c_str(), F_OK), 0);
        EXPECT_EQ(err, refusal(ring + "/app.0.log", c.reason));
        // A planted file keeps its text too. A FIFO is not read here:
        // without a writer, its opening would block.
        struct stat planted {};
        if (lstat((ring + "/app.0.log").c_str(), &planted) == 0 && S_ISREG(planted.st_mode)) {
            EXPECT_EQ(read_file(ring + "/app.0.log"), kVictimText);
        }
    }
}

// A reader of a planted FIFO would otherwise receive the lines, and could
// hold the writer up by reading nothing.
TEST_F(LogAttack, PlantedFifoWithAReaderGetsNothing) {
    const std::string ring = next_case();
    ASSERT_EQ(mkfifo((ring + "/app.0.log").c_str(), 0666), 0);
    const int reader = open((ring + "/app.0.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const auto [status, err] = log_through_the_ring(ring);
    char buffer[256];
    const ssize_t got = read(reader, buffer, sizeof buffer);
    close(reader);
    EXPECT_TRUE(ovsupport::ExitedWith(status, 1)) << ovsupport::DescribeStatus(status);
    EXPECT_LE(got, 0) << std::string(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    EXPECT_EQ(err, refusal(ring + "/app.0.log", kNotOwnFile));
}

// The rotation opens the next file of the ring, a name nobody has written
// yet: planted while the logger runs, it is refused as well, and the logger
// writes nothing more to a file.
TEST_F(LogAttack, PlantedNextNameIsRefusedAtTheRotation) {
    struct Case {
        const char *what;
        std::string target;
    } cases[] = {{"symbolic link to a file outside", victim()},
                 {"dangling symbolic link", path("outside/created")}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string ring = next_case();
        const std::string next = ring + "/app.1.log";
        const auto [status, err] =
            log_through_the_ring(ring, [&] { (void)!symlink(c.target.c_str(), next.c_str()); });
        EXPECT_TRUE(ovsupport::ExitedWith(status, 0)) << ovsupport::DescribeStatus(status);
        EXPECT_EQ(read_file(victim()), kVictimText);
        EXPECT_NE(access(path("outside/created").c_str(), F_OK), 0);
        EXPECT_EQ(err, refusal(next, kNotOwnFile));
        // The lines before the rotation are in the full file; the injected
        // text reached no file.
        EXPECT_NE(read_file(ring + "/app.0.log").find("LOG fill 0 "), std::string::npos);
        for (const auto &name : ovsupport::entries(ring))
            EXPECT_EQ(read_file(ring + "/" + name).find("evil::"), std::string::npos) << name;
    }
}

// A command the tool starts must not inherit the log: one that drops its
// privileges could otherwise write into root's log through it.
TEST_F(Log, EveryDescriptorOfTheLoggerIsCloseOnExec) {
    // The ring after a rotation: the current file and the previous one.
    ov_log_set_max_file_number(2);
    open_file("app.log:1");
    const std::string pad(900, 'c');
    for (int i = 0; access(path("app.1.log").c_str(), F_OK) != 0 && i < 5000; ++i)
        ov_log(3, kSource, __LINE__, "close-on-exec %d %s", i, pad.c_str());
    const auto ring = descriptors_to(dir_ + "/");
    EXPECT_EQ(ring.size(), 2u);
    for (const int fd : ring) EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
    ASSERT_OV_OK(ov_log_close());

    // The system log: its socket, whichever transport this host uses.
    const auto before = descriptors_to("socket:");
    ASSERT_OV_OK(ov_log_open(OV_LOG_SYSLOG, nullptr));
    ov_log(3, kSource, __LINE__, "close-on-exec through the system log");
    int opened = 0;
    for (const int fd : descriptors_to("socket:")) {
        if (before.count(fd) != 0) continue;
        ++opened;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "socket " << fd;
    }
    EXPECT_EQ(opened, 1);
    ASSERT_OV_OK(ov_log_close());
}

// ---- File lines -------------------------------------------------------------------------------

TEST_F(Log, LinePrefixHasLocalTimePidAndThread) {
    open_file();
    const time_t before = time(nullptr);
    ov_log(2, kSource, __LINE__, "prefix %d", 42);
    const time_t after = time(nullptr);
    const auto lines = lines_of(read_file(path("app.log")));
    ASSERT_EQ(lines.size(), 1u);
    static const std::regex form(
        R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3} \[([0-9a-f]+)-([0-9a-f]{8,})\] LOG prefix 42$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, form)) << lines[0];
    char expected_pid[16], expected_thread[32];
    std::snprintf(expected_pid, sizeof expected_pid, "%x", static_cast<unsigned>(getpid()));
    std::snprintf(expected_thread, sizeof expected_thread, "%08lx",
                  static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(m[2].str(), expected_pid);
    EXPECT_EQ(m[3].str(), expected_thread);
    bool in_range = false;
    for (time_t t = before; t <= after; ++t) {
        struct tm local {};
        localtime_r(&t, &local);
        char text[32];
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        in_range = in_range || m[1].str() == text;
    }
    EXPECT_TRUE(in_range) << m[1].str();
}

TEST_F(Log, LevelTagsAndThreshold) {
    open_file();
    ov_log_set_debug_level(2);  // threshold 5
    for (uint32_t level : {0u, 1u, 2u, 3u, 4u, 5u, 6u})
        ov_log(level, kSource, __LINE__, "tag of %u", level);
    ov_log_set_level(3);
    ov_log(4, kSource, __LINE__, "tag of %u", 4u);  // above the threshold now
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{"ERR tag of 0", "ERR tag of 1", "LOG tag of 2",
                                        "LOG tag of 3", "DBG tag of 4", "DBG tag of 5"}));
}

TEST_F(Log, RepeatsAreSummarisedBeforeTheNextDifferentLine) {
    open_file();
    for (int i = 0; i < 4; ++i) ov_log(1, kSource, __LINE__, "same %s", "thing");
    ov_log(1, kSource, __LINE__, "level one and zero");
    ov_log(0, kSource, __LINE__, "level one and zero");  // both "ERR": a repeat
    ov_log(1, kSource, __LINE__, "level one and three");
    ov_log(3, kSource, __LINE__, "level one and three");  // "LOG": a new line
    ov_log(3, kSource, __LINE__, "trailing run");
    ov_log(3, kSource, __LINE__, "trailing run");
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{"ERR same thing", "Last message repeated 3 times",
                                        "ERR level one and zero", "Last message repeated 1 times",
                                        "ERR level one and three", "LOG level one and three",
                                        "LOG trailing run"}));
    // After a summary the thread id is not padded.
    const auto lines = lines_of(read_file(path("app.log")));
    char thread[32];
    std::snprintf(thread, sizeof thread, "-%lx] ", static_cast<unsigned long>(pthread_self()));
    EXPECT_NE(lines[2].find(thread), std::string::npos) << lines[2];
}

// The message path of the file destination allocates nothing: formatting,
// the line prefix, repeat suppression and the write all work in fixed
// buffers. The first line is logged before counting, so that one-time set-up
// (the time zone, the thread's cached prefix) is not counted.
TEST_F(Log, MessagePathAllocatesNothing) {
    if (!OV_TEST_COUNTS_ALLOCATIONS) GTEST_SKIP() << "sanitizer builds use their own allocator";
#if OV_TEST_COUNTS_ALLOCATIONS
    open_file();
    ov_log(1, kSource, __LINE__, "warm-up %d", 0);
    t_allocations = 0;
    t_counting = true;
    for (int i = 0; i < 1000; ++i) {
        ov_log(1, kSource, __LINE__, "line %d of %s with %5.2f", i, "many", i / 7.0);
        ov_log(3, kSource, __LINE__, "a repeated line");  // suppressed after the first
        ov_log(6, kSource, __LINE__, "above the threshold %d", i);
    }
    t_counting = false;
    EXPECT_EQ(t_allocations, 0);
    // The counter itself sees allocations: a plain one is counted.
    t_counting = true;
    void *volatile block = malloc(16);
    t_counting = false;
    free(block);
    EXPECT_EQ(t_allocations, 1);
#endif
}

TEST_F(Log, LongMessageIsCutTo4089Characters) {
    open_file();
    std::string text(5000, 'x');
    for (size_t i = 0; i < text.size(); i += 100) text[i] = static_cast<char>('a' + i / 100 % 26);
    ov_log(1, kSource, __LINE__, "%s", text.c_str());
    ov_log(1, kSource, __LINE__, "after the long one");
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{"ERR " + text.substr(0, 4089), "ERR after the long one"}));
}

// A message is one line whatever it carries: text read from another
// process's file may hold newlines and terminal controls. They are written
// as \n, \r, \t and \xHH (DEL too), in the file and in the echo; printable
// text, bytes above 0x7f and the backslash stay as they are.
TEST_F(Log, ControlCharactersAreEscapedSoEveryMessageIsOneLine) {
    open_file();
    ov_log_set_stderr_level(1);
    StderrCapture capture(path("stderr"));
    ov_log(1, kSource, __LINE__, "record %s", "x\nevil::0:0::/root:/bin/sh");
    ov_log(1, kSource, __LINE__, "%s%c%s", "esc \x1b[31mred\x1b[0m cr\r tab\t del\x7f bell\a nul",
           '\0', " end");
    ov_log(3, kSource, __LINE__, "as it was: 100%% \\n \xc3\xbc [x]");
    const std::string file = read_file(path("app.log"));
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 3) << file;
    EXPECT_EQ(file.find('\r'), std::string::npos);
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{
                  R"(ERR record x\nevil::0:0::/root:/bin/sh)",
                  R"(ERR esc \x1b[31mred\x1b[0m cr\r tab\t del\x7f bell\x07 nul\x00 end)",
                  "LOG as it was: 100% \\n \xc3\xbc [x]"}));
    EXPECT_EQ(capture.text(),
              "ERR record x\\nevil::0:0::/root:/bin/sh\n"
              "ERR esc \\x1b[31mred\\x1b[0m cr\\r tab\\t del\\x7f bell\\x07 nul\\x00 end\n");
}

// The escaped text is cut to the line's room like any other, between two
// characters: never inside an escape.
TEST_F(Log, EscapedTextIsCutWholeAtTheEndOfTheLine) {
    open_file();
    const std::string fits = std::string(4085, 'f') + "\x1b" + "tail";  // the escape ends at 4093
    const std::string over = std::string(4087, 'o') + "\x1b" + "tail";  // it would end at 4095
    ov_log(1, kSource, __LINE__, "%s", fits.c_str());
    ov_log(1, kSource, __LINE__, "%s", over.c_str());
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{"ERR " + std::string(4085, 'f') + "\\x1b",
                                        "ERR " + std::string(4087, 'o')}));
}

// Messages are formatted by the logger's own formatter where it can; the
// text must be what vsnprintf gives, also where it falls back to it.
class LogFormat : public Log {
  protected:
    void check(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args, copy;
        va_start(args, format);
        va_copy(copy, args);
        char text[8192];
        vsnprintf(text, sizeof text, format, args);
        ov_log_va(3, format, copy);
        va_end(copy);
        va_end(args);
        expected_.push_back("LOG " + std::string(text).substr(0, 4089));
        // A separator, so that two cases with the same text are not a repeat.
        ov_log(3, kSource, __LINE__, "case %zu", expected_.size());
        expected_.push_back("LOG case " + std::to_string(expected_.size()));
    }
    std::vector<std::string> expected_;
};

TEST_F(LogFormat, MessagesReadAsPrintfWritesThem) {
    open_file();
    int dummy = 0;
    check("plain text without conversions");
    check("%d %i %u|%d|%d", 42, -42, 42u, INT_MIN, INT_MAX);
    check("%5d|%-5d|%05d|%+d|% d|%+05d|%-+6d|% 05d", 42, 42, -42, 42, 42, -42, 7, 7);
    // Flag combinations the compiler warns about are given as text.
    const std::string ignored_zero = "%.0d|%.3d|%08.3d|%-08d|%.0x|%#.0o|%.0u|";
    check(ignored_zero.c_str(), 0, 7, -7, 7, 0u, 0u, 0u);
    check("%lld %llu %lld", LLONG_MIN, ULLONG_MAX, LLONG_MAX);
    // Arguments wider than their length modifier are cut to it; the compiler
    // warns about the mismatch, so this format too is given as text.
    const std::string narrowed = "%hhd %hhu %hd %hu";
    check(narrowed.c_str(), 300, 300, 70000, 70000);
    check("%ld %lu %zu %zd %jd %ju %td %tu", -5l, 5ul, sizeof(int), ssize_t{-3}, intmax_t{-9},
          uintmax_t{9}, ptrdiff_t{-2}, size_t{2});
    check("%x %X %#x %#X %#x %o %#o %#o %#.3o %#5x|%-#8x|%#08x", 255u, 255u, 255u, 255u, 0u, 8u, 8u,
          0u, 8u, 10u, 10u, 10u);
    check("%c|%3c|%-3c|%c", 'a', 'b', 'c', '%');
    check("%s|%8s|%-8s|%.2s|%8.2s|%-8.2s|%s", "text", "text", "text", "text", "text", "text", "");
    check("%*d|%-*d|%*d|%.*d|%.*d|%*.*s|", 6, 1, 6, 2, -6, 3, 4, 5, -1, 6, 5, 2, "abcdef");
    check("%p|%20p|%-20p|", static_cast<void *>(&dummy), static_cast<void *>(&dummy),
          static_cast<void *>(&dummy));
    check("100%% sure, %d%%", 5);
    // Left to vsnprintf.
    check("%f %e %g %.2f %a", 1.5, 1.5, 1.5, 2.345, 0.5);
    const char *volatile null_text = nullptr;
    check("%s|%p", null_text, static_cast<void *>(nullptr));
    check("%2$s %1$s", "second", "first");
    check("%'d|%ls|%lc", 1234567, L"wide", static_cast<wint_t>(L'w'));
    errno = ENOENT;
    check("%m");
    const std::string odd_flags = "%#p|%+p|%05s";
    check(odd_flags.c_str(), static_cast<void *>(&dummy), static_cast<void *>(&dummy), "z");
    // Cut at the end of the line's room, counted in full.
    check("%5000d|%s", 1, "after");
    check("%s%s", std::string(3000, 'a').c_str(), std::string(3000, 'b').c_str());
    EXPECT_EQ(messages(path("app.log")), expected_);
}

TEST_F(Log, StderrEchoCarriesTheTaggedMessageOnly) {
    open_file();
    ov_log_set_stderr_level(1);
    {
        StderrCapture capture(path("stderr"));
        ov_log(1, kSource, __LINE__, "echoed");
        ov_log(1, kSource, __LINE__, "echoed");  // a repeat: neither place
        ov_log(3, kSource, __LINE__, "file only");
        EXPECT_EQ(capture.text(), "ERR echoed\n");
    }
    EXPECT_EQ(
        messages(path("app.log")),
        (std::vector<std::string>{"ERR echoed", "Last message repeated 1 times", "LOG file only"}));
}

// Puts fd in place of standard error for the scope, or leaves standard error
// closed when fd is -1; the original comes back at the end.
class StderrSwapped {
  public:
    explicit StderrSwapped(int fd) : saved_(dup(2)) {
        if (fd == -1)
            close(2);
        else
            dup2(fd, 2);
    }
    ~StderrSwapped() {
        dup2(saved_, 2);
        close(saved_);
    }
    StderrSwapped(const StderrSwapped &) = delete;
    StderrSwapped &operator=(const StderrSwapped &) = delete;

  private:
    int saved_;
};

// Ignores SIGPIPE for the scope, so that a write into a pipe without a
// reader fails with EPIPE instead of ending the test program.
class SigpipeIgnored {
  public:
    SigpipeIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ok_ = sigaction(SIGPIPE, &ignore, &saved_) == 0;
    }
    ~SigpipeIgnored() {
        if (ok_) sigaction(SIGPIPE, &saved_, nullptr);
    }
    bool ok() const { return ok_; }

  private:
    struct sigaction saved_ {};
    bool ok_ = false;
};

// The echo to standard error is a copy for whoever watches; when it cannot
// be written, the line must still reach the log file. The log file is opened
// first, so that it cannot take the number of a closed standard error.
TEST_F(Log, FailedStderrEchoStillReachesTheFile) {
    open_file();
    ov_log_set_stderr_level(1);
    SigpipeIgnored sigpipe;
    ASSERT_TRUE(sigpipe.ok());
    {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]);
        StderrSwapped swapped(ends[1]);
        close(ends[1]);
        ov_log(1, kSource, __LINE__, "echo into a pipe nobody reads");
    }
    {
        StderrSwapped swapped(-1);
        EXPECT_EQ(fcntl(2, F_GETFD), -1) << "standard error must be closed";
        ov_log(1, kSource, __LINE__, "echo to a closed standard error");
        EXPECT_EQ(fcntl(2, F_GETFD), -1) << "nothing may have taken descriptor 2 meanwhile";
    }
    ov_log(3, kSource, __LINE__, "file only");
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{"ERR echo into a pipe nobody reads",
                                        "ERR echo to a closed standard error", "LOG file only"}));
}

TEST_F(Log, DashMeansStandardErrorOnly) {
    StderrCapture capture(path("stderr"));
    ASSERT_OV_OK(ov_log_open(OV_LOG_FILE, "-"));
    EXPECT_EQ(ov_log_kind(), OV_LOG_FILE);
    ov_log(1, kSource, __LINE__, "to stderr");
    ov_log(1, kSource, __LINE__, "to stderr");
    ov_log(4, kSource, __LINE__, "dropped");
    ov_log(3, kSource, __LINE__, "then %s", "this");
    ASSERT_OV_OK(ov_log_close());
    EXPECT_EQ(capture.text(), "ERR to stderr\nLOG then this\n");
}

TEST_F(Log, ErrnoSurvivesLoggingToAFile) {
    open_file();
    errno = EXDEV;
    EXPECT_EQ(ov_log(1, kSource, __LINE__, "errno stays"), 0);
    EXPECT_EQ(errno, EXDEV);
    // A second set-up keeps the first destination.
    EXPECT_EQ(ov_log_open(OV_LOG_FILE, path("other.log").c_str()), 0);
    ov_log(1, kSource, __LINE__, "still the first");
    EXPECT_EQ(access(path("other.0.log").c_str(), F_OK), -1);
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{"ERR errno stays", "ERR still the first"}));
}

TEST_F(Log, ManyThreadsNeverInterleaveLines) {
    ov_log_set_max_file_mb(1);
    ov_log_set_max_file_number(250);
    open_file();
    constexpr int kThreads = 8, kLines = 2000;
    ovtest::Gate go;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &go] {
            go.wait();
            for (int i = 0; i < kLines; ++i)
                ov_log(3, kSource, __LINE__, "thread %d line %d %060d", t, i, i);
        });
    }
    go.open();
    for (auto &th : threads) th.join();
    ASSERT_OV_OK(ov_log_close());

    // Every line whole, every message exactly once, across the rotated files.
    std::set<std::string> seen;
    size_t total = 0;
    for (const auto &name : ovsupport::entries(dir_)) {
        if (name == "app.log") continue;
        for (const auto &line : lines_of(read_file(path(name)))) {
            const std::string m = message_of(line);
            ASSERT_EQ(m.rfind("LOG thread ", 0), 0u) << name << ": " << line;
            seen.insert(m);
            ++total;
        }
    }
    EXPECT_EQ(total, static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

// ---- Early queue, callback, close -------------------------------------------------------------

TEST_F(Log, EarlyQueueReplaysInOrderUnderTheThresholdAtOpen) {
    EXPECT_EQ(ov_log_queued(1, "not queued: the queue is off"), 0);
    ASSERT_OV_OK(ov_log_start_queue());
    ov_log(5, kSource, __LINE__, "queued five");
    ov_log(1, kSource, __LINE__, "queued one");
    EXPECT_EQ(ov_log_queued(4, "queued four %d", 4), 0);
    ov_log(3, kSource, __LINE__, "queued three");
    ov_log_set_debug(1);  // threshold 4 at the open
    open_file();
    ov_log(5, kSource, __LINE__, "direct five");  // the queue is over: filtered again
    ov_log(2, kSource, __LINE__, "direct two");
    EXPECT_EQ(messages(path("app.log")),
              (std::vector<std::string>{"ERR queued one", "DBG queued four 4", "LOG queued three",
                                        "LOG direct two"}));
}

TEST_F(Log, CloseDiscardsTheQueue) {
    ASSERT_OV_OK(ov_log_start_queue());
    ov_log(1, kSource, __LINE__, "discarded");
    ASSERT_OV_OK(ov_log_close());
    open_file();
    ov_log(1, kSource, __LINE__, "after the discard");
    EXPECT_EQ(messages(path("app.log")), std::vector<std::string>{"ERR after the discard"});
}

struct Received {
    uint32_t level;
    std::string file;
    int line;
    std::string text;
};
std::vector<Received> g_received;

void record(uint32_t level, const char *file, int line, const char *format, va_list args) {
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    g_received.push_back({level, file != nullptr ? file : "(null)", line, text});
}

int log_va(uint32_t level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int rc = ov_log_va(level, format, args);
    va_end(args);
    return rc;
}

TEST_F(Log, CallbackGetsSourceLineAndArguments) {
    g_received.clear();
    ASSERT_OV_OK(ov_log_set_callback(record));
    EXPECT_EQ(ov_log_kind(), OV_LOG_CALLBACK);
    EXPECT_OV_OK(ov_log_set_callback(nullptr));  // already set: no effect
    ov_log(2, "src/module", 42, "value %d", 7);
    ov_log(4, "src/module", 43, "filtered");
    log_va(1, "through va %s", "list");
    log_va(4, "filtered too");
    ASSERT_EQ(g_received.size(), 2u);
    EXPECT_EQ(g_received[0].level, 2u);
    EXPECT_EQ(g_received[0].file, "src/module");
    EXPECT_EQ(g_received[0].line, 42);
    EXPECT_EQ(g_received[0].text, "value 7");
    // The va form logs at level 3 without a source.
    EXPECT_EQ(g_received[1].level, 3u);
    EXPECT_EQ(g_received[1].file, "(null)");
    EXPECT_EQ(g_received[1].line, -1);
    EXPECT_EQ(g_received[1].text, "through va list");
    ASSERT_OV_OK(ov_log_close());
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
    ov_log(1, "src/module", 44, "after close");
    EXPECT_EQ(g_received.size(), 2u);
}

// ---- Fatal signals ----------------------------------------------------------------------------

TEST_F(Log, CrashLeavesTheSignalAndBacktraceInTheLog) {
    const std::string log = path("crash.log");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (ov_log_open(OV_LOG_FILE, log.c_str()) != 0) _exit(1);
        ov_log(1, kSource, __LINE__, "before the crash");
        raise(SIGSEGV);
        _exit(2);  // not reached: the handler aborts
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    const auto m = messages(log);
    ASSERT_GE(m.size(), 4u);
    EXPECT_EQ(m[0], "ERR before the crash");
    EXPECT_EQ(m[1], "ERR Process received signal SIGSEGV(11)");
    EXPECT_EQ(m[2].rfind("ERR Backtrace hash:0x", 0), 0u) << m[2];
    EXPECT_EQ(m[3].rfind("ERR  0:0x", 0), 0u) << m[3];
}

// ---- Syslog over UDP --------------------------------------------------------------------------

TEST_F(Log, SyslogDatagramsWithoutDevLog) {
    if (access("/dev/log", F_OK) == 0)
        GTEST_SKIP() << "/dev/log exists: messages go to the host's syslog, not to UDP";
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(514);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (bind(receiver, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        const int err = errno;
        close(receiver);
        GTEST_SKIP() << "cannot bind 127.0.0.1:514 to receive the datagrams: "
                     << std::strerror(err);
    }
    timeval limit{5, 0};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    auto receive = [&] {
        char buffer[8192];
        const ssize_t n = recv(receiver, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("(nothing)") : std::string(buffer, static_cast<size_t>(n));
    };

    ASSERT_OV_OK(ov_log_open(OV_LOG_SYSLOG, nullptr));
    EXPECT_EQ(ov_log_kind(), OV_LOG_SYSLOG);
    ov_log_set_level(9);
    struct Case {
        uint32_t level;
        const char *datagram;
    } cases[] = {{0, "<146>ERR x0"}, {1, "<147>ERR x1"}, {2, "<148>LOG x2"}, {3, "<150>LOG x3"},
                 {4, "<151>DBG x4"}, {5, "<151>DBG x5"}, {9, "<149>DBG x9"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        ov_log(c.level, kSource, __LINE__, "x%u", c.level);
        EXPECT_EQ(receive(), c.datagram);
    }
    // 5000 characters: 4091 after the tag, then cut to 4095 and a zero byte.
    const std::string text(5000, 's');
    ov_log(1, kSource, __LINE__, "%s", text.c_str());
    const std::string got = receive();
    ASSERT_EQ(got.size(), 4096u);
    EXPECT_EQ(got.substr(0, 4095), ("<147>ERR " + text).substr(0, 4095));
    EXPECT_EQ(got[4095], '\0');
    // The datagram is one line as well: controls are escaped as in the file.
    ov_log(1, kSource, __LINE__, "%s", "a\nb\033c\r");
    EXPECT_EQ(receive(), R"(<147>ERR a\nb\x1bc\r)");
    ASSERT_OV_OK(ov_log_close());

    // The identity form takes the same road here.
    ASSERT_OV_OK(ov_log_open_syslog("ovlog_test"));
    ov_log(3, kSource, __LINE__, "with identity");
    EXPECT_EQ(receive(), "<150>LOG with identity");

    // A failed send: one line on standard error, the message lost, and the
    // next message goes out through a new socket. The logger's socket is
    // the one other than the receiver; replaced by a file, it cannot send.
    int sender = -1;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(e.path(), ec).string();
        const int fd = std::atoi(e.path().filename().c_str());
        if (!ec && target.rfind("socket:", 0) == 0 && fd != receiver) sender = fd;
    }
    ASSERT_NE(sender, -1);
    const int file = open("/dev/null", O_WRONLY);
    ASSERT_EQ(dup2(file, sender), sender);
    close(file);
    {
        StderrCapture capture(path("stderr"));
        ov_log(3, kSource, __LINE__, "lost");
        const std::string error =
            "Error writing to syslog UDP port, errno=" + std::to_string(ENOTSOCK) + "\n";
        EXPECT_EQ(capture.text(), error);
        ov_log(3, kSource, __LINE__, "after the failure");
        EXPECT_EQ(receive(), "<150>LOG after the failure");
        EXPECT_EQ(capture.text(), error) << "one error line only";
    }
    close(receiver);
}

}  // namespace
