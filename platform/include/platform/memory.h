// Movable memory blocks in one region below 4 GiB.
//
// Every address inside the region converts losslessly to a 32-bit word, which
// is how values, variable tables and command libraries refer to blocks. Each
// block has a stable 32-bit handle, so a block can be found from its start
// address and can move when it is resized. Any address that is not the start
// of a live block is rejected without being dereferenced. Blocks and growth are
// zero-filled. All functions are thread-safe.
//
// The region's size is MRV_MEMORY_MB mebibytes (read once, at first use).
//
// Sanitized builds keep a guard zone behind every block and mark everything
// outside live blocks as off limits for AddressSanitizer, so that an overrun
// past a block's end or a use of a freed block is reported where it happens.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/export.h"

namespace plat {

// A new zero-filled block of `size` bytes (0 is allowed), or nullptr when the
// region cannot hold it.
PLAT_API void* mem_alloc(std::size_t size);
// Resizes the block that starts at `p`; the result may differ from `p`.
// Contents up to the smaller size are kept, growth is zero-filled. nullptr when
// `p` is not a block start or the region cannot hold the new size (the old
// block then stays valid).
PLAT_API void* mem_resize(void* p, std::size_t size);
// Frees the block that starts at `p`; false (and nothing done) otherwise.
PLAT_API bool mem_free(void* p);
// Usable size of the block that starts at `p` (at least what was asked), or 0.
PLAT_API std::size_t mem_size(const void* p);
// Stable handle of the block that starts at `p`, or 0.
PLAT_API uint32_t mem_handle(const void* p);
// Current start address of the block with handle `h`, or nullptr.
PLAT_API void* mem_address(uint32_t h);
// True when `p` is the start of a live block.
PLAT_API bool mem_is_block(const void* p);
// Number of live blocks and bytes in use (for leak checks in tests).
PLAT_API std::size_t mem_live_blocks();
PLAT_API std::size_t mem_live_bytes();
// Bounds of the region: [begin, end).
PLAT_API uintptr_t mem_region_begin();
PLAT_API uintptr_t mem_region_end();
// Bytes of the guard zone behind every block; 0 when blocks have none.
PLAT_API std::size_t mem_guard_size();
// Every address in the region fits a 32-bit word; the system converts with
// MRV_PTR / MRV_WORD of its public header.

}  // namespace plat
