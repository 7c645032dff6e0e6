// Memory blocks and the two string helpers of the runtime services.
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dialog_log.h"
#include "mrvtask.h"

namespace {

bool all_zero(const void* p, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}

TEST(MemoryBlock, AllocatedBlocksAreZeroAndAtLeastTheSizeAsked) {
  for (uint32_t size : {0u, 1u, 24u, 4096u, 100000u}) {
    void* p = MRVTASK_AllocMemory(0, size);
    ASSERT_NE(p, nullptr) << size;
    EXPECT_GE(MRVTASK_SizeMemory(0, p), size);
    EXPECT_TRUE(all_zero(p, size)) << size;
    EXPECT_LE(reinterpret_cast<uintptr_t>(p), 0xFFFFFFFFu);
    EXPECT_EQ(MRV_PTR(MRV_WORD(p)), p);
    std::memset(p, 0xAB, size);  // dirty it so that reuse is checked for zero too
    EXPECT_EQ(MRVTASK_FreeMemory(0, p), 1);
  }
  void* again = MRVTASK_AllocMemory(0, 4096);
  EXPECT_TRUE(all_zero(again, 4096));
  MRVTASK_FreeMemory(0, again);
}

TEST(MemoryBlock, ResizeKeepsContentsAndZeroFillsGrowth) {
  auto* p = static_cast<unsigned char*>(MRVTASK_AllocMemory(0, 16));
  for (int i = 0; i < 16; ++i) p[i] = static_cast<unsigned char>(i + 1);
  auto* grown = static_cast<unsigned char*>(MRVTASK_ResizeMemory(0, p, 70000));
  ASSERT_NE(grown, nullptr);
  EXPECT_GE(MRVTASK_SizeMemory(0, grown), 70000u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(grown[i], i + 1);
  EXPECT_TRUE(all_zero(grown + 16, 70000 - 16));
  auto* shrunk = static_cast<unsigned char*>(MRVTASK_ResizeMemory(0, grown, 4));
  ASSERT_NE(shrunk, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(shrunk[i], i + 1);
  // Growing a shrunk block again must not bring back the old bytes.
  auto* regrown = static_cast<unsigned char*>(MRVTASK_ResizeMemory(0, shrunk, 16));
  ASSERT_NE(regrown, nullptr);
  EXPECT_TRUE(all_zero(regrown + 4, 12));
  MRVTASK_FreeMemory(0, regrown);
}

TEST(MemoryBlock, DuplicateAndExchangeCopyBytes) {
  auto* a = static_cast<char*>(MRVTASK_AllocMemory(0, 8));
  auto* b = static_cast<char*>(MRVTASK_AllocMemory(0, 8));
  std::memcpy(a, "abcdefg", 8);
  std::memcpy(b, "1234567", 8);
  auto* d = static_cast<char*>(MRVTASK_DuplicateMemory(0, a));
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d, a);
  EXPECT_EQ(MRVTASK_SizeMemory(0, d), MRVTASK_SizeMemory(0, a));
  EXPECT_STREQ(d, "abcdefg");
  EXPECT_EQ(MRVTASK_ExchangeMemory(0, a, b, 3), 1);
  EXPECT_STREQ(a, "123defg");
  EXPECT_STREQ(b, "abc4567");
  EXPECT_STREQ(d, "abcdefg");  // the duplicate is independent
  // A count beyond the smaller block swaps nothing.
  auto* small = static_cast<char*>(MRVTASK_AllocMemory(0, 4));
  std::memcpy(small, "xyz", 4);
  const auto whole = static_cast<uint32_t>(MRVTASK_SizeMemory(0, small));
  EXPECT_EQ(MRVTASK_ExchangeMemory(0, a, small, whole + 1), 0);
  EXPECT_EQ(MRVTASK_ExchangeMemory(0, small, a, whole + 1), 0);
  EXPECT_STREQ(a, "123defg");
  EXPECT_STREQ(small, "xyz");
  EXPECT_EQ(MRVTASK_ExchangeMemory(0, a, small, whole), 1);
  EXPECT_EQ(std::memcmp(small, "123d", 4), 0);
  MRVTASK_FreeMemory(0, small);
  for (void* p : {static_cast<void*>(a), static_cast<void*>(b), static_cast<void*>(d)})
    MRVTASK_FreeMemory(0, p);
}

// Addresses that are not the start of a live block: every function refuses
// them without a box and without touching anything.
TEST(MemoryBlock, NonBlockAddressesAreRejectedSilently) {
  mrvtest::DialogLog log;
  const std::size_t live = plat::mem_live_blocks();
  auto* block = static_cast<char*>(MRVTASK_AllocMemory(0, 64));
  auto* freed = MRVTASK_AllocMemory(0, 64);
  MRVTASK_FreeMemory(0, freed);
  std::memcpy(block, "keep", 5);
  char stack[64] = "stack";
  struct Case {
    const char* name;
    void* address;
  } cases[] = {
      {"null", nullptr}, {"inside a block", block + 8}, {"freed block", freed}, {"stack", stack}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MRVTASK_SizeMemory(0, c.address), 0u);
    EXPECT_EQ(MRVTASK_DuplicateMemory(0, c.address), nullptr);
    EXPECT_EQ(MRVTASK_ResizeMemory(0, c.address, 128), nullptr);
    EXPECT_EQ(MRVTASK_ExchangeMemory(0, c.address, block, 4), 0);
    EXPECT_EQ(MRVTASK_ExchangeMemory(0, block, c.address, 4), 0);
    MRVTASK_FreeMemory(0, c.address);
  }
  EXPECT_STREQ(block, "keep");
  EXPECT_STREQ(stack, "stack");
  EXPECT_EQ(MRVTASK_SizeMemory(0, block), plat::mem_size(block));  // still live
  EXPECT_EQ(plat::mem_live_blocks(), live + 1);
  MRVTASK_FreeMemory(0, block);
  EXPECT_EQ(plat::mem_live_blocks(), live);
  EXPECT_TRUE(log.boxes().empty());
}

TEST(StringHelpers, LengthAndPrefixComparison) {
  EXPECT_EQ(MRVTASK_LengthString(""), 1);
  EXPECT_EQ(MRVTASK_LengthString("abc"), 4);
  EXPECT_EQ(MRVTASK_LengthString("\x82\xa0"), 3);  // counts bytes
  struct Case {
    const char* a;
    const char* b;
    int32_t want;
  } cases[] = {
      {"abc", "abc", 1}, {"abc", "abcdef", 1}, {"abcdef", "abc", 1}, {"", "xyz", 1},
      {"xyz", "", 1},    {"abXd", "abYd", 0},  {"b", "a", 0},        {"abc", "abd", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MRVTASK_CompareString(c.a, c.b), c.want) << '"' << c.a << "\" vs \"" << c.b << '"';
  }
}

}  // namespace
