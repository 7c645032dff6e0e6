// A compile that runs out of memory: the memory services report it, and the
// compile fails with compileError 0 so that the caller shows nothing more.
// The region is made small (1 MiB) before the first allocation of this
// process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "comp_support.h"
#include "dialog_log.h"
#include "platform/memory.h"

using namespace comptest;

namespace {

const bool small_region = [] { return setenv("MRV_MEMORY_MB", "1", 1) == 0; }();

// Pass 3 gets its first output block (4096 bytes) and then cannot enlarge it:
// 99 records of F() take 4059 bytes, the names of G's record no longer fit,
// and the text goes on with a fault (no "(" after G).
TEST(Exhaustion, Pass3FailsWithErrorZeroAndOneReport) {
  ASSERT_TRUE(small_region);
  std::string text;
  for (int i = 0; i < 99; ++i) text += "F();";
  text += "G;";
  CompileRequest req{};
  req.sourceSize = uint32_t(text.size() + 1);
  req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
  std::memcpy(req.source, text.data(), text.size());

  std::vector<void*> blocks;
  while (void* p = plat::mem_alloc(4096)) blocks.push_back(p);
  ASSERT_FALSE(blocks.empty());
  ASSERT_LT(blocks.size(), 256u) << "the region is not the small one";
  plat::mem_free(blocks.back());  // room for the first output block only
  blocks.pop_back();
  {
    mrvtest::DialogLog log;
    EXPECT_EQ(MRVCOMP_Pass3(&req), 0);
    EXPECT_EQ(MRVCOMP_GetError(), 0);
    EXPECT_EQ(req.output, nullptr);
    EXPECT_EQ(log.boxes().size(), 1u) << "the memory services' report only";
  }
  for (void* p : blocks) plat::mem_free(p);
  MRVTASK_FreeMemory(0, req.source);
}

}  // namespace
