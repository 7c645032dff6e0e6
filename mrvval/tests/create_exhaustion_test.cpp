// Creating a context when the memory region runs short: every refusal gives
// null and gives back what had been allocated. The region is made small (1 MiB)
// before the first allocation of this process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "dialog_log.h"
#include "mrvval.h"
#include "platform/memory.h"

namespace {

const bool small_region = [] { return setenv("MRV_MEMORY_MB", "1", 1) == 0; }();

TEST(CreateExhaustion, RefusedAllocationsGiveNullAndLeakNothing) {
  ASSERT_TRUE(small_region);
  mrvtest::DialogLog log;  // no answers: every shortage box is cancelled
  std::vector<void*> filler;
  while (void* p = plat::mem_alloc(16 * 1024)) filler.push_back(p);
  ASSERT_LE(filler.size(), 64u) << "the region is not the small one";
  const std::size_t live = plat::mem_live_blocks();
  const std::size_t filler_count = filler.size();
  // Give the region back a piece at a time, so that creation fails at each of
  // its steps in turn and finally succeeds.
  int failures = 0;
  bool created = false;
  while (!filler.empty() && !created) {
    plat::mem_free(filler.back());
    filler.pop_back();
    const std::size_t before = plat::mem_live_blocks();
    SystemContext* ctx = MRVVAL_Create(0);
    if (ctx == nullptr) {
      ++failures;
      EXPECT_EQ(plat::mem_live_blocks(), before) << "after " << failures << " failures";
    } else {
      created = true;
      EXPECT_EQ(ctx->commonVars.count, 10000);
      MRVVAL_Delete(ctx);
      EXPECT_EQ(plat::mem_live_blocks(), before);
    }
  }
  EXPECT_TRUE(created);
  EXPECT_GE(failures, 10);  // the context needs ~600 KB: many steps failed along the way
  const auto boxes = log.boxes();
  ASSERT_FALSE(boxes.empty());  // the string heap is refused without a box
  for (const auto& b : boxes) {
    EXPECT_EQ(b.caption, "『Marovine33』タスクマネージャ(MRVTASK.DLL)");
    EXPECT_EQ(b.buttons, "retrycancel");
    EXPECT_EQ(b.answer, "cancel");
  }
  for (void* p : filler) plat::mem_free(p);
  EXPECT_EQ(plat::mem_live_blocks(), live - filler_count);
}

}  // namespace
