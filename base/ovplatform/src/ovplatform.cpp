// ovplatform.cpp - the machine the library runs on, its start-up count, and
// signal names.
//
// Answers questions about the host for the rest of the library: its name,
// the operating system's description, the locale, the installation
// directory and the library's version. The host name is written into every
// lock file the lock-file module creates, so its form is part of that file's
// content: the name exactly as the system reports it, with no domain part
// added. Signal numbers and their symbolic names are translated both ways
// here, from one list, so that reports such as the fatal-signal line print
// "SIGSEGV" rather than a bare number.
//
// The platform module is split by subject: users and groups are in
// ovplatform_identity.cpp, the file-system lists in
// ovplatform_filesystems.cpp, memory blocks in ovplatform_memory.cpp, and
// the process and environment primitives in ovplatform_process.cpp; the
// account look-ups and the closing of descriptors that other modules share
// are in ovplatform_account.cpp and ovplatform_descriptors.cpp.
#define OV_LOG_SOURCE "base/ovplatform/src/ovplatform"

#include <ovplatform/overror.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>

#include <clocale>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "internal/log.h"
#include "ovversion.h"

// The host's signals (Linux x86-64): X(number, name). The numbers 16 and 30
// are left out: they have always been reported as unknown signals, and
// reports read elsewhere expect them so. This list is the only table of
// signal names in the library; the fatal-signal report reads it through
// ov_platform_signal_name.
#define OV_SIGNAL_LIST(X) \
    X(1, "SIGHUP")        \
    X(2, "SIGINT")        \
    X(3, "SIGQUIT")       \
    X(4, "SIGILL")        \
    X(5, "SIGTRAP")       \
    X(6, "SIGABRT")       \
    X(7, "SIGBUS")        \
    X(8, "SIGFPE")        \
    X(9, "SIGKILL")       \
    X(10, "SIGUSR1")      \
    X(11, "SIGSEGV")      \
    X(12, "SIGUSR2")      \
    X(13, "SIGPIPE")      \
    X(14, "SIGALRM")      \
    X(15, "SIGTERM")      \
    X(17, "SIGCHLD")      \
    X(18, "SIGCONT")      \
    X(19, "SIGSTOP")      \
    X(20, "SIGTSTP")      \
    X(21, "SIGTTIN")      \
    X(22, "SIGTTOU")      \
    X(23, "SIGURG")       \
    X(24, "SIGXCPU")      \
    X(25, "SIGXFSZ")      \
    X(26, "SIGVTALRM")    \
    X(27, "SIGPROF")      \
    X(28, "SIGWINCH")     \
    X(29, "SIGPOLL")      \
    X(31, "SIGSYS")

// Older names that the look-up by name accepts beside the list's own:
// X(number, name).
#define OV_SIGNAL_ALIAS_LIST(X) \
    X(6, "SIGIOT")              \
    X(29, "SIGIO")

namespace {

constexpr std::string_view kSignalPrefix = "SIG";
constexpr size_t kSignalSlots = 32;
constexpr char kUnknownSignal[] = "UNKNOWN SIGNAL";

constexpr char kInstallDir[] = "/opt/orvane";
constexpr char kOsName[] = "Linux";
constexpr char kVersion[] = OV_VERSION_TEXT;
static_assert(sizeof kOsName <= OV_PLATFORM_OS_NAME_SIZE);
static_assert(sizeof kVersion <= OV_PLATFORM_VERSION_SIZE, "the version record is 16 bytes");

// The fields of the locale record match the widths of the scan format.
static_assert(OV_PLATFORM_LOCALE_FIELD_SIZE == 129);
constexpr char kLocaleFormat[] = "%128[^_]_%128[^.].%128[^@]";

// The size check of the system description keeps room for the fixed
// characters around the system name and release, and for a short program
// name and version, as the callers have always been held to.
constexpr size_t kDescribeRoom = 18;

// The signal names indexed by number, null where the list has none.
constexpr std::array<const char *, kSignalSlots> make_signal_names() {
    std::array<const char *, kSignalSlots> names{};
#define OV_SIGNAL_NAME_SLOT(number, name) names[number] = name;
    OV_SIGNAL_LIST(OV_SIGNAL_NAME_SLOT)
#undef OV_SIGNAL_NAME_SLOT
    return names;
}
constexpr std::array<const char *, kSignalSlots> kSignalNames = make_signal_names();

// Every name the look-up by name accepts, without its prefix.
struct SignalKey {
    std::string_view bare;
    int number;
};
constexpr SignalKey kSignalKeys[] = {
#define OV_SIGNAL_KEY(number, name) {std::string_view(name).substr(kSignalPrefix.size()), number},
    OV_SIGNAL_LIST(OV_SIGNAL_KEY) OV_SIGNAL_ALIAS_LIST(OV_SIGNAL_KEY)
#undef OV_SIGNAL_KEY
};

constexpr bool every_signal_name_has_the_prefix() {
    bool all = true;
#define OV_SIGNAL_PREFIXED(number, name) \
    all = all && std::string_view(name).substr(0, kSignalPrefix.size()) == kSignalPrefix;
    OV_SIGNAL_LIST(OV_SIGNAL_PREFIXED)
    OV_SIGNAL_ALIAS_LIST(OV_SIGNAL_PREFIXED)
#undef OV_SIGNAL_PREFIXED
    return all;
}
static_assert(every_signal_name_has_the_prefix());

constexpr size_t longest_signal_name() {
    size_t longest = 0;
    for (const SignalKey &key : kSignalKeys)
        longest = key.bare.size() > longest ? key.bare.size() : longest;
    return kSignalPrefix.size() + longest;
}

// Upper-cases the name into a small buffer and compares it whole with each
// known name. The case rules of the locale are left out on purpose: in some
// locales "i" and "I" are not a pair, and "sigint" must still name SIGINT.
// A text longer than every name cannot match and is refused unread.
int signal_number_of(const char *name) {
    char upper[longest_signal_name()];
    size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        if (length == sizeof upper) return -1;
        const char c = name[length];
        upper[length] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    std::string_view text(upper, length);
    // Compared by hand rather than with substr or starts_with: an unoptimised
    // build keeps their out-of-range check, a call into the C++ runtime,
    // which the library does without.
    if (length >= kSignalPrefix.size() &&
        std::memcmp(upper, kSignalPrefix.data(), kSignalPrefix.size()) == 0)
        text.remove_prefix(kSignalPrefix.size());
    for (const SignalKey &key : kSignalKeys) {
        if (key.bare == text) return key.number;
    }
    return -1;
}

// Start-ups counted by ov_platform_init. The calls are meant for the
// single-threaded start and end of a program; the count is atomic all the
// same, as that costs nothing and keeps a careless caller from corrupting it.
std::atomic<uint32_t> g_startups{0};

}  // namespace

extern "C" {

// ---- Host and system ----------------------------------------------------------------------

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

int32_t ov_platform_os_describe(char *out, size_t size, const char *name,
                                const char *version) noexcept {
    if (out == nullptr || name == nullptr || version == nullptr) return EINVAL;
    struct utsname system {};
    if (uname(&system) != 0) return errno;
    if (size < std::strlen(system.sysname) + std::strlen(system.release) + kDescribeRoom)
        return ERANGE;
    return ov_str_printf_to(out, size, nullptr, "%s/%s, (%s %s)", name, version, system.sysname,
                            system.release);
}

int32_t ov_platform_uname(char *out, size_t size) noexcept {
    if (out == nullptr || size == 0) return EINVAL;
    struct utsname system {};
    if (uname(&system) != 0) {
        const int err = errno;
        out[0] = '\0';
        return err;
    }
    return ov_str_printf_to(out, size, nullptr, "%s %s %s", system.sysname, system.release,
                            system.version);
}

void ov_platform_os_name(char *out) noexcept {
    if (out != nullptr) std::memcpy(out, kOsName, sizeof kOsName);
}

void ov_platform_os_family(char *out) noexcept {
    ov_platform_os_name(out);
}

void ov_platform_version(char *out) noexcept {
    if (out == nullptr) return;
    std::memset(out, 0, OV_PLATFORM_VERSION_SIZE);
    std::memcpy(out, kVersion, sizeof kVersion);
}

int32_t ov_platform_install_dir(char *out, size_t size) noexcept {
    // Checked here, as the bounded copy would log a misuse for these.
    if (out == nullptr || size == 0) return EINVAL;
    return ov_str_copy(out, kInstallDir, size);
}

int32_t ov_platform_locale(ov_locale_t *out) noexcept {
    if (out == nullptr) return EINVAL;
    const char *name = std::setlocale(LC_ALL, nullptr);
    if (name == nullptr) return ELOCALE;
    std::memset(out, 0, sizeof *out);
    const int filled =
        std::sscanf(name, kLocaleFormat, out->language, out->territory, out->codeset);
    // A bare language or all three parts describe the locale; a territory
    // without its codeset ("en_US") leaves the record incomplete and is
    // refused.
    return filled == 1 || filled == 3 ? 0 : ELOCALE;
}

int32_t ov_platform_init(void) noexcept {
    // The first start-up finds the running program's path while the current
    // directory is still the one the program was started in, which a
    // relative invocation name needs. A failure leaves the path to be found
    // at its first use.
    if (g_startups.fetch_add(1, std::memory_order_acq_rel) == 0)
        (void)ov_path_executable(nullptr, 0);
    return 0;
}

int32_t ov_platform_fini(void) noexcept {
    uint32_t count = g_startups.load(std::memory_order_acquire);
    do {
        if (count == 0) return EINVAL;
    } while (!g_startups.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    return 0;
}

uint64_t ov_hton64(uint64_t value) noexcept {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(value);
    return value;
}

uint64_t ov_ntoh64(uint64_t value) noexcept {
    return ov_hton64(value);
}

// ---- Signals ------------------------------------------------------------------------------

const char *ov_platform_signal_name(int signal_number) noexcept {
    // Read by the fatal-signal handler: a plain table lookup, nothing more.
    if (signal_number < 0 || static_cast<size_t>(signal_number) >= kSignalNames.size() ||
        kSignalNames[signal_number] == nullptr)
        return kUnknownSignal;
    return kSignalNames[signal_number];
}

int ov_platform_signal_number(const char *name) noexcept {
    const int number = name != nullptr ? signal_number_of(name) : -1;
    if (number < 0) OV_LOG(kLogError, "unrecognized signame %s", name != nullptr ? name : "(null)");
    return number;
}

const char *ov_platform_exception_name(uint32_t /*code*/) noexcept {
    return "UNKNOWN EXCEPTION";
}

}  // extern "C"
