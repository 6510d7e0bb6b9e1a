// ovbtrace_test.cpp - backtrace capture, hash, text format and the
// fatal-signal handler (its crashes happen in child processes).
#include <ovplatform/ovbtrace.h>
#include <ovplatform/ovlog.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using ovtest::RunChildForStatus;

constexpr int kMax = OV_BACKTRACE_MAX_FRAMES;

// Low 32 bits of 64-bit FNV-1a, written out here from the published
// constants so that the module's hash is checked against the definition.
uint32_t fnv1a_low32(const void *data, size_t length) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ULL;
    }
    return static_cast<uint32_t>(hash);
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// A line end that collects every line and starts the next one at the
// beginning of the buffer, as the log line end does.
std::vector<std::string> *g_lines = nullptr;
void collect_line(char *buffer, size_t /*size*/, size_t *position) {
    g_lines->emplace_back(buffer, *position);
    *position = 0;
}

std::vector<std::string> format_lines(void *const *frames, int count, uint32_t hash,
                                      size_t buffer_size, int *written = nullptr) {
    std::vector<std::string> lines;
    g_lines = &lines;
    std::vector<char> buffer(buffer_size, 'x');
    size_t position = 0;
    const int n = ov_backtrace_format(frames, count, hash, collect_line, buffer.data(),
                                      buffer.size(), &position);
    if (written != nullptr) *written = n;
    g_lines = nullptr;
    return lines;
}

std::string hex16(const void *address) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016" PRIxPTR, reinterpret_cast<uintptr_t>(address));
    return text;
}

// Two different call paths into the capture. noinline keeps each its own
// return address.
__attribute__((noinline)) int capture_from_a(void **frames, uint32_t *hash) {
    const int n = ov_backtrace_capture(frames, kMax, hash);
    asm volatile("" ::: "memory");
    return n;
}
__attribute__((noinline)) int capture_from_b(void **frames, uint32_t *hash) {
    const int n = ov_backtrace_capture(frames, kMax, hash);
    asm volatile("" ::: "memory");
    return n;
}

// Captures twice from one call site: the loop bound is read from a volatile
// so that the loop cannot be unrolled into two sites.
volatile int g_twice = 2;
__attribute__((noinline)) void capture_twice(void *(*frames)[kMax], uint32_t *hashes, int *counts) {
    for (int i = 0; i < g_twice; ++i) counts[i] = capture_from_a(frames[i], &hashes[i]);
}

// Not exported from the test program, so dladdr finds its object but no
// symbol name.
__attribute__((noinline)) void unexported_function() {
    asm volatile("");
}

TEST(BacktraceCapture, HashIsFnv1aOfTheFramesAndFollowsTheCallPath) {
    // The reference itself, on the published test vector.
    ASSERT_EQ(fnv1a_low32("a", 1), static_cast<uint32_t>(0xaf63dc4c8601ec8cULL));

    void *frames[2][kMax];
    uint32_t hashes[2] = {};
    int counts[2] = {};
    capture_twice(frames, hashes, counts);
    void *const *first = frames[0];
    void *const *second = frames[1];
    const uint32_t hash_first = hashes[0];
    const uint32_t hash_second = hashes[1];
    void *other[kMax];
    uint32_t hash_other = 0;
    const int count_other = capture_from_b(other, &hash_other);

    ASSERT_GT(counts[0], 2);
    EXPECT_EQ(hash_first, fnv1a_low32(first, static_cast<size_t>(counts[0]) * sizeof(void *)));
    // The same call site twice: the same frames, the same hash.
    ASSERT_EQ(counts[0], counts[1]);
    EXPECT_EQ(std::memcmp(first, second, sizeof(void *) * counts[0]), 0);
    EXPECT_EQ(hash_first, hash_second);
    // Another caller: other return addresses, another hash.
    ASSERT_GT(count_other, 2);
    EXPECT_EQ(hash_other, fnv1a_low32(other, static_cast<size_t>(count_other) * sizeof(void *)));
    EXPECT_NE(hash_other, hash_first);

    // A null hash pointer is allowed; a null array or no room captures nothing.
    EXPECT_GT(ov_backtrace_capture(other, kMax, nullptr), 0);
    uint32_t empty_hash = 1;
    EXPECT_EQ(ov_backtrace_capture(other, 0, &empty_hash), 0);
    EXPECT_EQ(empty_hash, static_cast<uint32_t>(0xcbf29ce484222325ULL));
    EXPECT_EQ(ov_backtrace_capture(nullptr, kMax, nullptr), 0);
}

TEST(BacktraceToBuffer, RefusesANullBufferAndAPositionOutsideIt) {
    EXPECT_EQ(ov_backtrace_to_buffer(nullptr, 100, nullptr), EINVAL);
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    size_t position = 8;
    EXPECT_EQ(ov_backtrace_to_buffer(buffer, 8, &position), EINVAL);
    EXPECT_EQ(ov_backtrace_to_buffer(buffer, 0, nullptr), EINVAL);
    EXPECT_EQ(position, 8u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
}

TEST(BacktraceToBuffer, HashLineThenOneLinePerFrame) {
    std::vector<char> buffer(64 * 1024, 'x');
    ASSERT_OV_OK(ov_backtrace_to_buffer(buffer.data(), buffer.size(), nullptr));
    const std::string text(buffer.data());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = split_lines(text);

    static const std::regex hash_line(R"(Backtrace hash:0x[0-9a-f]+ ((0x[0-9a-f]{16} )+))");
    static const std::regex frame_line(R"(([ \d]\d):(0x[0-9a-f]{16})( [^ ]*( [^ ]+\+-?\d+)?)?)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, hash_line)) << lines[0];
    std::vector<std::string> addresses;
    const std::string list = m[1].str();
    for (size_t at = 0; at < list.size(); at += 19) addresses.push_back(list.substr(at, 18));

    ASSERT_EQ(lines.size(), addresses.size() + 1) << text;
    EXPECT_LE(addresses.size(), static_cast<size_t>(kMax - 1));
    bool names_this_program = false;
    for (size_t j = 1; j < lines.size(); ++j) {
        SCOPED_TRACE(lines[j]);
        ASSERT_TRUE(std::regex_match(lines[j], m, frame_line));
        EXPECT_EQ(std::stoi(m[1].str()), static_cast<int>(j - 1));
        EXPECT_EQ(m[2].str(), addresses[j - 1]);
        if (lines[j].find("ovbtrace_test") != std::string::npos) names_this_program = true;
    }
    // The frames of this test are resolved to the test program at least.
    EXPECT_TRUE(names_this_program) << text;
}

TEST(BacktraceToBuffer, AppendsAtThePosition) {
    char buffer[8192];
    std::strcpy(buffer, "prefix:");
    size_t position = 7;
    ASSERT_OV_OK(ov_backtrace_to_buffer(buffer, sizeof buffer, &position));
    EXPECT_EQ(std::string(buffer, 22), "prefix:Backtrace hash:");
    EXPECT_EQ(position, std::strlen(buffer));
    EXPECT_EQ(buffer[position - 1], '\n');
}

TEST(BacktraceToBuffer, SmallBufferIsCutAndNotOverrun) {
    char buffer[80];
    std::memset(buffer, 'G', sizeof buffer);
    ASSERT_OV_OK(ov_backtrace_to_buffer(buffer, 64, nullptr));
    EXPECT_EQ(std::strlen(buffer), 63u);
    EXPECT_EQ(std::string(buffer, 17), "Backtrace hash:0x");
    EXPECT_EQ(std::string(buffer + 64, 16), std::string(16, 'G'));
}

TEST(BacktraceFormat, CutLinesAreFollowedByTheFrameLines) {
    void *frames[kMax];
    uint32_t hash = 0;
    const int count = capture_from_a(frames, &hash);
    ASSERT_GT(count, 2);
    int full_written = 0;
    const std::vector<std::string> full = format_lines(frames, count, hash, 8192, &full_written);
    EXPECT_EQ(full_written, count);
    ASSERT_EQ(full.size(), static_cast<size_t>(count) + 1);

    int cut_written = 0;
    const std::vector<std::string> cut = format_lines(frames, count, hash, 64, &cut_written);
    EXPECT_EQ(cut_written, count);
    ASSERT_EQ(cut.size(), full.size());
    for (size_t i = 0; i < cut.size(); ++i) {
        SCOPED_TRACE(full[i]);
        EXPECT_EQ(cut[i], full[i].substr(0, 63));
    }
    EXPECT_EQ(cut[0].size(), 63u);
}

TEST(BacktraceFormat, FirstLineOfALogReportHoldsFiftyTwoFullAddresses) {
    // Addresses that belong to no object: dladdr fails and the frame lines
    // carry only index and address.
    void *frames[kMax];
    for (int i = 0; i < kMax; ++i) frames[i] = reinterpret_cast<void *>(0x1000 + 16 * i);
    const std::vector<std::string> lines = format_lines(frames, kMax, 0x12345678, 1024);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kMax) + 1);
    const std::string &first = lines[0];
    EXPECT_EQ(first.size(), 1023u);
    EXPECT_EQ(first.substr(0, 26), "Backtrace hash:0x12345678 ");
    EXPECT_EQ(first.substr(26 + 51 * 19, 19), "0x0000000000001330 ");
    // The 53rd address is cut; nothing after it.
    EXPECT_EQ(first.substr(26 + 52 * 19), "0x0000000");
    EXPECT_EQ(lines[1], " 0:0x0000000000001000");
    EXPECT_EQ(lines[kMax], "65:0x0000000000001410");
}

TEST(BacktraceFormat, FrameLinesNameObjectAndSymbolWhenKnown) {
    // getpid is exported by the C library; the test program exports nothing.
    void *in_libc = reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(&getpid)) + 1;
    void *in_program = reinterpret_cast<void *>(&unexported_function);
    Dl_info libc_info{};
    Dl_info program_info{};
    ASSERT_NE(dladdr(in_libc, &libc_info), 0);
    ASSERT_NE(dladdr(in_program, &program_info), 0);
    if (program_info.dli_sname != nullptr) GTEST_SKIP() << "the test program exports its functions";

    void *frames[] = {in_libc, in_program, reinterpret_cast<void *>(0x10)};
    const std::vector<std::string> lines = format_lines(frames, 3, 0xbeef, 8192);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Backtrace hash:0xbeef " + hex16(in_libc) + " " + hex16(in_program) +
                            " 0x0000000000000010 ");
    // The C library may name the address by an alias of getpid.
    ASSERT_NE(libc_info.dli_sname, nullptr);
    ASSERT_EQ(libc_info.dli_saddr, reinterpret_cast<void *>(&getpid));
    EXPECT_EQ(lines[1], " 0:" + hex16(in_libc) + " " + libc_info.dli_fname + " " +
                            libc_info.dli_sname + "+1");
    EXPECT_EQ(lines[2], " 1:" + hex16(in_program) + " " + program_info.dli_fname);
    EXPECT_EQ(lines[2].find('+'), std::string::npos);
    EXPECT_EQ(lines[3], " 2:0x0000000000000010");
}

TEST(BacktraceFormat, NoFramesGiveOneLine) {
    void *frames[1] = {};
    int written = -1;
    const std::vector<std::string> lines = format_lines(frames, 0, 0, 256, &written);
    EXPECT_EQ(written, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Backtrace unavailable.");
}

// ---- Fatal-signal handler ------------------------------------------------------------------

constexpr int kFatalSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGBUS, SIGQUIT};

bool is_our_handler(int signal_number, void (**handler)(int, siginfo_t *, void *)) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) != 0) return false;
    if ((action.sa_flags & SA_SIGINFO) == 0 || (action.sa_flags & SA_ONSTACK) == 0) return false;
    // Every signal is blocked while the handler runs.
    for (int other : {SIGINT, SIGTERM, SIGUSR1, SIGHUP, SIGSEGV, SIGABRT})
        if (sigismember(&action.sa_mask, other) != 1) return false;
    if (handler != nullptr) *handler = action.sa_sigaction;
    return action.sa_sigaction != nullptr;
}

TEST(FatalSignals, InstalledOncePerSetUpCycle) {
    // In a child, so that this test program keeps the default actions. The
    // exit status names the first check that failed.
    const int status = RunChildForStatus([] {
        ov_fatal_signals_install();
        void (*handler)(int, siginfo_t *, void *) = nullptr;
        for (int signal_number : kFatalSignals)
            if (!is_our_handler(signal_number, &handler)) _exit(10 + signal_number);
        stack_t stack{};
        if (sigaltstack(nullptr, &stack) != 0 || (stack.ss_flags & SS_DISABLE) != 0) _exit(2);

        // A second install in the same cycle does nothing: a handler put in
        // place since stays.
        signal(SIGSEGV, SIG_DFL);
        ov_fatal_signals_install();
        struct sigaction now {};
        sigaction(SIGSEGV, nullptr, &now);
        if (now.sa_handler != SIG_DFL) _exit(3);

        // After the reset the next install takes effect again.
        ov_fatal_signals_reset();
        ov_fatal_signals_install();
        void (*again)(int, siginfo_t *, void *) = nullptr;
        if (!is_our_handler(SIGSEGV, &again) || again != handler) _exit(4);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FatalSignals, EachFatalSignalEndsInAbort) {
    for (int signal_number : kFatalSignals) {
        SCOPED_TRACE(signal_number);
        const int status = RunChildForStatus([signal_number] {
            ov_fatal_signals_install();
            raise(signal_number);
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), SIGABRT);
    }
}

// Grows the stack until it overflows; the volatile array keeps every frame
// large and alive, and the addition after the call prevents a tail call.
// The limit is never reached: it only keeps the recursion formally finite.
volatile int g_depth_limit = 1 << 30;
__attribute__((noinline)) int overflow_stack(int depth) {
    if (depth >= g_depth_limit) return 0;
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth);
    return overflow_stack(depth + 1) + pad[0];
}

TEST(FatalSignals, StackOverflowIsReportedOnTheAlternateStack) {
    const int status = RunChildForStatus([] {
        // A small limit makes the overflow quick.
        const rlimit stack_limit{1 << 20, 1 << 20};
        setrlimit(RLIMIT_STACK, &stack_limit);
        ov_fatal_signals_install();
        std::printf("%d\n", overflow_stack(0));
    });
    // Without the alternate stack the handler could not run and the child
    // would die of the SIGSEGV itself.
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
}

// ---- Through the logger --------------------------------------------------------------------

constexpr char kSource[] = "base/ovplatform/src/ovbtrace";

// Log messages arrive here as "level|source|text" lines, written to a
// descriptor with one write each: the fatal-signal handler calls this from
// inside the handler of a child process, which hands its lines to the parent
// through a pipe.
int g_log_fd = -1;
void write_log_line(uint32_t level, const char *file, int /*line*/, const char *format,
                    va_list args) {
    char text[4096];
    int n = std::snprintf(text, sizeof text, "%u|%s|", level, file != nullptr ? file : "");
    const int m = std::vsnprintf(text + n, sizeof text - static_cast<size_t>(n) - 1, format, args);
    n = std::min(n + std::max(m, 0), static_cast<int>(sizeof text) - 2);
    text[n++] = '\n';
    (void)!write(g_log_fd, text, static_cast<size_t>(n));
}

// The text of everything the descriptor's other end received.
std::string drain(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    return text;
}

// Checks a backtrace report in log lines from first on: the hash line with
// its addresses, then one frame line per address, all at level 1 from this
// module.
void expect_report(const std::vector<std::string> &lines, size_t first) {
    const std::string prefix = std::string("1|") + kSource + "|";
    ASSERT_GT(lines.size(), first);
    ASSERT_EQ(lines[first].rfind(prefix + "Backtrace hash:0x", 0), 0u) << lines[first];
    const size_t addresses = (lines[first].size() - prefix.size() - 15) / 19;
    ASSERT_GT(addresses, 2u) << lines[first];
    ASSERT_EQ(lines.size(), first + 1 + addresses);
    for (size_t j = 0; j < addresses; ++j) {
        char index[32];
        std::snprintf(index, sizeof index, "%2zu:0x", j);
        EXPECT_EQ(lines[first + 1 + j].rfind(prefix + index, 0), 0u) << lines[first + 1 + j];
    }
}

// A pipe whose ends are closed when it goes out of scope.
struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close_write();
        if (fds[0] >= 0) close(fds[0]);
    }
    void close_write() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    // Everything written into the pipe, as lines, once no writer is left.
    std::vector<std::string> lines() {
        close_write();
        return split_lines(drain(fds[0]));
    }
    int fds[2] = {-1, -1};
};

TEST(LoggedBacktrace, EveryLineIsOneMessageAtLevelOne) {
    Pipe log;
    g_log_fd = log.fds[1];
    ASSERT_OV_OK(ov_log_set_callback(write_log_line));
    ov_log_backtrace();
    EXPECT_OV_OK(ov_log_close());
    g_log_fd = -1;
    expect_report(log.lines(), 0);
}

TEST(LoggedBacktrace, FatalSignalIsReportedThenAborts) {
    for (const bool other_thread : {false, true}) {
        SCOPED_TRACE(other_thread ? "in a second thread" : "in the main thread");
        Pipe log;
        const int status = RunChildForStatus([&] {
            g_log_fd = log.fds[1];
            if (ov_log_set_callback(write_log_line) != 0) _exit(2);
            if (other_thread) {
                std::thread crashing([] { raise(SIGSEGV); });
                crashing.join();
            } else {
                raise(SIGSEGV);
            }
        });
        const std::vector<std::string> lines = log.lines();
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), SIGABRT);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], std::string("1|") + kSource + "|Process received signal SIGSEGV(11)");
        expect_report(lines, 1);
    }
}

}  // namespace
