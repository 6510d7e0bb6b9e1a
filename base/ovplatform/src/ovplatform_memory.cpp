// ovplatform_memory.cpp - aligned blocks and per-call-site blocks.
//
// Part of the platform module. Aligned blocks are zero-filled heap memory
// whose size is a whole number of alignments. The call-site block table lets
// a function keep one heap block per place that asks for scratch memory (its
// messages call them stack memory and stack slots), so that a place asked
// again gets its block back instead of a new allocation. The table and its
// state word belong to the caller; a table that failed once refuses every
// request until its owner resets it. A process-wide count of the blocks
// handed out lets tests see that every one was given back.
#define OV_LOG_SOURCE "base/ovplatform/src/ovplatform"

#include <ovplatform/overror.h>
#include <ovplatform/ovplatform.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal/log.h"
#include "internal/platform_memory.h"

namespace {

constexpr size_t kDefaultAlignment = 65536;
constexpr uint32_t kAllocationGranularity = 65536;

// Blocks of call-site tables alive in the process. Tables belong to single
// threads, but different threads may hold tables at the same time.
std::atomic<int32_t> g_live_blocks{0};

const char *printable(const char *text) {
    return text != nullptr ? text : "(null)";
}

enum class StackFailure { kNoSlot, kNoMemory, kNoRoom };

// Logs why a table refuses a request and marks it failed, so that the
// caller's later requests fail at once and silently.
void stack_failed(StackFailure failure, const char *label, const char *site, int32_t line,
                  uint32_t *state) {
    switch (failure) {
        case StackFailure::kNoSlot:
            OV_LOG(kLogError, "Out of stack slots at %s::%d (%s)", printable(site), line,
                   printable(label));
            break;
        case StackFailure::kNoMemory:
            OV_LOG(kLogError, "Out of stack memory at %s::%d (%s)", printable(site), line,
                   printable(label));
            break;
        case StackFailure::kNoRoom:
            OV_LOG(kLogError, "Out of stack memory before %s::%d (%s)", printable(site), line,
                   printable(label));
            break;
    }
    if (state != nullptr) *state = OV_PLATFORM_STACK_FAILED;
}

void clear_slots(ov_stack_slot_t *slots, size_t count) {
    std::memset(slots, 0, count * sizeof *slots);
}

// A table the caller cannot use: none given, or no slot in it. A line of 0
// is refused as well, since 0 marks a free slot and could never be found
// again as its owner's key.
bool unusable(const ov_stack_slot_t *slots, size_t count, int32_t line) {
    return slots == nullptr || count == 0 || line == 0;
}

// The slot's block, made or grown to hold size bytes. A place that asks for
// more than its block holds gets a larger one, with the old content, rather
// than the old block: handing out fewer bytes than asked would let the
// caller write past the end of the block.
void *serve_slot(ov_stack_slot_t *slot, size_t size) {
    if (slot->block != nullptr && size <= slot->size) return slot->block;
    // At least one byte, so that a request for none is not mistaken for a
    // failure where malloc(0) gives null.
    void *block = std::realloc(slot->block, size > 0 ? size : 1);
    if (block == nullptr) return nullptr;
    if (slot->block == nullptr) g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    slot->block = block;
    slot->size = size;
    return block;
}

}  // namespace

namespace ov::detail {

int32_t stack_blocks_live() noexcept {
    return g_live_blocks.load(std::memory_order_relaxed);
}

}  // namespace ov::detail

extern "C" {

// ---- Aligned blocks -----------------------------------------------------------------------

int32_t ov_platform_alloc_granularity(const void * /*reserved*/, uint32_t *out) noexcept {
    if (out == nullptr) return EINVAL;
    *out = kAllocationGranularity;
    return 0;
}

int32_t ov_platform_aligned_alloc(void **out, size_t alignment, size_t size) noexcept {
    if (out == nullptr) return EINVAL;
    if (alignment == 0) alignment = kDefaultAlignment;
    if ((alignment & (alignment - 1)) != 0) {
        OV_LOG(kLogError, "Block alignment must be to a power of 2");
        return EINVAL;
    }
    // posix_memalign refuses an alignment below the size of a pointer with
    // EINVAL; it is answered here as it would be, without asking the
    // allocator for what it does not take.
    if (alignment < sizeof(void *)) {
        OV_LOG(kLogError, "Error allocating aligned memory, err = %d", EINVAL);
        return EINVAL;
    }
    // Rounding a size near the top of the range up would wrap around to a
    // small block that the caller then overruns; such a size cannot be had.
    if (size > SIZE_MAX - (alignment - 1)) {
        OV_LOG(kLogError, "Error allocating aligned memory, err = %d", ENOMEM);
        return ENOMEM;
    }
    const size_t rounded = (size + alignment - 1) & ~(alignment - 1);
    void *block = nullptr;
    const int rc = posix_memalign(&block, alignment, rounded);
    if (rc != 0) {
        OV_LOG(kLogError, "Error allocating aligned memory, err = %d", rc);
        return rc;
    }
    std::memset(block, 0, rounded);
    *out = block;
    return 0;
}

int32_t ov_platform_aligned_free(void *block) noexcept {
    if (block == nullptr) return EINVAL;
    std::free(block);
    return 0;
}

// ---- Call-site block table ----------------------------------------------------------------

void *ov_platform_stack_get(const char *label, const char *site, int32_t line, size_t size,
                            ov_stack_slot_t *slots, size_t count, uint32_t *state) noexcept {
    if (state != nullptr && *state != OV_PLATFORM_STACK_UNUSED &&
        *state != OV_PLATFORM_STACK_IN_USE)
        return nullptr;
    if (state == nullptr || unusable(slots, count, line)) {
        stack_failed(StackFailure::kNoSlot, label, site, line, state);
        return nullptr;
    }
    if (*state == OV_PLATFORM_STACK_UNUSED) {
        clear_slots(slots, count);
        *state = OV_PLATFORM_STACK_IN_USE;
    }
    for (size_t i = 0; i < count; ++i) {
        ov_stack_slot_t *slot = &slots[i];
        if (slot->line != line && slot->line != 0) continue;
        slot->line = line;
        void *block = serve_slot(slot, size);
        if (block == nullptr) stack_failed(StackFailure::kNoMemory, label, site, line, state);
        return block;
    }
    stack_failed(StackFailure::kNoSlot, label, site, line, state);
    return nullptr;
}

int32_t ov_platform_stack_release(ov_stack_slot_t *slots, size_t count,
                                  int32_t free_blocks) noexcept {
    if (free_blocks == 0 || slots == nullptr) return 1;
    for (size_t i = 0; i < count; ++i) {
        if (slots[i].block == nullptr) continue;
        std::free(slots[i].block);
        g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    }
    // The freed blocks' addresses go too: a table used again before its
    // owner resets the state word must not hand one of them out.
    clear_slots(slots, count);
    return 1;
}

ov_stack_slot_t *ov_platform_stack_reserve(const char *label, const char *site, int32_t line,
                                           ov_stack_slot_t *slots, size_t count, int32_t room,
                                           uint32_t *state, uint64_t size) noexcept {
    if (state == nullptr) {
        stack_failed(StackFailure::kNoSlot, label, site, line, state);
        return nullptr;
    }
    if (*state == OV_PLATFORM_STACK_UNUSED) {
        if (slots != nullptr) clear_slots(slots, count);
        *state = OV_PLATFORM_STACK_IN_USE;
    } else if (*state != OV_PLATFORM_STACK_IN_USE) {
        *state = OV_PLATFORM_STACK_FAILED;
        return nullptr;
    }
    if (room == 0) {
        stack_failed(StackFailure::kNoRoom, label, site, line, state);
        return nullptr;
    }
    if (unusable(slots, count, line)) {
        stack_failed(StackFailure::kNoSlot, label, site, line, state);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        ov_stack_slot_t *slot = &slots[i];
        if (slot->line != 0 && (slot->line != line || slot->size < size)) continue;
        slot->line = line;
        slot->size = size;
        return slot;
    }
    stack_failed(StackFailure::kNoSlot, label, site, line, state);
    return nullptr;
}

}  // extern "C"
