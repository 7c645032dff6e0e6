// The string heap under long random sequences of stores and releases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "heap_check.h"
#include "mrvval.h"

namespace {

const bool kJapanese = (setenv("MRV_COUNTRY", "81", 1), true);

struct Live {
  FAQ faq;
  std::string text;
};

// A text of `chars` characters, single- and double-byte mixed.
std::string random_text(std::mt19937& rng, int chars) {
  std::string s;
  std::uniform_int_distribution<int> kind(0, 3), ascii(0x20, 0x7E), trail(0x40, 0xFC);
  for (int i = 0; i < chars; ++i) {
    if (kind(rng) == 0) {
      s += static_cast<char>(0x82);
      int t = trail(rng);
      s += static_cast<char>(t == 0x7F ? 0x80 : t);
    } else {
      s += static_cast<char>(ascii(rng));
    }
  }
  return s;
}

// Where first fit in address order puts n bytes: the first block of exactly
// n or at least n + 12 free bytes, else the region the heap grows by.
uint32_t first_fit(const SystemContext* ctx, uint32_t n) {
  for (const auto& b : heaptest::blocks(ctx))
    if (b.size >= 0 &&
        (static_cast<uint32_t>(b.size) == n || static_cast<uint32_t>(b.size) >= n + 12))
      return b.off + 12;
  return static_cast<uint32_t>(heaptest::length(ctx)) + 12;
}

void expect_all_readable(SystemContext* ctx, std::vector<Live>& live) {
  char out[2000];
  for (Live& l : live) {
    ASSERT_EQ(MRVSTR_GetByte(ctx, &l.faq, out), 1);
    ASSERT_EQ(std::string(out), l.text);
  }
}

class HeapRandomTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(HeapRandomTest, StaysConsistentAcrossGrowth) {
  ASSERT_TRUE(kJapanese);
  mrvtest::DialogLog log;
  SystemContext* ctx = MRVVAL_Create(0);
  ASSERT_NE(ctx, nullptr);
  std::mt19937 rng(GetParam());
  std::uniform_int_distribution<int> len(0, 999), pct(0, 99);
  std::vector<Live> live;
  uint64_t grown_to = 0;
  // Phase one stores more than it releases (the heap crosses several
  // growths); phase two releases more than it stores.
  for (int step = 0; step < 6000; ++step) {
    int store_pct = step < 3000 ? 65 : 30;
    if (live.empty() || pct(rng) < store_pct) {
      // Short texts most of the time, so holes of many sizes appear.
      int chars = pct(rng) < 70 ? len(rng) % 40 : len(rng);
      Live l{FAQ{}, random_text(rng, chars)};
      uint32_t expected = first_fit(ctx, 2 * static_cast<uint32_t>(chars) + 2);
      ASSERT_EQ(MRVSTR_SetByte(ctx, &l.faq, l.text.c_str()), 1);
      ASSERT_EQ(l.faq.word3, static_cast<uint32_t>(chars));
      ASSERT_EQ(l.faq.word2, expected) << "step " << step;
      live.push_back(l);
    } else {
      std::size_t victim = std::uniform_int_distribution<std::size_t>(0, live.size() - 1)(rng);
      ASSERT_EQ(MRVSTR_Clear(ctx, &live[victim].faq), 1);
      live[victim] = live.back();
      live.pop_back();
    }
    if (step % 250 == 0) {
      ASSERT_EQ(heaptest::problems(ctx), "") << "step " << step;
      expect_all_readable(ctx, live);
    }
    grown_to = std::max(grown_to, heaptest::length(ctx));
  }
  EXPECT_GE(grown_to, 4u * 65536);
  ASSERT_EQ(heaptest::problems(ctx), "");
  expect_all_readable(ctx, live);
  // Held blocks and the data of free ones add up to the heap.
  uint64_t held = 0;
  for (const Live& l : live) held += 12 + 2 * l.faq.word3 + 2;
  uint64_t free_bytes = 0;
  for (const auto& b : heaptest::blocks(ctx))
    if (b.size >= 0) free_bytes += 12 + static_cast<uint64_t>(b.size);
  EXPECT_EQ(held + free_bytes, heaptest::length(ctx));
  for (Live& l : live) ASSERT_EQ(MRVSTR_Clear(ctx, &l.faq), 1);
  auto blocks = heaptest::blocks(ctx);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(uint64_t{12} + static_cast<uint64_t>(blocks[0].size), heaptest::length(ctx));
  EXPECT_TRUE(log.boxes().empty());
  MRVVAL_Delete(ctx);
}

INSTANTIATE_TEST_SUITE_P(Seeds, HeapRandomTest, ::testing::Values(1u, 7u, 2024u));

}  // namespace
