// Fuzz target: an input is a value file, counted, read into variables and
// then written to (records replaced or appended, by the input's size).
#include <string>

#include "fuzz_target.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "mrvval.h"

namespace {

constexpr int32_t kVars = 8;
SystemContext* g_ctx = nullptr;

VarTable* vars() {
  return &g_ctx->commonVars;
}

// The values a read left must be whole: blocks at least as large as they claim.
void check_values() {
  for (int32_t i = 0; i < kVars; ++i) {
    FAQ v{};
    mrvfuzz::expect(MRVVAL_Get(g_ctx, vars(), i, &v) == 1, "variable unreadable");
    if (v.type == TYPE_MEMORY) {
      mrvfuzz::expect(MRVTASK_SizeMemory(0, MRV_PTR(v.word1)) >= v.word2, "memory value too short");
    }
    if (v.type == TYPE_CELL) {
      auto* desc = static_cast<uint32_t*>(MRV_PTR(v.word1));
      mrvfuzz::expect(MRVTASK_SizeMemory(0, desc) >= 40, "picture descriptor too short");
      mrvfuzz::expect(MRVTASK_SizeMemory(0, MRV_PTR(desc[8])) >= uint64_t(desc[1]) * desc[2],
                      "picture data too short");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mrvfuzz::prepare();
  g_ctx = MRVVAL_Create(0);
  mrvfuzz::expect(g_ctx != nullptr, "no system context");
  // The table's own storage exists before blocks are counted.
  for (int32_t i = 0; i < kVars; ++i) {
    FAQ v{};
    v.type = TYPE_NUMBER;
    MRVVAL_Set(g_ctx, vars(), i, &v);
    MRVVAL_Clear(g_ctx, vars(), i);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mrvfuzz::LeakCheck check;
  const std::string path = mrvfuzz::input_file("V.PVF", data, size);
  const int32_t records = MRVFILE_CountFAQ(g_ctx, path.c_str());
  mrvfuzz::expect(records >= 0 && size_t(records) <= size / 8, "more records than the file holds");
  const int32_t stored = MRVFILE_ReadFAQ(g_ctx, path.c_str(), vars(), 0, int32_t(size % 3), kVars);
  mrvfuzz::expect(stored >= 0 && stored <= kVars, "more values stored than asked");
  check_values();
  // Whatever was read goes back into the damaged file: appended, or over
  // the records from 0 to 2.
  const int32_t position = int32_t(size % 5) - 1;
  const int32_t written = MRVFILE_WriteFAQ(g_ctx, path.c_str(), vars(), 0, position, 2);
  mrvfuzz::expect(written == 0 || written == 2, "a write of two values wrote another number");
  for (int32_t i = 0; i < kVars; ++i) MRVVAL_Clear(g_ctx, vars(), i);
  return 0;
}
