// ovlog_ring.cpp - the log file ring: where log files live and when they rotate.
//
// The file destination writes into a ring of numbered files named after the
// configured path: "./app.log" gives app.0.log, app.1.log, ... up to the
// highest file number, and the unnumbered name is kept as a hard link to the
// newest file so that a reader always finds the current log under the name
// that was configured. This file derives that base path, picks the current
// file from what is on disk, and rotates to the next file when the current one
// is full. The ring leaves a gap after its newest file (the file after the
// current one is deleted at each rotation), which is how the newest end is
// found again after a restart.
//
// The line writer (ovlog_writer.cpp) reads the current descriptor without a
// lock; the file mutex serialises only the size check and the opening of the
// ring. A rotation keeps the replaced descriptor open until the next one, so a
// thread still writing through it never writes to a closed descriptor.
//
// The tools log into the current directory, and jobs run by root from cron
// often work in directories that everyone can write. Every name of the ring
// is therefore opened as if an attacker had placed it: a symbolic link is not
// followed, a FIFO does not block the opening, and a file that is not a
// regular file of this user, or that has a hard link besides the ring's own,
// is refused with one line on standard error. The ring then stops, as it does
// when a file cannot be opened, rather than write where the name leads. The
// ring's descriptors are close-on-exec, so that no program the process starts
// inherits the log.
//
// Divisions: settings and state; the names and numbers of the ring's files;
// opening one file of the ring; opening the ring; what the logger and the
// line writer call (set-up, size check, close, flush); the size settings of
// the C API.
#include <ovplatform/ovdir.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovsynchron.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/limits.h"
#include "internal/ovlog_parts.h"
#include "internal/raii.h"

namespace ov::logging {
namespace {

using namespace ov::detail;

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kDefaultSizeLimit = 10 * kMiB;
constexpr int kDefaultHighest = 9;
constexpr int kMostFiles = 250;
// Room for a dot, three digits and the terminating zero after the base path.
constexpr size_t kLongestBasePath = kPathSize - 5;
constexpr uint64_t kLargestSuffixMiB = (uint64_t{1} << 29) - 1;
constexpr size_t kMostExtension = 7;

// Settings may change at any time, also while other threads log.
std::atomic<uint64_t> g_size_limit{kDefaultSizeLimit};
std::atomic<int> g_highest{kDefaultHighest};

// Written by the set-up only, read under the file mutex.
char g_base_path[kPathSize];
// Read by every writing thread; changed under the file mutex.
std::atomic<int> g_current{-1};
// Only touched under the file mutex (and at close).
ov_file_t g_previous = -1;
ov_mutex_t g_file_mutex;

thread_local bool t_in_size_check = false;

// Marks the calling thread as inside a size check for the scope.
class SizeCheckMark {
  public:
    SizeCheckMark() noexcept { t_in_size_check = true; }
    ~SizeCheckMark() { t_in_size_check = false; }
    SizeCheckMark(const SizeCheckMark &) = delete;
    SizeCheckMark &operator=(const SizeCheckMark &) = delete;
};

// The log is not available while the ring cannot be opened, so its failures
// go to standard error.
void report_to_stderr(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));
void report_to_stderr(const char *format, ...) noexcept {
    char text[kPathSize + 128];
    size_t pos = 0;
    va_list args;
    va_start(args, format);
    ov_str_vprintf_to(text, sizeof text, &pos, format, args);
    va_end(args);
    ov_file_t err = 2;
    uint64_t written = 0;
    ov_file_write(&err, text, std::strlen(text), &written);
}

// The names of the ring derived from the base log path: the numbered file N
// is stem_path, N and extension; the directory is read to find the files.
struct RingNames {
    char directory[kPathSize];
    char stem_path[kPathSize];
    std::string_view stem;  // the stem alone, inside stem_path
    char extension[kMostExtension + 1];
};

int32_t derive_ring_names(const char *base, RingNames *names) noexcept {
    const char *slash = std::strrchr(base, '/');
    const char *name = slash != nullptr ? slash + 1 : base;
    const size_t prefix = static_cast<size_t>(name - base);
    if (slash == nullptr) {
        ov_str_copy(names->directory, ".", sizeof names->directory);
    } else if (slash == base) {
        ov_str_copy(names->directory, "/", sizeof names->directory);
    } else {
        size_t pos = 0;
        ov_strn_to(names->directory, base, prefix - 1, sizeof names->directory, &pos);
    }
    const char *dot = std::strrchr(name, '.');
    size_t pos = 0;
    int32_t rc;
    if (dot != nullptr) {
        rc = ov_strn_to(names->stem_path, base, static_cast<size_t>(dot - base) + 1,
                        sizeof names->stem_path, &pos);
        std::memcpy(names->extension, dot, std::min(std::strlen(dot), kMostExtension));
        names->extension[std::min(std::strlen(dot), kMostExtension)] = '\0';
    } else {
        rc = ov_str_concat_to(names->stem_path, sizeof names->stem_path, &pos, base, ".",
                              static_cast<const char *>(nullptr));
        names->extension[0] = '\0';
    }
    if (rc != 0) return EINVAL;
    names->stem = std::string_view(names->stem_path + prefix, pos - prefix);
    return 0;
}

// The number of a directory entry that belongs to the ring, or -1: the stem,
// one or more digits forming a number no higher than highest, and exactly the
// extension. The digits alone are counted, so that an extension that was cut
// to seven characters still finds its files.
int ring_number(const char *entry, const RingNames &names, int highest) noexcept {
    const std::string_view text(entry);
    const std::string_view extension(names.extension);
    if (text.size() < names.stem.size() + 1 + extension.size()) return -1;
    // Compared by hand rather than with starts_with or ends_with: an
    // unoptimised build keeps their out-of-range check, a call into the C++
    // runtime, which the library does without.
    if (std::memcmp(text.data(), names.stem.data(), names.stem.size()) != 0) return -1;
    size_t i = names.stem.size();
    int64_t value = 0;
    const size_t first_digit = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        // Numbers past the highest cannot belong; stop counting before they overflow.
        if (value <= highest) value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (i == first_digit || text.size() - i != extension.size() ||
        std::memcmp(text.data() + i, extension.data(), extension.size()) != 0 || value > highest)
        return -1;
    return static_cast<int>(value);
}

int32_t numbered_path(const RingNames &names, int number, char *out, size_t size) noexcept {
    size_t pos = 0;
    return ov_str_printf_to(out, size, &pos, "%s%d%s", names.stem_path, number, names.extension);
}

// Why a file under a name of the ring is not written to; the refusal on
// standard error gives the reason.
constexpr char kNotOwnFile[] = "not a regular file owned by this user";
constexpr char kForeignLinks[] = "it has hard links outside the log ring";

// Appending, created when missing, never through a final symbolic link,
// without blocking on a FIFO, and not inherited by programs the process runs.
constexpr int kRingFileFlags =
    O_WRONLY | O_APPEND | O_CREAT | O_LARGEFILE | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// What opening one file of the ring found.
struct RingFile {
    FdCloser file;                  // open unless refused or failed
    int32_t open_error = 0;         // the open's errno when it failed
    const char *refused = nullptr;  // why the name is not used, when refused
    int32_t status_error = 0;       // fstat's errno: the file is open but unchecked
    uint64_t size = 0;              // when open and checked
};

// Whether every name of a file belongs to the ring: a numbered file has its
// own name, and the newest one the base log path as well. A second name
// anywhere else would let a line written here land in a file outside.
bool only_ring_names(const struct stat &file) noexcept {
    if (file.st_nlink <= 1) return true;
    struct stat base;
    return file.st_nlink == 2 && lstat(g_base_path, &base) == 0 && base.st_dev == file.st_dev &&
           base.st_ino == file.st_ino;
}

// Opens the numbered file at path for appending, as a name that someone else
// may have placed. Nothing is written to a file that is refused, and the
// opening itself changes nothing outside the ring: O_NOFOLLOW turns a link
// down instead of creating or opening what it names, and O_NONBLOCK makes a
// FIFO without a reader fail at once instead of blocking.
RingFile open_ring_file(const char *path) noexcept {
    RingFile result;
    const int fd = open(path, kRingFileFlags, 0644);
    if (fd < 0) {
        result.open_error = errno;
        // ELOOP: the name is a symbolic link. ENXIO: a FIFO or a socket that
        // nobody reads. Either was put there; neither is a disk's failure.
        if (result.open_error == ELOOP || result.open_error == ENXIO) result.refused = kNotOwnFile;
        return result;
    }
    result.file = FdCloser(fd);
    struct stat status;
    // A file whose status cannot be read is not written to either: it is
    // taken for full, and the ring moves on.
    if (fstat(fd, &status) != 0) {
        result.status_error = errno;
        return result;
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
        result.refused = kNotOwnFile;
    } else if (!only_ring_names(status)) {
        result.refused = kForeignLinks;
    }
    if (result.refused != nullptr) {
        (void)result.file.close();
        return result;
    }
    // A regular file takes no notice of O_NONBLOCK; the flag is cleared all
    // the same, so that the writer has the plain descriptor it expects.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    result.size = static_cast<uint64_t>(status.st_size);
    return result;
}

// Chooses and opens the current file of the ring. Runs with the file mutex held.
int32_t open_ring() noexcept {
    if (std::strlen(g_base_path) > kLongestBasePath) {
        g_current.store(-1, std::memory_order_release);
        return EINVAL;
    }
    RingNames names;
    if (derive_ring_names(g_base_path, &names) != 0) {
        g_current.store(-1, std::memory_order_release);
        return EINVAL;
    }
    const int highest = g_highest.load(std::memory_order_relaxed);

    std::array<bool, kMostFiles + 1> present{};
    int found_highest = -1;
    {
        ov_dir_t dir;
        ov_dir_init(&dir);
        const int32_t rc = ov_dir_open(names.directory, &dir);
        if (rc != 0) {
            report_to_stderr("Error opening log directory %s\n", names.directory);
            g_current.store(-1, std::memory_order_release);
            return rc;
        }
        const DirCloser closer(dir.stream);
        char entry[OV_DIR_NAME_SIZE];
        while (ov_dir_read(&dir, entry) == 0) {
            const int n = ring_number(entry, names, highest);
            if (n < 0) continue;
            present[static_cast<size_t>(n)] = true;
            found_highest = std::max(found_highest, n);
        }
    }

    // A missing number marks the newest end of the ring: the file before the
    // first gap is the one written last. Without a gap the ring has not
    // wrapped yet, and the highest file is the newest.
    int current;
    bool relink = false;
    if (found_highest < 0) {
        current = 0;
        relink = true;
    } else if (found_highest < highest) {
        current = found_highest;
    } else {
        int gap = -1;
        for (int n = 0; n <= highest; ++n) {
            if (!present[static_cast<size_t>(n)]) {
                gap = n;
                break;
            }
        }
        current = gap > 0 ? gap - 1 : highest;
    }

    char path[kPathSize];
    // Every step past a full file deletes the one after it, so the second
    // step at the latest creates an empty file. The bound only stops a loop
    // over files whose size cannot be read at all.
    int32_t last_error = EINVAL;
    for (int attempt = 0; attempt <= 2 * (highest + 1); ++attempt) {
        numbered_path(names, current, path, sizeof path);
        RingFile opened = open_ring_file(path);
        if (opened.refused != nullptr) {
            // Said once: the ring stops here, so no later line tries again.
            report_to_stderr("ovplatform: refusing log file %s: %s\n", path, opened.refused);
            g_current.store(-1, std::memory_order_release);
            return EINVAL;
        }
        if (opened.open_error != 0) {
            report_to_stderr("Cannot open log file (%d): %s\n", opened.open_error, path);
            g_current.store(-1, std::memory_order_release);
            return EINVAL;
        }
        last_error = opened.status_error;
        if (last_error == 0 && opened.size < g_size_limit.load(std::memory_order_relaxed)) {
            // The base name is replaced, never written through: unlink and
            // link act on the names themselves, whatever a name leads to.
            if (relink) {
                ov_file_delete(g_base_path);
                ov_file_link(path, g_base_path);
            }
            g_current.store(opened.file.release(), std::memory_order_release);
            return 0;
        }
        // A full file or one whose size cannot be read: on to the next one.
        (void)opened.file.close();
        current = current >= highest ? 0 : current + 1;
        char next[kPathSize];
        numbered_path(names, current >= highest ? 0 : current + 1, next, sizeof next);
        ov_file_delete(next);
        relink = true;
    }
    g_current.store(-1, std::memory_order_release);
    return last_error;
}

}  // namespace

int32_t ring_init() noexcept {
    return ov_mutex_init(&g_file_mutex);
}

void ring_abandon() noexcept {
    ov_mutex_destroy(&g_file_mutex);
}

int32_t ring_locate(const char *path) noexcept {
    char work[kPathSize];
    if (ov_strnlen(path, kPathSize) >= kPathSize) return EPATHMAX;
    ov_str_copy(work, path, sizeof work);

    // "name:N" asks for files of N MiB; the colon and the digits are removed
    // from the name, whatever follows them stays.
    char *colon = std::strrchr(work, ':');
    if (colon != nullptr && colon != work && colon[1] >= '0' && colon[1] <= '9') {
        char *end = colon + 1;
        uint64_t value = 0;
        while (*end >= '0' && *end <= '9') {
            if (value <= kLargestSuffixMiB) value = value * 10 + static_cast<uint64_t>(*end - '0');
            ++end;
        }
        std::memmove(colon, end, std::strlen(end) + 1);
        if (value >= 1 && value <= kLargestSuffixMiB)
            g_size_limit.store(value * kMiB, std::memory_order_relaxed);
    }

    if (std::strchr(work, '/') != nullptr) {
        ov_str_copy(g_base_path, work, sizeof g_base_path);
        return 0;
    }
    // A bare name goes to the installation's log directory, below the
    // directory the platform module names for the whole library.
    char directory[kPathSize];
    if (ov_platform_install_dir(directory, sizeof directory) != 0) return ERANGE;
    size_t pos = std::strlen(directory);
    if (ov_str_to(directory, "/var/log", sizeof directory, &pos) != 0) return ERANGE;
    pos = 0;
    if (ov_str_concat_to(g_base_path, sizeof g_base_path, &pos, directory, "/", work,
                         static_cast<const char *>(nullptr)) != 0) {
        g_base_path[0] = '\0';
        return ERANGE;
    }
    return ov_dir_create(directory, 0755, 1);
}

int32_t ring_check_size() noexcept {
    if (t_in_size_check) return 0;
    SizeCheckMark mark;
    const MutexLock lock(&g_file_mutex);
    if (lock.result() != 0) return lock.result();
    const int current = g_current.load(std::memory_order_acquire);
    if (current != -1) {
        ov_file_t file = current;
        ov_stat_t status;
        errno = 0;
        const int32_t rc = ov_file_fstat(&file, &status);
        if (rc != 0) return rc;
        if (static_cast<uint64_t>(status.size) < g_size_limit.load(std::memory_order_relaxed))
            return 0;
        if (g_previous != -1) {
            ov_file_sync(&g_previous);
            ov_file_close(&g_previous);
        }
        // Threads that loaded the current descriptor before the rotation
        // keep writing into it: it stays open as the previous one.
        g_previous = current;
    }
    return open_ring();
}

void ring_close() noexcept {
    ov_file_t current = g_current.exchange(-1, std::memory_order_acq_rel);
    for (ov_file_t *file : {&current, &g_previous}) {
        if (*file == -1) continue;
        ov_file_sync(file);
        ov_file_close(file);
    }
    ov_mutex_destroy(&g_file_mutex);
}

int ring_current_fd() noexcept {
    return g_current.load(std::memory_order_acquire);
}

void ring_flush() noexcept {
    ov_file_t file = g_current.load(std::memory_order_acquire);
    if (file != -1) ov_file_sync(&file);
}

bool ring_in_size_check() noexcept {
    return t_in_size_check;
}

int ring_descriptors(int out[2]) noexcept {
    int count = 0;
    const int current = g_current.load(std::memory_order_acquire);
    if (current != -1) out[count++] = current;
    // The previous file changes only in a rotation; a caller that closes the
    // process's descriptors runs while nothing else logs.
    if (g_previous != -1) out[count++] = g_previous;
    return count;
}

}  // namespace ov::logging

extern "C" {

void ov_log_set_max_file_mb(int mb) noexcept {
    // A limit of 0 would make every file full, and the ring could never
    // settle on one: only positive sizes are taken.
    if (mb >= 1 && mb <= 4095)
        ov::logging::g_size_limit.store(static_cast<uint64_t>(mb) * ov::logging::kMiB,
                                        std::memory_order_relaxed);
}

void ov_log_set_max_file_number(int n) noexcept {
    if (n > 0)
        ov::logging::g_highest.store(std::min(n, ov::logging::kMostFiles),
                                     std::memory_order_relaxed);
}

}  // extern "C"
