// ovplatform.cpp - the machine, the account the process runs under, and
// signal names.
//
// Answers questions about the host for the rest of the library. The host
// name is written into every lock file the lock-file module creates, so its
// form is part of that file's content: the name exactly as the system reports
// it, with no domain part added. Signal numbers and their symbolic names are
// translated both ways here, so that reports such as the fatal-signal line
// print "SIGSEGV" rather than a bare number.
#define OV_LOG_SOURCE "base/ovplatform/src/ovplatform"

#include <ovplatform/ovplatform.h>

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "internal/log.h"

namespace {

// The host's signal numbers and their names, indexed by number. The places
// of 16 and 30 stay empty: those numbers have always been reported as
// unknown signals, and reports read elsewhere expect them so.
constexpr std::array<const char *, 32> kSignalNames = {
    nullptr,   "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE",  "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
    nullptr,   "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
    "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGPOLL", nullptr,   "SIGSYS",
};

struct SignalAlias {
    std::string_view name;
    int number;
};

// Older names that the lookup by name accepts beside the table's own.
constexpr SignalAlias kSignalAliases[] = {{"IOT", 6}, {"IO", 29}};

constexpr std::string_view kSignalPrefix = "SIG";

// Compares ASCII letters without regard to case. The locale's case rules are
// left out on purpose: in some locales "i" and "I" are not a pair, and
// "sigint" must still name SIGINT.
bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

int signal_number_of(std::string_view name) {
    if (name.size() >= kSignalPrefix.size() &&
        ascii_iequal(name.substr(0, kSignalPrefix.size()), kSignalPrefix))
        name.remove_prefix(kSignalPrefix.size());
    for (size_t n = 0; n < kSignalNames.size(); ++n) {
        if (kSignalNames[n] == nullptr) continue;
        std::string_view known(kSignalNames[n]);
        known.remove_prefix(kSignalPrefix.size());
        if (ascii_iequal(name, known)) return static_cast<int>(n);
    }
    for (const SignalAlias &alias : kSignalAliases) {
        if (ascii_iequal(name, alias.name)) return alias.number;
    }
    return -1;
}

}  // namespace

extern "C" {

int32_t ov_platform_hostname(char *out, size_t size) noexcept {
    if (out == nullptr) return EINVAL;
    if (gethostname(out, size) != 0) {
        const int err = errno;
        // The system copies as much of a too long name as fits and may leave
        // it unterminated; an empty result is safer for a caller that ignores
        // the code.
        if (size > 0) out[0] = '\0';
        return err;
    }
    return 0;
}

const char *ov_platform_signal_name(int signal_number) noexcept {
    // Read by the fatal-signal handler: a plain table lookup, nothing more.
    if (signal_number < 0 || static_cast<size_t>(signal_number) >= kSignalNames.size() ||
        kSignalNames[signal_number] == nullptr)
        return "UNKNOWN SIGNAL";
    return kSignalNames[signal_number];
}

int ov_platform_signal_number(const char *name) noexcept {
    const int number = name != nullptr ? signal_number_of(name) : -1;
    if (number < 0) OV_LOG(kLogError, "unrecognized signame %s", name != nullptr ? name : "(null)");
    return number;
}

}  // extern "C"
