// Test helpers for the string heap: reading its block chain from outside and
// checking that the chain is consistent.
#pragma once
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "mrvval.h"
#include "platform/memory.h"

namespace heaptest {

struct Block {
  uint32_t off;
  int32_t next, prev, size;
};

inline const uint8_t* heap_bytes(const SystemContext* ctx) {
  return static_cast<const uint8_t*>(plat::mem_address(ctx->stringHeap));
}

inline Block block_at(const uint8_t* heap, uint32_t off) {
  Block b{off, 0, 0, 0};
  std::memcpy(&b.next, heap + off, 4);
  std::memcpy(&b.prev, heap + off + 4, 4);
  std::memcpy(&b.size, heap + off + 8, 4);
  return b;
}

// The chain from offset 0 along next (stops early on a broken link).
inline std::vector<Block> blocks(const SystemContext* ctx) {
  const uint8_t* heap = heap_bytes(ctx);
  std::size_t phys = plat::mem_size(heap);
  std::vector<Block> out;
  uint32_t off = 0;
  while (off + 12 <= phys && out.size() < 1000000) {
    out.push_back(block_at(heap, off));
    if (out.back().next <= static_cast<int32_t>(off)) break;
    off = static_cast<uint32_t>(out.back().next);
  }
  return out;
}

inline uint32_t magnitude(int32_t s) {
  return s < 0 ? static_cast<uint32_t>(-s) : s;
}

// An empty text when the chain is consistent: every next is the end of its
// block, every prev names the block before (the first block's names the
// last), the blocks tile a heap of whole 65536-byte regions that fits its
// memory block, and no two free blocks (size >= 0) lie side by side.
inline std::string problems(const SystemContext* ctx) {
  std::ostringstream err;
  std::vector<Block> bs = blocks(ctx);
  if (bs.empty()) return "no blocks";
  uint64_t end = 0;
  for (std::size_t i = 0; i < bs.size(); ++i) {
    const Block& b = bs[i];
    uint64_t stop = uint64_t{b.off} + 12 + magnitude(b.size);
    bool last = i + 1 == bs.size();
    if (last ? b.next != 0 : static_cast<uint64_t>(b.next) != stop)
      err << "block " << b.off << ": next " << b.next << " but ends at " << stop << "; ";
    uint32_t want_prev = i == 0 ? bs.back().off : bs[i - 1].off;
    if (static_cast<uint32_t>(b.prev) != want_prev)
      err << "block " << b.off << ": prev " << b.prev << " should be " << want_prev << "; ";
    if (i > 0 && b.size >= 0 && bs[i - 1].size >= 0)
      err << "blocks " << bs[i - 1].off << " and " << b.off << " are both free; ";
    end = stop;
  }
  if (end % 65536 != 0) err << "heap length " << end << " is not whole regions; ";
  if (end > plat::mem_size(heap_bytes(ctx))) err << "heap length " << end << " beyond block; ";
  return err.str();
}

// Number of strings the heap holds (its held blocks).
inline std::size_t held_strings(const SystemContext* ctx) {
  std::size_t n = 0;
  for (const Block& b : blocks(ctx)) n += b.size < 0 ? 1 : 0;
  return n;
}

// Total length of the heap (the end of its last block).
inline uint64_t length(const SystemContext* ctx) {
  std::vector<Block> bs = blocks(ctx);
  return bs.empty() ? 0 : uint64_t{bs.back().off} + 12 + magnitude(bs.back().size);
}

}  // namespace heaptest
