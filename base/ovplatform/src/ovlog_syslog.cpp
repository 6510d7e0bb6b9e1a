// ovlog_syslog.cpp - the system-log destination of the logger.
//
// Messages go to the host's syslog interface with the facility LOG_LOCAL2.
// A host without the local syslog socket "/dev/log" (a minimal container,
// for instance) gets them as UDP datagrams "<PRI>ERR text" sent to the syslog
// port of the local machine instead; the datagram carries only the priority
// and the tagged message. Once a set-up has found "/dev/log" missing, the
// process keeps using UDP.
//
// Sends run on the logging thread without a lock. The socket is opened on
// the first message and again after a failed send; the opening and the
// closing are serialised by a small mutex so that two threads never both
// replace it, and the socket number is read atomically by every sender. The
// socket is close-on-exec, as is the one the host's interface opens.
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovlog.h>

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal/ovlog_parts.h"
#include "internal/raii.h"

namespace ov::logging {
namespace {

using namespace ov::detail;

constexpr size_t kSyslogBuffer = 4096;
constexpr uint16_t kSyslogPort = 514;

// Severity of each level; levels beyond the list are notices.
#define OV_LOG_LEVEL_SEVERITY(name, number, tag, severity) severity,
constexpr int kSeverities[] = {OV_LOG_LEVEL_LIST(OV_LOG_LEVEL_SEVERITY)};
#undef OV_LOG_LEVEL_SEVERITY
static_assert(sizeof kSeverities / sizeof kSeverities[0] == kLogLevelCount);

std::atomic<bool> g_udp{false};
std::atomic<int> g_socket{-1};
std::atomic<bool> g_ready{false};
// A plain system mutex rather than the library's: the library's mutex calls
// log their failures, and a log line from inside the transport would come
// straight back into it.
pthread_mutex_t g_socket_mutex = PTHREAD_MUTEX_INITIALIZER;

int priority_of(uint32_t level) noexcept {
    const int severity =
        level < sizeof kSeverities / sizeof kSeverities[0] ? kSeverities[level] : LOG_NOTICE;
    return LOG_LOCAL2 | severity;
}

// The byte order of the network, for constants: htons and htonl cannot be
// evaluated at compile time.
constexpr uint16_t network_order(uint16_t value) noexcept {
    if constexpr (std::endian::native == std::endian::big) return value;
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}
constexpr uint32_t network_order(uint32_t value) noexcept {
    if constexpr (std::endian::native == std::endian::big) return value;
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// The syslog port of the local machine. It is a constant so that it needs no
// initialisation at run time: a function-local static built on first use
// would need the C++ runtime's guard against two threads building it at once.
constexpr sockaddr_in kUdpAddress = [] {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = network_order(kSyslogPort);
    a.sin_addr.s_addr = network_order(uint32_t{INADDR_LOOPBACK});
    return a;
}();

// Replaces the socket with a new one. Runs with the socket mutex held.
int32_t udp_open() noexcept {
    const int old = g_socket.exchange(-1, std::memory_order_acq_rel);
    if (old != -1) close(old);
    // Close-on-exec, like every descriptor of the logger: a program the
    // process starts must not inherit it.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    g_socket.store(fd, std::memory_order_release);
    g_ready.store(true, std::memory_order_release);
    return 0;
}

}  // namespace

void syslog_setup(const char *identity) noexcept {
    ov_stat_t status;
    if (ov_file_stat("/dev/log", &status, 0) == ENOENT) g_udp.store(true);
    if (!g_udp.load()) {
        openlog(identity, LOG_PID, LOG_LOCAL2);
        return;
    }
    const SystemMutexLock lock(&g_socket_mutex);
    udp_open();
}

int syslog_send(uint32_t level, const char *format, va_list args) noexcept {
    const int priority = priority_of(level);
    char tagged[kSyslogBuffer];
    const int reported = format_tagged(tagged, sizeof tagged, level, format, args);
    if (reported < 0) return ELOG;
    // One message, one line, as in the log file.
    const size_t escaped = escape_controls(
        tagged, std::min(static_cast<size_t>(reported), sizeof tagged - 1), sizeof tagged - 1);
    tagged[escaped] = '\0';
    if (!g_udp.load(std::memory_order_relaxed)) {
        syslog(priority, "%s", tagged);
        return 0;
    }

    if (!g_ready.load(std::memory_order_acquire)) {
        const SystemMutexLock lock(&g_socket_mutex);
        if (!g_ready.load(std::memory_order_relaxed) && udp_open() != 0) return 0;
    }
    const int fd = g_socket.load(std::memory_order_acquire);
    if (fd == -1) return 0;
    char datagram[kSyslogBuffer];
    const int n = std::snprintf(datagram, sizeof datagram, "<%3d>%s", priority, tagged);
    if (n < 0) return 0;
    // A text cut to the buffer is sent whole, terminating zero included.
    const size_t length =
        static_cast<size_t>(n) < sizeof datagram ? static_cast<size_t>(n) : sizeof datagram;
    if (sendto(fd, datagram, length, 0, reinterpret_cast<const sockaddr *>(&kUdpAddress),
               sizeof kUdpAddress) < 0) {
        const int err = errno;
        char text[64];
        const int m =
            std::snprintf(text, sizeof text, "Error writing to syslog UDP port, errno=%d\n", err);
        ov_file_t stderr_file = 2;
        uint64_t written = 0;
        if (m > 0) ov_file_write(&stderr_file, text, static_cast<size_t>(m), &written);
        const SystemMutexLock lock(&g_socket_mutex);
        // Another sender may have replaced the socket already.
        if (g_socket.load(std::memory_order_relaxed) == fd) {
            g_socket.store(-1, std::memory_order_release);
            close(fd);
            g_ready.store(false, std::memory_order_release);
        }
    }
    return 0;
}

void syslog_close() noexcept {
    closelog();
    const SystemMutexLock lock(&g_socket_mutex);
    const int fd = g_socket.exchange(-1, std::memory_order_acq_rel);
    if (fd != -1) close(fd);
}

int syslog_descriptor() noexcept {
    return g_socket.load(std::memory_order_acquire);
}

}  // namespace ov::logging
