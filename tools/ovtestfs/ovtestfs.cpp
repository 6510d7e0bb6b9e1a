// ovtestfs.cpp - a passthrough FUSE file system that plays a slow, faulty file server.
//
// ovtestfs serves a backing directory at a mount point with three twists that
// the lock tool's reliability tests need from a network file server: the
// server's clock differs from the host's by a set offset, and every create,
// write, truncate and touch stamps the file with that clock; every request can
// be delayed; and chosen operations can be made to fail with a chosen error.
// All three can be changed while mounted through a control file. Kernel
// caching is off, so that two mounts of one backing directory behave like two
// clients of one server that cache no attributes. The daemon runs as root,
// lets the kernel check permissions against the mode bits, and gives what it
// creates to the calling user.
//
// Usage: ovtestfs [--offset=S] [--latency-ms=N] [--control=FILE] [--ready=FILE]
//                 BACKING_DIR MOUNTPOINT
// The control file holds lines "offset=S", "latency_ms=N" and
// "fail=ERRNAME:op,op,..."; each time it changes, the command-line values are
// taken again and its lines applied over them, and its text is copied to
// FILE.ack to show that it was read.
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ovsupport/files.h"

namespace {

// Every operation with the name a fail= line gives it. A client never sees
// the result of a release, only that of the flush which close(2) sends
// before it, so "release" names both: a failing release is one whose close
// reports the error.
#define OVTESTFS_OPS(X)      \
    X(kGetattr, "getattr")   \
    X(kReaddir, "readdir")   \
    X(kOpen, "open")         \
    X(kCreate, "create")     \
    X(kRead, "read")         \
    X(kWrite, "write")       \
    X(kFlush, "release")     \
    X(kFsync, "fsync")       \
    X(kRelease, "release")   \
    X(kRename, "rename")     \
    X(kUnlink, "unlink")     \
    X(kLink, "link")         \
    X(kSymlink, "symlink")   \
    X(kReadlink, "readlink") \
    X(kMknod, "mknod")       \
    X(kMkdir, "mkdir")       \
    X(kRmdir, "rmdir")       \
    X(kTruncate, "truncate") \
    X(kUtimens, "utimens")   \
    X(kChmod, "chmod")       \
    X(kChown, "chown")       \
    X(kStatfs, "statfs")     \
    X(kAccess, "access")

#define OVTESTFS_ENUM(id, name) id,
enum Op : unsigned { OVTESTFS_OPS(OVTESTFS_ENUM) kOpCount };
#undef OVTESTFS_ENUM

constexpr const char *kOpNames[kOpCount] = {
#define OVTESTFS_NAME(id, name) name,
    OVTESTFS_OPS(OVTESTFS_NAME)
#undef OVTESTFS_NAME
};

struct ErrorName {
    const char *name;
    int code;
};
constexpr ErrorName kErrors[] = {
    {"ENOSPC", ENOSPC}, {"EROFS", EROFS}, {"EIO", EIO}, {"ESTALE", ESTALE}, {"EACCES", EACCES}};

struct Settings {
    int64_t offset_sec = 0;
    int64_t latency_ms = 0;
    int fault[kOpCount] = {};  // the errno to return, 0 to serve the request
};

struct Server {
    int backing_fd = -1;
    std::string control;  // empty when there is none
    std::string ready;
    Settings start;  // from the command line

    std::mutex m;
    Settings current;           // guarded by m
    bool control_seen = false;  // guarded by m, with the identity below
    struct stat control_st {};
    // Stamps read the offset without taking m.
    std::atomic<int64_t> offset_sec{0};
};
Server g;

bool parse_int(std::string_view text, int64_t *out) {
    const std::string s(text);
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0) return false;
    *out = v;
    return true;
}

// Applies one "fail=ERRNAME:op,op" value; false when a name is unknown.
bool parse_fail(std::string_view value, Settings *s) {
    const size_t colon = value.find(':');
    if (colon == std::string_view::npos) return false;
    int code = 0;
    for (const ErrorName &e : kErrors)
        if (value.substr(0, colon) == e.name) code = e.code;
    if (code == 0) return false;
    std::string_view ops = value.substr(colon + 1);
    while (!ops.empty()) {
        const size_t comma = ops.find(',');
        const std::string_view op = ops.substr(0, comma);
        bool known = op == "all";
        for (unsigned i = 0; i < kOpCount; ++i) {
            if (op == "all" || op == kOpNames[i]) {
                s->fault[i] = code;
                known = true;
            }
        }
        if (!known) return false;
        ops = comma == std::string_view::npos ? std::string_view() : ops.substr(comma + 1);
    }
    return true;
}

// Applies the control file's lines over the command-line values. A line that
// cannot be read is reported and skipped, so that one typo does not undo the
// rest of the file.
Settings parse_control(const std::string &text) {
    Settings s = g.start;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string_view line(text.data() + pos, eol - pos);
        pos = eol + 1;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const size_t eq = line.find('=');
        const std::string_view key = line.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? "" : line.substr(eq + 1);
        bool ok = false;
        if (key == "offset") ok = parse_int(value, &s.offset_sec);
        if (key == "latency_ms") ok = parse_int(value, &s.latency_ms) && s.latency_ms >= 0;
        if (key == "fail") ok = parse_fail(value, &s);
        if (!ok)
            std::fprintf(stderr, "ovtestfs: ignoring control line '%.*s'\n",
                         static_cast<int>(line.size()), line.data());
    }
    return s;
}

// Writes the ack by rename, so that a reader never sees half of it.
void acknowledge(const std::string &text) {
    if (ovsupport::replace_file(g.control + ".ack", text)) return;
    std::fprintf(stderr, "ovtestfs: cannot write %s.ack: %s\n", g.control.c_str(),
                 std::strerror(errno));
}

bool same_version(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Re-reads the control file when it changed and returns the settings for one
// request. Checking and loading under one lock means that once any request
// has returned, every later one sees what that request saw: a test that
// rewrites the file and then makes one request knows the change is in force.
Settings refresh() {
    std::lock_guard<std::mutex> lock(g.m);
    if (!g.control.empty()) {
        struct stat st {};
        const bool present = stat(g.control.c_str(), &st) == 0;
        if (present != g.control_seen || (present && !same_version(st, g.control_st))) {
            const std::string text = present ? ovsupport::read_file(g.control) : std::string();
            g.current = parse_control(text);
            g.offset_sec.store(g.current.offset_sec);
            g.control_seen = present;
            g.control_st = st;
            if (present) acknowledge(text);
        }
    }
    return g.current;
}

// Every request passes here first: the delay comes before the injected fault,
// as a slow server answers late even when it fails.
int enter(Op op) {
    const Settings s = refresh();
    if (s.latency_ms > 0) {
        timespec d{static_cast<time_t>(s.latency_ms / 1000), (s.latency_ms % 1000) * 1000000};
        while (nanosleep(&d, &d) != 0 && errno == EINTR) {
        }
    }
    return -s.fault[op];
}

// A create or write and the stamp that follows it are two calls on the
// backing file; a getattr between them, from this daemon or from another
// mount of the same directory, would show the host's time instead of the
// server's. Holding a flock on the backing directory makes the pair atomic
// for readers that take it shared. Each holder opens its own descriptor
// because flock locks belong to the open file, not to the thread.
class StampLock {
  public:
    explicit StampLock(int how)
        : fd_(openat(g.backing_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0)
            while (flock(fd_, how) != 0 && errno == EINTR) {
            }
    }
    ~StampLock() {
        if (fd_ >= 0) close(fd_);
    }
    StampLock(const StampLock &) = delete;
    StampLock &operator=(const StampLock &) = delete;

  private:
    int fd_;
};

const char *rel(const char *path) {
    return path[1] == '\0' ? "." : path + 1;
}
int result(int rc) {
    return rc == 0 ? 0 : -errno;
}

timespec server_now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_sec += g.offset_sec.load();
    return t;
}

int stamp_fd(int fd) {
    const timespec now = server_now();
    const timespec t[2] = {now, now};
    return result(futimens(fd, t));
}

int stamp_path(const char *r) {
    const timespec now = server_now();
    const timespec t[2] = {now, now};
    return result(utimensat(g.backing_fd, r, t, AT_SYMLINK_NOFOLLOW));
}

// A server changes a directory's mtime with its own clock when a name in it
// comes or goes. The atime is left alone; a failure here is not the client's.
void stamp_parent(const char *r) {
    const char *slash = std::strrchr(r, '/');
    const std::string parent = slash == nullptr ? "." : std::string(r, slash);
    const timespec t[2] = {{0, UTIME_OMIT}, server_now()};
    utimensat(g.backing_fd, parent.c_str(), t, 0);
}

// The daemon creates everything as root; the caller is to own it.
int give_to_caller(const char *r) {
    const fuse_context *c = fuse_get_context();
    return result(fchownat(g.backing_fd, r, c->uid, c->gid, AT_SYMLINK_NOFOLLOW));
}

// Finishes a create of any kind: owner, stamp, and the parent's mtime.
int created(const char *r) {
    int rc = give_to_caller(r);
    if (rc == 0) rc = stamp_path(r);
    if (rc == 0) stamp_parent(r);
    return rc;
}

// ---- Operations ------------------------------------------------------------------------------

int fs_getattr(const char *path, struct stat *st, fuse_file_info *fi) {
    if (int rc = enter(kGetattr)) return rc;
    StampLock lock(LOCK_SH);
    if (fi != nullptr) return result(fstat(static_cast<int>(fi->fh), st));
    return result(fstatat(g.backing_fd, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

// The listing is read through a handle opened here, because with null paths
// allowed the library passes readdir no path.
int fs_opendir(const char *path, fuse_file_info *fi) {
    if (int rc = enter(kReaddir)) return rc;
    const int fd = openat(g.backing_fd, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    DIR *d = fdopendir(fd);
    if (d == nullptr) {
        const int err = errno;
        close(fd);
        return -err;
    }
    fi->fh = reinterpret_cast<uint64_t>(d);
    return 0;
}

int fs_readdir(const char *, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *fi,
               fuse_readdir_flags) {
    if (int rc = enter(kReaddir)) return rc;
    DIR *d = reinterpret_cast<DIR *>(fi->fh);
    // The whole listing goes out in one call; a second call starts again.
    rewinddir(d);
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (e == nullptr) return -errno;
        struct stat st {};
        st.st_ino = e->d_ino;
        st.st_mode = DTTOIF(e->d_type);
        if (fill(buf, e->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) return 0;
    }
}

int fs_releasedir(const char *, fuse_file_info *fi) {
    closedir(reinterpret_cast<DIR *>(fi->fh));
    return 0;
}

int fs_open(const char *path, fuse_file_info *fi) {
    if (int rc = enter(kOpen)) return rc;
    // A truncating open changes the content, so it is stamped like a truncate.
    const bool truncates = (fi->flags & O_TRUNC) != 0;
    std::optional<StampLock> lock;
    if (truncates) lock.emplace(LOCK_EX);
    const int fd = openat(g.backing_fd, rel(path), fi->flags | O_CLOEXEC);
    if (fd < 0) return -errno;
    if (truncates) {
        if (int rc = stamp_fd(fd)) {
            close(fd);
            return rc;
        }
    }
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;
    return 0;
}

int fs_create(const char *path, mode_t mode, fuse_file_info *fi) {
    if (int rc = enter(kCreate)) return rc;
    const char *r = rel(path);
    StampLock lock(LOCK_EX);
    // The kernel asks for a create when its lookup found nothing, but another
    // mount may have made the name since. An existing file keeps its owner.
    int fd = openat(g.backing_fd, r, fi->flags | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    const bool made = fd >= 0;
    if (fd < 0 && errno == EEXIST && (fi->flags & O_EXCL) == 0)
        fd = openat(g.backing_fd, r, (fi->flags & ~O_CREAT) | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = made ? created(r) : 0;
    if (rc == 0 && !made && (fi->flags & O_TRUNC) != 0) rc = stamp_fd(fd);
    if (rc != 0) {
        close(fd);
        return rc;
    }
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;
    return 0;
}

int fs_read(const char *, char *buf, size_t size, off_t off, fuse_file_info *fi) {
    if (int rc = enter(kRead)) return rc;
    const ssize_t n = pread(static_cast<int>(fi->fh), buf, size, off);
    return n >= 0 ? static_cast<int>(n) : -errno;
}

int fs_write(const char *, const char *buf, size_t size, off_t off, fuse_file_info *fi) {
    if (int rc = enter(kWrite)) return rc;
    const int fd = static_cast<int>(fi->fh);
    StampLock lock(LOCK_EX);
    const ssize_t n = pwrite(fd, buf, size, off);
    if (n < 0) return -errno;
    if (int rc = stamp_fd(fd)) return rc;
    return static_cast<int>(n);
}

int fs_flush(const char *, fuse_file_info *) {
    return enter(kFlush);
}

int fs_fsync(const char *, int datasync, fuse_file_info *fi) {
    if (int rc = enter(kFsync)) return rc;
    const int fd = static_cast<int>(fi->fh);
    return result(datasync != 0 ? fdatasync(fd) : fsync(fd));
}

// The backing descriptor is closed even when a fault is injected: the kernel
// forgets the handle whatever the reply says, so keeping it would only leak.
int fs_release(const char *, fuse_file_info *fi) {
    const int rc = enter(kRelease);
    close(static_cast<int>(fi->fh));
    return rc;
}

int fs_rename(const char *from, const char *to, unsigned int flags) {
    if (int rc = enter(kRename)) return rc;
    if ((flags & ~(RENAME_NOREPLACE | RENAME_EXCHANGE)) != 0) return -EINVAL;
    StampLock lock(LOCK_EX);
    if (renameat2(g.backing_fd, rel(from), g.backing_fd, rel(to), flags) != 0) return -errno;
    stamp_parent(rel(from));
    stamp_parent(rel(to));
    return 0;
}

int fs_unlink(const char *path) {
    if (int rc = enter(kUnlink)) return rc;
    StampLock lock(LOCK_EX);
    if (unlinkat(g.backing_fd, rel(path), 0) != 0) return -errno;
    stamp_parent(rel(path));
    return 0;
}

int fs_rmdir(const char *path) {
    if (int rc = enter(kRmdir)) return rc;
    StampLock lock(LOCK_EX);
    if (unlinkat(g.backing_fd, rel(path), AT_REMOVEDIR) != 0) return -errno;
    stamp_parent(rel(path));
    return 0;
}

// A new link changes neither the owner nor the mtime of the file it names.
int fs_link(const char *from, const char *to) {
    if (int rc = enter(kLink)) return rc;
    StampLock lock(LOCK_EX);
    if (linkat(g.backing_fd, rel(from), g.backing_fd, rel(to), 0) != 0) return -errno;
    stamp_parent(rel(to));
    return 0;
}

int fs_symlink(const char *target, const char *path) {
    if (int rc = enter(kSymlink)) return rc;
    StampLock lock(LOCK_EX);
    if (symlinkat(target, g.backing_fd, rel(path)) != 0) return -errno;
    return created(rel(path));
}

int fs_readlink(const char *path, char *buf, size_t size) {
    if (int rc = enter(kReadlink)) return rc;
    if (size == 0) return -EINVAL;
    const ssize_t n = readlinkat(g.backing_fd, rel(path), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = '\0';
    return 0;
}

int fs_mknod(const char *path, mode_t mode, dev_t dev) {
    if (int rc = enter(kMknod)) return rc;
    StampLock lock(LOCK_EX);
    if (mknodat(g.backing_fd, rel(path), mode, dev) != 0) return -errno;
    return created(rel(path));
}

int fs_mkdir(const char *path, mode_t mode) {
    if (int rc = enter(kMkdir)) return rc;
    StampLock lock(LOCK_EX);
    if (mkdirat(g.backing_fd, rel(path), mode) != 0) return -errno;
    return created(rel(path));
}

int fs_truncate(const char *path, off_t size, fuse_file_info *fi) {
    if (int rc = enter(kTruncate)) return rc;
    StampLock lock(LOCK_EX);
    int fd = fi != nullptr ? static_cast<int>(fi->fh) : -1;
    // There is no truncateat(); O_NONBLOCK keeps a FIFO from stalling the open.
    if (fi == nullptr) {
        fd = openat(g.backing_fd, rel(path), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return -errno;
    }
    int rc = result(ftruncate(fd, size));
    if (rc == 0) rc = stamp_fd(fd);
    if (fi == nullptr) close(fd);
    return rc;
}

// Explicit times are stored as given; "now" means the server's now.
int fs_utimens(const char *path, const timespec tv[2], fuse_file_info *fi) {
    if (int rc = enter(kUtimens)) return rc;
    const timespec now = server_now();
    timespec t[2] = {now, now};
    for (int i = 0; tv != nullptr && i < 2; ++i)
        if (tv[i].tv_nsec != UTIME_NOW) t[i] = tv[i];
    StampLock lock(LOCK_EX);
    if (fi != nullptr) return result(futimens(static_cast<int>(fi->fh), t));
    return result(utimensat(g.backing_fd, rel(path), t, AT_SYMLINK_NOFOLLOW));
}

int fs_chmod(const char *path, mode_t mode, fuse_file_info *fi) {
    if (int rc = enter(kChmod)) return rc;
    if (fi != nullptr) return result(fchmod(static_cast<int>(fi->fh), mode));
    return result(fchmodat(g.backing_fd, rel(path), mode, 0));
}

int fs_chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi) {
    if (int rc = enter(kChown)) return rc;
    if (fi != nullptr) return result(fchown(static_cast<int>(fi->fh), uid, gid));
    return result(fchownat(g.backing_fd, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int fs_statfs(const char *, struct statvfs *st) {
    if (int rc = enter(kStatfs)) return rc;
    return result(fstatvfs(g.backing_fd, st));
}

int fs_access(const char *path, int mask) {
    if (int rc = enter(kAccess)) return rc;
    return result(faccessat(g.backing_fd, rel(path), mask, 0));
}

// Nothing may be cached in the kernel: every stat, lookup, read and write is
// to reach the daemon, as it reaches the server from an NFS client that
// caches no attributes. Removing an open file removes it at once, so that no
// hidden placeholder names appear beside the lock files; open handles keep
// working through their descriptors, which is why a null path is fine.
void *fs_init(fuse_conn_info *conn, fuse_config *cfg) {
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->auto_cache = 0;
    cfg->use_ino = 1;
    cfg->readdir_ino = 1;
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    if (!g.ready.empty()) {
        const int fd = open(g.ready.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
        else
            std::fprintf(stderr, "ovtestfs: cannot create %s: %s\n", g.ready.c_str(),
                         std::strerror(errno));
    }
    return nullptr;
}

fuse_operations make_operations() {
    fuse_operations ops{};
    ops.getattr = fs_getattr;
    ops.readlink = fs_readlink;
    ops.mknod = fs_mknod;
    ops.mkdir = fs_mkdir;
    ops.unlink = fs_unlink;
    ops.rmdir = fs_rmdir;
    ops.symlink = fs_symlink;
    ops.rename = fs_rename;
    ops.link = fs_link;
    ops.chmod = fs_chmod;
    ops.chown = fs_chown;
    ops.truncate = fs_truncate;
    ops.open = fs_open;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.statfs = fs_statfs;
    ops.flush = fs_flush;
    ops.release = fs_release;
    ops.fsync = fs_fsync;
    ops.opendir = fs_opendir;
    ops.readdir = fs_readdir;
    ops.releasedir = fs_releasedir;
    ops.init = fs_init;
    ops.access = fs_access;
    ops.create = fs_create;
    ops.utimens = fs_utimens;
    return ops;
}

int usage() {
    std::fprintf(stderr,
                 "usage: ovtestfs [--offset=SECONDS] [--latency-ms=N] [--control=FILE] "
                 "[--ready=FILE] BACKING_DIR MOUNTPOINT\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const char *positional[2] = {};
    int npositional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view name) -> std::optional<std::string_view> {
            if (arg.substr(0, name.size()) != name) return std::nullopt;
            return arg.substr(name.size());
        };
        bool ok = true;
        if (auto v = value("--offset="))
            ok = parse_int(*v, &g.start.offset_sec);
        else if (auto v = value("--latency-ms="))
            ok = parse_int(*v, &g.start.latency_ms) && g.start.latency_ms >= 0;
        else if (auto v = value("--control="))
            g.control = *v;
        else if (auto v = value("--ready="))
            g.ready = *v;
        else if (arg.substr(0, 1) != "-" && npositional < 2)
            positional[npositional++] = argv[i];
        else
            ok = false;
        if (!ok) return usage();
    }
    if (npositional != 2) return usage();
    g.current = g.start;
    g.offset_sec.store(g.start.offset_sec);

    // The kernel has already applied the caller's umask to the modes it
    // sends; the daemon's own must not take away more.
    umask(0);
    g.backing_fd = open(positional[0], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g.backing_fd < 0) {
        std::fprintf(stderr, "ovtestfs: %s: %s\n", positional[0], std::strerror(errno));
        return 1;
    }

    // default_permissions has the kernel check the mode bits for every
    // caller, which the daemon running as root would not; allow_other lets
    // users other than root use the mount at all.
    char arg0[] = "ovtestfs", dash_o[] = "-o",
         options[] = "default_permissions,allow_other,fsname=ovtestfs,subtype=ovtestfs";
    char *fuse_argv[] = {arg0, dash_o, options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    const fuse_operations ops = make_operations();
    fuse *f = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (f == nullptr) return 1;
    if (fuse_mount(f, positional[1]) != 0) {
        fuse_destroy(f);
        return 1;
    }
    fuse_session *se = fuse_get_session(f);
    if (fuse_set_signal_handlers(se) != 0) {
        fuse_unmount(f);
        fuse_destroy(f);
        return 1;
    }
    fuse_loop_config loop{};
    loop.clone_fd = 0;
    loop.max_idle_threads = 10;
    // The loop returns the number of the signal that ended it, 0 after an
    // unmount, or a negative errno when it failed.
    const int rc = fuse_loop_mt(f, &loop);
    fuse_remove_signal_handlers(se);
    fuse_unmount(f);
    fuse_destroy(f);
    fuse_opt_free_args(&args);
    return rc < 0 ? 1 : 0;
}
