// internal/log.h - the one logging macro of the library's modules.
//
// Most modules include this header, so the naming rule of the library's
// internals is stated here. A function used by one file only is in that
// file's anonymous namespace; one shared by the files of a module or by
// several modules is in a named internal namespace (ov::logging for the
// logger's parts, ov::detail for the rest). Either has a plain lower_snake
// name without a leading underscore, and only the C API is defined inside
// extern "C".
//
// Each module defines OV_LOG_SOURCE once, before including this header, as
// its source name ("base/ovplatform/src/ovfile"); every log line of the
// module then carries that name and its own line number.
//
// The level is one of the names of internal/log_levels.h, written without
// its namespace: OV_LOG(kLogError, "..."). A bare number does not compile,
// so that every call site says what kind of message it writes.
#pragma once

#include <ovplatform/ovlog.h>

#include "internal/log_levels.h"

#ifndef OV_LOG_SOURCE
#error "define OV_LOG_SOURCE before including internal/log.h"
#endif

#define OV_LOG(level, ...) ::ov_log(::ov::logging::level, OV_LOG_SOURCE, __LINE__, __VA_ARGS__)
