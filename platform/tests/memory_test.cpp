#include "platform/memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

bool all_zero(const void* p, std::size_t n) {
  auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}

TEST(Memory, BlocksLieBelow4GiBAndRoundTripThroughWords) {
  EXPECT_GT(plat::mem_region_begin(), 0u);
  EXPECT_LE(plat::mem_region_end(), uintptr_t{1} << 32);
  EXPECT_GE(plat::mem_region_end() - plat::mem_region_begin(), std::size_t{1024} << 20);
  for (std::size_t size : {0, 1, 24, 4096, 3 << 20}) {
    void* p = plat::mem_alloc(size);
    ASSERT_NE(p, nullptr) << size;
    auto a = reinterpret_cast<uintptr_t>(p);
    EXPECT_GE(a, plat::mem_region_begin());
    EXPECT_LT(a + size, plat::mem_region_end());
    EXPECT_EQ(a % 16, 0u);
    EXPECT_TRUE(all_zero(p, size));
    EXPECT_EQ(plat::mem_size(p), size);
    // The address survives the trip through a 32-bit word.
    EXPECT_EQ(reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(a))), p);
    EXPECT_EQ(plat::mem_address(plat::mem_handle(p)), p);
    EXPECT_TRUE(plat::mem_free(p));
  }
  EXPECT_LE(plat::mem_region_end(), uintptr_t{1} << 32);
}

TEST(Memory, AddressesThatAreNotBlockStartsAreRejected) {
  std::size_t blocks = plat::mem_live_blocks();
  auto* p = static_cast<char*>(plat::mem_alloc(64));
  ASSERT_NE(p, nullptr);
  uint32_t h = plat::mem_handle(p);
  int local = 7;
  for (void* bad : {static_cast<void*>(p + 1), static_cast<void*>(p + 16),
                    static_cast<void*>(&local), static_cast<void*>(nullptr)}) {
    EXPECT_FALSE(plat::mem_is_block(bad));
    EXPECT_FALSE(plat::mem_free(bad));
    EXPECT_EQ(plat::mem_resize(bad, 128), nullptr);
    EXPECT_EQ(plat::mem_size(bad), 0u);
    EXPECT_EQ(plat::mem_handle(bad), 0u);
  }
  EXPECT_EQ(local, 7);
  EXPECT_TRUE(plat::mem_is_block(p));
  EXPECT_TRUE(plat::mem_free(p));
  // Freed: the address and the handle are dead, a second free is refused.
  EXPECT_FALSE(plat::mem_is_block(p));
  EXPECT_FALSE(plat::mem_free(p));
  EXPECT_EQ(plat::mem_address(h), nullptr);
  EXPECT_EQ(plat::mem_address(0), nullptr);
  EXPECT_EQ(plat::mem_live_blocks(), blocks);
}

TEST(Memory, ResizeKeepsContentsAndZeroFillsGrowth) {
  struct Case {
    std::size_t from, to;
    bool block_after;  // a neighbour forces the growing block to move
  };
  for (Case c : {Case{10, 5000, false}, Case{10, 5000, true}, Case{5000, 10, false},
                 Case{100, 100, true}, Case{0, 300000, true}, Case{300000, 600000, true}}) {
    auto* p = static_cast<unsigned char*>(plat::mem_alloc(c.from));
    void* neighbour = c.block_after ? plat::mem_alloc(16) : nullptr;
    ASSERT_NE(p, nullptr);
    for (std::size_t i = 0; i < c.from; ++i) p[i] = static_cast<unsigned char>(i * 7 + 1);
    uint32_t h = plat::mem_handle(p);
    auto* q = static_cast<unsigned char*>(plat::mem_resize(p, c.to));
    ASSERT_NE(q, nullptr) << c.from << "->" << c.to;
    std::size_t keep = std::min(c.from, c.to);
    for (std::size_t i = 0; i < keep; ++i)
      ASSERT_EQ(q[i], static_cast<unsigned char>(i * 7 + 1)) << i;
    EXPECT_TRUE(all_zero(q + keep, c.to - keep));
    EXPECT_EQ(plat::mem_size(q), c.to);
    EXPECT_EQ(plat::mem_handle(q), h);  // the handle survives a move
    EXPECT_EQ(plat::mem_address(h), q);
    if (q != p) {
      EXPECT_FALSE(plat::mem_is_block(p));
    }
    EXPECT_TRUE(plat::mem_free(q));
    if (neighbour) {
      EXPECT_TRUE(plat::mem_free(neighbour));
    }
  }
}

TEST(Memory, ShrinkThenGrowDoesNotBringOldBytesBack) {
  auto* p = static_cast<unsigned char*>(plat::mem_alloc(1000));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 1000);
  ASSERT_EQ(plat::mem_resize(p, 3), p);
  auto* q = static_cast<unsigned char*>(plat::mem_resize(p, 1000));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q[2], 0xAB);
  EXPECT_TRUE(all_zero(q + 3, 997));
  plat::mem_free(q);
}

TEST(Memory, ReusedMemoryIsZeroAgain) {
  // Small blocks are cleared by hand, large ones handed back to the system.
  for (std::size_t size : {48, 4096 * 3 + 5, 8 << 20}) {
    auto* p = static_cast<unsigned char*>(plat::mem_alloc(size));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, size);
    plat::mem_free(p);
    auto* q = static_cast<unsigned char*>(plat::mem_alloc(size));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q, p) << "best fit should hand the same range back";
    EXPECT_TRUE(all_zero(q, size)) << size;
    plat::mem_free(q);
  }
}

TEST(Memory, ConcurrentAllocationKeepsBlocksApart) {
  std::size_t blocks = plat::mem_live_blocks();
  std::atomic<int> faults{0};
  auto work = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::pair<unsigned char*, std::size_t>> mine;
    for (int i = 0; i < 4000; ++i) {
      unsigned op = rng() % 3;
      if (op == 0 || mine.empty()) {
        std::size_t n = rng() % 2000;
        auto* p = static_cast<unsigned char*>(plat::mem_alloc(n));
        if (p == nullptr || !all_zero(p, n)) ++faults;
        if (p) std::memset(p, static_cast<int>(seed), n);
        if (p) mine.emplace_back(p, n);
      } else {
        std::size_t k = rng() % mine.size();
        auto [p, n] = mine[k];
        for (std::size_t j = 0; j < n; ++j)
          if (p[j] != static_cast<unsigned char>(seed)) {
            ++faults;
            break;
          }
        if (op == 1) {
          std::size_t m = rng() % 4000;
          auto* q = static_cast<unsigned char*>(plat::mem_resize(p, m));
          if (q == nullptr) {
            ++faults;
            continue;
          }
          if (m > n) std::memset(q + n, static_cast<int>(seed), m - n);
          mine[k] = {q, m};
        } else {
          if (!plat::mem_free(p)) ++faults;
          mine.erase(mine.begin() + static_cast<std::ptrdiff_t>(k));
        }
      }
    }
    for (auto [p, n] : mine)
      if (!plat::mem_free(p)) ++faults;
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t <= 4; ++t) threads.emplace_back(work, t);
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(plat::mem_live_blocks(), blocks);
}

// Under AddressSanitizer every access outside a live block's requested bytes
// is reported, also where it lands inside the region.
TEST(MemoryGuards, AccessOutsideALiveBlockIsReported) {
  if (plat::mem_guard_size() == 0) GTEST_SKIP() << "a build without guard zones";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    void (*access)();
  };
  const Case cases[] = {
      {"a write one byte past the end",
       [] {
         auto* p = static_cast<volatile char*>(plat::mem_alloc(10));
         p[10] = 1;
       }},
      {"a read into the guard zone of a block of whole granules",
       [] {
         auto* p = static_cast<volatile char*>(plat::mem_alloc(32));
         (void)p[32 + plat::mem_guard_size() - 1];
       }},
      {"a read of a freed block",
       [] {
         auto* p = static_cast<volatile char*>(plat::mem_alloc(64));
         plat::mem_free(const_cast<char*>(p));
         (void)p[0];
       }},
      {"a write behind a shrunk block",
       [] {
         auto* p = static_cast<volatile char*>(plat::mem_alloc(4000));
         plat::mem_resize(const_cast<char*>(p), 100);
         p[200] = 1;
       }},
      {"a read of the old place of a moved block",
       [] {
         auto* p = static_cast<volatile char*>(plat::mem_alloc(100));
         void* neighbour = plat::mem_alloc(16);  // so that growth must move
         void* q = plat::mem_resize(const_cast<char*>(p), 5000);
         if (q != p && neighbour != nullptr) (void)p[0];
       }},
  };
  for (const Case& c : cases) {
    EXPECT_DEATH(c.access(), "use-after-poison") << c.what;
  }
  // Every byte that is asked for stays usable, also after growth in place.
  auto* p = static_cast<char*>(plat::mem_alloc(10));
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 10);
  p = static_cast<char*>(plat::mem_resize(p, 1000));
  ASSERT_NE(p, nullptr);
  std::memset(p, 2, 1000);
  EXPECT_TRUE(plat::mem_free(p));
}

}  // namespace
