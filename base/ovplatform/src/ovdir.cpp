// ovdir.cpp - directories: reading names, creation with parents, tree
// removal and a depth-first walk.
//
// Reading wraps one directory stream. Creation makes a directory together
// with its missing ancestors, from the outermost inwards, and reports every
// directory it passes to an optional callback. Tree removal reads each
// directory once, deletes what is not a directory, closes the stream and
// only then descends, so that at most one stream is open however deep the
// tree is. The walker keeps an explicit stack of open directories instead of
// recursing. File status, deletion and joining come from ovfile, except
// that the tree removal reads and removes the entries of a directory
// relative to its open stream; the canonical form comes from ovpath.
//
// Divisions: the tree removal's levels and name lists; reading; creation;
// removal; the walk.
#include <ovplatform/overror.h>
#include <ovplatform/ovdir.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovstring.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#define OV_LOG_SOURCE "base/ovplatform/src/ovdir"
#include "internal/allocation.h"
#include "internal/limits.h"
#include "internal/log.h"
#include "internal/raii.h"

namespace {

using namespace ov::detail;

static_assert(OV_DIR_NAME_SIZE == kPathSize, "a directory's names and paths are paths");

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int32_t report(ov_dir_create_callback_t callback, const char *path, int created, uint64_t user) {
    return callback != nullptr ? callback(path, created, user) : 0;
}

// One level of a tree removal. It lives on the heap so that a deep tree
// costs little stack per level.
struct RemoveLevel {
    DirCloser dir;
    char name[kPathSize];
    char joined[kPathSize];
};

// The names of the subdirectories of one level, in reading order.
struct NameNode {
    NameNode *next;
    char *name;  // stored right behind the node, in the same allocation
};

class NameList {
  public:
    NameList() = default;
    NameList(const NameList &) = delete;
    NameList &operator=(const NameList &) = delete;
    ~NameList() {
        while (head_ != nullptr) destroy(std::exchange(head_, head_->next));
    }

    int32_t append(const char *name) {
        size_t length = std::strlen(name);
        auto *node = create_with_tail<NameNode>(length + 1);
        if (node == nullptr) return ENOMEM;
        node->next = nullptr;
        node->name = tail_of(node);
        std::memcpy(node->name, name, length + 1);
        *tail_ = node;
        tail_ = &node->next;
        return 0;
    }

    const NameNode *head() const { return head_; }

  private:
    NameNode *head_ = nullptr;
    NameNode **tail_ = &head_;
};

// The next name of a directory stream, as ov_dir_read reads it, and the
// entry's type as the directory records it (DT_UNKNOWN where the file system
// does not).
int32_t read_entry(DIR *stream, char *name, unsigned char *type) {
    // readdir(3) tells the end of the directory from a failure only by
    // errno, which must therefore be cleared first.
    errno = 0;
    struct dirent *entry = readdir(stream);
    int err = errno;
    if (entry == nullptr) return err != 0 ? err : EDIREND;
    if (err != 0) return err;
    if (entry->d_name[0] == '\0') return EIO;
    int32_t rc = ov_str_copy(name, entry->d_name, kPathSize);
    if (rc != 0) {
        name[0] = '\0';
        return rc;
    }
    *type = entry->d_type;
    return 0;
}

// Reads one directory: deletes everything in it that is not a directory
// and remembers the subdirectories. Returns the first failure.
//
// Names are looked at and removed relative to the open directory: one
// lookup of one name per entry instead of two walks of the whole path,
// which made the removal of a large tree markedly slower than the
// command-line tools, and always in the directory that is being read.
// The entry's type comes from the directory itself where the file system
// records it; only where it does not is the entry's own status read.
int32_t scan_level(RemoveLevel *level, NameList *subdirs, uint64_t *count) {
    const int fd = dirfd(level->dir.get());
    for (;;) {
        unsigned char type = DT_UNKNOWN;
        int32_t rc = read_entry(level->dir.get(), level->name, &type);
        if (rc == EDIREND) return 0;
        if (rc != 0) return rc;
        if (is_dot_or_dotdot(level->name)) continue;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(fd, level->name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
            type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR) {
            rc = subdirs->append(level->name);
            if (rc != 0) return rc;
            continue;
        }
        // Symbolic links land here too: the link goes, its target stays.
        if (unlinkat(fd, level->name, 0) != 0) return errno;
        if (count != nullptr) ++*count;
    }
}

// Writes into prefix the text that the subdirectory names are appended to:
// the canonical form of path and a '/'. The canonical form is lexical, so
// "link/.." would name another directory than the one that was read; when
// the two differ on disk, the path as given is used instead.
int32_t subdir_prefix(const char *path, const struct stat &scanned, char *prefix, size_t size) {
    if (ov_path_canonical(path, prefix, size) != 0) return EINVAL;
    struct stat canonical;
    if (stat(prefix, &canonical) != 0 || canonical.st_dev != scanned.st_dev ||
        canonical.st_ino != scanned.st_ino) {
        if (ov_str_copy(prefix, path, size) != 0) return EPATHMAX;
    }
    size_t length = std::strlen(prefix);
    if (length > 0 && prefix[length - 1] != '/') {
        if (length + 1 >= size) return EPATHMAX;
        prefix[length] = '/';
        prefix[length + 1] = '\0';
    }
    return 0;
}

int32_t remove_tree(const char *path, uint64_t *count) {
    Created<RemoveLevel> level(create<RemoveLevel>());
    if (level == nullptr) return ENOMEM;
    ov_dir_t dir;
    int32_t rc = ov_dir_open(path, &dir);
    if (rc != 0) return rc;
    level->dir = DirCloser(dir.stream);
    struct stat scanned;
    bool identified = fstat(dirfd(level->dir.get()), &scanned) == 0;
    NameList subdirs;
    int32_t scan = scan_level(level.get(), &subdirs, count);
    // The stream is closed before descending, so that only one directory
    // stream is open at any depth.
    (void)level->dir.close();
    if (scan != 0) return scan;
    if (!identified) std::memset(&scanned, 0, sizeof scanned);

    char *prefix = level->joined;
    rc = subdir_prefix(path, scanned, prefix, sizeof level->joined);
    if (rc != 0) return rc;
    const size_t prefix_length = std::strlen(prefix);
    for (const NameNode *node = subdirs.head(); node != nullptr; node = node->next) {
        // The canonical form turns '\' into '/', so a name holding one would
        // lead the next level to a different directory.
        if (std::strchr(node->name, '\\') != nullptr) {
            OV_LOG(kLogError, "Does not support removing files or directories when path='\\'.");
            return EINVAL;
        }
        size_t pos = prefix_length;
        prefix[pos] = '\0';
        if (ov_str_to(prefix, node->name, sizeof level->joined, &pos) != 0) return EPATHMAX;
        rc = remove_tree(prefix, count);
        if (rc != 0) return rc;
    }
    // path may be the caller's own level buffer, which outlives this one.
    level.reset();
    if (rmdir(path) != 0) return errno;
    if (count != nullptr) ++*count;
    return 0;
}

ov_dir_frame_t *new_frame(const char *path, int32_t *rc) {
    auto *frame = create<ov_dir_frame_t>();
    if (frame == nullptr) {
        *rc = ENOMEM;
        return nullptr;
    }
    frame->stream = nullptr;
    frame->up = nullptr;
    *rc = ov_str_copy(frame->path, path, sizeof frame->path);
    if (*rc != 0) {
        destroy(frame);
        return nullptr;
    }
    return frame;
}

int32_t open_frame(ov_dir_frame_t *frame) {
    frame->stream = opendir(frame->path);
    if (frame->stream == nullptr) return errno;
    return 0;
}

}  // namespace

extern "C" {

int32_t ov_dir_init(ov_dir_t *dir) noexcept {
    if (dir == nullptr) return EINVAL;
    dir->stream = nullptr;
    return 0;
}

int32_t ov_dir_open(const char *path, ov_dir_t *dir) noexcept {
    if (dir == nullptr) return EINVAL;
    dir->stream = opendir(path);
    if (dir->stream == nullptr) return errno;
    return 0;
}

int32_t ov_dir_is_open(const ov_dir_t *dir) noexcept {
    if (dir == nullptr) return EINVAL;
    return dir->stream != nullptr ? 1 : 0;
}

int32_t ov_dir_read(ov_dir_t *dir, char *name) noexcept {
    if (dir == nullptr || name == nullptr || dir->stream == nullptr) return EINVAL;
    unsigned char type = DT_UNKNOWN;
    return read_entry(dir->stream, name, &type);
}

int32_t ov_dir_close(ov_dir_t *dir) noexcept {
    if (dir == nullptr) return EINVAL;
    // Like a file handle of -1, a closed directory handle may be closed
    // again on every exit path.
    if (dir->stream == nullptr) return 0;
    // closedir(3) frees the stream even when it reports a failure, so the
    // handle lets go of it first: a second close must not reach freed memory.
    DIR *const stream = dir->stream;
    dir->stream = nullptr;
    if (closedir(stream) != 0) return errno;
    return 0;
}

int32_t ov_dir_create_cb(const char *path, uint32_t mode, int parents,
                         ov_dir_create_callback_t callback, uint64_t user) noexcept {
    if (path == nullptr) return EINVAL;
    ov_stat_t status;
    int32_t rc = ov_file_stat(path, &status, OV_STAT_NOFOLLOW);
    if (rc == 0) {
        if (status.type == OV_FILE_TYPE_LINK) {
            rc = ov_file_stat(path, &status, 0);
            if (rc != 0) return rc;
        }
        if (status.type != OV_FILE_TYPE_DIR) return ENOTDIR;
        return report(callback, path, 0, user);
    }
    if (rc != ENOENT) return rc;

    if (parents) {
        char prefix[kPathSize];
        const char *p = path;
        for (;;) {
            while (*p == '/') ++p;
            const char *slash = std::strchr(p, '/');
            if (slash == nullptr) break;
            size_t length = static_cast<size_t>(slash - path);
            if (length > kPathSize - 1) return ERANGE;
            std::memcpy(prefix, path, length);
            prefix[length] = '\0';
            rc = ov_dir_create_cb(prefix, mode, 0, callback, user);
            if (rc != 0) return rc;
            p = slash + 1;
        }
    }

    if (mkdir(path, static_cast<mode_t>(mode)) != 0) return errno;
    return report(callback, path, 1, user);
}

int32_t ov_dir_create(const char *path, uint32_t mode, int parents) noexcept {
    return ov_dir_create_cb(path, mode, parents, nullptr, 0);
}

int32_t ov_dir_create_recursive_cb(const char *path, uint32_t mode,
                                   ov_dir_create_callback_t callback, uint64_t user) noexcept {
    if (path == nullptr || path[0] == '\0') return EINVAL;
    if (ov_file_exists(path, OV_STAT_NOFOLLOW)) return 0;
    char parent[kPathSize];
    if (ov_path_parent(path, parent, sizeof parent) < 0) return EINVAL;
    // The parent of a text made only of ".." components grows instead of
    // shrinking; such a parent is not pursued, mkdir(2) then reports on it.
    if (std::strlen(parent) < std::strlen(path)) {
        int32_t rc = ov_dir_create_recursive_cb(parent, mode, callback, user);
        if (rc != 0 && rc != EEXIST) return rc;
    }
    if (mkdir(path, static_cast<mode_t>(mode)) != 0) return errno;
    return report(callback, path, 1, user);
}

int32_t ov_dir_remove(const char *path, int recursive, uint64_t *count) noexcept {
    if (path == nullptr) return EINVAL;
    if (!recursive) {
        if (rmdir(path) != 0) return errno;
        if (count != nullptr) ++*count;
        return 0;
    }
    return remove_tree(path, count);
}

int32_t ov_dir_remove_tree(const char *path, int recursive) noexcept {
    return ov_dir_remove(path, recursive, nullptr);
}

int32_t ov_dir_walk_open(ov_dir_walk_t **walker, const char *path) noexcept {
    if (walker == nullptr || path == nullptr) return EINVAL;
    *walker = nullptr;
    auto *walk = create<ov_dir_walk_t>();
    if (walk == nullptr) return ENOMEM;
    walk->top = nullptr;
    walk->single_file = 0;
    int32_t rc = 0;
    ov_dir_frame_t *frame = new_frame(path, &rc);
    if (frame == nullptr) {
        destroy(walk);
        return rc;
    }
    ov_stat_t status;
    rc = ov_file_stat(frame->path, &status, 0);
    if (rc == 0) {
        if (status.type == OV_FILE_TYPE_REG)
            walk->single_file = 1;
        else if (status.type == OV_FILE_TYPE_DIR)
            rc = open_frame(frame);
        else
            rc = ENOTDIR;
    }
    if (rc != 0) {
        destroy(frame);
        destroy(walk);
        return rc;
    }
    walk->top = frame;
    *walker = walk;
    return 0;
}

int32_t ov_dir_walk_next(ov_dir_walk_t *walker, char *out, size_t size, int32_t *type) noexcept {
    if (walker == nullptr || out == nullptr) return EINVAL;
    ov_dir_frame_t *frame = walker->top;
    if (frame == nullptr) return EDIREND;
    if (walker->single_file) {
        int32_t rc = ov_str_copy(out, frame->path, size);
        if (rc != 0) return rc;
        if (type != nullptr) *type = OV_DIR_WALK_FILE;
        return ov_dir_walk_pop(walker);
    }

    ov_dir_t dir{frame->stream};
    char name[kPathSize];
    int32_t rc;
    do {
        rc = ov_dir_read(&dir, name);
    } while (rc == 0 && is_dot_or_dotdot(name));
    if (rc == EDIREND) {
        rc = ov_str_copy(out, "..", size);
        if (rc != 0) return rc;
        if (type != nullptr) *type = OV_DIR_WALK_UP;
        return ov_dir_walk_pop(walker);
    }
    if (rc != 0) return rc;

    rc = ov_file_path_join(frame->path, name, out, size);
    if (rc != 0) return rc;
    ov_stat_t status;
    rc = ov_file_stat(out, &status, 0);
    if (rc != 0) return rc;
    int32_t kind = OV_DIR_WALK_OTHER;
    if (status.type == OV_FILE_TYPE_REG) kind = OV_DIR_WALK_FILE;
    if (status.type == OV_FILE_TYPE_DIR) kind = OV_DIR_WALK_DIR;
    if (type != nullptr) *type = kind;
    if (kind != OV_DIR_WALK_DIR) return 0;

    ov_dir_frame_t *inner = new_frame(out, &rc);
    if (inner == nullptr) return rc;
    rc = open_frame(inner);
    if (rc != 0) {
        destroy(inner);
        return rc;
    }
    inner->up = frame;
    walker->top = inner;
    return 0;
}

int32_t ov_dir_walk_pop(ov_dir_walk_t *walker) noexcept {
    if (walker == nullptr || walker->top == nullptr) return EINVAL;
    ov_dir_frame_t *frame = walker->top;
    if (!walker->single_file && frame->stream != nullptr) closedir(frame->stream);
    walker->top = frame->up;
    destroy(frame);
    return 0;
}

int32_t ov_dir_walk_close(ov_dir_walk_t **walker) noexcept {
    if (walker == nullptr || *walker == nullptr) return EINVAL;
    while ((*walker)->top != nullptr) ov_dir_walk_pop(*walker);
    destroy(*walker);
    *walker = nullptr;
    return 0;
}

}  // extern "C"
