// Running out of the memory region: the shortage boxes, Retry and Cancel, and
// a region that works normally once memory is given back. The region is made
// small (1 MiB) before the first allocation of this process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "dialog_log.h"
#include "mrvtask.h"
#include "platform/memory.h"

namespace {

const bool small_region = [] { return setenv("MRV_MEMORY_MB", "1", 1) == 0; }();

const char* kCaption = "『Marovine33』タスクマネージャ(MRVTASK.DLL)";
const char* kShortage =
    "ﾒﾓﾘが不足しています。\n他のｱﾌﾟﾘｹｰｼｮﾝを終了して[再試行]してください。\n"
    "[ｷｬﾝｾﾙ]を選ぶと強制的に処理を継続しますが\nその後の動作は保証されません。";
const char* kResize = "ﾒﾓﾘ不足によりｻｲｽﾞ変更に失敗しました。";

// Fills the region with 4 KiB blocks (directly, so no box is shown).
std::vector<void*> fill_region() {
  std::vector<void*> blocks;
  while (void* p = plat::mem_alloc(4096)) blocks.push_back(p);
  return blocks;
}

TEST(Exhaustion, RetryAsksAgainCancelGivesZeroAndNothingLeaks) {
  ASSERT_TRUE(small_region);
  const std::size_t live = plat::mem_live_blocks();
  void* keep = MRVTASK_AllocMemory(0, 100);
  ASSERT_NE(keep, nullptr);
  std::vector<void*> blocks = fill_region();
  ASSERT_FALSE(blocks.empty());
  ASSERT_LT(blocks.size(), 256u) << "the region is not the small one";
  {
    mrvtest::DialogLog log("retry,retry,cancel");
    EXPECT_EQ(MRVTASK_AllocMemory(0, 8192), nullptr);
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 3u);
    for (const auto& b : boxes) {
      EXPECT_EQ(b.caption, kCaption);
      EXPECT_EQ(b.text, kShortage);
      EXPECT_EQ(b.buttons, "retrycancel");
    }
  }
  {
    // A failed resize shows one box whatever the answer and keeps the block.
    mrvtest::DialogLog log("retry,retry");
    static_cast<char*>(keep)[0] = 'k';
    EXPECT_EQ(MRVTASK_ResizeMemory(0, keep, 512 * 1024), nullptr);
    EXPECT_EQ(MRVTASK_DuplicateMemory(0, blocks[0]), nullptr);  // Duplicate's box: cancelled
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, kResize);
    EXPECT_EQ(boxes[1].text, kShortage);  // the retry was answered, the next box is defaulted
    EXPECT_EQ(boxes[2].text, kShortage);
    EXPECT_EQ(boxes[2].answer, "cancel");
    EXPECT_TRUE(plat::mem_is_block(keep));
    EXPECT_EQ(static_cast<char*>(keep)[0], 'k');
  }
  for (void* p : blocks) MRVTASK_FreeMemory(0, p);
  {
    mrvtest::DialogLog log;
    void* big = MRVTASK_AllocMemory(0, 8192);
    EXPECT_NE(big, nullptr);
    void* grown = MRVTASK_ResizeMemory(0, keep, 64 * 1024);
    EXPECT_NE(grown, nullptr);
    MRVTASK_FreeMemory(0, big);
    MRVTASK_FreeMemory(0, grown);
    EXPECT_TRUE(log.boxes().empty());
  }
  EXPECT_EQ(plat::mem_live_blocks(), live);
}

}  // namespace
