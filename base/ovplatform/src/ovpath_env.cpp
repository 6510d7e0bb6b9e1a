// ovpath_env.cpp - paths that the running system gives: the program's own
// path, PATH searches, home directories and exec.
//
// Part of the path module, beside the lexical canonical form of ovpath.cpp:
// everything here asks the system, the file system, the environment or the
// account data base, and hands its results on in the canonical form. The path
// of the running program is found once, from /proc/self/exe or else from the
// name the program was invoked by, and kept for the life of the process.
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovsynchron.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#define OV_LOG_SOURCE "base/ovplatform/src/ovpath"
#include "internal/account.h"
#include "internal/limits.h"
#include "internal/log.h"
#include "internal/raii.h"

namespace {

using namespace ov::detail;

// The search list of ov_path_exec when PATH is unset or empty.
constexpr char kDefaultExecPath[] = ".:/bin:/usr/bin";

// The executable path, found once. The mutex serialises the first filling;
// afterwards the buffer never changes and readers only need the flag.
char g_executable[kPathSize];
std::atomic<bool> g_executable_known{false};
ov_mutex_t g_executable_mutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;

int fill_executable_cache() {
    const MutexLock lock(&g_executable_mutex);
    if (g_executable_known.load(std::memory_order_relaxed)) return 0;
    int32_t rc = ov_file_readlink("/proc/self/exe", g_executable, sizeof g_executable);
    if (rc != 0) {
        const char *invoked = program_invocation_name;
        if (invoked == nullptr || invoked[0] == '\0') {
            OV_LOG(kLogError, "Unable to generate executable path, rc = %zd",
                   static_cast<ssize_t>(rc));
            return -1;
        }
        OV_LOG(kLogInfo, "/proc/self/exe not found.  Falling back to argv[0]");
        int found = ov_path_find_program(invoked, g_executable, sizeof g_executable);
        if (found < 0) return found;
    }
    g_executable_known.store(true, std::memory_order_release);
    return 0;
}

}  // namespace

extern "C" {

int ov_path_is_dir(const char *path) noexcept {
    ov_stat_t status;
    if (path == nullptr || ov_file_stat(path, &status, 0) != 0) return 0;
    return status.type == OV_FILE_TYPE_DIR ? 1 : 0;
}

int ov_path_executable(char *out, size_t size) noexcept {
    if (!g_executable_known.load(std::memory_order_acquire)) {
        int rc = fill_executable_cache();
        if (rc < 0) return rc;
    }
    if (out == nullptr) return EINVAL;
    if (size == 0 || ov_str_copy(out, g_executable, size) != 0) return -1;
    return static_cast<int>(std::strlen(out));
}

int ov_path_executable_dir(char *out, size_t size) noexcept {
    if (out == nullptr) return -1;
    int rc = ov_path_executable(out, size);
    if (rc < 0) return rc;
    return ov_path_parent(out, out, size);
}

int ov_path_find_program(const char *name, char *out, size_t size) noexcept {
    if (name == nullptr || name[0] == '\0' || out == nullptr || size == 0) return -1;
    if (std::strchr(name, '/') != nullptr) {
        if (name[0] == '/') {
            if (ov_str_copy(out, name, size) != 0) return -1;
        } else {
            char cwd[kPathSize];
            // Without a current directory a relative name leads nowhere.
            if (getcwd(cwd, sizeof cwd) == nullptr) return -1;
            if (ov_path_join(cwd, name, out, size) != 0 || out[0] == '\0') return -1;
        }
    } else if (ov_path_search_list(name, std::getenv("PATH"), out, size) != 0) {
        return -2;
    }
    char real[kPathSize];
    if (ov_file_realpath(out, real, sizeof real) != 0) return -3;
    if (ov_path_canonical(real, out, size) != 0) return -4;
    return static_cast<int>(std::strlen(out));
}

int ov_path_search_list(const char *name, const char *list, char *out, size_t size) noexcept {
    if (name == nullptr || name[0] == '\0' || list == nullptr || out == nullptr) return -1;
    const size_t name_length = std::strlen(name);
    const char *element = list;
    for (;;) {
        const char *end = std::strchr(element, ':');
        size_t length = end != nullptr ? static_cast<size_t>(end - element) : std::strlen(element);
        if (length + name_length + 2 > size) return -1;
        std::memcpy(out, element, length);
        out[length] = '/';
        std::memcpy(out + length + 1, name, name_length + 1);
        if (ov_file_exists(out, 0)) return 0;
        if (end == nullptr) return -1;
        element = end + 1;
    }
}

int ov_path_home(char *out, size_t size) noexcept {
    if (out == nullptr || size == 0) return -1;
    const char *home = std::getenv("HOME");
    if (home == nullptr) return -1;
    char work[kPathSize];
    if (ov_str_copy(work, home, sizeof work) != 0) return -1;
    if (ov_path_canonical(work, out, size) != 0) return -1;
    return static_cast<int>(std::strlen(out));
}

int32_t ov_path_user_home(const char *user, char *out, size_t size) noexcept {
    if (user == nullptr || out == nullptr || size == 0) return EINVAL;
    out[0] = '\0';
    UserEntry entry;
    const int32_t rc = find_user_by_name(user, &entry);
    if (rc != 0) return rc;
    if (entry.get() == nullptr) return ENOENT;
    if (ov_path_canonical(entry.get()->pw_dir, out, size) != 0) return EBUFFER;
    return 0;
}

int ov_path_exec(const char *name, char *const argv[], char *const envp[]) noexcept {
    if (name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (name[0] == '\0' || std::strchr(name, '/') != nullptr) {
        execve(name, argv, envp);
        return -1;
    }
    const char *list = std::getenv("PATH");
    if (list == nullptr || list[0] == '\0') list = kDefaultExecPath;
    const size_t name_length = std::strlen(name);
    bool refused = false;
    int last_error = ENOENT;
    for (const char *element = list;;) {
        const char *end = std::strchr(element, ':');
        size_t length = end != nullptr ? static_cast<size_t>(end - element) : std::strlen(element);
        if (length > 0 && length + name_length + 1 <= kPathSize - 1) {
            char candidate[kPathSize];
            std::memcpy(candidate, element, length);
            candidate[length] = '/';
            std::memcpy(candidate + length + 1, name, name_length + 1);
            execve(candidate, argv, envp);
            last_error = errno;
            if (last_error == EACCES) refused = true;
        }
        if (end == nullptr) break;
        element = end + 1;
    }
    // A program that exists but may not be run is the more useful report
    // than the "not found" of the directories tried after it.
    errno = refused ? EACCES : last_error;
    return -1;
}

}  // extern "C"
