// A read that the user cancels while a compiled file is being loaded is
// reported once, by the read's own box. The reads of the platform are
// replaced here so that one of them can fail on purpose.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "dialog_log.h"
#include "mrvcomp.h"
#include "mrvtask.h"
#include "platform/file.h"
#include "tempdir.h"

namespace {
int g_reads = 0;
int g_fail_at = 0;  // the read (counted from 1) that fails; 0: none
}  // namespace

namespace plat {
// Takes the place of the platform's read for every library of this process.
int64_t file_read(uint32_t h, void* buf, uint32_t count) {
  using Read = int64_t (*)(uint32_t, void*, uint32_t);
  static const Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "_ZN4plat9file_readEjPvj"));
  if (++g_reads == g_fail_at) return -1;
  return real(h, buf, count);
}
}  // namespace plat

namespace {

TEST(UnpackCancel, AReadCancelledDuringTheChunkSearchIsReportedOnce) {
  mrvtest::TempDir dir;
  const std::string path = dir.file("T.SNB");
  char code[] = {0x00};  // the empty scenario
  ASSERT_EQ(MRVCOMP_Pack(0, path.c_str(), code, 1), 1);

  // Read 1 is the RIFF header, read 2 the first chunk header.
  for (int fail_at : {2, 3}) {
    mrvtest::DialogLog log("cancel");
    g_reads = 0;
    g_fail_at = fail_at;
    EXPECT_EQ(MRVCOMP_Unpack(0, path.c_str()), nullptr) << fail_at;
    g_fail_at = 0;
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u) << fail_at;
    EXPECT_EQ(boxes[0].text, "読み込みに失敗しました。");
  }
  // Without a fault the file loads.
  g_reads = 0;
  void* block = MRVCOMP_Unpack(0, path.c_str());
  EXPECT_NE(block, nullptr);
  EXPECT_GT(g_reads, 2);
  MRVTASK_FreeMemory(0, block);
}

}  // namespace
