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

bool close_with_close_range(int first) noexcept {
#ifdef SYS_close_range
    return syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0;
#else
    (void)first;
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
bool close_listed(int first) noexcept {
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
                if (fd >= first && fd != dir) {
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

bool close_descriptors_by(CloseWay way, int first) noexcept {
    if (first < 0) return true;
    switch (way) {
        case CloseWay::kCloseRange:
            return close_with_close_range(first);
        case CloseWay::kListed:
            return close_listed(first);
        case CloseWay::kLoop:
            break;
    }
    const long limit = open_file_limit();
    for (long fd = first; fd < limit; ++fd) close(static_cast<int>(fd));
    return true;
}

void close_descriptors_from(int first) noexcept {
    const int saved = errno;
    if (!close_descriptors_by(CloseWay::kCloseRange, first) &&
        !close_descriptors_by(CloseWay::kListed, first))
        close_descriptors_by(CloseWay::kLoop, first);
    errno = saved;
}

}  // namespace ov::detail
