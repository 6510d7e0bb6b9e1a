// ovplatform_filesystems.cpp - the file systems of the machine and their
// space.
//
// Part of the platform module. Lists the file systems that "/etc/fstab"
// names, one record per file system with its sizes, reads the free space of
// the file system that holds a path, and gives the list of name-space roots,
// which on this system is "/" alone. The lists are heap records in pairs of
// a making and a freeing call; a listing that fails leaves nothing behind.
#include <ovplatform/overror.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>

#include <mntent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "internal/limits.h"

namespace {

constexpr char kFstab[] = "/etc/fstab";
// Swap areas are listed with this mount point; they hold no files.
constexpr char kNoMountPoint[] = "none";
// The text of one entry; a longer line is skipped whole by the C library.
constexpr size_t kEntryTextSize = 4096;

static_assert(OV_PLATFORM_PATH_SIZE == ov::detail::kPathSize, "the record's texts are paths");

// Closes the table with endmntent(3) on every way out.
struct MountTableCloser {
    void operator()(FILE *table) const noexcept { endmntent(table); }
};

// Owns a list while it is built, so that a failure frees what was made.
class MountList {
  public:
    MountList() noexcept = default;
    MountList(const MountList &) = delete;
    MountList &operator=(const MountList &) = delete;
    ~MountList() { (void)ov_platform_mounts_free(&head_); }

    // An error-free record of the file system with this device, if any. A
    // record of an unreadable mount point has no device to compare.
    bool has_device(uint64_t device) const noexcept {
        for (const ov_mount_t *m = head_; m != nullptr; m = m->next)
            if (m->error == 0 && m->device_id == device) return true;
        return false;
    }

    // A new zero-filled record at the end, or null when memory is short.
    ov_mount_t *append() noexcept {
        auto *record = static_cast<ov_mount_t *>(std::calloc(1, sizeof(ov_mount_t)));
        if (record == nullptr) return nullptr;
        *tail_ = record;
        tail_ = &record->next;
        return record;
    }

    ov_mount_t *release() noexcept {
        ov_mount_t *head = head_;
        head_ = nullptr;
        tail_ = &head_;
        return head;
    }

  private:
    ov_mount_t *head_ = nullptr;
    ov_mount_t **tail_ = &head_;
};

void fill_space(ov_mount_t *record, const struct statvfs &space) {
    record->total_bytes = static_cast<uint64_t>(space.f_blocks) * space.f_bsize;
    record->used_bytes = static_cast<uint64_t>(space.f_blocks - space.f_bfree) * space.f_bsize;
    record->available_bytes = static_cast<uint64_t>(space.f_bavail) * space.f_bsize;
    record->file_nodes = space.f_files;
}

}  // namespace

extern "C" {

int32_t ov_platform_mounts(ov_mount_t **out) noexcept {
    if (out == nullptr) return EINVAL;
    *out = nullptr;
    const std::unique_ptr<FILE, MountTableCloser> table(setmntent(kFstab, "r"));
    if (table == nullptr) return errno;

    MountList list;
    struct mntent entry {};
    char text[kEntryTextSize];
    while (getmntent_r(table.get(), &entry, text, sizeof text) != nullptr) {
        // A line longer than the entry's text is cut by the C library, which
        // then reads the cut part as an entry without a mount point; such an
        // entry, or a malformed one, names no file system and is passed over
        // rather than listed with a made-up error.
        if (entry.mnt_dir[0] == '\0' || std::strcmp(entry.mnt_dir, kNoMountPoint) == 0) continue;
        struct stat status {};
        const int error = stat(entry.mnt_dir, &status) == 0 ? 0 : errno;
        if (error == 0 && list.has_device(status.st_dev)) continue;

        ov_mount_t *record = list.append();
        if (record == nullptr) return ENOMEM;
        // The entry's texts come from a buffer smaller than the record's
        // fields, so these copies are never cut.
        (void)ov_str_copy(record->device, entry.mnt_fsname, sizeof record->device);
        (void)ov_str_copy(record->mount_point, entry.mnt_dir, sizeof record->mount_point);
        (void)ov_str_copy(record->type, entry.mnt_type, sizeof record->type);
        record->error = error;
        if (error != 0) continue;
        record->device_id = status.st_dev;
        struct statvfs space {};
        if (statvfs(entry.mnt_dir, &space) != 0) return errno;
        fill_space(record, space);
    }
    *out = list.release();
    return 0;
}

int32_t ov_platform_mounts_free(ov_mount_t **list) noexcept {
    if (list == nullptr) return 0;
    ov_mount_t *record = *list;
    *list = nullptr;
    while (record != nullptr) {
        ov_mount_t *next = record->next;
        std::free(record);
        record = next;
    }
    return 0;
}

int32_t ov_platform_fs_space(const char *path, uint64_t *fragment_size, uint64_t *available_blocks,
                             uint64_t *total_blocks) noexcept {
    if (path == nullptr || path[0] == '\0' || fragment_size == nullptr ||
        available_blocks == nullptr || total_blocks == nullptr)
        return EINVAL;
    struct statvfs space {};
    // Callers have always received EIO here, whatever the reason; a missing
    // path is not told apart from a broken file system.
    if (statvfs(path, &space) != 0) return EIO;
    *fragment_size = space.f_frsize;
    *available_blocks = space.f_bavail;
    *total_blocks = space.f_blocks;
    return 0;
}

int32_t ov_platform_root_list(ov_root_t **out) noexcept {
    if (out == nullptr) return EINVAL;
    auto *root = static_cast<ov_root_t *>(std::calloc(1, sizeof(ov_root_t)));
    if (root == nullptr) return ENOMEM;
    const int32_t rc = ov_str_copy(root->path, "/", sizeof root->path);
    if (rc != 0) {
        std::free(root);
        return rc;
    }
    *out = root;
    return 0;
}

int32_t ov_platform_root_list_free(ov_root_t **list) noexcept {
    if (list == nullptr) return 0;
    ov_root_t *node = *list;
    *list = nullptr;
    while (node != nullptr) {
        ov_root_t *next = node->next;
        std::free(node);
        node = next;
    }
    return 0;
}

}  // extern "C"
