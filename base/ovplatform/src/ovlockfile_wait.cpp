// ovlockfile_wait.cpp - waiting for a busy lock file.
//
// ov_lockfile_acquire tries once. This file keeps trying until a deadline:
// it backs off from 50 ms to a second with jitter, wakes at once when the
// lock file is released on this host, and lets the waiters of one host
// queue up, so that a release wakes one of them and not all. The caller can
// end the wait early through a descriptor of its own. It also says why a
// lock's directory cannot hold a lock file, the question that tells a
// lock that changed hands from one that can never be made.
//
// Each try is a whole ov_lockfile_acquire; nothing here reads or writes a
// lock file. Like the rest of the module, it allocates nothing: the queue's
// address, the directory's name and the event buffer live on the stack.
//
// Divisions: time and the lock's directory; the look that spares a try;
// the queue of the host's waiters; the wait itself and the C API.
#include <ovplatform/ovlockfile.h>

#include <ovplatform/overror.h>
#include <ovplatform/ovhash.h>
#include <ovplatform/ovtime.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#define OV_LOG_SOURCE "base/ovplatform/src/ovlockfile"
#include "internal/limits.h"
#include "internal/lockfile_testing.h"
#include "internal/log.h"

namespace {

using ov::detail::kPathSize;

constexpr int64_t kFirstBackoffMs = 50;
constexpr int64_t kMaxBackoffMs = 1000;
// Test-only back-off (internal/lockfile_testing.h); 0 means the built-in value.
std::atomic<uint32_t> g_test_first_backoff_ms{0};
std::atomic<uint32_t> g_test_max_backoff_ms{0};
// Tries in a row that may end in ENOENT or EEXIST before the lock counts as
// busy: each means another process moved at that very moment, and a
// handful of them in a row means the lock is contended.
constexpr int kRaceRetries = 3;
// The fields of the first ov_lockfile_wait_t: the least a caller may pass.
constexpr size_t kWaitSizeFirst = offsetof(ov_lockfile_wait_t, fault_dir_size) + sizeof(size_t);

// ---- Time and the lock's directory ---------------------------------------------------------

int64_t now_ms() {
    ov_timeval_t now{};
    ov_time_monotonic_now(&now);
    return now.tv_sec * 1000 + now.tv_usec / 1000;
}

// Writes the directory part of path into dir ("." for a bare name, "/" for
// a name in the root) and returns its last component. dir holds kPathSize
// bytes, and path is no longer. The split is textual, as the kernel reads
// the name: "a/.." stays, so that a link named a is followed.
const char *split_path(const char *path, char *dir) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(dir, ".");
        return path;
    }
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    std::memcpy(dir, path, length);
    dir[length] = '\0';
    return slash + 1;
}

// Why the directory of the file at path cannot hold it, as an errno value,
// or 0; where (kPathSize bytes) names the directory at fault. A directory
// that does not exist is fine when its nearest existing ancestor is a
// directory this user may write: acquisition makes the rest. A link to
// nothing, a file in its place, a loop of links, a name too long, and a
// directory the user may not search or write (another user's, or on a file
// system mounted read-only) are not.
int directory_fault(const char *path, char *where) {
    split_path(path, where);
    for (;;) {
        struct stat status {};
        if (stat(where, &status) == 0) {
            if (!S_ISDIR(status.st_mode)) return ENOTDIR;
            // Acquisition writes its files, and any missing directories, here.
            return faccessat(AT_FDCWD, where, W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
        }
        if (errno != ENOENT) return errno;
        if (lstat(where, &status) == 0) return ENOENT;  // a link to nothing
        char parent[kPathSize];
        split_path(where, parent);
        if (std::strcmp(parent, where) == 0) return ENOENT;
        std::strcpy(where, parent);
    }
}

// Copies text into the caller's buffer of size bytes, cut to fit.
void copy_out(char *out, size_t size, const char *text) {
    if (out == nullptr || size == 0) return;
    const size_t length = std::min(std::strlen(text), size - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

// ---- The look that spares a try --------------------------------------------------------

// What a waiter last saw of the lock file, to tell a lock that is certainly
// fresh from one that a try should look at. A lock file can be stale only
// once it has stayed unchanged for longer than the expiration by the file
// system's clock; a file that this waiter saw appear or change between two
// looks changed after the earlier one, so it stays fresh for about the
// expiration from then, less a second for the clocks' rates. Only then is a
// try (a read and an age probe) left out; a file seen unchanged since the
// first look, or for too long, is tried in full.
class LockLook {
  public:
    // Whether the lock file at path is a regular file certainly fresh now.
    bool fresh(const char *path, int32_t expiration) {
        const int64_t now = now_ms();
        struct stat status {};
        const bool present = lstat(path, &status) == 0 && S_ISREG(status.st_mode);
        const bool same = present == present_ && (!present || same_file(status));
        if (!same) {
            changed_after_ = looked_ ? last_look_ : -1;
            present_ = present;
            seen_ = status;
        }
        looked_ = true;
        last_look_ = now;
        return present && changed_after_ >= 0 &&
               now - changed_after_ < (static_cast<int64_t>(expiration) - 1) * 1000;
    }

    // A try that began at when found the lock file missing (and then
    // another contender's in its place, or none): a file seen from now on
    // was made after when.
    void saw_absent(int64_t when) {
        looked_ = true;
        present_ = false;
        last_look_ = when;
    }

  private:
    bool same_file(const struct stat &now) const {
        return now.st_dev == seen_.st_dev && now.st_ino == seen_.st_ino &&
               now.st_size == seen_.st_size && now.st_mtim.tv_sec == seen_.st_mtim.tv_sec &&
               now.st_mtim.tv_nsec == seen_.st_mtim.tv_nsec &&
               now.st_ctim.tv_sec == seen_.st_ctim.tv_sec &&
               now.st_ctim.tv_nsec == seen_.st_ctim.tv_nsec;
    }

    bool looked_ = false;
    bool present_ = false;
    int64_t last_look_ = 0;
    int64_t changed_after_ = -1;  // the look before the change, or -1: unknown
    struct stat seen_ {};
};

// ---- The queue of the host's waiters ----------------------------------------------------

// Waiters on one host wait in a queue, so that a release wakes one of them
// and not all: the first waiter (the head) watches the lock's directory
// with inotify and tries again as soon as the lock file goes; the others
// wait behind it, in the order they came, on a connection to a listening
// socket that the head holds. A head that gets the lock, gives up or fails
// hands the listening socket itself to the next waiter in line (the oldest
// connection not yet accepted), which becomes the head and starts watching;
// with nobody in line the socket is closed. The socket has a name in the
// abstract namespace, made of the user, the directory's device and inode
// and a hash of the lock file's name, so that it needs no file and goes
// with its last holder, a killed one included: its waiters then see their
// connection end and take the head's place themselves. The name begins
// with "ovlockrun/", under which the command tool's waiters have always
// queued, so that waiters of every program on the host share one queue.
//
// The queue only decides who watches: every waiter still tries at the end
// of each back-off step, so that another host's release on a network file
// system (which makes no event here), a queue that cannot be joined (a
// name taken by a process of another user, a full backlog) or a head that
// is slow to hand over costs at most a step. A try between the back-off
// steps is cheap (LockLook above), so waiters that are not the head cost
// next to nothing.

// One byte with room for one passed descriptor: the message with which a
// head hands the queue's listening socket on.
struct PassedSocket {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};

    PassedSocket() {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    PassedSocket(const PassedSocket &) = delete;
    PassedSocket &operator=(const PassedSocket &) = delete;
};

// A waiter's place: the head's watch on the directory, or the connection to
// the head; with neither (no queue could be joined) the waiter watches the
// directory itself.
class WaitQueue {
  public:
    WaitQueue() = default;
    ~WaitQueue() { leave(); }
    WaitQueue(const WaitQueue &) = delete;
    WaitQueue &operator=(const WaitQueue &) = delete;

    // Joins the queue once: as its head when there is none yet, else at
    // its end.
    void start(const char *lock_path) {
        if (started_) return;
        started_ = true;
        name_ = split_path(lock_path, dir_);
        struct stat dir {};
        if (stat(dir_, &dir) != 0) {
            watch_directory();
            return;
        }
        const uint64_t hash = ov_hash_string(name_);  // FNV-1a
        address_.sun_family = AF_UNIX;
        // The leading NUL puts the name in the abstract namespace.
        const int n = std::snprintf(
            address_.sun_path + 1, sizeof address_.sun_path - 1, "ovlockrun/%u/%llx/%llx/%016llx",
            static_cast<unsigned>(geteuid()), static_cast<unsigned long long>(dir.st_dev),
            static_cast<unsigned long long>(dir.st_ino), static_cast<unsigned long long>(hash));
        address_length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
        join();
    }

    // The descriptors a pause waits on (at most two); their number.
    int fill(pollfd *fds) const {
        int n = 0;
        if (inotify_ >= 0) fds[n++] = {inotify_, POLLIN, 0};
        if (line_ >= 0) fds[n++] = {line_, POLLIN, 0};
        return n;
    }

    // Acts on what the pause saw; true when a try is due now: the lock
    // file went, or this waiter has just become the head.
    bool handle(const pollfd *fds, int n) {
        bool due = false;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inotify_) due = drain() || due;
            if (fds[i].fd == line_) due = take_turn() || due;
        }
        return due;
    }

    // Reads what has queued up on the directory's watch; true when the lock
    // file went meanwhile.
    bool drain() {
        if (inotify_ < 0) return false;
        alignas(inotify_event) char buffer[4096];
        bool released = false;
        ssize_t n;
        while ((n = read(inotify_, buffer, sizeof buffer)) > 0) {
            for (char *p = buffer; p < buffer + n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(p);
                if (event->len > 0 && std::strcmp(event->name, name_) == 0) released = true;
                p += sizeof *event + event->len;
            }
        }
        return released;
    }

    // Leaves the queue: the head hands its place on, a waiter in line just
    // goes (the head skips a connection that was closed).
    void leave() {
        if (listener_ >= 0) hand_over();
        close_fd(&line_);
        close_fd(&inotify_);
    }

  private:
    static void close_fd(int *fd) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }

    // Whether the process at the other end of a connection is of this user.
    static bool same_user(int fd) {
        ucred peer{};
        socklen_t size = sizeof peer;
        return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
    }

    void watch_directory() {
        if (inotify_ >= 0) return;
        inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ < 0) return;
        if (inotify_add_watch(inotify_, dir_, IN_DELETE | IN_MOVED_FROM) < 0) close_fd(&inotify_);
    }

    // Becomes the head, or gets in line behind it; without a queue the
    // waiter watches the directory itself.
    void join() {
        for (int tries = 0; tries < 3; ++tries) {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) break;
            const auto *address = reinterpret_cast<const sockaddr *>(&address_);
            if (bind(fd, address, address_length_) == 0) {
                if (listen(fd, SOMAXCONN) == 0) {
                    listener_ = fd;
                    watch_directory();
                    return;
                }
                close(fd);
                break;
            }
            if (errno == EADDRINUSE && connect(fd, address, address_length_) == 0 &&
                same_user(fd)) {
                line_ = fd;
                return;
            }
            const int error = errno;
            close(fd);
            // The head closed its socket in between: try for its place.
            if (error != ECONNREFUSED && error != ENOENT) break;
        }
        watch_directory();
    }

    // The head's turn has come, or the head has gone: becomes the head with
    // the socket handed over, or joins afresh. Returns true: a try is due.
    bool take_turn() {
        PassedSocket got;
        msghdr &message = got.message;
        const ssize_t n = recvmsg(line_, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
        int passed = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                c->cmsg_len == CMSG_LEN(sizeof(int))) {
                std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
            }
        }
        close_fd(&line_);
        if (n == 1 && passed >= 0) {
            listener_ = passed;
            watch_directory();
        } else {
            if (passed >= 0) close(passed);
            join();
        }
        return true;
    }

    // Hands the listening socket to the oldest waiter in line that is still
    // there, or closes it when nobody is.
    void hand_over() {
        for (;;) {
            const int next = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (next < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break;
            }
            bool passed = false;
            if (same_user(next)) {
                PassedSocket out;
                out.byte = 1;
                msghdr &message = out.message;
                cmsghdr *c = CMSG_FIRSTHDR(&message);
                c->cmsg_level = SOL_SOCKET;
                c->cmsg_type = SCM_RIGHTS;
                c->cmsg_len = CMSG_LEN(sizeof(int));
                std::memcpy(CMSG_DATA(c), &listener_, sizeof listener_);
                passed = sendmsg(next, &message, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
            }
            close(next);
            if (passed) break;
        }
        close_fd(&listener_);
    }

    bool started_ = false;
    char dir_[kPathSize] = {};
    const char *name_ = "";
    sockaddr_un address_{};
    socklen_t address_length_ = 0;
    int listener_ = -1;  // the head's listening socket
    int line_ = -1;      // a waiter's connection to the head
    int inotify_ = -1;   // the head's (or a lone waiter's) watch on the directory
};

// ---- The wait --------------------------------------------------------------------------

// Whether the caller's cancel descriptor is ready: 0 when it is not (or
// there is none), ECANCELED when it is, EBADF when it was closed.
int32_t cancelled(int fd, short revents) {
    if (fd < 0 || revents == 0) return 0;
    return (revents & POLLNVAL) != 0 ? EBADF : ECANCELED;
}

int32_t look_at_cancel(int fd) {
    if (fd < 0) return 0;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return 0;
    return cancelled(fd, p.revents);
}

// Sleeps up to ms, ended early by the cancel descriptor, by the lock file's
// release or by this waiter's turn at the head of the queue. Returns 0 or
// the cancel descriptor's code.
int32_t pause_before_retry(int64_t ms, int cancel_fd, WaitQueue *queue) {
    const int64_t end = now_ms() + ms;
    for (;;) {
        const int64_t left = end - now_ms();
        if (left <= 0) return 0;
        pollfd fds[3] = {{cancel_fd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        const int n = queue->fill(fds + 1);
        // poll(2) skips a negative descriptor, so no cancel_fd costs nothing.
        const int ready = poll(fds, static_cast<nfds_t>(1 + n), static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return 0;
        if (ready <= 0) continue;
        const int32_t rc = cancelled(cancel_fd, fds[0].revents);
        if (rc != 0) return rc;
        if (queue->handle(fds + 1, n)) return 0;
    }
}

// A small generator for the jitter: contenders that started together draw
// different delays and do not retry in lock-step.
uint32_t next_random(uint64_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    return static_cast<uint32_t>(*state >> 32);
}

// Releases a lock that a try got after the wait was ended.
int32_t give_back(ov_lockfile_t *handle, int32_t rc, int32_t code) {
    if (rc == 0) ov_lockfile_release(handle);
    return code;
}

// The caller's options as this library knows them: the first size bytes of
// theirs over the defaults. Bytes past the fields known here must be zero,
// or a newer program asked for something this library cannot do.
bool read_options(const ov_lockfile_wait_t *given, ov_lockfile_wait_t *out) {
    if (given->size < kWaitSizeFirst) return false;
    const auto *bytes = reinterpret_cast<const unsigned char *>(given);
    for (size_t i = sizeof *out; i < given->size; ++i) {
        if (bytes[i] != 0) return false;
    }
    *out = ov_lockfile_wait_t OV_LOCKFILE_WAIT_INIT;
    std::memcpy(out, given, std::min<size_t>(given->size, sizeof *out));
    return true;
}

int32_t wait_for_lock(ov_lockfile_t *handle, const char *name, int32_t expiration,
                      const ov_lockfile_wait_t &opt, char *where) {
    const int64_t deadline = opt.timeout_ms < 0
                                 ? INT64_MAX
                                 : now_ms() + std::min<int64_t>(opt.timeout_ms, INT64_MAX / 2);
    uint64_t seed = static_cast<uint64_t>(getpid()) * 0x9e3779b97f4a7c15ull ^
                    static_cast<uint64_t>(now_ms()) ^ reinterpret_cast<uintptr_t>(handle) ^ 1;
    const uint32_t test_first = g_test_first_backoff_ms.load(std::memory_order_relaxed);
    const uint32_t test_max = g_test_max_backoff_ms.load(std::memory_order_relaxed);
    const int64_t max_step = test_max != 0 ? test_max : kMaxBackoffMs;
    int64_t step = test_first != 0 ? test_first : kFirstBackoffMs;
    int races = 0;
    bool tried = false;
    LockLook look;
    WaitQueue queue;
    int32_t rc = look_at_cancel(opt.cancel_fd);
    if (rc != 0) return rc;
    for (;;) {
        // A release that happens from here on wakes the pause below.
        queue.drain();
        rc = ELOCKED;
        // Between a first full try and a lock file that might have gone
        // stale, a look at the file tells a held lock from a free one.
        if (!tried || !look.fresh(handle->path, expiration)) {
            const int64_t began = now_ms();
            rc = ov_lockfile_acquire(handle, name, expiration);
            tried = true;
            if (rc == ENOENT || rc == EEXIST) look.saw_absent(began);
        }
        const int32_t cancel = look_at_cancel(opt.cancel_fd);
        if (cancel != 0) return give_back(handle, rc, cancel);
        if (rc == 0) return 0;
        if (rc == ENOENT || rc == EEXIST) {
            const int fault = directory_fault(handle->path, where);
            if (fault != 0) return fault;
            where[0] = '\0';
            if (races < kRaceRetries) {
                ++races;
                continue;
            }
        } else if (rc != ELOCKED) {
            return rc;
        }
        races = 0;
        const int64_t left = deadline - now_ms();
        if (left <= 0) return ELOCKED;
        queue.start(handle->path);
        const int64_t jittered = step / 2 + next_random(&seed) % (step / 2 + 1);
        rc = pause_before_retry(jittered < left ? jittered : left, opt.cancel_fd, &queue);
        if (rc != 0) return rc;
        step = step * 2 < max_step ? step * 2 : max_step;
    }
}

// The flags that a holder watches, loaded atomically; the library's own
// writers store them atomically too.
int load_flag(const uint32_t &flag, std::memory_order order) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(flag)).load(order) != 0 ? 1 : 0;
}

}  // namespace

extern "C" {

int32_t ov_lockfile_acquire_wait(ov_lockfile_t *handle, const char *name,
                                 int32_t expiration_seconds,
                                 const ov_lockfile_wait_t *wait) noexcept {
    ov_lockfile_wait_t opt;
    if (handle == nullptr || name == nullptr || name[0] == '\0' || expiration_seconds < 2 ||
        wait == nullptr || !read_options(wait, &opt) || opt.cancel_fd < -1)
        return EINVAL;
    if (opt.cancel_fd >= 0 && fcntl(opt.cancel_fd, F_GETFD) < 0) return EBADF;
    char where[kPathSize] = "";
    const int32_t rc = wait_for_lock(handle, name, expiration_seconds, opt, where);
    copy_out(opt.fault_dir, opt.fault_dir_size, where);
    return rc;
}

void ov_lockfile_set_test_backoff(uint32_t first_ms, uint32_t max_ms) {
    g_test_first_backoff_ms.store(first_ms, std::memory_order_relaxed);
    g_test_max_backoff_ms.store(max_ms, std::memory_order_relaxed);
}

int32_t ov_lockfile_directory_fault(const char *name, char *where, size_t size) noexcept {
    if (name == nullptr || name[0] == '\0' || (where == nullptr && size != 0)) return EINVAL;
    char path[kPathSize];
    char dir[kPathSize];
    const int n = std::snprintf(path, sizeof path, "%s.lck", name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        copy_out(where, size, "");
        return ENAMETOOLONG;
    }
    const int fault = directory_fault(path, dir);
    copy_out(where, size, fault != 0 ? dir : "");
    return fault;
}

int ov_lockfile_is_locked(const ov_lockfile_t *handle) noexcept {
    return handle != nullptr ? load_flag(handle->locked, std::memory_order_acquire) : 0;
}

int ov_lockfile_is_lost(const ov_lockfile_t *handle) noexcept {
    return handle != nullptr ? load_flag(handle->lost, std::memory_order_acquire) : 0;
}

int ov_lockfile_is_worker_running(const ov_lockfile_t *handle) noexcept {
    return handle != nullptr ? load_flag(handle->worker_running, std::memory_order_acquire) : 0;
}

}  // extern "C"
