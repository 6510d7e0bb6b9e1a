// internal/log.h - the one logging macro of the library's modules.
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
