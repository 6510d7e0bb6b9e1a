// ovlog.cpp - the process-wide logger: threshold, destinations and the log call.
//
// Every module reports through ov_log. The threshold decides which levels
// pass; a message then goes to the one destination chosen at start-up: the
// log file ring (or standard error alone), the system log, or a caller's
// function. Until a destination is chosen messages are dropped, or, after
// ov_log_start_queue, held in memory and replayed in order when ov_log_open
// chooses one. The log call never changes errno, so a module may log between
// a failing call and reading its errno.
//
// The files of the module: this one (filter, dispatch, set-up, early queue,
// settings); ovlog_writer.cpp (level tags and file lines); ovlog_format.cpp
// (the message formatter); ovlog_ring.cpp (log file location and rotation);
// ovlog_syslog.cpp (the system-log transport).
//
// Divisions of this file: the early queue and dispatch; the log calls;
// set-up and close; settings.
#include <ovplatform/ovbtrace.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovsynchron.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/allocation.h"
#include "internal/errno_guard.h"
#include "internal/limits.h"
#include "internal/ovlog_parts.h"
#include "internal/raii.h"

namespace ov::logging {
namespace {

using namespace ov::detail;

constexpr int kDefaultThreshold = static_cast<int>(kLogInfo);
constexpr size_t kQueuedText = 4096;

// The settings are meant to be set during start-up; they are atomics so that
// a change while other threads log is still well defined.
std::atomic<int> g_kind{OV_LOG_NONE};
std::atomic<int> g_threshold{kDefaultThreshold};
std::atomic<ov_log_callback_t> g_callback{nullptr};

// A message held until a destination exists: the header and the text are one
// allocation, the text following the header.
struct QueuedMessage {
    QueuedMessage *next;
    int32_t level;
    char *text() noexcept { return ov::detail::tail_of(this); }
};
struct MessageQueue {
    QueuedMessage *head;
    QueuedMessage *last;
};

std::atomic<bool> g_queue_on{false};
// Guarded by the queue mutex while the queue is on.
MessageQueue *g_queue = nullptr;
ov_mutex_t g_queue_mutex;

bool passes(uint32_t level, int threshold) noexcept {
    if (threshold == -1) return false;
    return threshold < 0 || level <= static_cast<uint32_t>(threshold) ||
           g_queue_on.load(std::memory_order_relaxed);
}

void free_queue(MessageQueue *queue) noexcept {
    if (queue == nullptr) return;
    for (QueuedMessage *m = queue->head; m != nullptr;) {
        QueuedMessage *next = m->next;
        destroy(m);
        m = next;
    }
    destroy(queue);
}

int dispatch(int kind, uint32_t level, const char *file, int line, const char *format,
             va_list args) noexcept __attribute__((format(printf, 5, 0)));

// Queues a message, or hands it to the destination that was chosen while
// the caller was waiting for the queue mutex. @return 0, ENOMEM when the
// message is lost, or the mutex error.
int32_t queue_message(uint32_t level, const char *file, int line, const char *format,
                      va_list args) noexcept __attribute__((format(printf, 4, 0)));
int32_t queue_message(uint32_t level, const char *file, int line, const char *format,
                      va_list args) noexcept {
    const MutexLock lock(&g_queue_mutex);
    if (lock.result() != 0) return lock.result();
    const int kind = g_kind.load(std::memory_order_acquire);
    if (kind != OV_LOG_NONE) return dispatch(kind, level, file, line, format, args);
    char text[kQueuedText];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    const size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), kQueuedText - 1);
    if (n < 0) text[0] = '\0';
    if (g_queue == nullptr) g_queue = create<MessageQueue>(MessageQueue{});
    auto *message = g_queue == nullptr ? nullptr : create_with_tail<QueuedMessage>(length + 1);
    if (message == nullptr) return ENOMEM;
    message->next = nullptr;
    message->level = static_cast<int32_t>(level);
    std::memcpy(message->text(), text, length);
    message->text()[length] = '\0';
    if (g_queue->last != nullptr)
        g_queue->last->next = message;
    else
        g_queue->head = message;
    g_queue->last = message;
    return 0;
}

int dispatch(int kind, uint32_t level, const char *file, int line, const char *format,
             va_list args) noexcept {
    switch (kind) {
        case OV_LOG_NONE:
            if (g_queue_on.load(std::memory_order_acquire))
                queue_message(level, file, line, format, args);
            return 0;
        case OV_LOG_SYSLOG:
            return syslog_send(level, format, args);
        case OV_LOG_FILE:
            if (ring_current_fd() == -1 && !writer_stderr_only()) return 0;
            write_line(level, format, args);
            return 0;
        case OV_LOG_CALLBACK:
            if (ov_log_callback_t callback = g_callback.load(std::memory_order_acquire))
                callback(level, file, line, format, args);
            return 0;
        default:
            return EINVAL;
    }
}

int dispatch_formatted(int kind, uint32_t level, const char *file, int line, const char *format,
                       ...) noexcept __attribute__((format(printf, 5, 6)));
int dispatch_formatted(int kind, uint32_t level, const char *file, int line, const char *format,
                       ...) noexcept {
    va_list args;
    va_start(args, format);
    const int rc = dispatch(kind, level, file, line, format, args);
    va_end(args);
    return rc;
}

// Sets the destination kind, first replaying the early queue into it when
// the queue is on. The threshold in force now decides what survives.
int32_t finish_open(int kind) noexcept {
    if (!g_queue_on.load(std::memory_order_acquire)) {
        g_kind.store(kind, std::memory_order_release);
        return 0;
    }
    g_queue_on.store(false, std::memory_order_release);
    const MutexLock lock(&g_queue_mutex);
    if (lock.result() != 0) return lock.result();
    MessageQueue *queue = g_queue;
    g_queue = nullptr;
    if (queue != nullptr) {
        const int threshold = g_threshold.load(std::memory_order_relaxed);
        for (QueuedMessage *m = queue->head; m != nullptr; m = m->next) {
            const uint32_t level = static_cast<uint32_t>(m->level);
            if (passes(level, threshold))
                dispatch_formatted(kind, level, nullptr, -1, "%s", m->text());
        }
        free_queue(queue);
    }
    g_kind.store(kind, std::memory_order_release);
    return 0;
}

}  // namespace

int logger_descriptors(int out[kLoggerDescriptorsMost]) noexcept {
    int count = ring_descriptors(out);
    const int socket = syslog_descriptor();
    if (socket != -1) out[count++] = socket;
    return count;
}

}  // namespace ov::logging

using namespace ov::logging;

extern "C" {

int ov_log(uint32_t level, const char *file, int line, const char *format, ...) noexcept {
    const int threshold = g_threshold.load(std::memory_order_relaxed);
    if (!passes(level, threshold)) return threshold == -1 ? -1 : 0;
    ov::detail::ErrnoGuard keep_errno;
    va_list args;
    va_start(args, format);
    const int rc =
        dispatch(g_kind.load(std::memory_order_acquire), level, file, line, format, args);
    va_end(args);
    return rc;
}

int ov_log_va(uint32_t level, const char *format, va_list args) noexcept {
    const int threshold = g_threshold.load(std::memory_order_relaxed);
    if (!passes(level, threshold)) return threshold == -1 ? -1 : 0;
    ov::detail::ErrnoGuard keep_errno;
    return dispatch(g_kind.load(std::memory_order_acquire), kLogInfo, nullptr, -1, format, args);
}

int ov_log_queued(uint32_t level, const char *format, ...) noexcept {
    if (!g_queue_on.load(std::memory_order_acquire)) return 0;
    ov::detail::ErrnoGuard keep_errno;
    va_list args;
    va_start(args, format);
    const int rc = queue_message(level, nullptr, -1, format, args);
    va_end(args);
    return rc;
}

int32_t ov_log_open(int kind, const char *path) noexcept {
    if (g_kind.load(std::memory_order_acquire) != OV_LOG_NONE) return 0;
    if (kind == OV_LOG_CALLBACK) return EINVAL;
    if (kind != OV_LOG_FILE) {
        syslog_setup(nullptr);
        writer_set_pid(static_cast<int>(getpid()));
        ov_fatal_signals_install();
        return finish_open(OV_LOG_SYSLOG);
    }

    if (path == nullptr) return EINVAL;
    if (ov_strnlen(path, kPathSize + 1) > kPathSize) return EPATHMAX;
    int32_t rc = ring_init();
    if (rc != 0) return rc;
    int32_t check = 0;
    if (std::strcmp(path, "-") == 0) {
        writer_set_stderr_only(true);
    } else {
        rc = ring_locate(path);
        if (rc != 0) {
            ring_abandon();
            return rc;
        }
        check = ring_check_size();
    }
    writer_set_pid(static_cast<int>(getpid()));
    ov_fatal_signals_install();
    if (check != 0) {
        ring_abandon();
        return check;
    }
    return finish_open(OV_LOG_FILE);
}

int32_t ov_log_open_syslog(const char *identity) noexcept {
    if (g_kind.load(std::memory_order_acquire) != OV_LOG_NONE) return 0;
    syslog_setup(identity);
    g_kind.store(OV_LOG_SYSLOG, std::memory_order_release);
    return 0;
}

int32_t ov_log_set_callback(ov_log_callback_t callback) noexcept {
    if (g_kind.load(std::memory_order_acquire) != OV_LOG_NONE) return 0;
    if (callback == nullptr) return ERANGE;
    g_callback.store(callback, std::memory_order_release);
    g_kind.store(OV_LOG_CALLBACK, std::memory_order_release);
    ov_fatal_signals_install();
    return 0;
}

int32_t ov_log_close(void) noexcept {
    switch (g_kind.load(std::memory_order_acquire)) {
        case OV_LOG_FILE:
            ring_close();
            break;
        case OV_LOG_CALLBACK:
            g_callback.store(nullptr, std::memory_order_release);
            break;
        case OV_LOG_SYSLOG:
            syslog_close();
            break;
        default:
            break;
    }
    g_kind.store(OV_LOG_NONE, std::memory_order_release);
    writer_set_stderr_only(false);
    writer_set_stderr_level(-1);
    ov_fatal_signals_reset();

    if (!g_queue_on.exchange(false, std::memory_order_acq_rel)) {
        free_queue(g_queue);
        g_queue = nullptr;
        return 0;
    }
    // Threads that saw the queue on may still be queueing: free it under its mutex.
    {
        const MutexLock lock(&g_queue_mutex);
        if (lock.result() == 0) {
            free_queue(g_queue);
            g_queue = nullptr;
        }
    }
    return ov_mutex_destroy(&g_queue_mutex);
}

void ov_log_flush(void) noexcept {
    if (g_kind.load(std::memory_order_acquire) == OV_LOG_FILE) ring_flush();
}

int32_t ov_log_start_queue(void) noexcept {
    // A second start would initialise the mutex again under a thread that may hold it.
    if (g_queue_on.load(std::memory_order_acquire)) return 0;
    const int32_t rc = ov_mutex_init(&g_queue_mutex);
    if (rc == 0) g_queue_on.store(true, std::memory_order_release);
    return rc;
}

int ov_log_kind(void) noexcept {
    return g_kind.load(std::memory_order_acquire);
}

void ov_log_enable(int flag) noexcept {
    g_threshold.store(flag ? kDefaultThreshold : -1);
}
void ov_log_set_level(int level) noexcept {
    g_threshold.store(level < -1 ? -1 : level);
}
void ov_log_set_debug(int flag) noexcept {
    g_threshold.store(flag ? static_cast<int>(kLogDebug) : kDefaultThreshold);
}
void ov_log_set_debug_level(int level) noexcept {
    g_threshold.store(level > 0 ? kDefaultThreshold + level : kDefaultThreshold);
}
int ov_log_level(void) noexcept {
    return g_threshold.load();
}
int ov_log_enabled(void) noexcept {
    return g_threshold.load() != -1;
}
int ov_log_debug_enabled(void) noexcept {
    return g_threshold.load() > kDefaultThreshold;
}
int ov_log_at_default_level(void) noexcept {
    return g_threshold.load() == kDefaultThreshold;
}

}  // extern "C"
