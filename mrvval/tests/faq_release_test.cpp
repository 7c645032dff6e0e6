// Release, duplication, emptying and swapping of values of every type: what
// each type owns is freed once, duplicated deeply, or shared as the type says.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "dialog_log.h"
#include "mrvval.h"
#include "platform/memory.h"
#include "platform/window.h"
#include "sindra.h"

namespace {

class Values : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx = MRVVAL_Create(0);
    ASSERT_NE(ctx, nullptr);
    sindra_clear_calls();
    sindra_record(1);
    live_ = plat::mem_live_blocks();
  }
  void TearDown() override {
    EXPECT_EQ(plat::mem_live_blocks(), live_) << "blocks leaked or freed twice";
    sindra_set_observer(nullptr, nullptr);
    sindra_record(0);
    MRVVAL_Delete(ctx);
  }
  static uint32_t block(uint32_t size, char fill) {
    void* p = MRVTASK_AllocMemory(0, size);
    std::memset(p, fill, size);
    return MRV_WORD(p);
  }
  // A picture cell: a 40-byte descriptor (width, height in words 2 and 3)
  // whose word 9 names a data block.
  static FAQ picture(uint32_t data) {
    FAQ f{};
    f.type = TYPE_CELL;
    auto* d = static_cast<uint32_t*>(MRV_PTR(block(40, 0)));
    d[1] = 16;
    d[2] = 8;
    d[8] = data;
    f.word1 = MRV_WORD(d);
    return f;
  }
  static bool is_zero(const FAQ& f) {
    static const FAQ zero{};
    return std::memcmp(&f, &zero, sizeof f) == 0;
  }
  SystemContext* ctx = nullptr;
  std::size_t live_ = 0;
};

TEST_F(Values, ClearFreesWhatEachTypeOwnsAndEmptiesTheValue) {
  const std::size_t before = plat::mem_live_blocks();
  struct Case {
    const char* name;
    FAQ value;
    std::size_t blocks;  // owned blocks that the release frees
  };
  FAQ str{};
  ASSERT_EQ(MRVSTR_SetByte(ctx, &str, "released"), 1);
  FAQ mem{};
  mem.type = TYPE_MEMORY;
  mem.word1 = block(64, 'm');
  mem.word2 = 64;
  FAQ small_desc{};  // a descriptor too short to name a data block
  small_desc.type = TYPE_CELL;
  small_desc.word1 = block(8, 0);
  FAQ foreign = picture(0x1234);  // word 9 is no block: only the descriptor is ours
  FAQ num{};
  num.type = TYPE_NUMBER;
  num.word1 = 0x80000001u;
  FAQ ptr{};
  ptr.type = TYPE_POINTER;
  ptr.word1 = block(4, 0);  // a pointer does not own its block
  const uint32_t not_owned = ptr.word1;
  FAQ empty_wave{};
  empty_wave.type = TYPE_WAVE;
  Case cases[] = {
      {"string", str, 0},
      {"memory", mem, 1},
      {"cell", picture(block(100, 'p')), 2},
      {"cell without data", picture(0), 1},
      {"short descriptor", small_desc, 1},
      {"foreign data", foreign, 1},
      {"number", num, 0},
      {"pointer", ptr, 0},
      {"wave without block", empty_wave, 0},
  };
  const std::size_t allocated = plat::mem_live_blocks();
  std::size_t freed = 0;
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MRVFAQ_Clear(ctx, &c.value), 1);
    EXPECT_TRUE(is_zero(c.value));
    freed += c.blocks;
    EXPECT_EQ(plat::mem_live_blocks(), allocated - freed);
  }
  EXPECT_EQ(sindra_call_count(), 0);
  EXPECT_TRUE(plat::mem_is_block(MRV_PTR(not_owned)));
  MRVTASK_FreeMemory(0, MRV_PTR(not_owned));
  EXPECT_EQ(plat::mem_live_blocks(), before);
  // The released string's heap space serves the next string.
  FAQ again{};
  ASSERT_EQ(MRVSTR_SetByte(ctx, &again, "released"), 1);
  EXPECT_EQ(again.word2, str.word2);
  MRVFAQ_Clear(ctx, &again);
}

// The sound library hears of the block once, while it is still live, and the
// block is freed after.
TEST_F(Values, WaveBlockGoesToTheSoundLibraryBeforeItIsFreed) {
  FAQ wave{};
  wave.type = TYPE_WAVE;
  wave.word1 = block(128, 'w');
  struct Seen {
    int calls = 0;
    bool live = false;
  } seen;
  sindra_set_observer(
      [](const SindraCall* c, void* user) {
        auto* s = static_cast<Seen*>(user);
        ++s->calls;
        s->live = plat::mem_is_block(MRV_PTR(static_cast<uint32_t>(c->args[0])));
      },
      &seen);
  const uint32_t address = wave.word1;
  EXPECT_EQ(MRVFAQ_Clear(ctx, &wave), 1);
  ASSERT_EQ(sindra_call_count(), 1);
  SindraCall call{};
  sindra_call(0, &call);
  EXPECT_EQ(call.ordinal, 25);
  EXPECT_EQ(call.argc, 1);
  EXPECT_EQ(call.args[0], address);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.live);
  EXPECT_FALSE(plat::mem_is_block(MRV_PTR(address)));
  EXPECT_TRUE(is_zero(wave));
}

// A window is destroyed by its own thread; the release returns once it is gone.
TEST_F(Values, WindowIsDestroyedThroughItsThread) {
  plat::register_class("MrvValTestWindow",
                       [](uint32_t, uint32_t, uintptr_t, intptr_t) -> intptr_t { return 0; });
  std::atomic<uint32_t> hwnd{0};
  std::atomic<bool> stop{false};
  std::thread owner([&] {
    hwnd = plat::create_window("MrvValTestWindow", "", 0, plat::Rect{0, 0, 10, 10});
    while (!stop) {
      plat::wait_message(10);
      plat::Message m;
      while (plat::peek_message(&m)) plat::dispatch_message(m);
    }
  });
  while (hwnd == 0) std::this_thread::yield();
  FAQ other{};
  other.type = TYPE_HANDLE;
  other.word1 = hwnd;
  FAQ copy{};
  ASSERT_EQ(MRVFAQ_Copy(ctx, &copy, &other), 1);  // the same window, not a new one
  EXPECT_EQ(std::memcmp(&copy, &other, sizeof(FAQ)), 0);
  // The copy shares the window: it stays until the last holder lets go.
  EXPECT_EQ(MRVFAQ_Clear(ctx, &other), 1);
  EXPECT_TRUE(plat::is_window(hwnd));
  EXPECT_TRUE(is_zero(other));
  EXPECT_EQ(MRVFAQ_Clear(ctx, &copy), 1);
  EXPECT_FALSE(plat::is_window(hwnd));
  EXPECT_TRUE(is_zero(copy));
  stop = true;
  owner.join();
  // A window of this thread goes at once.
  FAQ own{};
  own.type = TYPE_HANDLE;
  own.word1 = plat::create_window("MrvValTestWindow", "", 0, plat::Rect{0, 0, 10, 10});
  ASSERT_TRUE(plat::is_window(own.word1));
  const uint32_t h = own.word1;
  EXPECT_EQ(MRVFAQ_Clear(ctx, &own), 1);
  EXPECT_FALSE(plat::is_window(h));
}

TEST_F(Values, CopyDuplicatesCellsAndBlocksDeeply) {
  FAQ src = picture(block(100, 'p'));
  src.word2 = 2;
  FAQ dst{};
  dst.word2 = 0x22;
  dst.word5 = 0x55;
  ASSERT_EQ(MRVFAQ_Copy(ctx, &dst, &src), 1);
  EXPECT_EQ(dst.type, TYPE_CELL);
  EXPECT_EQ(dst.word2, 0x22u);  // the target keeps words 2 to 5
  EXPECT_EQ(dst.word5, 0x55u);
  ASSERT_NE(dst.word1, src.word1);
  const auto* sd = static_cast<uint32_t*>(MRV_PTR(src.word1));
  const auto* dd = static_cast<uint32_t*>(MRV_PTR(dst.word1));
  EXPECT_EQ(dd[1], 16u);
  EXPECT_EQ(dd[2], 8u);
  ASSERT_NE(dd[8], sd[8]);
  EXPECT_TRUE(plat::mem_is_block(MRV_PTR(dd[8])));
  EXPECT_EQ(std::memcmp(MRV_PTR(dd[8]), MRV_PTR(sd[8]), 100), 0);
  MRVFAQ_Clear(ctx, &src);  // the copy stands alone
  EXPECT_EQ(static_cast<char*>(MRV_PTR(dd[8]))[99], 'p');
  MRVFAQ_Clear(ctx, &dst);

  FAQ nocell{};
  nocell.type = TYPE_CELL;
  FAQ out{};
  ASSERT_EQ(MRVFAQ_Copy(ctx, &out, &nocell), 1);
  EXPECT_EQ(out.type, TYPE_CELL);
  EXPECT_EQ(out.word1, 0u);

  FAQ mem{};
  mem.type = TYPE_MEMORY;
  mem.word1 = block(32, 'z');
  mem.word2 = 32;
  mem.word3 = 8;
  mem.word4 = 0x44;
  FAQ mcopy{};
  mcopy.word4 = 0x99;
  ASSERT_EQ(MRVFAQ_Copy(ctx, &mcopy, &mem), 1);
  EXPECT_EQ(mcopy.type, TYPE_MEMORY);
  EXPECT_NE(mcopy.word1, mem.word1);
  EXPECT_EQ(mcopy.word2, 32u);
  EXPECT_EQ(mcopy.word3, 8u);
  EXPECT_EQ(mcopy.word4, 0x99u);
  EXPECT_EQ(static_cast<char*>(MRV_PTR(mcopy.word1))[31], 'z');
  MRVFAQ_Clear(ctx, &mem);
  MRVFAQ_Clear(ctx, &mcopy);

  // Copying a value onto itself still makes a new block.
  FAQ self{};
  self.type = TYPE_MEMORY;
  self.word1 = block(4, 's');
  const uint32_t old = self.word1;
  ASSERT_EQ(MRVFAQ_Copy(ctx, &self, &self), 1);
  EXPECT_NE(self.word1, old);
  MRVTASK_FreeMemory(0, MRV_PTR(old));
  MRVFAQ_Clear(ctx, &self);
}

TEST_F(Values, PlainTypesCopyByteForByteAndSwapExchanges) {
  const uint16_t types[] = {TYPE_NULL,     TYPE_NUMBER, TYPE_RECT,   TYPE_POINTER,
                            TYPE_VARIABLE, TYPE_WAVE,   TYPE_OMITTED};
  for (uint16_t t : types) {
    FAQ src{t, 3, 1, 2, 3, 4, 5};
    FAQ dst{TYPE_NUMBER, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(MRVFAQ_Copy(ctx, &dst, &src), 1);
    EXPECT_EQ(std::memcmp(&dst, &src, sizeof(FAQ)), 0) << "type " << t;
  }
  FAQ a{TYPE_NUMBER, 1, 10, 0, 0, 0, 7};
  FAQ b{TYPE_RECT, 2, 1, 2, 3, 4, 8};
  const FAQ a0 = a, b0 = b;
  EXPECT_EQ(MRVFAQ_Swap(ctx, &a, &b), 1);
  EXPECT_EQ(std::memcmp(&a, &b0, sizeof(FAQ)), 0);
  EXPECT_EQ(std::memcmp(&b, &a0, sizeof(FAQ)), 0);
  EXPECT_EQ(MRVFAQ_NULL(ctx, &a), 1);
  EXPECT_TRUE(is_zero(a));
}

TEST_F(Values, StringCopyIsIndependent) {
  FAQ s{};
  ASSERT_EQ(MRVSTR_SetByte(ctx, &s, "hello"), 1);
  FAQ c{};
  ASSERT_EQ(MRVFAQ_Copy(ctx, &c, &s), 1);
  EXPECT_EQ(c.type, TYPE_STRING);
  EXPECT_NE(c.word2, s.word2);
  MRVFAQ_Clear(ctx, &s);
  char out[64] = {};
  ASSERT_EQ(MRVSTR_GetByte(ctx, &c, out), 1);
  EXPECT_STREQ(out, "hello");
  MRVFAQ_Clear(ctx, &c);
}

}  // namespace
