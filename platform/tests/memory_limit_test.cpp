// A region of 8 MiB: the size is read once per process, so this executable
// sets it before anything touches the region.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/memory.h"

namespace {

const bool kSized = (setenv("MRV_MEMORY_MB", "8", 1), true);

TEST(MemoryLimit, ExhaustingTheRegionFailsCleanlyAndRecovers) {
  ASSERT_TRUE(kSized);
  EXPECT_EQ(plat::mem_region_end() - plat::mem_region_begin(), std::size_t{8} << 20);
  EXPECT_EQ(plat::mem_alloc(9 << 20), nullptr);
  EXPECT_EQ(plat::mem_alloc(~std::size_t{0}), nullptr);  // no overflow on rounding

  std::vector<void*> blocks;
  while (void* p = plat::mem_alloc(1 << 20)) blocks.push_back(p);
  EXPECT_GE(blocks.size(), 7u);
  EXPECT_LE(blocks.size(), 8u);

  // A resize that does not fit fails and leaves the block as it was.
  auto* first = static_cast<char*>(blocks.front());
  std::memset(first, 'x', 1 << 20);
  EXPECT_EQ(plat::mem_resize(first, 2 << 20), nullptr);
  EXPECT_TRUE(plat::mem_is_block(first));
  EXPECT_EQ(plat::mem_size(first), std::size_t{1} << 20);
  EXPECT_EQ(first[(1 << 20) - 1], 'x');

  // Freeing two neighbours makes room for a block of twice the size.
  plat::mem_free(blocks[1]);
  plat::mem_free(blocks[2]);
  void* big = plat::mem_alloc(2 << 20);
  EXPECT_EQ(big, blocks[1]);
  plat::mem_free(big);
  plat::mem_free(blocks[0]);
  for (std::size_t i = 3; i < blocks.size(); ++i) plat::mem_free(blocks[i]);
  EXPECT_EQ(plat::mem_live_blocks(), 0u);
  void* all = plat::mem_alloc(8 << 20);
  EXPECT_NE(all, nullptr);
  plat::mem_free(all);
}

}  // namespace
