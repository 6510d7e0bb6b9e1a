// ovplatform_descriptors.cpp - closing the descriptors a new program must not
// inherit.
//
// Part of the platform module (internal/descriptors.h). Three ways, fastest
// first: close_range(2) (Linux 5.9 and later), the list of open descriptors in
// /proc/self/fd read with getdents64(2) into a buffer on the stack, and the
// loop over every number up to the open-file limit. All three close the same
// set; the last two only differ from the first in the time they take.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "internal/descriptors.h"

namespace {

// The layout getdents64(2) writes, which the C library does not declare.
struct LinuxDirent64 {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// The descriptors to leave open, sorted, without those below the first one
// to close and without repeats. A handful at most: a process that closes
// everything keeps only what it still writes through.
class Kept {
  public:
    static constexpr int kMost = 8;
    Kept(int first, const int *keep, int count) noexcept {
        for (int i = 0; i < count && size_ < kMost; ++i) {
            const int fd = keep[i];
            if (fd < first || contains(fd)) continue;
            int at = size_++;
            for (; at > 0 && fds_[at - 1] > fd; --at) fds_[at] = fds_[at - 1];
            fds_[at] = fd;
        }
    }
    bool contains(int fd) const noexcept {
        for (int i = 0; i < size_; ++i)
            if (fds_[i] == fd) return true;
        return false;
    }
    const int *begin() const noexcept { return fds_; }
    const int *end() const noexcept { return fds_ + size_; }

  private:
    int fds_[kMost] = {};
    int size_ = 0;
};

// One close_range(2) for each gap between the kept descriptors. Only the
// first call can find the system call missing, and nothing is closed then.
bool close_with_close_range(int first, const Kept &kept) noexcept {
#ifdef SYS_close_range
    unsigned low = static_cast<unsigned>(first);
    for (const int fd : kept) {
        const unsigned high = static_cast<unsigned>(fd);
        if (low < high && syscall(SYS_close_range, low, high - 1, 0u) != 0) return false;
        low = high + 1;
    }
    return syscall(SYS_close_range, low, ~0u, 0u) == 0;
#else
    (void)first;
    (void)kept;
    return false;
#endif
}

// Parses a descriptor number written by the kernel; -1 for "." and "..".
int descriptor_of(const char *name) noexcept {
    if (*name == '\0') return -1;
    long value = 0;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9' || value > INT_MAX / 10) return -1;
        value = value * 10 + (*name - '0');
    }
    return value <= INT_MAX ? static_cast<int>(value) : -1;
}

// Closes what /proc/self/fd lists at first or above, leaving the directory's
// own descriptor for last. Closing entries while reading the directory is
// safe: a descriptor once closed is not listed again, and each pass starts
// from the beginning until one finds nothing left to close.
bool close_listed(int first, const Kept &kept) noexcept {
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    alignas(LinuxDirent64) char buffer[4096];
    bool closed_any = true;
    while (closed_any) {
        closed_any = false;
        if (lseek(dir, 0, SEEK_SET) != 0) break;
        for (;;) {
            const long n = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
            if (n <= 0) break;
            for (long pos = 0; pos < n;) {
                const auto *entry = reinterpret_cast<const LinuxDirent64 *>(buffer + pos);
                pos += entry->reclen;
                const int fd = descriptor_of(entry->name);
                if (fd >= first && fd != dir && !kept.contains(fd)) {
                    close(fd);
                    closed_any = true;
                }
            }
        }
    }
    close(dir);
    return true;
}

}  // namespace

namespace ov::detail {

long open_file_limit() noexcept {
    const long limit = sysconf(_SC_OPEN_MAX);
    return limit > 0 ? limit : 1024;
}

bool close_descriptors_except_by(CloseWay way, int first, const int *keep, int count) noexcept {
    if (first < 0) return true;
    const Kept kept(first, keep, count);
    switch (way) {
        case CloseWay::kCloseRange:
            return close_with_close_range(first, kept);
        case CloseWay::kListed:
            return close_listed(first, kept);
        case CloseWay::kLoop:
            break;
    }
    const long limit = open_file_limit();
    for (long fd = first; fd < limit; ++fd) {
        if (!kept.contains(static_cast<int>(fd))) close(static_cast<int>(fd));
    }
    return true;
}

bool close_descriptors_by(CloseWay way, int first) noexcept {
    return close_descriptors_except_by(way, first, nullptr, 0);
}

void close_descriptors_except(int first, const int *keep, int count) noexcept {
    const int saved = errno;
    if (!close_descriptors_except_by(CloseWay::kCloseRange, first, keep, count) &&
        !close_descriptors_except_by(CloseWay::kListed, first, keep, count))
        close_descriptors_except_by(CloseWay::kLoop, first, keep, count);
    errno = saved;
}

void close_descriptors_from(int first) noexcept {
    close_descriptors_except(first, nullptr, 0);
}

}  // namespace ov::detail
