// ovbtrace.cpp - backtraces and the fatal-signal report.
//
// Captures the calling thread's return addresses, condenses them into a
// 32-bit hash that names the call path, and writes them as text: one log
// message per line, or lines gathered in a caller's buffer. The logger's
// set-up installs the fatal-signal handler kept here; on SIGSEGV, SIGILL,
// SIGFPE, SIGBUS or SIGQUIT it logs the signal and the backtrace, has the
// logger force its file to disk and aborts the process.
//
// The way from a crash to the abort is built to survive a damaged process:
// frame arrays and line buffers have fixed sizes and live on the stack,
// nothing is allocated while capturing or formatting, and the handler runs on
// an alternate signal stack so that a stack overflow can still be reported.
// Writing the lines out is the logger's business.
#define OV_LOG_SOURCE "base/ovplatform/src/ovbtrace"

#include <ovplatform/ovbtrace.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>

#include "internal/log.h"

namespace {

// ov_backtrace_to_buffer captures one frame less than the log report does.
constexpr int kBufferFrames = OV_BACKTRACE_MAX_FRAMES - 1;
constexpr size_t kLogLineSize = 1024;
// Room for the longest fixed-format piece of a line (a frame index with its
// address, or the hash line's prefix) with plenty to spare.
constexpr size_t kPieceSize = 64;
constexpr int kAddressDigits = 16;

constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

// Fatal signals in the order their handlers are installed.
constexpr int kFatalSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGBUS, SIGQUIT};

// The handler runs on this stack in the thread that installed it, so that a
// stack overflow there can still be reported. It has to hold the handler, the
// unwinder, dladdr and the logger's line writer with its 8 KiB work buffers,
// and sanitizer builds pad every frame.
constexpr size_t kAltStackSize = 128 * 1024;
alignas(16) char g_alt_stack[kAltStackSize];

// Set by the first install of a set-up cycle, cleared by the reset; an
// exchange keeps two racing set-ups from installing twice.
std::atomic<bool> g_installed{false};
// The static alternate stack can serve only one thread: the first one that
// installs the handlers without a stack of its own.
std::atomic<bool> g_alt_stack_taken{false};

uint32_t frames_hash(void *const *frames, int count) {
    // FNV-1a over the frame array as it lies in memory.
    const auto *bytes = reinterpret_cast<const unsigned char *>(frames);
    const size_t length = static_cast<size_t>(count) * sizeof(void *);
    uint64_t hash = kFnvOffsetBasis;
    for (size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= kFnvPrime;
    }
    return static_cast<uint32_t>(hash);
}

// Appends text at *position, cut to fit. A buffer that is already full is
// left as it is: the bounded copy would treat a position at the end as a
// misuse and empty the whole buffer.
int32_t append_text(char *buffer, size_t size, size_t *position, const char *text) {
    if (*position + 1 >= size) {
        if (*position < size) buffer[*position] = '\0';
        return text[0] == '\0' ? 0 : EBUFFER;
    }
    return ov_str_to(buffer, text, size, position);
}

// Appends a short formatted piece. The piece is formatted into a small stack
// array where it always fits and then copied: a formatted append straight
// into the line would take a heap scratch buffer whenever the line is cut,
// and the report may run in a process whose heap is damaged.
OV_PRINTF(4, 5)
int32_t append_format(char *buffer, size_t size, size_t *position, const char *format, ...) {
    char piece[kPieceSize];
    va_list args;
    va_start(args, format);
    const int32_t rc = ov_str_vprintf_to(piece, sizeof piece, nullptr, format, args);
    va_end(args);
    if (rc != 0) return rc;
    return append_text(buffer, size, position, piece);
}

// Every text line becomes one log message; the buffer is then reused.
void log_line_end(char *buffer, size_t /*size*/, size_t *position) {
    OV_LOG(kLogError, "%s", buffer);
    *position = 0;
}

// The lines accumulate in the buffer, each ended by a newline.
void newline_line_end(char *buffer, size_t size, size_t *position) {
    (void)append_text(buffer, size, position, "\n");
}

void append_frame_line(char *buffer, size_t size, size_t *position, int index, void *frame) {
    const auto address = reinterpret_cast<uintptr_t>(frame);
    (void)append_format(buffer, size, position, "%2d:0x%.*lx", index, kAddressDigits,
                        static_cast<unsigned long>(address));
    Dl_info info{};
    if (dladdr(frame, &info) == 0) return;
    (void)append_text(buffer, size, position, " ");
    (void)append_text(buffer, size, position, info.dli_fname != nullptr ? info.dli_fname : "");
    if (info.dli_sname == nullptr) return;
    (void)append_text(buffer, size, position, " ");
    (void)append_text(buffer, size, position, info.dli_sname);
    // The distance is printed as a signed 32-bit number, as the report has
    // always shown it; no function is anywhere near 2 GiB long.
    const auto offset = static_cast<int32_t>(address - reinterpret_cast<uintptr_t>(info.dli_saddr));
    (void)append_format(buffer, size, position, "+%d", offset);
}

// Hands the static alternate stack to the calling thread unless it has one
// already (a sanitizer runtime or the program may have set up its own).
void setup_alt_stack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
    if (g_alt_stack_taken.exchange(true)) return;
    stack_t stack{};
    stack.ss_sp = g_alt_stack;
    stack.ss_size = sizeof g_alt_stack;
    stack.ss_flags = 0;
    if (sigaltstack(&stack, nullptr) != 0) {
        const int err = errno;
        OV_LOG(kLogInfo, "Failed to set up the alternate signal stack err=%d", err);
        g_alt_stack_taken.store(false);
    }
}

// The public handler keeps its information argument untyped for strict C
// programs; sigaction needs the exact sa_sigaction type.
void fatal_signal_trampoline(int signal_number, siginfo_t *info, void *context) {
    ov_fatal_signal_handler(signal_number, info, context);
}

}  // namespace

extern "C" {

int ov_backtrace_capture(void **frames, int max, uint32_t *hash) noexcept {
    int count = frames != nullptr && max > 0 ? backtrace(frames, max) : 0;
    if (count < 0) count = 0;
    if (hash != nullptr) *hash = frames_hash(frames, count);
    return count;
}

int ov_backtrace_format(void *const *frames, int count, uint32_t hash,
                        ov_backtrace_line_end_t line_end, char *buffer, size_t size,
                        size_t *position) noexcept {
    size_t local_position = 0;
    size_t *pos = position != nullptr ? position : &local_position;
    if (buffer == nullptr || line_end == nullptr || *pos >= size) return 0;

    if (count <= 0 || frames == nullptr) {
        (void)append_text(buffer, size, pos, "Backtrace unavailable.");
        line_end(buffer, size, pos);
        return 0;
    }

    // The first line carries the hash and every address, so that one log
    // message identifies the call path even when the frame lines are lost.
    (void)append_format(buffer, size, pos, "Backtrace hash:%#x ", hash);
    for (int i = 0; i < count; ++i) {
        if (append_format(buffer, size, pos, "0x%.*lx ", kAddressDigits,
                          static_cast<unsigned long>(reinterpret_cast<uintptr_t>(frames[i]))) != 0)
            break;
    }
    line_end(buffer, size, pos);

    for (int i = 0; i < count; ++i) {
        append_frame_line(buffer, size, pos, i, frames[i]);
        line_end(buffer, size, pos);
    }
    return count;
}

int32_t ov_backtrace_to_buffer(char *buffer, size_t size, size_t *position) noexcept {
    if (buffer == nullptr) return EINVAL;
    size_t local_position = 0;
    size_t &pos = position != nullptr ? *position : local_position;
    // There is no byte to terminate at or after the end of the buffer.
    if (pos >= size) return EINVAL;
    buffer[pos] = '\0';
    void *frames[kBufferFrames];
    uint32_t hash = 0;
    const int count = ov_backtrace_capture(frames, kBufferFrames, &hash);
    (void)ov_backtrace_format(frames, count, hash, newline_line_end, buffer, size, &pos);
    return 0;
}

void ov_log_backtrace(void) noexcept {
    void *frames[OV_BACKTRACE_MAX_FRAMES];
    uint32_t hash = 0;
    const int count = ov_backtrace_capture(frames, OV_BACKTRACE_MAX_FRAMES, &hash);
    char line[kLogLineSize];
    size_t position = 0;
    line[0] = '\0';
    (void)ov_backtrace_format(frames, count, hash, log_line_end, line, sizeof line, &position);
}

void ov_fatal_signals_install(void) noexcept {
    if (g_installed.exchange(true)) return;
    setup_alt_stack();
    struct sigaction action {};
    action.sa_sigaction = fatal_signal_trampoline;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A signal that cannot be caught here is reported as the system reports
    // it; there is nothing better to do about a refusal.
    for (const int signal_number : kFatalSignals) (void)sigaction(signal_number, &action, nullptr);
    // The first backtrace of a process loads the unwinder, which allocates;
    // doing that now keeps it out of the handler.
    void *scratch[OV_BACKTRACE_MAX_FRAMES];
    (void)backtrace(scratch, OV_BACKTRACE_MAX_FRAMES);
}

void ov_fatal_signals_reset(void) noexcept {
    g_installed.store(false);
}

void ov_fatal_signal_handler(int signal_number, void * /*info*/, void * /*context*/) noexcept {
    OV_LOG(kLogError, "Process received signal %s(%d)", ov_platform_signal_name(signal_number),
           signal_number);
    ov_log_backtrace();
    // The report must reach the disk before the abort ends the process.
    ov_log_flush();
    std::abort();
}

}  // extern "C"
