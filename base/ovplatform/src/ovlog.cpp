// ovlog.cpp - the process-wide logger: threshold, destination and the log call.
//
// Every module reports through ov_log. The threshold decides which levels
// pass; a message then goes to the destination chosen at start-up. Until a
// destination is chosen every message is dropped, and the log call never
// changes errno.
//
// This build has the threshold and the set-up calls; the destinations
// themselves (file ring, system log, callback) are not in it yet, so
// ov_log_open refuses them with EUNIMPL and the logger stays unconfigured.
#include <ovplatform/overror.h>
#include <ovplatform/ovlog.h>

#include <cstring>

#include "internal/errno_guard.h"

namespace {

constexpr int kDefaultThreshold = 3;
constexpr size_t kMaxPath = 8192;

// Plain process-wide settings, meant to be set during start-up.
int g_kind = OV_LOG_NONE;
int g_threshold = kDefaultThreshold;

}  // namespace

extern "C" {

int ov_log(uint32_t level, const char * /*file*/, int /*line*/, const char * /*format*/,
           ...) noexcept {
    ov::detail::ErrnoGuard keep_errno;
    if (g_threshold == -1) return -1;
    if (g_threshold >= 0 && level > static_cast<uint32_t>(g_threshold)) return 0;
    // No destination can be chosen in this build: the message is dropped.
    return 0;
}

int32_t ov_log_open(int kind, const char *path) noexcept {
    if (g_kind != OV_LOG_NONE) return 0;
    if (kind == OV_LOG_FILE) {
        if (path == nullptr) return EINVAL;
        if (std::strlen(path) > kMaxPath) return EPATHMAX;
    } else if (kind == OV_LOG_CALLBACK) {
        return EINVAL;
    }
    return EUNIMPL;
}

int ov_log_kind(void) noexcept { return g_kind; }

void ov_log_enable(int flag) noexcept { g_threshold = flag ? kDefaultThreshold : -1; }
void ov_log_set_level(int level) noexcept { g_threshold = level < -1 ? -1 : level; }
void ov_log_set_debug(int flag) noexcept { g_threshold = flag ? 4 : kDefaultThreshold; }
void ov_log_set_debug_level(int level) noexcept {
    g_threshold = level > 0 ? kDefaultThreshold + level : kDefaultThreshold;
}
int ov_log_level(void) noexcept { return g_threshold; }
int ov_log_enabled(void) noexcept { return g_threshold != -1; }
int ov_log_debug_enabled(void) noexcept { return g_threshold > kDefaultThreshold; }
int ov_log_at_default_level(void) noexcept { return g_threshold == kDefaultThreshold; }

}  // extern "C"
