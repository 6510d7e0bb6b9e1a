// internal/log_levels.h - the levels of the library's log messages, by name.
//
// One list gives each level its name, its number, the tag that file lines and
// system-log messages carry, and its severity in the system log. The named
// constants, the line writer's tags and the syslog transport's severities
// are generated from it, so that they cannot disagree. The numbers are those
// of the public interface (ovlog.h: smaller is more severe); the names are
// the library's own.
//
// The levels and what each is for:
//   kLogCritical  0  the process cannot go on as it is
//   kLogError     1  an operation failed, or a record is not what it must be
//   kLogWarning   2  something is amiss, but the work goes on as asked
//   kLogInfo      3  notable events and recovered faults; the default threshold
//   kLogDebug     4  the course of an operation, for whoever follows it
//   kLogTrace     5  single steps and verdicts inside an operation
// A caller of the public log call may pass a higher number still: its
// message carries the last level's tag, and the system log files it as a
// notice.
#pragma once

#include <cstdint>

// X(name, number, tag, severity). The severity is the name of a <syslog.h>
// constant, left unexpanded for the one file that includes that header.
#define OV_LOG_LEVEL_LIST(X)              \
    X(kLogCritical, 0, "ERR", LOG_CRIT)   \
    X(kLogError, 1, "ERR", LOG_ERR)       \
    X(kLogWarning, 2, "LOG", LOG_WARNING) \
    X(kLogInfo, 3, "LOG", LOG_INFO)       \
    X(kLogDebug, 4, "DBG", LOG_DEBUG)     \
    X(kLogTrace, 5, "DBG", LOG_DEBUG)

namespace ov::logging {

#define OV_LOG_LEVEL_CONSTANT(name, number, tag, severity) inline constexpr uint32_t name = number;
OV_LOG_LEVEL_LIST(OV_LOG_LEVEL_CONSTANT)
#undef OV_LOG_LEVEL_CONSTANT

#define OV_LOG_LEVEL_ONE(name, number, tag, severity) +1
inline constexpr uint32_t kLogLevelCount = 0 OV_LOG_LEVEL_LIST(OV_LOG_LEVEL_ONE);
#undef OV_LOG_LEVEL_ONE

// The list is in numbering order without a gap, so that a level's number is
// its index in the tables generated from it.
constexpr bool log_levels_are_dense() {
    uint32_t next = 0;
    bool dense = true;
#define OV_LOG_LEVEL_ORDER(name, number, tag, severity) dense = dense && (number) == next++;
    OV_LOG_LEVEL_LIST(OV_LOG_LEVEL_ORDER)
#undef OV_LOG_LEVEL_ORDER
    return dense;
}
static_assert(log_levels_are_dense(), "OV_LOG_LEVEL_LIST must number its levels 0, 1, 2, ...");

}  // namespace ov::logging
