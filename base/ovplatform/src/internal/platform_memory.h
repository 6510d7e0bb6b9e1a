// internal/platform_memory.h - the count of call-site blocks, for the checks
// that every block the platform module handed out was given back.
#pragma once

#include <cstdint>

namespace ov::detail {

// Blocks that ov_platform_stack_get has allocated and
// ov_platform_stack_release has not freed yet, in the whole process.
int32_t stack_blocks_live() noexcept;

}  // namespace ov::detail
