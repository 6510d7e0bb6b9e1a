// internal/log.h - the one logging macro of the library's modules.
//
// Each module defines OV_LOG_SOURCE once, before including this header, as
// its source name ("base/ovplatform/src/ovfile"); every log line of the
// module then carries that name and its own line number.
#pragma once

#include <ovplatform/ovlog.h>

#ifndef OV_LOG_SOURCE
#error "define OV_LOG_SOURCE before including internal/log.h"
#endif

#define OV_LOG(level, ...) ::ov_log((level), OV_LOG_SOURCE, __LINE__, __VA_ARGS__)
